// VGetErrorText: an error code's line into a LabVIEW string.
#include <string.h>

#include "diagnostics/error_text.h"
#include "host/labview_runtime.h"
#include "vorlabview.h"

/***********************************************************************
 *      VGetErrorText (vorlabview.6)
 *
 * Writes the code's one line of text into a LabVIEW string, resized to fit.
 *
 * PARAMS
 *  code [I] any 32-bit code
 *  text [O] LabVIEW string handle
 *
 * RETURNS
 *  0; 0xA00A3001 for a null handle or one LabVIEW's memory manager does not know; 0xA00A3003
 *  when the run-time cannot resize the string
 *  (nothing is written then).
 */
extern "C" ErrorCode WINAPI VGetErrorText(ErrorCode code, VLVStringHandle text) {
  if (text == nullptr || RuntimeRefusesHandle(text)) return kWrongParameter;
  char line[kErrorTextSize] = {};
  ComposeErrorText(code, line, kErrorTextSize);
  const int32_t length = static_cast<int32_t>(strlen(line));
  // The count, the characters and one spare byte that is never written.
  if (RuntimeSetHandleSize(text, static_cast<size_t>(length) + 5) != 0 || *text == nullptr) return kNoBuffer;
  (*text)->cnt = length;
  memcpy((*text)->str, line, static_cast<size_t>(length));
  return kOk;
}
