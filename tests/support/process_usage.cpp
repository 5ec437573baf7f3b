// What the process holds: the next handle value and the heaps' busy bytes.
#include "process_usage.h"

#include <windows.h>

namespace {

uint64_t HeapBytesInUse() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  uint64_t total = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heaps[i]);
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return total;
}

}  // namespace

ProcessUsage MeasureProcessUsage() {
  ProcessUsage usage = {0, 0, 0};
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  usage.handles = handles;
  HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  usage.nextHandle = reinterpret_cast<uintptr_t>(probe);
  CloseHandle(probe);
  usage.heapBytes = HeapBytesInUse();
  return usage;
}
