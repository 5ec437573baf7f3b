// The copy of an image into a LabVIEW array, with the routine chosen by size and by what the
// processor offers, checked once at run time.
#pragma once

#include <stddef.h>

// Copies `bytes` from `source` to `target` (which need not be aligned; LabVIEW's elements
// start 4 or 8 bytes into their block).  Frames larger than the L2 cache go with
// non-temporal AVX2 stores, which keep a copy that is read once from evicting the caller's
// working set; smaller ones with rep movsb where the processor makes it fast, else memcpy.
void CopyImageBytes(void* target, const void* source, size_t bytes) noexcept;

// Which routine CopyImageBytes takes for `bytes`: "stream" (non-temporal AVX2), "movsb" or
// "memcpy".  For the benchmark's report.
const char* CopyRoutineFor(size_t bytes) noexcept;
