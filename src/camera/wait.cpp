// Waiting for filled buffers: VWaitForBuffers, VWaitForBuffersEx, VCancelWait, and the node
// callbacks that let LabVIEW abort a wait (VReserve, VUnreserve, VAbort).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "camera/camera_state.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "vorlabview.h"

namespace {

// With more buffers than one wait can hold, the wait blocks on the few that were handed to the
// camera earliest (the ones a camera fills next) and looks at all of them every slice.
constexpr DWORD kWatched = 8;
constexpr DWORD kSliceMs = 10;
constexpr DWORD kExtras = 2;  // the wait's cancel event and the node's abort event
constexpr DWORD kNotFound = 0xFFFFFFFF;

// Which signalled buffer a wait reports.
enum class Order {
  kRegistry,  // the first in the registry's order, newest record first
  kQueue,     // the one handed to the camera earliest
};

struct WaitEntry {
  int32_t number;
  uint64_t queued;  // the buffer's hand-over serial
  HANDLE event;
};

// The camera's waitable buffers in the order the wait reports them, with their events in the
// same order in an array of their own for WaitForMultipleObjects.  Small sets live in the object
// itself; a larger one in one heap block for both arrays.
class WaitSet {
 public:
  WaitSet() noexcept = default;
  ~WaitSet() {
    if (entries_ != local_) ::operator delete(entries_, std::nothrow);
  }
  WaitSet(const WaitSet&) = delete;
  WaitSet& operator=(const WaitSet&) = delete;

  // Under the registry lock, in one pass: every live buffer of the camera that holds memory.
  // False when there is no memory for the set.
  bool Collect(void* hCam) noexcept {
    bool room = true;
    BufferRegistry::ForEach([&](const BufferRecord* r) {
      if (r->hCam != hCam || r->bufNr == kRegistrationBufNr || r->size == 0 || r->retiring.load()) return true;
      room = Append(WaitEntry{r->bufNr, r->serial, r->hEvent});
      return room;
    });
    return room;
  }

  // Without the lock: puts the entries in report order and lays out the events.
  void Arrange(Order order) noexcept {
    if (order == Order::kQueue) {
      std::sort(entries_, entries_ + count_,
                [](const WaitEntry& a, const WaitEntry& b) { return a.queued < b.queued; });
    }
    for (DWORD i = 0; i < count_; ++i) events_[i] = entries_[i].event;
  }

  DWORD count() const noexcept { return count_; }
  const HANDLE* events() const noexcept { return events_; }
  const WaitEntry& entry(DWORD index) const noexcept { return entries_[index]; }

  // The first signalled buffer from `from` on, in report order, looked at without blocking.
  DWORD FirstSignalled(DWORD from) const noexcept {
    for (DWORD i = from; i < count_; i += MAXIMUM_WAIT_OBJECTS) {
      const DWORD group = std::min<DWORD>(MAXIMUM_WAIT_OBJECTS, count_ - i);
      const DWORD r = WaitForMultipleObjects(group, events_ + i, FALSE, 0);
      if (r < WAIT_OBJECT_0 + group) return i + (r - WAIT_OBJECT_0);
    }
    return kNotFound;
  }

  // How many buffers after `index` are signalled.
  int32_t SignalledAfter(DWORD index) const noexcept {
    int32_t signalled = 0;
    for (DWORD i = FirstSignalled(index + 1); i != kNotFound; i = FirstSignalled(i + 1)) ++signalled;
    return signalled;
  }

 private:
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
};

// How the blocking part of a wait ended.
struct Woken {
  enum Kind { kBuffer, kTimeout, kCancelled } kind;
  DWORD index;  // the buffer's place in report order
};

// What is left of a time-out that started at `start`; INFINITE stays.
DWORD TimeLeft(uint32_t timeoutMs, ULONGLONG start) noexcept {
  if (timeoutMs == INFINITE) return INFINITE;
  const ULONGLONG elapsed = GetTickCount64() - start;
  return elapsed >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - elapsed);
}

// Blocks until a buffer of the set is signalled, an extra event is set, `cancelled` is seen, or
// the time is up.
Woken Block(const WaitSet& set, Order order, const HANDLE* extras, DWORD extraCount,
            const std::atomic<bool>& cancelled, uint32_t timeoutMs) noexcept {
  const DWORD n = set.count();
  // A camera without buffers has nothing to wait for, whatever the time-out.
  if (n == 0) return {Woken::kTimeout, 0};
  const ULONGLONG start = GetTickCount64();
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  std::copy(extras, extras + extraCount, handles);

  // Exactly as many buffers as one system wait holds, in registry order: the wait holds them
  // all and looks for a cancel between slices rather than through its event, so that the first
  // signalled one in registry order comes out of the wait itself.
  if (order == Order::kRegistry && n == MAXIMUM_WAIT_OBJECTS && extraCount == 1) {
    for (;;) {
      const DWORD left = TimeLeft(timeoutMs, start);
      const DWORD r = WaitForMultipleObjects(n, set.events(), FALSE, std::min(left, kSliceMs));
      if (r < WAIT_OBJECT_0 + n) return {Woken::kBuffer, r - WAIT_OBJECT_0};
      if (cancelled.load()) return {Woken::kCancelled, 0};
      if (left == 0 || r == WAIT_FAILED) return {Woken::kTimeout, 0};
    }
  }

  if (n + extraCount <= MAXIMUM_WAIT_OBJECTS) {
    std::copy(set.events(), set.events() + n, handles + extraCount);
    const DWORD r = WaitForMultipleObjects(extraCount + n, handles, FALSE, timeoutMs);
    if (r < WAIT_OBJECT_0 + extraCount) return {Woken::kCancelled, 0};
    if (r < WAIT_OBJECT_0 + extraCount + n) return {Woken::kBuffer, r - WAIT_OBJECT_0 - extraCount};
    return {Woken::kTimeout, 0};  // the time-out, and a wait that failed
  }

  // The buffers watched while blocking: those handed to the camera earliest.
  DWORD watched[kWatched];
  const DWORD watchedCount = std::min<DWORD>(kWatched, n);
  if (order == Order::kQueue) {
    for (DWORD i = 0; i < watchedCount; ++i) watched[i] = i;  // the set is in queue order
  } else {
    for (DWORD i = 0, filled = 0; i < n; ++i) {
      // Keeps the watchedCount smallest hand-over serials, by insertion.
      DWORD at = filled < watchedCount ? filled++ : watchedCount;
      while (at > 0 && set.entry(watched[at - 1]).queued > set.entry(i).queued) {
        if (at < watchedCount) watched[at] = watched[at - 1];
        --at;
      }
      if (at < watchedCount) watched[at] = i;
    }
  }
  for (DWORD i = 0; i < watchedCount; ++i) handles[extraCount + i] = set.events()[watched[i]];

  for (;;) {
    const DWORD left = TimeLeft(timeoutMs, start);
    const DWORD r = WaitForMultipleObjects(extraCount + watchedCount, handles, FALSE, std::min(left, kSliceMs));
    if (r < WAIT_OBJECT_0 + extraCount) return {Woken::kCancelled, 0};
    // In queue order a watched buffer is the earliest of all; in registry order every buffer
    // is looked at, so the first signalled one in that order is reported.
    if (order == Order::kQueue && r < WAIT_OBJECT_0 + extraCount + watchedCount) {
      return {Woken::kBuffer, watched[r - WAIT_OBJECT_0 - extraCount]};
    }
    const DWORD found = set.FirstSignalled(0);
    if (found != kNotFound) return {Woken::kBuffer, found};
    if (left == 0 || r == WAIT_FAILED) return {Woken::kTimeout, 0};
  }
}

// What a node's instance data cell holds once VReserve has run.
struct NodeInstance {
  HANDLE abortEvent;  // manual-reset; set by VAbort
};

HANDLE AbortEventOf(void** instance) noexcept {
  if (instance == nullptr || *instance == nullptr) return nullptr;
  return static_cast<NodeInstance*>(*instance)->abortEvent;
}

// The outcome of a wait: its result, the log line that goes with it, and the buffer number the
// line names.
struct WaitOutcome {
  ErrorCode result = kOk;
  const char* line = nullptr;  // "%s" is the export's name
  int32_t number = -1;
  int lineNumber = 0;
};

WaitOutcome WaitAndConfirm(Order order, void* hCam, int16_t* bufNr, uint32_t timeoutMs, int32_t* pending,
                           void** instance) noexcept {
  WaitOutcome out;
  WaitSet set;
  Waiter waiter;
  waiter.hCam = hCam;
  waiter.cancelEvent = TakeCancelEvent();
  uint64_t registrationSerial = 0;
  bool registered = false;
  bool collected = false;
  {
    RegistryLock lock;
    const BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration != nullptr) {
      registered = true;
      registrationSerial = registration->serial;
      collected = set.Collect(hCam);
      if (waiter.cancelEvent != nullptr) RegisterWaiter(&waiter);
    }
  }
  if (!registered) {
    ReturnCancelEvent(waiter.cancelEvent, false);
    out.result = kOptionNotAvailable;
    out.line = "%s error\r\n";
    return out;
  }
  *bufNr = -1;
  if (pending != nullptr) *pending = 0;

  HANDLE extras[kExtras];
  DWORD extraCount = 0;
  if (waiter.cancelEvent != nullptr) extras[extraCount++] = waiter.cancelEvent;
  if (HANDLE abortEvent = AbortEventOf(instance)) extras[extraCount++] = abortEvent;
  // A set that could not be had makes the wait fail, reported as a time-out.
  if (collected) set.Arrange(order);
  const Woken woken =
      collected ? Block(set, order, extras, extraCount, waiter.cancelled, timeoutMs) : Woken{Woken::kTimeout, 0};

  RecordUse camera;
  FamilyEntryPoints entry;
  int32_t family = kNoFamily;
  bool cancelled = woken.kind == Woken::kCancelled;
  {
    RegistryLock lock;
    if (waiter.cancelEvent != nullptr) UnregisterWaiter(&waiter);
    cancelled = cancelled || waiter.cancelled.load();
    // An event that was not set goes straight back to the pool, without another trip for the lock.
    if (!waiter.cancelled.load() && PoolCancelEvent(waiter.cancelEvent)) waiter.cancelEvent = nullptr;
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    // The camera may have been cleaned up, and its library unloaded, after the buffer woke this
    // wait: then there is nobody to ask.
    if (!cancelled && woken.kind == Woken::kBuffer && registration != nullptr &&
        registration->serial == registrationSerial) {
      camera.Take(registration);
      family = registration->family;
      entry = EntryPoints();
      // A buffer freed by another thread since the wait leaves -1.
      const BufferRecord* record = BufferRegistry::FindLive(hCam, set.entry(woken.index).number);
      if (record != nullptr) out.number = static_cast<int16_t>(record->bufNr);
    }
  }
  ReturnCancelEvent(waiter.cancelEvent, waiter.cancelled.load());

  if (cancelled) {
    out.result = kWaitCancelled;
    out.line = "%s error cancelled\r\n";
  } else if (woken.kind == Woken::kTimeout) {
    out.result = kWaitTimeout;
    out.line = "%s error timeout\r\n";
  } else if (!camera) {
    out.result = kOptionNotAvailable;
    out.line = "%s error\r\n";
  } else {
    *bufNr = static_cast<int16_t>(out.number);
    const FamilyOps* ops = OpsOf(family);
    out.result = ops != nullptr ? ops->confirm(entry, hCam, out.number, &out.lineNumber) : kOk;
    camera.End();
    out.line = out.result == kOk ? "%s done. Bufnr %d\r\n" : "%s BufNr %d error %d\r\n";
    if (out.result == kOk && pending != nullptr) *pending = set.SignalledAfter(woken.index);
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
 *  entry point; 0xA00A3005 when nothing was signalled in time or the wait failed; 0x800A300B
 *  when the status says not filled; a QD4 driver status; 0x800A2010 when VCancelWait or
 *  Vcleanup ended the wait.
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
 * Ends every wait of the camera in progress (both wait exports) at once; they return
 * 0x800A2010.  A wait that starts afterwards is not affected.
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
    if (BufferRegistry::LiveRegistration(hCam) != nullptr) {
      CancelWaiters(hCam);
    } else {
      result = kOptionNotAvailable;
    }
  }
  if (LogEnabled()) {
    LogFormat(result, result == kOk ? "VCancelWait done hCam %x\r\n" : "VCancelWait error\r\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(hCam)));
  }
  return result;
}

/***********************************************************************
 *      VReserve (vorlabview.16)
 *
 * Node callback: makes the node's instance data (an abort event) when the VI starts.
 *
 * PARAMS
 *  instance [I/O] the node's instance data cell; may be null, and is left alone when it is set
 *
 * RETURNS
 *  0.
 */
extern "C" int32_t WINAPI VReserve(void** instance) {
  if (instance == nullptr || *instance != nullptr) return 0;
  NodeInstance* node = new (std::nothrow) NodeInstance{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  if (node != nullptr && node->abortEvent == nullptr) {
    // Without an event the node simply cannot be aborted; its waits work as without callbacks.
    delete node;
    node = nullptr;
  }
  *instance = node;
  return 0;
}

/***********************************************************************
 *      VUnreserve (vorlabview.17)
 *
 * Node callback: frees what VReserve made and clears the cell, when the VI stops.
 *
 * PARAMS
 *  instance [I/O] the node's instance data cell; may be null or empty
 *
 * RETURNS
 *  0.
 */
extern "C" int32_t WINAPI VUnreserve(void** instance) {
  if (instance == nullptr || *instance == nullptr) return 0;
  NodeInstance* node = static_cast<NodeInstance*>(*instance);
  *instance = nullptr;
  CloseHandle(node->abortEvent);
  delete node;
  return 0;
}

/***********************************************************************
 *      VAbort (vorlabview.18)
 *
 * Node callback: the VI is aborted while the node's call is in progress.  Runs on another
 * thread than the call, so it only signals: a wait of that node ends with 0x800A2010.
 *
 * PARAMS
 *  instance [I] the node's instance data cell; may be null or empty
 *
 * RETURNS
 *  0.
 */
extern "C" int32_t WINAPI VAbort(void** instance) {
  if (HANDLE abortEvent = AbortEventOf(instance)) SetEvent(abortEvent);
  return 0;
}
