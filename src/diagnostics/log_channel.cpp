// The log channel: the switch, LogWriteLine and its entry layout, the direct writes of the
// session log, and the access grant of log files.
#include "diagnostics/log_channel.h"

#include <aclapi.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <string.h>

#include <atomic>

#include "diagnostics/log_writer.h"
#include "host/win32_helpers.h"

namespace {

struct ChannelState {
  std::atomic<bool> enabled;    // set-up switches it on; any thread switches it off
  std::atomic<bool> connected;  // set once under lineMutex: entries go to the writer's queue
  LogOptions options;           // set-up, before the switch goes on; read-only afterwards
  char path[kLogNameSize];      // set-up; read-only while the log is open
  ScopedHandle lineMutex;       // set-up and module exit; serialises entries until connected
  ScopedHandle file;            // lineMutex: the log file that direct entries go to
  bool writerTried;             // lineMutex: the writer's start has been tried this load
};

// Zero at load: the log is off until set-up switches it on.
ChannelState s_channel;

// Set-up, from the ini; read by any thread.  Boxes are shown unless the ini says otherwise.
std::atomic<bool> s_boxesShown{true};

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
  ~LineMutexGuard() {
    if (owned_) ReleaseMutex(mutex_);
  }
  LineMutexGuard(const LineMutexGuard&) = delete;
  LineMutexGuard& operator=(const LineMutexGuard&) = delete;
  bool owned() const noexcept { return owned_; }

 private:
  HANDLE mutex_;
  bool owned_ = false;
};

// The entry without its stamp, which comes last so that it is taken where the entry's place
// in the file is decided.  The whole entry goes out in one write.  Returns its length.
DWORD ComposeBody(ErrorCode code, const char* text, char (&entry)[kEntrySize]) noexcept {
  int length = kStampSize;
  if (code != kOk) length += wnsprintfA(entry + length, kEntrySize - length, "ERROR %0X:\r\n", code);
  size_t textLength = strlen(text);
  if (textLength > kLogLineSize - 1) textLength = kLogLineSize - 1;
  memcpy(entry + length, text, textLength);
  length += static_cast<int>(textLength);
  memcpy(entry + length, "\r\n", 2);
  return static_cast<DWORD>(length + 2);
}

void Post(char* entry, DWORD length) noexcept {
  if (!PostLogEntry(entry, length)) LogSwitchOff();
}

// Opens the log file again, at its end: after every entry with flush=0, so the file on disk
// is current, and once in thread mode when the log stays direct.  Shared for reading only,
// so the old handle goes first.
void Reopen() noexcept {
  s_channel.file.Reset();
  s_channel.file.Reset(CreateFileA(s_channel.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!s_channel.file.valid()) {
    s_channel.file.Release();
    LogSwitchOff();
    return;
  }
  GrantEveryoneAccess(s_channel.path);
  LARGE_INTEGER zero = {};
  SetFilePointerEx(s_channel.file.get(), zero, nullptr, FILE_END);
}

// The first entry in thread mode has gone straight into the file; the writer then takes over
// with a handle of its own, which the channel's (shared for reading only) would keep out.
void StartWriter() noexcept {
  s_channel.writerTried = true;
  s_channel.file.Reset();
  switch (StartLogWriter()) {
    case WriterStart::kReady:
      s_channel.connected.store(true);
      break;
    case WriterStart::kUnavailable:
      Reopen();  // direct for good, the file kept open
      break;
    case WriterStart::kFailed:
      LogSwitchOff();
      break;
  }
}

// An entry under lineMutex.
void WriteEntry(char* entry, DWORD length) noexcept {
  if (s_channel.connected.load()) {
    Post(entry, length);
    return;
  }
  if (!s_channel.file.valid()) {
    LogSwitchOff();
    return;
  }
  StampEntry(entry);
  if (!WriteAll(s_channel.file.get(), entry, length)) {
    s_channel.file.Reset();
    LogSwitchOff();
    return;
  }
  if (s_channel.options.useThread) {
    // The flush option has no effect in thread mode.
    if (!s_channel.writerTried) StartWriter();
    return;
  }
  if (s_channel.options.flush == 0) Reopen();
}

}  // namespace

bool LogEnabled() noexcept { return s_channel.enabled.load(std::memory_order_relaxed); }

void LogSwitchOff() noexcept { s_channel.enabled.store(false); }

const char* LogPath() noexcept { return s_channel.path; }

LogOptions LogSessionOptions() noexcept { return s_channel.options; }

void StampEntry(char* entry) noexcept {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[kStampSize + 1];
  wnsprintfA(stamp, sizeof stamp, "%02d:%02d:%02d.%03d %02d.%02d.%4d\r\n", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds, now.wDay, now.wMonth, now.wYear);
  memcpy(entry, stamp, kStampSize);
}

void LogChannelOpen(const char* path, HANDLE file, const LogOptions& options) noexcept {
  lstrcpynA(s_channel.path, path, kLogNameSize);
  s_channel.options = options;
  s_channel.file.Reset(file);
  if (!s_channel.lineMutex.valid()) s_channel.lineMutex.Reset(CreateMutexA(nullptr, FALSE, nullptr));
  s_channel.writerTried = false;
  s_channel.connected.store(false);
  s_channel.enabled.store(true);
}

void LogChannelClose() noexcept {
  s_channel.enabled.store(false);
  s_channel.connected.store(false);
  s_channel.file.Reset();
  s_channel.lineMutex.Reset();
  s_channel.writerTried = false;
  s_channel.path[0] = '\0';
}

bool MessageBoxesShown() noexcept { return s_boxesShown.load(); }

void SetMessageBoxesShown(bool shown) noexcept { s_boxesShown.store(shown); }

void ShowOrLogBox(ErrorCode code, HWND owner, const char* text, const char* caption, UINT style) noexcept {
  if (MessageBoxesShown()) {
    MessageBoxA(owner, text, caption, style);
  } else if (LogEnabled()) {
    LogWriteLine(code, text);
  }
}

void LogWriteLine(ErrorCode code, const char* text, uint32_t lineMask) noexcept {
  if (!s_channel.enabled.load()) return;
  if ((s_channel.options.mask & lineMask) != lineMask) return;
  if (text == nullptr) text = "";

  LastErrorGuard callerError;
  char entry[kEntrySize];
  const DWORD length = ComposeBody(code, text, entry);
  if (s_channel.connected.load()) {
    // Connected: the queue's own lock orders the entries; the mutex, a round trip to the
    // system on every entry, is only needed on the way there.
    Post(entry, length);
  } else {
    LineMutexGuard guard(s_channel.lineMutex.get());
    if (guard.owned()) WriteEntry(entry, length);
  }
}

void LogFormat(ErrorCode code, const char* format, ...) noexcept {
  LastErrorGuard callerError;
  char line[kLogLineSize];
  va_list args;
  va_start(args, format);
  wvnsprintfA(line, kLogLineSize, format, args);
  va_end(args);
  LogWriteLine(code, line);
}

void GrantEveryoneAccess(const char* path) noexcept {
  LastErrorGuard callerError;
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
}
