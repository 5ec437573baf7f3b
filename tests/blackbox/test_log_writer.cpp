// The threaded log writer end to end: direct entries before the connection, blocks of more
// than 4096 bytes, the write-out at unload, many threads, a lost log file, a taken mailslot,
// a foreign writer on the module's mailslot, unloads straight after the first entries or a
// burst, and the order of time stamps.
#include <windows.h>

#include "camera_rig.h"
#include "log_checks.h"
#include "log_entries.h"
#include "log_folder.h"

namespace {

const char kMailslot[] = "\\\\.\\mailslot\\loggingslot_vorlabview";

std::string LogFile() { return ReadWholeFile(InFolder("vorlabview.log")); }

// Polls until `done` holds, for at most `ms`.
template <typename Condition>
bool Eventually(Condition done, DWORD ms = 10000) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20)) {
    if (done()) return true;
  }
  return done();
}

// The first entry starts the writer and goes straight into the file; the entries after it go
// to the writer's queue.
void StartWriter(ModuleHost& host, uintptr_t hCam) {
  LogOne(host, hCam);
  Sleep(200);
}

}  // namespace

TEST_CASE(first_entry_direct_then_blocks_then_unload) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_blocks");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  StartWriter(host, 0x1000);
  ok(LogFile().find(InitEntryText(0x1000)) != std::string::npos, "the first entry is not in the file at once");
  for (uintptr_t h = 0x1001; h < 0x1005; ++h) LogOne(host, h);
  Sleep(300);
  ok(LogFile().find(InitEntryText(0x1001)) == std::string::npos, "a queued entry reached the file before 4096 bytes");
  // About 60 bytes an entry: 80 more pass 4096 bytes, and the writer writes a block.
  for (uintptr_t h = 0x1005; h < 0x1055; ++h) LogOne(host, h);
  ok(Eventually([] { return LogFile().find(InitEntryText(0x1001)) != std::string::npos; }),
     "no block was written past 4096 bytes");
  const size_t blockSize = LogFile().size();
  host.Unload();
  const std::string file = LogFile();
  ok(file.size() > blockSize, "nothing was written at unload");
  std::string why;
  ok(AllOnceInOrder(file, 0x1000, 0x55, &why), "%s", why.c_str());
  ok(file.find("Logging runs in a thread!\r\n") != std::string::npos, "no thread line in the header");
}

namespace {

struct Writer {
  ModuleHost* host;
  uintptr_t first;
  int count;
};

DWORD WINAPI WriteEntries(void* argument) {
  Writer& w = *static_cast<Writer*>(argument);
  for (int i = 0; i < w.count; ++i) LogOne(*w.host, w.first + i);
  return 0;
}

}  // namespace

TEST_CASE(entries_of_many_threads_all_arrive_whole) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_threads");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  constexpr int kThreads = 4, kEach = 300;
  Writer writers[kThreads];
  HANDLE threads[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    writers[t] = Writer{&host, 0x100000u * (t + 1), kEach};
    threads[t] = CreateThread(nullptr, 0, WriteEntries, &writers[t], 0, nullptr);
  }
  ok(WaitForMultipleObjects(kThreads, threads, TRUE, 120000) == WAIT_OBJECT_0, "writers did not finish");
  for (HANDLE thread : threads) CloseHandle(thread);
  host.Unload();
  const std::string file = LogFile();
  for (const Writer& w : writers) {
    std::string why;
    ok(AllOnceInOrder(file, w.first, w.count, &why), "%s", why.c_str());
  }
  const std::vector<LogEntry> entries = ParseLogEntries(file);
  ok_eq_int(kThreads * kEach, entries.size());
  int malformed = 0;
  for (const LogEntry& e : entries) malformed += !e.wellFormed || e.hasError;
  ok_eq_int(0, malformed);
}

TEST_CASE(log_file_removed_in_thread_mode_switches_off) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_removed");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  StartWriter(host, 0x2000);
  LogOne(host, 0x2001);  // queued: the module holds the file shared for removal
  ok(Eventually([] { return DeleteFileA(InFolder("vorlabview.log").c_str()) != FALSE; }),
     "cannot remove the log file: %lu", GetLastError());
  uint32_t failures = 0;
  for (uintptr_t h = 0x2002; h < 0x2100; ++h) failures += host.api.InitLibrary(Cam(h), 4) != 0;
  ok_eq_int(0, failures);
  Sleep(300);
  host.Unload();
  ok(GetFileAttributesA(InFolder("vorlabview.log").c_str()) == INVALID_FILE_ATTRIBUTES,
     "a log file was written after it had been removed");
}

TEST_CASE(taken_mailslot_keeps_the_log_direct) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\nflush=1\r\n"}});
  HANDLE taken = CreateMailslotA(kMailslot, 0, 0, nullptr);
  if (!ok(taken != INVALID_HANDLE_VALUE, "cannot take the mailslot: %lu", GetLastError())) return;
  ModuleHost host("writer_taken");
  if (ok(host.Load(), "cannot load the DLL")) {
    for (uintptr_t h = 0x3000; h < 0x3010; ++h) LogOne(host, h);
    // Every entry is in the file during the session: direct mode.
    std::string why;
    ok(AllOnceInOrder(LogFile(), 0x3000, 16, &why), "%s", why.c_str());
    host.Unload();
    ok(AllOnceInOrder(LogFile(), 0x3000, 16, &why), "after unload: %s", why.c_str());
  }
  CloseHandle(taken);
}

TEST_CASE(foreign_writer_cannot_break_the_log) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_foreign");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  StartWriter(host, 0x4000);
  LogOne(host, 0x4001);
  HANDLE foreign = CreateFileA(kMailslot, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!ok(foreign != INVALID_HANDLE_VALUE, "cannot open the module's mailslot: %lu", GetLastError())) return;
  auto send = [&](const std::string& message) {
    DWORD written = 0;
    WriteFile(foreign, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  };
  send(std::string(3000, 'L') + "\r\n");   // longer than any entry's part
  send(std::string(998, 'K') + "\r\n");    // exactly 1000 bytes
  send(std::string(4990, 'M') + "\r\n");   // nearly the whole buffer
  for (int i = 0; i < 2000; ++i) send("FOREIGN\r\n");
  for (uintptr_t h = 0x4002; h < 0x4100; ++h) LogOne(host, h);
  host.Unload();
  CloseHandle(foreign);
  const std::string file = LogFile();
  std::string why;
  ok(AllOnceInOrder(file, 0x4000, 0x100, &why), "%s", why.c_str());
  ok(file.find(std::string(998, 'K') + "\r\n") != std::string::npos, "a 1000-byte message was lost");
  ok(file.find(std::string(1001, 'L')) == std::string::npos, "an over-long message was written");
  size_t foreignLines = 0;
  for (size_t at = file.find("FOREIGN\r\n"); at != std::string::npos; at = file.find("FOREIGN\r\n", at + 1)) ++foreignLines;
  ok_eq_int(2000, foreignLines);
}

namespace {

constexpr int kRounds = 50;
constexpr DWORD kUnloadBoundMs = 200;
constexpr int kFailedRoundsToStop = 3;  // a broken unload costs seconds a round: stop early

// Times the module's unload.
DWORD TimedUnload(ModuleHost& host) {
  const DWORD start = GetTickCount();
  host.Unload();
  return GetTickCount() - start;
}

}  // namespace

TEST_CASE(unload_right_after_the_first_entries) {
  int failedRounds = 0;
  DWORD slowest = 0;
  for (int round = 0; round < kRounds && failedRounds < kFailedRoundsToStop; ++round) {
    WTEST_CONTEXT("round %d", round);
    PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
    ModuleHost host("writer_quick");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    const uintptr_t first = 0x10000 + round * 0x10;
    const int count = 1 + round % 4;
    for (int i = 0; i < count; ++i) LogOne(host, first + i);
    const DWORD took = TimedUnload(host);
    if (took > slowest) slowest = took;
    std::string why;
    const bool whole = ok(AllOnceInOrder(LogFile(), first, count, &why), "%s", why.c_str());
    const bool quick = ok(took < kUnloadBoundMs, "the unload took %lu ms", took);
    if (!whole || !quick) ++failedRounds;
  }
  printf("slowest unload after the first entries: %lu ms\n", slowest);
}

TEST_CASE(unload_right_after_a_burst_from_several_threads) {
  constexpr int kThreads = 4, kEach = 80;
  int failedRounds = 0;
  DWORD slowest = 0;
  for (int round = 0; round < kRounds && failedRounds < kFailedRoundsToStop; ++round) {
    WTEST_CONTEXT("round %d", round);
    PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
    ModuleHost host("writer_burst");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    Writer bursts[kThreads];
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
      bursts[t] = Writer{&host, 0x100000u * (t + 1) + round * 0x100u, kEach};
      threads[t] = CreateThread(nullptr, 0, WriteEntries, &bursts[t], 0, nullptr);
    }
    const bool joined = WaitForMultipleObjects(kThreads, threads, TRUE, 60000) == WAIT_OBJECT_0;
    for (HANDLE thread : threads) CloseHandle(thread);
    if (!ok(joined, "the burst did not end")) return;
    const DWORD took = TimedUnload(host);
    if (took > slowest) slowest = took;
    const std::string file = LogFile();
    bool whole = ok_eq_int(kThreads * kEach, ParseLogEntries(file).size());
    for (const Writer& burst : bursts) {
      std::string why;
      whole &= ok(AllOnceInOrder(file, burst.first, burst.count, &why), "%s", why.c_str());
    }
    const bool quick = ok(took < kUnloadBoundMs, "the unload took %lu ms", took);
    if (!whole || !quick) ++failedRounds;
  }
  printf("slowest unload after a burst: %lu ms\n", slowest);
}

TEST_CASE(entries_reach_the_file_in_time_stamp_order) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_stamps");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  constexpr int kThreads = 4, kEach = 1500;
  Writer bursts[kThreads];
  HANDLE threads[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    bursts[t] = Writer{&host, 0x100000u * (t + 1), kEach};
    threads[t] = CreateThread(nullptr, 0, WriteEntries, &bursts[t], 0, nullptr);
  }
  ok(WaitForMultipleObjects(kThreads, threads, TRUE, 120000) == WAIT_OBJECT_0, "writers did not finish");
  for (HANDLE thread : threads) CloseHandle(thread);
  host.Unload();
  const std::string file = LogFile();
  ok_eq_int(kThreads * kEach, ParseLogEntries(file).size());
  const StampOrder order = CheckStampOrder(file);
  ok(order.inversions == 0, "%d entries carry a time stamp earlier than the entry before them (up to %lld ms)",
     order.inversions, static_cast<long long>(order.worstMs));
}
