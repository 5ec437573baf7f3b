// The camera subsystem's process-wide state and its lock.
#include "camera/camera_state.h"

#include <atomic>

namespace {

struct CameraState {
  SRWLOCK lock;                         // guards the registry, `entryPoints` and `serial`
  CONDITION_VARIABLE changed;           // a use ended, a re-allocation ended, or a record went
  std::atomic<int32_t> drainWaiters;    // calls waiting for a record's uses to end
  FamilyEntryPoints entryPoints;        // every slot null at load; under `lock`
  uint64_t serial;                      // last number handed out by NextSerial; under `lock`
};

CameraState s_camera = {SRWLOCK_INIT, CONDITION_VARIABLE_INIT, {0}, {}, 0};

}  // namespace

RegistryLock::RegistryLock() noexcept { AcquireSRWLockExclusive(&s_camera.lock); }
RegistryLock::~RegistryLock() { ReleaseSRWLockExclusive(&s_camera.lock); }

void RegistryLock::Wait() noexcept { SleepConditionVariableSRW(&s_camera.changed, &s_camera.lock, INFINITE, 0); }

void RegistryLock::WaitUntilUnused(BufferRecord* record) noexcept {
  // The count of waiters goes up before the uses are read, and a use ends by counting down
  // before it reads the waiters: one of the two always sees the other (both sequentially
  // consistent), so an ending use cannot miss a waiter that is about to sleep.
  s_camera.drainWaiters.fetch_add(1);
  while (record->users.load() != 0 || record->exclusive) Wait();
  s_camera.drainWaiters.fetch_sub(1);
}

BufferRecord* RegistryLock::TakeExclusive(void* hCam, int32_t bufNr) noexcept {
  for (;;) {
    BufferRecord* record = BufferRegistry::FindLive(hCam, bufNr);
    if (record == nullptr) return nullptr;
    if (!record->exclusive) {
      record->exclusive = true;
      s_camera.drainWaiters.fetch_add(1);
      while (record->users.load() != 0) Wait();
      s_camera.drainWaiters.fetch_sub(1);
      return record;
    }
    Wait();
  }
}

void RegistryLock::EndExclusive(BufferRecord* record) noexcept {
  record->exclusive = false;
  WakeAll();
}

void RegistryLock::WakeAll() noexcept { WakeAllConditionVariable(&s_camera.changed); }

RegistryReadLock::RegistryReadLock() noexcept { AcquireSRWLockShared(&s_camera.lock); }
RegistryReadLock::~RegistryReadLock() { ReleaseSRWLockShared(&s_camera.lock); }

void RegistryReadLock::Wait() noexcept {
  SleepConditionVariableSRW(&s_camera.changed, &s_camera.lock, INFINITE, CONDITION_VARIABLE_LOCKMODE_SHARED);
}

BufferRecord* RegistryReadLock::UsableBuffer(void* hCam, int32_t bufNr) noexcept {
  for (;;) {
    BufferRecord* record = BufferRegistry::FindLive(hCam, bufNr);
    if (record == nullptr || !record->exclusive) return record;
    Wait();
  }
}

void RecordUse::Take(BufferRecord* record) noexcept {
  End();
  record->users.fetch_add(1);
  record_ = record;
}

void RecordUse::End() noexcept {
  if (record_ == nullptr) return;
  BufferRecord* record = record_;
  record_ = nullptr;
  if (record->users.fetch_sub(1) != 1 || s_camera.drainWaiters.load() == 0) return;
  // A waiter holds the lock until it sleeps: taking the lock here means it sleeps by now,
  // so the wake-up cannot come too early.
  { RegistryReadLock passThrough; }
  RegistryLock::WakeAll();
}

FamilyEntryPoints& EntryPoints() noexcept { return s_camera.entryPoints; }

uint64_t NextSerial() noexcept { return ++s_camera.serial; }
