// Error text: any 32-bit code as one line of English text.  Pure logic, no Win32 calls.
#pragma once

#include <stdint.h>

#include "diagnostics/error_codes.h"

constexpr uint32_t kErrorTextSize = 200;        // VGetErrorText's scratch line
constexpr uint32_t kMinErrorTextCapacity = 40;  // holds the longest short-buffer message

// Writes the code's line, NUL-terminated, into `out`; never more than `capacity` bytes.
// A capacity below 40 leaves `out` untouched.
void ComposeErrorText(ErrorCode code, char* out, uint32_t capacity) noexcept;
