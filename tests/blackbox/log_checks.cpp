// Checks of a session log's entries shared by the log tests.
#include "log_checks.h"

#include <stdio.h>

#include <vector>

#include "log_entries.h"
#include "module_host.h"
#include "wtest.h"

std::string InitEntryText(uintptr_t hCam) {
  return wtest::Format("\r\nVInitLibrary done hCam %x type 4\r\n\r\n", static_cast<unsigned>(hCam));
}

void LogOne(ModuleHost& host, uintptr_t hCam) { host.api.InitLibrary(reinterpret_cast<void*>(hCam), 4); }

bool AllOnceInOrder(const std::string& file, uintptr_t first, int count, std::string* why) {
  size_t last = 0;
  for (int i = 0; i < count; ++i) {
    const std::string entry = InitEntryText(first + i);
    const size_t at = file.find(entry);
    const bool twice = at != std::string::npos && file.find(entry, at + 1) != std::string::npos;
    if (at == std::string::npos || twice || at < last) {
      *why = wtest::Format("entry %d of %d (hCam %x): %s", i, count, static_cast<unsigned>(first + i),
                           at == std::string::npos ? "missing" : twice ? "twice" : "out of order");
      return false;
    }
    last = at;
  }
  return true;
}

namespace {

// Milliseconds since a fixed day, from "hh:mm:ss.mmm dd.mm.yyyy"; -1 when unreadable.
int64_t StampMs(const std::string& stamp) {
  int hour, minute, second, milli, day, month, year;
  if (sscanf(stamp.c_str(), "%d:%d:%d.%d %d.%d.%d", &hour, &minute, &second, &milli, &day, &month, &year) != 7) {
    return -1;
  }
  const int64_t days = (static_cast<int64_t>(year) * 12 + month) * 31 + day;
  return ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + milli;
}

}  // namespace

StampOrder CheckStampOrder(const std::string& file) {
  StampOrder order = {0, 0};
  int64_t previous = -1;
  for (const LogEntry& entry : ParseLogEntries(file)) {
    const int64_t now = StampMs(entry.stamp);
    if (previous >= 0 && now >= 0 && now < previous) {
      ++order.inversions;
      if (previous - now > order.worstMs) order.worstMs = previous - now;
    }
    if (now >= 0) previous = now;
  }
  return order;
}
