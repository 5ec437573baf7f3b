// The demo host as a LabVIEW executable: it exports the run-time marker and a memory
// manager whose DSSetHandleSize resizes handles on the process heap.
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

uint32_t gLVRTVersion = 0x20260000;

int32_t DSSetHandleSize(void* handle, size_t size) {
  void** h = static_cast<void**>(handle);
  void* grown = *h == nullptr ? HeapAlloc(GetProcessHeap(), 0, size) : HeapReAlloc(GetProcessHeap(), 0, *h, size);
  if (grown == nullptr) return 2;  // memory full
  *h = grown;
  return 0;
}

}  // extern "C"
