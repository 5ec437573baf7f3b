// Puts the log channel of the linked module code in the state a set-up leaves it in.
#pragma once

#include <stdint.h>

#include <string>

// Opens a new log file `name` in a test folder and switches the log on; returns its path.
std::string AttachLog(const char* name, int32_t flush);
// Closes the file and switches the log off.
void DetachLog();
