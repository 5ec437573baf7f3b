// The camera subsystem's process-wide state: the registry lock, the entry-point table, and the
// use counts that keep a record, and the library behind it, alive while a call works unlocked.
//
// The registry lock guards the registry and FamilyEntryPoints.  It is held only to find,
// add, change or remove records: never across an SDK call, a library load or unload, a copy,
// a plug-in call, a message box or a log write.  A call that works on a record without the
// lock first takes a use of it (BufferRecord::users); a release marks the record retiring and
// waits until its uses are gone.  docs/design.md gives the whole scheme.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <atomic>

#include "camera/registry.h"
#include "camera/sdk_families.h"

// Holds the registry lock exclusively for its scope.
class RegistryLock {
 public:
  RegistryLock() noexcept;
  ~RegistryLock();
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

  // Lets go of the lock until the registry changes or a use ends, then takes it again.
  void Wait() noexcept;
  // Waits until nobody uses `record` and no re-allocation holds it.
  void WaitUntilUnused(BufferRecord* record) noexcept;
  // The camera's live buffer `bufNr`, held alone once the uses under way have ended; null when
  // there is none.  New users wait until EndExclusive.
  BufferRecord* TakeExclusive(void* hCam, int32_t bufNr) noexcept;
  void EndExclusive(BufferRecord* record) noexcept;
  // Waits until no other allocation of the camera is handing a buffer to the SDK, then marks
  // the registration as handing over: the SDK gets a camera's buffers back in the order of
  // their hand-over serials.  EndHandOver lets the next one go.
  void BeginHandOver(BufferRecord* registration) noexcept;
  void EndHandOver(BufferRecord* registration) noexcept;
  // Wakes every call that waits in Wait.
  static void WakeAll() noexcept;
};

// Holds the registry lock shared for its scope: for lookups that change nothing but use counts.
class RegistryReadLock {
 public:
  RegistryReadLock() noexcept;
  ~RegistryReadLock();
  RegistryReadLock(const RegistryReadLock&) = delete;
  RegistryReadLock& operator=(const RegistryReadLock&) = delete;

  void Wait() noexcept;
  // The camera's live buffer `bufNr` once no re-allocation holds it, or null.
  BufferRecord* UsableBuffer(void* hCam, int32_t bufNr) noexcept;
};

// One use of a record, taken under the registry lock; it ends when the object goes.
class RecordUse {
 public:
  RecordUse() noexcept = default;
  ~RecordUse() { End(); }
  RecordUse(const RecordUse&) = delete;
  RecordUse& operator=(const RecordUse&) = delete;

  // Under the lock: takes a use of `record`.
  void Take(BufferRecord* record) noexcept;
  void End() noexcept;
  BufferRecord* get() const noexcept { return record_; }
  BufferRecord* operator->() const noexcept { return record_; }
  explicit operator bool() const noexcept { return record_ != nullptr; }

 private:
  BufferRecord* record_ = nullptr;
};

// A buffer's own duplicate of its event (`eventValue` as the SDK handed it over) in *signal,
// null when the value is no event that can be duplicated.  False only when there is no memory
// for it.  Called without the lock.
bool MakeSignal(uint32_t eventValue, BufferSignal** signal) noexcept;
// Another hold on a signal (under the lock, from a record that has it); its release, which
// closes the duplicate with the last hold (without the lock: it may call the system).
void HoldSignal(BufferSignal* signal) noexcept;
void ReleaseSignal(BufferSignal* signal) noexcept;
// The same for the holds of many records, which it clears; the duplicates it closes may be
// closed on a thread of the system's pool after it returns.
void ReleaseSignalsOf(BufferRecord* const* records, size_t count) noexcept;

// A thread that copies: the use its copy in progress holds, and the shard of the cameras' copy
// counters that only this thread writes (-1: it counts in the shared ones).  One per thread,
// found through a TLS slot, kept until unload.
struct CopyThread {
  std::atomic<RecordUse*> guarded{nullptr};
  int32_t shard = -1;
  CopyThread* next = nullptr;  // made beyond the fixed shards: the list unload frees
};

// A copy into caller memory runs between GuardCopy and UnguardCopy with the use that keeps its
// buffer.  When the caller's memory faults, LabVIEW catches the exception and abandons the
// copy's frames: the fault handler then ends that use, so the buffer can still be released.
// GuardCopy returns the calling thread's record, null when there is none.
void InstallCopyFaultHandler() noexcept;  // at module start
void RemoveCopyFaultHandler() noexcept;   // at unload
CopyThread* GuardCopy(RecordUse* use) noexcept;
void UnguardCopy(CopyThread* thread) noexcept;

// A wait in progress, known to the camera subsystem so that VCancelWait and Vcleanup can end
// it.  Lives on the waiting thread's stack from RegisterWaiter to UnregisterWaiter.
struct Waiter {
  void* hCam = nullptr;
  HANDLE cancelEvent = nullptr;  // manual-reset; set when the wait is to end or to look again
  std::atomic<bool> cancelled{false};  // set under the registry lock; a wait may look without it
  bool queueOrder = false;             // a queue-order wait: it looks again at buffers handed back
  std::atomic<bool> refresh{false};    // set under the lock: a buffer of the camera was handed back
  Waiter* next = nullptr;
  Waiter* prev = nullptr;
};

// Without the lock: a cancel event for a new wait, from the pool or made new; null when none can
// be made.  Hand it back with ReturnCancelEvent.
HANDLE TakeCancelEvent() noexcept;
void ReturnCancelEvent(HANDLE event, bool wasSet) noexcept;
// Under the registry lock: keeps an unset cancel event in the pool; false when the pool is full
// (or there is no event), and the caller hands it back with ReturnCancelEvent.
bool PoolCancelEvent(HANDLE event) noexcept;

// Under the registry lock: adds or removes a wait in progress of `waiter->hCam`.
void RegisterWaiter(Waiter* waiter) noexcept;
void UnregisterWaiter(Waiter* waiter) noexcept;
// Under the registry lock: ends every wait of the camera in progress (sets their events);
// false when there was none.
bool CancelWaiters(void* hCam) noexcept;

// Under the registry lock (shared is enough): how many waits of the camera are in progress.
int32_t WaitsInProgress(void* hCam) noexcept;

// Under the registry lock: a buffer of the camera was handed back to the SDK; its queue-order
// waits in progress wake and collect the camera's buffers again.
void NotifyHandOver(void* hCam) noexcept;
// Under the registry lock: takes a wait's refresh request and resets its event.
bool TakeRefresh(Waiter* waiter) noexcept;

// Without the lock: stops the helper waits a registration's `lingeringWatch` holds, which a
// wait on more buffers than one system wait holds leaves to the camera's next wait.
void StopLingeringHelpers(void* watch) noexcept;

// At unload, when no export runs: forgets every record, closes the duplicates and the pool's
// events.  Not at the process's end, when a thread ended inside an export may have left the
// registry half changed and its lock held: the system takes everything back then.
void ReleaseCameraState() noexcept;

// The process-wide entry-point table.  Read and written under the registry lock; calls copy
// what they need and call through the copy after letting go of the lock.
FamilyEntryPoints& EntryPoints() noexcept;

// Numbers that only grow: registrations get one as their identity, buffers one each time they
// are handed to the camera.  Under the registry lock.
uint64_t NextSerial() noexcept;
