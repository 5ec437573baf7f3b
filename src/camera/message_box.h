// The blocking "Error" box of the camera exports.
#pragma once

constexpr int kMessageTextSize = 200;

#include "diagnostics/error_codes.h"

// Formats `format` (wsprintf rules, cut to 199 characters) and shows it in a box owned by
// the active window, captioned "Error", with an OK button.  Blocks until the user closes it.
// With boxes switched off in the ini, the text goes to the log as an entry with `code`
// instead.  Call it without the camera lock held.
void ShowErrorBox(ErrorCode code, const char* format, ...) noexcept;
