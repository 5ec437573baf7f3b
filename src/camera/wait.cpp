// Waiting for filled buffers: VWaitForBuffers.
#include <windows.h>

#include <new>

#include "camera/camera_state.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "vorlabview.h"

namespace {

// The events and numbers of a camera's waitable buffers, in registry order.  Small sets live
// in the object itself; larger ones on the heap.
class WaitSet {
 public:
  WaitSet() noexcept = default;
  ~WaitSet() {
    if (events_ != localEvents_) delete[] events_;
    if (numbers_ != localNumbers_) delete[] numbers_;
  }
  WaitSet(const WaitSet&) = delete;
  WaitSet& operator=(const WaitSet&) = delete;

  // Under the registry lock, in one pass: every live buffer of the camera that holds memory.
  // False when there is no memory for the set.
  bool Collect(void* hCam) noexcept {
    bool room = true;
    BufferRegistry::ForEach([&](const BufferRecord* r) {
      if (r->hCam != hCam || r->bufNr == kRegistrationBufNr || r->size == 0 || r->retiring.load()) return true;
      room = Append(r->hEvent, r->bufNr);
      return room;
    });
    return room;
  }

  DWORD count() const noexcept { return count_; }
  const HANDLE* events() const noexcept { return events_; }
  int32_t number(DWORD index) const noexcept { return numbers_[index]; }

 private:
  bool Append(HANDLE event, int32_t number) noexcept {
    if (count_ == capacity_ && !Grow()) return false;
    events_[count_] = event;
    numbers_[count_] = number;
    ++count_;
    return true;
  }

  bool Grow() noexcept {
    const DWORD capacity = capacity_ * 2;
    HANDLE* events = new (std::nothrow) HANDLE[capacity];
    int32_t* numbers = new (std::nothrow) int32_t[capacity];
    if (events == nullptr || numbers == nullptr) {
      delete[] events;
      delete[] numbers;
      return false;
    }
    for (DWORD i = 0; i < count_; ++i) {
      events[i] = events_[i];
      numbers[i] = numbers_[i];
    }
    if (events_ != localEvents_) delete[] events_;
    if (numbers_ != localNumbers_) delete[] numbers_;
    events_ = events;
    numbers_ = numbers;
    capacity_ = capacity;
    return true;
  }

  static constexpr DWORD kLocal = MAXIMUM_WAIT_OBJECTS;
  HANDLE localEvents_[kLocal];
  int32_t localNumbers_[kLocal];
  HANDLE* events_ = localEvents_;
  int32_t* numbers_ = localNumbers_;
  DWORD capacity_ = kLocal;
  DWORD count_ = 0;
};

}  // namespace

/***********************************************************************
 *      VWaitForBuffers (vorlabview.9)
 *
 * Waits until one of the camera's buffers is signalled and confirms with the SDK that it
 * holds a finished image.
 *
 * PARAMS
 *  hCam      [I] camera handle given to VInitLibrary
 *  bufNr     [O] the filled buffer's number, or -1
 *  timeoutMs [I] milliseconds; 0xFFFFFFFF waits without limit, 0 only polls
 *
 * RETURNS
 *  0; 0xA00A3001 for a null pointer; 0x800A3004 for an unregistered camera (also one cleaned
 *  up during the wait) or a missing status entry point; 0xA00A3005 when nothing was signalled
 *  in time or the wait failed; 0x800A300B when the status says not filled; a QD4 driver status.
 */
extern "C" ErrorCode WINAPI VWaitForBuffers(void* hCam, int16_t* bufNr, uint32_t timeoutMs) {
  if (bufNr == nullptr) {
    if (LogEnabled()) LogFormat(kWrongParameter, "VWaitForBuffers error\r\n");
    return kWrongParameter;
  }

  WaitSet set;
  uint64_t registrationSerial = 0;
  bool registered = false;
  bool collected = false;
  {
    RegistryReadLock lock;
    const BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration != nullptr) {
      registered = true;
      registrationSerial = registration->serial;
      collected = set.Collect(hCam);
    }
  }
  if (!registered) {
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VWaitForBuffers error\r\n");
    return kOptionNotAvailable;
  }
  *bufNr = -1;

  // n = 0 and more than 64 buffers make the wait itself fail, reported as a time-out.
  const DWORD wait = collected ? WaitForMultipleObjects(set.count(), set.events(), FALSE, timeoutMs) : WAIT_FAILED;
  if (wait >= WAIT_OBJECT_0 + set.count()) {
    if (LogEnabled()) LogFormat(kWaitTimeout, "VWaitForBuffers error timeout\r\n");
    return kWaitTimeout;
  }

  // The camera may have been cleaned up while this thread waited, and its library unloaded:
  // then there is nobody to ask, and the camera counts as not registered.
  RecordUse camera;
  FamilyEntryPoints entry;
  int32_t number = -1;
  int32_t family = kNoFamily;
  {
    RegistryReadLock lock;
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration != nullptr && registration->serial == registrationSerial) {
      camera.Take(registration);
      family = registration->family;
      entry = EntryPoints();
      // A buffer freed by another thread since the wait leaves -1.
      const BufferRecord* record = BufferRegistry::FindLive(hCam, set.number(wait - WAIT_OBJECT_0));
      if (record != nullptr) number = static_cast<int16_t>(record->bufNr);
    }
  }
  if (!camera) {
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VWaitForBuffers error\r\n");
    return kOptionNotAvailable;
  }
  *bufNr = static_cast<int16_t>(number);

  const FamilyOps* ops = OpsOf(family);
  int lineNumber = 0;
  const ErrorCode result = ops != nullptr ? ops->confirm(entry, hCam, number, &lineNumber) : kOk;
  camera.End();

  if (result != kOk) {
    if (LogEnabled()) LogFormat(result, "VWaitForBuffers BufNr %d error %d\r\n", number, lineNumber);
    return result;
  }
  if (LogEnabled()) LogFormat(kOk, "VWaitForBuffers done. Bufnr %d\r\n", number);
  return kOk;
}
