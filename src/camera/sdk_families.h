// The camera SDK contract: entry-point types, FamilyEntryPoints and each family's names.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "diagnostics/error_codes.h"

enum CameraFamily : int32_t {
  kLanticam = 1,
  kTornio   = 2,
  kQd4      = 3,
};

// Lanticam (1) and Tornio (2).
typedef ErrorCode (WINAPI* AllocateBufferExFn)(void* hCam, int32_t* bufNr, uint32_t size,
                                               uint32_t* event, void** address);
typedef ErrorCode (WINAPI* AllocateBufferFn)(void* hCam, int32_t* bufNr, uint32_t* size);
typedef ErrorCode (WINAPI* MapBufferFn)(void* hCam, int32_t bufNr, uint32_t size, uint32_t zero,
                                        void** address);
typedef ErrorCode (WINAPI* SetBufferEventFn)(void* hCam, int32_t bufNr, uint32_t* event);
typedef ErrorCode (WINAPI* UnmapBufferFn)(void* hCam, int32_t bufNr);
typedef ErrorCode (WINAPI* FreeBufferFn)(void* hCam, int32_t bufNr);
typedef ErrorCode (WINAPI* GetBufferStatusFn)(void* hCam, int32_t bufNr, uint32_t mode,
                                              uint32_t* statusArea, int32_t length);
typedef ErrorCode (WINAPI* RemoveAllBuffersFromListFn)(void* hCam);

// QD4 (3).
typedef ErrorCode (WINAPI* VorAllocateBufferFn)(void* hCam, int16_t* bufNr, uint32_t size,
                                                void** address, uint32_t* event);
typedef ErrorCode (WINAPI* VorFreeBufferFn)(void* hCam, int16_t bufNr);
typedef ErrorCode (WINAPI* VorGetBufferStatusFn)(void* hCam, int16_t bufNr, uint32_t* status,
                                                 uint32_t* driverStatus);
typedef ErrorCode (WINAPI* VorGetPendingBufferFn)(void* hCam, int32_t* count);
typedef ErrorCode (WINAPI* VorCancelImagesFn)(void* hCam);
typedef ErrorCode (WINAPI* VorGetImageFn)(void* hCam, uint16_t segment, uint32_t firstImage,
                                          uint32_t lastImage, int16_t bufNr);
typedef ErrorCode (WINAPI* VorGetImageExFn)(void* hCam, uint16_t segment, uint32_t firstImage,
                                            uint32_t lastImage, int16_t bufNr, uint16_t width,
                                            uint16_t height, uint16_t bitsPerPixel);
typedef ErrorCode (WINAPI* VorGetBufferFn)(void* hCam, int16_t bufNr, void** address);

// Slots hold what GetProcAddress gave, null included.  Only a family's binder writes its group.
struct LanticamEntryPoints {
  HMODULE hLib;
  AllocateBufferExFn ALLOCATE_BUFFER_EX;
  MapBufferFn MAP_BUFFER;
  UnmapBufferFn UNMAP_BUFFER;
  RemoveAllBuffersFromListFn REMOVE_ALL_BUFFERS_FROM_LIST;
  FreeBufferFn FREE_BUFFER;
  GetBufferStatusFn GETBUFFER_STATUS;
};

struct TornioEntryPoints {
  HMODULE hLib;
  AllocateBufferFn ALLOCATE_BUFFER;
  MapBufferFn MAP_BUFFER;
  SetBufferEventFn SETBUFFER_EVENT;
  UnmapBufferFn UNMAP_BUFFER;
  RemoveAllBuffersFromListFn REMOVE_ALL_BUFFERS_FROM_LIST;
  FreeBufferFn FREE_BUFFER;
  GetBufferStatusFn GETBUFFER_STATUS;
};

struct Qd4EntryPoints {
  HMODULE hLib;
  VorAllocateBufferFn VOR_AllocateBuffer;
  VorGetImageFn VOR_GetImage;
  VorGetImageExFn VOR_GetImageEx;
  VorCancelImagesFn VOR_CancelImages;
  VorFreeBufferFn VOR_FreeBuffer;
  VorGetBufferFn VOR_GetBuffer;
  VorGetPendingBufferFn VOR_GetPendingBuffer;
  VorGetBufferStatusFn VOR_GetBufferStatus;
};

struct FamilyEntryPoints {
  LanticamEntryPoints lanticam;
  TornioEntryPoints tornio;
  Qd4EntryPoints qd4;
};

// The process-wide table.  Use it only with the camera lock held.
FamilyEntryPoints& EntryPoints() noexcept;

// The family's library handle slot, or null for a value other than 1 to 3.
HMODULE* FamilyLibrary(int32_t family) noexcept;

// Names of a family's library and of its binder's log lines.
struct FamilyNames {
  const char* libraryPathSuffix;  // appended to the module's folder
  const char* libraryBaseName;    // second attempt, through the system search order
  const char* loadErrorLine;
  const char* readyLine;
};

constexpr FamilyNames kLanticamNames = {
    "\\Lan_Cam.dll", "Lan_Cam", "getLanticam error %d\r\n", "getLanticam getting functions ready %d\r\n"};
constexpr FamilyNames kTornioNames = {
    "\\Tn_Cam.dll",  "Tn_Cam",  "getTornio error %d\r\n",   "getTornio getting functions ready %d\r\n"};
constexpr FamilyNames kQd4Names = {
    "\\QD4_Cam.dll", "QD4_Cam", "getQD4 error %d\r\n",      "getQD4 getting functions ready %d\r\n"};

// Stores the export `name` of `module` (or null) in `slot`; true when it was found.
template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& slot) noexcept {
  // FARPROC and the typed pointer are both plain code addresses; go through void* so
  // neither compiler warns about the cast between unrelated function types.
  void* address = reinterpret_cast<void*>(GetProcAddress(module, name));
  slot = reinterpret_cast<Fn>(address);
  return slot != nullptr;
}
