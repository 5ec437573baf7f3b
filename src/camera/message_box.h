// The blocking "Error" box of the camera exports.
#pragma once

constexpr int kMessageTextSize = 200;

// Formats `format` (wsprintf rules, cut to 199 characters) and shows it in a box owned by
// the active window, captioned "Error", with an OK button.  Blocks until the user closes it.
// Call it without the camera lock held.
void ShowErrorBox(const char* format, ...) noexcept;
