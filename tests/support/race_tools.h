// Tools of the race tests: a call on a thread of its own, and a LabVIEW array whose copy can
// be held half-way, so a test can act while a copy is under way.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <functional>
#include <vector>

// Runs `call` on a new thread at once; its result is kept.
class AsyncCall {
 public:
  explicit AsyncCall(std::function<uint32_t()> call);
  ~AsyncCall();
  AsyncCall(const AsyncCall&) = delete;
  AsyncCall& operator=(const AsyncCall&) = delete;

  bool Done() const { return WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }
  // Waits up to `ms`; true when the call has returned.
  bool Join(DWORD ms = 30000) { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }
  uint32_t result() const { return result_; }

 private:
  static DWORD WINAPI Run(void* self);
  std::function<uint32_t()> call_;
  volatile uint32_t result_ = 0xDEADBEEF;
  HANDLE thread_ = nullptr;
};

// Polls `condition` every millisecond for up to `ms`; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, DWORD ms = 10000);

// A 1-D LabVIEW array handle of `elements` elements of `elementBytes` each, in memory of its
// own, with the page that holds element byte `stopAt` made inaccessible: a copy into it stops
// there, on its own thread, until Resume.  Only one array may be armed at a time.
class PausingArray {
 public:
  PausingArray(int32_t elements, size_t elementBytes, size_t stopAt);
  ~PausingArray();
  PausingArray(const PausingArray&) = delete;
  PausingArray& operator=(const PausingArray&) = delete;

  void** handle() { return reinterpret_cast<void**>(&block_); }
  const uint8_t* elements() const { return block_ + 4; }
  // Waits until a copy has reached the stop; true when it has.
  bool WaitForPause(DWORD ms = 10000);
  // Lets the held copy go on.
  void Resume();
  bool paused() const;

 private:
  uint8_t* memory_ = nullptr;
  size_t reserved_ = 0;
  uint8_t* block_ = nullptr;
  uint8_t* stopPage_ = nullptr;
};
