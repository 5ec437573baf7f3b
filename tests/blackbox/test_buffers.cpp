// VAllocateBuffer, VFreeBuffer and Vcleanup through the real DLL and the stand-in SDKs.
#include <windows.h>

#include "camera_rig.h"
#include "lv_array.h"

namespace {


bool Signalled(uint32_t event) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event)), 0) == WAIT_OBJECT_0;
}

}  // namespace

TEST_CASE(new_buffers_register_address_size_and_event) {
  for (int32_t family = 1; family <= 3; ++family) {
    WTEST_CONTEXT("family %d", family);
    CameraRig rig("alloc_new");
    if (!rig.loaded || !rig.Init(Cam(0x10), family)) return;
    SimApi sim = rig.Sim(family);
    for (int16_t expected = 0; expected < 3; ++expected) {
      int16_t number = -1;
      uint32_t event = 0;
      ok_eq_hex(0, rig.host.api.AllocateBuffer(Cam(0x10), &number, 1000 + expected, 0x5A5A, &event));
      ok_eq_int(expected, number);
      ok_eq_hex(sim.BufferEvent(Cam(0x10), number), event);
      ok(!Signalled(event), "family %d: the new buffer's event is signalled", family);
    }
    // The registered address is the SDK's: a copy reads the SDK's memory.
    sim.FillBuffer(Cam(0x10), 1, 3, 0);
    LvArray array({1001}, 1);
    ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x10), 1, 1001, 1, 8, array.handle()));
    ok(memcmp(array.elements(), sim.BufferAddress(Cam(0x10), 1), 1001) == 0, "family %d: copy is not the buffer",
       family);
    ok_eq_int(0, ModuleHost::Boxes().size());
  }
}

TEST_CASE(lanticam_maps_a_buffer_without_address) {
  CameraRig rig("alloc_map");
  if (!rig.loaded || !rig.Init(Cam(0x20), 1)) return;
  SimApi sim = rig.Sim(1);
  rig.NewBuffer(Cam(0x20), 512);
  ok_eq_int(0, sim.Calls("MAP_BUFFER").size());
  sim.SetNullAddress("ALLOCATE_BUFFER_EX", 1);
  const int16_t mapped = rig.NewBuffer(Cam(0x20), 256);
  ok_eq_int(1, mapped);
  const std::vector<std::string> maps = sim.Calls("MAP_BUFFER");
  if (ok_eq_int(1, maps.size())) ok_eq_str("MAP_BUFFER h=20 n=1 size=256 zero=0 -> 0", maps[0]);
  sim.FillBuffer(Cam(0x20), 1, 9, 0);
  LvArray array({256}, 1);
  ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x20), 1, 16, 16, 8, array.handle()));
  ok(memcmp(array.elements(), sim.BufferAddress(Cam(0x20), 1), 256) == 0, "the mapped address is not registered");
}

TEST_CASE(tornio_skips_the_event_of_an_unmapped_buffer) {
  CameraRig rig("alloc_tornio");
  if (!rig.loaded || !rig.Init(Cam(0x30), 2)) return;
  SimApi sim = rig.Sim(2);
  sim.SetNullAddress("MAP_BUFFER", 1);
  int16_t number = -1;
  uint32_t event = 0x1234;
  ok_eq_hex(0, rig.host.api.AllocateBuffer(Cam(0x30), &number, 128, 0, &event));
  ok_eq_int(0, number);
  ok_eq_hex(0x1234, event);
  ok_eq_int(0, sim.Calls("SETBUFFER_EVENT").size());
  // Registered with a null address: nothing to copy from.
  LvArray array({128}, 1);
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, rig.host.api.GetImageFromBuffer(Cam(0x30), 0, 128, 1, 8, array.handle()));
  ok(array.Untouched(), "the array was written");
}

TEST_CASE(allocating_again_reuses_the_record) {
  for (int32_t family = 1; family <= 3; ++family) {
    WTEST_CONTEXT("family %d", family);
    CameraRig rig("alloc_again");
    if (!rig.loaded || !rig.Init(Cam(0x40), family)) return;
    SimApi sim = rig.Sim(family);
    uint32_t event = 0;
    const int16_t number = rig.NewBuffer(Cam(0x40), 300, &event);
    const uintptr_t address = reinterpret_cast<uintptr_t>(sim.BufferAddress(Cam(0x40), number));
    sim.FillBuffer(Cam(0x40), number, 1, 1);
    ok(Signalled(event), "family %d: the fill did not signal", family);
    sim.TraceClear();

    int16_t again = number;
    uint32_t passedEvent = 0;
    ok_eq_hex(0, rig.host.api.AllocateBuffer(Cam(0x40), &again, 300, 0, &passedEvent));
    ok_eq_int(number, again);
    ok_eq_hex(event, passedEvent);
    ok(!Signalled(event), "family %d: re-allocation did not reset the event", family);
    // The stored event and address went to the SDK.
    const std::vector<std::string> trace = sim.Trace();
    if (family == 1 && ok_eq_int(1, trace.size())) {
      ok_eq_str(wtest::Format("ALLOCATE_BUFFER_EX h=40 n=0 size=300 event=%x addr=%llx -> 0", event,
                              static_cast<unsigned long long>(address)),
                trace[0]);
    }
    if (family == 2 && ok_eq_int(2, trace.size())) {
      ok_eq_str("ALLOCATE_BUFFER h=40 n=0 size=300 -> 0", trace[0]);
      ok_eq_str(wtest::Format("SETBUFFER_EVENT h=40 n=0 event=%x -> 0", event), trace[1]);
    }
    if (family == 3 && ok_eq_int(1, trace.size())) {
      ok_eq_str(wtest::Format("VOR_AllocateBuffer h=40 n=0 size=300 addr=%llx event=%x -> 0",
                              static_cast<unsigned long long>(address), event),
                trace[0]);
    }
    // Still one buffer record: a second free finds nothing.
    ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x40), number));
    sim.TraceClear();
    ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x40), number));
    ok_eq_int(0, sim.Trace().size());
  }
}

TEST_CASE(refusals_call_no_sdk_function) {
  CameraRig rig("alloc_refuse");
  if (!rig.loaded || !rig.Init(Cam(0x50), 1) || !rig.Init(Cam(0x51), 7)) return;
  SimApi sim = rig.Sim(1);
  int16_t number = -1;
  uint32_t event = 0x7777;
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, rig.host.api.AllocateBuffer(Cam(0x50), nullptr, 64, 0, &event));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, rig.host.api.AllocateBuffer(Cam(0x50), &number, 64, 0, nullptr));
  number = 5;  // a number the camera does not have
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, rig.host.api.AllocateBuffer(Cam(0x50), &number, 64, 0, &event));
  ok_eq_int(5, number);
  ok_eq_hex(0x7777, event);
  number = -1;
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.AllocateBuffer(Cam(0x99), &number, 64, 0, &event));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.AllocateBuffer(Cam(0x51), &number, 64, 0, &event));
  ok_eq_int(-1, number);
  ok_eq_hex(0x7777, event);
  ok_eq_int(0, sim.Trace().size());
  ok_eq_int(0, ModuleHost::Boxes().size());
}

TEST_CASE(sdk_allocation_failure_shows_box_and_registers_nothing) {
  struct Failure { int32_t family; const char* entry; int16_t shownNumber; };
  const Failure failures[] = {
      {1, "ALLOCATE_BUFFER_EX", -1},
      {1, "MAP_BUFFER", 0},       // number already rewritten by the allocation
      {2, "ALLOCATE_BUFFER", -1},
      {2, "MAP_BUFFER", 0},
      {2, "SETBUFFER_EVENT", 0},
      {3, "VOR_AllocateBuffer", -1},
  };
  for (const Failure& f : failures) {
    WTEST_CONTEXT("%s failing", f.entry);
    CameraRig rig("alloc_fail");
    if (!rig.loaded || !rig.Init(Cam(0x60), f.family)) return;
    SimApi sim = rig.Sim(f.family);
    if (f.family == 1 && strcmp(f.entry, "MAP_BUFFER") == 0) sim.SetNullAddress("ALLOCATE_BUFFER_EX", 1);
    sim.Fail(f.entry, 0x80001234, 1, 0);
    int16_t number = -1;
    uint32_t event = 0;
    ok_eq_hex(0x80001234, rig.host.api.AllocateBuffer(Cam(0x60), &number, 4096, 0, &event));
    ok_eq_int(f.shownNumber, number);
    CheckOneErrorBox(wtest::Format("allocatebuffer error :80001234, \nsize: 4096 \nbufNr: %d\r\n", f.shownNumber).c_str());
    // Not registered: the camera has no buffer to wait on.
    int16_t waited = 0x7777;
    ok_eq_hex(VOR_ERR_TIMEOUT, rig.host.api.WaitForBuffers(Cam(0x60), &waited, 0));
  }
}

TEST_CASE(free_buffer_releases_through_the_family) {
  CameraRig rig("free");
  if (!rig.loaded || !rig.Init(Cam(0x70), 1) || !rig.Init(Cam(0x71), 3)) return;
  SimApi lan = rig.Sim(1);
  SimApi qd4 = rig.Sim(3);
  rig.NewBuffer(Cam(0x70), 64);
  rig.NewBuffer(Cam(0x71), 64);
  lan.TraceClear();
  ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x70), 0));
  const std::vector<std::string> trace = lan.Trace();
  if (ok_eq_int(2, trace.size())) {
    ok_eq_str("UNMAP_BUFFER h=70 n=0 -> 0", trace[0]);
    ok_eq_str("FREE_BUFFER h=70 n=0 -> 0", trace[1]);
  }
  ok_eq_int(0, lan.BufferCount());
  // Numbers without a buffer, and the registration's -1: nothing to free.
  ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x70), 0));
  ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x70), -1));
  ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x70), 40000));
  ok_eq_int(2, lan.Trace().size());
  // A failing SDK free is passed on, and the buffer is forgotten anyway.
  qd4.Fail("VOR_FreeBuffer", 0x80005555, 1, 0);
  ok_eq_hex(0x80005555, rig.host.api.FreeBuffer(Cam(0x71), 0));
  qd4.TraceClear();
  ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x71), 0));
  ok_eq_int(0, qd4.Trace().size());
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.FreeBuffer(Cam(0x72), 0));
}

TEST_CASE(free_and_cleanup_without_any_library) {
  ModuleHost host("free_unbound");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x80), 9));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.FreeBuffer(Cam(0x80), 0));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.cleanup(Cam(0x80)));
}

TEST_CASE(cleanup_releases_every_buffer_lowest_first) {
  CameraRig rig("cleanup_all");
  if (!rig.loaded || !rig.Init(Cam(0x90), 2)) return;
  SimApi sim = rig.Sim(2);
  for (int i = 0; i < 4; ++i) rig.NewBuffer(Cam(0x90), 64);
  ok_eq_hex(0, rig.host.api.FreeBuffer(Cam(0x90), 2));
  sim.TraceClear();
  // Our own reference keeps the trace readable after the cleanup's release.
  HMODULE held = LoadLibraryA(rig.host.PathOf(kTnCam).c_str());
  // Buffers 0, 1 and 3: the one above the gap goes back to the SDK too.
  ok_eq_hex(0, rig.host.api.cleanup(Cam(0x90)));
  const std::vector<std::string> frees = sim.Calls("FREE_BUFFER");
  if (ok_eq_int(3, frees.size())) {
    ok_eq_str("FREE_BUFFER h=90 n=0 -> 0", frees[0]);
    ok_eq_str("FREE_BUFFER h=90 n=1 -> 0", frees[1]);
    ok_eq_str("FREE_BUFFER h=90 n=3 -> 0", frees[2]);
  }
  ok_eq_int(3, sim.Calls("UNMAP_BUFFER").size());
  FreeLibrary(held);
  ok(!rig.host.IsLoaded(kTnCam), "the last Tornio camera's cleanup left the library loaded");
  // Camera forgotten until it is initialised again.
  int16_t number = -1;
  uint32_t event = 0;
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.AllocateBuffer(Cam(0x90), &number, 64, 0, &event));
  if (rig.Init(Cam(0x90), 2)) ok_eq_int(0, rig.NewBuffer(Cam(0x90), 64));
}

TEST_CASE(cleanup_reports_the_first_failed_release) {
  CameraRig rig("cleanup_fail");
  if (!rig.loaded || !rig.Init(Cam(0xA0), 3)) return;
  SimApi sim = rig.Sim(3);
  for (int i = 0; i < 3; ++i) rig.NewBuffer(Cam(0xA0), 64);
  sim.Fail("VOR_FreeBuffer", 0x80000111, 2, 0);  // the second release fails, the third succeeds
  HMODULE held = LoadLibraryA(rig.host.PathOf(kQd4Cam).c_str());
  ok_eq_hex(0x80000111, rig.host.api.cleanup(Cam(0xA0)));
  ok_eq_int(3, sim.Calls("VOR_FreeBuffer").size());
  FreeLibrary(held);
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.cleanup(Cam(0xA0)));
}

TEST_CASE(library_released_with_the_last_camera_of_its_family) {
  CameraRig rig("cleanup_two");
  if (!rig.loaded || !rig.Init(Cam(0xB0), 1) || !rig.Init(Cam(0xB1), 1) || !rig.Init(Cam(0xB2), 2)) return;
  rig.NewBuffer(Cam(0xB1), 64);
  ok_eq_hex(0, rig.host.api.cleanup(Cam(0xB0)));
  ok(rig.host.IsLoaded(kLanCam), "released while another Lanticam camera is registered");
  ok_eq_hex(0, rig.host.api.cleanup(Cam(0xB1)));
  // Two loads, one release: exactly one reference is left, and dropping it unloads.
  HMODULE left = GetModuleHandleA(rig.host.PathOf(kLanCam).c_str());
  ok(left != nullptr, "released more often than loaded");
  if (left != nullptr) FreeLibrary(left);
  ok(!rig.host.IsLoaded(kLanCam), "not released with the last Lanticam camera");
  ok(rig.host.IsLoaded(kTnCam), "the Tornio library went with the Lanticam cameras");
}

// Allocating a buffer again with another size: the SDK may move a grown buffer, so the record
// must follow it, and a copy of the whole new size reads the buffer's real memory.
TEST_CASE(allocating_again_with_another_size_follows_the_buffer) {
  struct Case {
    int32_t family;
    bool nullAddress;  // Lanticam's allocation leaves the address to MAP_BUFFER
  };
  const Case cases[] = {{1, false}, {1, true}, {2, false}, {3, false}};
  for (const Case& c : cases) {
    WTEST_CONTEXT("family %d, address from MAP_BUFFER %d", c.family, c.nullAddress);
    CameraRig rig("alloc_resize");
    if (!rig.loaded || !rig.Init(Cam(0x44), c.family)) return;
    SimApi sim = rig.Sim(c.family);
    if (c.nullAddress) sim.SetNullAddress("ALLOCATE_BUFFER_EX", 1);
    const int16_t number = rig.NewBuffer(Cam(0x44), 1 << 20);
    int16_t again = number;
    uint32_t event = 0;
    const uint32_t grown = 3 << 20;
    ok_eq_hex(0, rig.host.api.AllocateBuffer(Cam(0x44), &again, grown, 0, &event));
    ok_eq_int(grown, sim.BufferSize(Cam(0x44), number));
    sim.FillBuffer(Cam(0x44), number, 21, 0);
    LvArray array({1024 * 1536}, 2, 64);
    ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x44), number, 1024, 1536, 16, array.handle()));
    bool same = true;
    for (size_t i = 0; i < grown && same; ++i) same = array.elements()[i] == SimPatternByte(21, i);
    ok(same, "the copy did not read the grown buffer");
    // Smaller again: the SDK keeps the buffer; copies are bounded by the new size.
    ok_eq_hex(0, rig.host.api.AllocateBuffer(Cam(0x44), &again, 1024, 0, &event));
    ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, rig.host.api.GetImageFromBuffer(Cam(0x44), number, 64, 32, 8, array.handle()));
    ok_eq_hex(0, rig.host.api.GetImageFromBuffer(Cam(0x44), number, 32, 32, 8, array.handle()));
  }
}
