// The markers by which the module recognises a LabVIEW executable.
#include <stdint.h>

extern "C" {
uint32_t gLVRTVersion = 0x20260000;
void* AZNewHandle(size_t) { return nullptr; }
}
