// A small test harness in the manner of Wine's conformance tests: a failed check is
// reported and counted, and the run goes on.  The closing line reads "N passed, N failed".
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace wtest {

struct Case {
  const char* name;
  void (*run)();
  bool wanted;  // named on the command line, or every case when none is
};

std::vector<Case>& Cases();
bool Check(bool condition, const char* file, int line, const char* format, ...);
const char* CurrentCase();

struct Registrar {
  Registrar(const char* name, void (*run)()) { Cases().push_back({name, run, false}); }
};

// Runs every case, or those named on the command line; returns the process exit code.  Each
// case's name is printed before it runs.  A case that crashes the process is reported with its
// name, and the cases after it run on in a child process.
int RunAll(int argc, char** argv);

// Names what a check is about while it is in scope, for example the iteration of a loop:
// failed checks on this thread print every open context.
class Context {
 public:
  explicit Context(const char* format, ...);
  ~Context();
  const char* text() const { return text_; }
  const Context* outer() const { return outer_; }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

 private:
  char text_[128];
  Context* outer_;
};

std::string Format(const char* format, ...);

}  // namespace wtest

#define TEST_CASE(name)                                            \
  static void name();                                              \
  static wtest::Registrar name##_registrar(#name, &name);          \
  static void name()

// WTEST_CONTEXT("family %d", family): names the loop's iteration in failures of this scope.
#define WTEST_CONTEXT_JOIN2(a, b) a##b
#define WTEST_CONTEXT_JOIN(a, b) WTEST_CONTEXT_JOIN2(a, b)
#define WTEST_CONTEXT(...) wtest::Context WTEST_CONTEXT_JOIN(wtest_context_, __LINE__)(__VA_ARGS__)

// ok(condition, "message %d", value): a check that never aborts the case.
#define ok(condition, ...) wtest::Check(!!(condition), __FILE__, __LINE__, __VA_ARGS__)

// Equality checks that print both sides; each side is evaluated once.
#define ok_eq_hex(expected, actual) \
  wtest::CheckEqualHex((unsigned long long)(expected), (unsigned long long)(actual), #actual, __FILE__, __LINE__)
#define ok_eq_int(expected, actual) \
  wtest::CheckEqualInt((long long)(expected), (long long)(actual), #actual, __FILE__, __LINE__)
#define ok_eq_str(expected, actual) \
  wtest::CheckEqualStr(std::string(expected), std::string(actual), #actual, __FILE__, __LINE__)

namespace wtest {
std::string Escape(const std::string& text);
bool CheckEqualHex(unsigned long long expected, unsigned long long actual, const char* what, const char* file, int line);
bool CheckEqualInt(long long expected, long long actual, const char* what, const char* file, int line);
bool CheckEqualStr(const std::string& expected, const std::string& actual, const char* what, const char* file,
                   int line);
}
