// The benchmarks' clocks: seconds from the performance counter, and from the timestamp counter
// for copies of a few microseconds.
#pragma once

#include <windows.h>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <x86intrin.h>
#endif

inline double Now() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Seconds from the processor's timestamp counter, at its rate measured once against the
// performance counter: under Wine the performance counter ticks every 100 ns, too coarse for a
// copy of a small frame.
inline double FineNow() {
  static const double secondsPerTick = [] {
    const double start = Now();
    const unsigned long long ticks = __rdtsc();
    Sleep(100);
    return (Now() - start) / static_cast<double>(__rdtsc() - ticks);
  }();
  return static_cast<double>(__rdtsc()) * secondsPerTick;
}
