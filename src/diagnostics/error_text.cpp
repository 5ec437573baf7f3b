// Error text: any 32-bit code as one line of text in a LabVIEW string.
#include "diagnostics/error_codes.h"
#include "vorlabview.h"

extern "C" ErrorCode WINAPI VGetErrorText(ErrorCode /*code*/, VLVStringHandle /*text*/) {
  return kOptionNotAvailable;
}
