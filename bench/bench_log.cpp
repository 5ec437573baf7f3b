// The caller's cost of a log entry in the three log modes, measured in one run: flush=0
// (close and reopen per entry), flush=1 (file kept open) and usethread=1 (mailslot to the
// writer thread).  Uses the log folder of the Wine prefix it runs in, and empties it after.
#include <windows.h>
#include <stdio.h>

#include "bench_clock.h"
#include "camera_rig.h"
#include "log_folder.h"
#include "lv_array.h"

namespace {


// Entries per second of an export that logs one error entry per call.
double EntriesPerSecond(const char* ini, int entries) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", ini}});
  ModuleHost host("bench_log");
  if (!host.Load()) return 0;
  LvArray array({1}, 1);
  // Warm up: the first entries start the writer in thread mode.
  for (int i = 0; i < 20; ++i) host.api.GetImageFromBuffer(Cam(0x77), 0, 1, 1, 8, array.handle());
  Sleep(200);
  const double start = Now();
  for (int i = 0; i < entries; ++i) host.api.GetImageFromBuffer(Cam(0x77), 0, 1, 1, 8, array.handle());
  const double elapsed = Now() - start;
  host.Unload();
  const size_t logged = ReadWholeFile(InFolder("vorlabview.log")).size();
  std::string label = ini[0] ? ini : "flush=0";
  label = label.substr(0, label.find('\r'));
  printf("  %-12s %8d entries in %8.3f s  %10.0f entries/s  (log %u bytes)\n", label.c_str(), entries,
         elapsed, entries / elapsed, static_cast<unsigned>(logged));
  return entries / elapsed;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  printf("Caller's cost of a log entry (VGetImageFromBuffer of an unknown camera logs one error entry)\n");
  const double flush0 = EntriesPerSecond("", 2000);
  const double flush1 = EntriesPerSecond("flush=1\r\n", 20000);
  const double thread = EntriesPerSecond("usethread=1\r\n", 20000);
  printf("  thread mode is %.1f times cheaper for the caller than flush=0, %.1f times than flush=1\n",
         thread / flush0, thread / flush1);
  printf("  (ratios of cost: flush0/thread %.1f, flush1/thread %.1f)\n", thread / flush0, thread / flush1);
  PrepareFolder({});
  return 0;
}
