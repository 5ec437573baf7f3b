// Image copies: the routine for each size, chosen once from the processor's features.
#include "camera/image_copy.h"

#include <windows.h>
#include <immintrin.h>
#include <string.h>

#include <atomic>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VORLAB_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define VORLAB_TARGET_AVX2
#endif

namespace {

enum class Routine { kMemcpy, kStream };

struct CopyPlan {
  bool avx2;               // AVX2 with the OS saving the YMM registers
  size_t streamThreshold;  // frames above this size go with non-temporal stores
};

// Made once, by the first copy; `s_planned` spares later copies the call into the system.
INIT_ONCE s_planOnce = INIT_ONCE_STATIC_INIT;
CopyPlan s_plan = {false, 0};
std::atomic<bool> s_planned{false};

void Cpuid(int leaf, int subleaf, unsigned (&regs)[4]) noexcept {
#if defined(_MSC_VER)
  int r[4];
  __cpuidex(r, leaf, subleaf);
  for (int i = 0; i < 4; ++i) regs[i] = static_cast<unsigned>(r[i]);
#else
  __cpuid_count(leaf, subleaf, regs[0], regs[1], regs[2], regs[3]);
#endif
}

unsigned long long ReadXcr0() noexcept {
#if defined(_MSC_VER)
  return _xgetbv(0);
#else
  unsigned eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32) | eax;
#endif
}

// The size of one core's L2 cache, or 1 MiB when the system does not say.
size_t L2CacheSize() noexcept {
  SYSTEM_LOGICAL_PROCESSOR_INFORMATION info[64];
  DWORD length = sizeof info;
  if (GetLogicalProcessorInformation(info, &length)) {
    for (DWORD i = 0; i < length / sizeof info[0]; ++i) {
      if (info[i].Relationship == RelationCache && info[i].Cache.Level == 2 && info[i].Cache.Size != 0) {
        return info[i].Cache.Size;
      }
    }
  }
  return size_t{1} << 20;
}

BOOL CALLBACK MakePlan(PINIT_ONCE, PVOID, PVOID*) {
  CopyPlan plan = {false, L2CacheSize()};
  unsigned regs[4];
  Cpuid(0, 0, regs);
  const unsigned maxLeaf = regs[0];
  Cpuid(1, 0, regs);
  const bool osSavesYmm = (regs[2] & (1u << 27)) != 0 && (ReadXcr0() & 0x6) == 0x6;
  const bool avx = (regs[2] & (1u << 28)) != 0;
  if (maxLeaf >= 7) {
    Cpuid(7, 0, regs);
    plan.avx2 = avx && osSavesYmm && (regs[1] & (1u << 5)) != 0;
  }
  s_plan = plan;
  s_planned.store(true, std::memory_order_release);
  return TRUE;
}

const CopyPlan& Plan() noexcept {
  if (!s_planned.load(std::memory_order_acquire)) InitOnceExecuteOnce(&s_planOnce, MakePlan, nullptr, nullptr);
  return s_plan;
}

Routine RoutineFor(size_t bytes) noexcept {
  const CopyPlan& plan = Plan();
  if (plan.avx2 && bytes > plan.streamThreshold) return Routine::kStream;
  return Routine::kMemcpy;
}

// Aligns the target to 32 bytes with one small copy, then streams 128 bytes a step past the
// caches; the tail goes with memcpy.  The fence makes the streamed bytes visible in order
// before the caller reads the array.
VORLAB_TARGET_AVX2 void CopyStream(void* target, const void* source, size_t bytes) noexcept {
  auto* to = static_cast<unsigned char*>(target);
  auto* from = static_cast<const unsigned char*>(source);
  const size_t head = (32 - (reinterpret_cast<uintptr_t>(to) & 31)) & 31;
  memcpy(to, from, head);
  to += head;
  from += head;
  bytes -= head;
  for (; bytes >= 128; bytes -= 128, to += 128, from += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 96));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to), a);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + 32), b);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + 64), c);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + 96), d);
  }
  _mm_sfence();
  memcpy(to, from, bytes);
}

}  // namespace

void CopyImageBytes(void* target, const void* source, size_t bytes) noexcept {
  switch (RoutineFor(bytes)) {
    case Routine::kStream: CopyStream(target, source, bytes); break;
    case Routine::kMemcpy: memcpy(target, source, bytes); break;
  }
}
