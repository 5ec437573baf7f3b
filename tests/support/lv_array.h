// LabVIEW-style arrays for the tests: a handle to a block of dimension sizes and elements,
// with poisoned elements so a test can tell exactly which bytes the module wrote.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

constexpr uint8_t kPoison = 0xA5;

class LvArray {
 public:
  // `sizes` are the dimension sizes written into the block; `elementBytes` the element width;
  // `slack` extra poisoned bytes after the elements, to catch writes past the array.
  LvArray(std::vector<int32_t> sizes, size_t elementBytes, size_t slack = 64) : dims_(sizes.size()) {
    size_t elements = 1;
    for (int32_t s : sizes) elements *= s > 0 ? static_cast<size_t>(s) : 0;
    capacity_ = elements * elementBytes;
    block_.assign(4 * dims_ + capacity_ + slack, kPoison);
    memcpy(block_.data(), sizes.data(), 4 * dims_);
    pointer_ = block_.data();
  }

  void** handle() { return reinterpret_cast<void**>(&pointer_); }
  const uint8_t* elements() const { return block_.data() + 4 * dims_; }
  int32_t dimension(size_t d) const {
    int32_t size;
    memcpy(&size, block_.data() + 4 * d, 4);
    return size;
  }
  // True when every byte from element byte `offset` to the end of the block is poison.
  bool PoisonFrom(size_t offset) const {
    for (size_t i = 4 * dims_ + offset; i < block_.size(); ++i) {
      if (block_[i] != kPoison) return false;
    }
    return true;
  }
  bool Untouched() const { return PoisonFrom(0); }
  size_t capacity() const { return capacity_; }

 private:
  size_t dims_;
  size_t capacity_;
  std::vector<uint8_t> block_;
  uint8_t* pointer_;
};

// The simulated libraries' fill pattern: byte i of a buffer filled with `seed`.
inline uint8_t SimPatternByte(uint32_t seed, size_t i) { return static_cast<uint8_t>((seed + i * 7) & 0xFF); }
