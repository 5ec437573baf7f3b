// VInitLibrary and the three family binders.
#include "camera/binding.h"

#include <windows.h>
#include <mbstring.h>
#include <string.h>

#include <new>

#include "camera/camera_lock.h"
#include "camera/message_box.h"
#include "camera/registry.h"
#include "camera/sdk_families.h"
#include "diagnostics/log_channel.h"
#include "host/module_lifecycle.h"
#include "vorlabview.h"

namespace {

// Loads the family's library from the module's own folder, else by base name through the
// system search order.  The handle (or null) goes to *hLib.  Returns 0 or GetLastError().
ErrorCode LoadFamilyLibrary(const FamilyNames& names, HMODULE* hLib) noexcept {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(ModuleInstance(), path, MAX_PATH);
  // A name that fills the buffer may be cut short; its folder cannot be trusted.
  bool tryFolder = length > 0 && length < MAX_PATH;
  if (tryFolder) {
    // Searched as a multibyte string, so a trail byte of a double-byte character never counts.
    unsigned char* lastSlash = _mbsrchr(reinterpret_cast<unsigned char*>(path), '\\');
    if (lastSlash != nullptr) *lastSlash = '\0'; else path[0] = '\0';
    tryFolder = strlen(path) + strlen(names.libraryPathSuffix) < MAX_PATH;
    if (tryFolder) strcat(path, names.libraryPathSuffix);
  }

  *hLib = tryFolder ? LoadLibraryA(path) : nullptr;
  if (*hLib == nullptr) *hLib = LoadLibraryA(names.libraryBaseName);
  if (*hLib != nullptr) return kOk;

  const ErrorCode error = GetLastError();
  if (LogEnabled()) LogFormat(kLoadErrorLineCode, names.loadErrorLine, static_cast<int>(error));
  return error;
}

}  // namespace

ErrorCode getLanticam() noexcept {
  LanticamEntryPoints& g = EntryPoints().lanticam;
  const ErrorCode loaded = LoadFamilyLibrary(kLanticamNames, &g.hLib);
  if (loaded != kOk) return loaded;
  if (LogEnabled()) LogFormat(kOk, "getLanticam getting functions\r\n");

  // Stops at the first missing entry point; the library stays loaded.
  if (!Resolve(g.hLib, "ALLOCATE_BUFFER_EX", g.ALLOCATE_BUFFER_EX)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "MAP_BUFFER", g.MAP_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "UNMAP_BUFFER", g.UNMAP_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "REMOVE_ALL_BUFFERS_FROM_LIST", g.REMOVE_ALL_BUFFERS_FROM_LIST)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "FREE_BUFFER", g.FREE_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "GETBUFFER_STATUS", g.GETBUFFER_STATUS)) return kOptionNotAvailable;

  if (LogEnabled()) LogFormat(kOk, kLanticamNames.readyLine, 0);
  return kOk;
}

ErrorCode getTornio() noexcept {
  TornioEntryPoints& g = EntryPoints().tornio;
  const ErrorCode loaded = LoadFamilyLibrary(kTornioNames, &g.hLib);
  if (loaded != kOk) return loaded;

  if (!Resolve(g.hLib, "ALLOCATE_BUFFER", g.ALLOCATE_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "MAP_BUFFER", g.MAP_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "SETBUFFER_EVENT", g.SETBUFFER_EVENT)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "UNMAP_BUFFER", g.UNMAP_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "REMOVE_ALL_BUFFERS_FROM_LIST", g.REMOVE_ALL_BUFFERS_FROM_LIST)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "FREE_BUFFER", g.FREE_BUFFER)) return kOptionNotAvailable;
  if (!Resolve(g.hLib, "GETBUFFER_STATUS", g.GETBUFFER_STATUS)) return kOptionNotAvailable;

  if (LogEnabled()) LogFormat(kOk, kTornioNames.readyLine, 0);
  return kOk;
}

ErrorCode getQD4() noexcept {
  Qd4EntryPoints& g = EntryPoints().qd4;
  const ErrorCode loaded = LoadFamilyLibrary(kQd4Names, &g.hLib);
  if (loaded != kOk) return loaded;

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
  if (result != kOk) {
    FreeLibrary(g.hLib);
    g.hLib = nullptr;
  }

  if (LogEnabled()) LogFormat(kOk, kQd4Names.readyLine, static_cast<int>(result));
  return result;
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
 *  Lanticam or Tornio entry point is missing, -998 or -999 when a QD4 one is.
 */
extern "C" ErrorCode WINAPI VInitLibrary(void* hCam, int32_t family) {
  CameraLock lock;
  ErrorCode result = kOk;
  switch (family) {
    case kLanticam: result = getLanticam(); break;
    case kTornio:   result = getTornio(); break;
    case kQd4:      result = getQD4(); break;
    default:        break;
  }

  if (result == kOk) {
    BufferRecord* registration = new (std::nothrow) BufferRecord;
    if (registration != nullptr) {
      registration->hCam = hCam;
      registration->family = family;
    }
    if (registration == nullptr || !BufferRegistry::Add(registration)) {
      delete registration;
      result = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  lock.Unlock();

  if (result != kOk) ShowErrorBox("can not load interface dll, error: %lx\n", result);
  if (LogEnabled()) {
    LogFormat(result, "VInitLibrary done hCam %x type %d\r\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(hCam)), family);
  }
  return result;
}
