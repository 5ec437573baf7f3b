// What the process holds: the next handle value and the heaps' busy bytes.
#include "process_usage.h"

#include <windows.h>
#include <stdio.h>

#include "wtest.h"

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

void CheckUsageFlat(const char* what, const ProcessUsage& before, const ProcessUsage& after) {
  printf("%s: handles %lu -> %lu, next handle value %#llx -> %#llx, heap bytes in use %llu -> %llu\n", what,
         before.handles, after.handles, static_cast<unsigned long long>(before.nextHandle),
         static_cast<unsigned long long>(after.nextHandle), static_cast<unsigned long long>(before.heapBytes),
         static_cast<unsigned long long>(after.heapBytes));
  ok(after.handles <= before.handles + 8, "handles grew from %lu to %lu", before.handles, after.handles);
  ok(after.nextHandle <= before.nextHandle + 8 * 4, "new handles went from %#llx to %#llx",
     static_cast<unsigned long long>(before.nextHandle), static_cast<unsigned long long>(after.nextHandle));
  ok(after.heapBytes <= before.heapBytes + 256 * 1024, "heap bytes in use grew by %lld",
     static_cast<long long>(after.heapBytes - before.heapBytes));
}
