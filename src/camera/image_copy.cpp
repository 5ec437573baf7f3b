// Image copies: the routine for each copy, from its size, from whether the target's lines are
// cached, and from the processor's features, checked once.
#include "camera/image_copy.h"

#include <windows.h>
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#include <x86intrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VORLAB_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define VORLAB_TARGET_AVX2
#endif

namespace {

// Below this, rep movsb's start-up costs more than the AVX2 loop.
constexpr size_t kRepMovsbFrom = 2 * 1024;
// Below this, looking at the target costs more than non-temporal stores could save.
constexpr size_t kLookedAtFrom = 64 * 1024;
// From this size on, a target may have left the caches in part, and spans more pages than the
// TLB is sure to hold: eight spots of it are looked at, each after its pages are in the TLB,
// and the majority decides.
constexpr size_t kVotedFrom = 4 * 1024 * 1024;
constexpr int kSpots = 8;

struct CopyPlan {
  bool avx2;               // AVX2 with the OS saving the YMM registers
  bool fastRepMovsb;       // ERMS: rep movsb moves whole lines at a time
  uint64_t memoryTicks;    // a look at four lines slower than this found them in memory; 0: no looks
  size_t streamThreshold;  // without looks, frames above this size go with non-temporal stores
};

// Made once, by the first copy; `s_planned` spares later copies the call into the system.
INIT_ONCE s_planOnce = INIT_ONCE_STATIC_INIT;
CopyPlan s_plan = {false, false, 0, 0};
std::atomic<bool> s_planned{false};

// Lines the plan times reads of, from memory and from the cache, spread over pages as a
// target's are.
alignas(64) unsigned char s_timedLines[8 * 4096];

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

// Timestamp ticks to read four lines spread over `bytes` at `data`, all at once: a few dozen
// when they are cached, hundreds when they come from memory.  The fences keep earlier reads
// still on their way out of the time, and hold the second timestamp until these reads are done.
uint64_t TicksToReadLines(const void* data, size_t bytes) noexcept {
  const size_t step = bytes / 4;
  const volatile unsigned char* line = static_cast<const volatile unsigned char*>(data) + step / 2;
  _mm_lfence();
  const uint64_t start = __rdtsc();
  const unsigned sum = line[0] + line[step] + line[2 * step] + line[3 * step];
  _mm_lfence();
  const uint64_t end = __rdtsc();
  (void)sum;
  return end - start;
}

// Reads, all at once, a line 2 KiB away from each of the `lines` lines TicksToReadLines looks
// at in `bytes` at `data`: the same pages, so their page walks are done before the timed reads,
// and not mistaken for memory.
void WalkPages(const unsigned char* data, size_t bytes, int lines) noexcept {
  const size_t step = bytes / lines;
  unsigned sum = 0;
  for (int i = 0; i < lines; ++i) {
    const uintptr_t line = reinterpret_cast<uintptr_t>(data + step / 2 + i * step);
    sum += *reinterpret_cast<const volatile unsigned char*>(line ^ 2048);
  }
  (void)sum;
}

// The reading time that tells memory from cache on this machine, each the median of nine
// tries: two thirds of the way from cache to memory, as lines in the last-level cache or behind
// a TLB miss take longer than the plan's own cached lines.  Zero when the two are too close to
// tell apart (a timestamp the hypervisor emulates, for one).
uint64_t MemoryTicks() noexcept {
  memset(s_timedLines, 1, sizeof s_timedLines);  // own pages, not the shared zero page
  uint64_t fromMemory[9], fromCache[9];
  for (int i = 0; i < 9; ++i) {
    for (size_t at = 0; at < sizeof s_timedLines; at += 64) _mm_clflush(s_timedLines + at);
    _mm_mfence();
    fromMemory[i] = TicksToReadLines(s_timedLines, sizeof s_timedLines);
    fromCache[i] = TicksToReadLines(s_timedLines, sizeof s_timedLines);
  }
  std::sort(fromMemory, fromMemory + 9);
  std::sort(fromCache, fromCache + 9);
  if (fromMemory[4] < 3 * fromCache[4]) return 0;
  return (2 * fromMemory[4] + fromCache[4]) / 3;
}

BOOL CALLBACK MakePlan(PINIT_ONCE, PVOID, PVOID*) {
  CopyPlan plan = {false, false, 0, L2CacheSize()};
  unsigned regs[4];
  Cpuid(0, 0, regs);
  const unsigned maxLeaf = regs[0];
  Cpuid(1, 0, regs);
  const bool osSavesYmm = (regs[2] & (1u << 27)) != 0 && (ReadXcr0() & 0x6) == 0x6;
  const bool avx = (regs[2] & (1u << 28)) != 0;
  if (maxLeaf >= 7) {
    Cpuid(7, 0, regs);
    plan.avx2 = avx && osSavesYmm && (regs[1] & (1u << 5)) != 0;
    plan.fastRepMovsb = (regs[1] & (1u << 9)) != 0;
  }
  if (plan.avx2) plan.memoryTicks = MemoryTicks();
  s_plan = plan;
  s_planned.store(true, std::memory_order_release);
  return TRUE;
}

const CopyPlan& Plan() noexcept {
  if (!s_planned.load(std::memory_order_acquire)) InitOnceExecuteOnce(&s_planOnce, MakePlan, nullptr, nullptr);
  return s_plan;
}

void RepMovsb(unsigned char* to, const unsigned char* from, size_t bytes) noexcept {
#if defined(_MSC_VER)
  __movsb(to, from, bytes);
#else
  __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(bytes) : : "memory");
#endif
}

// Up to 128 bytes with loads and stores from both ends that overlap in the middle, no loop.
VORLAB_TARGET_AVX2 void CopyUpTo128(unsigned char* to, const unsigned char* from, size_t bytes) noexcept {
  if (bytes >= 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + bytes - 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + bytes - 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + bytes - 64), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + bytes - 32), d);
  } else if (bytes >= 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + bytes - 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + bytes - 32), b);
  } else if (bytes >= 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + bytes - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + bytes - 16), b);
  } else if (bytes >= 8) {
    uint64_t a, b;
    memcpy(&a, from, 8);
    memcpy(&b, from + bytes - 8, 8);
    memcpy(to, &a, 8);
    memcpy(to + bytes - 8, &b, 8);
  } else if (bytes >= 4) {
    uint32_t a, b;
    memcpy(&a, from, 4);
    memcpy(&b, from + bytes - 4, 4);
    memcpy(to, &a, 4);
    memcpy(to + bytes - 4, &b, 4);
  } else if (bytes > 0) {
    to[0] = from[0];
    to[bytes / 2] = from[bytes / 2];
    to[bytes - 1] = from[bytes - 1];
  }
}

// Ordinary 32-byte loads and stores, 128 bytes a step.  Aligning either side only moves the
// split accesses to the other side: into cached lines it measured slower, not faster.
VORLAB_TARGET_AVX2 void CopyAvx2(unsigned char* to, const unsigned char* from, size_t bytes) noexcept {
  for (; bytes >= 128; bytes -= 128, to += 128, from += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 96));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 64), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 96), d);
  }
  CopyUpTo128(to, from, bytes);
}

// Non-temporal stores of whole target lines, 128 bytes a step; the head up to the first line
// and the tail go with ordinary stores.  The fence makes the streamed bytes visible in order
// before the caller reads the array.
VORLAB_TARGET_AVX2 void CopyStream(unsigned char* to, const unsigned char* from, size_t bytes) noexcept {
  if (bytes < 256) {
    CopyAvx2(to, from, bytes);
    return;
  }
  const size_t head = (64 - (reinterpret_cast<uintptr_t>(to) & 63)) & 63;
  CopyUpTo128(to, from, head);
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
  CopyUpTo128(to, from, bytes);
}

// True when the target's lines have to come from memory before ordinary stores can write them
// (a new array), rather than sit in a cache (an array a loop reuses).
bool TargetInMemory(const CopyPlan& plan, const unsigned char* to, size_t bytes) noexcept {
  if (plan.memoryTicks == 0) return bytes > plan.streamThreshold;
  if (bytes < kVotedFrom) {
    WalkPages(to, bytes, 4);
    return TicksToReadLines(to, bytes) > plan.memoryTicks;
  }
  WalkPages(to, bytes, 4 * kSpots);
  // Spots in an order without a constant stride, which the processor's stride prefetcher would
  // follow and fetch the next spot's lines ahead of their timed reads.
  static constexpr int kOrder[kSpots] = {0, 3, 7, 1, 6, 2, 5, 4};
  const size_t spot = bytes / kSpots;
  int inMemory = 0;
  for (int i : kOrder) {
    if (TicksToReadLines(to + i * spot, spot) > plan.memoryTicks) ++inMemory;
  }
  return 2 * inMemory > kSpots;
}

}  // namespace

namespace {

// Targets found in memory lately: the address with, in its two low bits, how many copies in a
// row found it there (LabVIEW's elements start at least 4 bytes into an 8-byte aligned block).
// Threads share the table without a lock: a lost update only changes one copy's choice of
// stores, never what is copied.
constexpr size_t kRemembered = 64;
std::atomic<uintptr_t> s_targetsInMemory[kRemembered];

// Whether to stream into a target found in memory, or, the second time in a row for the same
// target, to try ordinary stores that may keep it cached.
bool Stream(const CopyPlan& plan, const unsigned char* to, size_t bytes) noexcept {
  const bool inMemory = TargetInMemory(plan, to, bytes);
  const uintptr_t address = reinterpret_cast<uintptr_t>(to);
  if ((address & 3) != 0) return inMemory;  // not an array LabVIEW made: no history
  std::atomic<uintptr_t>& slot = s_targetsInMemory[(address >> 6) % kRemembered];
  const uintptr_t seen = slot.load(std::memory_order_relaxed);
  uintptr_t times = (seen & ~uintptr_t{3}) == address ? seen & 3 : 0;
  if (!inMemory) {
    if (times != 0) slot.store(0, std::memory_order_relaxed);
    return false;
  }
  // First in memory: stream.  Second in a row: the last copy may have sent it there, so
  // ordinary stores once.  Third and later: the array does not stay cached between copies.
  if (times < 3) ++times;
  slot.store(address | times, std::memory_order_relaxed);
  return times != 2;
}

}  // namespace

void CopyImageBytes(void* target, const void* source, size_t bytes) noexcept {
  const CopyPlan& plan = Plan();
  auto* to = static_cast<unsigned char*>(target);
  auto* from = static_cast<const unsigned char*>(source);
  if (!plan.avx2) {
    memcpy(to, from, bytes);
  } else if (bytes >= kLookedAtFrom && Stream(plan, to, bytes)) {
    CopyStream(to, from, bytes);
  } else if (bytes >= kRepMovsbFrom && plan.fastRepMovsb) {
    RepMovsb(to, from, bytes);
  } else {
    CopyAvx2(to, from, bytes);
  }
}

bool CopyRoutineAvailable(CopyRoutine routine) noexcept {
  return routine == CopyRoutine::kMemcpy || routine == CopyRoutine::kRepMovsb || Plan().avx2;
}

void CopyImageBytesWith(CopyRoutine routine, void* target, const void* source, size_t bytes) noexcept {
  auto* to = static_cast<unsigned char*>(target);
  auto* from = static_cast<const unsigned char*>(source);
  if (!CopyRoutineAvailable(routine)) routine = CopyRoutine::kMemcpy;
  switch (routine) {
    case CopyRoutine::kMemcpy: memcpy(to, from, bytes); break;
    case CopyRoutine::kAvx2: CopyAvx2(to, from, bytes); break;
    case CopyRoutine::kRepMovsb: RepMovsb(to, from, bytes); break;
    case CopyRoutine::kStream: CopyStream(to, from, bytes); break;
  }
}
