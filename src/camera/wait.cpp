// Waiting for filled buffers: VWaitForBuffers.
#include <windows.h>

#include <new>

#include "camera/camera_lock.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "vorlabview.h"

namespace {

constexpr uint32_t kFilledMask = 0xF00F;   // families 1 and 2: first status word
constexpr uint32_t kFilledValue = 2;
constexpr uint32_t kQd4FilledBit = 0x8000;

// The events and numbers of a camera's waitable buffers, in registry order.
struct WaitSet {
  HANDLE* events = nullptr;
  int32_t* numbers = nullptr;
  DWORD count = 0;

  ~WaitSet() {
    delete[] events;
    delete[] numbers;
  }

  // Collects under the camera lock; false when the arrays cannot be had.
  bool Collect(void* hCam) noexcept {
    const int32_t records = BufferRegistry::Count();
    DWORD waitable = 0;
    for (int32_t i = 0; i < records; ++i) {
      const BufferRecord* r = BufferRegistry::At(i);
      if (r->hCam == hCam && r->bufNr != kRegistrationBufNr && r->size != 0) ++waitable;
    }
    if (waitable == 0) return true;
    events = new (std::nothrow) HANDLE[waitable];
    numbers = new (std::nothrow) int32_t[waitable];
    if (events == nullptr || numbers == nullptr) return false;
    for (int32_t i = 0; i < records; ++i) {
      const BufferRecord* r = BufferRegistry::At(i);
      if (r->hCam != hCam || r->bufNr == kRegistrationBufNr || r->size == 0) continue;
      events[count] = r->hEvent;
      numbers[count] = r->bufNr;
      ++count;
    }
    return true;
  }
};

// Families 1 and 2: the first status word, ANDed with 0xF00F, is 2 for a filled buffer.
bool LanticamTornioFilled(GetBufferStatusFn getStatus, void* hCam, int32_t bufNr) noexcept {
  uint32_t statusArea[3] = {0, 0, 0};
  getStatus(hCam, bufNr, 0, statusArea, sizeof statusArea);
  return (statusArea[0] & kFilledMask) == kFilledValue;
}

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
 *  0; 0xA00A3001 for a null pointer; 0x800A3004 for an unregistered camera, an empty
 *  registry or a missing status entry point; 0xA00A3005 when nothing was signalled in
 *  time or the wait failed; 0x800A300B when the status says not filled; a QD4 driver status.
 */
extern "C" ErrorCode WINAPI VWaitForBuffers(void* hCam, int16_t* bufNr, uint32_t timeoutMs) {
  if (bufNr == nullptr) {
    if (LogEnabled()) LogFormat(kWrongParameter, "VWaitForBuffers error\r\n");
    return kWrongParameter;
  }

  CameraLock lock;
  const int32_t family = BufferRegistry::FamilyOf(hCam);
  if (family == kNoFamily) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VWaitForBuffers error\r\n");
    return kOptionNotAvailable;
  }
  *bufNr = -1;
  if (BufferRegistry::Count() <= 0) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VWaitForBuffers error 2\r\n");
    return kOptionNotAvailable;
  }

  WaitSet set;
  const bool collected = set.Collect(hCam);
  lock.Unlock();

  // n = 0 and more than 64 buffers make the wait itself fail, reported as a time-out.
  const DWORD wait = collected ? WaitForMultipleObjects(set.count, set.events, FALSE, timeoutMs) : WAIT_FAILED;
  if (wait >= WAIT_OBJECT_0 + set.count) {
    if (LogEnabled()) LogFormat(kWaitTimeout, "VWaitForBuffers error timeout\r\n");
    return kWaitTimeout;
  }

  lock.Lock();
  const BufferRecord* record = BufferRegistry::FindBuffer(hCam, set.numbers[wait - WAIT_OBJECT_0]);
  *bufNr = record != nullptr ? static_cast<int16_t>(record->bufNr) : static_cast<int16_t>(-1);
  const int32_t number = *bufNr;

  ErrorCode result = kOk;
  const char* failure = nullptr;
  const FamilyEntryPoints& entry = EntryPoints();
  switch (family) {
    case kLanticam:
    case kTornio: {
      GetBufferStatusFn getStatus =
          family == kLanticam ? entry.lanticam.GETBUFFER_STATUS : entry.tornio.GETBUFFER_STATUS;
      failure = family == kLanticam ? "VWaitForBuffers BufNr %d error 3\r\n" : "VWaitForBuffers BufNr %d error 4\r\n";
      if (getStatus == nullptr) {
        result = kOptionNotAvailable;
      } else if (!LanticamTornioFilled(getStatus, hCam, number)) {
        result = kBufferNotFilled;
      }
      break;
    }
    case kQd4: {
      if (entry.qd4.VOR_GetBufferStatus == nullptr) {
        failure = "VWaitForBuffers BufNr %d error 6\r\n";
        result = kOptionNotAvailable;
        break;
      }
      uint32_t status = 0;
      uint32_t driverStatus = 0;
      entry.qd4.VOR_GetBufferStatus(hCam, static_cast<int16_t>(number), &status, &driverStatus);
      if (driverStatus != 0) {
        failure = "VWaitForBuffers BufNr %d error 5\r\n";
        result = driverStatus;
      } else if ((status & kQd4FilledBit) == 0) {
        failure = "VWaitForBuffers BufNr %d error 6\r\n";
        result = kBufferNotFilled;
      }
      break;
    }
    default:
      break;  // no status call for other families
  }
  lock.Unlock();

  if (result != kOk) {
    if (LogEnabled()) LogFormat(result, failure, number);
    return result;
  }
  if (LogEnabled()) LogFormat(kOk, "VWaitForBuffers done. Bufnr %d\r\n", number);
  return kOk;
}
