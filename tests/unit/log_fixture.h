// Puts the log channel of the linked module code in the state a set-up leaves it in.
#pragma once

#include <stdint.h>

#include <string>

// Opens a new log file `name` in a test folder, hands it to the channel with the options of
// direct mode and switches the log on; returns its path.
std::string AttachLog(const char* name, int32_t flush, uint32_t mask = 0);
// Switches the log off and closes what the channel holds.
void DetachLog();
