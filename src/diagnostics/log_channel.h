// The log channel: the log switch, and the one path by which entries reach the session log.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "diagnostics/error_codes.h"

constexpr int kLogNameSize = MAX_PATH;     // the log's path, the ini's and the mailslot's names
constexpr int kLogLineSize = 500;          // an export's formatted text, terminator included
constexpr DWORD kLineMutexWaitMs = 2000;
constexpr int kStampSize = 25;             // "hh:mm:ss.mmm dd.mm.yyyy\r\n"
constexpr int kEntrySize = kStampSize + 17 + (kLogLineSize - 1) + 2;  // stamp, error line, text, CRLF

// True while the session log is on.  Logging exports test it before they format anything.
bool LogEnabled() noexcept;

// Writes one entry: time stamp line, "ERROR %0X:" line for a non-zero code, the text (at most
// 499 bytes of it), an empty line.  The entry goes out whole, and entries reach the file in the
// order of their time stamps.  Drops the entry silently when the log is off or the mutex is not
// had in time.  Keeps the caller's last error.
void LogWriteLine(ErrorCode code, const char* text, uint32_t lineMask = 0) noexcept;

// Formats `format` (wsprintf rules) into a 500-byte line and writes it with `code`.
// Callers test LogEnabled() first, so a switched-off log formats nothing.
void LogFormat(ErrorCode code, const char* format, ...) noexcept;

// Whether the module shows its message boxes (the default) or, with "messageboxes=0" in the
// ini, writes each to the log instead.  Set once by the set-up at module start.
bool MessageBoxesShown() noexcept;
void SetMessageBoxesShown(bool shown) noexcept;

// Shows a box as the module's boxes are shown, or, with boxes switched off, writes its text to
// the log (when the log is on) as an entry with `code`.
void ShowOrLogBox(ErrorCode code, HWND owner, const char* text, const char* caption, UINT style) noexcept;

// Replaces the file's access list with one entry granting Everyone all access.
void GrantEveryoneAccess(const char* path) noexcept;

// --- Between the channel, the set-up and the writer -------------------------------------

// The session's options that the channel acts on; set-up reads them from the ini.
struct LogOptions {
  uint32_t mask;    // line filter from the ini key "logging"
  int32_t flush;    // 0: close and reopen the file after every entry
  bool useThread;   // entries go to the writer thread
};

// Takes over the session log that set-up has opened (the handle is the channel's from now on)
// and switches the log on.  Runs at module start; the tests of the channel call it too.
void LogChannelOpen(const char* path, HANDLE file, const LogOptions& options) noexcept;

// Switches the log off and closes what the channel holds.  Runs at module exit, after the
// writer has stopped; does nothing when the log was never opened.
void LogChannelClose() noexcept;

// Switches the log off for the rest of the load.  Any thread.
void LogSwitchOff() noexcept;

// The session log's full path; fixed from LogChannelOpen to LogChannelClose.
const char* LogPath() noexcept;
// The options the log was opened with; fixed from LogChannelOpen on.
LogOptions LogSessionOptions() noexcept;

// Writes the time stamp line of this moment into the first kStampSize bytes of `entry`.
void StampEntry(char* entry) noexcept;
