// Loading libraries that ship beside the module; reading a file's version resource.
#include "host/win32_helpers.h"

#include <mbstring.h>
#include <string.h>

#include "host/module_lifecycle.h"

void ModuleFolder(char (&folder)[MAX_PATH]) noexcept {
  const DWORD length = GetModuleFileNameA(ModuleInstance(), folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    folder[0] = '\0';
    return;
  }
  // Searched as a multibyte string, so a trail byte of a double-byte character never counts.
  unsigned char* lastSlash = _mbsrchr(reinterpret_cast<unsigned char*>(folder), '\\');
  if (lastSlash != nullptr) lastSlash[1] = '\0'; else folder[0] = '\0';
}

HMODULE LoadBesideModule(const char* fileName, const char* baseName, DWORD* error) noexcept {
  char path[MAX_PATH];
  ModuleFolder(path);
  HMODULE module = nullptr;
  if (path[0] != '\0' && strlen(path) + strlen(fileName) < MAX_PATH) {
    strcat(path, fileName);
    module = LoadLibraryA(path);
  }
  if (module == nullptr) module = LoadLibraryA(baseName);
  *error = module != nullptr ? ERROR_SUCCESS : GetLastError();
  return module;
}

FileVersionBlock::FileVersionBlock(const char* path) noexcept {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return;
  block_ = HeapAlloc(GetProcessHeap(), 0, size);
  if (block_ != nullptr && !GetFileVersionInfoA(path, 0, size, block_)) {
    HeapFree(GetProcessHeap(), 0, block_);
    block_ = nullptr;
  }
}

FileVersionBlock::~FileVersionBlock() {
  if (block_ != nullptr) HeapFree(GetProcessHeap(), 0, block_);
}

bool FileVersionBlock::Query(const char* subBlock, void** value, UINT* length) const noexcept {
  return block_ != nullptr && VerQueryValueA(block_, subBlock, value, length) && *value != nullptr;
}
