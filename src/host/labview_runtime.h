// The binding to the LabVIEW run-time's memory manager, found in the running process.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Resizes a LabVIEW handle's block to `size` bytes through the run-time's DSSetHandleSize,
// binding it on first use.  Returns the run-time's result (0 = done).  Ends the process with
// a fatal box when no run-time or no DSSetHandleSize can be found.
int32_t RuntimeSetHandleSize(void* handle, size_t size) noexcept;

// What the run-time's memory manager says of an array handle a caller passed, in one call:
// not a handle of LabVIEW's (DSCheckHandle), or the size in bytes of its block, dimension sizes
// included (DSGetHandleSize).  Never fatal: without those functions the handle is taken as
// given and its size is unknown, and the caller relies on what it knows without them.
enum class HandleCheck { kNotAHandle, kSized, kUnsized };
HandleCheck RuntimeCheckArray(void* handle, uint64_t* blockSize) noexcept;

// True when the run-time's DSCheckHandle says `handle` is not a live handle of LabVIEW's: the
// caller refuses it before anything reads or resizes through it (the run-time's other handle
// functions may end LabVIEW on a bad handle instead of failing).  False when the value passes,
// and when the run-time has no DSCheckHandle.
bool RuntimeRefusesHandle(void* handle) noexcept;

// Whether a run-time with DSSetHandleSize is in the process, binding it when it is: an export
// that can fail without it asks first instead of ending the process.
bool RuntimeCanResize() noexcept;
