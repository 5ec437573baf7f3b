// Demo host: drives vorlabview.dll the way a LabVIEW program does, against the simulated SDKs.
//
// Run it from the folder that holds vorlabview.dll; the simulated SDK libraries lie in its
// "simulated" subfolder and are found through the DLL search path.  For each camera family it
// binds the library, allocates buffers, runs the simulated acquisition, waits for frames and
// copies them into LabVIEW-style arrays, then frees and cleans up; error codes are printed
// with their texts from VGetErrorText.
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
  explicit Sim(const char* file) {
    HMODULE module = GetModuleHandleA(file);
    if (module == nullptr) return;
    Start = reinterpret_cast<SimStartAcquisitionFn>(reinterpret_cast<void*>(GetProcAddress(module, "SimStartAcquisition")));
    Stop = reinterpret_cast<SimStopAcquisitionFn>(reinterpret_cast<void*>(GetProcAddress(module, "SimStopAcquisition")));
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

  Report("VFreeBuffer", api.FreeBuffer(hCam, numbers[0]));
  Report("Vcleanup", api.cleanup(hCam));
  return failures == 0 && copied == kFrames ? 0 : 1;
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
      !Bind(dll, "VClosePushFile", api.ClosePushFile)) {
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
  FreeLibrary(dll);
  printf(failures == 0 ? "\ndemo finished\n" : "\ndemo finished with %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
