// The image copy and each of its routines, linked directly: every byte of the target written
// with the source's, none around it, at every size up to 300 bytes and every alignment of both
// sides, and at large sizes with the target cached and not.
#include <immintrin.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "camera/image_copy.h"
#include "wtest.h"

namespace {

constexpr uint8_t kGuard = 0xA5;     // around and under the copy; never a source byte
constexpr size_t kGuardBytes = 128;  // before and after the target

struct Copier {
  const char* name;
  void (*copy)(CopyRoutine routine, void* target, const void* source, size_t bytes);
  CopyRoutine routine;
};

void Chosen(CopyRoutine, void* target, const void* source, size_t bytes) { CopyImageBytes(target, source, bytes); }

std::vector<Copier> Copiers() {
  std::vector<Copier> copiers = {{"CopyImageBytes", Chosen, CopyRoutine::kMemcpy}};
  const Copier routines[] = {{"memcpy", CopyImageBytesWith, CopyRoutine::kMemcpy},
                             {"avx2", CopyImageBytesWith, CopyRoutine::kAvx2},
                             {"rep movsb", CopyImageBytesWith, CopyRoutine::kRepMovsb},
                             {"stream", CopyImageBytesWith, CopyRoutine::kStream}};
  for (const Copier& c : routines) {
    if (CopyRoutineAvailable(c.routine)) {
      copiers.push_back(c);
    } else {
      printf("%s: not on this processor, skipped\n", c.name);
    }
  }
  return copiers;
}

// A source of `capacity` patterned bytes and a guarded target, both starting on a 64-byte
// boundary plus the alignment a case asks for.
class Buffers {
 public:
  explicit Buffers(size_t capacity) : source_(capacity + 128), target_(capacity + 2 * kGuardBytes + 128) {
    for (size_t i = 0; i < source_.size(); ++i) source_[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0x7F);
  }
  const uint8_t* Source(size_t alignment) const { return Aligned(source_.data()) + alignment; }
  uint8_t* Target(size_t alignment) { return Aligned(target_.data()) + kGuardBytes + alignment; }

  // Fills the target, with its guards, for a copy of `bytes` at `alignment`.
  void Poison(size_t alignment, size_t bytes) { memset(Target(alignment) - kGuardBytes, kGuard, bytes + 2 * kGuardBytes); }

  // True when the target holds the source's bytes and the guards are whole.
  bool Exact(size_t sourceAlignment, size_t targetAlignment, size_t bytes) {
    const uint8_t* target = Target(targetAlignment);
    for (size_t i = 0; i < kGuardBytes; ++i) {
      if (target[-1 - static_cast<ptrdiff_t>(i)] != kGuard || target[bytes + i] != kGuard) return false;
    }
    return memcmp(target, Source(sourceAlignment), bytes) == 0;
  }

 private:
  template <typename T>
  static T* Aligned(T* p) {
    return p + ((64 - (reinterpret_cast<uintptr_t>(p) & 63)) & 63);
  }
  std::vector<uint8_t> source_;
  std::vector<uint8_t> target_;
};

void FlushFromCaches(const uint8_t* data, size_t bytes) {
  for (size_t i = 0; i < bytes; i += 64) _mm_clflush(data + i);
  _mm_mfence();
}

}  // namespace

TEST_CASE(every_size_to_300_at_every_alignment) {
  Buffers buffers(300 + 64);
  for (const Copier& c : Copiers()) {
    WTEST_CONTEXT("%s", c.name);
    int wrong = 0;
    for (size_t bytes = 0; bytes <= 300; ++bytes) {
      for (size_t from = 0; from < 64; ++from) {
        for (size_t to = 0; to < 64; ++to) {
          buffers.Poison(to, bytes);
          c.copy(c.routine, buffers.Target(to), buffers.Source(from), bytes);
          if (!buffers.Exact(from, to, bytes) && wrong++ == 0) {
            ok(false, "%u bytes from alignment %u to %u: wrong bytes or a guard written", static_cast<unsigned>(bytes),
               static_cast<unsigned>(from), static_cast<unsigned>(to));
          }
        }
      }
    }
    ok_eq_int(0, wrong);
  }
}

// Sizes around the routines' thresholds and steps, with the target just written (cached) or
// flushed (in memory), so the copy takes its cached and its streamed pieces.
TEST_CASE(large_sizes_cached_and_uncached) {
  const size_t sizes[] = {2047, 2048, 4096 + 1, 65535, 65536, 65536 + 13, 640 * 480, (1u << 20) + 77,
                          (2u << 20) + 4096 + 5, (3u << 20) + 11, (5u << 20) + 3};
  const size_t alignments[][2] = {{0, 0}, {1, 4}, {4, 0}, {63, 1}, {32, 33}, {17, 60}};
  Buffers buffers((5u << 20) + 3);
  for (const Copier& c : Copiers()) {
    for (size_t bytes : sizes) {
      for (const auto& a : alignments) {
        for (bool cached : {true, false}) {
          WTEST_CONTEXT("%s, %u bytes from alignment %u to %u, target %s", c.name, static_cast<unsigned>(bytes),
                        static_cast<unsigned>(a[0]), static_cast<unsigned>(a[1]), cached ? "cached" : "in memory");
          buffers.Poison(a[1], bytes);
          if (!cached) FlushFromCaches(buffers.Target(a[1]), bytes);
          c.copy(c.routine, buffers.Target(a[1]), buffers.Source(a[0]), bytes);
          ok(buffers.Exact(a[0], a[1], bytes), "wrong bytes or a guard written");
        }
      }
    }
  }
}
