// The threaded log writer: callers post entries into a queue in the module's memory, and a
// thread of the module's own appends them to the log file in blocks.
#pragma once

#include <windows.h>

// What a start of the writer came to.
enum class WriterStart {
  kReady,        // the thread runs: entries are posted from now on
  kUnavailable,  // the mailslot's name is taken: the log stays direct for this load
  kFailed,       // the thread cannot run: the log switches off
};

// Names the writer's mailslot after the module's base name.  Set-up, before the log goes on.
void PrepareLogWriter(const char* baseName) noexcept;

// Starts the writer thread and waits until it runs its own code, so that the module's exit
// never has to wait for a thread that is still in the system's start-up of it.  Runs once a
// load, under lineMutex, on a caller's thread.
WriterStart StartLogWriter() noexcept;

// Posts one entry of `length` bytes whose text starts after its first kStampSize bytes.  The
// stamp is taken here, under the queue's lock, so the queue and the file keep the stamps'
// order.  Waits while the queue is full.  False once the writer has stopped for good.
bool PostLogEntry(char* entry, DWORD length) noexcept;

// Stops the writer, appends what it has not written yet to the log file and closes its
// handles.  Runs at module exit; at the process's end the system has already ended the thread
// wherever it was, and its journal tells how much of its last write reached the file.
void StopLogWriter() noexcept;
