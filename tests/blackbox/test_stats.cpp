// A camera's statistics against a known sequence of calls: buffers, frames, every way a wait
// ends, the highest pending, starved waits, copies and pages; their reset with each
// registration; and a loop slower than its camera counted as starved.
#include <windows.h>

#include "camera_rig.h"
#include "lv_array.h"
#include "plugin_api.h"

namespace {

struct Stats {
  uint64_t v[VOR_STAT_COUNT + 1];  // one more, to see that nothing is written past the count
};

Stats Read(const ModuleApi& api, void* hCam) {
  Stats s;
  for (uint64_t& value : s.v) value = 0xDEADBEEFull;
  ok_eq_hex(0, api.GetCameraStats(hCam, s.v, VOR_STAT_COUNT));
  ok(s.v[VOR_STAT_COUNT] == 0xDEADBEEFull, "written past the count");
  return s;
}

int16_t WaitEx(const ModuleApi& api, void* hCam, uint32_t expected, int32_t* pending, uint32_t timeoutMs = 1000) {
  int16_t number = -1;
  ok_eq_hex(expected, api.WaitForBuffersEx(hCam, &number, timeoutMs, pending, nullptr));
  return number;
}

void Requeue(const ModuleApi& api, void* hCam, int16_t number, uint32_t size) {
  uint32_t event = 0;
  ok_eq_hex(0, api.AllocateBuffer(hCam, &number, size, 0, &event));
}

}  // namespace

TEST_CASE(counters_follow_a_known_sequence) {
  CameraRig rig("stats_sequence");
  rig.host.AddStandIn("VOR_File.dll");
  if (!rig.loaded || !rig.Init(Cam(0x5A1), 3)) return;
  const ModuleApi& api = rig.host.api;
  SimApi sim = rig.Sim(3);
  void* cam = Cam(0x5A1);
  constexpr uint32_t kSize = 32 * 32 * 2;
  for (int i = 0; i < 3; ++i) rig.NewBuffer(cam, kSize);

  Stats s = Read(api, cam);
  ok_eq_int(3, s.v[VOR_STAT_BUFFERS]);
  ok_eq_int(3 * kSize, s.v[VOR_STAT_BUFFER_BYTES]);
  for (int i = VOR_STAT_FRAMES; i <= VOR_STAT_US_TO_LAST_FRAME; ++i) ok_eq_int(0, s.v[i]);

  // A frame with one of three buffers filled: not starved.
  sim.FillBuffer(cam, 1, 3, 1);
  int32_t pending = -1;
  const int16_t first = WaitEx(api, cam, 0, &pending);
  ok_eq_int(1, first);
  ok_eq_int(0, pending);
  // A time-out, a kept stop taken by the next wait, a status that says not filled.
  WaitEx(api, cam, VOR_ERR_TIMEOUT, nullptr, 0);
  ok_eq_hex(0, api.CancelWait(cam));
  WaitEx(api, cam, VOR_ERR_WAIT_CANCELLED, nullptr);
  sim.SetStatus(cam, 0, 0, 0);
  sim.Signal(cam, 0, 1);
  WaitEx(api, cam, VOR_ERR_BUFFER_NOT_FILLED, nullptr);

  s = Read(api, cam);
  ok_eq_int(1, s.v[VOR_STAT_FRAMES]);
  ok_eq_int(1, s.v[VOR_STAT_TIMEOUTS]);
  ok_eq_int(1, s.v[VOR_STAT_CANCELS]);
  ok_eq_int(1, s.v[VOR_STAT_OTHER_ENDS]);
  ok_eq_int(0, s.v[VOR_STAT_MAX_PENDING]);
  ok_eq_int(0, s.v[VOR_STAT_STARVED]);
  ok(s.v[VOR_STAT_US_TO_LAST_FRAME] > 0 && s.v[VOR_STAT_US_TO_LAST_FRAME] <= s.v[VOR_STAT_US_SINCE_INIT],
     "times: %llu to the frame, %llu since the registration", (unsigned long long)s.v[VOR_STAT_US_TO_LAST_FRAME],
     (unsigned long long)s.v[VOR_STAT_US_SINCE_INIT]);

  // Every buffer the camera holds filled: the wait reports the first, two pending, starved.
  for (int16_t n = 0; n < 3; ++n) Requeue(api, cam, n, kSize);
  for (int16_t n = 0; n < 3; ++n) sim.FillBuffer(cam, n, 9, 1);
  const int16_t head = WaitEx(api, cam, 0, &pending);
  ok_eq_int(2, pending);
  // The loop keeps the reported buffer: the camera holds two, both filled, and starves again.
  WaitEx(api, cam, 0, &pending);
  ok_eq_int(1, pending);
  // A wait without `pending` is not judged.
  WaitEx(api, cam, 0, nullptr);
  s = Read(api, cam);
  ok_eq_int(4, s.v[VOR_STAT_FRAMES]);
  ok_eq_int(2, s.v[VOR_STAT_MAX_PENDING]);
  ok_eq_int(2, s.v[VOR_STAT_STARVED]);

  // Copies that succeed count with their bytes; refused ones do not.
  LvArray array({32 * 32}, 2, 0);
  ok_eq_hex(0, api.GetImageFromBuffer(cam, head, 32, 32, 12, array.handle()));
  ok_eq_hex(0, api.GetImageExFromCamRam(cam, 0, 1, 1, head, 16, 16, 8, array.handle()));
  ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, api.GetImageFromBuffer(cam, head, 64, 64, 12, array.handle()));
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, api.GetImageFromBuffer(cam, 9, 8, 8, 8, array.handle()));
  // Pages pushed to the recording.
  ok_eq_hex(0, api.InitPushFile(cam, "stats_run", 32, 32, 12, 0, 10));
  ok_eq_hex(0, api.PushImageToFile(cam, head));
  ok_eq_hex(0, api.PushImageToFile(cam, head));
  ok_eq_hex(0, api.ClosePushFile(cam));
  s = Read(api, cam);
  ok_eq_int(2, s.v[VOR_STAT_COPIES]);
  ok_eq_int(kSize + 16 * 16, s.v[VOR_STAT_BYTES_COPIED]);
  ok_eq_int(2, s.v[VOR_STAT_PAGES_PUSHED]);

  // A shorter array gets the first counters only; a null one is refused unless it is empty.
  uint64_t two[3] = {7, 7, 7};
  ok_eq_hex(0, api.GetCameraStats(cam, two, 2));
  ok(two[0] == 3 && two[1] == 3 * kSize && two[2] == 7, "short array: %llu %llu %llu", (unsigned long long)two[0],
     (unsigned long long)two[1], (unsigned long long)two[2]);
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetCameraStats(cam, nullptr, 3));
  ok_eq_hex(0, api.GetCameraStats(cam, nullptr, 0));
  uint64_t untouched[2] = {7, 7};
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.GetCameraStats(Cam(0x5A9), untouched, 2));
  ok(untouched[0] == 7 && untouched[1] == 7, "written for an unknown camera");

  // Each registration starts again from 0; the buffers are the camera's, whoever registered it.
  ok_eq_hex(0, api.InitLibrary(cam, 3));
  s = Read(api, cam);
  ok_eq_int(3, s.v[VOR_STAT_BUFFERS]);
  for (int i = VOR_STAT_FRAMES; i <= VOR_STAT_US_TO_LAST_FRAME; ++i) ok_eq_int(0, s.v[i]);
  ok_eq_hex(0, api.cleanup(cam));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.GetCameraStats(cam, untouched, 2));
  if (!rig.Init(cam, 3)) return;
  s = Read(api, cam);
  ok_eq_int(0, s.v[VOR_STAT_BUFFERS]);
  ok_eq_int(0, s.v[VOR_STAT_FRAMES]);
}

// A camera at 200 frames per second with three buffers, and a loop that keeps the buffer it was
// given until its next wait returns (it shows one frame while the next arrives): when it needs
// 25 ms a frame, every wait finds both buffers the camera holds filled; with a camera at 20 it
// never does.
TEST_CASE(a_loop_slower_than_its_camera_is_starved) {
  CameraRig rig("stats_starved");
  if (!rig.loaded || !rig.Init(Cam(0x5B1), 1) || !rig.Init(Cam(0x5B2), 2)) return;
  const ModuleApi& api = rig.host.api;
  constexpr uint32_t kSize = 64 * 48;
  struct Loop {
    void* cam;
    int32_t family;
    uint32_t fps;
    DWORD workMs;
  };
  const Loop loops[] = {{Cam(0x5B1), 1, 200, 25}, {Cam(0x5B2), 2, 20, 0}};
  for (const Loop& loop : loops) {
    for (int i = 0; i < 3; ++i) rig.NewBuffer(loop.cam, kSize);
    SimApi sim = rig.Sim(loop.family);
    sim.SetAcquisitionMode(loop.cam, SIM_ACQ_QUEUE | SIM_ACQ_NO_PIXELS);
    ok_eq_int(0, sim.StartAcquisition(loop.cam, loop.fps, 64, 48, 8));
    int16_t shown = -1;
    for (int frame = 0; frame < 20; ++frame) {
      int32_t pending = 0;
      const int16_t number = WaitEx(api, loop.cam, 0, &pending, 2000);
      if (number < 0) break;
      if (shown >= 0) Requeue(api, loop.cam, shown, kSize);
      Sleep(loop.workMs);
      shown = number;
    }
    sim.StopAcquisition(loop.cam);
  }
  const Stats slow = Read(api, Cam(0x5B1));
  const Stats steady = Read(api, Cam(0x5B2));
  ok_eq_int(20, slow.v[VOR_STAT_FRAMES]);
  ok(slow.v[VOR_STAT_STARVED] >= 15, "the slow loop starved %llu times of 20",
     (unsigned long long)slow.v[VOR_STAT_STARVED]);
  // Two buffers the camera holds are filled at each wait; all three only when the first wait
  // starts more than two frame times (10 ms) after the start, which a loaded machine may do.
  ok(slow.v[VOR_STAT_MAX_PENDING] >= 1 && slow.v[VOR_STAT_MAX_PENDING] <= 2, "the slow loop saw %llu pending",
     (unsigned long long)slow.v[VOR_STAT_MAX_PENDING]);
  ok_eq_int(20, steady.v[VOR_STAT_FRAMES]);
  // The loop that keeps up finds a second buffer filled only when the system holds it up for a
  // whole frame time (50 ms): rare, but not impossible on a loaded machine.  (Its highest
  // pending is not checked: a first wait held up twice as long finds all three filled.)
  ok(steady.v[VOR_STAT_STARVED] <= 2, "the steady loop starved %llu times of 20",
     (unsigned long long)steady.v[VOR_STAT_STARVED]);
}

namespace {

struct CopyLoop {
  const ModuleApi* api;
  void* cam;
  int copies;
  HANDLE go;
};

DWORD WINAPI CopyMany(void* argument) {
  CopyLoop& loop = *static_cast<CopyLoop*>(argument);
  LvArray array({64}, 1, 0);
  WaitForSingleObject(loop.go, INFINITE);
  for (int i = 0; i < loop.copies; ++i) loop.api->GetImageFromBuffer(loop.cam, 0, 8, 8, 8, array.handle());
  return 0;
}

}  // namespace

// Copies of one camera from many threads at once, more threads than the counters have shards
// of their own: every copy is counted, once.
TEST_CASE(copies_from_many_threads_are_each_counted) {
  CameraRig rig("stats_threads");
  if (!rig.loaded || !rig.Init(Cam(0x5C1), 2)) return;
  rig.NewBuffer(Cam(0x5C1), 64);
  constexpr int kThreads = 80, kCopies = 500;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CopyLoop loop = {&rig.host.api, Cam(0x5C1), kCopies, go};
  HANDLE threads[kThreads];
  for (HANDLE& thread : threads) thread = CreateThread(nullptr, 0, CopyMany, &loop, 0, nullptr);
  SetEvent(go);
  for (int first = 0; first < kThreads; first += MAXIMUM_WAIT_OBJECTS) {
    const DWORD count = kThreads - first < MAXIMUM_WAIT_OBJECTS ? kThreads - first : MAXIMUM_WAIT_OBJECTS;
    WaitForMultipleObjects(count, threads + first, TRUE, 60000);
  }
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(go);
  const Stats s = Read(rig.host.api, Cam(0x5C1));
  ok_eq_int(kThreads * kCopies, s.v[VOR_STAT_COPIES]);
  ok_eq_int(kThreads * kCopies * 64, s.v[VOR_STAT_BYTES_COPIED]);
}
