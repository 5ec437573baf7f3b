// Benchmarks of the acquisition road, each printed side by side with its baseline from the same
// run: copies against the best plain copy in three cache states, two loops copying in parallel,
// isolation from another camera's slow calls, a LabVIEW-like loop end to end, registry costs,
// wake latency and the cost of an export with the log off.
//
// scripts/bench.sh pins this program and the wineserver to one CPU; the parallel figure widens
// the program to two CPUs for its own run.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "bench_clock.h"
#include "bench_copy_routines.h"
#include "camera_rig.h"
#include "lv_array.h"
#include "plugin_api.h"
#include "race_tools.h"

namespace {

// Binds the camera and stops its stand-in's trace: the figures are the module's, not the cost
// of formatting trace lines.
void Bind(CameraRig& rig, void* hCam, int32_t family) {
  rig.Init(hCam, family);
  SimApi sim = rig.Sim(family);
  if (sim.SetTracing != nullptr) sim.SetTracing(0);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Percentile(std::vector<double> v, int percent) {
  std::sort(v.begin(), v.end());
  return v[(v.size() - 1) * percent / 100];
}

struct Frame {
  uint16_t width, height, bits;
  size_t bytes() const { return size_t{width} * height * (bits > 8 ? 2 : 1); }
};

// The caches as a copy finds its source and target.
enum class CacheState { kSourceCold, kBothCold, kBothCached };

struct StateCase {
  CacheState state;
  const char* name;
};

const StateCase kStates[] = {
    {CacheState::kSourceCold, "source cold (the camera's DMA), target just written (a loop that reuses its array)"},
    {CacheState::kBothCold, "source and target cold (a new array)"},
    {CacheState::kBothCached, "source and target cached (as far as they fit)"}};

void Prepare(CacheState state, const void* source, void* target, size_t bytes) {
  switch (state) {
    case CacheState::kSourceCold:
      bench::MakeWritten(target, bytes);
      bench::MakeCold(source, bytes);
      break;
    case CacheState::kBothCold:
      bench::MakeCold(source, bytes);
      bench::MakeCold(target, bytes);
      break;
    case CacheState::kBothCached:
      bench::MakeCached(source, bytes);
      bench::MakeWritten(target, bytes);
      break;
  }
}

// 1. The export against the fastest plain copy of the same frame into the same target, with
// source and target in each cache state.
void CopyAgainstBest(CameraRig& rig) {
  printf("\nCopy: VGetImageFromBuffer against the best plain copy into the same array (4 bytes into its block)\n");
  printf("  (us, median of 101 rounds, 61 for frames over 1 MB, order alternating; ratio = best baseline / export)\n");
  const Frame frames[] = {{320, 240, 8}, {640, 480, 8}, {1024, 1024, 16}, {2048, 2048, 16}, {2560, 2160, 16}};
  const char* names[] = {"export", "memcpy", "movsb", "avx2", "stream"};
  constexpr int kCopies = 5;
  uintptr_t next = 0xBE00;
  for (const StateCase& state : kStates) {
    printf("  %s\n", state.name);
    printf("  %-14s %9s %9s %9s %9s %9s  %-7s %7s\n", "frame", "export", "memcpy", "movsb", "avx2", "stream", "best",
           "ratio");
    for (const Frame& f : frames) {
      void* hCam = Cam(next++);
      Bind(rig, hCam, 3);
      const int16_t number = rig.NewBuffer(hCam, static_cast<uint32_t>(f.bytes()));
      SimApi sim = rig.Sim(3);
      sim.FillBuffer(hCam, number, 5, 0);
      const void* source = sim.BufferAddress(hCam, number);
      LvArray array({static_cast<int32_t>(size_t{f.width} * f.height)}, f.bits > 8 ? 2 : 1, 0);
      void* target = const_cast<uint8_t*>(array.elements());

      using Copy = std::function<void()>;
      const Copy copies[kCopies] = {
          [&] { rig.host.api.GetImageFromBuffer(hCam, number, f.width, f.height, f.bits, array.handle()); },
          [&] { bench::CopyMemcpy(target, source, f.bytes()); },
          [&] { bench::CopyRepMovsb(target, source, f.bytes()); },
          [&] { bench::CopyAvx2(target, source, f.bytes()); },
          [&] { bench::CopyStreamAvx2(target, source, f.bytes()); },
      };
      std::vector<double> times[kCopies];
      const int rounds = f.bytes() < (1u << 20) ? 101 : 61;
      for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < kCopies; ++k) {
          const int which = round % 2 == 0 ? k : kCopies - 1 - k;
          Prepare(state.state, source, target, f.bytes());
          const double start = FineNow();
          copies[which]();
          times[which].push_back(FineNow() - start);
        }
      }
      double medians[kCopies];
      for (int k = 0; k < kCopies; ++k) medians[k] = Median(times[k]);
      const int best = static_cast<int>(std::min_element(medians + 1, medians + kCopies) - medians);
      printf("  %4ux%-4ux%-4u", f.width, f.height, f.bits > 8 ? 2 : 1);
      for (double m : medians) printf(" %9.1f", m * 1e6);
      printf("  %-7s %7.3f\n", names[best], medians[best] / medians[0]);
      rig.host.api.cleanup(hCam);
    }
  }
}

// 2. Two loops copying big frames of two cameras at once, against two threads of plain copies.
struct CopyLoop {
  std::function<void()> copy;
  int rounds;
  HANDLE go;
};

DWORD WINAPI RunCopyLoop(void* argument) {
  CopyLoop& loop = *static_cast<CopyLoop*>(argument);
  WaitForSingleObject(loop.go, INFINITE);
  for (int i = 0; i < loop.rounds; ++i) loop.copy();
  return 0;
}

double TwoThreads(const std::function<void()>& a, const std::function<void()>& b, int rounds) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CopyLoop loops[2] = {{a, rounds, go}, {b, rounds, go}};
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) threads[i] = CreateThread(nullptr, 0, RunCopyLoop, &loops[i], 0, nullptr);
  Sleep(10);
  const double start = Now();
  SetEvent(go);
  WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  const double elapsed = Now() - start;
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(go);
  return elapsed;
}

void ParallelCopies(CameraRig& rig) {
  printf("\nTwo loops copying 2560x2160x2 frames of two cameras at once, against two threads of plain\n");
  printf("  copies of the same bytes (two CPUs; ratio = module throughput / plain throughput)\n");
  const Frame f = {2560, 2160, 16};
  void* cams[2] = {Cam(0xCA0), Cam(0xCA1)};
  int16_t numbers[2];
  const void* sources[2];
  std::vector<LvArray> arrays;
  for (int i = 0; i < 2; ++i) {
    Bind(rig, cams[i], 1);
    numbers[i] = rig.NewBuffer(cams[i], static_cast<uint32_t>(f.bytes()));
    rig.Sim(1).FillBuffer(cams[i], numbers[i], 3, 0);
    sources[i] = rig.Sim(1).BufferAddress(cams[i], numbers[i]);
    arrays.emplace_back(std::vector<int32_t>{static_cast<int32_t>(size_t{f.width} * f.height)}, 2, 0);
  }
  auto exportCopy = [&](int i) {
    return [&, i] { rig.host.api.GetImageFromBuffer(cams[i], numbers[i], f.width, f.height, f.bits, arrays[i].handle()); };
  };
  auto plainCopy = [&](int i) {
    return [&, i] { bench::CopyStreamAvx2(const_cast<uint8_t*>(arrays[i].elements()), sources[i], f.bytes()); };
  };
  SetProcessAffinityMask(GetCurrentProcess(), 3);
  Sleep(50);
  const int rounds = 40;
  std::vector<double> ratios, module, plain;
  for (int r = 0; r < 7; ++r) {
    double m, p;
    if (r % 2 == 0) {
      m = TwoThreads(exportCopy(0), exportCopy(1), rounds);
      p = TwoThreads(plainCopy(0), plainCopy(1), rounds);
    } else {
      p = TwoThreads(plainCopy(0), plainCopy(1), rounds);
      m = TwoThreads(exportCopy(0), exportCopy(1), rounds);
    }
    module.push_back(m);
    plain.push_back(p);
    ratios.push_back(p / m);
  }
  SetProcessAffinityMask(GetCurrentProcess(), 1);
  const double bytes = 2.0 * rounds * f.bytes();
  printf("  module %.2f GB/s, plain %.2f GB/s, ratio %.3f (median of 7)\n", bytes / Median(module) / 1e9,
         bytes / Median(plain) / 1e9, Median(ratios));
  for (void* cam : cams) rig.host.api.cleanup(cam);
}

// 3. A 64-byte copy of camera B while camera A sits in a slow call of 1 s.
void Isolation(CameraRig& rig) {
  printf("\nIsolation: a 64-byte copy of camera B while camera A's call takes 1 s (ms)\n");
  printf("  %-26s %10s %10s %10s\n", "camera A's slow call", "median", "max", "copies");
  PluginApi plugin;
  plugin.Bind(rig.host.PathOf("VOR_File.dll"));
  struct Slow {
    const char* name;
    int32_t family;
    const char* entry;  // null: the plug-in's push
  };
  const Slow slows[] = {{"FREE_BUFFER (Lanticam)", 1, "FREE_BUFFER"},
                        {"VOR_GetImage (QD4 read)", 3, "VOR_GetImage"},
                        {"plug-in push", 3, nullptr}};
  void* b = Cam(0xB0B);
  Bind(rig, b, 2);
  const int16_t bNumber = rig.NewBuffer(b, 64);
  LvArray small({64}, 1);
  for (const Slow& slow : slows) {
    void* a = Cam(0xA0A);
    Bind(rig, a, slow.family);
    const int16_t aNumber = rig.NewBuffer(a, 64 * 48 * 2);
    SimApi sim = rig.Sim(slow.family);
    LvArray aArray({64 * 48}, 2);
    std::function<uint32_t()> call;
    std::function<bool()> entered;
    if (slow.entry == nullptr) {
      rig.host.api.InitPushFile(a, "isolation", 64, 48, 16, 0, 10);
      plugin.SetDelay("Push", 1000);
      const int32_t before = plugin.CallsEntered("Push");
      call = [&] { return rig.host.api.PushImageToFile(a, aNumber); };
      entered = [&, before] { return plugin.CallsEntered("Push") > before; };
    } else {
      sim.SetDelay(slow.entry, 1000);
      const int32_t before = sim.CallsEntered(slow.entry);
      call = slow.family == 3 ? std::function<uint32_t()>([&] {
        return rig.host.api.GetImageFromCamRam(a, 0, 1, 0, aNumber, aArray.handle());
      })
                              : std::function<uint32_t()>([&] { return rig.host.api.FreeBuffer(a, aNumber); });
      entered = [&, before] { return sim.CallsEntered(slow.entry) > before; };
    }
    std::vector<double> latencies;
    {
      AsyncCall slowCall(call);
      WaitUntil(entered);
      const double until = Now() + 0.8;
      while (Now() < until) {
        const double start = Now();
        rig.host.api.GetImageFromBuffer(b, bNumber, 8, 8, 8, small.handle());
        latencies.push_back((Now() - start) * 1e3);
        Sleep(5);
      }
    }
    printf("  %-26s %10.3f %10.3f %10d\n", slow.name, Median(latencies),
           *std::max_element(latencies.begin(), latencies.end()), static_cast<int>(latencies.size()));
    if (slow.entry == nullptr) {
      plugin.SetDelay("Push", 0);
      rig.host.api.ClosePushFile(a);
    } else {
      sim.SetDelay(slow.entry, 0);
    }
    rig.host.api.cleanup(a);
  }
  rig.host.api.cleanup(b);
}

// 4. A LabVIEW-like loop (wait, copy, allocate again) against a camera that fills every buffer
// as soon as it is queued again, against the copy alone of the same cold frames.
void EndToEnd(CameraRig& rig) {
  printf("\nEnd to end: wait, copy, allocate again, 2048x2048x2 frames, 4 buffers, camera at once\n");
  const Frame f = {2048, 2048, 16};
  void* cam = Cam(0xE2E);
  Bind(rig, cam, 2);
  SimApi sim = rig.Sim(2);
  int16_t numbers[4];
  const void* sources[4];
  for (int i = 0; i < 4; ++i) {
    numbers[i] = rig.NewBuffer(cam, static_cast<uint32_t>(f.bytes()));
    sim.FillBuffer(cam, numbers[i], i, 1);
    sources[i] = sim.BufferAddress(cam, numbers[i]);
  }
  sim.SetAcquisitionMode(cam, SIM_ACQ_REQUEUE_AT_ONCE);
  sim.StartAcquisition(cam, 1000, f.width, f.height, f.bits);
  LvArray array({static_cast<int32_t>(size_t{f.width} * f.height)}, 2, 0);
  const ModuleApi& api = rig.host.api;
  const int frames = 60;

  auto loop = [&] {
    int delivered = 0;
    const double start = Now();
    while (delivered < frames) {
      int16_t n = -1;
      if (api.WaitForBuffers(cam, &n, 1000) != 0) break;
      bench::MakeCold(sim.BufferAddress(cam, n), f.bytes());  // the camera's DMA left it in memory
      api.GetImageFromBuffer(cam, n, f.width, f.height, f.bits, array.handle());
      uint32_t event = 0;
      api.AllocateBuffer(cam, &n, static_cast<uint32_t>(f.bytes()), 0, &event);
      ++delivered;
    }
    return delivered / (Now() - start);
  };
  auto copyAlone = [&] {
    const double start = Now();
    for (int i = 0; i < frames; ++i) {
      bench::MakeCold(sources[i % 4], f.bytes());
      api.GetImageFromBuffer(cam, numbers[i % 4], f.width, f.height, f.bits, array.handle());
    }
    return frames / (Now() - start);
  };
  std::vector<double> loopFps, copyFps, ratios;
  for (int r = 0; r < 7; ++r) {
    double l, c;
    if (r % 2 == 0) { l = loop(); c = copyAlone(); } else { c = copyAlone(); l = loop(); }
    loopFps.push_back(l);
    copyFps.push_back(c);
    ratios.push_back(l / c);
  }
  printf("  loop %.1f fps, copy alone %.1f fps, ratio %.3f (median of 7)\n", Median(loopFps), Median(copyFps),
         Median(ratios));
  sim.StopAcquisition(cam);
  api.cleanup(cam);
}

// 5. Registry costs: a zero-timeout wait among many records, and a cleanup of many buffers.
void RegistryCosts(CameraRig& rig) {
  printf("\nRegistry costs\n");
  const ModuleApi& api = rig.host.api;
  void* cam = Cam(0xF00);
  Bind(rig, cam, 2);
  for (int i = 0; i < 4; ++i) rig.NewBuffer(cam, 64);
  auto waitCost = [&] {
    std::vector<double> t;
    for (int i = 0; i < 200; ++i) {
      int16_t n = -1;
      const double start = Now();
      api.WaitForBuffers(cam, &n, 0);
      t.push_back(Now() - start);
    }
    return Median(t) * 1e3;
  };
  const double few = waitCost();
  for (int i = 0; i < 1019; ++i) api.InitLibrary(Cam(0x10000 + i), 4);
  const double many = waitCost();
  printf("  zero-timeout wait, 5 records %.3f ms, 1024 records %.3f ms, difference %.3f ms\n", few, many, many - few);
  for (int i = 0; i < 1019; ++i) api.cleanup(Cam(0x10000 + i));
  api.cleanup(cam);

  void* big = Cam(0xF01);
  Bind(rig, big, 3);
  for (int i = 0; i < 2000; ++i) rig.NewBuffer(big, 64);
  const double start = Now();
  api.cleanup(big);
  printf("  Vcleanup of 2000 buffers %.1f ms\n", (Now() - start) * 1e3);
}

// 6. Wake latency: another thread sets one buffer's event; time until the wait returns.
struct Signaller {
  HANDLE volatile event;
  HANDLE go;
  volatile double setAt;
  volatile LONG stop;
};

// Sets the event and goes to sleep on `go` in one step, so the waiter, not the signaller, runs
// next: without it the wake-ups fall into two modes that differ by 20 us on one CPU, and medians
// flip between them.
DWORD WINAPI SignalLoop(void* argument) {
  Signaller& s = *static_cast<Signaller*>(argument);
  WaitForSingleObject(s.go, INFINITE);
  while (!s.stop) {
    Sleep(1);  // let the waiter block first
    s.setAt = Now();
    SignalObjectAndWait(s.event, s.go, INFINITE, FALSE);
  }
  return 0;
}

// One wait to time: the event the signaller sets for it, the wait, and what the loop does
// after it (outside the time), such as handing the buffer back.
struct TimedWait {
  std::function<HANDLE()> event;
  std::function<void()> wait;
  std::function<void()> after;
};

struct WakeFigure {
  double median, p99;
};

// Times 400 wake-ups of each wait, rotating which goes first; the signaller sets the wait's event
// 1 ms after it has started.  Returns each wait's median and 99th percentile (us).
std::vector<WakeFigure> TimeWakeUps(const std::vector<TimedWait>& waits) {
  Signaller s{nullptr, CreateEventA(nullptr, FALSE, FALSE, nullptr), 0, 0};
  HANDLE thread = CreateThread(nullptr, 0, SignalLoop, &s, 0, nullptr);
  std::vector<std::vector<double>> samples(waits.size());
  for (size_t i = 0; i < 400; ++i) {
    for (size_t k = 0; k < waits.size(); ++k) {
      const size_t which = (i + k) % waits.size();
      s.event = waits[which].event();
      ResetEvent(s.event);
      SetEvent(s.go);
      waits[which].wait();
      samples[which].push_back((Now() - s.setAt) * 1e6);
      ResetEvent(s.event);
      if (waits[which].after) waits[which].after();
      Sleep(0);
    }
  }
  s.stop = 1;
  SetEvent(s.go);
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  CloseHandle(s.go);
  std::vector<WakeFigure> figures;
  for (const std::vector<double>& v : samples) figures.push_back({Median(v), Percentile(v, 99)});
  return figures;
}

void PrintWake(const char* what, int count, const char* set, const WakeFigure& module, const WakeFigure& bare) {
  printf("  %-28s %6d %-6s %9.1f %9.1f %9.1f %9.1f %7.2f %7.2f\n", what, count, set, module.median, module.p99,
         bare.median, bare.p99, module.median / bare.median, module.p99 / bare.p99);
}

// A camera of `count` buffers, each with its stand-in status set to filled; the signaller sets
// the event of one of them.
std::vector<HANDLE> WakeCamera(CameraRig& rig, void* hCam, int count) {
  Bind(rig, hCam, 2);
  std::vector<HANDLE> events;
  for (int i = 0; i < count; ++i) {
    uint32_t event = 0;
    rig.NewBuffer(hCam, 64, &event);
    events.push_back(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event)));
    rig.Sim(2).FillBuffer(hCam, i, 0, 0);
  }
  return events;
}

// Both wait exports against a bare WaitForSingleObject on the one event that is set: the buffer
// handed over first (the one a camera fills next when the loop keeps up) or the one handed over
// last.  VWaitForBuffers reports a buffer as long as it is filled: its buffers stay in place
// (buffer 0 first, the last record in the registry's order).  VWaitForBuffersEx reports a
// buffer once, as a loop does: the loop hands it back after each wait, to the back of the
// queue, so the first is the next one round, and the last stays the last.
void WakeLatency(CameraRig& rig) {
  printf("\nWake latency: another thread sets one buffer's event; median and 99th percentile against a\n"
         "bare WaitForSingleObject on that event (us; ratio = export / bare)\n");
  printf("  %-28s %6s %-6s %9s %9s %9s %9s %7s %7s\n", "wait", "bufs", "set", "mod med", "mod p99", "bare med",
         "bare p99", "med x", "p99 x");
  uintptr_t next = 0xB100;
  const bool haveEx = rig.host.api.WaitForBuffersEx != nullptr;
  for (int count : {4, 64, 256, 1024}) {
    void* hCam = Cam(next++);
    std::vector<HANDLE> events = WakeCamera(rig, hCam, count);
    for (bool first : {true, false}) {
      int exNext = first ? 0 : count - 1;  // the Ex wait's buffer this round
      const int plainBuffer = first ? 0 : count - 1;
      auto handBack = [&] {
        int16_t number = static_cast<int16_t>(exNext);
        uint32_t event = 0;
        rig.host.api.AllocateBuffer(hCam, &number, 64, 0, &event);
        if (first) exNext = (exNext + 1) % count;
      };
      if (!first && haveEx) handBack();  // the last handed over, whatever the first round left
      std::vector<TimedWait> waits = {
          {[&] { return events[static_cast<size_t>(plainBuffer)]; },
           [&] { WaitForSingleObject(events[static_cast<size_t>(plainBuffer)], 5000); }, nullptr},
          {[&] { return events[static_cast<size_t>(plainBuffer)]; },
           [&] { int16_t n = -1; rig.host.api.WaitForBuffers(hCam, &n, 5000); }, nullptr}};
      if (haveEx) {
        waits.push_back({[&] { return events[static_cast<size_t>(exNext)]; },
                         [&] { int16_t n = -1; int32_t p = 0; rig.host.api.WaitForBuffersEx(hCam, &n, 5000, &p, nullptr); },
                         handBack});
        waits.push_back({[&] { return events[static_cast<size_t>(exNext)]; },
                         [&] { int16_t n = -1; rig.host.api.WaitForBuffersEx(hCam, &n, 5000, nullptr, nullptr); },
                         handBack});
      }
      const std::vector<WakeFigure> f = TimeWakeUps(waits);
      const char* set = first ? "first" : "last";
      PrintWake("VWaitForBuffers", count, set, f[1], f[0]);
      if (haveEx) {
        PrintWake("VWaitForBuffersEx, pending", count, set, f[2], f[0]);
        PrintWake("VWaitForBuffersEx", count, set, f[3], f[0]);
      }
    }
    rig.host.api.cleanup(hCam);
  }
}

// A 4 KiB copy (64 x 64 x 8) through the export against the plain copies of the same bytes into
// the same array, both cached as in a tight loop: the difference is the export's fixed cost.
void CopyCost(CameraRig& rig, void* hCam) {
  const size_t bytes = 64 * 64;
  const int16_t number = rig.NewBuffer(hCam, static_cast<uint32_t>(bytes));
  const void* source = rig.Sim(1).BufferAddress(hCam, number);
  LvArray array({64 * 64}, 1);
  void* target = const_cast<uint8_t*>(array.elements());
  using Copy = std::function<void()>;
  const Copy copies[] = {
      [&] { rig.host.api.GetImageFromBuffer(hCam, number, 64, 64, 8, array.handle()); },
      [&] { bench::CopyMemcpy(target, source, bytes); },
      [&] { bench::CopyRepMovsb(target, source, bytes); },
      [&] { bench::CopyAvx2(target, source, bytes); },
  };
  const char* names[] = {"export", "memcpy", "movsb", "avx2"};
  constexpr int kCopies = 4;
  double best[kCopies] = {1e9, 1e9, 1e9, 1e9};
  for (int round = 0; round < 6; ++round) {
    for (int k = 0; k < kCopies; ++k) {
      const int which = round % 2 == 0 ? k : kCopies - 1 - k;
      const int calls = 100000;
      const double start = Now();
      for (int i = 0; i < calls; ++i) copies[which]();
      best[which] = std::min(best[which], (Now() - start) / calls);
    }
  }
  const int plain = static_cast<int>(std::min_element(best + 1, best + kCopies) - best);
  printf("  4 KiB copy (64x64x8): export %.1f, memcpy %.1f, movsb %.1f, avx2 %.1f; export - %s = %.1f\n",
         best[0] * 1e9, best[1] * 1e9, best[2] * 1e9, best[3] * 1e9, names[plain], (best[0] - best[plain]) * 1e9);
}

// 7. The cost of one export with the log off: a 1 x 1 copy, with 1 and with 256 records, and a
// 4 KiB copy against plain copies.
void ExportCost(CameraRig& rig) {
  printf("\nExport cost with the log off, VGetImageFromBuffer of a 1x1 image, and of 4 KiB against plain copies (ns per call)\n");
  void* hCam = Cam(0xC000);
  Bind(rig, hCam, 1);
  const int16_t number = rig.NewBuffer(hCam, 16);
  LvArray array({1}, 1);
  auto measure = [&] {
    const int calls = 200000;
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
      const double start = Now();
      for (int i = 0; i < calls; ++i) rig.host.api.GetImageFromBuffer(hCam, number, 1, 1, 8, array.handle());
      best = std::min(best, (Now() - start) / calls);
    }
    return best * 1e9;
  };
  const double small = measure();
  CopyCost(rig, hCam);
  // 255 more records, all in front of the camera's: the lookups scan past them.
  for (int i = 0; i < 255; ++i) rig.Init(Cam(0xD000 + i), 4);
  const double large = measure();
  printf("  %-12s %10.1f\n  %-12s %10.1f\n", "1 record", small, "256 records", large);
  for (int i = 0; i < 255; ++i) rig.host.api.cleanup(Cam(0xD000 + i));
  rig.host.api.cleanup(hCam);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  CameraRig rig("bench");
  rig.host.AddStandIn("VOR_File.dll");
  if (!rig.loaded) return 1;
  // A section's name on the command line runs only that section.
  auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (strcmp(argv[i], name) == 0) return true;
    }
    return false;
  };
  printf("vorlabview benchmarks (each figure measured side by side with its baseline in this run)\n");
  if (wanted("copy")) CopyAgainstBest(rig);
  if (wanted("parallel")) ParallelCopies(rig);
  if (wanted("isolation")) Isolation(rig);
  if (wanted("endtoend")) EndToEnd(rig);
  if (wanted("registry")) RegistryCosts(rig);
  if (wanted("wake")) WakeLatency(rig);
  if (wanted("cost")) ExportCost(rig);
  return 0;
}
