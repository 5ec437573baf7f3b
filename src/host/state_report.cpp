// VGetState: a readable report of what the module has loaded, registered and opened, for a user
// who asks "what is loaded?" after an error or an Abort.
#include <windows.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "camera/camera_stats.h"
#include "camera/sdk_families.h"
#include "diagnostics/error_codes.h"
#include "diagnostics/log_channel.h"
#include "host/labview_runtime.h"
#include "host/module_lifecycle.h"
#include "host/win32_helpers.h"
#include "recording/push_file.h"
#include "vorlabview.h"

namespace {

// Text that grows on the heap; a failed growth marks it, and the report then fails as a whole.
class ReportText {
 public:
  ReportText() noexcept = default;
  ~ReportText() { delete[] text_; }
  ReportText(const ReportText&) = delete;
  ReportText& operator=(const ReportText&) = delete;

  void Line(const char* format, ...) noexcept {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) return;
    Append(line, length < kLineSize ? static_cast<size_t>(length) : kLineSize - 1);
    Append("\r\n", 2);
  }

  bool failed() const noexcept { return failed_; }
  const char* text() const noexcept { return text_; }
  size_t length() const noexcept { return length_; }

 private:
  static constexpr int kLineSize = 2 * MAX_PATH + 100;

  void Append(const char* bytes, size_t count) noexcept {
    if (failed_) return;
    if (length_ + count > capacity_) {
      const size_t capacity = (length_ + count) * 2 + 256;
      char* grown = new (std::nothrow) char[capacity];
      if (grown == nullptr) {
        failed_ = true;
        return;
      }
      if (length_ != 0) memcpy(grown, text_, length_);
      delete[] text_;
      text_ = grown;
      capacity_ = capacity;
    }
    memcpy(text_ + length_, bytes, count);
    length_ += count;
  }

  char* text_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// The file version of `path` as "a.b.c.d", or "" when the file has no version resource.
void FileVersion(const char* path, char (&version)[32]) noexcept {
  version[0] = '\0';
  const FileVersionBlock block(path);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (block.Query("\\", reinterpret_cast<void**>(&info), &infoSize) && infoSize >= sizeof *info) {
    snprintf(version, sizeof version, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(info->dwFileVersionMS)),
             static_cast<unsigned>(LOWORD(info->dwFileVersionMS)), static_cast<unsigned>(HIWORD(info->dwFileVersionLS)),
             static_cast<unsigned>(LOWORD(info->dwFileVersionLS)));
  }
}

// The full path of a library the camera subsystem reported bound.  The library is held for the
// call, since a cleanup of its family's last camera may unload it meanwhile; "" when it is gone.
void LibraryPath(HMODULE library, char (&path)[MAX_PATH]) noexcept {
  path[0] = '\0';
  HMODULE held = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<const char*>(library), &held)) {
    return;
  }
  if (held == library && GetModuleFileNameA(held, path, MAX_PATH) == 0) path[0] = '\0';
  if (held != library) path[0] = '\0';  // the address now belongs to another module
  FreeLibrary(held);
}

const char* FamilyName(int32_t family) noexcept {
  switch (family) {
    case kLanticam: return "Lanticam";
    case kTornio: return "Tornio";
    case kQd4: return "QD4";
    default: return "unknown";
  }
}

const char* YesNo(bool value) noexcept { return value ? "yes" : "no"; }

void ReportModule(ReportText& report) noexcept {
  char path[MAX_PATH] = "";
  if (GetModuleFileNameA(ModuleInstance(), path, MAX_PATH) == 0) path[0] = '\0';
  char version[32];
  FileVersion(path, version);
  report.Line("module: %s %s", version[0] != '\0' ? version : "(no version)", path);

  if (LogEnabled()) {
    const LogOptions options = LogSessionOptions();
    report.Line("log: on, %s, lines 0x%X, file %s",
                options.useThread ? "written by its own thread"
                                  : (options.flush == 0 ? "reopened after every entry" : "kept open"),
                static_cast<unsigned>(options.mask), LogPath());
  } else {
    report.Line("log: off");
  }
  report.Line("message boxes: %s", MessageBoxesShown() ? "shown" : "written to the log instead");
}

void ReportLibraries(ReportText& report) noexcept {
  HMODULE libraries[3];
  BoundLibraries(libraries);
  const int32_t families[3] = {kLanticam, kTornio, kQd4};
  for (int i = 0; i < 3; ++i) {
    if (libraries[i] == nullptr) {
      report.Line("%s library: not bound", FamilyName(families[i]));
      continue;
    }
    char path[MAX_PATH];
    LibraryPath(libraries[i], path);
    char version[32] = "";
    if (path[0] != '\0') FileVersion(path, version);
    report.Line("%s library: %s%s%s%s", FamilyName(families[i]), path[0] != '\0' ? path : "(unloaded meanwhile)",
                version[0] != '\0' ? " (version " : "", version, version[0] != '\0' ? ")" : "");
  }
}

void ReportCamerasOf(ReportText& report) noexcept {
  // The cameras may change between the count and the copy: a second try takes the larger list.
  CameraReport* cameras = nullptr;
  size_t capacity = 0;
  size_t count = ReportCameras(nullptr, 0);
  for (int attempt = 0; attempt < 2 && count > capacity; ++attempt) {
    delete[] cameras;
    capacity = count + 8;
    cameras = new (std::nothrow) CameraReport[capacity];
    if (cameras == nullptr) {
      report.Line("cameras: %zu (no memory to list them)", count);
      return;
    }
    count = ReportCameras(cameras, capacity);
  }
  report.Line("cameras: %zu", count);
  const size_t shown = count < capacity ? count : capacity;
  for (size_t i = 0; i < shown; ++i) {
    const CameraReport& c = cameras[i];
    report.Line("camera 0x%" PRIXPTR ": %s, %" PRIu64 " buffers of %" PRIu64 " bytes, %d waits in progress, "
                "stop kept: %s, tied to a node: %s, frames %" PRIu64 ", time-outs %" PRIu64 ", starved %" PRIu64,
                reinterpret_cast<uintptr_t>(c.hCam), FamilyName(c.family), c.buffers, c.bytes, static_cast<int>(c.waits),
                YesNo(c.cancelPending), YesNo(c.tiedToNode), c.frames, c.timeouts, c.starved);
  }
  delete[] cameras;
}

void ReportRecordingOf(ReportText& report) noexcept {
  RecordingReport recording;
  ReportRecording(&recording);
  if (!recording.open) {
    report.Line("recording: none");
    return;
  }
  report.Line("recording: camera 0x%" PRIXPTR ", file %s, %" PRIu64 " pages", reinterpret_cast<uintptr_t>(recording.owner),
              recording.fileName, recording.pages);
}

}  // namespace

/***********************************************************************
 *      VGetState (vorlabview.22)
 *
 * Writes a readable report of the module's state into a LabVIEW string, resized to fit: the
 * module's version and path, the log, whether boxes are shown, each family's bound library,
 * each registered camera and the recording.  One line per item, lines end in CR LF.
 *
 * PARAMS
 *  text [O] LabVIEW string handle
 *
 * RETURNS
 *  0; 0xA00A3001 for a null handle or one LabVIEW's memory manager does not know; 0xA00A3003
 *  when no LabVIEW memory manager is in the process or it cannot resize the string (nothing
 *  is written then); 8 when there is no memory for the report.
 */
extern "C" ErrorCode WINAPI VGetState(VLVStringHandle text) {
  if (text == nullptr || RuntimeRefusesHandle(text)) return kWrongParameter;
  if (!RuntimeCanResize()) return kNoBuffer;
  ReportText report;
  ReportModule(report);
  ReportLibraries(report);
  ReportCamerasOf(report);
  ReportRecordingOf(report);
  if (report.failed() || report.length() > 0x7FFFFFF0) return ERROR_NOT_ENOUGH_MEMORY;
  const int32_t length = static_cast<int32_t>(report.length());
  if (RuntimeSetHandleSize(text, static_cast<size_t>(length) + 5) != 0 || *text == nullptr) return kNoBuffer;
  (*text)->cnt = length;
  memcpy((*text)->str, report.text(), static_cast<size_t>(length));
  return kOk;
}
