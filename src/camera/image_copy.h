// The copy of an image into a LabVIEW array, with the routine chosen by size and by what the
// processor offers, checked once at run time.
#pragma once

#include <stddef.h>

// Copies `bytes` from `source` to `target` (which need not be aligned; LabVIEW's elements
// start 4 or 8 bytes into their block).  Frames larger than the L2 cache go with non-temporal
// AVX2 stores where the processor has them: the array is not read back at once, and the
// stores skip reading its lines into the caches first.  Smaller frames go with the CRT's
// memcpy, which measured faster than rep movsb on them.
void CopyImageBytes(void* target, const void* source, size_t bytes) noexcept;
