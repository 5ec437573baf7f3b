// What exit_child and test_exit_anywhere agree on: the workers of the "anywhere" child and the
// camera handles of their marker entries.
#pragma once

#include <stdint.h>

constexpr int kExitThreads = 4;
// Worker t logs its markers with hCam kMarkerStep * (t + 1) + 0, 1, 2, ...
constexpr uintptr_t kMarkerStep = 0x1000000;
