// The LabVIEW stand-in's memory manager: blocks on the process heap behind a handle.
#include "lv_memory.h"

#include <windows.h>
#include <string.h>

namespace {

constexpr int32_t kNoError = 0;
constexpr int32_t kMemoryFull = 2;

LvMemoryCalls s_calls = {0, nullptr, 0};
bool s_fail = false;

}  // namespace

VLVStringHandle LvNewString(const char* text, size_t extra) {
  const size_t length = strlen(text);
  auto** handle = static_cast<VLVStringPtr*>(HeapAlloc(GetProcessHeap(), 0, sizeof(void*)));
  *handle = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4 + length + extra));
  (*handle)->cnt = static_cast<int32_t>(length);
  memcpy((*handle)->str, text, length);
  return handle;
}

void LvDisposeHandle(void* handle) {
  void** h = static_cast<void**>(handle);
  HeapFree(GetProcessHeap(), 0, *h);
  HeapFree(GetProcessHeap(), 0, h);
}

size_t LvBlockSize(void* handle) { return HeapSize(GetProcessHeap(), 0, *static_cast<void**>(handle)); }

LvMemoryCalls LvCalls() { return s_calls; }
void LvResetCalls() { s_calls = LvMemoryCalls{0, nullptr, 0}; }
void LvFailResize(bool fail) { s_fail = fail; }

extern "C" int32_t DSSetHandleSize(void* handle, size_t size) {
  ++s_calls.count;
  s_calls.lastHandle = handle;
  s_calls.lastSize = size;
  if (s_fail || handle == nullptr) return kMemoryFull;
  void** h = static_cast<void**>(handle);
  void* grown = HeapReAlloc(GetProcessHeap(), 0, *h, size);
  if (grown == nullptr) return kMemoryFull;
  *h = grown;
  return kNoError;
}
