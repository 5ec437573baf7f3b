// The test harness: case registry, checks and the closing count.
#include "wtest.h"

#include <windows.h>

namespace wtest {
namespace {

LONG s_passed = 0;
LONG s_failed = 0;
const char* s_current = "";
size_t s_currentIndex = 0;
CRITICAL_SECTION s_printLock;
thread_local Context* t_context = nullptr;

// The open contexts of this thread, outermost first.
std::string ContextText(const Context* context);

// A crash ends this process: report the case, run the cases after it in a child process, and
// leave with a failure.
constexpr DWORD kChildWaitMs = 540000;  // below ctest's time-out of a test program

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  // Which module the fault is in, and where in it.
  void* address = info->ExceptionRecord->ExceptionAddress;
  HMODULE module = nullptr;
  char moduleName[MAX_PATH] = "?";
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCSTR>(address), &module)) {
    GetModuleFileNameA(module, moduleName, MAX_PATH);
  }
  printf("CRASH %s: exception 0x%08lx at %p (%s+0x%llx)\n", s_current,
         static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), address, moduleName,
         static_cast<unsigned long long>(static_cast<char*>(address) - reinterpret_cast<char*>(module)));
  fflush(stdout);
  std::vector<Case>& cases = Cases();
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\"";
  bool any = false;
  for (size_t i = s_currentIndex + 1; i < cases.size(); ++i) {
    if (!cases[i].wanted) continue;
    command += " ";
    command += cases[i].name;
    any = true;
  }
  LONG childPassed = 0, childFailed = 0;
  if (any) {
    printf("running the cases after %s in a child process\n", s_current);
    fflush(stdout);
    // The child leaves its counts in a file, so the closing line adds them up.
    char counts[MAX_PATH];
    snprintf(counts, sizeof counts, "%s.counts.%lu", self, static_cast<unsigned long>(GetCurrentProcessId()));
    DeleteFileA(counts);
    SetEnvironmentVariableA("WTEST_COUNTS_FILE", counts);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      if (WaitForSingleObject(process.hProcess, kChildWaitMs) != WAIT_OBJECT_0) {
        printf("the child process did not end within %lu s: ended\n", kChildWaitMs / 1000);
        TerminateProcess(process.hProcess, 1);
        ++childFailed;
      }
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    if (FILE* file = fopen(counts, "r")) {
      long p = 0, f = 0;
      if (fscanf(file, "%ld %ld", &p, &f) == 2) {
        childPassed += p;
        childFailed += f;
      }
      fclose(file);
    }
    DeleteFileA(counts);
  }
  printf("%s crashed: this run failed\n", s_current);
  printf("%ld passed, %ld failed\n", static_cast<long>(s_passed + childPassed), static_cast<long>(s_failed + childFailed + 1));
  fflush(stdout);
  ExitProcess(1);
}

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
  const std::string context = ContextText(t_context);
  EnterCriticalSection(&s_printLock);
  printf("%s:%d: [%s]%s Test failed: %s\n", base, line, s_current, context.c_str(), message);
  fflush(stdout);
  LeaveCriticalSection(&s_printLock);
  return false;
}

namespace {

std::string ContextText(const Context* context) {
  if (context == nullptr) return "";
  return ContextText(context->outer()) + " [" + context->text() + "]";
}

}  // namespace

Context::Context(const char* format, ...) : outer_(t_context) {
  va_list args;
  va_start(args, format);
  vsnprintf(text_, sizeof text_, format, args);
  va_end(args);
  t_context = this;
}

Context::~Context() { t_context = outer_; }

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
  SetUnhandledExceptionFilter(ReportCrash);
  std::vector<Case>& cases = Cases();
  for (Case& c : cases) {
    c.wanted = argc < 2;
    for (int i = 1; i < argc; ++i) c.wanted |= strcmp(argv[i], c.name) == 0;
  }
  int ran = 0;
  for (size_t index = 0; index < cases.size(); ++index) {
    const Case& c = cases[index];
    if (!c.wanted) continue;
    s_current = c.name;
    s_currentIndex = index;
    printf("run  %s\n", c.name);
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
  char counts[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("WTEST_COUNTS_FILE", counts, sizeof counts);
  if (length > 0 && length < sizeof counts) {
    if (FILE* file = fopen(counts, "w")) {
      fprintf(file, "%ld %ld\n", static_cast<long>(s_passed), static_cast<long>(s_failed));
      fclose(file);
    }
  }
  return s_failed == 0 ? 0 : 1;
}

}  // namespace wtest
