// VWaitForBuffers through the real DLL and the stand-in SDKs.
#include <windows.h>

#include "camera_rig.h"
#include "lv_array.h"

namespace {

struct Waited {
  uint32_t result;
  int16_t number;
};

Waited Wait(CameraRig& rig, void* hCam, uint32_t timeoutMs) {
  Waited w{0, 0x7777};
  w.result = rig.host.api.WaitForBuffers(hCam, &w.number, timeoutMs);
  return w;
}

}  // namespace

TEST_CASE(unregistered_camera_leaves_the_output) {
  CameraRig rig("wait_unregistered");
  if (!rig.loaded || !rig.Init(Cam(0x1), 1)) return;
  const Waited w = Wait(rig, Cam(0x2), 0);
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, w.result);
  ok_eq_int(0x7777, w.number);
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, rig.host.api.WaitForBuffers(Cam(0x1), nullptr, 0));
}

TEST_CASE(no_buffers_fail_at_once_whatever_the_timeout) {
  CameraRig rig("wait_empty");
  if (!rig.loaded || !rig.Init(Cam(0x1), 2)) return;
  const DWORD start = GetTickCount();
  const Waited w = Wait(rig, Cam(0x1), 60000);
  ok(GetTickCount() - start < 30000, "waited on a camera without buffers");
  ok_eq_hex(VOR_ERR_TIMEOUT, w.result);
  ok_eq_int(-1, w.number);
}

TEST_CASE(timeout_waits_at_least_its_time) {
  CameraRig rig("wait_timeout");
  if (!rig.loaded || !rig.Init(Cam(0x1), 3)) return;
  rig.NewBuffer(Cam(0x1), 64);
  Waited w = Wait(rig, Cam(0x1), 0);
  ok_eq_hex(VOR_ERR_TIMEOUT, w.result);
  ok_eq_int(-1, w.number);
  const DWORD start = GetTickCount();
  w = Wait(rig, Cam(0x1), 250);
  ok(GetTickCount() - start >= 240, "returned after %lu ms of 250", GetTickCount() - start);
  ok_eq_hex(VOR_ERR_TIMEOUT, w.result);
}

TEST_CASE(filled_buffer_is_reported_for_each_family) {
  for (int32_t family = 1; family <= 3; ++family) {
    WTEST_CONTEXT("family %d", family);
    CameraRig rig("wait_filled");
    if (!rig.loaded || !rig.Init(Cam(0x5), family)) return;
    SimApi sim = rig.Sim(family);
    for (int i = 0; i < 3; ++i) rig.NewBuffer(Cam(0x5), 64);
    sim.FillBuffer(Cam(0x5), 1, 0, 1);
    Waited w = Wait(rig, Cam(0x5), 5000);
    ok_eq_hex(0, w.result);
    ok_eq_int(1, w.number);
    // Several signalled: the newest buffer record wins.
    sim.FillBuffer(Cam(0x5), 0, 0, 1);
    sim.FillBuffer(Cam(0x5), 2, 0, 1);
    w = Wait(rig, Cam(0x5), 5000);
    ok_eq_int(2, w.number);
    if (family != 3) {
      const std::vector<std::string> status = sim.Calls("GETBUFFER_STATUS");
      if (ok(!status.empty(), "no status call")) ok_eq_str("GETBUFFER_STATUS h=5 n=2 mode=0 len=12 -> 0", status.back());
    } else {
      const std::vector<std::string> status = sim.Calls("VOR_GetBufferStatus");
      if (ok(!status.empty(), "no status call")) ok_eq_str("VOR_GetBufferStatus h=5 n=2 -> 0", status.back());
    }
  }
}

TEST_CASE(other_cameras_buffers_are_not_reported) {
  CameraRig rig("wait_two_cameras");
  if (!rig.loaded || !rig.Init(Cam(0xA), 1) || !rig.Init(Cam(0xB), 1)) return;
  SimApi sim = rig.Sim(1);
  rig.NewBuffer(Cam(0xA), 64);
  rig.NewBuffer(Cam(0xB), 64);
  rig.NewBuffer(Cam(0xB), 64);
  sim.FillBuffer(Cam(0xB), 1, 0, 1);
  ok_eq_hex(VOR_ERR_TIMEOUT, Wait(rig, Cam(0xA), 0).result);
  const Waited w = Wait(rig, Cam(0xB), 0);
  ok_eq_hex(0, w.result);
  ok_eq_int(1, w.number);
}

TEST_CASE(status_words_decide_families_1_and_2) {
  struct Word { uint32_t status; uint32_t result; };
  const Word words[] = {{0x0002, 0}, {0x0FF2, 0}, {0x0003, VOR_ERR_BUFFER_NOT_FILLED}, {0x1002, VOR_ERR_BUFFER_NOT_FILLED}, {0, VOR_ERR_BUFFER_NOT_FILLED}};
  for (int32_t family = 1; family <= 2; ++family) {
    WTEST_CONTEXT("family %d", family);
    CameraRig rig("wait_status");
    if (!rig.loaded || !rig.Init(Cam(0x7), family)) return;
    SimApi sim = rig.Sim(family);
    rig.NewBuffer(Cam(0x7), 64);
    sim.Signal(Cam(0x7), 0, 1);
    for (const Word& word : words) {
      WTEST_CONTEXT("status 0x%x", word.status);
      sim.SetStatus(Cam(0x7), 0, word.status, 0);
      const Waited w = Wait(rig, Cam(0x7), 0);
      ok(w.result == word.result, "family %d, status 0x%x: got 0x%x", family, word.status, w.result);
      ok_eq_int(0, w.number);  // the failing buffer is named too
    }
    // A status call that fails leaves the zeroed area: not filled.
    sim.SetStatus(Cam(0x7), 0, 2, 0);
    sim.Fail("GETBUFFER_STATUS", 0x80000001, 1, 0);
    ok_eq_hex(VOR_ERR_BUFFER_NOT_FILLED, Wait(rig, Cam(0x7), 0).result);
  }
}

TEST_CASE(qd4_driver_status_and_filled_bit) {
  CameraRig rig("wait_qd4");
  if (!rig.loaded || !rig.Init(Cam(0x8), 3)) return;
  SimApi sim = rig.Sim(3);
  rig.NewBuffer(Cam(0x8), 64);
  sim.Signal(Cam(0x8), 0, 1);
  sim.SetStatus(Cam(0x8), 0, 0x8000, 0x80042222);
  Waited w = Wait(rig, Cam(0x8), 0);
  ok_eq_hex(0x80042222, w.result);
  ok_eq_int(0, w.number);
  sim.SetStatus(Cam(0x8), 0, 0x7FFF, 0);
  ok_eq_hex(VOR_ERR_BUFFER_NOT_FILLED, Wait(rig, Cam(0x8), 0).result);
  sim.SetStatus(Cam(0x8), 0, 0x8000, 0);
  ok_eq_hex(0, Wait(rig, Cam(0x8), 0).result);
}

namespace {

struct Busy {
  CameraRig* rig;
  volatile LONG stop;
  LONG calls;
};

// Allocates, copies and frees on a camera of its own while another thread waits.
DWORD WINAPI KeepBusy(void* argument) {
  Busy& b = *static_cast<Busy*>(argument);
  LvArray array({64}, 1);
  while (!b.stop) {
    int16_t number = -1;
    uint32_t event = 0;
    if (b.rig->host.api.AllocateBuffer(Cam(0xC2), &number, 64, 0, &event) == 0) {
      b.rig->host.api.GetImageFromBuffer(Cam(0xC2), number, 8, 8, 8, array.handle());
      b.rig->host.api.FreeBuffer(Cam(0xC2), number);
    }
    InterlockedIncrement(&b.calls);
  }
  return 0;
}

}  // namespace

TEST_CASE(waiting_does_not_block_other_threads) {
  CameraRig rig("wait_threads");
  if (!rig.loaded || !rig.Init(Cam(0xC1), 2) || !rig.Init(Cam(0xC2), 2)) return;
  rig.NewBuffer(Cam(0xC1), 64);
  rig.NewBuffer(Cam(0xC1), 64);
  Busy busy{&rig, 0, 0};
  HANDLE threads[2];
  for (HANDLE& thread : threads) thread = CreateThread(nullptr, 0, KeepBusy, &busy, 0, nullptr);
  // While this thread waits 300 ms, the others keep calling.
  const LONG before = busy.calls;
  ok_eq_hex(VOR_ERR_TIMEOUT, Wait(rig, Cam(0xC1), 300).result);
  ok(busy.calls - before > 10, "only %ld calls on other threads during the wait", busy.calls - before);
  // A buffer filled meanwhile is reported.
  rig.Sim(2).FillBuffer(Cam(0xC1), 0, 0, 1);
  const Waited w = Wait(rig, Cam(0xC1), 5000);
  ok_eq_hex(0, w.result);
  ok_eq_int(0, w.number);
  busy.stop = 1;
  WaitForMultipleObjects(2, threads, TRUE, 30000);
  for (HANDLE thread : threads) CloseHandle(thread);
  ok_eq_hex(0, rig.host.api.cleanup(Cam(0xC2)));
}
