// The session log's folder, as the module finds it.
#include "log_folder.h"

#include <windows.h>
#include <shlobj.h>

#include "module_host.h"

std::string LogFolder() {
  char path[MAX_PATH];
  SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  return std::string(path) + "\\vor\\";
}

std::string InFolder(const char* name) { return LogFolder() + name; }

void PrepareFolder(std::initializer_list<std::pair<const char*, std::string>> files) {
  const std::string folder = LogFolder();
  RemoveFolder(folder.substr(0, folder.size() - 1));
  CreateDirectoryA(folder.c_str(), nullptr);
  for (const auto& file : files) WriteWholeFile(InFolder(file.first), file.second);
}

std::vector<std::string> FolderFiles() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((LogFolder() + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}
