// The threaded log writer: a thread of the module's own that collects entries from a mailslot
// and appends them to the log file in blocks.
#include "diagnostics/log_writer.h"

#include <windows.h>
#include <string.h>

#include "diagnostics/log_channel.h"
#include "host/app_framework.h"

namespace {

constexpr DWORD kStartWaitMs = 20000;
constexpr DWORD kConnectFailWaitMs = 500;
constexpr DWORD kParkWaitMs = 5000;
constexpr uint32_t kWriteOutThreshold = 4096;
constexpr DWORD kMaxMessage = 1000;  // longer messages never come from this module
constexpr DWORD kIdleLookMs = 100;   // an idle writer still looks at the queue this often

// What the writer keeps beside LogState: its handshake with the shutdown, and the scratch
// area one message is read into.  `parked` is set by the writer thread when it has left its
// loop for good, so the shutdown knows nobody else touches buffer, bufferFill or the queue.
struct WriterState {
  HANDLE parked;
  char message[kMaxMessage];
};
WriterState s_writer = {nullptr, {}};

void CloseAndClear(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

// Appends the collected bytes to the end of the log file and empties the buffer.
void WriteOutLogBuffer() {
  LogState& log = TheLogState();
  HANDLE file = CreateFileA(log.logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    log.writerRun = false;
    log.enabled = false;
    log.bufferFill = 0;
    return;
  }
  GrantEveryoneAccess(log.logPath);
  LARGE_INTEGER zero = {};
  SetFilePointerEx(file, zero, nullptr, FILE_END);
  DWORD written = 0;
  if (!WriteFile(file, log.buffer, log.bufferFill, &written, nullptr) || written != log.bufferFill) {
    log.writerRun = false;
    log.enabled = false;
  }
  log.bufferFill = 0;
  CloseHandle(file);
}

// Appends one message to the buffer, writing the buffer out first when it has no room.
void Collect(const char* bytes, DWORD length) {
  LogState& log = TheLogState();
  if (log.bufferFill + length > kWriterBufferSize) WriteOutLogBuffer();
  memcpy(log.buffer + log.bufferFill, bytes, length);
  log.bufferFill += length;
}

// Reads every message waiting in the mailslot into the buffer, until a read finds none
// (the read end never blocks).  GetMailslotInfo's count is not relied on: some systems
// report 1 for any number.  Messages longer than any entry are someone else's: they are
// read and dropped.
void DrainQueue(HANDLE queue, bool stopWhenRunCleared) {
  LogState& log = TheLogState();
  for (;;) {
    DWORD read = 0;
    if (ReadFile(queue, s_writer.message, kMaxMessage, &read, nullptr)) {
      Collect(s_writer.message, read);
    } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER || GetLastError() == ERROR_MORE_DATA) {
      DWORD nextSize = 0;
      if (!GetMailslotInfo(queue, nullptr, &nextSize, nullptr, nullptr) || nextSize == MAILSLOT_NO_MESSAGE) {
        return;
      }
      void* oversized = HeapAlloc(GetProcessHeap(), 0, nextSize);
      if (oversized == nullptr) return;
      const BOOL done = ReadFile(queue, oversized, nextSize, &read, nullptr);
      HeapFree(GetProcessHeap(), 0, oversized);
      if (!done) return;
    } else {
      return;  // nothing waiting
    }
    if (log.bufferFill > kWriteOutThreshold || (stopWhenRunCleared && !log.writerRun)) WriteOutLogBuffer();
  }
}

// The writer never returns: a thread that ends runs through the system's thread exit, which
// takes the loader lock and heap locks, and being ended there by TerminateThread could leave
// those locks held.  Parked in a plain wait it holds nothing, and the shutdown ends it there.
[[noreturn]] void Park() {
  SetEvent(s_writer.parked);
  for (;;) Sleep(INFINITE);
}

DWORD WINAPI LogWriterMain(void*) {
  LogState& log = TheLogState();
  // Reads return at once when nothing waits: the writer sleeps on wakeEvent, not in a read.
  log.queueRead = CreateMailslotA(log.queueName, 0, 0, nullptr);
  if (log.queueRead == INVALID_HANDLE_VALUE) {
    // The name is taken (another process holds it): entries keep going straight to the file.
    log.queueRead = nullptr;
    Park();
  }
  log.writerAlive = true;
  SetEvent(log.startedEvent);

  while (log.writerRun) {
    // Senders wake the writer only when it says it is idle; an entry sent just before the
    // flag became visible is found by looking at the queue once more before waiting.
    // wakeEvent resets itself in the wait; a wake-up during a pass makes one more pass.
    log.writerIdle = true;
    DWORD nextSize = MAILSLOT_NO_MESSAGE;
    const bool pending = GetMailslotInfo(log.queueRead, nullptr, &nextSize, nullptr, nullptr) &&
                         nextSize != MAILSLOT_NO_MESSAGE;
    // Other local processes may write to the mailslot too and never wake the writer; where
    // a full mailslot blocks its senders, waiting without limit would block them for good.
    DWORD wait = pending ? WAIT_OBJECT_0 : WaitForSingleObject(log.wakeEvent, kIdleLookMs);
    if (wait == WAIT_TIMEOUT) wait = WAIT_OBJECT_0;
    log.writerIdle = false;
    if (!log.writerAlive) Park();  // the shutdown takes over buffer and queue
    if (wait != WAIT_OBJECT_0) continue;
    if (!log.writerRun) {
      WriteOutLogBuffer();
      continue;
    }
    DrainQueue(log.queueRead, true);
  }
  CloseAndClear(log.queueRead);
  Park();
}

// Tells a started writer to stop and waits for it, for a start that did not come through.
// The flag goes first, so the thread cannot take the wake-up for an ordinary pass.
void AbandonStart(DWORD waitMs, LogState& log) {
  log.writerRun = false;
  SetEvent(log.wakeEvent);
  if (WaitForSingleObject(s_writer.parked, waitMs) == WAIT_OBJECT_0) TerminateThread(log.writerThread, 0);
  CloseAndClear(log.writerThread);
  CloseAndClear(log.wakeEvent);
  CloseAndClear(log.startedEvent);
  log.enabled = false;
}

}  // namespace

bool StartLogWriter() noexcept {
  LogState& log = TheLogState();
  if (!log.useThread) return false;
  if (log.writerThread == nullptr) {
    log.wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    log.startedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (s_writer.parked == nullptr) s_writer.parked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (log.wakeEvent == nullptr || log.startedEvent == nullptr || s_writer.parked == nullptr) {
      CloseAndClear(log.wakeEvent);
      CloseAndClear(log.startedEvent);
      log.enabled = false;
      return false;
    }
    ResetEvent(s_writer.parked);
    log.writerRun = true;
    log.writerThread = CreateThread(nullptr, 0, LogWriterMain, nullptr, 0, nullptr);
    if (log.writerThread == nullptr) {
      CloseAndClear(log.wakeEvent);
      CloseAndClear(log.startedEvent);
      log.writerRun = false;
      log.enabled = false;
      return false;
    }
  }
  if (!log.writerAlive) return false;

  if (WaitForSingleObject(log.startedEvent, kStartWaitMs) != WAIT_OBJECT_0) {
    AbandonStart(kStartWaitMs, log);
    return false;
  }
  ResetEvent(log.wakeEvent);
  // Shared for writing too: any local process may write to a mailslot, and one that holds
  // a write end must not keep the module from connecting.
  log.queueWrite = CreateFileA(log.queueName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log.queueWrite == INVALID_HANDLE_VALUE) {
    log.queueWrite = nullptr;
    AbandonStart(kConnectFailWaitMs, log);
    return false;
  }
  log.writerConnected = true;
  CloseAndClear(log.file);
  return true;
}

void StopLogWriter() noexcept {
  LogState& log = TheLogState();
  const bool started = log.writerThread != nullptr;

  // Park the writer first: once it has signalled, it never touches buffer or queue again.
  // Waiting for an event is safe inside the loader's detach; waiting for the thread's end
  // is not, so the thread is ended afterwards.
  log.writerAlive = false;
  log.writerRun = false;
  if (started && !ProcessIsEnding()) {
    SetEvent(log.wakeEvent);
    WaitForSingleObject(s_writer.parked, kParkWaitMs);
  }
  if (log.queueRead != nullptr) DrainQueue(log.queueRead, false);
  if (started) TerminateThread(log.writerThread, 0);
  CloseAndClear(log.queueRead);
  if (log.bufferFill != 0) WriteOutLogBuffer();

  CloseAndClear(log.writerThread);
  CloseAndClear(log.wakeEvent);
  CloseAndClear(log.startedEvent);
  CloseAndClear(log.queueWrite);
  CloseAndClear(s_writer.parked);
  log.writerConnected = false;
}
