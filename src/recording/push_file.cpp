// Push-file recording: VInitPushFile, VPushImageToFile and VClosePushFile, through the file
// plug-in library "VOR_File.dll".
#include "recording/push_file.h"

#include <windows.h>
#include <mbstring.h>
#include <string.h>

#include "camera/camera_lock.h"
#include "camera/registry.h"
#include "diagnostics/error_codes.h"
#include "host/module_lifecycle.h"
#include "vorlabview.h"

// The plug-in's file object: reached only through its four operations, in this slot order.
// It lives in the plug-in, so it must not have internal linkage here: a compiler that sees
// no implementation of an internal abstract class may treat every call to it as unreachable.
class FileObject {
 public:
  virtual int32_t Open(const char* fileName, PushImageInfo* info, int32_t two, const char* type, int32_t flags,
                       int64_t zero1, int32_t openValue, int64_t zero2) = 0;
  virtual int32_t Reserved() = 0;  // never called
  virtual int32_t Push(PushImageInfo* info, const void* picture, int32_t four, void* scratch, int32_t one,
                       int16_t zero) = 0;
  virtual int32_t Close() = 0;

 protected:
  ~FileObject() = default;  // the plug-in destroys its objects
};

namespace {

typedef int32_t (WINAPI* PlugInitFn)(const char* client);
typedef int32_t (WINAPI* PlugUnInitFn)();
typedef FileObject* (WINAPI* CreateObjectFn)(void* reserved, const char* client, const char* client2);
typedef int32_t (WINAPI* DeleteObjectFn)(FileObject* object);

constexpr char kClient[] = "vor labview";
constexpr int32_t kMinOpenValue = 10;

// The one recording of the process.  Guarded by its own lock; the camera lock is taken
// inside it, never the other way round.
struct PushFileState {
  void* owner;  // camera whose recording is open; null while none is
  HMODULE library;
  PlugInitFn PlugInit;
  PlugUnInitFn PlugUnInit;
  CreateObjectFn CreateObject;
  DeleteObjectFn DeleteObject;
  FileObject* object;
  PushImageInfo imageInfo;
  uint8_t scratch[64];  // handed to push; the module neither fills nor reads it
};

PushFileState s_push = {};
SRWLOCK s_pushLock = SRWLOCK_INIT;  // Guards s_push.

class PushLock {
 public:
  PushLock() noexcept { AcquireSRWLockExclusive(&s_pushLock); }
  ~PushLock() { ReleaseSRWLockExclusive(&s_pushLock); }
  PushLock(const PushLock&) = delete;
  PushLock& operator=(const PushLock&) = delete;
};

template <typename Fn>
bool ResolveExport(HMODULE module, const char* name, Fn& slot) noexcept {
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return slot != nullptr;
}

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

// The module's folder, up to and including its last backslash; empty when there is none.
void ModuleFolder(char (&folder)[MAX_PATH]) noexcept {
  const DWORD length = GetModuleFileNameA(ModuleInstance(), folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    folder[0] = '\0';
    return;
  }
  unsigned char* lastSlash = _mbsrchr(reinterpret_cast<unsigned char*>(folder), '\\');
  if (lastSlash != nullptr) lastSlash[1] = '\0'; else folder[0] = '\0';
}

// Loads the plug-in from the module's folder, else through the system search order, and
// resolves its four functions.  The library is never released.
bool LoadPlugin(const char* folder) noexcept {
  char path[MAX_PATH];
  HMODULE library = nullptr;
  if (strlen(folder) + strlen("VOR_File.dll") < MAX_PATH) {
    strcpy(path, folder);
    strcat(path, "VOR_File.dll");
    library = LoadLibraryA(path);
  }
  if (library == nullptr) library = LoadLibraryA("VOR_File");
  if (library == nullptr) return false;
  s_push.library = library;
  if (!ResolveExport(library, "VOR_File_PlugInit", s_push.PlugInit) ||
      !ResolveExport(library, "VOR_File_PlugUnInit", s_push.PlugUnInit)) {
    return false;
  }
  // Without a way to make and destroy a file object there is nothing to record with.
  return ResolveExport(library, "VOR_File_CreateObject", s_push.CreateObject) &&
         ResolveExport(library, "VOR_File_DeleteObject", s_push.DeleteObject);
}

}  // namespace

/***********************************************************************
 *      VInitPushFile (vorlabview.11)
 *
 * Opens a recording of the camera's images into one file, through the file plug-in.
 *
 * PARAMS
 *  hCam         [I] camera handle given to VInitLibrary
 *  fileName     [I] the file; ".tif" is added unless it ends in "tif", and the module's
 *                   folder is put in front when it has no backslash; null counts as empty
 *  width        [I] image width in pixels
 *  height       [I] image height in pixels
 *  bitsPerPixel [I] bits per pixel
 *  mode         [I] 0 to 3; other values count as 0
 *  openValue    [I] passed to the plug-in's open, at least 10
 *
 * RETURNS
 *  0; 0x800A3004 when the camera is not registered, a recording is open, the plug-in is
 *  missing or incomplete, the file name does not fit 260 bytes, or the file cannot be opened.
 */
extern "C" ErrorCode WINAPI VInitPushFile(void* hCam, const char* fileName, uint16_t width, uint16_t height,
                                          uint16_t bitsPerPixel, int32_t mode, int32_t openValue) {
  PushLock lock;
  {
    CameraLock camera;
    if (BufferRegistry::FamilyOf(hCam) == kNoFamily) return kOptionNotAvailable;
  }
  if (s_push.owner != nullptr) return kOptionNotAvailable;

  char folder[MAX_PATH];
  ModuleFolder(folder);
  char fullName[MAX_PATH];
  if (!BuildPushFileName(fileName, folder, &IsLeadByte, fullName, MAX_PATH)) return kOptionNotAvailable;
  if (!LoadPlugin(folder)) return kOptionNotAvailable;

  s_push.PlugInit(kClient);
  s_push.object = s_push.CreateObject(nullptr, kClient, kClient);
  if (s_push.object == nullptr) return kOptionNotAvailable;

  FillPushImageInfo(&s_push.imageInfo, width, height, bitsPerPixel, mode);
  const int32_t opened = s_push.object->Open(fullName, &s_push.imageInfo, 2, "tif", 0x4040, 0,
                                             openValue < kMinOpenValue ? kMinOpenValue : openValue, 0);
  if (opened != 0) {
    s_push.DeleteObject(s_push.object);
    s_push.object = nullptr;
    return kOptionNotAvailable;
  }
  s_push.owner = hCam;
  return kOk;
}

/***********************************************************************
 *      VPushImageToFile (vorlabview.12)
 *
 * Hands one of the owner's buffers to the open recording.
 *
 * PARAMS
 *  hCam  [I] the camera that opened the recording
 *  bufNr [I] the buffer
 *
 * RETURNS
 *  The plug-in's push result (0 = written); 0x800A3004 when no recording of this camera is
 *  open; 0xA00A3003 for an unregistered buffer or one without memory; 0xA00A3006 for a buffer
 *  smaller than one image of the recording.
 */
extern "C" ErrorCode WINAPI VPushImageToFile(void* hCam, int16_t bufNr) {
  PushLock lock;
  if (s_push.owner == nullptr || s_push.owner != hCam) return kOptionNotAvailable;

  // The camera lock stays held while the plug-in reads the buffer, so it cannot be freed.
  CameraLock camera;
  const BufferRecord* record = BufferRegistry::FindBuffer(hCam, bufNr);
  if (record == nullptr || record->picPtr == nullptr) return kNoBuffer;
  const uint64_t imageBytes = uint64_t{s_push.imageInfo.width} * s_push.imageInfo.height *
                              (s_push.imageInfo.bitsPerPixel > 8 ? 2 : 1);
  if (record->size < imageBytes) return kBufferTooSmall;

  s_push.imageInfo.picture = record->picPtr;
  return static_cast<ErrorCode>(s_push.object->Push(&s_push.imageInfo, record->picPtr, 4, s_push.scratch, 1, 0));
}

/***********************************************************************
 *      VClosePushFile (vorlabview.13)
 *
 * Ends the open recording: the file is finished and the file object destroyed.
 *
 * PARAMS
 *  hCam [I] the camera that opened the recording
 *
 * RETURNS
 *  0; 0x800A3004 when no recording of this camera is open.
 */
extern "C" ErrorCode WINAPI VClosePushFile(void* hCam) {
  PushLock lock;
  if (s_push.owner == nullptr || s_push.owner != hCam) return kOptionNotAvailable;
  s_push.object->Close();
  s_push.DeleteObject(s_push.object);
  s_push.object = nullptr;
  s_push.PlugUnInit();
  s_push.owner = nullptr;
  return kOk;
}
