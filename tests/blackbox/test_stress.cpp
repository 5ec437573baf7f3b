// Many threads calling the exports at once: no crash, and a consistent registry afterwards.
#include <windows.h>

#include "module_host.h"
#include "wtest.h"

namespace {

constexpr int kThreads = 6;
constexpr int kIterations = 400;

struct Worker {
  ModuleHost* host;
  int index;
  LONG failures;
};

void* Cam(uintptr_t value) { return reinterpret_cast<void*>(value); }

// Each worker owns a camera of one family and cycles it; workers 0 and 1 share a
// family's library and a camera with a freeing partner, so records race.
DWORD WINAPI Cycle(void* argument) {
  Worker& w = *static_cast<Worker*>(argument);
  const ModuleApi& api = w.host->api;
  const int32_t family = 1 + w.index % 3;
  void* own = Cam(0x1000 + w.index);
  void* shared = Cam(0x9000);
  for (int i = 0; i < kIterations; ++i) {
    if (api.InitLibrary(own, family) != 0) ++w.failures;
    int16_t numbers[3];
    for (int16_t& number : numbers) {
      number = -1;
      uint32_t event = 0;
      if (api.AllocateBuffer(own, &number, 256, 0, &event) != 0) ++w.failures;
    }
    // Allocate an existing buffer again, free one, leave the rest to cleanup.
    uint32_t event = 0;
    int16_t again = numbers[1];
    if (api.AllocateBuffer(own, &again, 256, 0, &event) != 0 || again != numbers[1]) ++w.failures;
    if (api.FreeBuffer(own, numbers[0]) != 0) ++w.failures;
    if (api.cleanup(own) != 0) ++w.failures;

    // The shared camera: everyone allocates and frees on it; results may race but must not crash.
    int16_t number = -1;
    uint32_t sharedEvent = 0;
    if (api.AllocateBuffer(shared, &number, 128, 0, &sharedEvent) == 0) api.FreeBuffer(shared, number);
    api.FreeBuffer(shared, i % 4);
  }
  return 0;
}

}  // namespace

TEST_CASE(threads_cycle_cameras_and_buffers) {
  ModuleHost host("stress");
  host.AddStandIn(kLanCam);
  host.AddStandIn(kTnCam);
  host.AddStandIn(kQd4Cam);
  if (!ok(host.Load(), "cannot load the DLL")) return;
  // Hold each stand-in ourselves, so its counts can be read after the last cleanup.
  HMODULE held[3];
  const char* files[3] = {kLanCam, kTnCam, kQd4Cam};
  for (int f = 0; f < 3; ++f) held[f] = LoadLibraryA(host.PathOf(files[f]).c_str());

  ok_eq_hex(0, host.api.InitLibrary(Cam(0x9000), 2));
  Worker workers[kThreads];
  HANDLE threads[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    workers[t] = Worker{&host, t, 0};
    threads[t] = CreateThread(nullptr, 0, Cycle, &workers[t], 0, nullptr);
  }
  ok(WaitForMultipleObjects(kThreads, threads, TRUE, 300000) == WAIT_OBJECT_0, "workers did not finish");
  for (int t = 0; t < kThreads; ++t) {
    CloseHandle(threads[t]);
    ok_eq_int(0, workers[t].failures);
  }
  ok_eq_hex(0, host.api.cleanup(Cam(0x9000)));

  // Every camera is gone from the registry and every SDK buffer was given back.
  for (int t = 0; t < kThreads; ++t) ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.cleanup(Cam(0x1000 + t)));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.cleanup(Cam(0x9000)));
  for (int f = 0; f < 3; ++f) {
    SimApi sim = ModuleHost::SimAt(host.PathOf(files[f]));
    ok(sim.valid() && sim.BufferCount() == 0, "%s holds %d buffers after the last cleanup", files[f],
       sim.valid() ? sim.BufferCount() : -1);
  }
  ok_eq_int(0, ModuleHost::Boxes().size());
  host.Unload();
  for (HMODULE module : held) FreeLibrary(module);
}
