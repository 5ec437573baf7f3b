// Test host: loads vorlabview.dll from a fresh folder of its own, as LabVIEW would load it
// from a VI's folder, resolves its exports by ordinal and records its message boxes.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "sim_control.h"
#include "vorlabview.h"

// One box the module showed, as it asked for it.
struct BoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
};

// The exports, resolved by ordinal.
struct ModuleApi {
  decltype(&VInitLibrary) InitLibrary = nullptr;             // 1
  decltype(&VAllocateBuffer) AllocateBuffer = nullptr;       // 2
  decltype(&VGetImageFromCamRam) GetImageFromCamRam = nullptr;  // 3
  decltype(&VGetImageFromBuffer) GetImageFromBuffer = nullptr;  // 4
  decltype(&Vcleanup) cleanup = nullptr;                     // 5
  decltype(&VGetErrorText) GetErrorText = nullptr;           // 6
  decltype(&VGetImageFromBuffer2D) GetImageFromBuffer2D = nullptr;  // 7
  decltype(&VGetImageExFromCamRam) GetImageExFromCamRam = nullptr;  // 8
  decltype(&VWaitForBuffers) WaitForBuffers = nullptr;       // 9
  decltype(&VFreeBuffer) FreeBuffer = nullptr;               // 10
  decltype(&VInitPushFile) InitPushFile = nullptr;           // 11
  decltype(&VPushImageToFile) PushImageToFile = nullptr;     // 12
  decltype(&VClosePushFile) ClosePushFile = nullptr;         // 13
  decltype(&SetLVRTModule) SetLVRTModule = nullptr;          // 14
  decltype(&VWaitForBuffersEx) WaitForBuffersEx = nullptr;   // 15
  decltype(&VReserve) Reserve = nullptr;                     // 16
  decltype(&VUnreserve) Unreserve = nullptr;                 // 17
  decltype(&VAbort) Abort = nullptr;                         // 18
  decltype(&VCancelWait) CancelWait = nullptr;               // 19
  decltype(&VInitLibraryEx) InitLibraryEx = nullptr;         // 20
  decltype(&VGetCameraStats) GetCameraStats = nullptr;       // 21
  decltype(&VGetState) GetState = nullptr;                   // 22
};

// The control interface of one loaded stand-in SDK library.
struct SimApi {
  HMODULE module = nullptr;
  SimResetFn Reset = nullptr;
  SimFailFn Fail = nullptr;
  SimSetNullAddressFn SetNullAddress = nullptr;
  SimSetStatusFn SetStatus = nullptr;
  SimFillBufferFn FillBuffer = nullptr;
  SimSignalFn Signal = nullptr;
  SimBufferAddressFn BufferAddress = nullptr;
  SimBufferSizeFn BufferSize = nullptr;
  SimBufferEventFn BufferEvent = nullptr;
  SimBufferCountFn BufferCount = nullptr;
  SimSetPendingFn SetPending = nullptr;
  SimTraceCountFn TraceCount = nullptr;
  SimTraceLineFn TraceLine = nullptr;
  SimTraceClearFn TraceClear = nullptr;
  SimSetTracingFn SetTracing = nullptr;
  SimSetDelayFn SetDelay = nullptr;
  SimCallsEnteredFn CallsEntered = nullptr;
  SimCallsReturnedFn CallsReturned = nullptr;
  SimSetSignalOnFreeFn SetSignalOnFree = nullptr;
  SimSetAcquisitionModeFn SetAcquisitionMode = nullptr;
  SimStartAcquisitionFn StartAcquisition = nullptr;
  SimStopAcquisitionFn StopAcquisition = nullptr;
  SimFramesDeliveredFn FramesDelivered = nullptr;

  bool valid() const { return module != nullptr && Reset != nullptr && TraceLine != nullptr; }
  std::vector<std::string> Trace() const;
  // Trace lines that begin with `entry` followed by a blank.
  std::vector<std::string> Calls(const char* entry) const;
};

// File names of the stand-ins, and the variants built without one entry point.
constexpr const char* kLanCam = "Lan_Cam.dll";
constexpr const char* kTnCam = "Tn_Cam.dll";
constexpr const char* kQd4Cam = "QD4_Cam.dll";

class ModuleHost {
 public:
  explicit ModuleHost(const char* caseName);
  ~ModuleHost();
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  // Copies a stand-in from the build's sim/<variant>/ folder into the module's folder.
  bool AddStandIn(const char* fileName, const char* variant = "full");
  // Copies a stand-in into another folder (created if needed).
  static bool CopyStandIn(const char* fileName, const char* variant, const std::string& folder);

  bool Load();
  void Unload();  // frees the module and every stand-in it left loaded from its folder
  bool loaded() const { return module_ != nullptr; }

  const std::string& folder() const { return folder_; }
  std::string PathOf(const char* fileName) const { return folder_ + "\\" + fileName; }
  HMODULE module() const { return module_; }
  // Whether the stand-in is loaded from the module's folder.
  bool IsLoaded(const char* fileName) const { return GetModuleHandleA(PathOf(fileName).c_str()) != nullptr; }
  // The control interface of the stand-in the module loaded (from `path`, or its folder).
  SimApi Sim(const char* fileName) const;
  static SimApi SimAt(const std::string& path);

  ModuleApi api;

  static std::vector<BoxRecord> Boxes();
  static void ClearBoxes();

 private:
  std::string folder_;
  HMODULE module_ = nullptr;
  std::vector<std::string> standIns_;
};

// A reference of the test's own to a loaded library, so that a stand-in's counters and trace
// can still be read after the module's last cleanup of its family has released it.
class HeldLibrary {
 public:
  explicit HeldLibrary(const std::string& path) : module_(LoadLibraryA(path.c_str())) {}
  ~HeldLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  HeldLibrary(const HeldLibrary&) = delete;
  HeldLibrary& operator=(const HeldLibrary&) = delete;

 private:
  HMODULE module_;
};

// Points the import of `function` from `dll` in `module` at `replacement`; the old
// address goes to *original.  Returns false when the module does not import it.
bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement,
                 void** original);

// Checks that the module showed exactly one box since the last ClearBoxes: the "Error" box
// of the camera exports, owned by the active window, with an OK button.
void CheckOneErrorBox(const char* text);

// Folder helpers.
std::string ExeFolder();  // the test program's own folder
std::string MakeFreshFolder(const char* name);
// A folder that cannot be removed yet (a module in it still loaded) is tried again by
// RemoveLeftFolders, for up to `ms`, which the test programs call as they end.
void RemoveFolder(const std::string& folder);
void RemoveLeftFolders(DWORD ms);
std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
