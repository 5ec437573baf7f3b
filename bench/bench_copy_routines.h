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

// Non-temporal AVX2: whole lines, 128 bytes a step, to a 64-byte aligned target; the head and
// the rest with memcpy.
BENCH_TARGET_AVX2 inline void CopyStreamAvx2(void* to, const void* from, size_t bytes) {
  auto* t = static_cast<uint8_t*>(to);
  auto* f = static_cast<const uint8_t*>(from);
  const size_t head = (64 - (reinterpret_cast<uintptr_t>(t) & 63)) & 63;
  memcpy(t, f, head < bytes ? head : bytes);
  if (head >= bytes) return;
  t += head;
  f += head;
  bytes -= head;
  for (; bytes >= 128; bytes -= 128, t += 128, f += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 96));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(t), a);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(t + 32), b);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(t + 64), c);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(t + 96), d);
  }
  _mm_sfence();
  memcpy(t, f, bytes);
}

// Ordinary stores: 32-byte unaligned loads and stores, 128 bytes a step, the rest with memcpy.
BENCH_TARGET_AVX2 inline void CopyAvx2(void* to, const void* from, size_t bytes) {
  auto* t = static_cast<uint8_t*>(to);
  auto* f = static_cast<const uint8_t*>(from);
  for (; bytes >= 128; bytes -= 128, t += 128, f += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 96));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 32), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 64), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 96), d);
  }
  memcpy(t, f, bytes);
}

// Evicts a source frame from every cache level, as a camera's DMA leaves it.
inline void MakeCold(const void* data, size_t bytes) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < bytes; i += 64) _mm_clflush(p + i);
  _mm_clflush(p + bytes - 1);
  _mm_mfence();
}

// Writes one byte of every line with an ordinary store, so the lines sit modified in the caches
// as the previous round's copy of a loop that reuses its array leaves them.
inline void MakeWritten(void* data, size_t bytes) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < bytes; i += 64) p[i] = 0;
  p[bytes - 1] = 0;
}

// Reads one byte of every line, so the lines sit in the caches as far as they fit.
inline void MakeCached(const void* data, size_t bytes) {
  const volatile uint8_t* p = static_cast<const volatile uint8_t*>(data);
  uint8_t sum = 0;
  for (size_t i = 0; i < bytes; i += 64) sum = static_cast<uint8_t>(sum + p[i]);
  (void)sum;
}

}  // namespace bench
