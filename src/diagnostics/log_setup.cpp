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

namespace {

constexpr int kBannerLineSize = 200;

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

void WriteHeader(HANDLE file, const char* baseName, const Version& version) {
  if (TheLogState().useThread) WriteLine(file, "%s", kThreadLine);
  SYSTEMTIME today;
  GetLocalTime(&today);
  WriteLine(file, kHeaderFormat, baseName, version.major, version.minor, version.fourth, today.wDay, today.wMonth,
            today.wYear);
}

HANDLE OpenExistingLog(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

// Reads the ini options into LogState; missing, unreadable or short files leave the defaults.
void ReadIni(const char* folder) {
  LogState& log = TheLogState();
  char path[MAX_PATH];
  if (wnsprintfA(path, MAX_PATH, "%s%s", folder, log.iniName) >= MAX_PATH - 1) return;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  GrantEveryoneAccess(path);
  const DWORD size = GetFileSize(file, nullptr);
  char* text = size == INVALID_FILE_SIZE ? nullptr : static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 2));
  if (text != nullptr) {
    DWORD read = 0;
    if (ReadFile(file, text, size, &read, nullptr) && read == size) {
      text[size] = '\0';
      LowerCaseAscii(text);
      LogIniValues values = {0, log.flush, log.preserve, 0};
      ParseLogIni(text, &values);
      log.mask = values.logging;
      log.flush = values.flush;
      log.preserve = values.preserve;
      if (values.useThread != 0) log.useThread = true;
    }
    HeapFree(GetProcessHeap(), 0, text);
  }
  CloseHandle(file);
}

// Opens the append log and writes its banner; true when this session is logged there.
bool OpenAppendLog(const char* folder, const char* baseName, const Version& version) {
  LogState& log = TheLogState();
  wnsprintfA(log.logPath, kLogNameSize, "%s%s_a.log", folder, baseName);
  HANDLE file = OpenExistingLog(log.logPath);
  if (file == nullptr) return false;
  log.enabled = true;
  GrantEveryoneAccess(log.logPath);
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
  for (int i = 0; i < 3; ++i) WriteLine(file, "%s", kTildeLine);
  WriteLine(file, "%s", kNewSessionLine);
  for (int i = 0; i < 3; ++i) WriteLine(file, "%s", kTildeLine);
  WriteHeader(file, baseName, version);
  log.file = file;
  return true;
}

// Replaces an existing session log (kept under a time-stamped name with preserve on).
bool OpenSessionLog(const char* folder, const char* baseName, const Version& version) {
  LogState& log = TheLogState();
  wnsprintfA(log.logPath, kLogNameSize, "%s%s.log", folder, baseName);
  HANDLE existing = OpenExistingLog(log.logPath);
  if (existing == nullptr) return false;
  CloseHandle(existing);

  if (log.preserve != 0) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char kept[MAX_PATH];
    wnsprintfA(kept, MAX_PATH, "%s%s_%d%d_%d%d%d.log", folder, baseName, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    MoveFileA(log.logPath, kept);
  } else {
    DeleteFileA(log.logPath);
  }
  HANDLE file = CreateFileA(log.logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  GrantEveryoneAccess(log.logPath);
  WriteLine(file, "%s", kTildeLine);
  WriteLine(file, "%s", kTildeLine);
  WriteHeader(file, baseName, version);
  log.file = file;
  log.enabled = true;
  return true;
}

// Drops the info file once: an existing one is left as it is.
void WriteInfoFile(const char* folder, const char* baseName) {
  char path[MAX_PATH];
  wnsprintfA(path, MAX_PATH, "%s%s.txt", folder, baseName);
  HANDLE created = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) return;
  CloseHandle(created);
  FILE* info = fopen(path, "a+b");
  if (info == nullptr) return;
  for (const char* line : kInfoLines) fprintf(info, line, baseName, baseName);
  fflush(info);
  fclose(info);
  GrantEveryoneAccess(path);
}

}  // namespace

int32_t ReadProductVersion(const char* path, int32_t* major, int32_t* minor, int32_t* fourth) noexcept {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return -1;
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  if (block == nullptr) return -1;
  int32_t result = -1;
  DWORD* translation = nullptr;
  UINT length = 0;
  if (GetFileVersionInfoA(path, 0, size, block) &&
      VerQueryValueA(block, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) &&
      length >= sizeof(DWORD)) {
    char query[MAX_PATH];
    wnsprintfA(query, MAX_PATH, "\\StringFileInfo\\%04x%04x\\%s", LOWORD(*translation), HIWORD(*translation),
               "ProductVersion");
    char* text = nullptr;
    int32_t numbers[4] = {0, 0, 0, 0};
    // A version without a readable ProductVersion string shows as 0.0.0.0.
    if (VerQueryValueA(block, query, reinterpret_cast<void**>(&text), &length) && text != nullptr) {
      sscanf(text, strchr(text, ',') != nullptr ? "%d,%d,%d,%d" : "%d.%d.%d.%d", &numbers[0], &numbers[1],
             &numbers[2], &numbers[3]);
    }
    *major = numbers[0];
    *minor = numbers[1];
    *fourth = numbers[3];
    result = 0;
  }
  HeapFree(GetProcessHeap(), 0, block);
  return result;
}

int32_t LogOpen(const char* baseName) noexcept {
  LogState& log = TheLogState();
  if (log.setUpDone) return 0;
  log.setUpDone = true;

  Version version = {0, 0, 0};
  char modulePath[MAX_PATH];
  if (GetModuleFileNameA(ModuleInstance(), modulePath, MAX_PATH) == 0 ||
      ReadProductVersion(modulePath, &version.major, &version.minor, &version.fourth) != 0) {
    version = Version{0, 0, 0};
  }

  // Without a common application-data folder there is nowhere to log: the log stays off.
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, log.logPath) != S_OK ||
      strlen(log.logPath) + strlen("\\vor\\") >= MAX_PATH) {
    log.logPath[0] = '\0';
    log.enabled = false;
    return 0;
  }
  strcat(log.logPath, "\\vor\\");
  char folder[MAX_PATH];
  strcpy(folder, log.logPath);
  if (!PathFileExistsA(folder) || !PathIsDirectoryA(folder)) CreateDirectoryA(folder, nullptr);
  // Every name below is folder, base name and a suffix of at most 13 characters ("_12_31235959.log").
  if (strlen(folder) + strlen(baseName) + 16 >= MAX_PATH) {
    log.logPath[0] = '\0';
    log.enabled = false;
    return 0;
  }

  log.mask = 0;
  if (log.iniName[0] == '\0') wnsprintfA(log.iniName, kLogNameSize, "%s.ini", baseName);
  wnsprintfA(log.queueName, kLogNameSize, "\\\\.\\mailslot\\loggingslot_%s", baseName);
  ReadIni(folder);

  if (OpenAppendLog(folder, baseName, version) || OpenSessionLog(folder, baseName, version)) {
    if (log.lineMutex == nullptr) log.lineMutex = CreateMutexA(nullptr, FALSE, nullptr);
    return 0;
  }

  WriteInfoFile(folder, baseName);
  log.logPath[0] = '\0';
  log.enabled = false;
  return 0;
}

bool LogNeedsClose() noexcept {
  const LogState& log = TheLogState();
  return log.enabled || log.file != nullptr || log.lineMutex != nullptr || log.writerThread != nullptr;
}

void LogClose() noexcept {
  LogState& log = TheLogState();
  if (log.useThread) StopLogWriter();
  if (log.file != nullptr) {
    CloseHandle(log.file);
    log.file = nullptr;
  }
  if (log.lineMutex != nullptr) {
    CloseHandle(log.lineMutex);
    log.lineMutex = nullptr;
  }
  log.enabled = false;
  log.setUpDone = false;
}
