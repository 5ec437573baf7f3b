// Image retrieval: copies of filled buffers into LabVIEW arrays.
#include "diagnostics/error_codes.h"
#include "vorlabview.h"

extern "C" ErrorCode WINAPI VGetImageFromCamRam(void*, uint16_t, uint32_t, uint32_t, int16_t,
                                                VLVArrayHandle) {
  return kOptionNotAvailable;
}

extern "C" ErrorCode WINAPI VGetImageExFromCamRam(void*, uint16_t, uint32_t, uint32_t, int16_t,
                                                  uint16_t, uint16_t, uint16_t, VLVArrayHandle) {
  return kOptionNotAvailable;
}

extern "C" ErrorCode WINAPI VGetImageFromBuffer(void*, int16_t, uint16_t, uint16_t, uint16_t,
                                                VLVArrayHandle) {
  return kOptionNotAvailable;
}

extern "C" ErrorCode WINAPI VGetImageFromBuffer2D(void*, int16_t, uint16_t, uint16_t, uint16_t,
                                                  VLVArrayHandle) {
  return kOptionNotAvailable;
}
