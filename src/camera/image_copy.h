// The copy of an image into a LabVIEW array, with the routine chosen by size, by whether the
// array's lines are in a cache, and by what the processor offers, checked once at run time.
#pragma once

#include <stddef.h>

// Copies `bytes` from `source` to `target`, which do not overlap and need not be aligned
// (LabVIEW's elements start 4 or 8 bytes into their block).  With AVX2:
// - from 64 KiB on, the target is looked at first (four lines read and timed, eight such spots
//   from 4 MiB on): when its lines come from memory (a new array), non-temporal stores write
//   it without reading it in first;
// - otherwise (an array a loop reuses, still cached; or a small one) ordinary stores, which are
//   faster there: rep movsb from 2 KiB on where the processor makes it fast (ERMS), 32-byte AVX2
//   loads and stores below and on processors without it.
// Where the timestamp cannot tell cache from memory, frames larger than the L2 cache are
// streamed.  Without AVX2, the CRT's memcpy.
//
// Non-temporal stores leave the target out of the caches, so the next copy into the same array
// finds it in memory again and would stream for ever, even where the array could have stayed
// cached between copies.  The copy remembers the last targets it found in memory (by address,
// whichever thread copied): the second copy in a row that finds the same target in memory uses
// ordinary stores once, and the copies after it see whether the array stays cached.
void CopyImageBytes(void* target, const void* source, size_t bytes) noexcept;

// The routines CopyImageBytes chooses from, for tests that drive each one at every size and
// alignment.  Each copies any size; one the processor lacks falls back to memcpy.
enum class CopyRoutine { kMemcpy, kAvx2, kRepMovsb, kStream };
bool CopyRoutineAvailable(CopyRoutine routine) noexcept;
void CopyImageBytesWith(CopyRoutine routine, void* target, const void* source, size_t bytes) noexcept;
