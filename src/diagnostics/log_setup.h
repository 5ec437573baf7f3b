// Session log set-up: decides at load whether this session is logged, and closes at unload.
#pragma once

#include <stdint.h>

// Opens the session log when a log file is in place; otherwise drops the info file and the
// log stays off for the whole load.  Returns 0.  Runs once until LogClose.
int32_t LogOpen(const char* baseName) noexcept;

// Stops the writer thread (in thread mode), closes what LogOpen opened, switches the log off.
// Closes nothing when the log was never on; a log that a failure switched off mid-session
// still has its writer and handles, and they are closed too.
void LogClose() noexcept;

// The first, second and fourth number of the file's product version.  Returns 0, or a
// negative value when the file has no version information.
int32_t ReadProductVersion(const char* path, int32_t* major, int32_t* minor, int32_t* fourth) noexcept;
