// Loading and unloading the module again and again, as LabVIEW does whenever the VIs that use
// it are closed and opened again: the heaps' bytes in use and the handles stay flat in every
// log mode.
#include <windows.h>

#include "camera_rig.h"
#include "log_checks.h"
#include "log_folder.h"
#include "process_usage.h"

namespace {

constexpr int kCycles = 200;

struct Mode {
  const char* name;
  bool logged;     // a session log is in place
  const char* ini;
};

// One load as a VI session makes it: a few entries (the first starts the writer in thread
// mode, the rest go to its queue), then the unload.
void Cycle(ModuleHost& host, uintptr_t hCam) {
  if (!host.Load()) return;
  for (uintptr_t i = 0; i < 3; ++i) LogOne(host, hCam + i);
  host.Unload();
}

}  // namespace

TEST_CASE(loads_and_unloads_leave_heap_and_handles_flat) {
  const Mode modes[] = {
      {"log off", false, nullptr},
      {"flush=0", true, ""},
      {"flush=1", true, "flush=1\r\n"},
      {"usethread=1", true, "usethread=1\r\n"},
  };
  for (const Mode& mode : modes) {
    WTEST_CONTEXT("%s", mode.name);
    if (!mode.logged) {
      PrepareFolder({});
    } else {
      PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", mode.ini}});
    }
    ModuleHost host("memory");
    // The first loads settle what the system keeps once per process (the log folder's lookup,
    // the info file, the loader's own tables).
    for (int i = 0; i < 5; ++i) Cycle(host, 0x100);
    Sleep(100);
    const ProcessUsage before = MeasureProcessUsage();
    for (int i = 0; i < kCycles; ++i) Cycle(host, 0x1000 + 0x10 * i);
    Sleep(100);  // a writer thread that was told to end finishes after the unload
    const ProcessUsage after = MeasureProcessUsage();
    const long long grown = static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes);
    printf("%-12s %d loads: heap bytes in use %llu -> %llu (%+.1f a load), next handle %#llx -> %#llx\n",
           mode.name, kCycles, static_cast<unsigned long long>(before.heapBytes),
           static_cast<unsigned long long>(after.heapBytes), static_cast<double>(grown) / kCycles,
           static_cast<unsigned long long>(before.nextHandle), static_cast<unsigned long long>(after.nextHandle));
    // Less than 16 bytes a load: the smallest block a load could leave behind is bigger.
    ok(grown < 16 * kCycles, "heap bytes in use grew by %lld over %d loads", grown, kCycles);
    ok(after.nextHandle <= before.nextHandle + 8 * 4, "new handles went from %#llx to %#llx",
       static_cast<unsigned long long>(before.nextHandle), static_cast<unsigned long long>(after.nextHandle));
    if (mode.logged) {
      std::string why;
      ok(AllOnceInOrder(ReadWholeFile(InFolder("vorlabview.log")), 0x1000 + 0x10 * (kCycles - 1), 3, &why),
         "the last session: %s", why.c_str());
    }
  }
}
