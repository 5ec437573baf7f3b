// Benchmarks of the acquisition road, each measured side by side with its baseline in one run:
// image copies against memcpy, wake latency of VWaitForBuffers against a bare wait, and the
// cost of an export with the log off for a small and a large registry.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench_clock.h"
#include "camera_rig.h"
#include "lv_array.h"

namespace {


// Copies: rounds alternate the module's copy and memcpy, so both see the same machine.
void CopyThroughput(CameraRig& rig) {
  struct Frame { uint16_t width, height, bits; };
  const Frame frames[] = {{640, 480, 8}, {2048, 2048, 16}, {2560, 2160, 16}};
  printf("\nImage copy, VGetImageFromBuffer against memcpy of the same bytes (higher is better)\n");
  printf("  %-14s %10s %10s %8s\n", "frame", "module GB/s", "memcpy GB/s", "ratio");
  int16_t bufNr = 0;
  for (const Frame& f : frames) {
    const size_t bytes = size_t{f.width} * f.height * (f.bits > 8 ? 2 : 1);
    void* hCam = Cam(0xBE00 + bufNr);
    rig.Init(hCam, 3);
    const int16_t number = rig.NewBuffer(hCam, static_cast<uint32_t>(bytes));
    SimApi sim = rig.Sim(3);
    sim.FillBuffer(hCam, number, 5, 0);
    const void* source = sim.BufferAddress(hCam, number);
    LvArray array({static_cast<int32_t>(size_t{f.width} * f.height)}, f.bits > 8 ? 2 : 1, 0);
    void* target = const_cast<uint8_t*>(array.elements());

    const int repeats = bytes > 4000000 ? 10 : 100;
    auto timeModule = [&] {
      const double start = Now();
      for (int i = 0; i < repeats; ++i) {
        rig.host.api.GetImageFromBuffer(hCam, number, f.width, f.height, f.bits, array.handle());
      }
      return Now() - start;
    };
    auto timeMemcpy = [&] {
      const double start = Now();
      for (int i = 0; i < repeats; ++i) {
        memcpy(target, source, bytes);
        // Keep the compiler from dropping repeated copies of the same bytes.
        static_cast<volatile uint8_t*>(target)[i % bytes] ^= 0;
      }
      return Now() - start;
    };
    // Rounds alternate which copy goes first; the median round decides.
    std::vector<double> moduleTimes, memcpyTimes, ratios;
    for (int round = 0; round < 15; ++round) {
      double m, c;
      if (round % 2 == 0) { m = timeModule(); c = timeMemcpy(); } else { c = timeMemcpy(); m = timeModule(); }
      moduleTimes.push_back(m);
      memcpyTimes.push_back(c);
      ratios.push_back(c / m);
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    const double perRound = double(repeats) * bytes / 1e9;
    printf("  %4ux%-4ux%-4u %10.2f %10.2f %8.3f\n", f.width, f.height, f.bits > 8 ? 2 : 1,
           perRound / median(moduleTimes), perRound / median(memcpyTimes), median(ratios));
    rig.host.api.cleanup(hCam);
    ++bufNr;
  }
}

struct Signaller {
  HANDLE event;         // the buffer's event to set
  HANDLE go;            // the waiter is about to wait
  volatile double setAt;
  volatile LONG stop;
};

DWORD WINAPI SignalLoop(void* argument) {
  Signaller& s = *static_cast<Signaller*>(argument);
  while (WaitForSingleObject(s.go, INFINITE) == WAIT_OBJECT_0 && !s.stop) {
    Sleep(1);  // let the waiter block first
    s.setAt = Now();
    SetEvent(s.event);
  }
  return 0;
}

struct Latency { double median, p99; };

Latency Summarise(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2] * 1e6, samples[samples.size() * 99 / 100] * 1e6};
}

// Wake latency: another thread sets one buffer's event; time until the wait returns.
void WakeLatency(CameraRig& rig) {
  printf("\nWake latency, VWaitForBuffers against a bare WaitForMultipleObjects on the same events (us)\n");
  printf("  %-8s %12s %12s %12s %12s %10s %10s\n", "buffers", "module med", "module p99", "bare med", "bare p99",
         "med ratio", "p99 ratio");
  const int counts[] = {1, 16, 64};
  uintptr_t next = 0xB100;
  for (int count : counts) {
    void* hCam = Cam(next++);
    rig.Init(hCam, 2);
    std::vector<HANDLE> events;
    for (int i = 0; i < count; ++i) {
      uint32_t event = 0;
      rig.NewBuffer(hCam, 64, &event);
      events.push_back(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event)));
    }
    // The oldest buffer is signalled: the last one a scan of the registry reaches.
    SimApi sim = rig.Sim(2);
    sim.FillBuffer(hCam, 0, 0, 0);
    Signaller s{events[0], CreateEventA(nullptr, FALSE, FALSE, nullptr), 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, SignalLoop, &s, 0, nullptr);
    const int iterations = 300;
    std::vector<double> module, bare;
    for (int i = 0; i < iterations; ++i) {
      for (int pass = 0; pass < 2; ++pass) {
        ResetEvent(s.event);
        SetEvent(s.go);
        if (pass == 0) {
          int16_t number = -1;
          rig.host.api.WaitForBuffers(hCam, &number, 5000);
          module.push_back(Now() - s.setAt);
        } else {
          WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, 5000);
          bare.push_back(Now() - s.setAt);
        }
        Sleep(0);
      }
    }
    s.stop = 1;
    SetEvent(s.go);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(s.go);
    const Latency m = Summarise(module), b = Summarise(bare);
    printf("  %-8d %12.1f %12.1f %12.1f %12.1f %10.2f %10.2f\n", count, m.median, m.p99, b.median, b.p99,
           m.median / b.median, m.p99 / b.p99);
    rig.host.api.cleanup(hCam);
  }
}

// The cost of one export with the log off: a 1 x 1 copy, with 1 and with 256 records.
void ExportCost(CameraRig& rig) {
  printf("\nExport cost with the log off, VGetImageFromBuffer of a 1x1 image (ns per call)\n");
  void* hCam = Cam(0xC000);
  rig.Init(hCam, 1);
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
  // 255 more records, all in front of the camera's: the lookups scan past them.
  for (int i = 0; i < 255; ++i) rig.Init(Cam(0xD000 + i), 4);
  const double large = measure();
  printf("  %-12s %10.1f\n  %-12s %10.1f\n  256/1 ratio  %10.2f\n", "1 record", small, "256 records", large,
         large / small);
  for (int i = 0; i < 255; ++i) rig.host.api.cleanup(Cam(0xD000 + i));
  rig.host.api.cleanup(hCam);
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  CameraRig rig("bench");
  if (!rig.loaded) return 1;
  printf("vorlabview benchmarks (each figure measured side by side with its baseline in this run)\n");
  CopyThroughput(rig);
  WakeLatency(rig);
  ExportCost(rig);
  return 0;
}
