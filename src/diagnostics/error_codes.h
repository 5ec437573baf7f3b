// The module's own result codes and the fixed codes it passes to the log.
#pragma once

#include <stdint.h>

typedef uint32_t ErrorCode;

constexpr ErrorCode kOk                  = 0x00000000;
constexpr ErrorCode kWrongParameter      = 0xA00A3001;  // a null pointer or handle from the caller
constexpr ErrorCode kNoBuffer            = 0xA00A3003;  // buffer not registered for this camera
constexpr ErrorCode kOptionNotAvailable  = 0x800A3004;  // no camera, family, library or entry point
constexpr ErrorCode kWaitTimeout         = 0xA00A3005;  // no buffer signalled in time, or the wait failed
constexpr ErrorCode kBufferTooSmall      = 0xA00A3006;  // a copy would run past a buffer or an array
constexpr ErrorCode kBufferNotFilled     = 0x800A300B;  // the signalled buffer's status says not filled

constexpr ErrorCode kLoadErrorLineCode   = 0x000A3000;  // code of a binder's load-error log line

constexpr ErrorCode kQd4EntryPointMissing   = 0xFFFFFC1A;  // -998: one of the second to eighth missing
constexpr ErrorCode kQd4AllocateBufferMissing = 0xFFFFFC19;  // -999: only VOR_AllocateBuffer missing
