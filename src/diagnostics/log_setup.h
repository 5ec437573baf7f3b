// Session log set-up: decides at load whether this session is logged.
#pragma once

#include <stdint.h>

// Opens the session log when a log file is in place; otherwise the log stays off.  Returns 0.
int32_t LogOpen(const char* baseName) noexcept;

// Closes what LogOpen opened and switches the log off.
void LogClose() noexcept;
