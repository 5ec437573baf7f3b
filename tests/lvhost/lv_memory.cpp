// The LabVIEW stand-in's memory manager: blocks on the process heap behind a handle.
#include "lv_memory.h"

#include <windows.h>
#include <string.h>

#include <atomic>
#include <map>
#include <set>

namespace {

constexpr int32_t kNoError = 0;
constexpr int32_t kMemoryFull = 2;
constexpr int32_t kZoneError = 3;

LvMemoryCalls s_calls = {0, nullptr, 0};
bool s_fail = false;
std::atomic<long> s_checks{0};

constexpr uint8_t kPoison = 0xA5;

// Arrays made by LvNewArray: the block size LabVIEW would report, and the guard behind it.
struct ArrayBlock {
  size_t size;
  size_t guard;
};
std::map<void*, ArrayBlock>& Arrays() {
  static std::map<void*, ArrayBlock> arrays;
  return arrays;
}

// Every handle this memory manager made and has not disposed of, as LabVIEW's knows its own.
std::set<void*>& Handles() {
  static std::set<void*> handles;
  return handles;
}
SRWLOCK s_handlesLock = SRWLOCK_INIT;

void Remember(void* handle, bool live) {
  AcquireSRWLockExclusive(&s_handlesLock);
  if (live) Handles().insert(handle); else Handles().erase(handle);
  ReleaseSRWLockExclusive(&s_handlesLock);
}

}  // namespace

VLVStringHandle LvNewString(const char* text, size_t extra) {
  const size_t length = strlen(text);
  auto** handle = static_cast<VLVStringPtr*>(HeapAlloc(GetProcessHeap(), 0, sizeof(void*)));
  *handle = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4 + length + extra));
  (*handle)->cnt = static_cast<int32_t>(length);
  memcpy((*handle)->str, text, length);
  Remember(handle, true);
  return handle;
}

void LvDisposeHandle(void* handle) {
  Remember(handle, false);
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

void** LvNewArray(const int32_t* sizes, int dimensions, size_t elementBytes, size_t guard) {
  size_t elements = 1;
  for (int d = 0; d < dimensions; ++d) elements *= sizes[d] > 0 ? static_cast<size_t>(sizes[d]) : 0;
  const size_t size = 4 * static_cast<size_t>(dimensions) + elements * elementBytes;
  auto** handle = static_cast<void**>(HeapAlloc(GetProcessHeap(), 0, sizeof(void*)));
  *handle = HeapAlloc(GetProcessHeap(), 0, size + guard);
  memset(*handle, kPoison, size + guard);
  memcpy(*handle, sizes, 4 * static_cast<size_t>(dimensions));
  Arrays()[handle] = ArrayBlock{size, guard};
  Remember(handle, true);
  return handle;
}

bool LvArrayPoisonFrom(void** handle, int dimensions, size_t from) {
  const ArrayBlock& block = Arrays()[handle];
  const uint8_t* bytes = static_cast<const uint8_t*>(*handle);
  for (size_t i = 4 * static_cast<size_t>(dimensions) + from; i < block.size + block.guard; ++i) {
    if (bytes[i] != kPoison) return false;
  }
  return true;
}

extern "C" int32_t DSGetHandleSize(void* handle) {
  auto found = Arrays().find(handle);
  if (found != Arrays().end()) return static_cast<int32_t>(found->second.size);
  return handle != nullptr ? static_cast<int32_t>(LvBlockSize(handle)) : -1;
}

extern "C" int32_t DSCheckHandle(void* handle) {
  AcquireSRWLockShared(&s_handlesLock);
  const bool known = Handles().count(handle) != 0;
  ReleaseSRWLockShared(&s_handlesLock);
  ++s_checks;
  return known ? kNoError : kZoneError;
}

long LvHandleChecks() { return s_checks; }
