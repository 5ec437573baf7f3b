// What the per-camera counters and the handle check cost: the module as built, loaded side by
// side in one process with an earlier build (VORLAB_BASELINE_MODULE, a Windows path), each in
// a folder of its own with its own stand-in SDKs, and with a third copy of the module as built
// whose run-time has no DSCheckHandle.  This program is the LabVIEW host: it exports the
// run-time's marker and a memory manager that knows its handles, as LabVIEW's does.
//
// Figures: a wait that returns a frame (with `pending`), a 640x480 8-bit copy into a warm array,
// and the fixed cost of an export (a 1x1 copy); median of many batches, the three modules in
// alternating order; ratios against the earlier build and against the build without the check.
#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_clock.h"
#include "camera_rig.h"
#include "lv_array.h"

namespace {

// The host's memory manager: the size of each handle it knows.  Reads take the lock shared, as
// concurrent nodes would.
SRWLOCK s_handlesLock = SRWLOCK_INIT;
std::unordered_map<void*, int32_t>& Handles() {
  static std::unordered_map<void*, int32_t> handles;
  return handles;
}

void Know(void* handle, int32_t size) {
  AcquireSRWLockExclusive(&s_handlesLock);
  Handles()[handle] = size;
  ReleaseSRWLockExclusive(&s_handlesLock);
}

int32_t KnownSize(void* handle) {
  AcquireSRWLockShared(&s_handlesLock);
  auto found = Handles().find(handle);
  const int32_t size = found == Handles().end() ? -1 : found->second;
  ReleaseSRWLockShared(&s_handlesLock);
  return size;
}

}  // namespace

extern "C" {
int32_t gLVRTVersion = 0x25008000;
int32_t DSSetHandleSize(void* handle, size_t size) {
  void** h = static_cast<void**>(handle);
  void* grown = HeapReAlloc(GetProcessHeap(), 0, *h, size);
  if (grown == nullptr) return 2;
  *h = grown;
  return 0;
}
int32_t DSGetHandleSize(void* handle) { return KnownSize(handle); }
int32_t DSCheckHandle(void* handle) { return KnownSize(handle) >= 0 ? 0 : 3; }
}

namespace {

constexpr uint16_t kWidth = 640, kHeight = 480;
constexpr uint32_t kFrameBytes = uint32_t{kWidth} * kHeight;

// One module in its own folder, with a camera of two buffers and an array of its own.
struct Subject {
  const char* name;
  std::unique_ptr<CameraRig> rig;
  void* hCam = Cam(0xB0);
  int16_t numbers[2] = {-1, -1};
  std::unique_ptr<LvArray> frame;
  std::unique_ptr<LvArray> pixel;
};

bool Prepare(Subject& s, const std::string& module, HMODULE runtime) {
  SetEnvironmentVariableA("VORLAB_MODULE", module.c_str());
  s.rig.reset(new CameraRig(s.name));
  if (!s.rig->loaded) return false;
  if (runtime != nullptr) s.rig->host.api.SetLVRTModule(runtime);
  if (!s.rig->Init(s.hCam, 1)) return false;
  if (SimApi sim = s.rig->Sim(1); sim.SetTracing != nullptr) sim.SetTracing(0);
  for (int16_t& number : s.numbers) number = s.rig->NewBuffer(s.hCam, kFrameBytes);
  s.frame.reset(new LvArray({static_cast<int32_t>(kFrameBytes)}, 1, 0));
  s.pixel.reset(new LvArray({1}, 1, 0));
  Know(s.frame->handle(), static_cast<int32_t>(4 + kFrameBytes));
  Know(s.pixel->handle(), 5);
  s.rig->Sim(1).FillBuffer(s.hCam, s.numbers[0], 3, 0);
  return s.numbers[1] >= 0;
}

// A frame: the buffer handed back, filled and signalled by the camera, then the wait.
void WaitRound(Subject& s) {
  const ModuleApi& api = s.rig->host.api;
  int16_t number = s.numbers[1];
  uint32_t event = 0;
  api.AllocateBuffer(s.hCam, &number, kFrameBytes, 0, &event);
  s.rig->Sim(1).FillBuffer(s.hCam, number, 5, 1);
  int32_t pending = 0;
  api.WaitForBuffersEx(s.hCam, &number, 1000, &pending, nullptr);
}

struct Figure {
  const char* what;
  int callsPerBatch;
  std::function<void(Subject&)> call;
};

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char built[MAX_PATH] = "";
  char baseline[MAX_PATH] = "";
  GetEnvironmentVariableA("VORLAB_MODULE", built, sizeof built);
  if (GetEnvironmentVariableA("VORLAB_BASELINE_MODULE", baseline, sizeof baseline) == 0) {
    printf("VORLAB_BASELINE_MODULE names no earlier build: nothing to compare with\n");
    return 0;
  }
  if (built[0] == '\0') lstrcpynA(built, VORLAB_DLL, MAX_PATH);
  // A run-time with the memory manager's resize and size, but no DSCheckHandle.
  HMODULE noCheck = LoadLibraryA((ExeFolder() + "\\bench_runtime.dll").c_str());
  if (noCheck == nullptr) {
    printf("bench_runtime.dll is missing\n");
    return 1;
  }

  Subject subjects[3];
  subjects[0].name = "counters_earlier";
  subjects[1].name = "counters_built";
  subjects[2].name = "counters_nocheck";
  if (!Prepare(subjects[0], baseline, nullptr) || !Prepare(subjects[1], built, nullptr) ||
      !Prepare(subjects[2], built, noCheck)) {
    printf("cannot prepare the modules\n");
    return 1;
  }

  const Figure figures[] = {
      {"wait for a frame, with pending", 200, WaitRound},
      {"copy 640x480x1, warm array", 50,
       [](Subject& s) {
         s.rig->host.api.GetImageFromBuffer(s.hCam, s.numbers[0], kWidth, kHeight, 8, s.frame->handle());
       }},
      {"export fixed cost (1x1 copy)", 20000,
       [](Subject& s) { s.rig->host.api.GetImageFromBuffer(s.hCam, s.numbers[0], 1, 1, 8, s.pixel->handle()); }},
  };
  printf("Counters and handle check: the module as built against an earlier build in the same process\n");
  printf("  (ns per call, median of 41 batches, order rotating; ratio = other / built, 1.00 = same cost)\n");
  printf("  %-32s %11s %11s %11s  %9s %9s\n", "", "earlier", "built", "no check", "earlier/", "nocheck/");
  printf("  %-32s %11s %11s %11s  %9s %9s\n", "", "", "", "", "built", "built");
  for (const Figure& figure : figures) {
    std::vector<double> times[3];
    for (int batch = 0; batch < 41; ++batch) {
      for (int k = 0; k < 3; ++k) {
        Subject& s = subjects[(batch + k) % 3];
        const double start = Now();
        for (int i = 0; i < figure.callsPerBatch; ++i) figure.call(s);
        times[(batch + k) % 3].push_back((Now() - start) / figure.callsPerBatch * 1e9);
      }
    }
    double median[3];
    for (int k = 0; k < 3; ++k) {
      std::sort(times[k].begin(), times[k].end());
      median[k] = times[k][times[k].size() / 2];
    }
    printf("  %-32s %11.1f %11.1f %11.1f  %9.3f %9.3f\n", figure.what, median[0], median[1], median[2],
           median[0] / median[1], median[2] / median[1]);
  }
  for (Subject& s : subjects) s.rig->host.api.cleanup(s.hCam);
  return 0;
}
