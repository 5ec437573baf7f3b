// Family binding: loads a family's SDK library and resolves its entry points.
#pragma once

#include "diagnostics/error_codes.h"

// Each returns 0, a Windows error number from the load, or the family's resolution code.
// The library loads without the registry lock; the resolved group is stored under it.
ErrorCode getLanticam() noexcept;
ErrorCode getTornio() noexcept;
ErrorCode getQD4() noexcept;

// Registers a camera as VInitLibrary does, logging under `exportName`; *serial receives the
// registration's identity, and `tied` marks it as cleaned up by its node's Unreserve.
ErrorCode InitCamera(void* hCam, int32_t family, const char* exportName, bool tied, uint64_t* serial) noexcept;

// Ends the waits of the camera when its registration `serial` is still live; false when it is
// not (the camera was cleaned up, or is being cleaned up).
bool EndWaitsOfRegistration(void* hCam, uint64_t serial) noexcept;
