// The blocking "Error" box of the camera exports.
#include "camera/message_box.h"

#include <windows.h>
#include <shlwapi.h>
#include <stdarg.h>

#include "diagnostics/log_channel.h"

void ShowErrorBox(ErrorCode code, const char* format, ...) noexcept {
  // Each call formats into its own text: threads that fail at the same moment must not
  // overwrite each other's message while the first box is still open.
  char messageText[kMessageTextSize];
  va_list args;
  va_start(args, format);
  wvnsprintfA(messageText, kMessageTextSize, format, args);
  va_end(args);
  if (MessageBoxesShown()) {
    MessageBoxA(GetActiveWindow(), messageText, "Error", MB_OK);
  } else {
    ShowOrLogBox(code, nullptr, messageText, "Error", MB_OK);
  }
}
