// The log channel, driven directly through what set-up hands it: entry layout, the switch and
// the mask, the flush=0 reopen, failures, the busy mutex, the grant.
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>

#include "diagnostics/log_channel.h"
#include "log_fixture.h"
#include "module_host.h"
#include "wtest.h"

namespace {

// Checks one entry at `at` and returns the offset after it, or npos.
size_t CheckEntry(const std::string& file, size_t at, const char* errorLine, const char* text) {
  int hour, minute, second, milli, day, month, year, used = 0;
  const std::string rest = file.substr(at);
  if (!ok(sscanf(rest.c_str(), "%2d:%2d:%2d.%3d %2d.%2d.%4d\r\n%n", &hour, &minute, &second, &milli, &day,
                 &month, &year, &used) == 7 && used == 25,
          "no time stamp line at %u: \"%s\"", static_cast<unsigned>(at), wtest::Escape(rest.substr(0, 40)).c_str())) {
    return std::string::npos;
  }
  // Two-digit fields with leading zeros, the date day first.
  ok(rest[2] == ':' && rest[5] == ':' && rest[8] == '.' && rest[12] == ' ' && rest[15] == '.' && rest[18] == '.',
     "time stamp layout: \"%s\"", wtest::Escape(rest.substr(0, 25)).c_str());
  SYSTEMTIME now;
  GetLocalTime(&now);
  ok(year == now.wYear && month == now.wMonth, "time stamp date %d.%d.%d is not today", day, month, year);
  ok(hour < 24 && minute < 60 && second < 60 && milli < 1000, "time stamp out of range");
  const std::string expected = std::string(errorLine) + text + "\r\n";
  ok_eq_str(expected, rest.substr(used, expected.size()));
  return at + used + expected.size();
}

// Write hooks patched into this program's own imports.
decltype(&WriteFile) s_realWriteFile = nullptr;
bool s_shortWrites = false;  // writes come out one byte short
DWORD s_stallMs = 0;         // a write of an entry with "stall" in it takes this long
BOOL WINAPI ShortWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (s_stallMs != 0 && std::string(static_cast<const char*>(data), size).find("stall") != std::string::npos) {
    Sleep(s_stallMs);
  }
  return s_realWriteFile(file, data, s_shortWrites && size > 0 ? size - 1 : size, written, overlapped);
}

decltype(&CreateFileA) s_realCreateFileA = nullptr;
bool s_failOpen = false;
HANDLE WINAPI FailingCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE pattern) {
  if (s_failOpen) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return s_realCreateFileA(name, access, share, security, disposition, flags, pattern);
}

struct GrantSeen {
  int calls;
  std::string path;
  SECURITY_INFORMATION information;
  bool daclPresent;
  int aceCount;
  int aceType;
  int aceFlags;
  DWORD aceMask;
  bool everyone;
};
GrantSeen s_grant;
decltype(&SetFileSecurityA) s_realSetFileSecurityA = nullptr;
BOOL WINAPI RecordSetFileSecurityA(LPCSTR path, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
  ++s_grant.calls;
  s_grant.path = path;
  s_grant.information = information;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  s_grant.daclPresent = present && dacl != nullptr && !defaulted;
  void* ace = nullptr;
  if (s_grant.daclPresent) {
    s_grant.aceCount = dacl->AceCount;
    if (GetAce(dacl, 0, &ace)) {
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      s_grant.aceType = allowed->Header.AceType;
      s_grant.aceFlags = allowed->Header.AceFlags;
      s_grant.aceMask = allowed->Mask;
      SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
      PSID everyone = nullptr;
      AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
      s_grant.everyone = EqualSid(&allowed->SidStart, everyone) != FALSE;
      FreeSid(everyone);
    }
  }
  return s_realSetFileSecurityA(path, information, descriptor);
}

// An entry whose write stalls: its caller holds the channel's mutex meanwhile.
DWORD WINAPI WriteStallingEntry(void*) {
  LogWriteLine(0, "stall\r\n");
  return 0;
}

}  // namespace

TEST_CASE(entries_have_stamp_error_line_text_and_blank_line) {
  const std::string path = AttachLog("layout.log", 1);
  LogWriteLine(0, "VFreeBuffer done HANDLE 10 bufnr 0\r\n");
  LogWriteLine(0x800A3004, "VFreeBuffer error\r\n");
  LogWriteLine(5, "small code\r\n");
  LogWriteLine(0xA00A3005, "");
  DetachLog();
  const std::string file = ReadWholeFile(path);
  size_t at = CheckEntry(file, 0, "", "VFreeBuffer done HANDLE 10 bufnr 0\r\n");
  if (at != std::string::npos) at = CheckEntry(file, at, "ERROR 800A3004:\r\n", "VFreeBuffer error\r\n");
  if (at != std::string::npos) at = CheckEntry(file, at, "ERROR 5:\r\n", "small code\r\n");
  if (at != std::string::npos) at = CheckEntry(file, at, "ERROR A00A3005:\r\n", "");
  ok(at == file.size(), "%u bytes after the last entry", static_cast<unsigned>(file.size() - at));
}

TEST_CASE(switched_off_or_masked_writes_nothing) {
  const std::string off = AttachLog("off.log", 1);
  ok(LogEnabled(), "the log is not on after it was handed its file");
  LogSwitchOff();
  ok(!LogEnabled(), "the switch did not go off");
  LogWriteLine(0, "not written\r\n");
  DetachLog();
  ok(ReadWholeFile(off).find("not written") == std::string::npos, "an entry was written with the switch off");

  const std::string masked = AttachLog("masked.log", 1, 0x2);
  LogWriteLine(0, "mask 4 is not in 2\r\n", 0x4);
  LogWriteLine(0, "mask 0 always passes\r\n", 0);
  DetachLog();
  const std::string file = ReadWholeFile(masked);
  ok(file.find("mask 4") == std::string::npos, "a masked entry was written");
  ok(file.find("mask 0 always passes") != std::string::npos, "a mask-0 entry was dropped");
}

TEST_CASE(flush0_reopens_and_stops_when_reopen_fails) {
  const std::string path = AttachLog("flush0.log", 0);
  LogWriteLine(0, "first\r\n");
  // Reopened after the entry: the channel holds the file again, shared for reading only.
  HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
  ok(other == INVALID_HANDLE_VALUE, "the file is not held after the reopen");
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  // The reopened file is positioned at its end: a second entry follows the first.
  LogWriteLine(0, "second\r\n");
  std::string file = ReadWholeFile(path);
  ok(file.find("first\r\n\r\n") != std::string::npos && file.find("second\r\n\r\n") > file.find("first"),
     "entries not appended in order: \"%s\"", wtest::Escape(file).c_str());

  ok(PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "CreateFileA",
                 reinterpret_cast<void*>(&FailingCreateFileA), reinterpret_cast<void**>(&s_realCreateFileA)),
     "cannot patch CreateFileA");
  s_failOpen = true;
  SetLastError(4321);
  LogWriteLine(0, "third\r\n");
  s_failOpen = false;
  ok_eq_int(4321, GetLastError());
  ok(!LogEnabled(), "the switch stays on after a failed reopen");
  LogWriteLine(0, "fourth\r\n");
  file = ReadWholeFile(path);
  ok(file.find("third\r\n") != std::string::npos, "the entry before the failed reopen is lost");
  ok(file.find("fourth") == std::string::npos, "an entry was written after logging stopped");
  PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "CreateFileA", reinterpret_cast<void*>(s_realCreateFileA),
              nullptr);
  DetachLog();
}

TEST_CASE(short_text_write_closes_and_switches_off) {
  const std::string path = AttachLog("short.log", 1);
  ok(PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "WriteFile", reinterpret_cast<void*>(&ShortWriteFile),
                 reinterpret_cast<void**>(&s_realWriteFile)),
     "cannot patch WriteFile");
  s_shortWrites = true;
  LogWriteLine(0, "a text that does not fit the disk");
  s_shortWrites = false;
  ok(!LogEnabled(), "the switch stays on after a short write");
  PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "WriteFile", reinterpret_cast<void*>(s_realWriteFile),
              nullptr);
  // The handle was closed: the file can be opened exclusively now.
  HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ok(exclusive != INVALID_HANDLE_VALUE, "the log file is still open (error %lu)", GetLastError());
  if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
  DetachLog();
}

TEST_CASE(long_texts_are_cut_to_499_bytes) {
  const std::string path = AttachLog("long.log", 1);
  const std::string text(700, 'x');
  LogWriteLine(0, text.c_str());
  DetachLog();
  CheckEntry(ReadWholeFile(path), 0, "", std::string(499, 'x').c_str());
}

TEST_CASE(no_handle_switches_off) {
  LogChannelOpen("none.log", nullptr, LogOptions{0, 1, false});
  ok(LogEnabled(), "the log is not on");
  LogWriteLine(0, "nowhere\r\n");
  ok(!LogEnabled(), "the switch stays on without a handle");
  DetachLog();
}

TEST_CASE(busy_mutex_drops_one_entry_after_2000ms) {
  const std::string path = AttachLog("mutex.log", 1);
  ok(PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "WriteFile", reinterpret_cast<void*>(&ShortWriteFile),
                 reinterpret_cast<void**>(&s_realWriteFile)),
     "cannot patch WriteFile");
  s_stallMs = 2600;
  HANDLE holder = CreateThread(nullptr, 0, WriteStallingEntry, nullptr, 0, nullptr);
  Sleep(100);
  const DWORD start = GetTickCount();
  LogWriteLine(0, "dropped\r\n");
  const DWORD waited = GetTickCount() - start;
  ok(waited >= 1900, "gave up on the mutex after %lu ms", waited);
  ok(LogEnabled(), "a dropped entry switched the log off");
  WaitForSingleObject(holder, 10000);
  CloseHandle(holder);
  s_stallMs = 0;
  PatchImport(GetModuleHandleA(nullptr), "kernel32.dll", "WriteFile", reinterpret_cast<void*>(s_realWriteFile),
              nullptr);
  LogWriteLine(0, "written\r\n");
  DetachLog();
  const std::string file = ReadWholeFile(path);
  ok(file.find("dropped") == std::string::npos, "the entry was written although the mutex was busy");
  ok(file.find("stall\r\n") != std::string::npos && file.find("written\r\n") != std::string::npos,
     "the stalled or a later entry is missing");
}

TEST_CASE(grant_leaves_one_entry_for_everyone) {
  const std::string path = AttachLog("grant.log", 1);
  DetachLog();
  // What the grant hands to the file system, seen at the call itself: Wine does not keep
  // access lists on every file system, so reading them back would prove nothing.
  ok(PatchImport(GetModuleHandleA(nullptr), "advapi32.dll", "SetFileSecurityA",
                 reinterpret_cast<void*>(&RecordSetFileSecurityA), reinterpret_cast<void**>(&s_realSetFileSecurityA)),
     "cannot patch SetFileSecurityA");
  s_grant = GrantSeen{};
  SetLastError(777);
  GrantEveryoneAccess(path.c_str());
  ok_eq_int(777, GetLastError());
  PatchImport(GetModuleHandleA(nullptr), "advapi32.dll", "SetFileSecurityA",
              reinterpret_cast<void*>(s_realSetFileSecurityA), nullptr);
  ok_eq_int(1, s_grant.calls);
  ok_eq_str(path, s_grant.path);
  ok_eq_hex(DACL_SECURITY_INFORMATION, s_grant.information);
  ok(s_grant.daclPresent, "the access list is not marked present");
  ok_eq_int(1, s_grant.aceCount);
  ok_eq_hex(ACCESS_ALLOWED_ACE_TYPE, s_grant.aceType);
  ok_eq_hex(0, s_grant.aceFlags);
  ok_eq_hex(0xFFFFFFFF, s_grant.aceMask);
  ok(s_grant.everyone, "the entry is not for Everyone (S-1-1-0)");
}
