// Demo host: drives vorlabview.dll the way a LabVIEW program does, against the simulated SDKs.
//
// Run it from the folder that holds vorlabview.dll; the simulated SDK libraries lie in its
// "simulated" subfolder and are found through the DLL search path.  For each camera family it
// binds the library, allocates buffers, runs the simulated acquisition, waits for frames and
// copies them into LabVIEW-style arrays, then frees and cleans up; error codes are printed
// with their texts from VGetErrorText.  Then a loop that lags gets its frames in the order the
// camera filled them, a wait runs on 256 buffers, a stop button ends a wait for ever, a VI
// that records is aborted and run again, and a loop slower than its camera is counted as
// starved.  Each camera's statistics and, at the end, the module's state report are printed.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim_control.h"
#include "vorlabview.h"

namespace {

struct Api {
  decltype(&VInitLibrary) InitLibrary;
  decltype(&VAllocateBuffer) AllocateBuffer;
  decltype(&VWaitForBuffers) WaitForBuffers;
  decltype(&VGetImageFromBuffer) GetImageFromBuffer;
  decltype(&VGetImageFromCamRam) GetImageFromCamRam;
  decltype(&VFreeBuffer) FreeBuffer;
  decltype(&Vcleanup) cleanup;
  decltype(&VGetErrorText) GetErrorText;
  decltype(&VInitPushFile) InitPushFile;
  decltype(&VPushImageToFile) PushImageToFile;
  decltype(&VClosePushFile) ClosePushFile;
  decltype(&VWaitForBuffersEx) WaitForBuffersEx;
  decltype(&VCancelWait) CancelWait;
  decltype(&VInitLibraryEx) InitLibraryEx;
  decltype(&VReserve) Reserve;
  decltype(&VUnreserve) Unreserve;
  decltype(&VAbort) Abort;
  decltype(&VGetCameraStats) GetCameraStats;
  decltype(&VGetState) GetState;
};
Api api{};

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (slot == nullptr) printf("%s lacks %s\n", "vorlabview.dll", name);
  return slot != nullptr;
}

std::string ExeFolder() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = strrchr(path, '\\');
  if (slash) *slash = '\0';
  return path;
}

// A LabVIEW string, as LabVIEW hands one to a library call.
std::string ErrorText(uint32_t code) {
  VLVStringPtr block = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4));
  VLVStringHandle handle = &block;
  std::string text = "(no text)";
  if (api.GetErrorText(code, handle) == 0) text.assign((*handle)->str, (*handle)->cnt);
  HeapFree(GetProcessHeap(), 0, block);
  return text;
}

// The camera's statistics, as a LabVIEW program would show them beside its image.
void PrintStats(void* hCam) {
  uint64_t c[VOR_STAT_COUNT] = {};
  if (api.GetCameraStats(hCam, c, VOR_STAT_COUNT) != 0) return;
  printf("    statistics: %llu buffers (%llu bytes); frames %llu, time-outs %llu, cancels %llu, other ends %llu;\n"
         "                highest pending %llu, starved %llu; copies %llu (%llu bytes), pages %llu;\n"
         "                last frame at %.1f ms, %.1f ms since VInitLibrary\n",
         (unsigned long long)c[VOR_STAT_BUFFERS], (unsigned long long)c[VOR_STAT_BUFFER_BYTES],
         (unsigned long long)c[VOR_STAT_FRAMES], (unsigned long long)c[VOR_STAT_TIMEOUTS],
         (unsigned long long)c[VOR_STAT_CANCELS], (unsigned long long)c[VOR_STAT_OTHER_ENDS],
         (unsigned long long)c[VOR_STAT_MAX_PENDING], (unsigned long long)c[VOR_STAT_STARVED],
         (unsigned long long)c[VOR_STAT_COPIES], (unsigned long long)c[VOR_STAT_BYTES_COPIED],
         (unsigned long long)c[VOR_STAT_PAGES_PUSHED], c[VOR_STAT_US_TO_LAST_FRAME] / 1000.0,
         c[VOR_STAT_US_SINCE_INIT] / 1000.0);
}

// Prints a call's result; failures with their text.
uint32_t Report(const char* what, uint32_t code) {
  if (code == 0) {
    printf("    %-34s ok\n", what);
  } else {
    printf("    %-34s 0x%08lx  %s\n", what, static_cast<unsigned long>(code), ErrorText(code).c_str());
  }
  return code;
}

// A LabVIEW 1-D array of 16-bit elements.
struct LvArray {
  explicit LvArray(int32_t elements) : block(4 + 2 * static_cast<size_t>(elements)), pointer(block.data()) {
    memcpy(block.data(), &elements, 4);
  }
  VLVArrayHandle handle() { return reinterpret_cast<void**>(&pointer); }
  const uint8_t* elements() const { return block.data() + 4; }
  std::vector<uint8_t> block;
  uint8_t* pointer;
};

uint32_t Checksum(const uint8_t* bytes, size_t count) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

struct Sim {
  SimStartAcquisitionFn Start = nullptr;
  SimStopAcquisitionFn Stop = nullptr;
  SimSetAcquisitionModeFn SetMode = nullptr;
  SimFramesDeliveredFn Delivered = nullptr;
  explicit Sim(const char* file) {
    HMODULE module = GetModuleHandleA(file);
    if (module == nullptr) return;
    Resolve(module, "SimStartAcquisition", Start);
    Resolve(module, "SimStopAcquisition", Stop);
    Resolve(module, "SimSetAcquisitionMode", SetMode);
    Resolve(module, "SimFramesDelivered", Delivered);
  }
  template <typename Fn>
  static void Resolve(HMODULE module, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
};

struct Camera {
  const char* name;
  int32_t family;
  uintptr_t handle;
  const char* library;
};

constexpr uint16_t kWidth = 640, kHeight = 480, kBits = 12;
constexpr int kBuffers = 4, kFrames = 60, kFramesPerSecond = 200;

// Records frames of the running acquisition into a multi-page TIFF beside the DLL.
int RecordFrames(void* hCam, Sim& sim) {
  constexpr int kPages = 8;
  if (Report("VInitPushFile (demo_recording)", api.InitPushFile(hCam, "demo_recording", kWidth, kHeight, kBits, 0, 10)) != 0) {
    return 1;
  }
  sim.Start(hCam, kFramesPerSecond, kWidth, kHeight, kBits);
  int pushed = 0;
  for (int i = 0; i < kPages; ++i) {
    int16_t filled = -1;
    uint32_t event = 0;
    if (api.WaitForBuffers(hCam, &filled, 2000) != 0) continue;
    if (api.PushImageToFile(hCam, filled) == 0) ++pushed;
    api.AllocateBuffer(hCam, &filled, kWidth * kHeight * 2, 0, &event);
  }
  sim.Stop(hCam);
  Report("VClosePushFile", api.ClosePushFile(hCam));
  printf("    recorded %d frames into %s\\demo_recording.tif\n", pushed, ExeFolder().c_str());
  return pushed == kPages ? 0 : 1;
}

int RunCamera(const Camera& camera) {
  void* hCam = reinterpret_cast<void*>(camera.handle);
  printf("\n%s camera %#llx (family %d)\n", camera.name, static_cast<unsigned long long>(camera.handle),
         camera.family);
  if (Report("VInitLibrary", api.InitLibrary(hCam, camera.family)) != 0) return 1;

  int16_t numbers[kBuffers];
  for (int16_t& number : numbers) {
    number = -1;
    uint32_t event = 0;
    if (Report("VAllocateBuffer (new)", api.AllocateBuffer(hCam, &number, kWidth * kHeight * 2, 0, &event)) != 0) {
      api.cleanup(hCam);
      return camera.library == nullptr ? 0 : 1;  // a camera without a library has no buffers
    }
  }

  Sim sim(camera.library);
  if (sim.Start == nullptr || sim.Start(hCam, kFramesPerSecond, kWidth, kHeight, kBits) != 0) {
    printf("    cannot start the simulated acquisition\n");
    return 1;
  }
  LvArray frame(kWidth * kHeight);
  int copied = 0, failures = 0;
  const DWORD start = GetTickCount();
  for (int i = 0; i < kFrames; ++i) {
    int16_t filled = -1;
    uint32_t result = api.WaitForBuffers(hCam, &filled, 2000);
    if (result == 0) result = api.GetImageFromBuffer(hCam, filled, kWidth, kHeight, kBits, frame.handle());
    if (result == 0) {
      // Allocating the buffer again hands it back for the next frame and resets its event.
      uint32_t event = 0;
      result = api.AllocateBuffer(hCam, &filled, kWidth * kHeight * 2, 0, &event);
    }
    if (result == 0) ++copied; else if (++failures == 1) Report("frame", result);
  }
  const DWORD elapsed = GetTickCount() - start;
  sim.Stop(hCam);
  printf("    %d frames of %ux%u at %u bits in %lu ms: %.1f frames/s, last frame checksum %08lx\n", copied, kWidth,
         kHeight, kBits, static_cast<unsigned long>(elapsed), elapsed ? copied * 1000.0 / elapsed : 0.0,
         static_cast<unsigned long>(Checksum(frame.elements(), size_t{kWidth} * kHeight * 2)));

  if (camera.family == VOR_FAMILY_TORNIO) failures += RecordFrames(hCam, sim);
  if (camera.family == VOR_FAMILY_QD4) {
    if (Report("VGetImageFromCamRam (segment 1, 5)", api.GetImageFromCamRam(hCam, 1, 5, 0, numbers[0], frame.handle())) == 0) {
      printf("    camera-memory image checksum %08lx\n",
             static_cast<unsigned long>(Checksum(frame.elements(), size_t{kWidth} * kHeight * 2)));
    }
  } else {
    Report("VGetImageFromCamRam (not QD4)", api.GetImageFromCamRam(hCam, 1, 5, 0, numbers[0], frame.handle()));
  }
  // A poll with nothing new: the time-out code and its text.
  int16_t none = -1;
  uint32_t dummy = 0;
  for (int16_t number : numbers) api.AllocateBuffer(hCam, &number, kWidth * kHeight * 2, 0, &dummy);
  Report("VWaitForBuffers (poll)", api.WaitForBuffers(hCam, &none, 0));

  PrintStats(hCam);
  Report("VFreeBuffer", api.FreeBuffer(hCam, numbers[0]));
  Report("Vcleanup", api.cleanup(hCam));
  return failures == 0 && copied == kFrames ? 0 : 1;
}

// A loop that lags: the camera fills 8 buffers while the loop is busy elsewhere; the loop then
// gets them in the order the camera filled them (each frame's first pixel is its number), and
// sees in `pending` how many are still waiting.
int LaggingLoop() {
  void* hCam = reinterpret_cast<void*>(0x5005);
  constexpr uint16_t kSmall = 64;
  constexpr uint32_t kBytes = kSmall * kSmall * 2;
  printf("\nA loop that lags, Tornio camera 0x5005, 8 buffers, VWaitForBuffersEx\n");
  if (Report("VInitLibrary", api.InitLibrary(hCam, VOR_FAMILY_TORNIO)) != 0) return 1;
  for (int i = 0; i < 8; ++i) {
    int16_t number = -1;
    uint32_t event = 0;
    api.AllocateBuffer(hCam, &number, kBytes, 0, &event);
  }
  Sim sim("Tn_Cam.dll");
  sim.SetMode(hCam, SIM_ACQ_QUEUE);
  sim.Start(hCam, kFramesPerSecond, kSmall, kSmall, kBits);
  for (int waited = 0; sim.Delivered(hCam) < 8 && waited < 5000; waited += 10) Sleep(10);
  sim.Stop(hCam);
  LvArray frame(kSmall * kSmall);
  int inOrder = 0;
  printf("    frame numbers:");
  for (int k = 0; k < 8; ++k) {
    int16_t filled = -1;
    int32_t pending = -1;
    if (api.WaitForBuffersEx(hCam, &filled, 1000, &pending, nullptr) != 0 ||
        api.GetImageFromBuffer(hCam, filled, kSmall, kSmall, kBits, frame.handle()) != 0) {
      break;
    }
    const int number = frame.elements()[0] | (frame.elements()[1] << 8);
    printf(" %d (pending %d)", number, pending);
    inOrder += number == k && pending == 7 - k ? 1 : 0;
    uint32_t event = 0;
    api.AllocateBuffer(hCam, &filled, kBytes, 0, &event);
  }
  printf("\n    %s\n", inOrder == 8 ? "in the order the camera filled them" : "NOT in order");
  Report("Vcleanup", api.cleanup(hCam));
  return inOrder == 8 ? 0 : 1;
}

// One loop of a camera with three buffers: it shows the frame it was given until its next wait
// returns, then hands that buffer back; `workMs` is what it does with each frame.
int ShowingLoop(void* hCam, const char* libraryFile, uint32_t framesPerSecond, DWORD workMs) {
  constexpr uint16_t kSmall = 64;
  constexpr uint32_t kBytes = kSmall * kSmall;
  for (int i = 0; i < 3; ++i) {
    int16_t number = -1;
    uint32_t event = 0;
    api.AllocateBuffer(hCam, &number, kBytes, 0, &event);
  }
  Sim sim(libraryFile);
  sim.SetMode(hCam, SIM_ACQ_QUEUE);
  sim.Start(hCam, framesPerSecond, kSmall, kSmall, 8);
  LvArray frame(kSmall * kSmall);
  int16_t shown = -1;
  int frames = 0;
  for (int k = 0; k < 20; ++k) {
    int16_t filled = -1;
    int32_t pending = 0;
    if (api.WaitForBuffersEx(hCam, &filled, 2000, &pending, nullptr) != 0) break;
    uint32_t event = 0;
    if (shown >= 0) api.AllocateBuffer(hCam, &shown, kBytes, 0, &event);
    api.GetImageFromBuffer(hCam, filled, kSmall, kSmall, 8, frame.handle());
    Sleep(workMs);
    shown = filled;
    ++frames;
  }
  sim.Stop(hCam);
  printf("    the camera delivered %u frames while the loop took %d\n", sim.Delivered(hCam), frames);
  PrintStats(hCam);
  return frames == 20 ? 0 : 1;
}

// A loop slower than its camera, with few buffers: its waits find every buffer the camera holds
// filled, and the statistics count them as starved.  Beside it, a loop that keeps up.
int StarvedLoop() {
  void* steady = reinterpret_cast<void*>(0x9009);
  void* slow = reinterpret_cast<void*>(0x900A);
  printf("\nA loop that keeps up and a loop that starves its camera, Lanticam 0x9009 at 20 and 0x900A at\n"
         "200 frames/s, 3 buffers each, 25 ms of work a frame in the slow loop\n");
  if (Report("VInitLibrary (0x9009)", api.InitLibrary(steady, VOR_FAMILY_LANTICAM)) != 0 ||
      Report("VInitLibrary (0x900A)", api.InitLibrary(slow, VOR_FAMILY_LANTICAM)) != 0) {
    return 1;
  }
  int failures = ShowingLoop(steady, "Lan_Cam.dll", 20, 0);
  failures += ShowingLoop(slow, "Lan_Cam.dll", 200, 25);
  uint64_t c[VOR_STAT_COUNT] = {};
  api.GetCameraStats(slow, c, VOR_STAT_COUNT);
  const uint64_t starved = c[VOR_STAT_STARVED];
  api.GetCameraStats(steady, c, VOR_STAT_COUNT);
  // The loop that keeps up is starved only when the system holds it up for a whole frame.
  const bool asExpected = starved > 10 && c[VOR_STAT_STARVED] <= 2;
  printf("    %s\n", asExpected ? "the slow loop is counted as starved, the other is not" : "NOT counted as expected");
  Report("Vcleanup (0x9009)", api.cleanup(steady));
  // 0x900A stays registered for the state report at the end.
  return failures + (asExpected ? 0 : 1);
}

// The module's state as VGetState reports it, into a LabVIEW string.
void PrintState() {
  printf("\nThe module's state (VGetState)\n");
  VLVStringPtr block = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4));
  VLVStringHandle handle = &block;
  if (Report("VGetState", api.GetState(handle)) == 0) {
    std::string text((*handle)->str, (*handle)->cnt);
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find("\r\n", at);
      printf("    | %s\n", text.substr(at, end - at).c_str());
      at = end == std::string::npos ? text.size() : end + 2;
    }
  }
  HeapFree(GetProcessHeap(), 0, *handle);
}

// More buffers than one system wait can hold.
int ManyBuffers() {
  void* hCam = reinterpret_cast<void*>(0x6006);
  printf("\nA wait on 256 buffers, QD4 camera 0x6006\n");
  if (Report("VInitLibrary", api.InitLibrary(hCam, VOR_FAMILY_QD4)) != 0) return 1;
  for (int i = 0; i < 256; ++i) {
    int16_t number = -1;
    uint32_t event = 0;
    api.AllocateBuffer(hCam, &number, 64 * 48 * 2, 0, &event);
  }
  Sim sim("QD4_Cam.dll");
  sim.SetMode(hCam, SIM_ACQ_QUEUE);
  sim.Start(hCam, kFramesPerSecond, 64, 48, kBits);
  int16_t filled = -1;
  int32_t pending = -1;
  const uint32_t ex = api.WaitForBuffersEx(hCam, &filled, 2000, &pending, nullptr);
  Report("VWaitForBuffersEx", ex);
  printf("    buffer %d, %d more waiting\n", filled, pending);
  const uint32_t plain = api.WaitForBuffers(hCam, &filled, 2000);
  Report("VWaitForBuffers", plain);
  printf("    buffer %d\n", filled);
  sim.Stop(hCam);
  Report("Vcleanup", api.cleanup(hCam));
  return ex == 0 && plain == 0 ? 0 : 1;
}

struct WaitForEver {
  void* hCam;
  int16_t filled;
  uint32_t result;
};

DWORD WINAPI WaitWithoutLimit(void* argument) {
  WaitForEver& w = *static_cast<WaitForEver*>(argument);
  w.result = api.WaitForBuffersEx(w.hCam, &w.filled, VOR_WAIT_FOREVER, nullptr, nullptr);
  return 0;
}

// A stop button: another thread waits for ever; VCancelWait ends that wait at once.
int StopButton() {
  void* hCam = reinterpret_cast<void*>(0x7007);
  printf("\nA stop button, Lanticam camera 0x7007: a wait without time-out, ended by VCancelWait\n");
  if (Report("VInitLibrary", api.InitLibrary(hCam, VOR_FAMILY_LANTICAM)) != 0) return 1;
  int16_t number = -1;
  uint32_t event = 0;
  api.AllocateBuffer(hCam, &number, 64, 0, &event);
  WaitForEver w = {hCam, 0, 0};
  HANDLE thread = CreateThread(nullptr, 0, WaitWithoutLimit, &w, 0, nullptr);
  Sleep(200);
  const DWORD start = GetTickCount();
  Report("VCancelWait", api.CancelWait(hCam));
  const bool ended = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
  CloseHandle(thread);
  printf("    the wait %s after %lu ms:\n", ended ? "ended" : "did not end", GetTickCount() - start);
  Report("VWaitForBuffersEx", w.result);
  Report("Vcleanup", api.cleanup(hCam));
  return ended && w.result == VOR_ERR_WAIT_CANCELLED ? 0 : 1;
}

// One run of a VI whose init node and wait node have the callbacks set: it binds the camera
// through VInitLibraryEx, records while its loop runs, and is then aborted as LabVIEW aborts:
// VAbort on the node that waits, then VUnreserve of every node.  Returns the frames recorded.
struct AbortableRun {
  void* hCam;
  void* initCell;
  void* waitCell;
  volatile LONG frames;
  uint32_t lastResult;
};

DWORD WINAPI AbortableLoop(void* argument) {
  AbortableRun& run = *static_cast<AbortableRun*>(argument);
  for (;;) {
    int16_t filled = -1;
    int32_t pending = 0;
    run.lastResult = api.WaitForBuffersEx(run.hCam, &filled, VOR_WAIT_FOREVER, &pending, &run.waitCell);
    if (run.lastResult != 0) return 0;
    if (api.PushImageToFile(run.hCam, filled) == 0) InterlockedIncrement(&run.frames);
    uint32_t event = 0;
    api.AllocateBuffer(run.hCam, &filled, kWidth * kHeight * 2, 0, &event);
  }
}

int RunUntilAborted(int run, void* hCam) {
  AbortableRun r = {hCam, nullptr, nullptr, 0, 0};
  api.Reserve(&r.initCell);  // LabVIEW: the VI starts
  api.Reserve(&r.waitCell);
  int failures = 0;
  char what[64];
  snprintf(what, sizeof what, "run %d: VInitLibraryEx", run);
  failures += Report(what, api.InitLibraryEx(hCam, VOR_FAMILY_TORNIO, &r.initCell)) != 0;
  for (int i = 0; i < kBuffers; ++i) {
    int16_t number = -1;
    uint32_t event = 0;
    api.AllocateBuffer(hCam, &number, kWidth * kHeight * 2, 0, &event);
  }
  snprintf(what, sizeof what, "run %d: VInitPushFile (demo_aborted)", run);
  failures += Report(what, api.InitPushFile(hCam, "demo_aborted", kWidth, kHeight, kBits, 0, 10)) != 0;
  Sim sim("Tn_Cam.dll");
  sim.SetMode(hCam, SIM_ACQ_QUEUE);
  sim.Start(hCam, kFramesPerSecond, kWidth, kHeight, kBits);
  HANDLE loop = CreateThread(nullptr, 0, AbortableLoop, &r, 0, nullptr);
  Sleep(150);
  const DWORD start = GetTickCount();
  api.Abort(&r.waitCell);  // LabVIEW: Abort while the wait node's call is in progress
  const bool ended = WaitForSingleObject(loop, 5000) == WAIT_OBJECT_0;
  CloseHandle(loop);
  api.Unreserve(&r.waitCell);  // LabVIEW: the top-level VI has stopped
  api.Unreserve(&r.initCell);
  sim.Stop(hCam);
  printf("    run %d: aborted after %ld frames recorded; the loop %s after %lu ms; its wait returned:\n", run,
         r.frames, ended ? "ended" : "did not end", GetTickCount() - start);
  Report("VWaitForBuffersEx", r.lastResult);
  return failures + (ended && r.lastResult == VOR_ERR_WAIT_CANCELLED ? 0 : 1);
}

// Abort and run again: after the abort, the camera, its buffers and its recording are gone, so
// the next run starts as the first did.
int AbortAndRunAgain() {
  void* hCam = reinterpret_cast<void*>(0x8008);
  printf("\nAbort and run again, Tornio camera 0x8008 bound with VInitLibraryEx, recording while it runs\n");
  int failures = RunUntilAborted(1, hCam);
  printf("    after the abort nothing of the camera is left: VCancelWait says\n");
  failures += Report("VCancelWait", api.CancelWait(hCam)) != VOR_ERR_OPTION_NOT_AVAILABLE;
  failures += RunUntilAborted(2, hCam);
  printf("    %s\\demo_aborted.tif was closed by each abort, complete\n", ExeFolder().c_str());
  return failures;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string folder = ExeFolder();
  SetDllDirectoryA((folder + "\\simulated").c_str());
  HMODULE dll = LoadLibraryA((folder + "\\vorlabview.dll").c_str());
  if (dll == nullptr) {
    printf("cannot load %s\\vorlabview.dll (error %lu)\n", folder.c_str(), GetLastError());
    return 1;
  }
  if (!Bind(dll, "VInitLibrary", api.InitLibrary) || !Bind(dll, "VAllocateBuffer", api.AllocateBuffer) ||
      !Bind(dll, "VWaitForBuffers", api.WaitForBuffers) || !Bind(dll, "VGetImageFromBuffer", api.GetImageFromBuffer) ||
      !Bind(dll, "VGetImageFromCamRam", api.GetImageFromCamRam) || !Bind(dll, "VFreeBuffer", api.FreeBuffer) ||
      !Bind(dll, "Vcleanup", api.cleanup) || !Bind(dll, "VGetErrorText", api.GetErrorText) ||
      !Bind(dll, "VInitPushFile", api.InitPushFile) || !Bind(dll, "VPushImageToFile", api.PushImageToFile) ||
      !Bind(dll, "VClosePushFile", api.ClosePushFile) || !Bind(dll, "VWaitForBuffersEx", api.WaitForBuffersEx) ||
      !Bind(dll, "VCancelWait", api.CancelWait) || !Bind(dll, "VInitLibraryEx", api.InitLibraryEx) ||
      !Bind(dll, "VReserve", api.Reserve) || !Bind(dll, "VUnreserve", api.Unreserve) ||
      !Bind(dll, "VAbort", api.Abort) || !Bind(dll, "VGetCameraStats", api.GetCameraStats) ||
      !Bind(dll, "VGetState", api.GetState)) {
    return 1;
  }

  printf("vorlabview demo: a LabVIEW program's calls, against the simulated camera SDKs\n");
  const Camera cameras[] = {
      {"Lanticam", VOR_FAMILY_LANTICAM, 0x1001, "Lan_Cam.dll"},
      {"Tornio", VOR_FAMILY_TORNIO, 0x2002, "Tn_Cam.dll"},
      {"QD4", VOR_FAMILY_QD4, 0x3003, "QD4_Cam.dll"},
      {"Family 4 (no library)", 4, 0x4004, nullptr},
  };
  int failures = 0;
  for (const Camera& camera : cameras) failures += RunCamera(camera);
  failures += LaggingLoop();
  failures += ManyBuffers();
  failures += StopButton();
  failures += AbortAndRunAgain();
  failures += StarvedLoop();
  PrintState();
  Report("Vcleanup (0x900A)", api.cleanup(reinterpret_cast<void*>(0x900A)));
  FreeLibrary(dll);
  printf(failures == 0 ? "\ndemo finished\n" : "\ndemo finished with %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
