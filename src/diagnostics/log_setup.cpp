// Session log set-up.
#include "diagnostics/log_setup.h"

#include "diagnostics/log_channel.h"

int32_t LogOpen(const char* /*baseName*/) noexcept {
  // Logging is switched on by a log file in the log folder; until that is read, it stays off.
  TheLogState().setUpDone = true;
  return 0;
}

void LogClose() noexcept {
  LogState& log = TheLogState();
  if (log.file != nullptr) { CloseHandle(log.file); log.file = nullptr; }
  if (log.lineMutex != nullptr) { CloseHandle(log.lineMutex); log.lineMutex = nullptr; }
  log.enabled.store(false);
  log.setUpDone = false;
}
