// Randomized stress: several threads call every export on cameras of all three families
// while the simulated acquisition runs, a recording is open, the log runs in thread mode, and
// cameras are cleaned up and bound again.  A watchdog fails the run on a hang and names the
// call that is stuck.
#include <windows.h>

#include "camera_rig.h"
#include "log_entries.h"
#include "log_folder.h"
#include "lv_array.h"

namespace {

constexpr int kWorkers = 6;
constexpr int kCameras = 6;
constexpr DWORD kRunMs = 8000;
constexpr DWORD kStuckMs = 20000;
constexpr uint16_t kWidth = 64;
constexpr uint16_t kHeight = 48;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 2;

void* CameraAt(int index) { return Cam(0x1100 + index); }
int32_t FamilyAt(int index) { return 1 + index % 3; }

// What one worker is doing, for the watchdog.
struct Slot {
  const char* volatile call;  // the export under way, null between calls
  volatile uintptr_t cam;
  volatile LONG argument;
  volatile DWORD since;
  LONG calls;
  LONG unexpected;
  char firstUnexpected[160];
};

Slot s_slots[kWorkers];
volatile LONG s_stop = 0;

// Codes any export may give in this mix: success, the module's own, the stand-ins' refusals,
// and no memory.
bool Expected(uint32_t code) {
  switch (code) {
    case 0: case 8:
    case VOR_ERR_WRONG_PARAMETER: case VOR_ERR_BUFFER_NOT_REGISTERED: case VOR_ERR_OPTION_NOT_AVAILABLE:
    case VOR_ERR_TIMEOUT: case VOR_ERR_BUFFER_TOO_SMALL: case VOR_ERR_BUFFER_NOT_FILLED: case VOR_ERR_WAIT_CANCELLED:
    case SIM_ERR_BAD_ARG: case SIM_ERR_NO_BUFFER: case SIM_ERR_NO_MEMORY:
      return true;
    default:
      return false;
  }
}

struct Worker {
  ModuleHost* host;
  int index;
  uint32_t random;

  uint32_t Next() {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    return random;
  }

  template <typename Call>
  void Run(const char* name, void* cam, LONG argument, Call call) {
    Slot& slot = s_slots[index];
    slot.cam = reinterpret_cast<uintptr_t>(cam);
    slot.argument = argument;
    slot.since = GetTickCount();
    slot.call = name;
    const uint32_t code = call();
    slot.call = nullptr;
    ++slot.calls;
    if (!Expected(code) && InterlockedIncrement(&slot.unexpected) == 1) {
      _snprintf(slot.firstUnexpected, sizeof slot.firstUnexpected, "%s(cam %x, %ld) gave 0x%x", name,
                static_cast<unsigned>(slot.cam), argument, code);
    }
  }

  // Starts or stops the simulated acquisition of a camera's family, holding the stand-in for
  // just that call: a cleanup elsewhere may unload it any time.
  void SteerAcquisition(int camera, bool start) {
    HMODULE module = nullptr;
    const std::string path = host->PathOf(FamilyFile(FamilyAt(camera)));
    if (!GetModuleHandleExA(0, path.c_str(), &module)) return;
    SimApi sim = ModuleHost::SimAt(path);
    if (sim.StartAcquisition != nullptr) {
      if (start) sim.StartAcquisition(CameraAt(camera), 200, kWidth, kHeight, 12);
      else sim.StopAcquisition(CameraAt(camera));
    }
    FreeLibrary(module);
  }

  void Loop() {
    const ModuleApi& api = host->api;
    LvArray array({kWidth * kHeight}, 2);
    LvArray array2D({kHeight, kWidth}, 2);
    const std::string file = wtest::Format("%s\\stress%d", host->folder().c_str(), index);
    void* instance = nullptr;  // the node's instance data, as LabVIEW's callbacks keep it
    api.Reserve(&instance);
    while (!s_stop) {
      const int camera = static_cast<int>(Next() % kCameras);
      void* cam = CameraAt(camera);
      const LONG number = static_cast<LONG>(Next() % 8);
      const uint32_t action = Next() % 100;
      if (action < 8) {
        Run("VInitLibrary", cam, FamilyAt(camera), [&] { return api.InitLibrary(cam, FamilyAt(camera)); });
      } else if (action < 12) {
        Run("Vcleanup", cam, 0, [&] { return api.cleanup(cam); });
      } else if (action < 30) {
        int16_t bufNr = Next() % 2 ? static_cast<int16_t>(-1) : static_cast<int16_t>(number);
        uint32_t event = 0;
        Run("VAllocateBuffer", cam, bufNr, [&] { return api.AllocateBuffer(cam, &bufNr, kFrameBytes, 0, &event); });
      } else if (action < 38) {
        Run("VFreeBuffer", cam, number, [&] { return api.FreeBuffer(cam, number); });
      } else if (action < 45) {
        int16_t bufNr = 0;
        Run("VWaitForBuffers", cam, number, [&] { return api.WaitForBuffers(cam, &bufNr, number * 3); });
      } else if (action < 51) {
        int16_t bufNr = 0;
        int32_t pending = 0;
        Run("VWaitForBuffersEx", cam, number,
            [&] { return api.WaitForBuffersEx(cam, &bufNr, number * 3, &pending, &instance); });
      } else if (action < 52) {
        Run("VCancelWait", cam, 0, [&] { return api.CancelWait(cam); });
      } else if (action < 66) {
        Run("VGetImageFromBuffer", cam, number,
            [&] { return api.GetImageFromBuffer(cam, static_cast<int16_t>(number), kWidth, kHeight, 12, array.handle()); });
      } else if (action < 72) {
        Run("VGetImageFromBuffer2D", cam, number, [&] {
          return api.GetImageFromBuffer2D(cam, static_cast<int16_t>(number), kWidth, kHeight, 12, array2D.handle());
        });
      } else if (action < 78) {
        Run("VGetImageExFromCamRam", cam, number, [&] {
          return api.GetImageExFromCamRam(cam, 0, 1, 1, static_cast<int16_t>(number), kWidth, kHeight, 12,
                                          array.handle());
        });
      } else if (action < 82) {
        Run("VInitPushFile", cam, 0, [&] { return api.InitPushFile(cam, file.c_str(), kWidth, kHeight, 12, 0, 10); });
      } else if (action < 92) {
        Run("VPushImageToFile", cam, number, [&] { return api.PushImageToFile(cam, static_cast<int16_t>(number)); });
      } else if (action < 95) {
        Run("VClosePushFile", cam, 0, [&] { return api.ClosePushFile(cam); });
      } else {
        SteerAcquisition(camera, action < 98);
      }
    }
    api.Unreserve(&instance);
  }
};

DWORD WINAPI WorkerMain(void* argument) {
  static_cast<Worker*>(argument)->Loop();
  return 0;
}

// Fails the whole run when a call has been under way for too long, naming it.
DWORD WINAPI Watchdog(void*) {
  while (!s_stop) {
    Sleep(100);
    for (int w = 0; w < kWorkers; ++w) {
      const char* call = s_slots[w].call;
      const DWORD since = s_slots[w].since;
      if (call != nullptr && GetTickCount() - since > kStuckMs) {
        printf("stuck: worker %d in %s(cam %x, %ld) for %lu ms\n", w, call, static_cast<unsigned>(s_slots[w].cam),
               s_slots[w].argument, static_cast<unsigned long>(GetTickCount() - since));
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
      }
    }
  }
  return 0;
}

}  // namespace

TEST_CASE(random_calls_of_parallel_loops_with_acquisition_recording_and_thread_log) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  {
    CameraRig rig("stress_random");
    rig.host.AddStandIn("VOR_File.dll");
    if (!rig.loaded) return;
    const ModuleApi& api = rig.host.api;

    Worker workers[kWorkers];
    HANDLE threads[kWorkers + 1];
    for (int w = 0; w < kWorkers; ++w) {
      workers[w] = Worker{&rig.host, w, 0x9E3779B9u * (w + 1)};
      threads[w] = CreateThread(nullptr, 0, WorkerMain, &workers[w], 0, nullptr);
    }
    threads[kWorkers] = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    Sleep(kRunMs);
    s_stop = 1;
    ok(WaitForMultipleObjects(kWorkers + 1, threads, TRUE, 60000) == WAIT_OBJECT_0, "workers did not stop");
    for (HANDLE thread : threads) CloseHandle(thread);

    LONG calls = 0;
    for (int w = 0; w < kWorkers; ++w) {
      calls += s_slots[w].calls;
      ok(s_slots[w].unexpected == 0, "worker %d: %ld unexpected results, the first %s", w, s_slots[w].unexpected,
         s_slots[w].firstUnexpected);
    }
    ok(calls > 1000, "only %ld calls in %lu ms", calls, static_cast<unsigned long>(kRunMs));
    printf("%ld calls\n", calls);

    // Everything can be put away, and then nothing is left: no camera, no SDK buffer.
    for (int c = 0; c < kCameras; ++c) api.ClosePushFile(CameraAt(c));
    HMODULE held[3];
    for (int f = 0; f < 3; ++f) held[f] = LoadLibraryA(rig.host.PathOf(FamilyFile(f + 1)).c_str());
    for (int c = 0; c < kCameras; ++c) {
      SimApi sim = ModuleHost::SimAt(rig.host.PathOf(FamilyFile(FamilyAt(c))));
      sim.StopAcquisition(CameraAt(c));
      uint32_t result = api.cleanup(CameraAt(c));
      ok(result == 0 || result == VOR_ERR_OPTION_NOT_AVAILABLE, "camera %d: cleanup gave 0x%x", c, result);
      ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.cleanup(CameraAt(c)));
    }
    for (int f = 0; f < 3; ++f) {
      SimApi sim = ModuleHost::SimAt(rig.host.PathOf(FamilyFile(f + 1)));
      ok(sim.valid() && sim.BufferCount() == 0, "%s holds %d buffers after the last cleanup", FamilyFile(f + 1),
         sim.valid() ? sim.BufferCount() : -1);
    }
    rig.host.Unload();
    for (HMODULE module : held) FreeLibrary(module);
  }

  // The log kept up: every entry whole.
  const std::vector<LogEntry> entries = ParseLogEntries(ReadWholeFile(InFolder("vorlabview.log")));
  ok(entries.size() > 1000, "only %d log entries", static_cast<int>(entries.size()));
  size_t broken = 0;
  for (const LogEntry& entry : entries) broken += entry.wellFormed ? 0 : 1;
  ok_eq_int(0, broken);
  PrepareFolder({});
}
