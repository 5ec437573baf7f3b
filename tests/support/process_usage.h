// What the process holds, for tests that check nothing grows: the value a new handle gets and
// the bytes in use in all of its heaps.  Wine counts neither handles nor private bytes (both
// read 0); these work there and on Windows alike.
#pragma once

#include <stdint.h>

struct ProcessUsage {
  uintptr_t nextHandle;   // climbs when handles leak
  uint64_t heapBytes;     // busy bytes of every process heap
  unsigned long handles;  // GetProcessHandleCount, or 0 where the system does not count
};

ProcessUsage MeasureProcessUsage();

// Checks that `after` holds no more than `before` and a little slack: 8 handles and 256 KiB of
// heap.  `what` names the two moments in the printed figures.
void CheckUsageFlat(const char* what, const ProcessUsage& before, const ProcessUsage& after);
