// A child process for test_exit_anywhere: the process ends while threads are anywhere in the
// exports, or a copy faults in the caller's memory.
// Usage:
//   exit_child anywhere <seed> <record file> <event name>
//     Loads the module with the stand-ins and the plug-in, log as the parent set it up, binds
//     three cameras of different families (one with 100 buffers), runs their simulated
//     acquisitions and a recording, and lets four threads call the exports in a loop, each
//     logging a marker entry (VInitLibrary of family 4, hCam kMarkerStep * (thread + 1) + i)
//     after every call.  After 0-150 ms (from the seed) it writes "made=a,b,c,d" (markers whose
//     call had returned, per thread) into the record file, sets the event and calls
//     ExitProcess(0) with the module loaded, as LabVIEW ends.  2: wrong call, 3: no load,
//     4: a set-up call failed.
//   exit_child <fault case> <event name>
//     Runs the case (checks print as in any test program), sets the event and returns its
//     result from main; the module is still loaded then.  The copy's fault is taken by a
//     vectored handler (this compiler has no __try) that stops the faulting thread for good.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>

#include "camera_rig.h"
#include "exit_child.h"
#include "log_checks.h"
#include "lv_array.h"

namespace {

// --- The process ends anywhere --------------------------------------------------------------

struct Camera {
  uintptr_t hCam;
  int32_t family;
  uint32_t framesPerSecond;
  int16_t small[2];  // 64-byte buffers
  int16_t large;     // a buffer of some MiB, or -1
  uint32_t largeBytes;
};

// Numbers as the stand-ins hand them out, lowest free first, in the order of the set-up.
constexpr int kCameraCount = 3;
constexpr int kManyBuffers = 100;
Camera s_cameras[kCameraCount] = {
    {0x11, 1, 200, {0, 1}, 2, 2u << 20},
    {0x22, 2, 500, {0, kManyBuffers - 1}, -1, 0},
    {0x33, 3, 200, {0, 1}, 2, 4u << 20},
};
constexpr uint32_t kLargeCopy = 1u << 20;  // 1024 x 1024 at 8 bits

ModuleHost* s_host = nullptr;

// The module's boxes, answered without the recorder's lock: a thread the process end killed
// may hold it.
int WINAPI AnswerBox(HWND, LPCSTR, LPCSTR, UINT) { return IDOK; }

struct Worker {
  int index;
  uint32_t random;
  volatile LONG made;  // markers whose call has returned
  int extraCamera;     // a buffer this worker allocated and frees next time, or -1
  int16_t extraNumber;
  LvArray* smallArray;
  LvArray* largeArray;

  uint32_t Next() {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    return random;
  }
};
Worker s_workers[kExitThreads];

// One call of the mix, on a camera drawn at random.
void CallOnce(Worker& w) {
  const ModuleApi& api = s_host->api;
  const Camera& c = s_cameras[w.Next() % kCameraCount];
  void* hCam = Cam(c.hCam);
  int16_t number = -1;
  int32_t pending = 0;
  uint32_t event = 0;
  switch (w.Next() % 10) {
    case 0:
      api.WaitForBuffers(hCam, &number, 20);
      break;
    case 1:
      api.WaitForBuffersEx(hCam, &number, 20, &pending, nullptr);
      break;
    case 2:  // <= 4 KiB: 8x8 of a small buffer, or 64x64 of a large one
    case 3:
      if (c.large >= 0 && (w.Next() & 1)) {
        api.GetImageFromBuffer(hCam, c.large, 64, 64, 8, w.smallArray->handle());
      } else {
        api.GetImageFromBuffer(hCam, c.small[w.Next() & 1], 8, 8, 8, w.smallArray->handle());
      }
      break;
    case 4: {
      const Camera& big = s_cameras[(w.Next() & 1) ? 0 : 2];
      api.GetImageFromBuffer(Cam(big.hCam), big.large, 1024, 1024, 8, w.largeArray->handle());
      break;
    }
    case 5:  // a buffer of this worker's own: allocated now, freed next time
      if (w.extraCamera < 0) {
        if (api.AllocateBuffer(hCam, &number, 64, 0, &event) == 0) {
          w.extraCamera = static_cast<int>(&c - s_cameras);
          w.extraNumber = number;
        }
      } else {
        api.FreeBuffer(Cam(s_cameras[w.extraCamera].hCam), w.extraNumber);
        w.extraCamera = -1;
      }
      break;
    case 6:  // an existing number again, at its size
    case 7:
      number = c.large >= 0 && (w.Next() & 1) ? c.large : c.small[w.Next() & 1];
      api.AllocateBuffer(hCam, &number, number == c.large ? c.largeBytes : 64, 0, &event);
      break;
    case 8:
      api.PushImageToFile(Cam(s_cameras[0].hCam), s_cameras[0].small[w.Next() & 1]);
      break;
    default:
      api.CancelWait(hCam);
      break;
  }
}

DWORD WINAPI WorkLoop(void* argument) {
  Worker& w = *static_cast<Worker*>(argument);
  for (;;) {
    CallOnce(w);
    LogOne(*s_host, kMarkerStep * (w.index + 1) + w.made);
    InterlockedIncrement(&w.made);
  }
}

// Binds the cameras, allocates their buffers, starts their acquisitions and the recording.
bool SetUp() {
  const ModuleApi& api = s_host->api;
  for (const Camera& c : s_cameras) {
    if (api.InitLibrary(Cam(c.hCam), c.family) != 0) return false;
    const int buffers = c.family == 2 ? kManyBuffers : 3;
    for (int i = 0; i < buffers; ++i) {
      int16_t number = -1;
      uint32_t event = 0;
      const uint32_t size = i == c.large ? c.largeBytes : 64;
      if (api.AllocateBuffer(Cam(c.hCam), &number, size, 0, &event) != 0 || number != i) return false;
    }
    SimApi sim = s_host->Sim(FamilyFile(c.family));
    if (!sim.valid() || sim.StartAcquisition(Cam(c.hCam), c.framesPerSecond, 8, 8, 8) != 0) return false;
  }
  return api.InitPushFile(Cam(s_cameras[0].hCam), "anywhere", 8, 8, 8, 0, 10) == 0;
}

int RunAnywhere(uint32_t seed, const char* recordPath, const char* eventName) {
  HANDLE ended = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
  if (ended == nullptr) return 2;
  s_host = new ModuleHost("anywhere");  // never unloaded: the process ends with it loaded
  s_host->AddStandIn(kLanCam);
  s_host->AddStandIn(kTnCam);
  s_host->AddStandIn(kQd4Cam);
  s_host->AddStandIn("VOR_File.dll");
  if (!s_host->Load()) return 3;
  PatchImport(s_host->module(), "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&AnswerBox), nullptr);
  if (!SetUp()) return 4;

  for (int t = 0; t < kExitThreads; ++t) {
    Worker& w = s_workers[t];
    w.index = t;
    w.random = seed * 2654435761u + 977u * (t + 1);
    w.made = 0;
    w.extraCamera = -1;
    w.smallArray = new LvArray({4096}, 1);
    w.largeArray = new LvArray({static_cast<int32_t>(kLargeCopy)}, 1);
    CloseHandle(CreateThread(nullptr, 0, WorkLoop, &w, 0, nullptr));
  }
  Sleep(seed % 151);

  char record[128];
  const int length = snprintf(record, sizeof record, "made=%ld,%ld,%ld,%ld\n", s_workers[0].made,
                              s_workers[1].made, s_workers[2].made, s_workers[3].made);
  HANDLE file = CreateFileA(recordPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, record, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
  SetEvent(ended);
  ExitProcess(0);
}

// --- A fault in the caller's memory ---------------------------------------------------------

// The copying thread stops for good at its fault, as when the caller catches the fault and
// never returns into the module: whatever the module held there stays held.  Only the copying
// thread's fault is taken; any other goes on to the harness's crash report.
struct FaultState {
  volatile DWORD thread;  // the only thread whose fault is caught
  void* volatile address;
  HANDLE caught;
};
FaultState s_fault = {0, nullptr, nullptr};

LONG CALLBACK StopFaultingThread(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || GetCurrentThreadId() != s_fault.thread) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  s_fault.address = record->NumberParameters >= 2 ? reinterpret_cast<void*>(record->ExceptionInformation[1]) : nullptr;
  SetEvent(s_fault.caught);
  for (;;) Sleep(INFINITE);
}

size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// A 1-D LabVIEW array of `bytes` 8-bit elements, its header readable, whose element byte
// bytes / 2 begins a no-access page.
struct FaultingArray {
  explicit FaultingArray(uint32_t bytes) {
    const size_t page = PageSize();
    const size_t offset = (page - (4 + bytes / 2) % page) % page;
    uint8_t* memory = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, offset + 4 + bytes + page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    block = memory + offset;
    memcpy(block, &bytes, 4);
    stopPage = block + 4 + bytes / 2;
    DWORD old = 0;
    VirtualProtect(stopPage, page, PAGE_NOACCESS, &old);
  }
  uint8_t* block;
  uint8_t* stopPage;
};

struct CopyJob {
  ModuleApi api;
  uint16_t width;
  uint16_t height;
  uint8_t* block;
  volatile uint32_t result;
};

DWORD WINAPI FaultingCopy(void* argument) {
  CopyJob& job = *static_cast<CopyJob*>(argument);
  job.result = job.api.GetImageFromBuffer(Cam(0x61), 0, job.width, job.height, 8, reinterpret_cast<void**>(&job.block));
  return 0;
}

// What the calls after the fault write: kept for the process's life, as a call that is still
// blocked when its wait runs out may write there later.
struct CallState {
  std::function<uint32_t()> call;
  volatile uint32_t result = 0xDEADBEEF;
};

DWORD WINAPI RunCall(void* argument) {
  CallState& state = *static_cast<CallState*>(argument);
  state.result = state.call();
  return 0;
}

// Runs `call` on a helper thread and waits 3 s at most; checks that it returned `expected`.
// A call still blocked then is left as it is.
bool CallReturns(const char* what, uint32_t expected, std::function<uint32_t()> call) {
  WTEST_CONTEXT("%s", what);
  CallState* state = new CallState;
  state->call = std::move(call);
  HANDLE thread = CreateThread(nullptr, 0, RunCall, state, 0, nullptr);
  const bool returned = WaitForSingleObject(thread, 3000) == WAIT_OBJECT_0;
  CloseHandle(thread);
  if (!ok(returned, "blocked for 3 s after the fault")) return false;
  return ok_eq_hex(expected, state->result);
}

struct AfterFault {
  int16_t number = -1;  // -1 asks for a new buffer
  uint32_t event = 0;
  LvArray copy{{64}, 1};
};

bool HoldsPattern(const uint8_t* bytes, size_t count, uint32_t seed) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != SimPatternByte(seed, i)) return false;
  }
  return true;
}

// A copy of `width` x `height` 8-bit pixels into an array with a no-access page faults; then
// another camera's calls, and calls of the faulting camera's other buffers, still return.
void FaultInCallerMemory(uint16_t width, uint16_t height) {
  const uint32_t bytes = uint32_t{width} * height;
  // Never unloaded: the stopped copy stays in the module, as it would in LabVIEW.
  CameraRig& rig = *new CameraRig("fault");
  if (!rig.loaded || !rig.Init(Cam(0x61), 1)) return;
  const ModuleApi api = rig.host.api;
  if (!ok_eq_int(0, rig.NewBuffer(Cam(0x61), bytes)) || !ok_eq_int(1, rig.NewBuffer(Cam(0x61), 64))) return;
  SimApi lan = rig.Sim(1);
  lan.FillBuffer(Cam(0x61), 0, 3, 0);
  lan.FillBuffer(Cam(0x61), 1, 7, 1);

  s_fault.caught = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  AddVectoredExceptionHandler(1, StopFaultingThread);
  FaultingArray* array = new FaultingArray(bytes);
  CopyJob* job = new CopyJob{api, width, height, array->block, 0xDEADBEEF};
  DWORD id = 0;
  HANDLE copier = CreateThread(nullptr, 0, FaultingCopy, job, CREATE_SUSPENDED, &id);
  s_fault.thread = id;
  ResumeThread(copier);
  const HANDLE either[2] = {s_fault.caught, copier};
  const DWORD woken = WaitForMultipleObjects(2, either, FALSE, 10000);
  if (woken == WAIT_OBJECT_0) {
    const uint8_t* at = static_cast<const uint8_t*>(s_fault.address);
    ok(at >= array->stopPage && at < array->stopPage + PageSize(), "the fault at %p is not in the no-access page %p",
       s_fault.address, array->stopPage);
  } else if (woken == WAIT_OBJECT_0 + 1) {
    // A module that caught the fault itself must not report the copy as done.
    ok(job->result != 0, "the copy into a no-access page returned 0");
  } else {
    ok(false, "the copy neither faulted nor returned");
    return;
  }

  AfterFault& out = *new AfterFault;
  if (CallReturns("VInitLibrary of another camera", 0, [=] { return api.InitLibrary(Cam(0x62), 2); })) {
    SimApi tn = rig.Sim(2);
    if (CallReturns("VAllocateBuffer of it", 0,
                    [=, &out] { return api.AllocateBuffer(Cam(0x62), &out.number, 64, 0, &out.event); }) &&
        ok_eq_int(0, out.number)) {
      tn.FillBuffer(Cam(0x62), 0, 5, 1);
    }
  }
  out.number = 0x7777;
  if (CallReturns("VWaitForBuffers of it", 0, [=, &out] { return api.WaitForBuffers(Cam(0x62), &out.number, 2000); })) {
    ok_eq_int(0, out.number);
  }
  if (CallReturns("VGetImageFromBuffer of it", 0,
                  [=, &out] { return api.GetImageFromBuffer(Cam(0x62), 0, 8, 8, 8, out.copy.handle()); })) {
    ok(HoldsPattern(out.copy.elements(), 64, 5), "the other camera's copy is wrong");
  }
  CallReturns("VFreeBuffer of it", 0, [=] { return api.FreeBuffer(Cam(0x62), 0); });
  CallReturns("Vcleanup of it", 0, [=] { return api.cleanup(Cam(0x62)); });

  // The faulting camera: a new buffer, a wait, a copy and a re-allocation of its other buffer.
  out.number = -1;
  if (CallReturns("VAllocateBuffer of a new buffer of the faulting camera", 0,
                  [=, &out] { return api.AllocateBuffer(Cam(0x61), &out.number, 64, 0, &out.event); })) {
    ok_eq_int(2, out.number);
  }
  out.number = 0x7777;
  if (CallReturns("VWaitForBuffers of the faulting camera", 0,
                  [=, &out] { return api.WaitForBuffers(Cam(0x61), &out.number, 2000); })) {
    ok_eq_int(1, out.number);  // the one signalled
  }
  if (CallReturns("VGetImageFromBuffer of the faulting camera's other buffer", 0,
                  [=, &out] { return api.GetImageFromBuffer(Cam(0x61), 1, 8, 8, 8, out.copy.handle()); })) {
    ok(HoldsPattern(out.copy.elements(), 64, 7), "the other buffer's copy is wrong");
  }
  out.number = 1;
  CallReturns("VAllocateBuffer of the faulting camera's other buffer again", 0,
              [=, &out] { return api.AllocateBuffer(Cam(0x61), &out.number, 64, 0, &out.event); });
  CallReturns("VCancelWait of the faulting camera", 0, [=] { return api.CancelWait(Cam(0x61)); });
}

}  // namespace

TEST_CASE(fault_in_a_small_copy) { FaultInCallerMemory(16, 16); }

TEST_CASE(fault_in_a_large_copy) { FaultInCallerMemory(1024, 1024); }

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "anywhere") == 0) {
    return RunAnywhere(static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)), argv[3], argv[4]);
  }
  if (argc != 3) return 2;
  HANDLE ended = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  const int result = wtest::RunAll(2, argv);
  SetEvent(ended);
  return result;
}
