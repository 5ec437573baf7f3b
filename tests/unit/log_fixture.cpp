// Puts the log channel of the linked module code in the state a set-up leaves it in.
#include "log_fixture.h"

#include <windows.h>

#include "diagnostics/log_channel.h"
#include "module_host.h"

std::string AttachLog(const char* name, int32_t flush, uint32_t mask) {
  static std::string folder;
  if (folder.empty()) folder = MakeFreshFolder("log");
  const std::string path = folder + "\\" + name;
  DeleteFileA(path.c_str());
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  LogChannelOpen(path.c_str(), file == INVALID_HANDLE_VALUE ? nullptr : file, LogOptions{mask, flush, false});
  return path;
}

void DetachLog() { LogChannelClose(); }
