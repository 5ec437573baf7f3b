// Puts the log channel of the linked module code in the state a set-up leaves it in.
#include "log_fixture.h"

#include <windows.h>
#include <string.h>

#include "diagnostics/log_channel.h"
#include "module_host.h"

std::string AttachLog(const char* name, int32_t flush) {
  static std::string folder;
  if (folder.empty()) folder = MakeFreshFolder("log");
  LogState& log = TheLogState();
  const std::string path = folder + "\\" + name;
  DeleteFileA(path.c_str());
  strcpy(log.logPath, path.c_str());
  log.file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log.lineMutex == nullptr) log.lineMutex = CreateMutexA(nullptr, FALSE, nullptr);
  log.flush = flush;
  log.useThread = false;
  log.mask = 0;
  log.enabled = true;
  return path;
}

void DetachLog() {
  LogState& log = TheLogState();
  if (log.file != nullptr) CloseHandle(log.file);
  log.file = nullptr;
  log.enabled = false;
}
