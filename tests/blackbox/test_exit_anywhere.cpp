// The process ends while threads are anywhere in the exports, as when LabVIEW quits: the
// module's exit must not wait for what a killed thread held, and the session log (thread
// mode) keeps every entry whose call returned.  And a copy that faults in the caller's memory
// must leave the other calls working.  Each run is a child process (exit_child).
#include <windows.h>
#include <stdio.h>

#include <vector>

#include "exit_child.h"
#include "log_checks.h"
#include "log_entries.h"
#include "log_folder.h"
#include "module_host.h"
#include "wtest.h"

namespace {

struct ChildEnd {
  bool reached = false;  // the child set its event: it is about to end
  bool ended = false;    // it ended by itself (after the event, within the bound)
  DWORD endMs = 0;       // from the event to the end
  DWORD exitCode = 0xFFFFFFFF;
};

// Runs exit_child with `arguments` and the name of an event it sets just before it ends; waits
// `reachMs` for the event and then `endMs` for the end, and kills a child that is stuck.  The
// module folder the child left (`folder`-<pid>-1) is removed.
ChildEnd RunChild(const std::string& arguments, const char* folder, DWORD reachMs, DWORD endMs) {
  static LONG counter = 0;
  ChildEnd end;
  const std::string eventName =
      wtest::Format("vorlab_exit_child_%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
  std::string command =
      wtest::Format("\"%s\\exit_child.exe\" %s %s", ExeFolder().c_str(), arguments.c_str(), eventName.c_str());
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started =
      CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  const DWORD error = GetLastError();
  if (!ok(started, "cannot start the child: %lu", error)) {
    CloseHandle(event);
    return end;
  }
  const HANDLE either[2] = {event, process.hProcess};
  const DWORD first = WaitForMultipleObjects(2, either, FALSE, reachMs);
  if (first == WAIT_OBJECT_0) {
    end.reached = true;
    LARGE_INTEGER frequency, from, to;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&from);
    end.ended = WaitForSingleObject(process.hProcess, endMs) == WAIT_OBJECT_0;
    QueryPerformanceCounter(&to);
    end.endMs = static_cast<DWORD>((to.QuadPart - from.QuadPart) * 1000 / frequency.QuadPart);
  }
  if (!end.ended && first != WAIT_OBJECT_0 + 1) {
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, 10000);
  }
  GetExitCodeProcess(process.hProcess, &end.exitCode);
  RemoveFolder(wtest::Format("%s\\work\\%s-%lu-1", ExeFolder().c_str(), folder, process.dwProcessId));
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(event);
  return end;
}

// Every entry of the file is whole and in stamp order; the 100 buffers of the camera with many
// are there; each worker's markers are there from its first on, each once and in order, at least
// as many as had returned.
bool CheckLog(const std::string& log, const long (&made)[kExitThreads]) {
  const std::vector<LogEntry> entries = ParseLogEntries(log);
  int broken = 0, manyBuffers = 0, stray = 0;
  uintptr_t next[kExitThreads];
  for (int t = 0; t < kExitThreads; ++t) next[t] = kMarkerStep * (t + 1);
  for (const LogEntry& entry : entries) {
    if (!entry.wellFormed) ++broken;
    if (entry.text.compare(0, 29, "VAllocateBuffer done hCam 22 ") == 0) ++manyBuffers;
    unsigned hCam = 0;
    int type = 0;
    if (sscanf(entry.text.c_str(), "VInitLibrary done hCam %x type %d", &hCam, &type) != 2 || type != 4) continue;
    const uintptr_t t = hCam / kMarkerStep - 1;
    if (t >= static_cast<uintptr_t>(kExitThreads) || hCam != next[t]) {
      if (stray++ == 0) ok(false, "marker hCam %x out of place", hCam);
      continue;
    }
    ++next[t];
  }
  bool good = ok_eq_int(0, broken) & ok_eq_int(0, stray) & ok(manyBuffers >= 100, "%d of 100 allocations", manyBuffers);
  const StampOrder order = CheckStampOrder(log);
  good &= ok_eq_int(0, order.inversions);
  for (int t = 0; t < kExitThreads; ++t) {
    const long found = static_cast<long>(next[t] - kMarkerStep * (t + 1));
    good &= ok(found >= made[t], "worker %d: %ld markers in the file, %ld returned", t, found, made[t]);
  }
  return good;
}

}  // namespace

// 200 children end at random moments (0-150 ms into their work) with ExitProcess(0): each ends
// within 1 s of the call, with exit code 0 and a complete log.  Stops after 5 failed runs.
TEST_CASE(process_ends_anywhere) {
  constexpr int kRuns = 200, kFailedRunsToStop = 5;
  constexpr DWORD kEndMs = 1000, kKillMs = 5000;
  uint32_t seed = GetTickCount();
  printf("seed %u\n", seed);
  int failedRuns = 0, runs = 0;
  long markers = 0;
  DWORD slowest = 0;
  const std::string recordFolder = MakeFreshFolder("anywhere_record");
  const std::string recordPath = recordFolder + "\\record.txt";
  for (; runs < kRuns && failedRuns < kFailedRunsToStop; ++runs) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t childSeed = seed >> 8;
    WTEST_CONTEXT("run %d, child seed %u (ends after %u ms)", runs, childSeed, childSeed % 151);
    PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
    DeleteFileA(recordPath.c_str());
    const ChildEnd end =
        RunChild(wtest::Format("anywhere %u \"%s\"", childSeed, recordPath.c_str()), "anywhere", 60000, kKillMs);
    bool good = ok(end.reached, "the child ended before its ExitProcess call, exit code %lu", end.exitCode);
    if (end.reached) {
      good &= ok(end.ended, "the child did not end within %lu ms of its ExitProcess call: killed", kKillMs);
      if (end.ended) {
        good &= ok(end.endMs <= kEndMs, "the child ended %lu ms after its ExitProcess call", end.endMs);
        if (end.endMs > slowest) slowest = end.endMs;
      }
    }
    good &= ok_eq_hex(0, end.exitCode);
    long made[kExitThreads] = {-1, -1, -1, -1};
    if (end.reached) {
      good &= ok(sscanf(ReadWholeFile(recordPath).c_str(), "made=%ld,%ld,%ld,%ld", &made[0], &made[1], &made[2],
                        &made[3]) == kExitThreads, "no record of the markers made");
      good &= CheckLog(ReadWholeFile(InFolder("vorlabview.log")), made);
      for (long m : made) markers += m > 0 ? m : 0;
    }
    if (!good) ++failedRuns;
  }
  RemoveFolder(recordFolder);
  printf("%d runs, %d failed; %ld returned markers checked; slowest end %lu ms after ExitProcess\n", runs,
         failedRuns, markers, slowest);
}

// A copy into a LabVIEW array whose elements include a no-access page faults on its own thread;
// a vectored handler in the child takes the fault and stops that thread for good, as a caller
// that catches the fault and never returns into the module.  For a copy of at most 4 KiB and a
// large one, another camera's calls and those of the faulting camera's other buffers still
// return (each waited for 3 s), and the process still ends.
TEST_CASE(fault_in_caller_memory) {
  for (const char* name : {"fault_in_a_small_copy", "fault_in_a_large_copy"}) {
    WTEST_CONTEXT("%s", name);
    PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
    const ChildEnd end = RunChild(name, "fault", 120000, 5000);
    if (!ok(end.reached, "the child's checks did not finish, exit code %lu", end.exitCode)) continue;
    ok(end.ended, "the process did not end within 5 s after the fault: killed");
    ok_eq_hex(0, end.exitCode);  // the child's checks, printed above
  }
}
