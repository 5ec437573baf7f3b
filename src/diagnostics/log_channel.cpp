// The log channel: LogWriteLine, its entry layout and the access grant of log files.
#include "diagnostics/log_channel.h"

#include <aclapi.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <string.h>

#include "diagnostics/log_writer.h"

namespace {

// Zero at load: the log is off until set-up switches it on.
LogState s_log;

bool WriteAll(HANDLE handle, const char* bytes, DWORD length) noexcept {
  DWORD written = 0;
  return WriteFile(handle, bytes, length, &written, nullptr) && written == length;
}

// Owns lineMutex for one entry; WAIT_ABANDONED counts as owned, since the entry it
// interrupted is over and the channel's state stays consistent.
class LineMutexGuard {
 public:
  explicit LineMutexGuard(HANDLE mutex) noexcept : mutex_(mutex) {
    const DWORD wait = WaitForSingleObject(mutex_, kLineMutexWaitMs);
    owned_ = (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED);
  }
  ~LineMutexGuard() { if (owned_) ReleaseMutex(mutex_); }
  LineMutexGuard(const LineMutexGuard&) = delete;
  LineMutexGuard& operator=(const LineMutexGuard&) = delete;
  bool owned() const noexcept { return owned_; }

 private:
  HANDLE mutex_;
  bool owned_ = false;
};

void SwitchOff() noexcept { s_log.enabled.store(false); }

// The whole entry in one buffer: the file gets the same bytes as from four writes, and a
// mailslot message cannot be split by another sender.  Returns its length.
DWORD ComposeEntry(ErrorCode code, const char* text, char (&entry)[kEntrySize]) noexcept {
  SYSTEMTIME now;
  GetLocalTime(&now);
  int length = wnsprintfA(entry, kEntrySize, "%02d:%02d:%02d.%03d %02d.%02d.%4d\r\n", now.wHour, now.wMinute,
                          now.wSecond, now.wMilliseconds, now.wDay, now.wMonth, now.wYear);
  if (code != kOk) length += wnsprintfA(entry + length, kEntrySize - length, "ERROR %0X:\r\n", code);
  size_t textLength = strlen(text);
  if (textLength > kLogLineSize - 1) textLength = kLogLineSize - 1;
  memcpy(entry + length, text, textLength);
  length += static_cast<int>(textLength);
  memcpy(entry + length, "\r\n", 2);
  return static_cast<DWORD>(length + 2);
}

// An entry for the connected writer.  Runs without the mutex: a failed send switches the log
// off but leaves the handle to LogClose, since another thread may be sending through it.
void WriteQueued(ErrorCode code, const char* text) noexcept {
  char entry[kEntrySize];
  const DWORD length = ComposeEntry(code, text, entry);
  if (!WriteAll(s_log.queueWrite, entry, length)) {
    SwitchOff();
    return;
  }
  // A busy writer finds the entry on its own; only one about to wait needs waking.
  if (s_log.writerIdle.exchange(false)) SetEvent(s_log.wakeEvent);
}

void WriteEntry(ErrorCode code, const char* text) noexcept {
  HANDLE* handleField = &s_log.file;
  if (s_log.useThread) {
    if (s_log.writerConnected.load() || StartLogWriter()) handleField = &s_log.queueWrite;
  }
  HANDLE handle = *handleField;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    SwitchOff();
    return;
  }

  char entry[kEntrySize];
  const DWORD length = ComposeEntry(code, text, entry);
  if (!WriteAll(handle, entry, length)) {
    CloseHandle(handle);
    *handleField = nullptr;
    SwitchOff();
    return;
  }

  if (s_log.useThread) {
    if (handleField == &s_log.queueWrite && s_log.writerIdle.exchange(false)) SetEvent(s_log.wakeEvent);
    return;
  }
  if (s_log.flush != 0) return;

  // flush=0: close and reopen, so the file on disk is current after every entry.
  CloseHandle(s_log.file);
  s_log.file = CreateFileA(s_log.logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (s_log.file == INVALID_HANDLE_VALUE) {
    s_log.file = nullptr;
    SwitchOff();
    return;
  }
  GrantEveryoneAccess(s_log.logPath);
  LARGE_INTEGER zero = {};
  SetFilePointerEx(s_log.file, zero, nullptr, FILE_END);
}

}  // namespace

LogState& TheLogState() noexcept { return s_log; }

void LogWriteLine(ErrorCode code, const char* text, uint32_t lineMask) noexcept {
  if (!s_log.enabled.load()) return;
  if ((s_log.mask & lineMask) != lineMask) return;
  if (text == nullptr) text = "";

  const DWORD callerError = GetLastError();
  if (s_log.writerConnected.load()) {
    // Connected: the entry is one mailslot message, which no other sender can split, and
    // nothing else of the channel changes; the mutex is only needed on the way there.
    WriteQueued(code, text);
  } else {
    LineMutexGuard guard(s_log.lineMutex);
    if (guard.owned()) WriteEntry(code, text);
  }
  SetLastError(callerError);
}

void LogFormat(ErrorCode code, const char* format, ...) noexcept {
  const DWORD callerError = GetLastError();
  char line[kLogLineSize];
  va_list args;
  va_start(args, format);
  wvnsprintfA(line, kLogLineSize, format, args);
  va_end(args);
  SetLastError(callerError);
  LogWriteLine(code, line);
}

void GrantEveryoneAccess(const char* path) noexcept {
  const DWORD callerError = GetLastError();
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;

  if (AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                               &everyone)) {
    EXPLICIT_ACCESS_A access = {};
    access.grfAccessPermissions = 0xFFFFFFFF;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPSTR>(everyone);

    if (SetEntriesInAclA(1, &access, nullptr, &acl) == ERROR_SUCCESS) {
      descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
      if (descriptor != nullptr &&
          InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
        SetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor);
      }
    }
  }
  if (everyone != nullptr) FreeSid(everyone);
  if (acl != nullptr) LocalFree(acl);
  if (descriptor != nullptr) LocalFree(descriptor);
  SetLastError(callerError);
}
