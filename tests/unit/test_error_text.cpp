// ComposeErrorText, linked directly: capacity rules, and a sweep over layers, flags and code
// numbers up to and past every table's bound.
#include <stdio.h>
#include <string.h>

#include "diagnostics/error_text.h"
#include "wtest.h"

namespace {

std::string Compose(uint32_t code, uint32_t capacity = 200) {
  char out[256];
  memset(out, 0x5A, sizeof out);
  ComposeErrorText(code, out, capacity);
  return std::string(out, strnlen(out, sizeof out));
}

const char* const kLayerNames[] = {"Undefined layer", "Firmware", "Driver", "SDK DLL", "Application"};
// Row counts of the error and warning tables of layers 1 to 4.
const uint32_t kErrorRows[] = {0, 160, 51, 20, 10};
const uint32_t kWarningRows[] = {0, 5, 1, 5, 3};
constexpr uint32_t kCommonRows = 19;

}  // namespace

TEST_CASE(capacity_rules) {
  char out[64];
  memset(out, 0x5A, sizeof out);
  ComposeErrorText(VOR_ERR_OPTION_NOT_AVAILABLE, out, 39);
  ok(out[0] == 0x5A && out[38] == 0x5A, "capacity 39 touched the buffer");
  ComposeErrorText(0, out, 39);
  ok(out[0] == 0x5A, "capacity 39 touched the buffer for code 0");

  ok_eq_str("Error buffer too short. err: 800a3004", Compose(VOR_ERR_OPTION_NOT_AVAILABLE, 40));
  ok_eq_str("Error buffer too short. err: ffffffff", Compose(0xFFFFFFFF, 40));
  ok_eq_str("OK.", Compose(0, 40));
  const std::string full = Compose(VOR_ERR_OPTION_NOT_AVAILABLE);
  ok_eq_int(75, full.size());
  ok_eq_str(full, Compose(VOR_ERR_OPTION_NOT_AVAILABLE, 76));  // exactly the line and its terminator
  ok_eq_str("Error buffer too short. err: 800a3004", Compose(VOR_ERR_OPTION_NOT_AVAILABLE, 75));
}

TEST_CASE(sweep_of_layers_flags_and_numbers) {
  const uint32_t flagSets[] = {0x80000000, 0xC0000000, 0xA0000000, 0xE0000000, 0x00000000, 0x1F000000};
  const uint32_t devices[] = {0x00, 0x0A, 0x11, 0x21, 0xFF};
  long lines = 0, bad = 0;
  for (uint32_t layer = 0; layer < 16; ++layer) {
    for (uint32_t flags : flagSets) {
      for (uint32_t device : devices) {
        for (uint32_t number = 0; number < 200; ++number) {
          const uint32_t code = flags | (device << 16) | (layer << 12) | number;
          const std::string text = Compose(code);
          ++lines;
          if (text.size() > 199) { ++bad; ok(false, "0x%x: %u characters", code, static_cast<unsigned>(text.size())); }
          if (number == 0) {
            if (text != "OK.") { ++bad; ok_eq_str("OK.", text); }
            continue;
          }
          const bool warning = (code & 0x40000000) != 0;
          const bool common = (code & 0x20000000) != 0;
          const std::string head = wtest::Format("%s %s %x at device '", kLayerNames[layer <= 4 ? layer : 0],
                                                 warning ? "warning" : "error", code);
          const uint32_t bound = common ? kCommonRows : layer >= 1 && layer <= 4 ? (warning ? kWarningRows[layer]
                                                                                           : kErrorRows[layer])
                                                                                 : 0;
          const bool undefined = !common && (layer < 1 || layer > 4);
          const bool outOfRange = !undefined && number >= bound;
          const bool endsRight = undefined ? text.size() >= 24 && text.compare(text.size() - 24, 24, "No error text available!") == 0
                                 : outOfRange ? text.size() >= 24 && text.compare(text.size() - 24, 24, "Error code out of range.") == 0
                                              : text.find("Error code out of range.") == std::string::npos &&
                                                    text.find("No error text available!") == std::string::npos;
          if (text.compare(0, head.size(), head) != 0 || text.find("': ") == std::string::npos || !endsRight) {
            if (++bad <= 20) ok(false, "0x%x: \"%s\"", code, text.c_str());
          }
        }
      }
    }
  }
  ok(bad == 0, "%ld of %ld lines malformed", bad, lines);
}

TEST_CASE(random_codes_stay_within_199_characters) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  long longest = 0;
  for (int i = 0; i < 300000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const uint32_t code = static_cast<uint32_t>(state >> 16);
    char out[256];
    memset(out, 0x5A, sizeof out);
    ComposeErrorText(code, out, 200);
    const size_t length = strnlen(out, 200);
    if (length == 200) {
      ok(false, "0x%x: no terminator within 200 bytes", code);
      break;
    }
    longest = length > static_cast<size_t>(longest) ? static_cast<long>(length) : longest;
    if (out[201] != 0x5A) {
      ok(false, "0x%x: wrote past the capacity", code);
      break;
    }
  }
  ok(longest > 60 && longest <= 115, "longest line %ld characters", longest);
}
