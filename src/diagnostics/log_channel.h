// The log channel: LogState, the one path by which entries reach the session log.
#pragma once

#include <windows.h>
#include <stdint.h>
#include <atomic>

#include "diagnostics/error_codes.h"

constexpr int kLogNameSize = MAX_PATH;     // logPath, iniName, queueName
constexpr int kLogLineSize = 500;          // an export's formatted text, terminator included
constexpr int kWriterBufferSize = 5000;    // entries collected by the writer thread
constexpr DWORD kLineMutexWaitMs = 2000;
constexpr int kEntrySize = 25 + 17 + (kLogLineSize - 1) + 2;  // stamp, error line, text, CRLF

struct LogState {
  // Switch and options.
  std::atomic<bool> enabled;   // the log switch, tested by every logging export
  bool setUpDone;              // set-up has run for this load
  uint32_t mask;               // line filter from the ini key "logging"
  int32_t flush;               // 0: close and reopen the file after every entry
  int32_t preserve;            // keep the previous session log under a time-stamped name
  bool useThread;              // entries go to the writer thread

  // Names.
  char logPath[kLogNameSize];    // full path of the session log file
  char iniName[kLogNameSize];    // ini file name, without folder
  char queueName[kLogNameSize];  // mailslot that carries entries to the writer

  // Handles; null stands for none.
  HANDLE file;          // the open session log
  HANDLE lineMutex;     // serialises entries
  HANDLE queueWrite;    // write end of the mailslot
  HANDLE queueRead;     // read end of the mailslot, the writer's
  HANDLE writerThread;
  HANDLE wakeEvent;     // auto-reset: wakes the writer
  HANDLE startedEvent;  // auto-reset: the writer's mailslot exists

  // Writer state.
  std::atomic<bool> writerRun;
  std::atomic<bool> writerAlive;
  std::atomic<bool> writerConnected;
  std::atomic<bool> writerIdle;  // the writer is about to wait for wakeEvent: wake it
  char buffer[kWriterBufferSize];
  uint32_t bufferFill;
};

// The process-wide log state.
LogState& TheLogState() noexcept;

inline bool LogEnabled() noexcept {
  return TheLogState().enabled.load(std::memory_order_relaxed);
}

// Writes one entry: time stamp line, "ERROR %0X:" line for a non-zero code, the text (at most
// 499 bytes of it), an empty line.  The entry goes out in one write, so in thread mode it is
// one mailslot message.  Drops the entry silently when the log is off or the mutex is not had
// in time.  Keeps the caller's last error.
void LogWriteLine(ErrorCode code, const char* text, uint32_t lineMask = 0) noexcept;

// Formats `format` (wsprintf rules) into a 500-byte line and writes it with `code`.
// Callers test LogEnabled() first, so a switched-off log formats nothing.
void LogFormat(ErrorCode code, const char* format, ...) noexcept;

// Replaces the file's access list with one entry granting Everyone all access.
void GrantEveryoneAccess(const char* path) noexcept;
