// The test harness: case registry, checks and the closing count.
#include "wtest.h"

#include <windows.h>

namespace wtest {
namespace {

LONG s_passed = 0;
LONG s_failed = 0;
const char* s_current = "";
CRITICAL_SECTION s_printLock;

}  // namespace

std::vector<Case>& Cases() {
  static std::vector<Case> cases;
  return cases;
}

const char* CurrentCase() { return s_current; }

bool Check(bool condition, const char* file, int line, const char* format, ...) {
  if (condition) {
    InterlockedIncrement(&s_passed);
    return true;
  }
  InterlockedIncrement(&s_failed);
  const char* base = strrchr(file, '/');
  base = base ? base + 1 : file;
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  EnterCriticalSection(&s_printLock);
  printf("%s:%d: [%s] Test failed: %s\n", base, line, s_current, message);
  fflush(stdout);
  LeaveCriticalSection(&s_printLock);
  return false;
}

std::string Format(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c >= 0x7F) out += Format("\\x%02x", c);
    else out += static_cast<char>(c);
  }
  return out;
}

bool CheckEqualHex(unsigned long long expected, unsigned long long actual, const char* what, const char* file,
                   int line) {
  return Check(expected == actual, file, line, "%s: expected 0x%llx, got 0x%llx", what, expected, actual);
}

bool CheckEqualInt(long long expected, long long actual, const char* what, const char* file, int line) {
  return Check(expected == actual, file, line, "%s: expected %lld, got %lld", what, expected, actual);
}

bool CheckEqualStr(const std::string& expected, const std::string& actual, const char* what, const char* file,
                   int line) {
  return Check(expected == actual, file, line, "%s: expected \"%s\", got \"%s\"", what, Escape(expected).c_str(),
               Escape(actual).c_str());
}

int RunAll(int argc, char** argv) {
  InitializeCriticalSection(&s_printLock);
  setvbuf(stdout, nullptr, _IONBF, 0);
  int ran = 0;
  for (const Case& c : Cases()) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; ++i) wanted |= strcmp(argv[i], c.name) == 0;
    if (!wanted) continue;
    s_current = c.name;
    const LONG failedBefore = s_failed;
    const DWORD start = GetTickCount();
    c.run();
    printf("%s %s (%lu ms)\n", s_failed == failedBefore ? "ok  " : "FAIL", c.name,
           static_cast<unsigned long>(GetTickCount() - start));
    ++ran;
  }
  if (ran == 0) {
    printf("no test case ran\n");
    return 2;
  }
  printf("%ld passed, %ld failed\n", static_cast<long>(s_passed), static_cast<long>(s_failed));
  return s_failed == 0 ? 0 : 1;
}

}  // namespace wtest
