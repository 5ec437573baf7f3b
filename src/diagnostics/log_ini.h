// The grammar of the session log's ini file.  Pure logic, no Win32 calls.
#pragma once

#include <stdint.h>

struct LogIniValues {
  uint32_t logging;    // "logging": hexadecimal after 0x, else signed decimal
  int32_t flush;       // "flush"
  int32_t preserve;    // "preserve"
  int32_t useThread;   // "usethread"
  int32_t messageBoxes = 1;  // "messageboxes": 0 writes boxes to the log instead of showing them
};

// Lower-cases A to Z in place; nothing else changes.
void LowerCaseAscii(char* text) noexcept;

// Reads the settings from lower-cased, zero-terminated ini text.  Each setting's key forms are
// tried in order; the first form found anywhere decides by its first occurrence.  A ";" just
// before it comments the setting out; a value that cannot be read leaves it unchanged.
void ParseLogIni(const char* text, LogIniValues* values) noexcept;
