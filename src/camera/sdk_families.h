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

// The family's library handle in `entry`, or null for a value other than 1 to 3.
HMODULE FamilyLibrary(const FamilyEntryPoints& entry, int32_t family) noexcept;
// Clears the family's library handle once the family's last cleanup has released it, so that
// nothing reports a library that is gone.  The entry points stay: no camera is left to use them.
void ForgetFamilyLibrary(FamilyEntryPoints& entry, int32_t family) noexcept;

// What the buffer exports do through a family's entry points, one row per family.  Each takes
// a copy of the table made under the registry lock and runs without the lock.  A null slot
// (left by a partly failed second binding) is never called: the row returns 0x800A3004.
struct FamilyOps {
  // Gets a new buffer (*bufNr -1) or allocates an existing one again; *address comes in as the
  // record's address (null for a new buffer) and leaves as the buffer's address.
  ErrorCode (*allocate)(const FamilyEntryPoints& entry, void* hCam, int16_t* bufNr, uint32_t size,
                        uint32_t* event, void** address) noexcept;
  // Gives one buffer back; the result is the SDK's.
  ErrorCode (*release)(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr) noexcept;
  // Confirms that a signalled buffer holds a finished image: 0, or the failure's code with the
  // number its log line carries ("... BufNr %d error <number>").
  ErrorCode (*confirm)(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr, int* lineNumber) noexcept;
};

// The row of `family`, or null for a value other than 1 to 3.
const FamilyOps* OpsOf(int32_t family) noexcept;

// Names of a family's library and of its binder's log lines.
struct FamilyNames {
  const char* libraryFile;      // first attempt, from the module's own folder
  const char* libraryBaseName;  // second attempt, through the system search order
  const char* loadErrorLine;
  const char* readyLine;
};

constexpr FamilyNames kLanticamNames = {
    "Lan_Cam.dll", "Lan_Cam", "getLanticam error %d\r\n", "getLanticam getting functions ready %d\r\n"};
constexpr FamilyNames kTornioNames = {
    "Tn_Cam.dll",  "Tn_Cam",  "getTornio error %d\r\n",   "getTornio getting functions ready %d\r\n"};
constexpr FamilyNames kQd4Names = {
    "QD4_Cam.dll", "QD4_Cam", "getQD4 error %d\r\n",      "getQD4 getting functions ready %d\r\n"};
