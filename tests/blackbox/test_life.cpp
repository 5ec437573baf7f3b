// A VI's whole life, driven as LabVIEW drives it: every node reserved, two cameras bound through
// the init node, a producer loop per camera and a consumer, a recording, and an end by the stop
// button, by Abort (then Unreserve) or by the end of the process.  And a stop button pressed at
// any moment of a running loop.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "camera_rig.h"
#include "lv_array.h"
#include "plugin_api.h"
#include "process_usage.h"
#include "race_tools.h"

namespace {

constexpr uint16_t kWidth = 64, kHeight = 48;
constexpr int kBuffers = 4;                   // per camera
constexpr uint32_t kFramesPerSecond = 250;
constexpr ULONG_PTR kEndOfFrames = 2;          // the consumer's last message; cameras are 0 and 1
constexpr DWORD kChildExitCode = 41;
constexpr int32_t kFamilyPairs[3][2] = {{2, 3}, {3, 1}, {1, 2}};

uint16_t BitsOf(int32_t family) { return family == VOR_FAMILY_TORNIO ? 8 : 12; }
uint32_t FrameBytes(uint16_t bits) { return kWidth * kHeight * (bits > 8 ? 2u : 1u); }
void* CameraOf(int32_t family) { return Cam(0x700 + family); }

double NowMs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

uint32_t Next(uint32_t& seed) {
  seed = seed * 1103515245u + 12345u;
  return seed >> 8;
}

// The frame k that a copy holds whole (pixel (x, y) = (x + y + k) masked to `bits`), or -1.
int32_t FrameNumber(const uint8_t* pixels, uint16_t bits) {
  const uint32_t mask = (1u << bits) - 1;
  auto at = [&](size_t i) -> uint32_t { return bits > 8 ? pixels[2 * i] | pixels[2 * i + 1] << 8 : pixels[i]; };
  const uint32_t k = at(0);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      if (at(y * kWidth + x) != ((x + y + k) & mask)) return -1;
    }
  }
  return static_cast<int32_t>(k);
}

// Pages of a little-endian TIFF file: the length of its IFD chain; -1 when it is not one.
int TiffPages(const std::string& bytes) {
  auto u32 = [&](size_t at) { uint32_t v; memcpy(&v, bytes.data() + at, 4); return v; };
  if (bytes.size() < 8 || bytes.compare(0, 4, "II*\0", 4) != 0) return -1;
  int pages = 0;
  for (uint32_t ifd = u32(4); ifd != 0; ++pages) {
    if (ifd + 2ull > bytes.size() || pages > 100000) return -1;
    const size_t entries = static_cast<uint8_t>(bytes[ifd]) | static_cast<uint8_t>(bytes[ifd + 1]) << 8;
    const size_t next = ifd + 2 + 12 * entries;
    if (next + 4 > bytes.size()) return -1;
    ifd = u32(next);
  }
  return pages;
}

struct Life;

// One camera of a life and its acquisition loop, on a thread of its own as a LabVIEW loop:
// wait, copy, push when it records, hand the buffer back, pass the frame to the consumer.
struct CameraLoop {
  Life* life = nullptr;
  ULONG_PTR index = 0;
  void* hCam = nullptr;
  int32_t family = 0;
  uint16_t bits = 8;
  bool records = false;
  void* waitCell = nullptr;  // the wait node's instance data
  HANDLE thread = nullptr;
  volatile LONG frames = 0;
  volatile LONG pushes = 0;  // pushes that returned 0
  uint32_t endCode = 0;      // the wait result that ended the loop; 0 for an abort between calls
  double endedAt = 0;
  std::string problem;       // the first thing the loop found wrong
};

struct Life {
  ModuleHost* host = nullptr;
  CameraLoop loops[2];
  void* initCells[2] = {nullptr, nullptr};  // one init node for both cameras uses the first only
  volatile LONG aborted = 0;  // LabVIEW starts no node of an aborted VI
  volatile LONG giveUp = 0;   // the test's own end of a loop the VI could not end
  HANDLE queue = nullptr;     // frames from the producers to the consumer
  HANDLE consumer = nullptr;
  std::string consumerProblem;
  std::string recording;      // the life's recording file

  const ModuleApi& api() const { return host->api; }
  CameraLoop& recorder() { return loops[0].records ? loops[0] : loops[1]; }
};

DWORD WINAPI RunLoop(void* argument) {
  CameraLoop& loop = *static_cast<CameraLoop*>(argument);
  Life& life = *loop.life;
  const ModuleApi& api = life.api();
  LvArray image({kWidth * kHeight}, loop.bits > 8 ? 2 : 1);
  auto note = [&](const std::string& what) {
    if (loop.problem.empty()) loop.problem = what;
  };
  while (!life.aborted && !life.giveUp) {
    int16_t n = 0x7777;
    int32_t pending = 0x7777;
    const uint32_t waited = api.WaitForBuffersEx(loop.hCam, &n, 250, &pending, &loop.waitCell);
    if (waited == VOR_ERR_TIMEOUT) continue;
    if (waited != 0) {
      loop.endCode = waited;
      break;
    }
    if (pending < 0 || pending >= kBuffers) note(wtest::Format("pending %d", pending));
    if (life.aborted) break;
    const uint32_t copied = api.GetImageFromBuffer(loop.hCam, n, kWidth, kHeight, loop.bits, image.handle());
    const int32_t k = copied == 0 ? FrameNumber(image.elements(), loop.bits) : -1;
    if (k < 0) note(wtest::Format("buffer %d: copy 0x%x, not one whole frame", n, copied));
    if (loop.records && !life.aborted) {
      const uint32_t pushed = api.PushImageToFile(loop.hCam, n);
      if (pushed == 0) InterlockedIncrement(&loop.pushes);
      else note(wtest::Format("push of buffer %d: 0x%x", n, pushed));
    }
    if (life.aborted) break;
    uint32_t event = 0;
    const uint32_t requeued = api.AllocateBuffer(loop.hCam, &n, FrameBytes(loop.bits), 0, &event);
    if (requeued != 0) note(wtest::Format("hand-back of buffer %d: 0x%x", n, requeued));
    InterlockedIncrement(&loop.frames);
    PostQueuedCompletionStatus(life.queue, static_cast<DWORD>(k), loop.index, nullptr);
  }
  loop.endedAt = NowMs();
  return 0;
}

// The consumer: the frames of each camera come in the order the camera made them, none missing.
DWORD WINAPI RunConsumer(void* argument) {
  Life& life = *static_cast<Life*>(argument);
  int32_t last[2] = {-1, -1};
  for (;;) {
    DWORD k = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* unused = nullptr;
    if (!GetQueuedCompletionStatus(life.queue, &k, &key, &unused, 20000)) {
      life.consumerProblem = "the end of the frames never came";
      break;
    }
    if (key == kEndOfFrames) break;
    // Frame numbers come from the pixels, so they wrap at the bit depth.
    const int32_t expected = (last[key] + 1) & ((1 << life.loops[key].bits) - 1);
    if (static_cast<int32_t>(k) != expected && life.consumerProblem.empty()) {
      life.consumerProblem = wtest::Format("camera %d: frame %d after frame %d", static_cast<int>(key),
                                           static_cast<int32_t>(k), last[key]);
    }
    last[key] = static_cast<int32_t>(k);
  }
  return 0;
}

// The VI starts: every node reserved, both cameras bound through the init node (one node
// instance for both, or one each), buffers, the cameras running in queue order, one camera
// recording, the loops and the consumer under way.  Returns what went wrong, or "".
std::string Begin(Life& life, const int32_t families[2], int recorder, bool oneInitNode, const char* name) {
  const ModuleApi& api = life.api();
  std::string problem;
  auto note = [&](const std::string& what) {
    if (problem.empty()) problem = what;
  };
  api.Reserve(&life.initCells[0]);
  if (!oneInitNode) api.Reserve(&life.initCells[1]);
  for (CameraLoop& loop : life.loops) api.Reserve(&loop.waitCell);
  for (int i = 0; i < 2; ++i) {
    CameraLoop& loop = life.loops[i];
    loop.life = &life;
    loop.index = i;
    loop.family = families[i];
    loop.hCam = CameraOf(families[i]);
    loop.bits = BitsOf(families[i]);
    loop.records = i == recorder;
    const uint32_t bound = api.InitLibraryEx(loop.hCam, loop.family, &life.initCells[oneInitNode ? 0 : i]);
    if (bound != 0) note(wtest::Format("VInitLibraryEx of family %d: 0x%x", loop.family, bound));
    for (int b = 0; b < kBuffers; ++b) {
      int16_t number = -1;
      uint32_t event = 0;
      const uint32_t made = api.AllocateBuffer(loop.hCam, &number, FrameBytes(loop.bits), 0, &event);
      if (made != 0) note(wtest::Format("VAllocateBuffer of family %d: 0x%x", loop.family, made));
    }
    const SimApi sim = life.host->Sim(FamilyFile(loop.family));
    if (!sim.valid()) {
      note(wtest::Format("the stand-in of family %d is not loaded", loop.family));
      continue;
    }
    sim.SetAcquisitionMode(loop.hCam, SIM_ACQ_QUEUE);
    if (sim.StartAcquisition(loop.hCam, kFramesPerSecond, kWidth, kHeight, loop.bits) != 0) {
      note(wtest::Format("the camera of family %d did not start", loop.family));
    }
  }
  const CameraLoop& rec = life.recorder();
  const uint32_t opened = api.InitPushFile(rec.hCam, name, kWidth, kHeight, rec.bits, 0, 10);
  if (opened != 0) note(wtest::Format("VInitPushFile: 0x%x", opened));
  life.recording = life.host->folder() + "\\" + name + ".tif";
  life.queue = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  life.consumer = CreateThread(nullptr, 0, RunConsumer, &life, 0, nullptr);
  for (CameraLoop& loop : life.loops) loop.thread = CreateThread(nullptr, 0, RunLoop, &loop, 0, nullptr);
  if (!WaitUntil([&] { return life.loops[0].frames > 0 && life.loops[1].frames > 0; }, 3000)) {
    note("the loops had no frame within 3 s");
  }
  return problem;
}

// Milliseconds from `start` until both loops had ended; -1 when they had not within 2 s (the
// test then ends them), -2 when they did not end even so.
double JoinLoops(Life& life, double start) {
  HANDLE threads[2] = {life.loops[0].thread, life.loops[1].thread};
  if (WaitForMultipleObjects(2, threads, TRUE, 2000) == WAIT_OBJECT_0) {
    return std::max(life.loops[0].endedAt, life.loops[1].endedAt) - start;
  }
  InterlockedExchange(&life.giveUp, 1);
  return WaitForMultipleObjects(2, threads, TRUE, 10000) == WAIT_OBJECT_0 ? -1 : -2;
}

// The stop button: the UI thread cancels both cameras' waits; the loops end on 0x800A2010.
double PressStop(Life& life) {
  const double start = NowMs();
  for (CameraLoop& loop : life.loops) ok_eq_hex(0, life.api().CancelWait(loop.hCam));
  return JoinLoops(life, start);
}

// Abort: LabVIEW starts no node any more and calls Abort of the wait nodes, on a thread of its own.
double PressAbort(Life& life) {
  const double start = NowMs();
  InterlockedExchange(&life.aborted, 1);
  for (CameraLoop& loop : life.loops) life.api().Abort(&loop.waitCell);
  return JoinLoops(life, start);
}

// When the top-level VI has stopped, LabVIEW unreserves every node, in an order of its own.
void UnreserveAll(Life& life, bool waitNodesFirst) {
  auto waits = [&] {
    for (CameraLoop& loop : life.loops) life.api().Unreserve(&loop.waitCell);
  };
  if (waitNodesFirst) waits();
  for (void*& cell : life.initCells) life.api().Unreserve(&cell);
  if (!waitNodesFirst) waits();
}

void CloseLifeHandles(Life& life) {
  HANDLE handles[4] = {life.loops[0].thread, life.loops[1].thread, life.consumer, life.queue};
  for (HANDLE h : handles) {
    if (h != nullptr) CloseHandle(h);
  }
}

// The loop of stop_is_never_lost: one run per press, each ended by the press.
constexpr uint16_t kStopWidth = 32, kStopHeight = 16;
struct StopLoop {
  const ModuleApi* api;
  void* cam;
  HANDLE go, ended;                                        // auto-reset
  volatile LONG quit, pressing, pressed, betweenCallsMs;  // pressing: VCancelWait is called; pressed: it returned
  LONG lateWaits, spurious, frames, inWait;                // of the run
  uint32_t lastResult;                                     // of the run's last wait
};

DWORD WINAPI RunStopLoop(void* argument) {
  StopLoop& l = *static_cast<StopLoop*>(argument);
  const uint32_t size = kStopWidth * kStopHeight * 2;
  LvArray image({kStopWidth * kStopHeight}, 2);
  while (WaitForSingleObject(l.go, 30000) == WAIT_OBJECT_0 && !l.quit) {
    l.lateWaits = l.spurious = l.frames = l.inWait = 0;
    for (;;) {
      const bool afterPress = l.pressed != 0;  // read before the wait starts
      int16_t n = 0x7777;
      int32_t pending = 0;
      l.lastResult = l.api->WaitForBuffersEx(l.cam, &n, 500, &pending, nullptr);
      if (l.lastResult == VOR_ERR_WAIT_CANCELLED) {
        if (!l.pressing) ++l.spurious;  // a press of an earlier run was kept
        if (!afterPress) ++l.inWait;    // the press came while this wait was under way
        break;
      }
      if (afterPress) {  // the press was lost
        ++l.lateWaits;
        break;
      }
      if (l.lastResult == VOR_ERR_TIMEOUT) continue;
      if (l.lastResult != 0) break;
      ++l.frames;
      l.api->GetImageFromBuffer(l.cam, n, kStopWidth, kStopHeight, 12, image.handle());
      if (l.betweenCallsMs) Sleep(l.betweenCallsMs);
      l.api->PushImageToFile(l.cam, n);
      uint32_t event = 0;
      l.api->AllocateBuffer(l.cam, &n, size, 0, &event);
    }
    SetEvent(l.ended);
  }
  return 0;
}

// The child of life_ended_by_process_exit: one life, ended by ExitProcess at a random moment
// while the loops run.  Just before, it writes the pushes that returned 0 and its module's folder
// into the record file and sets the marker event.
[[noreturn]] void ChildLife(uint32_t seed, const char* marker, const char* recordPath) {
  ModuleHost host("life_exit");
  for (const char* file : {kLanCam, kTnCam, kQd4Cam, "VOR_File.dll"}) host.AddStandIn(file);
  if (!host.Load()) ExitProcess(3);
  Life& life = *new Life;
  life.host = &host;
  const std::string problem = Begin(life, kFamilyPairs[seed % 3], (seed / 3) % 2, seed % 4 == 3, "exit");
  if (!problem.empty()) {
    printf("child: %s\n", problem.c_str());
    ExitProcess(3);
  }
  Sleep(Next(seed) % 60);
  WriteWholeFile(recordPath, wtest::Format("%ld\n%s", life.recorder().pushes, host.folder().c_str()));
  SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, marker));
  ExitProcess(kChildExitCode);
}

// Run as "<this program> --life-child <seed> <marker event> <record file>", the program is that
// child and never reaches its cases.
[[maybe_unused]] const bool s_child = __argc == 5 && strcmp(__argv[1], "--life-child") == 0 &&
                                      (ChildLife(strtoul(__argv[2], nullptr, 10), __argv[3], __argv[4]), true);

}  // namespace

// 200 lives in one load of the module, each ended at a random moment by the stop button or by
// Abort.  Every end stops the loops at once; what the VI or, after an Abort, the Unreserve of
// its nodes leaves is nothing: no buffer in the stand-ins, the recording closed and complete,
// the cameras unregistered, so the next life starts as the first did.
TEST_CASE(lives) {
  constexpr int kLives = 200, kFailedLivesToStop = 5;
  CameraRig rig("life");
  rig.host.AddStandIn("VOR_File.dll");
  if (!rig.loaded) return;
  // References of the test's own: the stand-ins' counts stay readable when the module lets go.
  HeldLibrary heldLan(rig.host.PathOf(kLanCam)), heldTn(rig.host.PathOf(kTnCam)), heldQd4(rig.host.PathOf(kQd4Cam));
  PluginApi plugin;
  if (!ok(plugin.Bind(rig.host.PathOf("VOR_File.dll")), "no plug-in control")) return;
  for (int32_t family = 1; family <= 3; ++family) rig.Sim(family).SetTracing(0);
  const ModuleApi& api = rig.host.api;
  uint32_t seed = GetTickCount();
  printf("seed %u\n", seed);

  ProcessUsage settled = {0, 0, 0};
  int failedLives = 0, lived = 0, aborts = 0;
  double slowest = 0;
  long frames = 0;
  for (int n = 0; n < kLives && failedLives < kFailedLivesToStop; ++n) {
    const int32_t* families = kFamilyPairs[n % 3];
    const bool abort = Next(seed) % 2 != 0, oneInitNode = n % 4 == 3;
    WTEST_CONTEXT("life %d: families %d and %d, %s%s", n, families[0], families[1], abort ? "abort" : "stop",
                  oneInitNode ? ", one init node" : "");
    Life& life = *new Life;
    life.host = &rig.host;
    const std::string name = wtest::Format("life%03d", n);
    const std::string problem = Begin(life, families, (n / 3) % 2, oneInitNode, name.c_str());
    bool fine = ok(problem.empty(), "%s", problem.c_str());
    Sleep(20 + Next(seed) % 41);
    const double took = abort ? PressAbort(life) : PressStop(life);
    // Loops stuck in the module: their life stays allocated, and nothing more can be run.
    if (!ok(took > -2, "the loops are stuck after the %s", abort ? "abort" : "stop")) return;
    fine &= ok(took >= 0 && took < 200, "the loops ended %.1f ms after the press (-1: not within 2 s)", took);
    slowest = std::max(slowest, took);
    PostQueuedCompletionStatus(life.queue, 0, kEndOfFrames, nullptr);
    fine &= ok(WaitForSingleObject(life.consumer, 30000) == WAIT_OBJECT_0, "the consumer did not end");
    fine &= ok(life.consumerProblem.empty(), "frames out of order: %s", life.consumerProblem.c_str());
    for (const CameraLoop& loop : life.loops) {
      fine &= ok(loop.problem.empty(), "family %d: %s", loop.family, loop.problem.c_str());
      fine &= ok(loop.endCode == VOR_ERR_WAIT_CANCELLED || (abort && loop.endCode == 0),
                 "family %d: the loop ended on 0x%x (0: not by a wait)", loop.family, loop.endCode);
      frames += loop.frames;
    }
    if (!abort) {
      // The VI's own end: the cameras stopped through their SDK, the recording closed, cleanups.
      for (const CameraLoop& loop : life.loops) rig.Sim(loop.family).StopAcquisition(loop.hCam);
      fine &= ok_eq_hex(0, api.ClosePushFile(life.recorder().hCam));
      for (const CameraLoop& loop : life.loops) fine &= ok_eq_hex(0, api.cleanup(loop.hCam));
    }
    UnreserveAll(life, Next(seed) % 2 != 0);
    if (abort) {
      for (const CameraLoop& loop : life.loops) rig.Sim(loop.family).StopAcquisition(loop.hCam);
    }

    for (const CameraLoop& loop : life.loops) {
      const int32_t left = rig.Sim(loop.family).BufferCount();
      fine &= ok(left == 0, "family %d: %d buffers left in the stand-in", loop.family, left);
    }
    HANDLE file = CreateFileA(life.recording.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    fine &= ok(file != INVALID_HANDLE_VALUE, "the recording cannot be opened for writing (error %lu; 32: still open)",
               error);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    const int pages = TiffPages(ReadWholeFile(life.recording));
    fine &= ok(pages == life.recorder().pushes, "%d pages in the recording, %ld pushes returned 0", pages,
               life.recorder().pushes);
    // Nothing is open or registered any more; where something is, these calls put it right for
    // the next life.
    fine &= ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.ClosePushFile(life.recorder().hCam));
    for (const CameraLoop& loop : life.loops) fine &= ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.cleanup(loop.hCam));

    DeleteFileA(life.recording.c_str());
    plugin.TraceClear();
    CloseLifeHandles(life);
    delete &life;
    failedLives += fine ? 0 : 1;
    aborts += abort ? 1 : 0;
    ++lived;
    if (n == 19) settled = MeasureProcessUsage();
  }
  printf("lives: %d lived (%d aborted), %ld frames, slowest end %.1f ms\n", lived, aborts, frames, slowest);
  if (!ok_eq_int(kLives, lived)) return;
  const ProcessUsage after = MeasureProcessUsage();
  CheckUsageFlat("life 20 -> life 200", settled, after);
}

// The same life in a child process that ends with ExitProcess while its loops run in the
// module, as LabVIEW ends: the process goes at once, with its code, and the pages it recorded.
TEST_CASE(life_ended_by_process_exit) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  uint32_t seed = GetTickCount();
  printf("seed %u\n", seed);
  double slowest = 0;
  long pagesSeen = 0;
  for (int run = 0; run < 20; ++run) {
    const uint32_t childSeed = Next(seed);
    WTEST_CONTEXT("run %d, child seed %u", run, childSeed);
    const std::string marker = wtest::Format("vorlab_life_exit_%lu_%d", GetCurrentProcessId(), run);
    HANDLE markerEvent = CreateEventA(nullptr, TRUE, FALSE, marker.c_str());
    const std::string recordFolder = MakeFreshFolder("life_exit_record");
    const std::string recordPath = recordFolder + "\\record.txt";
    std::string command = wtest::Format("\"%s\" --life-child %u %s \"%s\"", self, childSeed, marker.c_str(),
                                        recordPath.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!ok(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process),
            "cannot start the child: %lu", GetLastError())) {
      CloseHandle(markerEvent);
      return;
    }
    HANDLE both[2] = {markerEvent, process.hProcess};
    const DWORD first = WaitForMultipleObjects(2, both, FALSE, 30000);
    ok(first == WAIT_OBJECT_0, "the child %s before it called ExitProcess", first == WAIT_OBJECT_0 + 1 ? "ended" : "hung");
    const double marked = NowMs();
    const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
    const double took = NowMs() - marked;
    if (first == WAIT_OBJECT_0) {
      ok(ended && took < 1000, "the child ended %.0f ms after its ExitProcess", took);
      slowest = std::max(slowest, took);
    }
    if (!ended) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, 10000);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    ok_eq_int(kChildExitCode, code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(markerEvent);

    // Each push that had returned is a page of the file.
    const std::string record = ReadWholeFile(recordPath);
    long pushes = -1;
    sscanf(record.c_str(), "%ld", &pushes);
    const size_t newline = record.find('\n');
    const std::string folder = newline == std::string::npos ? "" : record.substr(newline + 1);
    const int pages = TiffPages(ReadWholeFile(folder + "\\exit.tif"));
    if (first == WAIT_OBJECT_0) {
      ok(pushes >= 0 && pages >= pushes, "%d pages in the recording, %ld pushes returned 0", pages, pushes);
    }
    pagesSeen += std::max(pages, 0);
    if (!folder.empty()) RemoveFolder(folder);
    RemoveFolder(recordFolder);
  }
  printf("20 children ended, the slowest %.1f ms after its ExitProcess; %ld pages recorded\n", slowest, pagesSeen);
}

// A stop pressed at any moment of a running loop (wait, copy, push, hand-back, between calls):
// the first wait that starts after the press returns 0x800A2010, so the loop ends within the
// iteration it is in.  Windows are widened in turn with the stand-ins' delays.
TEST_CASE(stop_is_never_lost) {
  constexpr uint16_t kW = kStopWidth, kH = kStopHeight;
  constexpr int kPresses = 1000;
  CameraRig rig("life_stop");
  rig.host.AddStandIn("VOR_File.dll");
  void* const cam = Cam(0x7A0);
  if (!rig.loaded || !rig.Init(cam, VOR_FAMILY_QD4)) return;
  PluginApi plugin;
  if (!ok(plugin.Bind(rig.host.PathOf("VOR_File.dll")), "no plug-in control")) return;
  const ModuleApi& api = rig.host.api;
  const SimApi sim = rig.Sim(VOR_FAMILY_QD4);
  for (int b = 0; b < kBuffers; ++b) rig.NewBuffer(cam, kW * kH * 2);
  sim.SetTracing(0);
  sim.SetAcquisitionMode(cam, SIM_ACQ_QUEUE);
  ok_eq_hex(0, sim.StartAcquisition(cam, 1000, kW, kH, 12));
  ok_eq_hex(0, api.InitPushFile(cam, "stops", kW, kH, 12, 0, 10));

  StopLoop loop = {&api, cam, CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr),
                   0, 0, 0, 0, 0, 0, 0, 0, 0};
  HANDLE thread = CreateThread(nullptr, 0, RunStopLoop, &loop, 0, nullptr);

  const char* const windows[5] = {"no window widened", "status call", "push", "hand-back", "between calls"};
  int lost = 0, spurious = 0, hung = 0, otherEnds = 0, inWait = 0;
  long frames = 0;
  std::string examples;
  uint32_t seed = GetTickCount();
  printf("seed %u\n", seed);
  const ULONGLONG started = GetTickCount64();
  for (int press = 0; press < kPresses; ++press) {
    const int window = press % 5;
    sim.SetDelay("VOR_GetBufferStatus", window == 1 ? 1 : 0);
    plugin.SetDelay("Push", window == 2 ? 1 : 0);
    sim.SetDelay("VOR_AllocateBuffer", window == 3 ? 1 : 0);
    loop.betweenCallsMs = window == 4 ? 1 : 0;
    loop.pressing = loop.pressed = 0;
    SetEvent(loop.go);
    const uint32_t delayUs = Next(seed) % 4000;
    for (const double until = NowMs() + delayUs / 1000.0; NowMs() < until;) YieldProcessor();
    InterlockedExchange(&loop.pressing, 1);
    const uint32_t cancelled = api.CancelWait(cam);
    InterlockedExchange(&loop.pressed, 1);
    if (WaitForSingleObject(loop.ended, 3000) != WAIT_OBJECT_0) {
      ++hung;
      break;
    }
    frames += loop.frames;
    inWait += loop.inWait;
    const bool isLost = loop.lateWaits > 0, isOther = !isLost && loop.lastResult != VOR_ERR_WAIT_CANCELLED;
    lost += isLost ? 1 : 0;
    spurious += loop.spurious > 0 ? 1 : 0;
    otherEnds += isOther ? 1 : 0;
    if ((isLost || isOther || loop.spurious > 0 || cancelled != 0) && examples.size() < 400) {
      examples += wtest::Format(" [press %d, %s, after %u us: press 0x%x, wait 0x%x]", press, windows[window], delayUs,
                                cancelled, loop.lastResult);
    }
  }
  printf("%d presses in %llu ms, %d of them while a wait was under way, %ld frames\n", kPresses, GetTickCount64() - started, inWait,
         frames);
  ok(lost == 0 && spurious == 0 && hung == 0 && otherEnds == 0,
     "of %d presses: %d lost (a later wait returned a frame), %d with a cancel before the press, %d hung, "
     "%d other ends;%s", kPresses, lost, spurious, hung, otherEnds, examples.c_str());
  InterlockedExchange(&loop.quit, 1);
  SetEvent(loop.go);
  ok(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0, "the loop did not end");
  CloseHandle(thread);
  CloseHandle(loop.go);
  CloseHandle(loop.ended);
  sim.SetDelay("VOR_GetBufferStatus", 0);
  sim.SetDelay("VOR_AllocateBuffer", 0);
  plugin.SetDelay("Push", 0);
  ok_eq_hex(0, api.ClosePushFile(cam));

  // With no wait in progress, one press is kept, once, for the next wait of either export;
  // VInitLibrary and Vcleanup of the camera drop it.  Buffers filled by hand from here on.
  sim.StopAcquisition(cam);
  for (int b = 0; b < kBuffers; ++b) sim.FillBuffer(cam, b, 0, 1);
  int16_t n = 0x7777;
  int32_t pending = 0;
  ok_eq_hex(0, api.CancelWait(cam));
  ok_eq_hex(0, api.CancelWait(cam));
  ok_eq_hex(VOR_ERR_WAIT_CANCELLED, api.WaitForBuffers(cam, &n, 1000));
  ok_eq_int(-1, n);
  ok_eq_hex(0, api.WaitForBuffersEx(cam, &n, 1000, &pending, nullptr));
  ok_eq_hex(0, api.CancelWait(cam));
  ok_eq_hex(0, api.InitLibrary(cam, VOR_FAMILY_QD4));
  ok_eq_hex(0, api.WaitForBuffersEx(cam, &n, 1000, &pending, nullptr));
  ok_eq_hex(0, api.CancelWait(cam));
  ok_eq_hex(0, api.cleanup(cam));
  ok_eq_hex(0, api.InitLibrary(cam, VOR_FAMILY_QD4));
  sim.FillBuffer(cam, rig.NewBuffer(cam, kW * kH * 2), 0, 1);
  ok_eq_hex(0, api.WaitForBuffersEx(cam, &n, 1000, &pending, nullptr));
  ok_eq_hex(0, api.cleanup(cam));
}
