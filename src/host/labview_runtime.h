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
