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
};

std::vector<Case>& Cases();
bool Check(bool condition, const char* file, int line, const char* format, ...);
const char* CurrentCase();

struct Registrar {
  Registrar(const char* name, void (*run)()) { Cases().push_back({name, run}); }
};

// Runs every case, or those named on the command line; returns the process exit code.
int RunAll(int argc, char** argv);

std::string Format(const char* format, ...);

}  // namespace wtest

#define TEST_CASE(name)                                            \
  static void name();                                              \
  static wtest::Registrar name##_registrar(#name, &name);          \
  static void name()

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
