// The session log in thread mode when the process ends with the module loaded, as LabVIEW
// usually ends: the system ends the writer thread wherever it is, and the module's exit must
// still leave every entry in the file exactly once, in order.  Each case runs log_exit_child.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "log_checks.h"
#include "log_entries.h"
#include "log_folder.h"
#include "module_host.h"
#include "wtest.h"

namespace {

struct ChildRun {
  DWORD exitCode;
  long made;     // entries whose call had returned when the process ended
  bool reached;  // the writer was held at the planned moment
  std::string log;
};

// Runs the child against a fresh session log in thread mode.
ChildRun RunChild(const char* moment, uintptr_t first, int count, DWORD delayUs,
                  const char* ini = "usethread=1\r\n") {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", ini}});
  const std::string recordFolder = MakeFreshFolder("exit_record");
  const std::string recordPath = recordFolder + "\\record.txt";
  std::string command = wtest::Format("\"%s\\log_exit_child.exe\" %s %x %d %lu \"%s\"", ExeFolder().c_str(), moment,
                                      static_cast<unsigned>(first), count, delayUs, recordPath.c_str());
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ChildRun run = {0xFFFFFFFF, -1, false, std::string()};
  const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process);
  const DWORD error = GetLastError();
  if (!ok(started, "cannot start the child: %lu", error)) return run;
  if (!ok(WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0, "the child did not end")) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 10000);
  }
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  // The child ends without its own clean-up: its module folder is removed here.
  RemoveFolder(wtest::Format("%s\\work\\exit-%lu-1", ExeFolder().c_str(), process.dwProcessId));
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  int reached = 0;
  sscanf(ReadWholeFile(recordPath).c_str(), "made=%ld reached=%d", &run.made, &reached);
  run.reached = reached != 0;
  RemoveFolder(recordFolder);
  run.log = ReadWholeFile(InFolder("vorlabview.log"));
  return run;
}

// The file holds the run's first entries, each once and in order, and nothing else; at least
// every entry whose call had returned.
bool CheckRun(const ChildRun& run, uintptr_t first) {
  const std::vector<LogEntry> entries = ParseLogEntries(run.log);
  for (size_t i = 0; i < entries.size(); ++i) {
    unsigned hCam = 0;
    if (sscanf(entries[i].text.c_str(), "VInitLibrary done hCam %x", &hCam) != 1 || hCam != first + i) {
      // Name the run's first entry that is not where it belongs.
      std::string why;
      AllOnceInOrder(run.log, first, static_cast<int>(entries.size()), &why);
      return ok(false, "entry %u of the file is \"%s\" (%s)", static_cast<unsigned>(i),
                wtest::Escape(entries[i].text).c_str(), why.c_str());
    }
  }
  return ok(static_cast<long>(entries.size()) >= run.made, "%u entries in the file, %ld made",
            static_cast<unsigned>(entries.size()), run.made);
}

}  // namespace

TEST_CASE(process_ends_at_random_moments_of_the_writer) {
  constexpr int kRuns = 50, kEntries = 2000, kFailedRunsToStop = 5;
  uint32_t seed = GetTickCount();
  printf("seed %u\n", seed);
  int failedRuns = 0;
  for (int run = 0; run < kRuns && failedRuns < kFailedRunsToStop; ++run) {
    seed = seed * 1103515245u + 12345u;
    // From at once to well past the time the writer needs for what is left after the burst,
    // spread over every scale in between.
    const DWORD scale = 1u << ((seed >> 4) % 15);
    const DWORD delayUs = (seed >> 12) % scale;
    WTEST_CONTEXT("run %d, end after %lu us", run, delayUs);
    const uintptr_t first = 0x100000 + 0x1000 * run;
    const ChildRun result = RunChild("random", first, kEntries, delayUs);
    const bool ended = ok_eq_hex(0, result.exitCode) && ok_eq_int(kEntries, result.made);
    if (!CheckRun(result, first) || !ended) ++failedRuns;
  }
}

TEST_CASE(process_ends_with_the_writer_held_in_its_work) {
  for (const char* moment : {"after_read", "after_seek", "after_write"}) {
    WTEST_CONTEXT("%s", moment);
    // Enough for several blocks, few enough to wait for a held writer in memory.
    const int kEntries = 600;
    const ChildRun result = RunChild(moment, 0x200000, kEntries, 0);
    ok_eq_hex(0, result.exitCode);
    ok(result.reached, "the writer never came to the moment");
    CheckRun(result, 0x200000);
  }
}

// The fatal end of a process that is no LabVIEW: with boxes switched off its text is in the log,
// and the process ends without a box; with boxes on, the box is shown and the log has no text.
TEST_CASE(fatal_end_goes_to_the_log_when_boxes_stay_shut) {
  for (const char* ini : {"messageboxes=0\r\n", "usethread=1\r\nmessageboxes=0\r\n", "messageboxes=1\r\n"}) {
    WTEST_CONTEXT("ini \"%s\"", wtest::Escape(ini).c_str());
    const ChildRun result = RunChild("fatal", 0, 0, 0, ini);
    ok_eq_hex(1, result.exitCode);
    const bool logged = result.log.find("ERROR 7E:\r\nLABVIEW.LIB was not called from a LabVIEW process.") !=
                        std::string::npos;
    ok(logged == (strstr(ini, "messageboxes=0") != nullptr), "the fatal text is %s the log:\n%s",
       logged ? "in" : "not in", result.log.c_str());
  }
}
