// A stand-in run-time library (built as lvrt.dll and as lvffrt.dll): it exports
// DSSetHandleSize and counts the calls it served, so tests see which one was bound.
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

namespace {
volatile LONG s_served = 0;
}

extern "C" int32_t DSSetHandleSize(void* handle, size_t size) {
  InterlockedIncrement(&s_served);
  void** h = static_cast<void**>(handle);
  void* grown = HeapReAlloc(GetProcessHeap(), 0, *h, size);
  if (grown == nullptr) return 2;
  *h = grown;
  return 0;
}

extern "C" LONG StandInCallsServed() { return s_served; }
