// The threaded log writer: callers post entries into a queue in the module's memory, a thread
// of the module's own appends them to the log file in blocks of more than 4096 bytes, and it
// also collects what other programs send to the module's mailslot.
#include "diagnostics/log_writer.h"

#include <shlwapi.h>
#include <string.h>

#include <atomic>

#include "diagnostics/log_channel.h"
#include "host/app_framework.h"
#include "host/win32_helpers.h"

namespace {

constexpr DWORD kStartWaitMs = 20000;
constexpr DWORD kParkWaitMs = 5000;
constexpr uint64_t kWriteOutThreshold = 4096;
constexpr uint64_t kQueueSize = 64 * 1024;
constexpr DWORD kMaxMessage = 1000;  // longer messages never come from this module
constexpr DWORD kIdleLookMs = 100;   // an idle writer still looks at the mailslot this often

// Where the writer thread is in its life.
enum WriterLife : LONG {
  kNotStarted,
  kStarting,    // created; it has not reached its own code yet
  kEntered,     // runs its own code: the system's start-up of it is over
  kRunning,     // has its mailslot and takes entries
  kNoMailslot,  // the mailslot's name was taken; the thread has left
  kAbandoned,   // its start-up took too long; it leaves as soon as it runs
  kFailed,      // it could not be made
};

// The journal of the write in flight: a thread that the system ends inside a write-out
// leaves it behind, and the file's size then tells how much of the write arrived.
enum WritePhase : LONG {
  kNoWrite,
  kWriting,  // writeLength bytes from queue position writeFrom go to file offset writeOffset
};

struct WriterState {
  // The queue.  Positions count every byte ever posted; bytes from tail to head wait for the
  // file, the rest of the ring is free for posters.  A block ends with the entry that takes
  // it past 4096 bytes; the writer writes whole blocks, the shutdown everything.
  SRWLOCK queueLock;             // guards head, sealed, tail, accepting and the free part of queue
  CONDITION_VARIABLE roomMade;   // queueLock: a write-out has moved tail
  uint64_t head;                 // queueLock: posters move it
  uint64_t sealed;               // queueLock: end of the last whole block
  uint64_t tail;                 // queueLock: only write-outs move it
  bool accepting;                // queueLock: false once the writer has stopped for good
  char queue[kQueueSize];        // queueLock for the free part; [tail, head) is the writer's

  // Written by the thread doing write-outs; read by the shutdown once the writer is parked
  // or ended.
  std::atomic<LONG> phase;       // WritePhase, stored after the three below
  uint64_t writeFrom;
  uint64_t writeOffset;
  uint64_t writeLength;

  // The thread and its handshakes: made by StartLogWriter under lineMutex, closed by
  // StopLogWriter at module exit.
  std::atomic<LONG> life;        // WriterLife; the thread moves it on from kStarting
  ScopedHandle thread;
  ScopedHandle wakeEvent;        // auto-reset: a block is due, or the shutdown calls
  ScopedHandle readyEvent;       // manual-reset: the thread has its mailslot, or has given up on it
  ScopedHandle parkedEvent;      // manual-reset: the thread has left the module's code for good
  HMODULE abandonedReference;    // the module reference an abandoned thread leaves with
  std::atomic<bool> stop;        // the shutdown asks the thread to leave
  std::atomic<bool> idle;        // the thread is about to wait for wakeEvent: wake it
  bool ended;                    // module exit: the thread was ended without parking

  // The writer thread's; the shutdown's once the thread is parked or ended.
  ScopedHandle file;             // the log file, shared for reading, writing and removal
  ScopedHandle mailslot;         // read end; any local program may write to it
  char message[kMaxMessage];     // one message read from it
  char queueName[kLogNameSize];  // set-up, before the log goes on
};

// Zero at load: no thread, an empty queue that takes nothing.
WriterState s_writer;

// Holds queueLock.  A writer or poster that was ended without parking may hold it for good
// while no other thread calls in any more: the shutdown then goes on without it.
class QueueLock {
 public:
  QueueLock() noexcept {
    if (s_writer.ended) {
      owned_ = TryAcquireSRWLockExclusive(&s_writer.queueLock) != FALSE;
    } else {
      AcquireSRWLockExclusive(&s_writer.queueLock);
      owned_ = true;
    }
  }
  ~QueueLock() {
    if (owned_) ReleaseSRWLockExclusive(&s_writer.queueLock);
  }
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;

 private:
  bool owned_;
};

// True when a whole block waits for the file.
bool BlockDue() noexcept {
  QueueLock lock;
  return s_writer.sealed > s_writer.tail;
}

// Copies `length` bytes into the ring at head (the caller holds queueLock and has checked the
// room); true when they complete a block.
bool CopyIn(const char* bytes, DWORD length) noexcept {
  const uint64_t at = s_writer.head % kQueueSize;
  const uint64_t first = length < kQueueSize - at ? length : kQueueSize - at;
  memcpy(s_writer.queue + at, bytes, first);
  memcpy(s_writer.queue, bytes + first, length - first);
  s_writer.head += length;
  if (s_writer.head - s_writer.sealed <= kWriteOutThreshold) return false;
  s_writer.sealed = s_writer.head;
  return true;
}

// The writer has stopped for good: the log goes off and what was collected is dropped.
void StopAccepting() noexcept {
  {
    QueueLock lock;
    s_writer.accepting = false;
    s_writer.tail = s_writer.sealed = s_writer.head;
  }
  WakeAllConditionVariable(&s_writer.roomMade);
  LogSwitchOff();
}

// Appends the whole blocks (`all`: every byte) from tail on to the end of the log file and
// moves tail past them.  A log file removed by its name counts as lost, as it would on a
// reopen.
bool WriteOut(bool all) noexcept {
  uint64_t from, to;
  {
    QueueLock lock;
    from = s_writer.tail;
    to = all ? s_writer.head : s_writer.sealed;
  }
  if (to <= from) return true;
  if (GetFileAttributesA(LogPath()) == INVALID_FILE_ATTRIBUTES) return false;
  LARGE_INTEGER zero = {}, end = {};
  if (!SetFilePointerEx(s_writer.file.get(), zero, &end, FILE_END)) return false;
  uint64_t offset = static_cast<uint64_t>(end.QuadPart);
  while (from < to) {
    const uint64_t at = from % kQueueSize;
    const DWORD span = static_cast<DWORD>(to - from < kQueueSize - at ? to - from : kQueueSize - at);
    s_writer.writeFrom = from;
    s_writer.writeOffset = offset;
    s_writer.writeLength = span;
    s_writer.phase.store(kWriting);
    DWORD written = 0;
    if (!WriteFile(s_writer.file.get(), s_writer.queue + at, span, &written, nullptr) || written != span) {
      s_writer.phase.store(kNoWrite);
      return false;
    }
    from += span;
    offset += span;
    {
      QueueLock lock;
      s_writer.tail = from;
      // Written past the last block (`all`): what follows starts a new one.
      if (s_writer.sealed < from) s_writer.sealed = from;
    }
    // Only now: a journal that still says kWriting after tail has moved settles to the same.
    s_writer.phase.store(kNoWrite);
    WakeAllConditionVariable(&s_writer.roomMade);
  }
  return true;
}

// For a writer that did not park: moves tail past what its last write put into the file.
// Taking the larger of the two positions makes this right whether or not the writer had
// moved tail itself.
void SettleJournal() noexcept {
  if (s_writer.phase.load() != kWriting) return;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(s_writer.file.get(), &size)) return;
  const uint64_t end = static_cast<uint64_t>(size.QuadPart);
  uint64_t arrived = end > s_writer.writeOffset ? end - s_writer.writeOffset : 0;
  if (arrived > s_writer.writeLength) arrived = s_writer.writeLength;
  QueueLock lock;
  if (s_writer.writeFrom + arrived > s_writer.tail) s_writer.tail = s_writer.writeFrom + arrived;
  if (s_writer.tail > s_writer.sealed) s_writer.sealed = s_writer.tail;
  s_writer.phase.store(kNoWrite);
}

// Appends one message from another program to the queue, writing out first when the ring
// has no room for it (the writer is the one that makes room, so it never waits for it).
bool EnqueueMessage(const char* bytes, DWORD length) noexcept {
  for (;;) {
    {
      QueueLock lock;
      if (!s_writer.accepting) return true;  // the log is off: dropped
      if (kQueueSize - (s_writer.head - s_writer.tail) >= length) {
        CopyIn(bytes, length);
        return true;
      }
    }
    if (!WriteOut(true)) return false;
  }
}

// Moves what other programs sent to the mailslot into the queue, in the order it came.  A
// read never blocks (read time-out 0); messages longer than any entry are read and dropped.
bool CollectMessages() noexcept {
  if (!s_writer.mailslot.valid()) return true;
  for (;;) {
    DWORD read = 0;
    if (ReadFile(s_writer.mailslot.get(), s_writer.message, kMaxMessage, &read, nullptr)) {
      if (!EnqueueMessage(s_writer.message, read)) return false;
      continue;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) return true;  // nothing waiting
    DWORD nextSize = 0;
    if (!GetMailslotInfo(s_writer.mailslot.get(), nullptr, &nextSize, nullptr, nullptr) ||
        nextSize == MAILSLOT_NO_MESSAGE) {
      return true;
    }
    void* oversized = HeapAlloc(GetProcessHeap(), 0, nextSize);
    if (oversized == nullptr) return true;
    const BOOL dropped = ReadFile(s_writer.mailslot.get(), oversized, nextSize, &read, nullptr);
    HeapFree(GetProcessHeap(), 0, oversized);
    if (!dropped) return true;
  }
}

// The thread's way out: it signals parkedEvent and begins its last wait in one call, so none
// of the module's code runs on it afterwards, and the APC it queued first ends it through the
// system's own ExitThread.  At unload that exit waits for the loader lock until the module is
// gone; the thread's exit then frees what the system keeps for it, as any thread's does.
[[noreturn]] void Leave() noexcept {
  QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)), GetCurrentThread(), 0);
  // Waits on itself, which never ends: only the APC gets the thread out.
  for (;;) SignalObjectAndWait(s_writer.parkedEvent.get(), GetCurrentThread(), INFINITE, TRUE);
}

// From the moment it runs its own code, the thread calls nothing that needs the loader lock
// (no library is loaded, no access list is set, it does not end before it has parked): so the
// module's exit may wait for it to park.
DWORD WINAPI WriterMain(void*) {
  LONG expected = kStarting;
  if (!s_writer.life.compare_exchange_strong(expected, kEntered)) {
    FreeLibraryAndExitThread(s_writer.abandonedReference, 0);
  }
  // Reads return at once when nothing waits: the thread sleeps on wakeEvent, not in a read.
  s_writer.mailslot.Reset(CreateMailslotA(s_writer.queueName, 0, 0, nullptr));
  if (!s_writer.mailslot.valid()) {
    // The name is taken (another process holds it): entries keep going straight to the file.
    s_writer.mailslot.Release();
    s_writer.life.store(kNoMailslot);
    SetEvent(s_writer.readyEvent.get());
    Leave();
  }
  s_writer.life.store(kRunning);
  // A first read sets the mailslot up for reads, as StartLogWriter does for the file.
  const bool collected = CollectMessages();
  SetEvent(s_writer.readyEvent.get());
  if (!collected) {
    StopAccepting();
    Leave();
  }

  for (;;) {
    if (s_writer.stop.load()) Leave();  // the shutdown takes over the queue and the mailslot
    if (!CollectMessages()) break;
    if (BlockDue()) {
      if (!WriteOut(false)) break;
      continue;
    }
    // Posters wake the writer only when it says it is idle; a block that became due just
    // before the flag was visible is found by this second look.  Other programs never wake
    // it, hence the time-out.
    s_writer.idle.store(true);
    if (!BlockDue() && !s_writer.stop.load()) {
      WaitForSingleObject(s_writer.wakeEvent.get(), kIdleLookMs);
    }
    s_writer.idle.store(false);
  }
  StopAccepting();
  Leave();
}

void CloseWriterHandles() noexcept {
  s_writer.file.Reset();
  s_writer.mailslot.Reset();
  s_writer.thread.Reset();
  s_writer.wakeEvent.Reset();
  s_writer.readyEvent.Reset();
  s_writer.parkedEvent.Reset();
}

}  // namespace

void PrepareLogWriter(const char* baseName) noexcept {
  wnsprintfA(s_writer.queueName, kLogNameSize, "\\\\.\\mailslot\\loggingslot_%s", baseName);
}

WriterStart StartLogWriter() noexcept {
  switch (s_writer.life.load()) {
    case kNotStarted: break;
    case kRunning: return WriterStart::kReady;
    case kNoMailslot: return WriterStart::kUnavailable;
    default: return WriterStart::kFailed;
  }
  // The writer's own handle of the log file, kept until the module's exit and shared for
  // writing and removal, so the module keeps no other program from the log while it runs.
  // Its first use is here, on the caller's thread: the system sets a handle up for reads and
  // writes at its first use, and a thread ended in the middle of that can break the next
  // first use in the process, which would be the exit's own.
  s_writer.file.Reset(CreateFileA(LogPath(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size = {};
  if (!s_writer.file.valid() || !GetFileSizeEx(s_writer.file.get(), &size)) {
    s_writer.file.Release();
    s_writer.life.store(kFailed);
    return WriterStart::kFailed;
  }
  GrantEveryoneAccess(LogPath());
  s_writer.wakeEvent.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  s_writer.readyEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  s_writer.parkedEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!s_writer.wakeEvent.valid() || !s_writer.readyEvent.valid() || !s_writer.parkedEvent.valid()) {
    CloseWriterHandles();
    s_writer.life.store(kFailed);
    return WriterStart::kFailed;
  }
  {
    QueueLock lock;
    s_writer.head = s_writer.sealed = s_writer.tail = 0;
    s_writer.accepting = true;
  }
  s_writer.life.store(kStarting);
  s_writer.thread.Reset(CreateThread(nullptr, 0, WriterMain, nullptr, 0, nullptr));
  if (!s_writer.thread.valid()) {
    CloseWriterHandles();
    s_writer.life.store(kFailed);
    StopAccepting();
    return WriterStart::kFailed;
  }
  if (WaitForSingleObject(s_writer.readyEvent.get(), kStartWaitMs) != WAIT_OBJECT_0) {
    // The thread has not come through its start-up (the loader lock is busy elsewhere).  It
    // must never run the module's code after an unload: it gets a reference of its own, and
    // leaves with it as soon as it runs.
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&WriterMain), &self)) {
      s_writer.abandonedReference = self;
      LONG expected = kStarting;
      if (s_writer.life.compare_exchange_strong(expected, kAbandoned)) {
        s_writer.thread.Reset();
        s_writer.file.Reset();
        StopAccepting();
        return WriterStart::kFailed;
      }
      FreeLibrary(self);  // it came through just now
      s_writer.abandonedReference = nullptr;
    }
    // The thread runs its own code: only the mailslot is left for it to make.
    WaitForSingleObject(s_writer.readyEvent.get(), INFINITE);
  }
  if (s_writer.life.load() == kRunning) return WriterStart::kReady;
  s_writer.file.Reset();  // direct for good: the channel opens the file again
  return WriterStart::kUnavailable;
}

bool PostLogEntry(char* entry, DWORD length) noexcept {
  AcquireSRWLockExclusive(&s_writer.queueLock);
  while (s_writer.accepting && kQueueSize - (s_writer.head - s_writer.tail) < length) {
    SleepConditionVariableSRW(&s_writer.roomMade, &s_writer.queueLock, INFINITE, 0);
  }
  const bool accepted = s_writer.accepting;
  bool due = false;
  if (accepted) {
    StampEntry(entry);
    due = CopyIn(entry, length);
  }
  ReleaseSRWLockExclusive(&s_writer.queueLock);
  // A busy writer finds the block on its own; only one about to wait needs waking.
  if (due && s_writer.idle.exchange(false)) SetEvent(s_writer.wakeEvent.get());
  return accepted;
}

void StopLogWriter() noexcept {
  const LONG life = s_writer.life.load();
  if (life == kEntered || life == kRunning || life == kNoMailslot) {
    s_writer.stop.store(true);
    bool parked = false;
    if (!ProcessIsEnding()) {
      // Safe under the loader lock: the thread is past its start-up and needs the lock only
      // for its exit, which comes after it has signalled.
      SetEvent(s_writer.wakeEvent.get());
      parked = WaitForSingleObject(s_writer.parkedEvent.get(), kParkWaitMs) == WAIT_OBJECT_0;
      // A write that hangs past the wait: the thread must not outlive the module's code.  The
      // end is asynchronous; the journal is settled only once the thread is gone, so the write
      // it hung in cannot land after the exit has written that block again.  A terminated
      // thread runs no detach code and needs no loader lock to end.
      if (!parked && TerminateThread(s_writer.thread.get(), 0)) {
        WaitForSingleObject(s_writer.thread.get(), kParkWaitMs);
      }
    }
    // At the process's end the system has ended the thread (and every caller) wherever it was.
    s_writer.ended = !parked;
    if (!parked) SettleJournal();
    if (CollectMessages()) WriteOut(true);
  }
  // An abandoned thread holds a module reference of its own: nothing of it to wait for.
  CloseWriterHandles();
  {
    QueueLock lock;
    s_writer.head = s_writer.sealed = s_writer.tail = 0;
    s_writer.accepting = false;
  }
  s_writer.phase.store(kNoWrite);
  s_writer.stop.store(false);
  s_writer.idle.store(false);
  s_writer.ended = false;
  s_writer.life.store(kNotStarted);
}
