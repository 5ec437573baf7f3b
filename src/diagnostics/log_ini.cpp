// The grammar of the session log's ini file.  Pure logic, so it also builds natively for fuzzing.
#include "diagnostics/log_ini.h"

#include <stdio.h>
#include <string.h>

namespace {

// One way of writing a setting: the key text searched for and the scanf pattern read from it.
struct KeyForm {
  const char* key;
  const char* pattern;
  bool hexadecimal;  // the pattern reads with %x
};

// Key forms, in order of trial.
const KeyForm kLoggingForms[]   = {{"logging=0x", "logging=0x%x", true},
                                   {"logging=", "logging=%ld", false},
                                   {"logging = 0x", "logging = 0x%x", true},
                                   {"logging = ", "logging = %ld", false}};
const KeyForm kFlushForms[]     = {{"flush=", "flush=%d", false}, {"flush = ", "flush = %d", false}};
const KeyForm kPreserveForms[]  = {{"preserve=", "preserve=%d", false}, {"preserve = ", "preserve = %d", false}};
const KeyForm kUseThreadForms[] = {{"usethread=", "usethread=%d", false}, {"usethread = ", "usethread = %d", false}};
const KeyForm kMessageBoxForms[] = {{"messageboxes=", "messageboxes=%d", false},
                                    {"messageboxes = ", "messageboxes = %d", false}};

// Reads one setting into *value (32 bits); returns with it unchanged when commented out,
// absent or unreadable.
template <size_t N>
void ReadSetting(const char* text, const KeyForm (&forms)[N], uint32_t* value) {
  for (const KeyForm& form : forms) {
    const char* at = strstr(text, form.key);
    if (at == nullptr) continue;
    if (at > text && at[-1] == ';') return;  // commented out: later forms are not tried
    if (form.hexadecimal) {
      unsigned int read = 0;
      if (sscanf(at, form.pattern, &read) == 1) *value = read;
    } else if (strstr(form.pattern, "%ld") != nullptr) {
      long read = 0;
      if (sscanf(at, form.pattern, &read) == 1) *value = static_cast<uint32_t>(read);
    } else {
      int read = 0;
      if (sscanf(at, form.pattern, &read) == 1) *value = static_cast<uint32_t>(read);
    }
    return;
  }
}

}  // namespace

void LowerCaseAscii(char* text) noexcept {
  for (; *text != '\0'; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

void ParseLogIni(const char* text, LogIniValues* values) noexcept {
  uint32_t flush = static_cast<uint32_t>(values->flush);
  uint32_t preserve = static_cast<uint32_t>(values->preserve);
  uint32_t useThread = static_cast<uint32_t>(values->useThread);
  uint32_t messageBoxes = static_cast<uint32_t>(values->messageBoxes);
  ReadSetting(text, kLoggingForms, &values->logging);
  ReadSetting(text, kFlushForms, &flush);
  ReadSetting(text, kPreserveForms, &preserve);
  ReadSetting(text, kUseThreadForms, &useThread);
  ReadSetting(text, kMessageBoxForms, &messageBoxes);
  values->flush = static_cast<int32_t>(flush);
  values->preserve = static_cast<int32_t>(preserve);
  values->useThread = static_cast<int32_t>(useThread);
  values->messageBoxes = static_cast<int32_t>(messageBoxes);
}
