// The binding to the LabVIEW run-time's memory manager, found in the running process.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Resizes a LabVIEW handle's block to `size` bytes through the run-time's DSSetHandleSize,
// binding it on first use.  Returns the run-time's result (0 = done).  Ends the process with
// a fatal box when no run-time or no DSSetHandleSize can be found.
int32_t RuntimeSetHandleSize(void* handle, size_t size) noexcept;

// The size in bytes of a LabVIEW handle's block (its dimension sizes included), as the run-time's
// DSGetHandleSize reports it.  False, and never fatal, when the process has no run-time with
// that function: the caller then relies on what it knows without it.
bool RuntimeHandleSize(void* handle, uint64_t* size) noexcept;

// True when the run-time's DSCheckHandle says `handle` is not a live handle of LabVIEW's: the
// caller refuses it before anything reads or resizes through it (the run-time's other handle
// functions may end LabVIEW on a bad handle instead of failing).  False when the value passes,
// and when the run-time has no DSCheckHandle.
bool RuntimeRefusesHandle(void* handle) noexcept;

// Whether a run-time with DSSetHandleSize is in the process, binding it when it is: an export
// that can fail without it asks first instead of ending the process.
bool RuntimeCanResize() noexcept;
