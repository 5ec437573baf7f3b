// Buffer allocation and release: VAllocateBuffer, VFreeBuffer, Vcleanup.
#include <windows.h>

#include <algorithm>
#include <new>

#include "camera/camera_state.h"
#include "camera/message_box.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "vorlabview.h"

namespace {

unsigned Low32(const void* value) noexcept {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(value));
}

void* EventFromValue(uint32_t value) noexcept {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

// Under the registry lock: some family's free slot is set, the sign that a library is bound.
bool AnyLibraryBound() noexcept {
  const FamilyEntryPoints& entry = EntryPoints();
  return entry.lanticam.FREE_BUFFER != nullptr || entry.tornio.FREE_BUFFER != nullptr ||
         entry.qd4.VOR_FreeBuffer != nullptr;
}

bool HoldsSdkBuffer(const BufferRecord& record) noexcept {
  return record.bufNr != kRegistrationBufNr && record.size != 0;
}

// A released record's fields are zeroed before it goes.
void ZeroAndDelete(BufferRecord* record) noexcept {
  record->picPtr = nullptr;
  record->bufNr = 0;
  record->size = 0;
  record->hEvent = nullptr;
  record->hCam = nullptr;
  record->family = 0;
  delete record;
}

// Gives one buffer back through its family's library; other families hold nothing to give.
ErrorCode ReleaseThroughSdk(const FamilyEntryPoints& entry, const BufferRecord& record) noexcept {
  const FamilyOps* ops = OpsOf(record.family);
  return ops != nullptr ? ops->release(entry, record.hCam, record.bufNr) : kOk;
}

// The records a cleanup takes over: every live record of the camera, registrations included.
struct RetiredRecords {
  BufferRecord** records = nullptr;
  size_t count = 0;

  ~RetiredRecords() { delete[] records; }

  // Under the registry lock: marks them retiring.  False when there is no memory for the list.
  bool Take(void* hCam) noexcept {
    size_t live = 0;
    BufferRegistry::ForEach([&](BufferRecord* r) {
      if (r->hCam == hCam && !r->retiring.load()) ++live;
      return true;
    });
    records = new (std::nothrow) BufferRecord*[live];
    if (records == nullptr) return false;
    BufferRegistry::ForEach([&](BufferRecord* r) {
      if (r->hCam == hCam && !r->retiring.load()) {
        r->retiring.store(true);
        records[count++] = r;
      }
      return true;
    });
    return true;
  }
};

}  // namespace

/***********************************************************************
 *      VAllocateBuffer (vorlabview.2)
 *
 * Gets a buffer from the camera's SDK, or allocates an existing one again, and registers it.
 *
 * PARAMS
 *  hCam   [I]   camera handle given to VInitLibrary
 *  bufNr  [I/O] -1 for a new buffer, or an existing buffer's number; the buffer's number
 *  size   [I]   size in bytes
 *  unused [I]   not read
 *  event  [I/O] the caller's event variable; the buffer's event on return
 *
 * RETURNS
 *  0; 0xA00A3001 for a null pointer; 0x800A3004 for an unregistered camera or a family
 *  without buffers; 0xA00A3003 for an existing number that is not registered; 8 when there
 *  is no memory for the record (the buffer is given back); else the SDK's code, also shown
 *  in a box.
 */
extern "C" ErrorCode WINAPI VAllocateBuffer(void* hCam, int16_t* bufNr, uint32_t size, uint32_t /*unused*/,
                                            uint32_t* event) {
  if (bufNr == nullptr || event == nullptr) {
    if (LogEnabled()) LogFormat(kWrongParameter, "VAllocateBuffer error\r\n");
    return kWrongParameter;
  }

  ErrorCode result = kOk;
  const char* failureLine = nullptr;
  RecordUse camera;                  // the SDK calls below run under the camera's registration
  BufferRecord* existing = nullptr;  // held exclusively while the SDK allocates it again
  const FamilyOps* ops = nullptr;
  FamilyEntryPoints entry;
  int32_t family = kNoFamily;
  void* address = nullptr;
  uint32_t existingEvent = 0;
  {
    RegistryLock lock;
    BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration == nullptr) {
      result = kOptionNotAvailable;
      failureLine = "VAllocateBuffer error\r\n";
    } else if (*bufNr != kRegistrationBufNr && (existing = lock.TakeExclusive(hCam, *bufNr)) == nullptr) {
      result = kNoBuffer;
      failureLine = "VAllocateBuffer error\r\n";
    } else if ((ops = OpsOf(registration->family)) == nullptr) {
      result = kOptionNotAvailable;
      failureLine = "VAllocateBuffer error 2\r\n";
    } else {
      family = registration->family;
      camera.Take(registration);
      entry = EntryPoints();
      if (existing != nullptr) {
        // Another size is a new mapping: the old address says nothing about the new buffer.
        address = existing->size == size ? existing->picPtr : nullptr;
        existingEvent = Low32(existing->hEvent);
      }
    }
    if (result != kOk && existing != nullptr) lock.EndExclusive(existing);
  }
  if (result != kOk) {
    camera.End();
    if (LogEnabled()) LogFormat(result, failureLine);
    return result;
  }

  if (existing != nullptr) *event = existingEvent;
  result = ops->allocate(entry, hCam, bufNr, size, event, &address);
  BufferRecord* record = existing;
  if (result == kOk) {
    ResetEvent(EventFromValue(*event));
    if (record == nullptr) record = new (std::nothrow) BufferRecord;
    if (record != nullptr) {
      record->hCam = hCam;
      record->hEvent = EventFromValue(*event);
      record->picPtr = address;
      record->size = size;
      record->family = family;
      record->bufNr = *bufNr;
    }
  }
  bool registered = false;
  {
    RegistryLock lock;
    if (record != nullptr && result == kOk) {
      record->serial = NextSerial();  // handed to the camera now: the back of its queue
      registered = existing != nullptr || BufferRegistry::Add(record);
    }
    if (existing != nullptr) lock.EndExclusive(existing);
  }
  if (result == kOk && !registered) {
    // No memory for the record: the buffer goes back rather than staying behind unregistered.
    ops->release(entry, hCam, *bufNr);
    delete record;
    result = ERROR_NOT_ENOUGH_MEMORY;
  }
  camera.End();

  if (result != kOk) {
    if (result != ERROR_NOT_ENOUGH_MEMORY) {
      ShowErrorBox("allocatebuffer error :%lx, \nsize: %d \nbufNr: %d\r\n", result, static_cast<int>(size),
                   static_cast<int>(*bufNr));
    }
    return result;
  }
  if (LogEnabled()) {
    LogFormat(kOk, "VAllocateBuffer done hCam %x hevent %x\r\npic ptr %x buf nr %d\r\n", Low32(hCam),
              static_cast<unsigned>(*event), Low32(address), static_cast<int>(*bufNr));
  }
  return kOk;
}

/***********************************************************************
 *      VFreeBuffer (vorlabview.10)
 *
 * Gives one buffer back to the camera's SDK and forgets it.  A copy or recording of the
 * buffer under way on another thread finishes first.
 *
 * PARAMS
 *  hCam  [I] camera handle given to VInitLibrary
 *  bufNr [I] the buffer's number
 *
 * RETURNS
 *  0 (also for a number without a buffer); 0x800A3004 when no library is bound or the
 *  camera is not registered; else the SDK's release code (the buffer is forgotten anyway).
 */
extern "C" ErrorCode WINAPI VFreeBuffer(void* hCam, int32_t bufNr) {
  ErrorCode result = kOk;
  const char* failureLine = nullptr;
  RecordUse camera;
  BufferRecord* record = nullptr;
  FamilyEntryPoints entry;
  {
    RegistryLock lock;
    BufferRecord* registration = nullptr;
    if (!AnyLibraryBound()) {
      result = kOptionNotAvailable;
      failureLine = "VFreeBuffer error function not available\r\n";
    } else if ((registration = BufferRegistry::LiveRegistration(hCam)) == nullptr) {
      result = kOptionNotAvailable;
      failureLine = "VFreeBuffer error\r\n";
    } else {
      record = BufferRegistry::FindLive(hCam, bufNr);
      if (record != nullptr && HoldsSdkBuffer(*record)) {
        record->retiring.store(true);
        camera.Take(registration);  // a cleanup of the camera waits for this release
        lock.WaitUntilUnused(record);
        entry = EntryPoints();
      } else {
        record = nullptr;
      }
    }
  }
  if (failureLine != nullptr) {
    if (LogEnabled()) LogFormat(result, failureLine);
    return result;
  }

  if (record != nullptr) {
    result = ReleaseThroughSdk(entry, *record);
    {
      RegistryLock lock;
      BufferRegistry::Remove(record);
    }
    ZeroAndDelete(record);
  }
  camera.End();

  if (LogEnabled()) LogFormat(result, "VFreeBuffer done HANDLE %x bufnr %d\r\n", Low32(hCam), bufNr);
  return result;
}

/***********************************************************************
 *      Vcleanup (vorlabview.5)
 *
 * Gives back all of a camera's buffers, lowest number first, forgets the camera, and releases
 * the family's library when no other camera of that family is registered.  Calls of the
 * camera under way on other threads finish first.
 *
 * PARAMS
 *  hCam [I] camera handle given to VInitLibrary
 *
 * RETURNS
 *  0 when every release succeeded, else the code of the first release that failed;
 *  0x800A3004 when no library is bound or the camera is not registered; 8 when there is no
 *  memory for the cleanup's list (nothing is released).
 */
extern "C" ErrorCode WINAPI Vcleanup(void* hCam) {
  ErrorCode result = kOk;
  const char* failureLine = nullptr;
  RetiredRecords retired;
  int32_t family = kNoFamily;
  FamilyEntryPoints entry;
  {
    RegistryLock lock;
    const BufferRecord* registration = nullptr;
    if (!AnyLibraryBound()) {
      result = kOptionNotAvailable;
      failureLine = "Vcleanup error function not available\r\n";
    } else if ((registration = BufferRegistry::LiveRegistration(hCam)) == nullptr) {
      result = kOptionNotAvailable;
      failureLine = "Vcleanup error\r\n";
    } else if (!retired.Take(hCam)) {
      result = ERROR_NOT_ENOUGH_MEMORY;
      failureLine = "Vcleanup error\r\n";
    } else {
      family = registration->family;
      for (size_t i = 0; i < retired.count; ++i) lock.WaitUntilUnused(retired.records[i]);
      entry = EntryPoints();
    }
  }
  if (failureLine != nullptr) {
    if (LogEnabled()) LogFormat(result, failureLine);
    return result;
  }

  // Every record that holds an SDK buffer goes back, lowest number first; the first failure is
  // the result, so a later success cannot hide it.  Registrations and empty records need no call.
  std::sort(retired.records, retired.records + retired.count,
            [](const BufferRecord* a, const BufferRecord* b) { return a->bufNr < b->bufNr; });
  for (size_t i = 0; i < retired.count; ++i) {
    if (!HoldsSdkBuffer(*retired.records[i])) continue;
    const ErrorCode released = ReleaseThroughSdk(entry, *retired.records[i]);
    if (result == kOk) result = released;
  }

  HMODULE unload = nullptr;
  {
    RegistryLock lock;
    for (size_t i = 0; i < retired.count; ++i) BufferRegistry::Remove(retired.records[i]);
    // Any record of another camera of the family, even one being cleaned up, keeps the
    // library: its calls may be under way, and the last cleanup of the family unloads it.
    bool familyStillUsed = false;
    BufferRegistry::ForEach([&](const BufferRecord* r) {
      familyStillUsed = r->hCam != hCam && r->family == family;
      return !familyStillUsed;
    });
    if (!familyStillUsed) unload = FamilyLibrary(EntryPoints(), family);
  }
  for (size_t i = 0; i < retired.count; ++i) ZeroAndDelete(retired.records[i]);
  if (unload != nullptr) FreeLibrary(unload);

  if (LogEnabled()) LogFormat(result, "VCleanup done\r\n");
  return result;
}
