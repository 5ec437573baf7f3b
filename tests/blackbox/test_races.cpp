// Races between the exports of parallel loops, made deterministic with the stand-ins' delays
// and signals and with a copy held half-way: what one call may rely on while another runs,
// and that no call waits for slow work of another camera.
#include <windows.h>

#include "camera_rig.h"
#include "lv_array.h"
#include "plugin_api.h"
#include "race_tools.h"

namespace {


// A buffer filled with the stand-in's pattern of `seed`, as a copy should read it.
bool HoldsPattern(const uint8_t* bytes, size_t count, uint32_t seed) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != SimPatternByte(seed, i)) return false;
  }
  return true;
}

int32_t Entered(const SimApi& sim, const char* entry) { return sim.CallsEntered(entry); }

}  // namespace

// A frame that arrives while the stop loop cleans up the family's last camera: the cleanup ends
// the acquisition loop's wait first, and the library it unloads is never asked about the frame.
TEST_CASE(wait_woken_during_cleanup_of_the_familys_last_camera) {
  for (int holdLibrary = 0; holdLibrary < 2; ++holdLibrary) {
    WTEST_CONTEXT("library held by the test: %d", holdLibrary);
    CameraRig rig("race_wait_cleanup");
    if (!rig.loaded || !rig.Init(Cam(0x31), 2)) return;
    rig.NewBuffer(Cam(0x31), 64);
    rig.NewBuffer(Cam(0x31), 64);
    SimApi sim = rig.Sim(2);
    // With a reference of the test's own, the library stays and its trace can be read after.
    HMODULE held = holdLibrary ? LoadLibraryA(rig.host.PathOf(kTnCam).c_str()) : nullptr;
    sim.SetSignalOnFree(1);
    sim.SetDelay("FREE_BUFFER", 200);

    int16_t number = 0x7777;
    AsyncCall wait([&] { return rig.host.api.WaitForBuffers(Cam(0x31), &number, 20000); });
    Sleep(300);  // the wait blocks on the two events
    ok_eq_hex(0, rig.host.api.cleanup(Cam(0x31)));
    if (!ok(wait.Join(), "the wait did not return")) continue;
    ok_eq_hex(VOR_ERR_WAIT_CANCELLED, wait.result());
    ok_eq_int(-1, number);
    if (held != nullptr) {
      ok_eq_int(0, sim.Calls("GETBUFFER_STATUS").size());
      ok_eq_int(0, sim.BufferCount());
      FreeLibrary(held);
    } else {
      ok(!rig.host.IsLoaded(kTnCam), "the family's last cleanup left the library loaded");
    }
  }
}

// VFreeBuffer and Vcleanup of a buffer whose copy is under way: the buffer goes back to the SDK
// only after the copy; meanwhile other copies of the same camera go on.
TEST_CASE(free_and_cleanup_wait_for_a_copy_under_way) {
  const char* const kinds[] = {"VFreeBuffer", "Vcleanup"};
  for (const char* kind : kinds) {
    WTEST_CONTEXT("%s", kind);
    CameraRig rig("race_copy_free");
    if (!rig.loaded || !rig.Init(Cam(0x41), 1) || !rig.Init(Cam(0x42), 1)) return;
    HeldLibrary held(rig.host.PathOf(kLanCam));
    const uint32_t bytes = 1 << 20;
    rig.NewBuffer(Cam(0x41), bytes);
    rig.NewBuffer(Cam(0x41), 64);
    rig.NewBuffer(Cam(0x42), 64);
    SimApi sim = rig.Sim(1);
    sim.FillBuffer(Cam(0x41), 0, 9, 0);
    sim.FillBuffer(Cam(0x41), 1, 3, 0);
    sim.FillBuffer(Cam(0x42), 0, 4, 0);

    const bool free = kind[1] == 'F';
    PausingArray array(bytes, 1, bytes / 2);
    AsyncCall copy([&] { return rig.host.api.GetImageFromBuffer(Cam(0x41), 0, 1024, 1024, 8, array.handle()); });
    if (!ok(array.WaitForPause(), "the copy never reached the held page")) continue;
    AsyncCall release([&] { return free ? rig.host.api.FreeBuffer(Cam(0x41), 0) : rig.host.api.cleanup(Cam(0x41)); });

    // Copies go on while the first one is held: of another camera, and (while the camera is
    // not being cleaned up) of another buffer of the same camera.
    LvArray small({64}, 1);
    AsyncCall other([&] { return rig.host.api.GetImageFromBuffer(Cam(0x42), 0, 8, 8, 8, small.handle()); });
    ok(other.Join(5000), "a copy of another camera waited for the held copy");
    ok_eq_hex(0, other.result());
    ok(HoldsPattern(small.elements(), 64, 4), "the other camera's copy is wrong");
    if (free) {
      AsyncCall same([&] { return rig.host.api.GetImageFromBuffer(Cam(0x41), 1, 8, 8, 8, small.handle()); });
      ok(same.Join(5000), "a copy of another buffer waited for the held copy");
      ok_eq_hex(0, same.result());
      ok(HoldsPattern(small.elements(), 64, 3), "the other buffer's copy is wrong");
    }

    Sleep(200);
    ok(!release.Done(), "returned while a copy of its buffer was under way");
    ok_eq_int(0, Entered(sim, "UNMAP_BUFFER"));
    ok_eq_int(0, Entered(sim, "FREE_BUFFER"));

    array.Resume();
    ok(copy.Join() && release.Join(), "the calls did not return");
    ok_eq_hex(0, copy.result());
    ok_eq_hex(0, release.result());
    ok(HoldsPattern(array.elements(), bytes, 9), "the held copy read a buffer that was given back");
    ok(Entered(sim, "FREE_BUFFER") >= 1, "no release after the copy");
    ok_eq_hex(0, rig.host.api.cleanup(Cam(0x42)));
  }
}

// The same for a recording push: the plug-in reads the buffer until its push returns.
TEST_CASE(free_and_cleanup_wait_for_a_recording_push) {
  const char* const kinds[] = {"VFreeBuffer", "Vcleanup"};
  for (const char* kind : kinds) {
    WTEST_CONTEXT("%s", kind);
    CameraRig rig("race_push_free");
    rig.host.AddStandIn("VOR_File.dll");
    if (!rig.loaded || !rig.Init(Cam(0x51), 3) || !rig.Init(Cam(0x52), 3)) return;
    HeldLibrary held(rig.host.PathOf(kQd4Cam));
    rig.NewBuffer(Cam(0x51), 64 * 48 * 2);
    rig.NewBuffer(Cam(0x52), 64);
    PluginApi plugin;
    if (!ok(plugin.Bind(rig.host.PathOf("VOR_File.dll")), "no plug-in control")) return;
    SimApi sim = rig.Sim(3);
    sim.FillBuffer(Cam(0x52), 0, 5, 0);
    const ModuleApi& api = rig.host.api;
    ok_eq_hex(0, api.InitPushFile(Cam(0x51), "race", 64, 48, 16, 0, 10));
    plugin.SetDelay("Push", 400);

    AsyncCall push([&] { return api.PushImageToFile(Cam(0x51), 0); });
    ok(WaitUntil([&] { return plugin.CallsEntered("Push") == 1; }), "no push started");
    AsyncCall release([&] { return kind[1] == 'F' ? api.FreeBuffer(Cam(0x51), 0) : api.cleanup(Cam(0x51)); });

    LvArray small({64}, 1);
    ok_eq_hex(0, api.GetImageFromBuffer(Cam(0x52), 0, 8, 8, 8, small.handle()));
    ok_eq_int(0, plugin.CallsReturned("Push"));  // another camera's copy did not wait for the push
    ok(HoldsPattern(small.elements(), 64, 5), "the other camera's copy is wrong");
    Sleep(100);
    ok_eq_int(0, Entered(sim, "VOR_FreeBuffer"));

    ok(push.Join() && release.Join(), "the calls did not return");
    ok_eq_hex(0, push.result());
    ok_eq_hex(0, release.result());
    ok(Entered(sim, "VOR_FreeBuffer") >= 1, "no release after the push");
    ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));
    ok_eq_hex(0, api.cleanup(Cam(0x52)));
  }
}

// One family's library loads slowly (its DllMain runs for 1.5 s under the loader lock); a
// camera of another family waits and copies meanwhile.
TEST_CASE(slow_library_load_does_not_stall_other_cameras) {
  CameraRig rig("race_slow_load");
  if (!rig.loaded || !rig.Init(Cam(0x61), 2)) return;
  rig.NewBuffer(Cam(0x61), 64);
  SimApi sim = rig.Sim(2);
  sim.FillBuffer(Cam(0x61), 0, 7, 1);
  LvArray array({64}, 1);
  ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x61), 0, 8, 8, 8, array.handle()));

  SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DONE", nullptr);
  SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DELAY", "Lan_Cam:1500");
  AsyncCall init([&] { return rig.host.api.InitLibrary(Cam(0x62), 1); });
  Sleep(200);
  int16_t number = -1;
  ok_eq_hex(0, rig.host.api.WaitForBuffers(Cam(0x61), &number, 5000));
  ok_eq_int(0, number);
  ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x61), 0, 8, 8, 8, array.handle()));
  char done[16] = "";
  GetEnvironmentVariableA("VORLAB_SIM_ATTACH_DONE", done, sizeof done);
  ok_eq_str("", done);  // the wait and the copy did not wait for the other family's load
  ok(init.Join(), "the load did not end");
  SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DELAY", nullptr);
  ok_eq_hex(0, init.result());
  GetEnvironmentVariableA("VORLAB_SIM_ATTACH_DONE", done, sizeof done);
  ok_eq_str("Lan_Cam", done);
  ok(HoldsPattern(array.elements(), 64, 7), "the copy is wrong");
}

// A slow SDK call of one camera (a release, a camera-memory read) while another camera of the
// same family waits, asks for status and copies.
TEST_CASE(slow_sdk_call_of_one_camera_does_not_stall_another) {
  struct Slow {
    int32_t family;
    const char* entry;
  };
  const Slow slows[] = {{1, "FREE_BUFFER"}, {3, "VOR_FreeBuffer"}, {3, "VOR_GetImage"}};
  for (const Slow& slow : slows) {
    WTEST_CONTEXT("%s", slow.entry);
    CameraRig rig("race_slow_call");
    if (!rig.loaded || !rig.Init(Cam(0x71), slow.family) || !rig.Init(Cam(0x72), slow.family)) return;
    rig.NewBuffer(Cam(0x71), 64);
    rig.NewBuffer(Cam(0x72), 64);
    SimApi sim = rig.Sim(slow.family);
    sim.FillBuffer(Cam(0x72), 0, 11, 1);
    sim.SetDelay(slow.entry, 1000);

    LvArray slowArray({32}, 2);
    AsyncCall call([&] {
      return slow.entry[4] == 'G' ? rig.host.api.GetImageFromCamRam(Cam(0x71), 0, 1, 0, 0, slowArray.handle())
                                  : rig.host.api.FreeBuffer(Cam(0x71), 0);
    });
    ok(WaitUntil([&] { return Entered(sim, slow.entry) == 1; }), "%s never started", slow.entry);

    int16_t number = -1;
    ok_eq_hex(0, rig.host.api.WaitForBuffers(Cam(0x72), &number, 5000));
    LvArray array({64}, 1);
    ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x72), 0, 8, 8, 8, array.handle()));
    ok_eq_int(0, sim.CallsReturned(slow.entry));  // camera B did not wait for camera A's slow call
    ok(HoldsPattern(array.elements(), 64, 11), "the copy is wrong");
    ok(call.Join(), "%s did not return", slow.entry);
    ok_eq_hex(0, call.result());
  }
}

// A cleanup while the camera's allocation is under way: the allocation finishes first, and its
// buffer goes back with the others instead of staying behind unregistered.
TEST_CASE(cleanup_during_an_allocation_gives_its_buffer_back) {
  CameraRig rig("race_alloc_cleanup");
  if (!rig.loaded || !rig.Init(Cam(0x81), 2)) return;
  HeldLibrary held(rig.host.PathOf(kTnCam));
  rig.NewBuffer(Cam(0x81), 64);
  SimApi sim = rig.Sim(2);
  sim.SetDelay("ALLOCATE_BUFFER", 300);
  int16_t number = -1;
  uint32_t event = 0;
  AsyncCall allocate([&] { return rig.host.api.AllocateBuffer(Cam(0x81), &number, 64, 0, &event); });
  ok(WaitUntil([&] { return sim.CallsEntered("ALLOCATE_BUFFER") == 2; }), "no allocation started");
  ok_eq_hex(0, rig.host.api.cleanup(Cam(0x81)));
  ok(allocate.Join(), "the allocation did not return");
  ok_eq_hex(0, allocate.result());
  ok_eq_int(1, number);
  ok_eq_int(0, sim.BufferCount());
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.cleanup(Cam(0x81)));
}
