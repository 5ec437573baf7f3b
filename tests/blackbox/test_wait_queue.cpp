// Waits that LabVIEW can stop, frames in the order the camera filled them, and waits on more
// buffers than one system wait can hold, through the real DLL with this program as LabVIEW.
#include <windows.h>

#include "camera_rig.h"
#include "process_usage.h"
#include "race_tools.h"

namespace {

struct Waited {
  uint32_t result;
  int16_t number;
  int32_t pending;
};

Waited WaitEx(CameraRig& rig, void* hCam, uint32_t timeoutMs, void** instance = nullptr) {
  Waited w{0, 0x7777, 0x7777};
  w.result = rig.host.api.WaitForBuffersEx(hCam, &w.number, timeoutMs, &w.pending, instance);
  return w;
}

Waited Wait(CameraRig& rig, void* hCam, uint32_t timeoutMs) {
  Waited w{0, 0x7777, 0};
  w.result = rig.host.api.WaitForBuffers(hCam, &w.number, timeoutMs);
  return w;
}

uint32_t Requeue(CameraRig& rig, void* hCam, int16_t number, uint32_t size) {
  uint32_t event = 0;
  return rig.host.api.AllocateBuffer(hCam, &number, size, 0, &event);
}

}  // namespace

// LabVIEW's callbacks: Reserve when the VI starts, the node's wait, Abort from another thread,
// Unreserve when the VI stops.  Repeated, nothing grows.
TEST_CASE(abort_ends_a_wait_without_limit) {
  CameraRig rig("wait_abort");
  if (!rig.loaded || !rig.Init(Cam(0x21), 2)) return;
  rig.NewBuffer(Cam(0x21), 64);
  const ModuleApi& api = rig.host.api;

  auto cycle = [&](bool check) {
    void* cell = nullptr;
    api.Reserve(&cell);
    if (check) ok(cell != nullptr, "Reserve left the cell empty");
    Waited w{0, 0x7777, 0x7777};
    AsyncCall wait([&] { return api.WaitForBuffersEx(Cam(0x21), &w.number, VOR_WAIT_FOREVER, &w.pending, &cell); });
    Sleep(check ? 50 : 2);
    const ULONGLONG start = GetTickCount64();
    api.Abort(&cell);
    const bool returned = wait.Join(5000);
    const ULONGLONG took = GetTickCount64() - start;
    api.Unreserve(&cell);
    if (check) {
      ok(returned && took < 100, "the wait took %llu ms to end after the abort", took);
      ok_eq_hex(VOR_ERR_WAIT_CANCELLED, wait.result());
      ok_eq_int(-1, w.number);
      ok_eq_int(0, w.pending);
      ok(cell == nullptr, "Unreserve left the cell set");
    }
    return returned && wait.result() == VOR_ERR_WAIT_CANCELLED;
  };
  cycle(true);
  // Null cells and repeated calls are harmless; a wait without instance data is not aborted.
  void* empty = nullptr;
  ok_eq_int(0, api.Reserve(nullptr));
  ok_eq_int(0, api.Abort(nullptr));
  ok_eq_int(0, api.Abort(&empty));
  ok_eq_int(0, api.Unreserve(&empty));
  ok_eq_int(0, api.Unreserve(nullptr));
  void* twice = nullptr;
  api.Reserve(&twice);
  void* first = twice;
  api.Reserve(&twice);
  ok(twice == first, "a second Reserve replaced the instance data");
  api.Unreserve(&twice);
  api.Unreserve(&twice);
  ok_eq_hex(VOR_ERR_TIMEOUT, WaitEx(rig, Cam(0x21), 0, &empty).result);

  const ProcessUsage before = MeasureProcessUsage();
  int ended = 0;
  for (int i = 0; i < 1000; ++i) ended += cycle(false) ? 1 : 0;
  const ProcessUsage after = MeasureProcessUsage();
  ok_eq_int(1000, ended);
  ok(after.nextHandle <= before.nextHandle + 8 * 4, "new handles went from %#llx to %#llx",
     static_cast<unsigned long long>(before.nextHandle), static_cast<unsigned long long>(after.nextHandle));
  ok(after.heapBytes <= before.heapBytes + 64 * 1024, "heap bytes in use grew by %lld",
     static_cast<long long>(after.heapBytes - before.heapBytes));
}

// The stop button of a parallel loop: VCancelWait ends the waits of its camera, both exports,
// and only those in progress.  Vcleanup does the same before it releases anything.
TEST_CASE(cancel_and_cleanup_end_waits_in_progress) {
  CameraRig rig("wait_cancel");
  if (!rig.loaded || !rig.Init(Cam(0x22), 1) || !rig.Init(Cam(0x23), 1)) return;
  rig.NewBuffer(Cam(0x22), 64);
  rig.NewBuffer(Cam(0x23), 64);
  const ModuleApi& api = rig.host.api;

  Waited plain{0, 0x7777, 0}, ex{0, 0x7777, 0x7777}, other{0, 0x7777, 0};
  {
    AsyncCall waitPlain([&] { return api.WaitForBuffers(Cam(0x22), &plain.number, VOR_WAIT_FOREVER); });
    AsyncCall waitEx([&] { return api.WaitForBuffersEx(Cam(0x22), &ex.number, VOR_WAIT_FOREVER, &ex.pending, nullptr); });
    AsyncCall waitOther([&] { return api.WaitForBuffers(Cam(0x23), &other.number, 1500); });
    Sleep(100);
    ok_eq_hex(0, api.CancelWait(Cam(0x22)));
    ok(waitPlain.Join(2000) && waitEx.Join(2000), "the cancelled waits did not end");
    ok_eq_hex(VOR_ERR_WAIT_CANCELLED, waitPlain.result());
    ok_eq_hex(VOR_ERR_WAIT_CANCELLED, waitEx.result());
    ok_eq_int(-1, plain.number);
    ok_eq_int(-1, ex.number);
    ok(!waitOther.Done(), "another camera's wait was cancelled");
    ok(waitOther.Join(), "the other wait did not end");
    ok_eq_hex(VOR_ERR_TIMEOUT, waitOther.result());
  }
  // Exactly as many buffers as one system wait holds: the cancel still ends the wait at once.
  {
    for (int i = 0; i < 63; ++i) rig.NewBuffer(Cam(0x23), 16);  // 64 with the one it has
    Waited w{0, 0x7777, 0};
    AsyncCall wait([&] { return api.WaitForBuffers(Cam(0x23), &w.number, VOR_WAIT_FOREVER); });
    Sleep(100);
    const ULONGLONG start = GetTickCount64();
    ok_eq_hex(0, api.CancelWait(Cam(0x23)));
    ok(wait.Join(2000) && GetTickCount64() - start < 100, "a wait on 64 buffers took %llu ms to end",
       GetTickCount64() - start);
    ok_eq_hex(VOR_ERR_WAIT_CANCELLED, wait.result());
    for (int i = 1; i < 64; ++i) api.FreeBuffer(Cam(0x23), i);
  }
  // A wait that starts after the cancel is not affected.
  ok_eq_hex(VOR_ERR_TIMEOUT, Wait(rig, Cam(0x22), 50).result);
  rig.Sim(1).FillBuffer(Cam(0x22), 0, 1, 1);
  ok_eq_hex(0, Wait(rig, Cam(0x22), 1000).result);
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.CancelWait(Cam(0x99)));

  // Vcleanup ends the waits in progress, then a new wait finds no camera.
  {
    Waited w{0, 0x7777, 0};
    AsyncCall wait([&] { return api.WaitForBuffers(Cam(0x23), &w.number, VOR_WAIT_FOREVER); });
    Sleep(100);
    ok_eq_hex(0, api.cleanup(Cam(0x23)));
    ok(wait.Join(2000), "the wait outlived the cleanup");
    ok_eq_hex(VOR_ERR_WAIT_CANCELLED, wait.result());
    ok_eq_int(-1, w.number);
  }
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, Wait(rig, Cam(0x23), 0).result);
}

// A loop that lags: the camera fills 8 buffers in the order they were handed to it while the
// loop sleeps; the loop gets them in that order, and sees how many are still waiting.
TEST_CASE(lagging_loop_gets_frames_in_queue_order) {
  CameraRig rig("wait_queue");
  if (!rig.loaded || !rig.Init(Cam(0x24), 3)) return;
  SimApi sim = rig.Sim(3);
  const uint32_t size = 32 * 32;
  int16_t numbers[8];
  for (int16_t& number : numbers) number = rig.NewBuffer(Cam(0x24), size);
  // Handed to the camera again out of number order: 5, 2, 7, 0, 3, 6, 1, 4.
  const int16_t order[8] = {5, 2, 7, 0, 3, 6, 1, 4};
  for (int16_t n : order) ok_eq_hex(0, Requeue(rig, Cam(0x24), n, size));
  sim.SetAcquisitionMode(Cam(0x24), SIM_ACQ_QUEUE);
  sim.StartAcquisition(Cam(0x24), 200, 32, 32, 8);
  ok(WaitUntil([&] { return sim.FramesDelivered(Cam(0x24)) == 8; }), "the camera did not fill 8 buffers");
  sim.StopAcquisition(Cam(0x24));  // the loop's hand-backs stay unfilled until the second round

  for (int k = 0; k < 8; ++k) {
    WTEST_CONTEXT("frame %d", k);
    const Waited w = WaitEx(rig, Cam(0x24), 1000);
    ok_eq_hex(0, w.result);
    ok_eq_int(order[k], w.number);
    ok_eq_int(7 - k, w.pending);
    // Handed back: to the back of the queue.  The camera fills it again, after the others.
    ok_eq_hex(0, Requeue(rig, Cam(0x24), w.number, size));
  }
  sim.StartAcquisition(Cam(0x24), 200, 32, 32, 8);
  for (int k = 0; k < 8; ++k) {
    WTEST_CONTEXT("second round, frame %d", k);
    const Waited w = WaitEx(rig, Cam(0x24), 2000);
    ok_eq_hex(0, w.result);
    ok_eq_int(order[k], w.number);
    Requeue(rig, Cam(0x24), w.number, size);
  }
  sim.StopAcquisition(Cam(0x24));
  // A null pending costs nothing and changes nothing.
  int16_t number = -1;
  ok_eq_hex(VOR_ERR_TIMEOUT, rig.host.api.WaitForBuffersEx(Cam(0x24), &number, 0, nullptr, nullptr));
}

// More buffers than one system wait holds: both exports report a filled buffer (the newest
// record's for VWaitForBuffers, the earliest handed over for VWaitForBuffersEx), and time out
// only when nothing was filled.
TEST_CASE(any_number_of_buffers) {
  const int counts[] = {65, 256, 1024};
  for (int count : counts) {
    WTEST_CONTEXT("%d buffers", count);
    CameraRig rig("wait_many");
    if (!rig.loaded || !rig.Init(Cam(0x25), 2)) return;
    SimApi sim = rig.Sim(2);
    for (int i = 0; i < count; ++i) rig.NewBuffer(Cam(0x25), 16);
    ok_eq_hex(VOR_ERR_TIMEOUT, Wait(rig, Cam(0x25), 0).result);
    ok_eq_hex(VOR_ERR_TIMEOUT, WaitEx(rig, Cam(0x25), 30).result);

    // Buffers far from the earliest handed over, and one of them early.
    const int16_t filled[3] = {static_cast<int16_t>(count / 2), static_cast<int16_t>(count - 1), 3};
    for (int16_t n : filled) sim.FillBuffer(Cam(0x25), n, 0, 1);
    Waited w = Wait(rig, Cam(0x25), 1000);
    ok_eq_hex(0, w.result);
    ok_eq_int(count - 1, w.number);  // the newest record
    w = WaitEx(rig, Cam(0x25), 1000);
    ok_eq_hex(0, w.result);
    ok_eq_int(3, w.number);  // the earliest handed over
    ok_eq_int(2, w.pending);

    // One signalled while the wait blocks, far outside the buffers watched first.
    for (int16_t n : filled) sim.Signal(Cam(0x25), n, 0);
    {
      Waited late{0, 0x7777, 0x7777};
      AsyncCall wait([&] { return rig.host.api.WaitForBuffersEx(Cam(0x25), &late.number, 5000, &late.pending, nullptr); });
      Sleep(50);
      sim.Signal(Cam(0x25), count / 2, 1);
      ok(wait.Join(), "the wait did not end");
      ok_eq_hex(0, wait.result());
      ok_eq_int(count / 2, late.number);
      ok_eq_int(0, late.pending);
    }
    ok_eq_hex(0, rig.host.api.cleanup(Cam(0x25)));
  }
}
