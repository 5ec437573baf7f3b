// The threaded log writer end to end: direct entries before the connection, blocks of more
// than 4096 bytes, the write-out at unload, many threads, a lost log file, a taken mailslot
// and a foreign writer on the module's mailslot.
#include <windows.h>

#include "camera_rig.h"
#include "log_entries.h"
#include "log_folder.h"

namespace {

const char kMailslot[] = "\\\\.\\mailslot\\loggingslot_vorlabview";

std::string Entry(uintptr_t hCam) { return wtest::Format("\r\nVInitLibrary done hCam %x type 4\r\n\r\n", static_cast<unsigned>(hCam)); }

std::string LogFile() { return ReadWholeFile(InFolder("vorlabview.log")); }

// Polls until `done` holds, for at most `ms`.
template <typename Condition>
bool Eventually(Condition done, DWORD ms = 10000) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20)) {
    if (done()) return true;
  }
  return done();
}

// Each of `count` handles from `first` has its entry in the file exactly once, in order.
bool AllInOrder(const std::string& file, uintptr_t first, int count, std::string* why) {
  size_t last = 0;
  for (int i = 0; i < count; ++i) {
    const std::string entry = Entry(first + i);
    const size_t at = file.find(entry);
    if (at == std::string::npos || file.find(entry, at + 1) != std::string::npos || at < last) {
      *why = wtest::Format("entry of hCam %x: %s", static_cast<unsigned>(first + i),
                           at == std::string::npos ? "missing" : at < last ? "out of order" : "twice");
      return false;
    }
    last = at;
  }
  return true;
}

void Log(ModuleHost& host, uintptr_t hCam) { host.api.InitLibrary(Cam(hCam), 4); }

// The first entry starts the writer and goes straight into the file; once the writer's
// mailslot exists, the next entry connects and goes to the queue.
void StartWriter(ModuleHost& host, uintptr_t hCam) {
  Log(host, hCam);
  Sleep(200);
}

}  // namespace

TEST_CASE(first_entry_direct_then_blocks_then_unload) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_blocks");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  StartWriter(host, 0x1000);
  ok(LogFile().find(Entry(0x1000)) != std::string::npos, "the first entry is not in the file at once");
  for (uintptr_t h = 0x1001; h < 0x1005; ++h) Log(host, h);
  Sleep(300);
  ok(LogFile().find(Entry(0x1001)) == std::string::npos, "a queued entry reached the file before 4096 bytes");
  // About 60 bytes an entry: 80 more pass 4096 bytes, and the writer writes a block.
  for (uintptr_t h = 0x1005; h < 0x1055; ++h) Log(host, h);
  ok(Eventually([] { return LogFile().find(Entry(0x1001)) != std::string::npos; }),
     "no block was written past 4096 bytes");
  const size_t blockSize = LogFile().size();
  host.Unload();
  const std::string file = LogFile();
  ok(file.size() > blockSize, "nothing was written at unload");
  std::string why;
  ok(AllInOrder(file, 0x1000, 0x55, &why), "%s", why.c_str());
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
  for (int i = 0; i < w.count; ++i) Log(*w.host, w.first + i);
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
    ok(AllInOrder(file, w.first, w.count, &why), "%s", why.c_str());
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
  Log(host, 0x2001);  // connects: the file is closed and only opened for write-outs
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
    for (uintptr_t h = 0x3000; h < 0x3010; ++h) Log(host, h);
    // Every entry is in the file during the session: direct mode.
    std::string why;
    ok(AllInOrder(LogFile(), 0x3000, 16, &why), "%s", why.c_str());
    host.Unload();
    ok(AllInOrder(LogFile(), 0x3000, 16, &why), "after unload: %s", why.c_str());
  }
  CloseHandle(taken);
}

TEST_CASE(foreign_writer_cannot_break_the_log) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  ModuleHost host("writer_foreign");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  StartWriter(host, 0x4000);
  Log(host, 0x4001);
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
  for (uintptr_t h = 0x4002; h < 0x4100; ++h) Log(host, h);
  host.Unload();
  CloseHandle(foreign);
  const std::string file = LogFile();
  std::string why;
  ok(AllInOrder(file, 0x4000, 0x100, &why), "%s", why.c_str());
  ok(file.find(std::string(998, 'K') + "\r\n") != std::string::npos, "a 1000-byte message was lost");
  ok(file.find(std::string(1001, 'L')) == std::string::npos, "an over-long message was written");
  size_t foreignLines = 0;
  for (size_t at = file.find("FOREIGN\r\n"); at != std::string::npos; at = file.find("FOREIGN\r\n", at + 1)) ++foreignLines;
  ok_eq_int(2000, foreignLines);
}
