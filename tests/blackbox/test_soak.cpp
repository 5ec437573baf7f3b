// Soak: thousands of allocate / wait / copy / free / cleanup cycles over the three families
// from several threads; the process's handles and memory must not grow.
#include <windows.h>
#include <stdio.h>

#include "camera_rig.h"
#include "lv_array.h"
#include "process_usage.h"

namespace {

constexpr int kCyclesPerThread = 1000;

struct Soaker {
  CameraRig* rig;
  int32_t family;
  SimApi sim;
  LONG failures;
};

// One camera's whole road, from binding to cleanup.
void Cycle(Soaker& s, uintptr_t hCam, LvArray& array) {
  const ModuleApi& api = s.rig->host.api;
  void* cam = Cam(hCam);
  if (api.InitLibrary(cam, s.family) != 0) ++s.failures;
  int16_t numbers[3];
  for (int16_t& number : numbers) {
    number = -1;
    uint32_t event = 0;
    if (api.AllocateBuffer(cam, &number, 32 * 32, 0, &event) != 0) ++s.failures;
  }
  s.sim.FillBuffer(cam, numbers[1], static_cast<uint32_t>(hCam), 1);
  int16_t filled = -1;
  if (api.WaitForBuffers(cam, &filled, 5000) != 0 || filled != numbers[1]) ++s.failures;
  if (api.GetImageFromBuffer(cam, filled, 32, 32, 8, array.handle()) != 0) ++s.failures;
  uint32_t event = 0;
  if (api.AllocateBuffer(cam, &filled, 32 * 32, 0, &event) != 0) ++s.failures;
  if (api.FreeBuffer(cam, numbers[0]) != 0) ++s.failures;
  if (api.cleanup(cam) != 0) ++s.failures;
}

DWORD WINAPI Soak(void* argument) {
  Soaker& s = *static_cast<Soaker*>(argument);
  LvArray array({32 * 32}, 1);
  for (int i = 0; i < kCyclesPerThread; ++i) Cycle(s, 0x10000u * s.family + i, array);
  return 0;
}

}  // namespace

TEST_CASE(handles_and_memory_stay_flat) {
  CameraRig rig("soak");
  if (!rig.loaded) return;
  // Hold the stand-ins, so their load and unload do not count as growth.
  HMODULE held[3];
  for (int32_t family = 1; family <= 3; ++family) held[family - 1] = LoadLibraryA(rig.host.PathOf(FamilyFile(family)).c_str());
  Soaker soakers[3];
  for (int32_t family = 1; family <= 3; ++family) {
    soakers[family - 1] = Soaker{&rig, family, ModuleHost::SimAt(rig.host.PathOf(FamilyFile(family))), 0};
  }
  // A first round settles lazily made state (heaps, thread pools) before the baseline.
  LvArray warm({32 * 32}, 1);
  for (Soaker& s : soakers) for (int i = 0; i < 20; ++i) Cycle(s, 0xF000 + i, warm);
  const ProcessUsage before = MeasureProcessUsage();

  HANDLE threads[3];
  for (int t = 0; t < 3; ++t) threads[t] = CreateThread(nullptr, 0, Soak, &soakers[t], 0, nullptr);
  ok(WaitForMultipleObjects(3, threads, TRUE, 600000) == WAIT_OBJECT_0, "soak threads did not finish");
  for (HANDLE thread : threads) CloseHandle(thread);
  const ProcessUsage after = MeasureProcessUsage();

  for (const Soaker& s : soakers) ok(s.failures == 0, "family %d: %ld failed calls", s.family, s.failures);
  for (const Soaker& s : soakers) ok_eq_int(0, s.sim.BufferCount());
  CheckUsageFlat(wtest::Format("soak, %d cycles", 3 * kCyclesPerThread).c_str(), before, after);
  rig.host.Unload();
  for (HMODULE module : held) FreeLibrary(module);
}
