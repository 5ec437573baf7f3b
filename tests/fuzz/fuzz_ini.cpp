// Fuzz target: the session log's ini grammar on any text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "diagnostics/log_ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As set-up reads it: the bytes, a terminating zero, lower-cased.
  char* text = static_cast<char*>(malloc(size + 2));
  memcpy(text, data, size);
  text[size] = '\0';
  LowerCaseAscii(text);
  LogIniValues values = {0, 0, 0, 0};
  ParseLogIni(text, &values);
  free(text);
  return 0;
}
