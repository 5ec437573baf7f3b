// Waiting for filled buffers: VWaitForBuffers, VWaitForBuffersEx and VCancelWait.
//
// A wait blocks on the module's own duplicates of the buffers' events (BufferSignal), which it
// holds until it returns: a buffer freed or given a new event by another loop cannot close a
// handle under it.  Up to 64 handles go into one system wait; past that, helper callbacks on the
// system's thread pool block on the rest, 63 at a time, and wake the wait through an event.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "camera/camera_state.h"
#include "camera/camera_stats.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "host/node_instance.h"
#include "vorlabview.h"

namespace {

constexpr DWORD kNotFound = 0xFFFFFFFF;
constexpr DWORD kMaxExtras = 2;   // the wait's cancel event and the node's abort event
constexpr DWORD kSliceMs = 10;    // only for a wait that has no cancel event
constexpr DWORD kGroup = MAXIMUM_WAIT_OBJECTS - 1;  // buffers per helper, beside its stop event
// Helpers whose round is over and that nobody stopped leave on their own after this long: each
// holds a reference of the module, and a camera that is never waited for or cleaned up again
// must not keep the module loaded after its host has let it go.
constexpr ULONGLONG kLingerMs = 1000;

// Which signalled buffer a wait reports.
enum class Order {
  kRegistry,  // the first in the registry's order, newest record first
  kQueue,     // the one handed to the camera earliest
};

struct WaitEntry {
  int32_t number;
  BufferSignal* signal;  // held by the set
};

// The camera's waitable buffers in the order the wait reports them, with their events in the
// same order in an array of their own.  Small sets live in the object itself; a larger one in
// one heap block for both arrays.
class WaitSet {
 public:
  WaitSet() noexcept = default;
  ~WaitSet() {
    for (DWORD i = 0; i < count_; ++i) ReleaseSignal(entries_[i].signal);
    if (entries_ != local_) ::operator delete(entries_, std::nothrow);
  }
  WaitSet(const WaitSet&) = delete;
  WaitSet& operator=(const WaitSet&) = delete;

  // Under the registry lock: forgets what was collected and collects again.
  bool Recollect(void* hCam) noexcept {
    for (DWORD i = 0; i < count_; ++i) ReleaseSignal(entries_[i].signal);
    count_ = 0;
    claimedElsewhere_ = 0;
    return Collect(hCam, order_);
  }

  // Under the registry lock, in one pass: every live buffer of the camera with an event, in a
  // queue-order wait only those no other wait has reported since they were handed back.
  // False when there is no memory for the set.
  bool Collect(void* hCam, Order order) noexcept {
    order_ = order;
    bool room = true;
    BufferRegistry::ForEach([&](const BufferRecord* r) {
      if (r->hCam != hCam || r->bufNr == kRegistrationBufNr || r->size == 0 || r->retiring.load() ||
          r->signal == nullptr) {
        return true;
      }
      if (!Usable(r->signal)) {
        ++claimedElsewhere_;
        return true;
      }
      room = Append(WaitEntry{r->bufNr, r->signal});
      if (room) HoldSignal(r->signal);
      return room;
    });
    return room;
  }

  // Without the lock: puts the entries in report order, by the hand-over serials as they are
  // now, and lays out the events.
  void Arrange() noexcept {
    if (order_ == Order::kQueue) {
      std::stable_sort(entries_, entries_ + count_, [](const WaitEntry& a, const WaitEntry& b) {
        return a.signal->queued.load(std::memory_order_relaxed) < b.signal->queued.load(std::memory_order_relaxed);
      });
    }
    Layout();
  }

  // Forgets the buffers that were released, given another event or reported by another wait
  // since they were collected.
  void DropDead() noexcept {
    DWORD kept = 0;
    for (DWORD i = 0; i < count_; ++i) {
      if (Usable(entries_[i].signal)) {
        entries_[kept++] = entries_[i];
      } else {
        ReleaseSignal(entries_[i].signal);
      }
    }
    count_ = kept;
    Layout();
  }

  DWORD count() const noexcept { return count_; }
  DWORD claimedElsewhere() const noexcept { return claimedElsewhere_; }
  const HANDLE* events() const noexcept { return events_; }
  const WaitEntry& entry(DWORD index) const noexcept { return entries_[index]; }

  // A buffer this wait may report: live, and in queue order not reported by another wait.
  bool Usable(const BufferSignal* signal) const noexcept {
    return signal->live.load() && !(order_ == Order::kQueue && signal->claimed.load());
  }

  // The first usable signalled buffer in [from, to), in report order, looked at without blocking.
  DWORD FirstSignalled(DWORD from, DWORD to) const noexcept {
    DWORD i = from;
    while (i < to) {
      const DWORD group = std::min<DWORD>(MAXIMUM_WAIT_OBJECTS, to - i);
      const DWORD r = WaitForMultipleObjects(group, events_ + i, FALSE, 0);
      if (r >= WAIT_OBJECT_0 + group) {
        i += group;
        continue;
      }
      const DWORD found = i + (r - WAIT_OBJECT_0);
      if (Usable(entries_[found].signal)) return found;
      i = found + 1;
    }
    return kNotFound;
  }

  // How many buffers the camera holds, the one at `index` (reported now) included: those no
  // wait has reported since they were handed to it.
  DWORD HeldByCamera(DWORD index) const noexcept {
    DWORD held = 1;
    for (DWORD i = 0; i < count_; ++i) {
      if (i != index && Usable(entries_[i].signal)) ++held;
    }
    return held;
  }

  // How many usable buffers after `index` are signalled.
  int32_t SignalledAfter(DWORD index) const noexcept {
    int32_t signalled = 0;
    for (DWORD i = FirstSignalled(index + 1, count_); i != kNotFound; i = FirstSignalled(i + 1, count_)) ++signalled;
    return signalled;
  }

 private:
  void Layout() noexcept {
    for (DWORD i = 0; i < count_; ++i) events_[i] = entries_[i].signal->event;
  }

  bool Append(const WaitEntry& entry) noexcept {
    if (count_ == capacity_) {
      const DWORD capacity = capacity_ * 2;
      void* block = ::operator new(capacity * (sizeof(WaitEntry) + sizeof(HANDLE)), std::nothrow);
      if (block == nullptr) return false;
      WaitEntry* entries = static_cast<WaitEntry*>(block);
      std::copy(entries_, entries_ + count_, entries);
      if (entries_ != local_) ::operator delete(entries_, std::nothrow);
      entries_ = entries;
      events_ = reinterpret_cast<HANDLE*>(entries + capacity);
      capacity_ = capacity;
    }
    entries_[count_++] = entry;
    return true;
  }

  static constexpr DWORD kLocal = MAXIMUM_WAIT_OBJECTS;
  WaitEntry local_[kLocal];
  HANDLE localEvents_[kLocal];
  WaitEntry* entries_ = local_;
  HANDLE* events_ = localEvents_;
  DWORD capacity_ = kLocal;
  DWORD count_ = 0;
  DWORD claimedElsewhere_ = 0;  // buffers reported by other waits and not handed back yet
  Order order_ = Order::kRegistry;
};

// How the blocking part of a wait ended.
struct Woken {
  enum Kind { kBuffer, kTimeout, kCancelled, kFailed } kind;
  DWORD index;  // kBuffer: the buffer's place in report order; kFailed: the system's error
};

// What is left of a time-out that started at `start`; INFINITE stays.
DWORD TimeLeft(uint32_t timeoutMs, ULONGLONG start) noexcept {
  if (timeoutMs == INFINITE) return INFINITE;
  const ULONGLONG elapsed = GetTickCount64() - start;
  return elapsed >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - elapsed);
}

// The helpers of one blocking round past 64 handles.  One heap block, shared by the wait and
// its helpers and freed by the last of them, so the wait never waits for a helper to end: it
// sets `stop` and goes.  The block holds the events it watches, so they stay open until the
// last helper has left its system wait.
struct Watch {
  std::atomic<LONG> refs;
  HANDLE stop;                   // manual-reset: the round is over
  HANDLE fired;                  // manual-reset: a helper saw a buffer, or its wait failed
  std::atomic<DWORD> firstFired; // the lowest place in report order a helper saw
  std::atomic<DWORD> failure;    // a helper's system error, 0 when none
  std::atomic<bool> filledAtStart;  // a helper found one of its buffers filled before it blocked
  std::atomic<ULONGLONG> overAt;    // tick count when the round ended and its helpers lingered; 0 before
  DWORD begin;                   // the first place the helpers watch
  DWORD count;                   // places watched: [begin, begin + count)
  BufferSignal** signals;        // held by the block
  HANDLE* events;
};

struct WatchGroup {
  Watch* watch;
  DWORD first;  // index into the watch's arrays
  DWORD size;
};

void ReleaseWatch(Watch* watch) noexcept {
  if (watch->refs.fetch_sub(1) != 1) return;
  for (DWORD i = 0; i < watch->count; ++i) ReleaseSignal(watch->signals[i]);
  CloseHandle(watch->stop);
  CloseHandle(watch->fired);
  ::operator delete(watch, std::nothrow);
}

// A helper: blocks on its group and the round's stop event, tells the wait what it saw, and
// leaves.  It holds a reference of the module, given back by the pool once it has returned,
// so the module cannot be unloaded under it.
VOID CALLBACK WatchGroupCallback(PTP_CALLBACK_INSTANCE instance, PVOID context) {
  const WatchGroup* group = static_cast<const WatchGroup*>(context);
  Watch* watch = group->watch;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  handles[0] = watch->stop;
  std::copy(watch->events + group->first, watch->events + group->first + group->size, handles + 1);
  DWORD r = WaitForMultipleObjects(group->size, handles + 1, FALSE, 0);
  if (r < WAIT_OBJECT_0 + group->size) {
    watch->filledAtStart.store(true);
    r += 1;  // as the blocking wait below, with the stop event in front, would give it
  } else {
    // Woken once every kLingerMs to see whether the round ended without a stop for them.
    for (;;) {
      r = WaitForMultipleObjects(group->size + 1, handles, FALSE, static_cast<DWORD>(kLingerMs));
      if (r != WAIT_TIMEOUT) break;
      const ULONGLONG overAt = watch->overAt.load();
      if (overAt != 0 && GetTickCount64() - overAt >= kLingerMs) {
        r = WAIT_OBJECT_0;  // as if stopped
        break;
      }
    }
  }
  if (r > WAIT_OBJECT_0 && r <= WAIT_OBJECT_0 + group->size) {
    const DWORD place = watch->begin + group->first + (r - WAIT_OBJECT_0 - 1);
    DWORD seen = watch->firstFired.load();
    while (place < seen && !watch->firstFired.compare_exchange_weak(seen, place)) {
    }
    SetEvent(watch->fired);
  } else if (r != WAIT_OBJECT_0) {
    watch->failure.store(r == WAIT_FAILED ? GetLastError() : ERROR_INVALID_HANDLE);
    SetEvent(watch->fired);
  }
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&WatchGroupCallback), &self);
  ReleaseWatch(watch);
  if (self != nullptr) FreeLibraryWhenCallbackReturns(instance, self);
}

// Starts helpers on the places [begin, set.count()); null when they cannot be had.
Watch* StartWatch(const WaitSet& set, DWORD begin) noexcept {
  const DWORD count = set.count() - begin;
  const DWORD groups = (count + kGroup - 1) / kGroup;
  const size_t bytes = sizeof(Watch) + groups * sizeof(WatchGroup) + count * (sizeof(BufferSignal*) + sizeof(HANDLE));
  void* block = ::operator new(bytes, std::nothrow);
  if (block == nullptr) return nullptr;
  Watch* watch = new (block) Watch;
  WatchGroup* groupArray = reinterpret_cast<WatchGroup*>(watch + 1);
  watch->signals = reinterpret_cast<BufferSignal**>(groupArray + groups);
  watch->events = reinterpret_cast<HANDLE*>(watch->signals + count);
  watch->refs.store(1);
  watch->firstFired.store(kNotFound);
  watch->failure.store(0);
  watch->filledAtStart.store(false);
  watch->overAt.store(0);
  watch->begin = begin;
  watch->count = count;
  for (DWORD i = 0; i < count; ++i) {
    watch->signals[i] = set.entry(begin + i).signal;
    HoldSignal(watch->signals[i]);
    watch->events[i] = set.events()[begin + i];
  }
  watch->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  watch->fired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (watch->stop == nullptr || watch->fired == nullptr) {
    for (DWORD i = 0; i < count; ++i) ReleaseSignal(watch->signals[i]);
    if (watch->stop != nullptr) CloseHandle(watch->stop);
    if (watch->fired != nullptr) CloseHandle(watch->fired);
    ::operator delete(watch, std::nothrow);
    return nullptr;
  }
  for (DWORD g = 0; g < groups; ++g) {
    groupArray[g] = WatchGroup{watch, g * kGroup, std::min<DWORD>(kGroup, count - g * kGroup)};
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&WatchGroupCallback),
                            &self)) {
      self = nullptr;
    }
    watch->refs.fetch_add(1);
    if (self == nullptr || !TrySubmitThreadpoolCallback(WatchGroupCallback, &groupArray[g], nullptr)) {
      // A group without a helper: the round cannot see it, so it does not start.
      watch->refs.fetch_sub(1);
      if (self != nullptr) FreeLibrary(self);
      SetEvent(watch->stop);
      ReleaseWatch(watch);
      return nullptr;
    }
  }
  return watch;
}

// Ends a round: the helpers leave their waits; the last one frees the block.
void StopWatch(Watch* watch) noexcept {
  SetEvent(watch->stop);
  ReleaseWatch(watch);
}

// Turns the result of a system wait on `extraCount` extras followed by buffers into a Woken.
Woken Interpret(DWORD r, DWORD extraCount, DWORD buffers) noexcept {
  if (r < WAIT_OBJECT_0 + extraCount) return {Woken::kCancelled, 0};
  if (r < WAIT_OBJECT_0 + extraCount + buffers) return {Woken::kBuffer, r - WAIT_OBJECT_0 - extraCount};
  if (r == WAIT_TIMEOUT) return {Woken::kTimeout, 0};
  return {Woken::kFailed, r == WAIT_FAILED ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_HANDLE)};
}

// Every buffer and the extras in one system wait: the first signalled one in report order
// comes out of the wait itself.
Woken BlockAtOnce(const WaitSet& set, const HANDLE* extras, DWORD extraCount, DWORD timeoutMs) noexcept {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  std::copy(extras, extras + extraCount, handles);
  std::copy(set.events(), set.events() + set.count(), handles + extraCount);
  const DWORD r = WaitForMultipleObjects(extraCount + set.count(), handles, FALSE, timeoutMs);
  return Interpret(r, extraCount, set.count());
}

// More buffers than one system wait holds: this thread blocks on the extras, the first places
// in report order and the helpers' event; the helpers block on the rest.  *noHelpers says the
// system gave no helpers (the caller then looks in slices).
Woken BlockWithHelpers(const WaitSet& set, const HANDLE* extras, DWORD extraCount, DWORD timeoutMs,
                       bool* noHelpers, Watch** lingering) noexcept {
  const DWORD direct = MAXIMUM_WAIT_OBJECTS - extraCount - 1;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (*lingering != nullptr) {
      StopWatch(*lingering);  // an earlier round of this wait, before it looked again
      *lingering = nullptr;
    }
    Watch* watch = StartWatch(set, direct);
    if (watch == nullptr) {
      *noHelpers = true;
      return {Woken::kTimeout, 0};
    }
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    std::copy(extras, extras + extraCount, handles);
    std::copy(set.events(), set.events() + direct, handles + extraCount);
    handles[extraCount + direct] = watch->fired;
    const DWORD r = WaitForMultipleObjects(extraCount + direct + 1, handles, FALSE, TimeLeft(timeoutMs, start));
    Woken woken = Interpret(r, extraCount, direct);
    if (r == WAIT_OBJECT_0 + extraCount + direct) {
      // A helper saw a buffer.  Frames that arrive during the round come one after the other,
      // so the first place a helper saw is the one (the look-up after the wake checks that it
      // is still the camera's); buffers that were filled before the round are looked at in
      // report order, up to that place.
      const DWORD failure = watch->failure.load();
      const DWORD fired = watch->firstFired.load();
      DWORD found = fired;
      if (fired != kNotFound && watch->filledAtStart.load()) found = set.FirstSignalled(direct, fired + 1);
      if (found != kNotFound) {
        woken = {Woken::kBuffer, found};
      } else if (failure != 0) {
        woken = {Woken::kFailed, failure};
      } else {
        StopWatch(watch);  // reset in the meantime: a new round, with what time is left
        continue;
      }
    }
    // The helpers are stopped later, by the camera's next wait or its cleanup: stopping them
    // here would wake them all before this wait has returned.  Left alone, they leave after
    // kLingerMs.
    watch->overAt.store(GetTickCount64());
    *lingering = watch;
    return woken;
  }
}

// Without helpers: blocks on the extras and the first places, and looks at all of them every
// slice.  Only when the system could give no helpers.
Woken BlockInSlices(const WaitSet& set, const HANDLE* extras, DWORD extraCount, DWORD timeoutMs) noexcept {
  const DWORD direct = MAXIMUM_WAIT_OBJECTS - extraCount;
  const ULONGLONG start = GetTickCount64();
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  std::copy(extras, extras + extraCount, handles);
  std::copy(set.events(), set.events() + direct, handles + extraCount);
  for (;;) {
    const DWORD left = TimeLeft(timeoutMs, start);
    const DWORD r = WaitForMultipleObjects(extraCount + direct, handles, FALSE, std::min(left, kSliceMs));
    if (r != WAIT_TIMEOUT) return Interpret(r, extraCount, direct);
    const DWORD found = set.FirstSignalled(direct, set.count());
    if (found != kNotFound) return {Woken::kBuffer, found};
    if (left == 0) return {Woken::kTimeout, 0};
  }
}

// Blocks until a buffer of the set is signalled, an extra event is set, the wait is cancelled
// or asked to look again, or the time is up.  A wait without a cancel event of its own looks for
// its flags every slice.
Woken Block(const WaitSet& set, const HANDLE* extras, DWORD extraCount, const Waiter& waiter,
            DWORD timeoutMs, Watch** lingering) noexcept {
  const bool hasCancelEvent = waiter.cancelEvent != nullptr;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const DWORD left = TimeLeft(timeoutMs, start);
    const DWORD round = hasCancelEvent ? left : std::min(left, kSliceMs);
    Woken woken{Woken::kTimeout, 0};
    bool noHelpers = false;
    if (set.count() + extraCount <= MAXIMUM_WAIT_OBJECTS) {
      woken = BlockAtOnce(set, extras, extraCount, round);
    } else {
      woken = BlockWithHelpers(set, extras, extraCount, round, &noHelpers, lingering);
      if (noHelpers) woken = BlockInSlices(set, extras, extraCount, round);
    }
    if (woken.kind != Woken::kTimeout) return woken;
    if (waiter.cancelled.load() || waiter.refresh.load()) return {Woken::kCancelled, 0};
    if (round == left) return woken;
  }
}

// A wait with no buffer left to watch: a cancel, a hand-back (queue order) or the end of the
// time.
Woken BlockOnExtras(const HANDLE* extras, DWORD extraCount, const Waiter& waiter, DWORD timeoutMs) noexcept {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const DWORD left = TimeLeft(timeoutMs, start);
    const DWORD round = waiter.cancelEvent != nullptr ? left : std::min(left, kSliceMs);
    const DWORD r = extraCount != 0 ? WaitForMultipleObjects(extraCount, extras, FALSE, round)
                                    : (Sleep(round), static_cast<DWORD>(WAIT_TIMEOUT));
    const Woken woken = Interpret(r, extraCount, 0);
    if (woken.kind != Woken::kTimeout) return woken;
    if (waiter.cancelled.load() || waiter.refresh.load()) return {Woken::kCancelled, 0};
    if (round == left) return woken;
  }
}

// The outcome of a wait: its result, the log line that goes with it, and the buffer number the
// line names.
struct WaitOutcome {
  ErrorCode result = kOk;
  const char* line = nullptr;  // "%s" is the export's name
  int32_t number = -1;
  int lineNumber = 0;
};

// What the wait found after it woke on a buffer, looked up under the lock.
enum class Found {
  kFrame,     // the buffer is live: its number and a use of the camera are taken
  kGone,      // the camera was cleaned up, or the wait cancelled
  kReorder,   // buffers were handed back meanwhile: the wait collects them again
  kStale,     // the buffer was released or given another event since it was collected
};

struct Wake {
  void* hCam;
  uint64_t registrationSerial;
  const Waiter* waiter;

  // Under the registry lock: the camera's live registration while it is still the one this
  // wait began with; null once the camera was cleaned up (and perhaps registered again).
  BufferRecord* Registration() const noexcept {
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    return registration != nullptr && registration->serial == registrationSerial ? registration : nullptr;
  }
};

Found LookUp(Wake* wake, Order order, const WaitEntry& entry, RecordUse* camera, FamilyEntryPoints* points,
             int32_t* family, int32_t* number) noexcept {
  RegistryLock lock;
  BufferRecord* registration = wake->Registration();
  // The camera may have been cleaned up, and its library unloaded, after the buffer woke this
  // wait: then there is nobody to ask.
  if (wake->waiter->cancelled.load() || registration == nullptr) return Found::kGone;
  if (order == Order::kQueue && wake->waiter->refresh.load()) return Found::kReorder;
  const BufferRecord* record = BufferRegistry::FindLive(wake->hCam, entry.number);
  if (record == nullptr || record->signal != entry.signal) return Found::kStale;
  // In queue order a filled buffer goes to one wait, until it is handed back.
  if (order == Order::kQueue && entry.signal->claimed.exchange(true)) return Found::kStale;
  camera->Take(registration);
  *points = EntryPoints();
  *family = registration->family;
  *number = static_cast<int16_t>(record->bufNr);
  return Found::kFrame;
}

// Caller memory is touched before any lock is taken, so that a fault there leaves every lock
// free and no wait registered with a stack that is gone.
template <typename T>
void Touch(T* pointer) noexcept {
  if (pointer == nullptr) return;
  volatile T* p = pointer;
  *p = *p;
}

WaitOutcome WaitAndConfirm(Order order, void* hCam, int16_t* bufNr, uint32_t timeoutMs, int32_t* pending,
                           void** instance) noexcept {
  Touch(bufNr);
  Touch(pending);
  const HANDLE abortEvent = NodeAbortEvent(instance);

  WaitOutcome out;
  WaitSet set;
  Waiter waiter;
  waiter.hCam = hCam;
  waiter.queueOrder = order == Order::kQueue;
  waiter.cancelEvent = TakeCancelEvent();
  Wake wake = {hCam, 0, &waiter};
  enum { kNotRegistered, kStopPending, kWaiting } state = kNotRegistered;
  Watch* earlier = nullptr;    // helpers a wait of the camera left running
  Watch* lingering = nullptr;  // helpers this wait leaves running
  bool collected = false;
  {
    RegistryLock lock;
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration != nullptr && registration->cancelPending) {
      registration->cancelPending = false;  // a stop pressed while no wait was in progress
      state = kStopPending;
      CountWaitEnd(registration->stats, WaitEnd::kCancelled, -1, false, 0);
    } else if (registration != nullptr) {
      state = kWaiting;
      earlier = static_cast<Watch*>(registration->lingeringWatch);
      registration->lingeringWatch = nullptr;
      wake.registrationSerial = registration->serial;
      collected = set.Collect(hCam, order);
      RegisterWaiter(&waiter);
    }
  }
  if (earlier != nullptr) StopWatch(earlier);  // the helpers of the camera's last wait
  earlier = nullptr;
  if (state != kWaiting) {
    ReturnCancelEvent(waiter.cancelEvent, false);
    if (state == kNotRegistered) {
      out.result = kOptionNotAvailable;
      out.line = "%s error\r\n";
      return out;
    }
    *bufNr = -1;
    if (pending != nullptr) *pending = 0;
    out.result = kWaitCancelled;
    out.line = "%s error cancelled\r\n";
    return out;
  }
  *bufNr = -1;
  if (pending != nullptr) *pending = 0;

  HANDLE extras[kMaxExtras];
  DWORD extraCount = 0;
  if (waiter.cancelEvent != nullptr) extras[extraCount++] = waiter.cancelEvent;
  if (abortEvent != nullptr) extras[extraCount++] = abortEvent;

  RecordUse camera;
  FamilyEntryPoints points;
  int32_t family = kNoFamily;
  const ULONGLONG start = GetTickCount64();
  Woken woken = {Woken::kFailed, ERROR_NOT_ENOUGH_MEMORY};  // a set that could not be had
  bool gone = false;
  if (collected) {
    set.Arrange();
    // A camera without buffers has nothing to wait for, whatever the time-out; in queue order
    // one whose buffers other waits hold waits for them to be handed back.
    const bool nothingToWaitFor = set.count() == 0 && set.claimedElsewhere() == 0;
    if (nothingToWaitFor) woken = {Woken::kTimeout, 0};
    while (!nothingToWaitFor && (set.count() != 0 || waiter.queueOrder)) {
      woken = set.count() != 0 ? Block(set, extras, extraCount, waiter, TimeLeft(timeoutMs, start), &lingering)
                               : BlockOnExtras(extras, extraCount, waiter, TimeLeft(timeoutMs, start));
      Found found = Found::kStale;
      if (woken.kind == Woken::kBuffer) {
        found = LookUp(&wake, order, set.entry(woken.index), &camera, &points, &family, &out.number);
      }
      if ((woken.kind == Woken::kCancelled || found == Found::kReorder) && !waiter.cancelled.load() &&
          waiter.refresh.load()) {
        // Buffers were handed back: they join the wait at their new places.
        bool again = false;
        {
          RegistryLock lock;
          if (TakeRefresh(&waiter) && wake.Registration() != nullptr) again = set.Recollect(hCam);
        }
        if (again) {
          set.Arrange();
          continue;
        }
        if (!waiter.cancelled.load()) {
          woken = {Woken::kFailed, ERROR_NOT_ENOUGH_MEMORY};  // no memory to collect again
          break;
        }
        found = Found::kGone;  // cancelled meanwhile
      }
      if (woken.kind != Woken::kBuffer) break;
      if (found == Found::kFrame || found == Found::kGone) {
        gone = found == Found::kGone;
        break;
      }
      set.DropDead();  // stale: block again
      if (set.count() == 0 && !waiter.queueOrder) {
        // Every buffer went: only a cancel or the end of the time is left to wait for.
        woken = BlockOnExtras(extras, extraCount, waiter, TimeLeft(timeoutMs, start));
        break;
      }
      if (TimeLeft(timeoutMs, start) == 0 && set.FirstSignalled(0, set.count()) == kNotFound) {
        woken = {Woken::kTimeout, 0};
        break;
      }
    }
  }

  ErrorCode confirmed = kOk;
  if (camera) {
    const FamilyOps* ops = OpsOf(family);
    confirmed = ops != nullptr ? ops->confirm(points, hCam, out.number, &out.lineNumber) : kOk;
    camera.End();
  }

  // What a frame's caller is told of the buffers behind it, asked of the system before the lock.
  const bool frame = woken.kind == Woken::kBuffer && !gone && confirmed == kOk;
  int32_t pendingAfter = -1;
  bool starved = false;
  int64_t frameTick = 0;
  if (frame) {
    frameTick = StatsTick();
    if (pending != nullptr) {
      pendingAfter = set.SignalledAfter(woken.index);
      // Every buffer the camera held was filled: it had nowhere to write the next frame.
      starved = static_cast<DWORD>(pendingAfter) + 1 >= set.HeldByCamera(woken.index);
    }
  }

  bool cancelled = woken.kind == Woken::kCancelled;
  bool eventSet = false;
  {
    RegistryLock lock;
    UnregisterWaiter(&waiter);
    BufferRecord* registration = wake.Registration();
    if (waiter.cancelled.load()) {
      if (woken.kind == Woken::kBuffer && !gone) {
        // The stop came while the frame was being confirmed: the frame goes to the caller and
        // the stop to the camera's next wait.
        if (registration != nullptr) registration->cancelPending = true;
      } else {
        cancelled = true;
      }
    }
    if (registration != nullptr) {
      const WaitEnd end = cancelled                           ? WaitEnd::kCancelled
                          : woken.kind == Woken::kTimeout     ? WaitEnd::kTimeout
                          : frame                             ? WaitEnd::kFrame
                                                              : WaitEnd::kOther;
      CountWaitEnd(registration->stats, end, pendingAfter, starved, frameTick);
    }
    if (lingering != nullptr && registration != nullptr) {
      earlier = static_cast<Watch*>(registration->lingeringWatch);
      registration->lingeringWatch = lingering;
      lingering = nullptr;
    }
    // An event that was not set goes straight back to the pool, without another trip for the lock.
    eventSet = waiter.cancelled.load() || waiter.refresh.load();
    if (!eventSet && PoolCancelEvent(waiter.cancelEvent)) waiter.cancelEvent = nullptr;
  }
  ReturnCancelEvent(waiter.cancelEvent, eventSet);
  if (lingering != nullptr) StopWatch(lingering);  // the camera went meanwhile
  if (earlier != nullptr) StopWatch(earlier);      // another wait's, left while this one ran

  if (cancelled) {
    out.number = -1;
    out.result = kWaitCancelled;
    out.line = "%s error cancelled\r\n";
  } else if (woken.kind == Woken::kTimeout) {
    out.number = -1;
    out.result = kWaitTimeout;
    out.line = "%s error timeout\r\n";
  } else if (woken.kind == Woken::kFailed) {
    out.number = -1;
    out.result = woken.index;  // the system's error number, never reported as a time-out
    out.line = "%s error\r\n";
  } else if (gone) {
    out.number = -1;
    out.result = kOptionNotAvailable;
    out.line = "%s error\r\n";
  } else {
    *bufNr = static_cast<int16_t>(out.number);
    out.result = confirmed;
    out.line = out.result == kOk ? "%s done. Bufnr %d\r\n" : "%s BufNr %d error %d\r\n";
    if (out.result == kOk && pending != nullptr) *pending = pendingAfter;
  }
  return out;
}

// The one shape of the two wait exports: check the arguments, wait, log, return.
ErrorCode WaitExport(const char* name, Order order, void* hCam, int16_t* bufNr, uint32_t timeoutMs,
                     int32_t* pending, void** instance) noexcept {
  WaitOutcome out;
  if (bufNr == nullptr) {
    out.result = kWrongParameter;
    out.line = "%s error\r\n";
  } else {
    out = WaitAndConfirm(order, hCam, bufNr, timeoutMs, pending, instance);
  }
  if (LogEnabled()) LogFormat(out.result, out.line, name, out.number, out.lineNumber);
  return out.result;
}

}  // namespace

void StopLingeringHelpers(void* watch) noexcept {
  if (watch != nullptr) StopWatch(static_cast<Watch*>(watch));
}

/***********************************************************************
 *      VWaitForBuffers (vorlabview.9)
 *
 * Waits until one of the camera's buffers is signalled and confirms with the SDK that it
 * holds a finished image.  Of several signalled buffers, the one whose record came last to the
 * registry is reported.
 *
 * PARAMS
 *  hCam      [I] camera handle given to VInitLibrary
 *  bufNr     [O] the filled buffer's number, or -1
 *  timeoutMs [I] milliseconds; 0xFFFFFFFF waits without limit, 0 only polls
 *
 * RETURNS
 *  0; 0xA00A3001 for a null pointer; 0x800A3004 for an unregistered camera or a missing status
 *  entry point; 0xA00A3005 when nothing was signalled in time; a Windows error number when the
 *  system's wait failed; 0x800A300B when the status says not filled; a QD4 driver status;
 *  0x800A2010 when VCancelWait (now, or while no wait was in progress), Vcleanup or the end of
 *  the VI ended the wait.
 */
extern "C" ErrorCode WINAPI VWaitForBuffers(void* hCam, int16_t* bufNr, uint32_t timeoutMs) {
  return WaitExport("VWaitForBuffers", Order::kRegistry, hCam, bufNr, timeoutMs, nullptr, nullptr);
}

/***********************************************************************
 *      VWaitForBuffersEx (vorlabview.15)
 *
 * As VWaitForBuffers, reporting of the signalled buffers the one handed to the camera earliest
 * (allocated, or allocated again, longest ago), so frames come out in the order the camera
 * filled them however far the caller lags.
 *
 * PARAMS
 *  hCam      [I] camera handle given to VInitLibrary
 *  bufNr     [O] the filled buffer's number, or -1
 *  timeoutMs [I] milliseconds; 0xFFFFFFFF waits without limit, 0 only polls
 *  pending   [O] may be null; how many more buffers are filled and waiting after the reported one
 *  instance  [I] may be null; the node's instance data, whose VAbort ends the wait
 *
 * RETURNS
 *  As VWaitForBuffers; 0x800A2010 also when the node was aborted.
 */
extern "C" ErrorCode WINAPI VWaitForBuffersEx(void* hCam, int16_t* bufNr, uint32_t timeoutMs, int32_t* pending,
                                              void** instance) {
  return WaitExport("VWaitForBuffersEx", Order::kQueue, hCam, bufNr, timeoutMs, pending, instance);
}

/***********************************************************************
 *      VCancelWait (vorlabview.19)
 *
 * A stop button: ends every wait of the camera in progress (both wait exports) at once; they
 * return 0x800A2010.  When no wait is in progress, the camera keeps the stop, and its next
 * wait returns 0x800A2010 at once; Vcleanup and VInitLibrary of the camera clear it.
 *
 * PARAMS
 *  hCam [I] camera handle given to VInitLibrary
 *
 * RETURNS
 *  0; 0x800A3004 for a camera that is not registered.
 */
extern "C" ErrorCode WINAPI VCancelWait(void* hCam) {
  ErrorCode result = kOk;
  {
    RegistryLock lock;
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration == nullptr) {
      result = kOptionNotAvailable;
    } else if (!CancelWaiters(hCam)) {
      registration->cancelPending = true;
    }
  }
  if (LogEnabled()) {
    LogFormat(result, result == kOk ? "VCancelWait done hCam %x\r\n" : "VCancelWait error\r\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(hCam)));
  }
  return result;
}
