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

// Under the registry lock: a release has taken the buffer.  Lookups pass it over, and waits
// in progress no longer report it.
void RetireRecord(BufferRecord* record) noexcept {
  record->retiring.store(true);
  if (record->signal != nullptr) record->signal->live.store(false);
}

// A released record's fields are zeroed before it goes; its hold on the event goes with it.
void ZeroAndDelete(BufferRecord* record) noexcept {
  ReleaseSignal(record->signal);
  record->signal = nullptr;
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

  // Under the registry lock: retires the camera's registrations and waits until the calls that
  // use them are over, so no SDK call of the camera is under way and no buffer of it can be
  // added any more; then retires its buffers and waits until their copies are over.  False,
  // leaving the camera as it was, when there is no memory for the list.
  bool Take(RegistryLock& lock, void* hCam) noexcept {
    if (!Retire(hCam, true)) return false;
    const size_t registrations = count;
    for (size_t i = 0; i < registrations; ++i) lock.WaitUntilUnused(records[i]);
    if (!Retire(hCam, false)) {
      for (size_t i = 0; i < count; ++i) records[i]->retiring.store(false);  // registrations only: no signal
      return false;
    }
    for (size_t i = registrations; i < count; ++i) lock.WaitUntilUnused(records[i]);
    return true;
  }

 private:
  // Appends the camera's live registrations (or buffers) to the list and retires them.  False,
  // leaving the list as it was, when there is no memory for the longer list.
  bool Retire(void* hCam, bool registrations) noexcept {
    auto wanted = [&](const BufferRecord* r) {
      return r->hCam == hCam && !r->retiring.load() && (r->bufNr == kRegistrationBufNr) == registrations;
    };
    size_t more = 0;
    BufferRegistry::ForEach([&](const BufferRecord* r) {
      more += wanted(r) ? 1 : 0;
      return true;
    });
    BufferRecord** list = new (std::nothrow) BufferRecord*[count + more + 1];
    if (list == nullptr) return false;
    for (size_t i = 0; i < count; ++i) list[i] = records[i];
    delete[] records;
    records = list;
    BufferRegistry::ForEach([&](BufferRecord* r) {
      if (wanted(r)) {
        RetireRecord(r);
        records[count++] = r;
      }
      return true;
    });
    return true;
  }
};

// The second half of a cleanup, once the camera's records are retired and unused: every
// record that holds an SDK buffer goes back, lowest number first, the records go, and the
// family's library is released when no other camera of the family is left.  Returns the first
// release's failure, so a later success cannot hide it.
ErrorCode ReleaseAll(const FamilyEntryPoints& entry, void* hCam, int32_t family, RetiredRecords* retired) noexcept {
  ErrorCode result = kOk;
  BufferRecord** records = retired->records;
  std::sort(records, records + retired->count,
            [](const BufferRecord* a, const BufferRecord* b) { return a->bufNr < b->bufNr; });
  for (size_t i = 0; i < retired->count; ++i) {
    if (!HoldsSdkBuffer(*records[i])) continue;  // registrations and empty records need no call
    const ErrorCode released = ReleaseThroughSdk(entry, *records[i]);
    if (result == kOk) result = released;
  }

  HMODULE unload = nullptr;
  for (size_t i = 0; i < retired->count; ++i) {
    // Retired and unused: no wait of the camera can leave helpers on it any more.
    StopLingeringHelpers(records[i]->lingeringWatch);
    records[i]->lingeringWatch = nullptr;
  }
  {
    RegistryLock lock;
    for (size_t i = 0; i < retired->count; ++i) BufferRegistry::Remove(records[i]);
    // Any record of another camera of the family, even one being cleaned up, keeps the
    // library: its calls may be under way, and the family's last cleanup unloads it.
    bool familyStillUsed = false;
    BufferRegistry::ForEach([&](const BufferRecord* r) {
      familyStillUsed = r->hCam != hCam && r->family == family;
      return !familyStillUsed;
    });
    if (!familyStillUsed) {
      unload = FamilyLibrary(EntryPoints(), family);
      ForgetFamilyLibrary(EntryPoints(), family);
    }
  }
  // The holds of the events go together: thousands of closes would make the caller wait.
  ReleaseSignalsOf(records, retired->count);
  for (size_t i = 0; i < retired->count; ++i) ZeroAndDelete(records[i]);
  if (unload != nullptr) FreeLibrary(unload);
  return result;
}

// What an allocation ends with: its result, the log line that goes with it (null for none),
// whether the user is told in a box, and what goes back to the caller.
struct AllocationOutcome {
  ErrorCode result = kOk;
  const char* line = nullptr;
  bool showBox = false;
  void* address = nullptr;
  int16_t number = -1;     // the caller's buffer number on return
  uint32_t event = 0;      // the caller's event variable on return
};

// What the allocation found under the lock before it calls the SDK.
struct HandOver {
  BufferRecord* registration = nullptr;  // marked as handing over until the end
  BufferRecord* existing = nullptr;      // held exclusively while the SDK allocates it again
  BufferSignal* existingSignal = nullptr;  // a hold of the existing buffer's event
  const FamilyOps* ops = nullptr;
  FamilyEntryPoints entry;
  int32_t family = kNoFamily;
};

// `requested` and `callerEvent` are the caller's values, read before any lock is taken: a
// fault in caller memory must leave every lock free.
AllocationOutcome AllocateAndRegister(void* hCam, int16_t requested, uint32_t size, uint32_t callerEvent) noexcept {
  AllocationOutcome out;
  out.number = requested;
  out.event = callerEvent;
  RecordUse camera;  // the SDK calls below run under the camera's registration
  HandOver h;
  {
    RegistryLock lock;
    h.registration = BufferRegistry::LiveRegistration(hCam);
    if (h.registration == nullptr) {
      out.result = kOptionNotAvailable;
      out.line = "VAllocateBuffer error\r\n";
    } else if ((h.ops = OpsOf(h.registration->family)) == nullptr) {
      out.result = kOptionNotAvailable;
      out.line = "VAllocateBuffer error 2\r\n";
    } else {
      // The use comes first: a cleanup that starts while this call waits below waits for it.
      camera.Take(h.registration);
      lock.BeginHandOver(h.registration);
      if (requested != kRegistrationBufNr && (h.existing = lock.TakeExclusive(hCam, requested)) == nullptr) {
        out.result = kNoBuffer;
        out.line = "VAllocateBuffer error\r\n";
        lock.EndHandOver(h.registration);
      } else {
        h.family = h.registration->family;
        h.entry = EntryPoints();
        if (h.existing != nullptr) {
          // Another size is a new mapping: the old address says nothing about the new buffer.
          out.address = h.existing->size == size ? h.existing->picPtr : nullptr;
          out.event = Low32(h.existing->hEvent);
          h.existingSignal = h.existing->signal;
          HoldSignal(h.existingSignal);
        }
      }
    }
  }
  if (out.result != kOk) return out;

  // A buffer handed back: its event is reset before the SDK has it, so a frame the camera
  // writes at once is not erased.
  if (h.existingSignal != nullptr) ResetEvent(h.existingSignal->event);
  out.result = h.ops->allocate(h.entry, hCam, &out.number, size, &out.event, &out.address);
  BufferRecord* record = h.existing;
  BufferSignal* signal = nullptr;  // a new hold of the event, for a new buffer or a new event
  bool room = true;
  bool newEvent = false;
  if (out.result == kOk) {
    newEvent = h.existingSignal == nullptr || Low32(h.existing->hEvent) != out.event;
    if (newEvent) {
      // The SDK made the event in this call: reset it after, as the SDK may have set it.
      ResetEvent(EventFromValue(out.event));
      // A buffer allocated again stays registered even without a hold of its new event.
      room = MakeSignal(out.event, &signal) || h.existing != nullptr;
    }
    if (room && record == nullptr) {
      record = new (std::nothrow) BufferRecord;
      if (record != nullptr) {
        record->hCam = hCam;
        record->bufNr = out.number;
      }
    }
  }
  BufferSignal* replaced = nullptr;
  bool registered = false;
  {
    RegistryLock lock;
    if (out.result == kOk && room && record != nullptr) {
      record->hEvent = EventFromValue(out.event);
      record->picPtr = out.address;
      record->size = size;
      record->family = h.family;
      // Taken while this call is the camera's only hand-over: the serials keep the SDK's order.
      record->serial = NextSerial();
      if (newEvent) {
        replaced = record->signal;
        if (replaced != nullptr) replaced->live.store(false);
        record->signal = signal;
        signal = nullptr;
      }
      if (record->signal != nullptr) {
        record->signal->queued.store(record->serial);
        record->signal->claimed.store(false);  // handed to the camera again
      }
      if (h.existing != nullptr) {
        BufferRegistry::Rekey(h.existing, hCam, out.number);  // the SDK may have given another number
        registered = true;
      } else {
        registered = BufferRegistry::Add(record);
      }
      if (registered) NotifyHandOver(hCam);
    }
    if (h.existing != nullptr) lock.EndExclusive(h.existing);
    lock.EndHandOver(h.registration);
  }
  ReleaseSignal(replaced);
  ReleaseSignal(h.existingSignal);
  if (out.result != kOk) {
    out.showBox = true;  // the SDK's failure: shown, not logged
  } else if (!registered) {
    // No memory for the record: the buffer goes back rather than staying behind unregistered.
    h.ops->release(h.entry, hCam, out.number);
    if (record != nullptr && record != h.existing) {
      ReleaseSignal(record->signal);
      delete record;
    }
    ReleaseSignal(signal);
    out.result = ERROR_NOT_ENOUGH_MEMORY;
    out.line = "VAllocateBuffer error\r\n";
  } else {
    out.line = "VAllocateBuffer done hCam %x hevent %x\r\npic ptr %x buf nr %d\r\n";
  }
  return out;
}

}  // namespace

/***********************************************************************
 *      VAllocateBuffer (vorlabview.2)
 *
 * Gets a buffer from the camera's SDK, or allocates an existing one again, and registers it.
 * A copy or recording of that buffer under way on another thread finishes first.
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
  AllocationOutcome out;
  if (bufNr == nullptr || event == nullptr) {
    out.result = kWrongParameter;
    out.line = "VAllocateBuffer error\r\n";
    out.number = 0;
  } else {
    out = AllocateAndRegister(hCam, *bufNr, size, *event);
    // Unregistered cameras and numbers leave the caller's variables as they were.
    if (out.line == nullptr || out.result == kOk) {
      *bufNr = out.number;
      *event = out.event;
    }
  }

  if (out.showBox) {
    ShowErrorBox(out.result, "allocatebuffer error :%lx, \nsize: %d \nbufNr: %d\r\n", out.result, static_cast<int>(size),
                 static_cast<int>(out.number));
  }
  if (out.line != nullptr && LogEnabled()) {
    LogFormat(out.result, out.line, Low32(hCam), static_cast<unsigned>(out.event), Low32(out.address),
              static_cast<int>(out.number));
  }
  return out.result;
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
  const char* line = "VFreeBuffer done HANDLE %x bufnr %d\r\n";
  RecordUse camera;
  BufferRecord* record = nullptr;
  FamilyEntryPoints entry;
  {
    RegistryLock lock;
    BufferRecord* registration = nullptr;
    if (!AnyLibraryBound()) {
      result = kOptionNotAvailable;
      line = "VFreeBuffer error function not available\r\n";
    } else if ((registration = BufferRegistry::LiveRegistration(hCam)) == nullptr) {
      result = kOptionNotAvailable;
      line = "VFreeBuffer error\r\n";
    } else if ((record = BufferRegistry::FindLive(hCam, bufNr)) != nullptr && HoldsSdkBuffer(*record)) {
      RetireRecord(record);
      camera.Take(registration);  // a cleanup of the camera waits for this release
      lock.WaitUntilUnused(record);
      entry = EntryPoints();
    } else {
      record = nullptr;  // no number, -1 or an empty record: nothing to give back
    }
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

  if (LogEnabled()) LogFormat(result, line, Low32(hCam), bufNr);
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
  const char* line = "VCleanup done\r\n";
  RetiredRecords retired;
  int32_t family = kNoFamily;
  FamilyEntryPoints entry;
  {
    RegistryLock lock;
    const BufferRecord* registration = nullptr;
    if (!AnyLibraryBound()) {
      result = kOptionNotAvailable;
      line = "Vcleanup error function not available\r\n";
    } else if ((registration = BufferRegistry::LiveRegistration(hCam)) == nullptr) {
      result = kOptionNotAvailable;
      line = "Vcleanup error\r\n";
    } else {
      CancelWaiters(hCam);  // the camera's waits in progress end first, with the cancelled code
      if (retired.Take(lock, hCam)) {
        family = registration->family;  // the registration is ours now: nobody else deletes it
        entry = EntryPoints();
      } else {
        result = ERROR_NOT_ENOUGH_MEMORY;
        line = "Vcleanup error\r\n";
      }
    }
  }
  if (family != kNoFamily) result = ReleaseAll(entry, hCam, family, &retired);

  if (LogEnabled()) LogFormat(result, line);
  return result;
}
