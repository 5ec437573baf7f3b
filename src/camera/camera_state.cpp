// The camera subsystem's process-wide state and its lock.
#include "camera/camera_state.h"

#include <atomic>
#include <new>

namespace {

constexpr int kPooledEvents = 32;

struct CameraState {
  SRWLOCK lock;                         // guards the registry, `entryPoints`, `serial`, `waiters`, `pool`
  CONDITION_VARIABLE changed;           // a use ended, a re-allocation ended, or a record went
  std::atomic<int32_t> drainWaiters;    // calls waiting for a record's uses to end
  FamilyEntryPoints entryPoints;        // every slot null at load; under `lock`
  uint64_t serial;                      // last number handed out by NextSerial; under `lock`
  Waiter* waiters;                      // waits in progress; under `lock`
  HANDLE pool[kPooledEvents];           // unset cancel events kept for the next waits; under `lock`
  int pooled;                           // how many of `pool` hold one; under `lock`
};

CameraState s_camera = {SRWLOCK_INIT, CONDITION_VARIABLE_INIT, {0}, {}, 0, nullptr, {}, 0};

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

void RegistryLock::BeginHandOver(BufferRecord* registration) noexcept {
  while (registration->handingOver) Wait();
  registration->handingOver = true;
}

void RegistryLock::EndHandOver(BufferRecord* registration) noexcept {
  registration->handingOver = false;
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

#if defined(VORLAB_CHECK_USES)
namespace {
// A new use of a record that a release has taken would outlive it: stop the test program,
// which names the case that was running.
[[noreturn]] void UseOfRetiringRecord() noexcept {
  static const char text[] = "vorlabview: a new use of a record that is being released\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof text - 1, &written, nullptr);
  OutputDebugStringA(text);
#if defined(_MSC_VER) && !defined(__clang__)
  __fastfail(FAST_FAIL_FATAL_APP_EXIT);
#else
  __builtin_trap();
#endif
}
}  // namespace
#endif

void RecordUse::Take(BufferRecord* record) noexcept {
  End();
#if defined(VORLAB_CHECK_USES)
  if (record->retiring.load()) UseOfRetiringRecord();
#endif
  record->users.fetch_add(1);
  record_ = record;
}

void RecordUse::End() noexcept {
  if (record_ == nullptr) return;
  BufferRecord* record = record_;
  record_ = nullptr;
  // Without the lock: the export with the log off costs about twice as much with a lock round
  // here.  The count of waiters goes up before the uses are read, and a use ends by counting
  // down before it reads the waiters (both sequentially consistent), so one of the two always
  // sees the other.
  if (record->users.fetch_sub(1) != 1 || s_camera.drainWaiters.load() == 0) return;
  // A waiter holds the lock until it sleeps: taking the lock here means it sleeps by now, so
  // the wake-up cannot come too early.
  { RegistryReadLock passThrough; }
  RegistryLock::WakeAll();
}

FamilyEntryPoints& EntryPoints() noexcept { return s_camera.entryPoints; }

uint64_t NextSerial() noexcept { return ++s_camera.serial; }

bool MakeSignal(uint32_t eventValue, BufferSignal** signal) noexcept {
  *signal = nullptr;
  HANDLE source = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(eventValue));
  HANDLE duplicate = nullptr;
  if (source == nullptr || !DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &duplicate, 0, FALSE,
                                            DUPLICATE_SAME_ACCESS)) {
    return GetLastError() != ERROR_NOT_ENOUGH_MEMORY && GetLastError() != ERROR_NO_SYSTEM_RESOURCES;
  }
  *signal = new (std::nothrow) BufferSignal;
  if (*signal == nullptr) {
    CloseHandle(duplicate);
    return false;
  }
  (*signal)->event = duplicate;
  return true;
}

void HoldSignal(BufferSignal* signal) noexcept {
  if (signal != nullptr) signal->refs.fetch_add(1);
}

void ReleaseSignal(BufferSignal* signal) noexcept {
  if (signal == nullptr || signal->refs.fetch_sub(1) != 1) return;
  CloseHandle(signal->event);
  delete signal;
}

namespace {

// Duplicates a cleanup let go of, closed on a thread of the system's pool: each close is a
// round trip to the system, and a camera of thousands of buffers would wait for them all.
struct ClosingList {
  size_t count;
  HANDLE events[1];
};

VOID CALLBACK CloseEvents(PTP_CALLBACK_INSTANCE instance, PVOID context) {
  ClosingList* list = static_cast<ClosingList*>(context);
  for (size_t i = 0; i < list->count; ++i) CloseHandle(list->events[i]);
  ::operator delete(list, std::nothrow);
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&CloseEvents), &self);
  if (self != nullptr) FreeLibraryWhenCallbackReturns(instance, self);
}

}  // namespace

void ReleaseSignalsOf(BufferRecord* const* records, size_t count) noexcept {
  constexpr size_t kCloseHere = 16;  // fewer are closed on the caller's thread
  size_t last = 0;
  for (size_t i = 0; i < count; ++i) {
    last += records[i]->signal != nullptr && records[i]->signal->refs.load() == 1 ? 1 : 0;
  }
  ClosingList* list = nullptr;
  HMODULE self = nullptr;
  if (last > kCloseHere &&
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CloseEvents), &self)) {
    list = static_cast<ClosingList*>(::operator new(sizeof(ClosingList) + last * sizeof(HANDLE), std::nothrow));
    if (list != nullptr) list->count = 0;
  }
  for (size_t i = 0; i < count; ++i) {
    BufferSignal* signal = records[i]->signal;
    records[i]->signal = nullptr;
    if (signal == nullptr || signal->refs.fetch_sub(1) != 1) continue;
    if (list != nullptr && list->count < last) {
      list->events[list->count++] = signal->event;
    } else {
      CloseHandle(signal->event);
    }
    delete signal;
  }
  if (list == nullptr) {
    if (self != nullptr) FreeLibrary(self);
  } else if (!TrySubmitThreadpoolCallback(CloseEvents, list, nullptr)) {
    for (size_t i = 0; i < list->count; ++i) CloseHandle(list->events[i]);
    ::operator delete(list, std::nothrow);
    FreeLibrary(self);
  }
}

namespace {

// Each thread's CopyThread, in a TLS slot; the fault handler; the records handed out.
struct CopyGuard {
  DWORD slot = TLS_OUT_OF_INDEXES;
  void* handler = nullptr;
};
CopyGuard s_copyGuard;  // set at module start and unload, read by any thread

CopyThread s_copyThreads[kCopyShards];      // the first threads that copy, one shard each
std::atomic<int32_t> s_copyThreadsTaken{0};  // how many of them are handed out
std::atomic<CopyThread*> s_extraCopyThreads{nullptr};  // the threads beyond them, freed at unload

LONG CALLBACK EndUseOfFaultedCopy(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  CopyThread* thread = static_cast<CopyThread*>(TlsGetValue(s_copyGuard.slot));
  RecordUse* use = thread != nullptr ? thread->guarded.exchange(nullptr) : nullptr;
  if (use == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  use->End();  // the frame that holds it is abandoned by whoever catches the fault
  return EXCEPTION_CONTINUE_SEARCH;
}

// The calling thread's record, made on its first copy.
CopyThread* ThisCopyThread() noexcept {
  CopyThread* thread = static_cast<CopyThread*>(TlsGetValue(s_copyGuard.slot));
  if (thread != nullptr) return thread;
  const int32_t taken = s_copyThreadsTaken.fetch_add(1);
  if (taken < kCopyShards) {
    thread = &s_copyThreads[taken];
    thread->shard = taken;
  } else {
    thread = new (std::nothrow) CopyThread;
    if (thread == nullptr) return nullptr;
    thread->next = s_extraCopyThreads.load();
    while (!s_extraCopyThreads.compare_exchange_weak(thread->next, thread)) {
    }
  }
  TlsSetValue(s_copyGuard.slot, thread);
  return thread;
}

}  // namespace

void InstallCopyFaultHandler() noexcept {
  s_copyGuard.slot = TlsAlloc();
  if (s_copyGuard.slot != TLS_OUT_OF_INDEXES) s_copyGuard.handler = AddVectoredExceptionHandler(0, EndUseOfFaultedCopy);
}

void RemoveCopyFaultHandler() noexcept {
  if (s_copyGuard.handler != nullptr) RemoveVectoredExceptionHandler(s_copyGuard.handler);
  if (s_copyGuard.slot != TLS_OUT_OF_INDEXES) TlsFree(s_copyGuard.slot);
  s_copyGuard = CopyGuard{};
  for (CopyThread* thread = s_extraCopyThreads.exchange(nullptr); thread != nullptr;) {
    CopyThread* next = thread->next;
    delete thread;
    thread = next;
  }
}

CopyThread* GuardCopy(RecordUse* use) noexcept {
  if (s_copyGuard.handler == nullptr) return nullptr;
  CopyThread* thread = ThisCopyThread();
  if (thread != nullptr) thread->guarded.store(use, std::memory_order_relaxed);
  return thread;
}

void UnguardCopy(CopyThread* thread) noexcept {
  if (thread != nullptr) thread->guarded.store(nullptr, std::memory_order_relaxed);
}

HANDLE TakeCancelEvent() noexcept {
  {
    RegistryLock lock;
    if (s_camera.pooled > 0) return s_camera.pool[--s_camera.pooled];
  }
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

bool PoolCancelEvent(HANDLE event) noexcept {
  if (event == nullptr || s_camera.pooled == kPooledEvents) return false;
  s_camera.pool[s_camera.pooled++] = event;
  return true;
}

void ReturnCancelEvent(HANDLE event, bool wasSet) noexcept {
  if (event == nullptr) return;
  if (wasSet) ResetEvent(event);
  {
    RegistryLock lock;
    if (PoolCancelEvent(event)) return;
  }
  CloseHandle(event);
}

void RegisterWaiter(Waiter* waiter) noexcept {
  waiter->prev = nullptr;
  waiter->next = s_camera.waiters;
  if (s_camera.waiters != nullptr) s_camera.waiters->prev = waiter;
  s_camera.waiters = waiter;
}

void UnregisterWaiter(Waiter* waiter) noexcept {
  if (waiter->prev != nullptr) waiter->prev->next = waiter->next; else s_camera.waiters = waiter->next;
  if (waiter->next != nullptr) waiter->next->prev = waiter->prev;
  waiter->next = waiter->prev = nullptr;
}

bool CancelWaiters(void* hCam) noexcept {
  // SetEvent under the lock: once the lock is let go, a waiter may hand its event back to the
  // pool, and a later wait must not find it set.
  bool any = false;
  for (Waiter* waiter = s_camera.waiters; waiter != nullptr; waiter = waiter->next) {
    if (waiter->hCam != hCam) continue;
    any = true;
    if (waiter->cancelled.load()) continue;
    waiter->cancelled.store(true);
    if (waiter->cancelEvent != nullptr) SetEvent(waiter->cancelEvent);
  }
  return any;
}

int32_t WaitsInProgress(void* hCam) noexcept {
  int32_t waits = 0;
  for (const Waiter* waiter = s_camera.waiters; waiter != nullptr; waiter = waiter->next) waits += waiter->hCam == hCam;
  return waits;
}

void NotifyHandOver(void* hCam) noexcept {
  for (Waiter* waiter = s_camera.waiters; waiter != nullptr; waiter = waiter->next) {
    if (waiter->hCam != hCam || !waiter->queueOrder || waiter->cancelled.load() || waiter->refresh.load()) continue;
    waiter->refresh.store(true);
    if (waiter->cancelEvent != nullptr) SetEvent(waiter->cancelEvent);
  }
}

bool TakeRefresh(Waiter* waiter) noexcept {
  if (waiter->cancelled.load() || !waiter->refresh.exchange(false)) return false;
  if (waiter->cancelEvent != nullptr) ResetEvent(waiter->cancelEvent);
  return true;
}

void ReleaseCameraState() noexcept {
  // No export runs during an unload, and nothing here waits: the lock is free.
  RegistryLock lock;
  BufferRegistry::ForEach([](BufferRecord* record) {
    ReleaseSignal(record->signal);
    record->signal = nullptr;
    // Helpers hold references of the module: any left have ended, and only the block is left.
    StopLingeringHelpers(record->lingeringWatch);
    record->lingeringWatch = nullptr;
    return true;
  });
  BufferRegistry::Clear();
  while (s_camera.pooled > 0) CloseHandle(s_camera.pool[--s_camera.pooled]);
}
