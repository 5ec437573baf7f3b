// The benchmark's own copy routines: the baselines the module's copy is measured against,
// written here so the comparison is not with the module's own code.
#pragma once

#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define BENCH_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define BENCH_TARGET_AVX2
#endif

namespace bench {

inline void CopyMemcpy(void* to, const void* from, size_t bytes) { memcpy(to, from, bytes); }

inline void CopyRepMovsb(void* to, const void* from, size_t bytes) {
#if defined(_MSC_VER)
  __movsb(static_cast<unsigned char*>(to), static_cast<const unsigned char*>(from), bytes);
#else
  __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(bytes) : : "memory");
#endif
}

// Non-temporal AVX2: 64-byte steps to a 32-byte aligned target, the rest with memcpy.
BENCH_TARGET_AVX2 inline void CopyStreamAvx2(void* to, const void* from, size_t bytes) {
  auto* t = static_cast<uint8_t*>(to);
  auto* f = static_cast<const uint8_t*>(from);
  const size_t head = (32 - (reinterpret_cast<uintptr_t>(t) & 31)) & 31;
  memcpy(t, f, head < bytes ? head : bytes);
  if (head >= bytes) return;
  t += head;
  f += head;
  bytes -= head;
  while (bytes >= 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 32));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(t), a);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(t + 32), b);
    t += 64;
    f += 64;
    bytes -= 64;
  }
  _mm_sfence();
  memcpy(t, f, bytes);
}

// Evicts a source frame from every cache level, as a camera's DMA leaves it.
inline void MakeCold(const void* data, size_t bytes) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < bytes; i += 64) _mm_clflush(p + i);
  _mm_clflush(p + bytes - 1);
  _mm_mfence();
}

}  // namespace bench
