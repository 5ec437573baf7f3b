// VInitLibrary and the three family binders.
#include "camera/binding.h"

#include <windows.h>

#include <new>

#include "camera/camera_state.h"
#include "camera/camera_stats.h"
#include "camera/message_box.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "host/node_instance.h"
#include "host/win32_helpers.h"
#include "vorlabview.h"

namespace {

// Loads the family's library beside the module, else by base name.  Returns 0 and the handle,
// or GetLastError() after logging the family's load-error line.
ErrorCode LoadFamilyLibrary(const FamilyNames& names, HMODULE* hLib) noexcept {
  DWORD error = ERROR_SUCCESS;
  *hLib = LoadBesideModule(names.libraryFile, names.libraryBaseName, &error);
  if (*hLib != nullptr) return kOk;
  if (LogEnabled()) LogFormat(kLoadErrorLineCode, names.loadErrorLine, static_cast<int>(error));
  return error;
}

// Binders resolve into a copy of the family's group and store it whole under the lock: calls of
// other cameras read the table meanwhile, and a load runs without the lock.
template <typename Group>
Group CurrentGroup(Group FamilyEntryPoints::*group) noexcept {
  RegistryLock lock;
  return EntryPoints().*group;
}

template <typename Group>
void StoreGroup(Group FamilyEntryPoints::*group, const Group& value) noexcept {
  RegistryLock lock;
  EntryPoints().*group = value;
}

}  // namespace

ErrorCode getLanticam() noexcept {
  LanticamEntryPoints g = CurrentGroup(&FamilyEntryPoints::lanticam);
  const ErrorCode loaded = LoadFamilyLibrary(kLanticamNames, &g.hLib);
  ErrorCode result = kOk;
  if (loaded != kOk) {
    result = loaded;
  } else {
    if (LogEnabled()) LogFormat(kOk, "getLanticam getting functions\r\n");
    // Stops at the first missing entry point; the library stays loaded.
    if (!Resolve(g.hLib, "ALLOCATE_BUFFER_EX", g.ALLOCATE_BUFFER_EX) ||
        !Resolve(g.hLib, "MAP_BUFFER", g.MAP_BUFFER) ||
        !Resolve(g.hLib, "UNMAP_BUFFER", g.UNMAP_BUFFER) ||
        !Resolve(g.hLib, "REMOVE_ALL_BUFFERS_FROM_LIST", g.REMOVE_ALL_BUFFERS_FROM_LIST) ||
        !Resolve(g.hLib, "FREE_BUFFER", g.FREE_BUFFER) ||
        !Resolve(g.hLib, "GETBUFFER_STATUS", g.GETBUFFER_STATUS)) {
      result = kOptionNotAvailable;
    }
  }
  StoreGroup(&FamilyEntryPoints::lanticam, g);
  if (result == kOk && LogEnabled()) LogFormat(kOk, kLanticamNames.readyLine, 0);
  return result;
}

ErrorCode getTornio() noexcept {
  TornioEntryPoints g = CurrentGroup(&FamilyEntryPoints::tornio);
  const ErrorCode loaded = LoadFamilyLibrary(kTornioNames, &g.hLib);
  ErrorCode result = kOk;
  if (loaded != kOk) {
    result = loaded;
  } else if (!Resolve(g.hLib, "ALLOCATE_BUFFER", g.ALLOCATE_BUFFER) ||
             !Resolve(g.hLib, "MAP_BUFFER", g.MAP_BUFFER) ||
             !Resolve(g.hLib, "SETBUFFER_EVENT", g.SETBUFFER_EVENT) ||
             !Resolve(g.hLib, "UNMAP_BUFFER", g.UNMAP_BUFFER) ||
             !Resolve(g.hLib, "REMOVE_ALL_BUFFERS_FROM_LIST", g.REMOVE_ALL_BUFFERS_FROM_LIST) ||
             !Resolve(g.hLib, "FREE_BUFFER", g.FREE_BUFFER) ||
             !Resolve(g.hLib, "GETBUFFER_STATUS", g.GETBUFFER_STATUS)) {
    result = kOptionNotAvailable;
  }
  StoreGroup(&FamilyEntryPoints::tornio, g);
  if (result == kOk && LogEnabled()) LogFormat(kOk, kTornioNames.readyLine, 0);
  return result;
}

ErrorCode getQD4() noexcept {
  Qd4EntryPoints g = CurrentGroup(&FamilyEntryPoints::qd4);
  const ErrorCode loaded = LoadFamilyLibrary(kQd4Names, &g.hLib);
  if (loaded != kOk) {
    StoreGroup(&FamilyEntryPoints::qd4, g);
    return loaded;
  }

  // All eight are resolved whatever is missing.
  const bool haveAllocate = Resolve(g.hLib, "VOR_AllocateBuffer", g.VOR_AllocateBuffer);
  bool haveRest = true;
  haveRest &= Resolve(g.hLib, "VOR_GetImage", g.VOR_GetImage);
  haveRest &= Resolve(g.hLib, "VOR_GetImageEx", g.VOR_GetImageEx);
  haveRest &= Resolve(g.hLib, "VOR_CancelImages", g.VOR_CancelImages);
  haveRest &= Resolve(g.hLib, "VOR_FreeBuffer", g.VOR_FreeBuffer);
  haveRest &= Resolve(g.hLib, "VOR_GetBuffer", g.VOR_GetBuffer);
  haveRest &= Resolve(g.hLib, "VOR_GetPendingBuffer", g.VOR_GetPendingBuffer);
  haveRest &= Resolve(g.hLib, "VOR_GetBufferStatus", g.VOR_GetBufferStatus);

  ErrorCode result = kOk;
  if (!haveRest) {
    result = kQd4EntryPointMissing;
  } else if (!haveAllocate) {
    result = kQd4AllocateBufferMissing;
  }
  HMODULE loadedLibrary = g.hLib;
  if (result != kOk) g.hLib = nullptr;
  StoreGroup(&FamilyEntryPoints::qd4, g);
  // Only this call's own reference goes; a QD4 camera already bound keeps the library loaded.
  if (result != kOk) FreeLibrary(loadedLibrary);

  if (LogEnabled()) LogFormat(kOk, kQd4Names.readyLine, static_cast<int>(result));
  return result;
}

ErrorCode InitCamera(void* hCam, int32_t family, const char* exportName, bool tied, uint64_t* serial) noexcept {
  ErrorCode result = kOk;
  switch (family) {
    case kLanticam: result = getLanticam(); break;
    case kTornio:   result = getTornio(); break;
    case kQd4:      result = getQD4(); break;
    default:        break;
  }

  if (result == kOk) {
    BufferRecord* registration = new (std::nothrow) BufferRecord;
    if (registration != nullptr) registration->stats = new (std::nothrow) CameraStats;
    bool added = false;
    if (registration != nullptr && registration->stats != nullptr) {
      registration->stats->registeredTick = StatsTick();
      registration->hCam = hCam;
      registration->family = family;
      registration->tiedToNode = tied;
      RegistryLock lock;
      registration->serial = NextSerial();
      *serial = registration->serial;
      added = BufferRegistry::Add(registration);
    }
    if (!added) {
      // The reference this call took on the library goes with the failed registration.
      delete registration;
      HMODULE library = nullptr;
      {
        RegistryLock lock;
        library = FamilyLibrary(EntryPoints(), family);
      }
      if (library != nullptr) FreeLibrary(library);
      result = ERROR_NOT_ENOUGH_MEMORY;
    }
  }

  if (result != kOk) ShowErrorBox(result, "can not load interface dll, error: %lx\n", result);
  if (LogEnabled()) {
    LogFormat(result, "%s done hCam %x type %d\r\n", exportName,
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(hCam)), family);
  }
  return result;
}

bool EndWaitsOfRegistration(void* hCam, uint64_t serial) noexcept {
  RegistryLock lock;
  bool live = false;
  BufferRegistry::ForEach([&](const BufferRecord* r) {
    live = r->hCam == hCam && r->bufNr == kRegistrationBufNr && r->serial == serial && !r->retiring.load();
    return !live;
  });
  if (live) CancelWaiters(hCam);
  return live;
}

/***********************************************************************
 *      VInitLibrary (vorlabview.1)
 *
 * Binds the camera's family library and registers the camera.
 *
 * PARAMS
 *  hCam   [I] the caller's camera handle, kept by value
 *  family [I] 1 Lanticam, 2 Tornio, 3 QD4; any other value binds nothing
 *
 * RETURNS
 *  0, a Windows error number when the library cannot be loaded, 0x800A3004 when a
 *  Lanticam or Tornio entry point is missing, -998 or -999 when a QD4 one is, 8 when there
 *  is no memory for the registration.
 */
extern "C" ErrorCode WINAPI VInitLibrary(void* hCam, int32_t family) {
  uint64_t serial = 0;
  return InitCamera(hCam, family, "VInitLibrary", false, &serial);
}

/***********************************************************************
 *      VInitLibraryEx (vorlabview.20)
 *
 * As VInitLibrary, and ties the camera to the calling node: when LabVIEW unreserves the node
 * (the VI stopped, normally or by Abort), the camera's waits end, a recording it owns is
 * closed and it is cleaned up as by Vcleanup, unless that was done already.
 *
 * PARAMS
 *  hCam     [I] the caller's camera handle, kept by value
 *  family   [I] 1 Lanticam, 2 Tornio, 3 QD4; any other value binds nothing
 *  instance [I] the node's Instance Data Pointer; null, or a cell VReserve did not fill,
 *               registers as VInitLibrary does
 *
 * RETURNS
 *  As VInitLibrary.
 */
extern "C" ErrorCode WINAPI VInitLibraryEx(void* hCam, int32_t family, void** instance) {
  const bool tied = NodeAbortEvent(instance) != nullptr;
  uint64_t serial = 0;
  const ErrorCode result = InitCamera(hCam, family, "VInitLibraryEx", tied, &serial);
  if (result == kOk && tied && !TieCameraToNode(instance, hCam, serial)) {
    // No memory for the tie: the camera stays registered, as by VInitLibrary.
    RegistryLock lock;
    BufferRegistry::ForEach([&](BufferRecord* r) {
      if (r->serial == serial && r->hCam == hCam) r->tiedToNode = false;
      return r->serial != serial;
    });
  }
  return result;
}
