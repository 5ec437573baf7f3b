// Memory that cannot be had: the module's allocations fail on request through its import of
// malloc, and whatever the SDK already handed out goes back before the error is returned.
#include <windows.h>

#include "camera_rig.h"

namespace {

typedef void* (__cdecl* MallocFn)(size_t);

MallocFn s_malloc = nullptr;
volatile LONG s_failAt = 0;  // the module's n-th next allocation fails; 0 = none does

void* __cdecl FailingMalloc(size_t size) {
  if (s_failAt > 0 && InterlockedDecrement(&s_failAt) == 0) return nullptr;
  return s_malloc(size);
}

// Routes the loaded module's malloc through FailingMalloc.
bool HookMalloc(ModuleHost& host) {
  void* original = nullptr;
  if (!PatchImport(host.module(), "msvcrt.dll", "malloc", reinterpret_cast<void*>(&FailingMalloc), &original)) {
    return false;
  }
  s_malloc = reinterpret_cast<MallocFn>(original);
  return true;
}

}  // namespace

TEST_CASE(allocation_without_memory_for_the_record_gives_the_buffer_back) {
  // The allocations are the module's hold of the event, the record and the registry's list node.
  for (LONG failing = 1; failing <= 3; ++failing) {
    for (int32_t family = 1; family <= 3; ++family) {
      WTEST_CONTEXT("family %d, allocation %ld fails", family, failing);
      CameraRig rig("oom_allocate");
      if (!rig.loaded || !ok(HookMalloc(rig.host), "the module does not import malloc") ||
          !rig.Init(Cam(0xA1), family)) {
        return;
      }
      HeldLibrary held(rig.host.PathOf(FamilyFile(family)));
      SimApi sim = rig.Sim(family);
      int16_t number = -1;
      uint32_t event = 0;
      s_failAt = failing;
      ok_eq_hex(ERROR_NOT_ENOUGH_MEMORY, rig.host.api.AllocateBuffer(Cam(0xA1), &number, 64, 0, &event));
      s_failAt = 0;
      ok_eq_int(0, sim.BufferCount());
      ok_eq_int(0, ModuleHost::Boxes().size());
      // Nothing registered: the camera cleans up with no SDK call.
      sim.TraceClear();
      ok_eq_hex(0, rig.host.api.cleanup(Cam(0xA1)));
      ok_eq_int(0, sim.Trace().size());
    }
  }
}

TEST_CASE(registration_without_memory_releases_the_library) {
  for (LONG failing = 1; failing <= 2; ++failing) {
    for (int32_t family = 1; family <= 3; ++family) {
      WTEST_CONTEXT("family %d, allocation %ld fails", family, failing);
      CameraRig rig("oom_init");
      if (!rig.loaded || !ok(HookMalloc(rig.host), "the module does not import malloc")) return;
      s_failAt = failing;
      ok_eq_hex(ERROR_NOT_ENOUGH_MEMORY, rig.host.api.InitLibrary(Cam(0xA2), family));
      s_failAt = 0;
      ok(!rig.host.IsLoaded(FamilyFile(family)), "the library stayed loaded for a camera that is not registered");
      CheckOneErrorBox("can not load interface dll, error: 8\n");
      ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.cleanup(Cam(0xA2)));
    }
  }
}
