// Waits while other loops free, re-allocate and clean up the buffers they wait on, and the
// queue order of frames when several loops wait and hand buffers back at once.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "camera_rig.h"
#include "lv_array.h"
#include "race_tools.h"

namespace {

enum Export { kPlain, kEx };
const Export kExports[] = {kPlain, kEx};
const char* NameOf(Export how) { return how == kPlain ? "VWaitForBuffers" : "VWaitForBuffersEx"; }

struct Waited {
  uint32_t result;
  int16_t number;
  int32_t pending;  // 0x7777 after VWaitForBuffers, which has none
};

void WaitOn(const ModuleApi& api, Export how, void* hCam, uint32_t timeoutMs, Waited* w) {
  w->number = 0x7777;
  w->pending = 0x7777;
  w->result = how == kPlain ? api.WaitForBuffers(hCam, &w->number, timeoutMs)
                            : api.WaitForBuffersEx(hCam, &w->number, timeoutMs, &w->pending, nullptr);
}

uint32_t Requeue(const ModuleApi& api, void* hCam, int16_t number, uint32_t size) {
  uint32_t event = 0;
  return api.AllocateBuffer(hCam, &number, size, 0, &event);
}

double NowMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

uint32_t Low32(HANDLE handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)); }

struct Event {
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Event() { CloseHandle(h); }
};

// A wait on a thread of its own that stays alive after the call returns, until the object
// goes, so the test can look from another thread at what the waiting thread owns.  Notes when
// the call began and ended and the CPU time the thread spent in it.
class ParkedWait {
 public:
  ParkedWait(const ModuleApi& api, Export how, void* hCam, uint32_t timeoutMs)
      : call_([this, &api, how, hCam, timeoutMs] {
          threadId = GetCurrentThreadId();
          const double cpuBefore = ThreadCpuMs();
          startMs = NowMs();
          SetEvent(started_.h);
          WaitOn(api, how, hCam, timeoutMs, &waited);
          endMs = NowMs();
          cpuMs = ThreadCpuMs() - cpuBefore;
          SetEvent(returned_.h);
          WaitForSingleObject(release_.h, 60000);
          return waited.result;
        }) {
    WaitForSingleObject(started_.h, 10000);
  }
  ~ParkedWait() { SetEvent(release_.h); }
  ParkedWait(const ParkedWait&) = delete;
  ParkedWait& operator=(const ParkedWait&) = delete;

  bool Returned(DWORD ms) { return WaitForSingleObject(returned_.h, ms) == WAIT_OBJECT_0; }
  // For failure messages: what the wait reported, if it returned.
  uint32_t result() { return Returned(0) ? waited.result : 0xFFFFFFFF; }
  int number() { return Returned(0) ? waited.number : 0x7777; }

  Waited waited{0xDEADBEEF, 0x7777, 0x7777};
  DWORD threadId = 0;
  double startMs = 0, endMs = 0, cpuMs = 0;

 private:
  Event started_, returned_, release_;
  AsyncCall call_;  // last: the thread starts once everything above is in place
};

}  // namespace

// Another loop frees a buffer (and re-allocates one larger) while a wait blocks: the wait goes
// on until its time is up, and a frame in another buffer is reported at once.  Exactly as many
// buffers as one system wait holds, more, and one of the earliest handed over freed.
TEST_CASE(freed_buffer_does_not_end_or_blind_a_wait) {
  struct Layout {
    int count;
    int16_t freed, grown, filled;  // grown -1: none
  };
  const Layout layouts[] = {{64, 40, -1, 50}, {100, 80, 20, 90}, {100, 3, -1, 70}};
  for (const Layout& l : layouts) {
    for (Export how : kExports) {
      WTEST_CONTEXT("%s, %d buffers, %d freed", NameOf(how), l.count, l.freed);
      CameraRig rig("own_freed");
      if (!rig.loaded || !rig.Init(Cam(0x11), 1)) return;
      const ModuleApi& api = rig.host.api;
      for (int i = 0; i < l.count; ++i) rig.NewBuffer(Cam(0x11), 16);
      ParkedWait wait(api, how, Cam(0x11), 3000);
      Sleep(200);
      ok_eq_hex(0, api.FreeBuffer(Cam(0x11), l.freed));
      if (l.grown >= 0) ok_eq_hex(0, Requeue(api, Cam(0x11), l.grown, 64));
      Sleep(400);
      if (!ok(!wait.Returned(0), "the wait returned 0x%x (buffer %d) %.0f ms after it began", wait.result(),
              wait.number(), wait.endMs - wait.startMs)) {
        continue;
      }
      const double filledAt = NowMs();
      rig.Sim(1).FillBuffer(Cam(0x11), l.filled, 7, 1);
      ok(wait.Returned(5000), "the wait did not return");
      ok(wait.endMs - filledAt < 300, "the frame was reported %.0f ms after it arrived", wait.endMs - filledAt);
      ok_eq_hex(0, wait.waited.result);
      ok_eq_int(l.filled, wait.waited.number);
      if (how == kEx) ok_eq_int(0, wait.waited.pending);
    }
  }
}

// A freed buffer's handle value comes back at once for the next handle made: an event of
// another camera's new buffer, or a mutex of the host.  The wait of the first camera neither
// reports the other camera's frame nor takes the mutex.
TEST_CASE(reused_handle_value_is_not_waited_on) {
  const char* const intruders[] = {"another camera's event", "a mutex of the host"};
  for (Export how : kExports) {
    for (int intruder = 0; intruder < 2; ++intruder) {
      WTEST_CONTEXT("%s, %s", NameOf(how), intruders[intruder]);
      CameraRig rig("own_reuse");
      if (!rig.loaded || !rig.Init(Cam(0x12), 1) || !rig.Init(Cam(0x13), 1)) return;
      const ModuleApi& api = rig.host.api;
      SimApi sim = rig.Sim(1);
      uint32_t events[64] = {};
      for (uint32_t& event : events) rig.NewBuffer(Cam(0x12), 16, &event);
      ok_eq_hex(sim.BufferEvent(Cam(0x12), 10), events[10]);
      ParkedWait wait(api, how, Cam(0x12), 4000);
      Sleep(200);

      // Free one buffer after the other until the next handle made gets the freed value.
      int16_t other = -1;
      HANDLE mutex = nullptr;
      int reusedAfter = 0;
      for (int attempt = 0; attempt < 6 && reusedAfter == 0; ++attempt) {
        const int16_t freed = static_cast<int16_t>(10 + attempt);
        ok_eq_hex(0, api.FreeBuffer(Cam(0x12), freed));
        if (intruder == 0) {
          uint32_t event = 0;
          other = rig.NewBuffer(Cam(0x13), 16, &event);
          if (event == events[freed]) reusedAfter = attempt + 1;
        } else {
          HANDLE made = CreateMutexA(nullptr, FALSE, nullptr);
          if (Low32(made) == events[freed]) {
            mutex = made;
            reusedAfter = attempt + 1;
          } else {
            CloseHandle(made);
          }
        }
      }
      printf("%s, %s: %s\n", NameOf(how), intruders[intruder],
             reusedAfter ? wtest::Format("got a freed event's value after %d free(s)", reusedAfter).c_str()
                         : "got no freed value in 6 frees");

      if (intruder == 0) sim.FillBuffer(Cam(0x13), other, 5, 1);
      Sleep(300);
      ok(!wait.Returned(0), "the wait returned 0x%x with buffer %d", wait.result(), wait.number());
      if (intruder == 0) {
        Waited w;
        WaitOn(api, how, Cam(0x13), 1000, &w);
        ok_eq_hex(0, w.result);
        ok_eq_int(other, w.number);
      }
      sim.FillBuffer(Cam(0x12), 50, 6, 1);
      ok(wait.Returned(2000), "the wait did not return");
      ok_eq_hex(0, wait.waited.result);
      ok_eq_int(50, wait.waited.number);
      if (mutex != nullptr) {
        // The waiting thread is still alive: a mutex it owned would not be free.
        ok_eq_hex(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
        ReleaseMutex(mutex);
        CloseHandle(mutex);
      }
    }
  }
}

namespace {

// Lanticam camera 0x14 with four buffers, whose stand-in sets the event of a buffer being freed.
bool FourBuffersSignalledOnFree(CameraRig& rig) {
  if (!rig.loaded || !rig.Init(Cam(0x14), 1)) return false;
  for (int i = 0; i < 4; ++i) rig.NewBuffer(Cam(0x14), 64);
  rig.Sim(1).SetSignalOnFree(1);
  return true;
}

}  // namespace

// A frame arriving while the caller frees its buffer: the stand-in sets the event of the
// buffer being freed.  The wait does not end for it, and pending counts only live buffers.
TEST_CASE(buffer_freed_with_its_event_set) {
  {
    CameraRig rig("own_signal_on_free");
    if (!FourBuffersSignalledOnFree(rig)) return;
    const ModuleApi& api = rig.host.api;
    SimApi sim = rig.Sim(1);
    sim.SetDelay("FREE_BUFFER", 300);
    ParkedWait wait(api, kEx, Cam(0x14), 3000);
    Sleep(100);
    AsyncCall release([&] { return api.FreeBuffer(Cam(0x14), 3); });
    ok(WaitUntil([&] { return sim.CallsEntered("FREE_BUFFER") == 1; }, 2000), "the release never reached the SDK");
    Sleep(100);  // its event set, its release under way
    ok(!wait.Returned(0), "the wait returned 0x%x with buffer %d", wait.result(), wait.number());
    ok(release.Join(5000), "the release did not return");
    ok_eq_hex(0, release.result());
    sim.FillBuffer(Cam(0x14), 1, 3, 1);
    ok(wait.Returned(2000), "the wait did not return");
    ok_eq_hex(0, wait.waited.result);
    ok_eq_int(1, wait.waited.number);
    ok_eq_int(0, wait.waited.pending);
    ok(wait.cpuMs < 100, "the wait used %.0f ms of CPU time beside the freed buffer's set event", wait.cpuMs);
  }
  // Buffers 0 and 2 filled; the wait reports 0 and is held in its status call while buffer 3
  // is freed with its event set: pending is 1.
  CameraRig rig("own_pending");
  if (!FourBuffersSignalledOnFree(rig)) return;
  const ModuleApi& api = rig.host.api;
  SimApi sim = rig.Sim(1);
  sim.SetDelay("FREE_BUFFER", 1000);
  sim.SetDelay("GETBUFFER_STATUS", 400);
  sim.FillBuffer(Cam(0x14), 0, 1, 1);
  sim.FillBuffer(Cam(0x14), 2, 2, 1);
  ParkedWait wait(api, kEx, Cam(0x14), 3000);
  ok(WaitUntil([&] { return sim.CallsEntered("GETBUFFER_STATUS") == 1; }, 2000), "the wait asked for no status");
  AsyncCall release([&] { return api.FreeBuffer(Cam(0x14), 3); });
  ok(WaitUntil([&] { return sim.CallsEntered("FREE_BUFFER") == 1; }, 300),
     "the release did not reach the SDK while the wait asked for status");
  ok(wait.Returned(3000), "the wait did not return");
  ok_eq_hex(0, wait.waited.result);
  ok_eq_int(0, wait.waited.number);
  ok_eq_int(1, wait.waited.pending);
  ok(release.Join(5000), "the release did not return");
  ok_eq_hex(0, release.result());
}

// 256 buffers: a frame in the last one allocated wakes either wait about as fast as a bare
// wait on its event does, and a wait with nothing arriving costs next to no CPU time.
TEST_CASE(wait_on_many_buffers_is_prompt_and_idle) {
  CameraRig rig("own_prompt");
  if (!rig.loaded || !rig.Init(Cam(0x15), 1)) return;
  const ModuleApi& api = rig.host.api;
  SimApi sim = rig.Sim(1);
  for (int i = 0; i < 256; ++i) rig.NewBuffer(Cam(0x15), 16);
  sim.FillBuffer(Cam(0x15), 255, 1, 0);
  const HANDLE event = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(sim.BufferEvent(Cam(0x15), 255)));

  // Median milliseconds from the signal to the return.  The signals come 20 to 30 ms after the
  // wait began, spread evenly over 10 ms: a wait that looked every 10 ms would be about 5 ms late.
  auto median = [&](int kind) {
    std::vector<double> took;
    int wrong = 0;
    for (int i = 0; i < 50; ++i) {
      double begun = 0, ended = 0;
      volatile LONG started = 0;
      Waited w{0, 0x7777, 0};
      AsyncCall call([&] {
        begun = NowMs();
        InterlockedExchange(&started, 1);
        if (kind == 0) {
          w.result = WaitForSingleObject(event, 2000);
          w.number = 255;
        } else {
          WaitOn(api, kind == 1 ? kPlain : kEx, Cam(0x15), 2000, &w);
        }
        ended = NowMs();
        return w.result;
      });
      WaitUntil([&] { return started != 0; }, 2000);
      while (NowMs() < begun + 20 + (i % 20) * 0.5) Sleep(0);
      const double signalled = NowMs();
      sim.Signal(Cam(0x15), 255, 1);
      if (!call.Join(3000)) return 1e9;
      if (w.result != 0 || w.number != 255) ++wrong;
      took.push_back(ended - signalled);
      if (kind == 2) {
        // A queue-order wait hands a buffer out once: the loop hands it back, to the back of the
        // queue, and it is filled again.
        int16_t number = 255;
        uint32_t ignored = 0;
        api.AllocateBuffer(Cam(0x15), &number, 16, 0, &ignored);
        sim.FillBuffer(Cam(0x15), 255, 1, 0);
      }
      sim.Signal(Cam(0x15), 255, 0);
    }
    ok_eq_int(0, wrong);
    std::sort(took.begin(), took.end());
    return took[took.size() / 2];
  };
  const double bare = median(0), plain = median(1), ex = median(2);
  printf("median wake-up after a frame in buffer 255 of 256: bare wait %.2f ms, VWaitForBuffers %.2f ms, "
         "VWaitForBuffersEx %.2f ms\n", bare, plain, ex);
  ok(plain < 3.0, "VWaitForBuffers woke %.2f ms after the frame (a bare wait: %.2f ms)", plain, bare);
  ok(ex < 3.0, "VWaitForBuffersEx woke %.2f ms after the frame (a bare wait: %.2f ms)", ex, bare);

  for (Export how : kExports) {
    WTEST_CONTEXT("%s", NameOf(how));
    ParkedWait wait(api, how, Cam(0x15), 1000);
    if (!ok(wait.Returned(5000), "the wait did not return")) continue;
    printf("%s: 1 s without a frame took %.0f ms of CPU time\n", NameOf(how), wait.cpuMs);
    ok_eq_hex(VOR_ERR_TIMEOUT, wait.waited.result);
    ok(wait.endMs - wait.startMs >= 990, "timed out after %.0f ms", wait.endMs - wait.startMs);
    ok(wait.cpuMs < 50, "the waiting thread used %.0f ms of CPU time", wait.cpuMs);
  }
}

// Two loops wait in turn, copy and hand back buffers of one camera that fills them in the order
// it got them back; the hand-backs run at once and sleep a little, at random, in the SDK.  Frame
// numbers (pixel 0 of frame k is k) come out of the waits one after the other, none twice (a
// filled buffer goes to one wait until it is handed back) and none missing.
TEST_CASE(two_loops_get_frames_in_camera_order) {
  constexpr LONG kFrames = 1000;
  for (int run = 0; run < 3; ++run) {
    WTEST_CONTEXT("run %d", run);
    CameraRig rig("own_two_loops");
    if (!rig.loaded || !rig.Init(Cam(0x16), 2)) return;
    const ModuleApi& api = rig.host.api;
    SimApi sim = rig.Sim(2);
    sim.SetTracing(0);
    for (int i = 0; i < 8; ++i) rig.NewBuffer(Cam(0x16), 8 * 8 * 2);
    sim.SetAcquisitionMode(Cam(0x16), SIM_ACQ_QUEUE);

    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    std::vector<int32_t> frames(kFrames, -1);  // by the order the waits returned
    LONG returned = 0;
    uint32_t failure[2] = {0, 0};
    auto loop = [&](int id) {
      uint32_t seed = 0x9E3779B9u * (run * 2 + id + 1);
      LvArray image({64}, 2);
      for (;;) {
        // The loops take turns to wait, so the order they got frames in is the order they
        // count them in; their copies and hand-backs run at once.
        Waited w;
        EnterCriticalSection(&lock);
        WaitOn(api, kEx, Cam(0x16), 2000, &w);
        const LONG place = w.result == 0 ? returned++ : returned;
        LeaveCriticalSection(&lock);
        // The other loop keeps the buffers it got once the frames are all counted.
        if (w.result == VOR_ERR_TIMEOUT && place >= kFrames) return 0u;
        if (w.result != 0) return failure[id] = w.result;
        if (place >= kFrames) return 0u;
        const uint32_t copied = api.GetImageFromBuffer(Cam(0x16), w.number, 8, 8, 16, image.handle());
        if (copied != 0) return failure[id] = copied;
        frames[place] = image.elements()[0] | image.elements()[1] << 8;
        seed = seed * 1664525u + 1013904223u;
        sim.SetDelay("ALLOCATE_BUFFER", (seed >> 24) % 16 == 0 ? 15 : (seed >> 24) % 4);
        const uint32_t queued = Requeue(api, Cam(0x16), w.number, 8 * 8 * 2);
        if (queued != 0) return failure[id] = queued;
      }
    };
    {
      AsyncCall first([&] { return loop(0); });
      AsyncCall second([&] { return loop(1); });
      Sleep(50);
      ok_eq_hex(0, sim.StartAcquisition(Cam(0x16), 200, 8, 8, 16));
      ok(first.Join(60000) && second.Join(60000), "the loops did not end");
      sim.StopAcquisition(Cam(0x16));
    }
    DeleteCriticalSection(&lock);
    ok_eq_hex(0, failure[0]);
    ok_eq_hex(0, failure[1]);

    int later = 0, twice = 0, missing = 0, firstBad = -1;
    for (LONG i = 1; i < kFrames; ++i) {
      const int32_t step = frames[i] - frames[i - 1];
      later += step < 0 ? 1 : 0;
      twice += step == 0 ? 1 : 0;
      missing += step > 1 ? step - 1 : 0;
      if (step != 1 && firstBad < 0) firstBad = i;
    }
    const uint32_t delivered = sim.FramesDelivered(Cam(0x16));
    ok_eq_int(0, frames[0]);
    ok(later == 0 && twice == 0 && missing == 0,
       "%d frames came after a later one, %d twice, %d missing; first at place %d: %d after %d", later, twice,
       missing, firstBad, firstBad > 0 ? frames[firstBad] : 0, firstBad > 0 ? frames[firstBad - 1] : 0);
    // Beyond what the loops got, only frames still in the 8 buffers.
    ok(delivered >= static_cast<uint32_t>(kFrames) && delivered <= static_cast<uint32_t>(returned) + 8,
       "the camera delivered %u frames, the waits returned %ld", delivered, returned);
  }
}

// A camera that fills a buffer the moment it is handed back, while the SDK's allocate call is
// still under way: the frame is never erased, so a loop of wait and hand-back never times out.
TEST_CASE(frame_at_the_moment_of_hand_back_is_kept) {
  CameraRig rig("own_at_once");
  if (!rig.loaded || !rig.Init(Cam(0x17), 1)) return;
  const ModuleApi& api = rig.host.api;
  SimApi sim = rig.Sim(1);
  sim.SetTracing(0);
  rig.NewBuffer(Cam(0x17), 64);
  sim.SetDelay("ALLOCATE_BUFFER_EX", 3);

  volatile LONG stop = 0;
  LONG fills = 0, during = 0;
  int32_t seen = sim.CallsEntered("ALLOCATE_BUFFER_EX");
  AsyncCall camera([&] {
    while (!stop) {
      const int32_t entered = sim.CallsEntered("ALLOCATE_BUFFER_EX");
      if (entered == seen) {
        Sleep(0);
        continue;
      }
      seen = entered;
      sim.FillBuffer(Cam(0x17), 0, static_cast<uint32_t>(entered), 1);
      ++fills;
      if (sim.CallsReturned("ALLOCATE_BUFFER_EX") < entered) ++during;
    }
    return 0u;
  });
  sim.FillBuffer(Cam(0x17), 0, 0, 1);
  int rounds = 0;
  Waited w{0, 0, 0};
  uint32_t queued = 0;
  for (; rounds < 1000; ++rounds) {
    WaitOn(api, kEx, Cam(0x17), 2000, &w);
    if (w.result != 0 || w.number != 0) break;
    if ((queued = Requeue(api, Cam(0x17), 0, 64)) != 0) break;
  }
  stop = 1;
  ok(camera.Join(5000), "the camera thread did not end");
  printf("%ld of %ld frames arrived while the buffer was being handed back\n", during, fills);
  ok(rounds == 1000, "round %d: the wait returned 0x%x with buffer %d, the hand-back 0x%x", rounds, w.result,
     w.number, queued);
  ok(during > 0, "no frame arrived during a hand-back");
}

// A wait blocks on A (handed to the camera first) and B; another thread hands A back, so it is
// now behind B.  Both are filled while the waiting thread is held, so it finds them together:
// it reports B, and once B is handed back, the next wait reports A.
TEST_CASE(wait_in_progress_sees_a_buffer_handed_back_at_its_new_place) {
  const int counts[] = {2, 100};
  for (int count : counts) {
    WTEST_CONTEXT("%d buffers", count);
    CameraRig rig("own_new_place");
    if (!rig.loaded || !rig.Init(Cam(0x18), 1)) return;
    const ModuleApi& api = rig.host.api;
    SimApi sim = rig.Sim(1);
    for (int i = 0; i < count; ++i) rig.NewBuffer(Cam(0x18), 64);
    ParkedWait wait(api, kEx, Cam(0x18), 3000);
    Sleep(150);
    ok_eq_hex(0, Requeue(api, Cam(0x18), 0, 64));
    Sleep(100);
    if (!ok(!wait.Returned(0), "the wait returned 0x%x with buffer %d", wait.result(), wait.number())) continue;

    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, wait.threadId);
    const bool held = thread != nullptr && SuspendThread(thread) != static_cast<DWORD>(-1);
    ok(held, "cannot hold the waiting thread");
    AsyncCall fill([&] {
      sim.FillBuffer(Cam(0x18), 0, 1, 1);  // A first
      return static_cast<uint32_t>(sim.FillBuffer(Cam(0x18), 1, 2, 1));
    });
    ok(fill.Join(5000), "the frames were not delivered");
    if (held) ResumeThread(thread);
    if (thread != nullptr) CloseHandle(thread);

    ok(wait.Returned(3000), "the wait did not return");
    ok_eq_hex(0, wait.waited.result);
    ok_eq_int(1, wait.waited.number);
    ok_eq_int(1, wait.waited.pending);
    ok_eq_hex(0, Requeue(api, Cam(0x18), 1, 64));
    Waited next;
    WaitOn(api, kEx, Cam(0x18), 1000, &next);
    ok_eq_hex(0, next.result);
    ok_eq_int(0, next.number);
  }
}

// A re-allocation of a buffer waits for a copy of it under way; meanwhile the camera is cleaned
// up.  Everything returns, nothing is left in the SDK, and a later camera works as usual.
TEST_CASE(cleanup_while_a_reallocation_waits_for_a_copy) {
  for (int round = 0; round < 3; ++round) {
    WTEST_CONTEXT("round %d", round);
    CameraRig rig("own_retiring");
    if (!rig.loaded || !rig.Init(Cam(0x19), 1)) return;
    HeldLibrary held(rig.host.PathOf(kLanCam));
    const ModuleApi& api = rig.host.api;
    SimApi sim = rig.Sim(1);
    const uint32_t bytes = 1 << 20;
    rig.NewBuffer(Cam(0x19), bytes);
    rig.NewBuffer(Cam(0x19), 64);
    sim.FillBuffer(Cam(0x19), 0, 9, 0);
    const int32_t allocations = sim.CallsEntered("ALLOCATE_BUFFER_EX");

    PausingArray array(bytes, 1, bytes / 2);
    AsyncCall copy([&] { return api.GetImageFromBuffer(Cam(0x19), 0, 1024, 1024, 8, array.handle()); });
    if (!ok(array.WaitForPause(), "the copy never reached the held page")) continue;
    int16_t number = 0;
    uint32_t event = 0;
    AsyncCall again([&] { return api.AllocateBuffer(Cam(0x19), &number, bytes, 0, &event); });
    Sleep(100);
    AsyncCall cleanup([&] { return api.cleanup(Cam(0x19)); });
    Sleep(200);
    ok(!again.Done(), "the re-allocation returned 0x%x while a copy of its buffer was under way", again.result());
    ok(!cleanup.Done(), "the cleanup returned 0x%x while a copy was under way", cleanup.result());
    ok_eq_int(allocations, sim.CallsEntered("ALLOCATE_BUFFER_EX"));

    array.Resume();
    bool ended = copy.Join(10000);
    ended = again.Join(10000) && ended;
    ended = cleanup.Join(10000) && ended;
    if (!ok(ended, "the calls did not return: copy %d, re-allocation %d, cleanup %d", copy.Done(), again.Done(),
            cleanup.Done())) {
      continue;
    }
    printf("round %d: the re-allocation returned 0x%x\n", round, again.result());
    ok_eq_hex(0, copy.result());
    ok_eq_hex(0, cleanup.result());
    ok(again.result() == 0 || again.result() == VOR_ERR_BUFFER_NOT_REGISTERED ||
           again.result() == VOR_ERR_OPTION_NOT_AVAILABLE,
       "the re-allocation returned 0x%x", again.result());
    ok_eq_int(0, sim.BufferCount());

    uint32_t steps[3] = {0x7777, 0x7777, 0x7777};
    AsyncCall later([&] {
      int16_t n = -1;
      uint32_t e = 0;
      steps[0] = api.InitLibrary(Cam(0x1A), 1);
      steps[1] = api.AllocateBuffer(Cam(0x1A), &n, 64, 0, &e);
      steps[2] = api.cleanup(Cam(0x1A));
      return 0u;
    });
    ok(later.Join(10000), "a later camera's calls did not return: init 0x%x, allocate 0x%x, cleanup 0x%x", steps[0],
       steps[1], steps[2]);
    ok_eq_hex(0, steps[0]);
    ok_eq_hex(0, steps[1]);
    ok_eq_hex(0, steps[2]);
  }
}

// A wait on more buffers than one system wait holds leaves its helpers to the camera's next
// wait; a camera that is never waited for or cleaned up again must not keep the module loaded
// once its host lets it go.
TEST_CASE(helpers_left_alone_do_not_keep_the_module_loaded) {
  CameraRig rig("own_linger");
  if (!rig.loaded || !rig.Init(Cam(0x1B), 1)) return;
  for (int i = 0; i < 100; ++i) rig.NewBuffer(Cam(0x1B), 16);
  rig.Sim(1).FillBuffer(Cam(0x1B), 5, 1, 1);  // one of the buffers the wait watches itself
  int16_t number = -1;
  ok_eq_hex(0, rig.host.api.WaitForBuffersEx(Cam(0x1B), &number, 3000, nullptr, nullptr));
  ok_eq_int(5, number);
  const std::string module = rig.host.PathOf("vorlabview.dll");
  ModuleHost::ClearBoxes();
  rig.host.Unload();  // the camera still registered, its wait's helpers still watching
  ok(WaitUntil([&] { return GetModuleHandleA(module.c_str()) == nullptr; }, 5000),
     "the module stayed loaded after its host let it go");
  // Unloaded for real: the unload's box about the buffers left.
  const std::vector<BoxRecord> boxes = ModuleHost::Boxes();
  ok(boxes.size() == 1 && boxes[0].caption == "vorgeneric", "%u boxes at the unload",
     static_cast<unsigned>(boxes.size()));
}
