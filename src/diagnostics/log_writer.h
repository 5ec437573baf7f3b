// The threaded log writer: entries travel through a mailslot to a thread of the module's own.
#pragma once

// Starts the writer thread and connects the channel to its mailslot.  Runs under lineMutex.
// Returns true when entries can go to the queue; false keeps them going straight to the file.
bool StartLogWriter() noexcept;

// Collects what is still queued, stops the writer, writes the rest to the log file and closes
// the writer's handles.  Runs inside the module's unload.
void StopLogWriter() noexcept;
