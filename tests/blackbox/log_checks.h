// Checks of a session log's entries shared by the log tests: which of a run of entries arrived,
// how often and in which order, and whether the time stamps keep their order.
#pragma once

#include <stdint.h>

#include <string>

// The entry text VInitLibrary logs for a family-4 camera handle.
std::string InitEntryText(uintptr_t hCam);

// Logs one entry through the exports (VInitLibrary of a family-4 camera, which binds nothing).
class ModuleHost;
void LogOne(ModuleHost& host, uintptr_t hCam);

// Whether each of `count` handles from `first` has its entry in the file exactly once, in
// order.  On failure *why names the first handle that is missing, doubled or out of order.
bool AllOnceInOrder(const std::string& file, uintptr_t first, int count, std::string* why);

// How many entries carry a time stamp earlier than the entry before them, and the largest
// step back in milliseconds.
struct StampOrder {
  int inversions;
  int64_t worstMs;
};
StampOrder CheckStampOrder(const std::string& file);
