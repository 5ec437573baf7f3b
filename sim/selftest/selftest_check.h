// The check harness of the stand-ins' self-tests: a failed check is printed and counted, the
// run goes on, and SelfTestResult prints the closing "N passed, N failed" line.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static int g_passed, g_failed;

static void ok_(const char *file, int line, bool cond, const char *format, ...)
{
    if (cond) {
        ++g_passed;
        return;
    }
    ++g_failed;
    const char *base = strrchr(file, '/');
    printf("%s:%d: Test failed: ", base != nullptr ? base + 1 : file, line);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}
#define ok(cond, ...) ok_(__FILE__, __LINE__, (cond), __VA_ARGS__)

// The exit code of a self-test: 0 when every check passed.
static int SelfTestResult()
{
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
