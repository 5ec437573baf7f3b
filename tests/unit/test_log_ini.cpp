// The ini grammar of the session log, linked directly.
#include <string.h>

#include "diagnostics/log_ini.h"
#include "wtest.h"

namespace {

LogIniValues Parse(const char* text, LogIniValues start = {0, 0, 0, 0}) {
  char lowered[512];
  strncpy(lowered, text, sizeof lowered - 1);
  lowered[sizeof lowered - 1] = '\0';
  LowerCaseAscii(lowered);
  ParseLogIni(lowered, &start);
  return start;
}

}  // namespace

TEST_CASE(keys_match_without_case_and_with_blanks) {
  ok_eq_int(1, Parse("Flush = 1\r\n").flush);
  ok_eq_int(1, Parse("FLUSH=1").flush);
  ok_eq_int(7, Parse("preserve=7").preserve);
  ok_eq_int(1, Parse("UseThread = 3").useThread != 0);
  ok_eq_int(1, Parse("noflush=1").flush);  // a key at the end of a longer word
  ok_eq_int(1, Parse("flush=1").flush);    // at the very start: not commented out
  ok_eq_int(2, Parse("flush = \t2").flush);  // a blank in the pattern takes any white space
  ok_eq_int(0, Parse("flush =\t2").flush);   // but the key form itself needs its blank
}

TEST_CASE(semicolon_directly_before_comments_out) {
  ok_eq_int(0, Parse(";flush=1").flush);
  ok_eq_int(1, Parse("; flush=1").flush);
  // A commented first form keeps the value and stops the later forms.
  ok_eq_int(5, Parse(";flush=1\r\nflush = 2", {0, 5, 0, 0}).flush);
  ok_eq_int(0, Parse(";usethread=1\r\nusethread = 1").useThread);
  // Only the first occurrence of the deciding form counts.
  ok_eq_int(0, Parse("flush=0\r\nflush=1").flush);
}

TEST_CASE(logging_forms_and_values) {
  ok_eq_hex(0x10, Parse("logging=0x10").logging);
  ok_eq_hex(3, Parse("logging = 0x10\r\nlogging=3").logging);  // "logging=" is tried before "logging = 0x"
  ok_eq_hex(0x1F, Parse("Logging = 0x1f").logging);
  ok_eq_hex(12, Parse("logging = 12").logging);
  ok_eq_hex(static_cast<uint32_t>(-5), Parse("logging=-5").logging);
  ok_eq_hex(0, Parse("logging=zz").logging);  // unreadable: unchanged
  ok_eq_int(4, Parse("flush=x", {0, 4, 0, 0}).flush);
  ok_eq_int(0, Parse("").flush + Parse("").preserve + Parse("").useThread + static_cast<int>(Parse("").logging));
  // Boxes are shown unless the ini says 0.
  ok_eq_int(1, Parse("").messageBoxes);
  ok_eq_int(0, Parse("MessageBoxes=0").messageBoxes);
  ok_eq_int(0, Parse("messageboxes = 0").messageBoxes);
  ok_eq_int(1, Parse(";messageboxes=0").messageBoxes);
  ok_eq_int(1, Parse("messageboxes=").messageBoxes);
}

TEST_CASE(lower_case_touches_only_ascii_letters) {
  char text[] = "AbZ[@`{\xC4\xD6";
  LowerCaseAscii(text);
  ok_eq_str("abz[@`{\xC4\xD6", text);
}
