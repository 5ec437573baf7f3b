// The buffer registry: camera registrations (buffer number -1) and buffers, newest first.
//
// Pure logic: no Win32 calls.  Callers hold the registry lock (camera_state.h) around every
// use; the fields marked atomic may also be read or changed under the shared lock.
#pragma once

#include <stdint.h>

#include <atomic>

struct RegistryNode;

// The module's own hold on a buffer's event: a duplicate of the SDK's handle, which the SDK
// cannot close under a wait.  Shared by the buffer's record and every wait that collected it;
// the last of them closes it (camera_state.h).
struct BufferSignal {
  void* event = nullptr;                // the duplicate; the same event object as the SDK's
  std::atomic<int32_t> refs{1};         // the record's hold and each wait's
  std::atomic<uint64_t> queued{0};      // hand-over serial: its place in the camera's queue
  std::atomic<bool> live{true};         // false once the buffer is released or gets another event
  std::atomic<bool> claimed{false};     // a queue-order wait reported it; the hand-back clears it
};

// Copy counters of one thread: a copy counts without a locked instruction in the shard its
// thread owns, so the count costs an export nothing measurable.
constexpr int kCopyShards = 64;
struct alignas(64) CopyCounts {
  std::atomic<uint64_t> copies{0};
  std::atomic<uint64_t> bytes{0};
};

// A camera's counters since its registration, owned by the registration.  Waits, copies and
// pushes of the camera count at once, each while it holds a use of the registration or of one
// of the camera's buffers (which a cleanup waits for before it deletes the registration).
struct CameraStats {
  std::atomic<uint64_t> frames{0};       // waits that returned a filled buffer
  std::atomic<uint64_t> timeouts{0};
  std::atomic<uint64_t> cancels{0};
  std::atomic<uint64_t> otherEnds{0};    // waits ended by any other code
  std::atomic<uint64_t> maxPending{0};   // the highest `pending` a wait reported
  std::atomic<uint64_t> starved{0};      // waits that found every buffer the camera held filled
  CopyCounts sharedCopies;                 // copies of threads without a shard of their own
  CopyCounts copyShards[kCopyShards];      // shard i is written only by the thread that owns it
  std::atomic<uint64_t> pagesPushed{0};
  std::atomic<int64_t> lastFrameTick{0}; // performance-counter tick of the last frame; 0: none
  int64_t registeredTick = 0;            // set before the registration is added; then read-only
};

// A record's hCam and bufNr are its key in the registry's index: change them only through
// BufferRegistry::Rekey while it is in the registry.
struct BufferRecord {
  void*    picPtr = nullptr;  // buffer memory as the SDK returned it; null in a registration
  int32_t  bufNr  = -1;       // SDK buffer number, sign-extended; -1 marks a registration
  uint32_t size   = 0;        // bytes the caller asked for; 0 in a registration
  void*    hEvent = nullptr;  // the caller's 32-bit event value, zero-extended; 0 in a registration
  void*    hCam   = nullptr;  // the caller's camera handle, compared by value only
  int32_t  family = 0;        // CameraFamily of the camera's registration

  // What lets calls work with a record after they let go of the registry lock.
  std::atomic<int32_t> users{0};      // calls using it unlocked: SDK calls of a camera, copies of a buffer
  std::atomic<bool> retiring{false};  // being released: lookups pass it over; deleted once users is 0
  bool exclusive = false;             // a re-allocation works on it alone; users wait
  uint64_t serial = 0;                // registration: identity over a wait; buffer: when it was queued
  RegistryNode* node = nullptr;       // its list node while it is in the registry

  // A buffer's event as the waits use it; null in a registration and for a buffer whose event
  // could not be duplicated (no wait can watch it).
  BufferSignal* signal = nullptr;

  // A registration's per-camera state, under the registry lock.
  bool handingOver = false;     // an allocation is handing a buffer to the SDK: the next waits
  bool cancelPending = false;   // a stop that found no wait in progress; the next wait takes it
  bool tiedToNode = false;      // registered through a node whose Unreserve cleans it up
  void* lingeringWatch = nullptr;  // helpers the camera's last wait left running (wait.cpp)
  CameraStats* stats = nullptr;    // a registration's counters; deleted with the record

  ~BufferRecord() { delete stats; }
};

constexpr int32_t kRegistrationBufNr = -1;
constexpr int32_t kNoFamily = -1;

namespace BufferRegistry {

// Inserts at the front.  Returns false, leaving the registry unchanged, when no list node
// can be had; the record then still belongs to the caller.
bool Add(BufferRecord* record) noexcept;
int32_t Count() noexcept;
BufferRecord* At(int32_t index) noexcept;
BufferRecord* FindBuffer(void* hCam, int32_t bufNr) noexcept;
int32_t FamilyOf(void* hCam) noexcept;
void Remove(BufferRecord* record) noexcept;  // unlinks only; the caller deletes the record
// Gives a record in the registry another camera handle or number; it keeps its place.
void Rekey(BufferRecord* record, void* hCam, int32_t bufNr) noexcept;
void Clear() noexcept;                       // deletes every record and node

// As FindBuffer and FamilyOf, passing over records that are being released.
BufferRecord* FindLive(void* hCam, int32_t bufNr) noexcept;
BufferRecord* LiveRegistration(void* hCam) noexcept;

// Walks the records from the newest; `visit` returns false to stop.
template <typename Visit>
void ForEach(Visit visit) noexcept;

// The first node, and a node's record and successor, for ForEach.
RegistryNode* First() noexcept;
BufferRecord* RecordOf(const RegistryNode* node) noexcept;
RegistryNode* Next(const RegistryNode* node) noexcept;

template <typename Visit>
void ForEach(Visit visit) noexcept {
  for (RegistryNode* node = First(); node != nullptr; node = Next(node)) {
    if (!visit(RecordOf(node))) return;
  }
}

}  // namespace BufferRegistry
