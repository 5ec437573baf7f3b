// Fuzz target: the recording's file-name rule for any name, folder and output size.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "recording/push_file.h"

static bool ShiftJisLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t outSize = data[0] + 1;           // 1 to 256 bytes
  const size_t split = data[1] % (size - 1);  // folder | name
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string folder = rest.substr(0, split).c_str();
  const std::string name = rest.substr(split).c_str();
  char* out = static_cast<char*>(malloc(outSize));
  if (BuildPushFileName(name.c_str(), folder.c_str(), ShiftJisLead, out, outSize)) {
    if (strnlen(out, outSize) >= outSize) abort();
  }
  BuildPushFileName(nullptr, folder.c_str(), ShiftJisLead, out, outSize);
  free(out);
  return 0;
}
