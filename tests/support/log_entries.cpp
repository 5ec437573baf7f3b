// Reads a session log back into its entries.
#include "log_entries.h"

#include <ctype.h>
#include <stdlib.h>

bool IsTimeStampLine(const std::string& line) {
  static const char kShape[] = "dd:dd:dd.ddd dd.dd.dddd";
  if (line.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (kShape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != kShape[i]) return false;
  }
  return true;
}

std::vector<LogEntry> ParseLogEntries(const std::string& file, size_t from) {
  // Cut into lines that keep their "\r\n", and note where stamps begin.
  std::vector<std::string> lines;
  for (size_t at = from; at < file.size();) {
    size_t end = file.find("\r\n", at);
    end = end == std::string::npos ? file.size() : end + 2;
    lines.push_back(file.substr(at, end - at));
    at = end;
  }
  auto bare = [](const std::string& line) {
    return line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? line.substr(0, line.size() - 2) : line;
  };

  std::vector<LogEntry> entries;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!IsTimeStampLine(bare(lines[i]))) continue;
    LogEntry entry{bare(lines[i]), false, 0, std::string(), false};
    size_t j = i + 1;
    if (j < lines.size()) {
      const std::string line = bare(lines[j]);
      if (line.compare(0, 6, "ERROR ") == 0 && line.size() > 7 && line.back() == ':') {
        entry.hasError = true;
        entry.code = static_cast<uint32_t>(strtoul(line.substr(6, line.size() - 7).c_str(), nullptr, 16));
        ++j;
      }
    }
    std::string body;
    for (; j < lines.size() && !IsTimeStampLine(bare(lines[j])); ++j) body += lines[j];
    entry.wellFormed = body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0;
    entry.text = entry.wellFormed ? body.substr(0, body.size() - 2) : body;
    entries.push_back(entry);
    i = j - 1;
  }
  return entries;
}
