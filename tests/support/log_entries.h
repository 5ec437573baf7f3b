// Reads a session log back into its entries: time stamp, error code and text.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct LogEntry {
  std::string stamp;   // the time stamp line, without its line end
  bool hasError;       // an "ERROR %0X:" line followed the stamp
  uint32_t code;       // its code, 0 without one
  std::string text;    // the text as written, with its own line ends, without the closing empty line
  bool wellFormed;     // the body ended in the empty line that closes an entry
};

// True when `line` (without line end) is "hh:mm:ss.mmm dd.mm.yyyy".
bool IsTimeStampLine(const std::string& line);

// Splits everything from `from` on into entries; text before the first stamp is skipped.
std::vector<LogEntry> ParseLogEntries(const std::string& file, size_t from = 0);
