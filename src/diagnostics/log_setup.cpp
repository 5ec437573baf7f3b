// Session log set-up: the log folder, the ini options, the choice between append log,
// session log and info file, the banners and the header.
#include "diagnostics/log_setup.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "diagnostics/log_channel.h"
#include "diagnostics/log_ini.h"
#include "diagnostics/log_writer.h"
#include "host/module_lifecycle.h"
#include "host/win32_helpers.h"

namespace {

constexpr int kBannerLineSize = 200;
constexpr LONGLONG kMaxIniSize = 64 * 1024;  // an options file is a few lines; anything larger is not one

// Set-up's own; the options and the open log go to the channel.
struct SetupState {
  bool done;                   // module start and exit: set-up has run for this load
  char iniName[kLogNameSize];  // module start: the ini's file name, without folder
};

// Zero at load.
SetupState s_setup;

const char kTildeLine[] =
    "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\r\n";
const char kNewSessionLine[] =
    "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~ N e w  s e s s i o n ! ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\r\n";
const char kThreadLine[] = "Logging runs in a thread!\r\n";
const char kHeaderFormat[] = "vor AG | %s dll V%d.%d.0.%d (64bit) / %d.%d.%d\r\n\r\n";

// The info file, line by line; %s is the base name.
const char* const kInfoLines[] = {
    "Logging info: Rename this file to %s.log, in order to enable logging.\r\n",
    "              Logging consumes time and should not be enabled permanently.\r\n",
    "              %s.log will be overwritten at startup of a session.\r\n",
    "              If you like to have more than one session logged, rename this file\r\n",
    "              to %s_a.log. If both exist %s_a.log will be used.\r\n",
    "              Create a file %s.ini with the following parameters:\r\n",
    "              flush=1     (default=0, avoids a logfile close/open during write operation\r\n",
    "                          This will be faster than flush=0, but the most recent data is\r\n",
    "                          still in the cache of the system and thus the file is not current.\r\n",
    "              usethread=1 (default=0, uses a thread to write the logging data\r\n",
    "                          This avoids blocking of the thread calling the write operation.\r\n",
    "                          This will be faster than usethread=0, but the most recent data is\r\n",
    "                          still buffered in logging buffers and thus the file is not current.",
};

struct Version {
  int32_t major, minor, fourth;
};

// Formats one banner or header line into 200 bytes and writes it straight into the file.
void WriteLine(HANDLE file, const char* format, ...) {
  char line[kBannerLineSize];
  va_list args;
  va_start(args, format);
  const int length = wvnsprintfA(line, kBannerLineSize, format, args);
  va_end(args);
  DWORD written = 0;
  if (length > 0) WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
}

void WriteHeader(HANDLE file, const char* baseName, const Version& version, bool useThread) {
  if (useThread) WriteLine(file, "%s", kThreadLine);
  SYSTEMTIME today;
  GetLocalTime(&today);
  WriteLine(file, kHeaderFormat, baseName, version.major, version.minor, version.fourth, today.wDay, today.wMonth,
            today.wYear);
}

ScopedHandle OpenExistingLog(const char* path) {
  return ScopedHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Reads the ini options; a missing, unreadable, short or oversized file leaves the defaults.
void ReadIni(const char* folder, LogOptions* options, int32_t* preserve) {
  char path[MAX_PATH];
  if (wnsprintfA(path, MAX_PATH, "%s%s", folder, s_setup.iniName) >= MAX_PATH - 1) return;
  ScopedHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  if (!file.valid()) return;
  GrantEveryoneAccess(path);
  // The size in 64 bits and bounded, so the block and the read below always agree.
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 || size.QuadPart > kMaxIniSize) return;
  const DWORD length = static_cast<DWORD>(size.QuadPart);
  char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
  if (text == nullptr) return;
  DWORD read = 0;
  if (ReadFile(file.get(), text, length, &read, nullptr) && read == length) {
    text[length] = '\0';
    LowerCaseAscii(text);
    LogIniValues values = {0, options->flush, *preserve, 0};
    ParseLogIni(text, &values);
    options->mask = values.logging;
    options->flush = values.flush;
    *preserve = values.preserve;
    if (values.useThread != 0) options->useThread = true;
    SetMessageBoxesShown(values.messageBoxes != 0);
  }
  HeapFree(GetProcessHeap(), 0, text);
}

// Opens the append log and writes its banner; the open log, or none when this session is not
// logged there.
ScopedHandle OpenAppendLog(const char* folder, const char* baseName, const Version& version, bool useThread,
                           char (&logPath)[kLogNameSize]) {
  wnsprintfA(logPath, kLogNameSize, "%s%s_a.log", folder, baseName);
  ScopedHandle file = OpenExistingLog(logPath);
  if (!file.valid()) return file;
  GrantEveryoneAccess(logPath);
  LARGE_INTEGER size = {};
  GetFileSizeEx(file.get(), &size);
  SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN);
  for (int i = 0; i < 3; ++i) WriteLine(file.get(), "%s", kTildeLine);
  WriteLine(file.get(), "%s", kNewSessionLine);
  for (int i = 0; i < 3; ++i) WriteLine(file.get(), "%s", kTildeLine);
  WriteHeader(file.get(), baseName, version, useThread);
  return file;
}

// Replaces an existing session log (kept under a time-stamped name with preserve on).
ScopedHandle OpenSessionLog(const char* folder, const char* baseName, const Version& version, bool useThread,
                            int32_t preserve, char (&logPath)[kLogNameSize]) {
  wnsprintfA(logPath, kLogNameSize, "%s%s.log", folder, baseName);
  if (!OpenExistingLog(logPath).valid()) return ScopedHandle();

  if (preserve != 0) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char kept[MAX_PATH];
    wnsprintfA(kept, MAX_PATH, "%s%s_%d%d_%d%d%d.log", folder, baseName, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    MoveFileA(logPath, kept);
  } else {
    DeleteFileA(logPath);
  }
  ScopedHandle file(CreateFileA(logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return file;
  GrantEveryoneAccess(logPath);
  WriteLine(file.get(), "%s", kTildeLine);
  WriteLine(file.get(), "%s", kTildeLine);
  WriteHeader(file.get(), baseName, version, useThread);
  return file;
}

// Drops the info file once: an existing one is left as it is.
void WriteInfoFile(const char* folder, const char* baseName) {
  char path[MAX_PATH];
  wnsprintfA(path, MAX_PATH, "%s%s.txt", folder, baseName);
  // Made only when it is not there yet, and closed again at once for the writes below.
  if (!ScopedHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr)).valid()) {
    return;
  }
  FILE* info = fopen(path, "a+b");
  if (info == nullptr) return;
  for (const char* line : kInfoLines) fprintf(info, line, baseName, baseName);
  fflush(info);
  fclose(info);
  GrantEveryoneAccess(path);
}

}  // namespace

int32_t ReadProductVersion(const char* path, int32_t* major, int32_t* minor, int32_t* fourth) noexcept {
  const FileVersionBlock block(path);
  DWORD* translation = nullptr;
  UINT length = 0;
  if (!block.Query("\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(DWORD)) {
    return -1;
  }
  char query[MAX_PATH];
  wnsprintfA(query, MAX_PATH, "\\StringFileInfo\\%04x%04x\\%s", LOWORD(*translation), HIWORD(*translation),
             "ProductVersion");
  char* text = nullptr;
  int32_t numbers[4] = {0, 0, 0, 0};
  // A version without a readable ProductVersion string shows as 0.0.0.0.
  if (block.Query(query, reinterpret_cast<void**>(&text), &length)) {
    sscanf(text, strchr(text, ',') != nullptr ? "%d,%d,%d,%d" : "%d.%d.%d.%d", &numbers[0], &numbers[1], &numbers[2],
           &numbers[3]);
  }
  *major = numbers[0];
  *minor = numbers[1];
  *fourth = numbers[3];
  return 0;
}

int32_t LogOpen(const char* baseName) noexcept {
  if (s_setup.done) return 0;
  s_setup.done = true;

  Version version = {0, 0, 0};
  char modulePath[MAX_PATH];
  if (GetModuleFileNameA(ModuleInstance(), modulePath, MAX_PATH) == 0 ||
      ReadProductVersion(modulePath, &version.major, &version.minor, &version.fourth) != 0) {
    version = Version{0, 0, 0};
  }

  // Without a common application-data folder there is nowhere to log: the log stays off.
  char folder[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK ||
      strlen(folder) + strlen("\\vor\\") >= MAX_PATH) {
    return 0;
  }
  strcat(folder, "\\vor\\");
  if (!PathFileExistsA(folder) || !PathIsDirectoryA(folder)) CreateDirectoryA(folder, nullptr);
  // Every name below is folder, base name and a suffix of at most 13 characters ("_12_31235959.log").
  if (strlen(folder) + strlen(baseName) + 16 >= MAX_PATH) return 0;

  if (s_setup.iniName[0] == '\0') wnsprintfA(s_setup.iniName, kLogNameSize, "%s.ini", baseName);
  LogOptions options = {0, 0, false};
  int32_t preserve = 0;
  ReadIni(folder, &options, &preserve);

  char logPath[kLogNameSize];
  ScopedHandle file = OpenAppendLog(folder, baseName, version, options.useThread, logPath);
  if (!file.valid()) file = OpenSessionLog(folder, baseName, version, options.useThread, preserve, logPath);
  if (file.valid()) {
    if (options.useThread) PrepareLogWriter(baseName);
    LogChannelOpen(logPath, file.Release(), options);
    return 0;
  }

  WriteInfoFile(folder, baseName);
  return 0;
}

void LogClose() noexcept {
  // The writer appends what it still holds to the log file, so it goes first.
  StopLogWriter();
  LogChannelClose();
  s_setup.done = false;
}
