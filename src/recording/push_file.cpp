// Push-file recording: VInitPushFile, VPushImageToFile and VClosePushFile, through the file
// plug-in library "VOR_File.dll".
#include "recording/push_file.h"

#include <windows.h>
#include <string.h>

#include "camera/camera_state.h"
#include "camera/camera_stats.h"
#include "camera/registry.h"
#include "diagnostics/error_codes.h"
#include "host/win32_helpers.h"
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

// The plug-in's four functions.
struct Plugin {
  PlugInitFn PlugInit;
  PlugUnInitFn PlugUnInit;
  CreateObjectFn CreateObject;
  DeleteObjectFn DeleteObject;
};

// The one recording of the process.  The plug-in is called without `stateLock`: a recording
// that is being opened or closed is marked busy, and pushes and the close of the open
// recording go one at a time through `pushGate`.  Lock order: pushGate, stateLock, then the
// camera subsystem's registry lock.
struct PushFileState {
  SRWLOCK stateLock;   // guards the fields below, except imageInfo and scratch
  SRWLOCK pushGate;    // held across the plug-in's push and close; guards imageInfo and scratch
  bool open;           // a recording is open (any camera handle, 0 included, can own one)
  bool busy;           // an open or a close is under way: no second recording may start
  void* owner;         // the camera whose recording is open or being opened
  HMODULE library;     // the plug-in, loaded again by every open and never released
  Plugin plugin;
  FileObject* object;  // the open recording's file object; null while none is open
  PushImageInfo imageInfo;  // the image description handed to the file object
  uint8_t scratch[64];      // handed to push; the module neither fills nor reads it
  char fileName[kRecordingNameSize];  // the open recording's full file name
  uint64_t pages;           // pages the open recording's pushes wrote
};

PushFileState s_push = {SRWLOCK_INIT, SRWLOCK_INIT, false, false, nullptr, nullptr, {}, nullptr, {}, {}, {}, 0};

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

// Under stateLock: the recording is open and `hCam` owns it.
bool OwnsOpenRecording(void* hCam) noexcept { return s_push.open && s_push.owner == hCam; }

bool IsRegistered(void* hCam) noexcept {
  RegistryReadLock lock;
  return BufferRegistry::LiveRegistration(hCam) != nullptr;
}

// Loads the plug-in beside the module, else through the system search order, and resolves its
// four functions.  The library is never released.
bool LoadPlugin(HMODULE* library, Plugin* plugin) noexcept {
  DWORD error = ERROR_SUCCESS;
  *library = LoadBesideModule("VOR_File.dll", "VOR_File", &error);
  if (*library == nullptr) return false;
  if (!Resolve(*library, "VOR_File_PlugInit", plugin->PlugInit) ||
      !Resolve(*library, "VOR_File_PlugUnInit", plugin->PlugUnInit)) {
    return false;
  }
  // Without a way to make and destroy a file object there is nothing to record with.
  return Resolve(*library, "VOR_File_CreateObject", plugin->CreateObject) &&
         Resolve(*library, "VOR_File_DeleteObject", plugin->DeleteObject);
}

// The plug-in's side of an open, run without stateLock while the recording is marked busy.
// Returns the file object of an open file, or null.
FileObject* OpenThroughPlugin(const char* fullName, uint16_t width, uint16_t height, uint16_t bitsPerPixel,
                              int32_t mode, int32_t openValue, HMODULE* library, Plugin* plugin) noexcept {
  if (!LoadPlugin(library, plugin)) return nullptr;

  plugin->PlugInit(kClient);
  FileObject* object = plugin->CreateObject(nullptr, kClient, kClient);
  if (object == nullptr) return nullptr;
  FillPushImageInfo(&s_push.imageInfo, width, height, bitsPerPixel, mode);
  const int32_t opened = object->Open(fullName, &s_push.imageInfo, 2, "tif", 0x4040, 0,
                                      openValue < kMinOpenValue ? kMinOpenValue : openValue, 0);
  if (opened != 0) {
    plugin->DeleteObject(object);
    return nullptr;
  }
  return object;
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
 *  0; 0x800A3004 when the camera is not registered, a recording is open (or being opened or
 *  closed), the plug-in is missing or incomplete, the file name does not fit 260 bytes, or
 *  the file cannot be opened.
 */
extern "C" ErrorCode WINAPI VInitPushFile(void* hCam, const char* fileName, uint16_t width, uint16_t height,
                                          uint16_t bitsPerPixel, int32_t mode, int32_t openValue) {
  if (!IsRegistered(hCam)) return kOptionNotAvailable;
  // The caller's name is read before the recording is marked busy: a fault in it must not
  // leave the recording taken.
  char folder[MAX_PATH];
  ModuleFolder(folder);
  char fullName[MAX_PATH];
  if (!BuildPushFileName(fileName, folder, &IsLeadByte, fullName, MAX_PATH)) return kOptionNotAvailable;
  {
    ScopedExclusive lock(s_push.stateLock);
    if (s_push.open || s_push.busy) return kOptionNotAvailable;
    s_push.busy = true;
    s_push.owner = hCam;
  }

  HMODULE library = nullptr;
  Plugin plugin = {};
  FileObject* object =
      OpenThroughPlugin(fullName, width, height, bitsPerPixel, mode, openValue, &library, &plugin);

  ScopedExclusive lock(s_push.stateLock);
  if (library != nullptr) s_push.library = library;
  s_push.busy = false;
  if (object == nullptr) {
    s_push.owner = nullptr;
    return kOptionNotAvailable;
  }
  s_push.plugin = plugin;
  s_push.object = object;
  s_push.open = true;
  lstrcpynA(s_push.fileName, fullName, kRecordingNameSize);
  s_push.pages = 0;
  return kOk;
}

/***********************************************************************
 *      VPushImageToFile (vorlabview.12)
 *
 * Hands one of the owner's buffers to the open recording.  The buffer cannot be given back
 * to the SDK before the plug-in is done with it.
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
  {
    ScopedExclusive lock(s_push.stateLock);
    if (!OwnsOpenRecording(hCam)) return kOptionNotAvailable;
  }
  // Only the owner's own pushes and close wait here; other cameras were refused above.
  ScopedExclusive gate(s_push.pushGate);
  FileObject* object = nullptr;
  {
    ScopedExclusive lock(s_push.stateLock);
    if (!OwnsOpenRecording(hCam)) return kOptionNotAvailable;
    object = s_push.object;
  }

  RecordUse buffer;
  const void* picture = nullptr;
  uint64_t size = 0;
  CameraStats* stats = nullptr;  // kept by the buffer's use
  {
    RegistryReadLock lock;
    BufferRecord* record = lock.UsableBuffer(hCam, bufNr);
    if (record != nullptr) {
      buffer.Take(record);
      picture = record->picPtr;
      size = record->size;
      stats = StatsOf(hCam);
    }
  }
  if (picture == nullptr) return kNoBuffer;
  const uint64_t imageBytes = uint64_t{s_push.imageInfo.width} * s_push.imageInfo.height *
                              (s_push.imageInfo.bitsPerPixel > 8 ? 2 : 1);
  if (size < imageBytes) return kBufferTooSmall;

  s_push.imageInfo.picture = const_cast<void*>(picture);
  const ErrorCode pushed = static_cast<ErrorCode>(object->Push(&s_push.imageInfo, picture, 4, s_push.scratch, 1, 0));
  if (pushed == kOk) {
    CountPage(stats);
    ScopedExclusive lock(s_push.stateLock);
    ++s_push.pages;
  }
  return pushed;
}

void ReportRecording(RecordingReport* report) noexcept {
  ScopedExclusive lock(s_push.stateLock);
  report->open = s_push.open;
  report->owner = s_push.open ? s_push.owner : nullptr;
  report->pages = s_push.open ? s_push.pages : 0;
  lstrcpynA(report->fileName, s_push.open ? s_push.fileName : "", kRecordingNameSize);
}

/***********************************************************************
 *      VClosePushFile (vorlabview.13)
 *
 * Ends the open recording: the file is finished and the file object destroyed.  A push of
 * the recording under way on another thread finishes first.
 *
 * PARAMS
 *  hCam [I] the camera that opened the recording
 *
 * RETURNS
 *  0; 0x800A3004 when no recording of this camera is open.
 */
extern "C" ErrorCode WINAPI VClosePushFile(void* hCam) { return CloseRecordingOf(hCam); }

uint32_t CloseRecordingOf(void* hCam) noexcept {
  {
    ScopedExclusive lock(s_push.stateLock);
    if (!OwnsOpenRecording(hCam)) return kOptionNotAvailable;
  }
  ScopedExclusive gate(s_push.pushGate);
  FileObject* object = nullptr;
  Plugin plugin = {};
  {
    ScopedExclusive lock(s_push.stateLock);
    if (!OwnsOpenRecording(hCam)) return kOptionNotAvailable;
    object = s_push.object;
    plugin = s_push.plugin;
    s_push.open = false;
    s_push.busy = true;
  }
  object->Close();
  plugin.DeleteObject(object);
  plugin.PlugUnInit();

  ScopedExclusive lock(s_push.stateLock);
  s_push.object = nullptr;
  s_push.owner = nullptr;
  s_push.busy = false;
  return kOk;
}
