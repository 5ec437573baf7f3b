// Buffer allocation and release: VAllocateBuffer, VFreeBuffer, Vcleanup.
#include <windows.h>
#include <string.h>

#include <new>

#include "camera/camera_lock.h"
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

ErrorCode AllocateLanticam(void* hCam, int16_t* bufNr, uint32_t size, uint32_t* event,
                           void** address) noexcept {
  const LanticamEntryPoints& g = EntryPoints().lanticam;
  if (g.ALLOCATE_BUFFER_EX == nullptr || g.MAP_BUFFER == nullptr) return kOptionNotAvailable;
  int32_t number = *bufNr;
  ErrorCode result = g.ALLOCATE_BUFFER_EX(hCam, &number, size, event, address);
  if (result == kOk && *address == nullptr) result = g.MAP_BUFFER(hCam, number, size, 0, address);
  *bufNr = static_cast<int16_t>(number);
  return result;
}

ErrorCode AllocateTornio(void* hCam, int16_t* bufNr, uint32_t size, uint32_t* event,
                         void** address) noexcept {
  const TornioEntryPoints& g = EntryPoints().tornio;
  if (g.ALLOCATE_BUFFER == nullptr || g.MAP_BUFFER == nullptr || g.SETBUFFER_EVENT == nullptr) {
    return kOptionNotAvailable;
  }
  int32_t number = *bufNr;
  uint32_t workingSize = size;
  ErrorCode result = g.ALLOCATE_BUFFER(hCam, &number, &workingSize);
  if (result == kOk) {
    if (*address == nullptr) {
      result = g.MAP_BUFFER(hCam, number, size, 0, address);
      // A mapping without an address has no buffer to attach an event to.
      if (result == kOk && *address != nullptr) result = g.SETBUFFER_EVENT(hCam, number, event);
    } else {
      result = g.SETBUFFER_EVENT(hCam, number, event);
    }
  }
  *bufNr = static_cast<int16_t>(number);
  return result;
}

ErrorCode AllocateQd4(void* hCam, int16_t* bufNr, uint32_t size, uint32_t* event,
                      void** address) noexcept {
  const Qd4EntryPoints& g = EntryPoints().qd4;
  if (g.VOR_AllocateBuffer == nullptr) return kOptionNotAvailable;
  return g.VOR_AllocateBuffer(hCam, bufNr, size, address, event);
}

// Gives one buffer back to its family's library.  A null slot (left by a partly failed
// second binding) is never called.
ErrorCode ReleaseThroughSdk(const BufferRecord& record) noexcept {
  const FamilyEntryPoints& entry = EntryPoints();
  switch (record.family) {
    case kLanticam:
      if (entry.lanticam.FREE_BUFFER == nullptr) return kOptionNotAvailable;
      if (entry.lanticam.UNMAP_BUFFER != nullptr) entry.lanticam.UNMAP_BUFFER(record.hCam, record.bufNr);
      return entry.lanticam.FREE_BUFFER(record.hCam, record.bufNr);
    case kTornio:
      if (entry.tornio.FREE_BUFFER == nullptr) return kOptionNotAvailable;
      if (entry.tornio.UNMAP_BUFFER != nullptr) entry.tornio.UNMAP_BUFFER(record.hCam, record.bufNr);
      return entry.tornio.FREE_BUFFER(record.hCam, record.bufNr);
    case kQd4:
      if (entry.qd4.VOR_FreeBuffer == nullptr) return kOptionNotAvailable;
      return entry.qd4.VOR_FreeBuffer(record.hCam, static_cast<int16_t>(record.bufNr));
    default:
      return kOk;
  }
}

void RemoveAndDelete(BufferRecord* record) noexcept {
  BufferRegistry::Remove(record);
  *record = BufferRecord{nullptr, 0, 0, nullptr, nullptr, 0};
  delete record;
}

bool AnyLibraryBound() noexcept {
  const FamilyEntryPoints& entry = EntryPoints();
  return entry.lanticam.FREE_BUFFER != nullptr || entry.tornio.FREE_BUFFER != nullptr ||
         entry.qd4.VOR_FreeBuffer != nullptr;
}

bool HoldsSdkBuffer(const BufferRecord& record, void* hCam) noexcept {
  return record.hCam == hCam && record.bufNr != kRegistrationBufNr && record.size != 0;
}

// The camera's buffer record with the lowest number that holds an SDK buffer, or null.
BufferRecord* LowestSdkBuffer(void* hCam) noexcept {
  BufferRecord* lowest = nullptr;
  const int32_t count = BufferRegistry::Count();
  for (int32_t i = 0; i < count; ++i) {
    BufferRecord* record = BufferRegistry::At(i);
    if (HoldsSdkBuffer(*record, hCam) && (lowest == nullptr || record->bufNr < lowest->bufNr)) {
      lowest = record;
    }
  }
  return lowest;
}

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
 *  without buffers; 0xA00A3003 for an existing number that is not registered; else the
 *  SDK's code, also shown in a box.
 */
extern "C" ErrorCode WINAPI VAllocateBuffer(void* hCam, int16_t* bufNr, uint32_t size,
                                            uint32_t /*unused*/, uint32_t* event) {
  if (bufNr == nullptr || event == nullptr) {
    if (LogEnabled()) LogFormat(kWrongParameter, "VAllocateBuffer error\r\n");
    return kWrongParameter;
  }

  CameraLock lock;
  const int32_t family = BufferRegistry::FamilyOf(hCam);
  if (family == kNoFamily) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VAllocateBuffer error\r\n");
    return kOptionNotAvailable;
  }

  BufferRecord* existing = nullptr;
  void* address = nullptr;
  if (*bufNr != kRegistrationBufNr) {
    existing = BufferRegistry::FindBuffer(hCam, *bufNr);
    if (existing == nullptr) {
      lock.Unlock();
      if (LogEnabled()) LogFormat(kNoBuffer, "VAllocateBuffer error\r\n");
      return kNoBuffer;
    }
    address = existing->picPtr;
    *event = Low32(existing->hEvent);
  }

  ErrorCode result;
  switch (family) {
    case kLanticam: result = AllocateLanticam(hCam, bufNr, size, event, &address); break;
    case kTornio:   result = AllocateTornio(hCam, bufNr, size, event, &address); break;
    case kQd4:      result = AllocateQd4(hCam, bufNr, size, event, &address); break;
    default:
      lock.Unlock();
      if (LogEnabled()) LogFormat(kOptionNotAvailable, "VAllocateBuffer error 2\r\n");
      return kOptionNotAvailable;
  }
  if (result != kOk) {
    const int shownNumber = *bufNr;
    lock.Unlock();
    ShowErrorBox("allocatebuffer error :%lx, \nsize: %d \nbufNr: %d\r\n", result,
                 static_cast<int>(size), shownNumber);
    return result;
  }

  ResetEvent(EventFromValue(*event));
  BufferRecord* record = existing != nullptr ? existing : new (std::nothrow) BufferRecord;
  if (record == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  record->hCam = hCam;
  record->hEvent = EventFromValue(*event);
  record->picPtr = address;
  record->size = size;
  record->family = family;
  record->bufNr = *bufNr;
  if (existing == nullptr && !BufferRegistry::Add(record)) {
    delete record;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const int loggedNumber = *bufNr;
  lock.Unlock();

  if (LogEnabled()) {
    LogFormat(kOk, "VAllocateBuffer done hCam %x hevent %x\r\npic ptr %x buf nr %d\r\n",
              Low32(hCam), static_cast<unsigned>(*event), Low32(address), loggedNumber);
  }
  return kOk;
}

/***********************************************************************
 *      VFreeBuffer (vorlabview.10)
 *
 * Gives one buffer back to the camera's SDK and forgets it.
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
  CameraLock lock;
  if (!AnyLibraryBound()) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VFreeBuffer error function not available\r\n");
    return kOptionNotAvailable;
  }
  if (BufferRegistry::FamilyOf(hCam) == kNoFamily) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "VFreeBuffer error\r\n");
    return kOptionNotAvailable;
  }

  ErrorCode result = kOk;
  BufferRecord* record = BufferRegistry::FindBuffer(hCam, bufNr);
  if (record != nullptr && HoldsSdkBuffer(*record, hCam)) {
    result = ReleaseThroughSdk(*record);
    RemoveAndDelete(record);
  }
  lock.Unlock();

  if (LogEnabled()) LogFormat(result, "VFreeBuffer done HANDLE %x bufnr %d\r\n", Low32(hCam), bufNr);
  return result;
}

/***********************************************************************
 *      Vcleanup (vorlabview.5)
 *
 * Gives back all of a camera's buffers, forgets the camera, and releases the family's
 * library when no other camera of that family is registered.
 *
 * PARAMS
 *  hCam [I] camera handle given to VInitLibrary
 *
 * RETURNS
 *  0 when every release succeeded, else the code of the first release that failed;
 *  0x800A3004 when no library is bound or the camera is not registered.
 */
extern "C" ErrorCode WINAPI Vcleanup(void* hCam) {
  CameraLock lock;
  if (!AnyLibraryBound()) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "Vcleanup error function not available\r\n");
    return kOptionNotAvailable;
  }
  const int32_t family = BufferRegistry::FamilyOf(hCam);
  if (family == kNoFamily) {
    lock.Unlock();
    if (LogEnabled()) LogFormat(kOptionNotAvailable, "Vcleanup error\r\n");
    return kOptionNotAvailable;
  }

  // Every buffer that holds an SDK buffer goes back, lowest number first; the first
  // failure is the result, so a later success cannot hide it.
  ErrorCode result = kOk;
  while (BufferRecord* record = LowestSdkBuffer(hCam)) {
    const ErrorCode released = ReleaseThroughSdk(*record);
    if (result == kOk) result = released;
    RemoveAndDelete(record);
  }

  // The camera's registrations and empty records go without SDK calls.
  bool familyStillUsed = false;
  for (int32_t i = BufferRegistry::Count() - 1; i >= 0; --i) {
    BufferRecord* record = BufferRegistry::At(i);
    if (record->hCam == hCam) {
      RemoveAndDelete(record);
    } else if (record->family == family) {
      familyStillUsed = true;
    }
  }
  HMODULE* library = FamilyLibrary(family);
  if (!familyStillUsed && library != nullptr && *library != nullptr) FreeLibrary(*library);
  lock.Unlock();

  if (LogEnabled()) LogFormat(result, "VCleanup done\r\n");
  return result;
}
