// The module's own result codes (named for users in the public header) and the fixed codes it
// passes to the log.
#pragma once

#include <stdint.h>

#include "vorlabview.h"

typedef uint32_t ErrorCode;

constexpr ErrorCode kOk                  = VOR_OK;
constexpr ErrorCode kWrongParameter      = VOR_ERR_WRONG_PARAMETER;       // a null pointer or handle from the caller
constexpr ErrorCode kNoBuffer            = VOR_ERR_BUFFER_NOT_REGISTERED; // buffer not registered for this camera
constexpr ErrorCode kOptionNotAvailable  = VOR_ERR_OPTION_NOT_AVAILABLE;  // no camera, family, library or entry point
constexpr ErrorCode kWaitTimeout         = VOR_ERR_TIMEOUT;               // no buffer signalled in time, or the wait failed
constexpr ErrorCode kBufferTooSmall      = VOR_ERR_BUFFER_TOO_SMALL;      // a copy would run past a buffer or an array
constexpr ErrorCode kBufferNotFilled     = VOR_ERR_BUFFER_NOT_FILLED;     // the signalled buffer's status says not filled
constexpr ErrorCode kWaitCancelled       = VOR_ERR_WAIT_CANCELLED;        // VCancelWait, Vcleanup or an abort ended the wait

constexpr ErrorCode kLoadErrorLineCode   = 0x000A3000;  // code of a binder's load-error log line

constexpr ErrorCode kQd4EntryPointMissing     = VOR_ERR_QD4_ENTRY_MISSING;     // -998: one of the second to eighth missing
constexpr ErrorCode kQd4AllocateBufferMissing = VOR_ERR_QD4_ALLOCATE_MISSING;  // -999: only VOR_AllocateBuffer missing
