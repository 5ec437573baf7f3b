// Per-camera statistics and VGetCameraStats.
#include "camera/camera_stats.h"

#include <windows.h>

#include "camera/camera_state.h"
#include "camera/sdk_families.h"
#include "diagnostics/error_codes.h"
#include "vorlabview.h"

namespace {

std::atomic<int64_t> s_ticksPerSecond{0};  // the performance counter's frequency, once read

uint64_t Microseconds(int64_t ticks) noexcept {
  int64_t perSecond = s_ticksPerSecond.load(std::memory_order_relaxed);
  if (perSecond == 0) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    perSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    s_ticksPerSecond.store(perSecond, std::memory_order_relaxed);
  }
  if (ticks <= 0) return 0;
  // Whole seconds first: ticks times a million would overflow after a few days at 10 MHz.
  const uint64_t t = static_cast<uint64_t>(ticks);
  const uint64_t f = static_cast<uint64_t>(perSecond);
  return t / f * 1000000 + t % f * 1000000 / f;
}

// Under the registry lock: the camera's buffers that hold SDK memory, and their bytes.
void CountBuffers(void* hCam, uint64_t* buffers, uint64_t* bytes) noexcept {
  *buffers = 0;
  *bytes = 0;
  BufferRegistry::ForEach([&](const BufferRecord* r) {
    if (r->hCam == hCam && r->bufNr != kRegistrationBufNr && r->size != 0 && !r->retiring.load()) {
      ++*buffers;
      *bytes += r->size;
    }
    return true;
  });
}

void RaiseTo(std::atomic<uint64_t>& counter, uint64_t value) noexcept {
  uint64_t seen = counter.load(std::memory_order_relaxed);
  while (seen < value && !counter.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

}  // namespace

int64_t StatsTick() noexcept {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

CameraStats* StatsOf(void* hCam) noexcept {
  BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
  return registration != nullptr ? registration->stats : nullptr;
}

void CountWaitEnd(CameraStats* stats, WaitEnd end, int32_t pending, bool starved, int64_t tick) noexcept {
  if (stats == nullptr) return;
  switch (end) {
    case WaitEnd::kFrame:
      stats->frames.fetch_add(1, std::memory_order_relaxed);
      stats->lastFrameTick.store(tick, std::memory_order_relaxed);
      if (pending > 0) RaiseTo(stats->maxPending, static_cast<uint64_t>(pending));
      if (starved) stats->starved.fetch_add(1, std::memory_order_relaxed);
      break;
    case WaitEnd::kTimeout: stats->timeouts.fetch_add(1, std::memory_order_relaxed); break;
    case WaitEnd::kCancelled: stats->cancels.fetch_add(1, std::memory_order_relaxed); break;
    case WaitEnd::kOther: stats->otherEnds.fetch_add(1, std::memory_order_relaxed); break;
  }
}

void CountCopy(CameraStats* stats, const CopyThread* thread, uint64_t bytes) noexcept {
  if (stats == nullptr) return;
  if (thread != nullptr && thread->shard >= 0) {
    // Only this thread writes its shard: a plain add, which readers see whole.
    CopyCounts& counts = stats->copyShards[thread->shard];
    counts.copies.store(counts.copies.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    counts.bytes.store(counts.bytes.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  } else {
    stats->sharedCopies.copies.fetch_add(1, std::memory_order_relaxed);
    stats->sharedCopies.bytes.fetch_add(bytes, std::memory_order_relaxed);
  }
}

void CountPage(CameraStats* stats) noexcept {
  if (stats != nullptr) stats->pagesPushed.fetch_add(1, std::memory_order_relaxed);
}

size_t ReportCameras(CameraReport* reports, size_t capacity) noexcept {
  RegistryReadLock lock;
  size_t count = 0;
  BufferRegistry::ForEach([&](const BufferRecord* r) {
    if (r->bufNr != kRegistrationBufNr || r->retiring.load() || BufferRegistry::LiveRegistration(r->hCam) != r) {
      return true;  // an older registration of a camera registered again is not another camera
    }
    if (count < capacity) {
      CameraReport& report = reports[count];
      report.hCam = r->hCam;
      report.family = r->family;
      CountBuffers(r->hCam, &report.buffers, &report.bytes);
      report.waits = WaitsInProgress(r->hCam);
      report.cancelPending = r->cancelPending;
      report.tiedToNode = r->tiedToNode;
      const CameraStats* stats = r->stats;
      report.frames = stats != nullptr ? stats->frames.load() : 0;
      report.timeouts = stats != nullptr ? stats->timeouts.load() : 0;
      report.starved = stats != nullptr ? stats->starved.load() : 0;
    }
    ++count;
    return true;
  });
  return count;
}

void BoundLibraries(HMODULE (&libraries)[3]) noexcept {
  RegistryReadLock lock;
  const FamilyEntryPoints& entry = EntryPoints();
  libraries[0] = entry.lanticam.hLib;
  libraries[1] = entry.tornio.hLib;
  libraries[2] = entry.qd4.hLib;
}

/***********************************************************************
 *      VGetCameraStats (vorlabview.21)
 *
 * Fills an array with the camera's counters since its registration, in the order of the
 * header's VorCameraStat.
 *
 * PARAMS
 *  hCam     [I] camera handle given to VInitLibrary
 *  counters [O] array of `count` unsigned 64-bit values
 *  count    [I] how many the array holds; the first min(count, VOR_STAT_COUNT) are written
 *
 * RETURNS
 *  0; 0xA00A3001 for a null array with count above 0; 0x800A3004 for an unregistered camera.
 *  Nothing is written unless the result is 0.
 */
extern "C" ErrorCode WINAPI VGetCameraStats(void* hCam, uint64_t* counters, int32_t count) {
  if (counters == nullptr && count > 0) return kWrongParameter;
  uint64_t values[VOR_STAT_COUNT] = {};
  int64_t registeredTick = 0;
  int64_t lastFrameTick = 0;
  {
    RegistryReadLock lock;
    const BufferRecord* registration = BufferRegistry::LiveRegistration(hCam);
    if (registration == nullptr) return kOptionNotAvailable;
    static const CameraStats kNone;  // a registration without counters reads as all zero
    const CameraStats* stats = registration->stats != nullptr ? registration->stats : &kNone;
    CountBuffers(hCam, &values[VOR_STAT_BUFFERS], &values[VOR_STAT_BUFFER_BYTES]);
    values[VOR_STAT_FRAMES] = stats->frames.load(std::memory_order_relaxed);
    values[VOR_STAT_TIMEOUTS] = stats->timeouts.load(std::memory_order_relaxed);
    values[VOR_STAT_CANCELS] = stats->cancels.load(std::memory_order_relaxed);
    values[VOR_STAT_OTHER_ENDS] = stats->otherEnds.load(std::memory_order_relaxed);
    values[VOR_STAT_MAX_PENDING] = stats->maxPending.load(std::memory_order_relaxed);
    values[VOR_STAT_STARVED] = stats->starved.load(std::memory_order_relaxed);
    values[VOR_STAT_COPIES] = stats->sharedCopies.copies.load(std::memory_order_relaxed);
    values[VOR_STAT_BYTES_COPIED] = stats->sharedCopies.bytes.load(std::memory_order_relaxed);
    for (const CopyCounts& shard : stats->copyShards) {
      values[VOR_STAT_COPIES] += shard.copies.load(std::memory_order_relaxed);
      values[VOR_STAT_BYTES_COPIED] += shard.bytes.load(std::memory_order_relaxed);
    }
    values[VOR_STAT_PAGES_PUSHED] = stats->pagesPushed.load(std::memory_order_relaxed);
    registeredTick = stats->registeredTick;
    lastFrameTick = stats->lastFrameTick.load(std::memory_order_relaxed);
  }
  if (lastFrameTick != 0) values[VOR_STAT_US_TO_LAST_FRAME] = Microseconds(lastFrameTick - registeredTick);
  values[VOR_STAT_US_SINCE_INIT] = Microseconds(StatsTick() - registeredTick);
  // The caller's array is written after the lock is let go: a fault there leaves it free.
  const int32_t written = count < VOR_STAT_COUNT ? count : VOR_STAT_COUNT;
  for (int32_t i = 0; i < written; ++i) counters[i] = values[i];
  return kOk;
}
