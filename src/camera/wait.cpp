// Waiting for filled buffers: VWaitForBuffers.
#include "diagnostics/error_codes.h"
#include "vorlabview.h"

extern "C" ErrorCode WINAPI VWaitForBuffers(void* /*hCam*/, int16_t* /*bufNr*/, uint32_t /*timeoutMs*/) {
  return kOptionNotAvailable;
}
