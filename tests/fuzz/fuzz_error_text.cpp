// Fuzz target: error text for any code into an output of any capacity, sized exactly, so
// AddressSanitizer sees every byte written past the capacity.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "diagnostics/error_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  uint32_t code;
  memcpy(&code, data, 4);
  const uint32_t capacity = data[4];  // 0 to 255, across the 40-byte and 200-byte limits
  char* out = static_cast<char*>(malloc(capacity == 0 ? 1 : capacity));
  ComposeErrorText(code, out, capacity);
  if (capacity >= kMinErrorTextCapacity && strnlen(out, capacity) >= capacity) abort();  // no terminator
  free(out);
  return 0;
}
