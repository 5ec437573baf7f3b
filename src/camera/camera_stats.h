// Per-camera statistics: what waits, copies and pushes count, and what the state report reads
// of the camera subsystem.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "camera/camera_state.h"
#include "camera/registry.h"

// The performance counter's tick now; registrations and frames are stamped with it.
int64_t StatsTick() noexcept;

// Under the registry lock: the counters of the camera's registration, or null when it has none.
// The pointer stays good while the caller holds a use of that registration or of one of the
// camera's buffers.
CameraStats* StatsOf(void* hCam) noexcept;

// How a wait of the camera ended, as its counters tell it.
enum class WaitEnd { kFrame, kTimeout, kCancelled, kOther };

// A wait's end.  `pending` is what a frame's wait reported (-1 when it was not asked for), and
// `starved` whether every buffer the camera held was filled.
void CountWaitEnd(CameraStats* stats, WaitEnd end, int32_t pending, bool starved, int64_t tick) noexcept;
// A copy, counted in the shard of the thread that made it (`thread` as GuardCopy gave it).
void CountCopy(CameraStats* stats, const CopyThread* thread, uint64_t bytes) noexcept;
void CountPage(CameraStats* stats) noexcept;

// One camera as the state report shows it.
struct CameraReport {
  void* hCam;
  int32_t family;
  uint64_t buffers;
  uint64_t bytes;
  int32_t waits;         // waits in progress
  bool cancelPending;    // a stop kept for the next wait
  bool tiedToNode;
  uint64_t frames;
  uint64_t timeouts;
  uint64_t starved;
};

// The registered cameras, newest first: at most `capacity` into `reports`; returns how many
// there are.
size_t ReportCameras(CameraReport* reports, size_t capacity) noexcept;

// The library each family has bound now (index 0 Lanticam, 1 Tornio, 2 QD4), null when none.
void BoundLibraries(HMODULE (&libraries)[3]) noexcept;
