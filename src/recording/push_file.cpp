// Push-file recording through the file plug-in library.
#include "diagnostics/error_codes.h"
#include "vorlabview.h"

extern "C" ErrorCode WINAPI VInitPushFile(void*, const char*, uint16_t, uint16_t, uint16_t, int32_t,
                                          int32_t) {
  return kOptionNotAvailable;
}

extern "C" ErrorCode WINAPI VPushImageToFile(void*, int16_t) { return kOptionNotAvailable; }

extern "C" ErrorCode WINAPI VClosePushFile(void*) { return kOptionNotAvailable; }
