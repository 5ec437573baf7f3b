// Random and boundary arguments through every export: numbers at the ends of their types,
// arrays of any element type whose blocks end right at an inaccessible page, re-allocations
// with other sizes, and the stand-ins failing on request.  This program stands in for LabVIEW:
// it exports the run-time's marker and a DSGetHandleSize that knows its arrays.  Nothing may
// crash, write past an array or hang, and every result must be one the export can give.  A
// fixed seed runs in the test command; scripts/random-calls.sh runs longer with other seeds.
#include <windows.h>
#include <stdlib.h>

#include <map>
#include <vector>

#include "camera_rig.h"

namespace {

// The blocks of the arrays alive now, as LabVIEW's memory manager would know them.
CRITICAL_SECTION s_blocksLock;
std::map<void*, size_t> s_blocks;

}  // namespace

extern "C" {
uint32_t gLVRTVersion = 0x20260000;

int32_t DSGetHandleSize(void* handle) {
  EnterCriticalSection(&s_blocksLock);
  auto found = s_blocks.find(handle);
  const int32_t size = found != s_blocks.end() ? static_cast<int32_t>(found->second) : -1;
  LeaveCriticalSection(&s_blocksLock);
  return size;
}
}

namespace {

// An array block of LabVIEW's layout that ends exactly where an inaccessible page begins.
class EdgeArray {
 public:
  EdgeArray(int dimensions, const int32_t* sizes, size_t elementBytes) : dimensions_(dimensions) {
    size_t elements = 1;
    for (int d = 0; d < dimensions; ++d) elements *= sizes[d] > 0 ? static_cast<size_t>(sizes[d]) : 0;
    bytes_ = 4 * static_cast<size_t>(dimensions) + elements * elementBytes;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t reserved = (bytes_ + page - 1) / page * page + page;
    memory_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, reserved, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(memory_ + reserved - page, page, PAGE_NOACCESS, &old);
    block_ = memory_ + reserved - page - bytes_;
    memcpy(block_, sizes, 4 * static_cast<size_t>(dimensions));
    EnterCriticalSection(&s_blocksLock);
    s_blocks[handle()] = bytes_;
    LeaveCriticalSection(&s_blocksLock);
  }
  ~EdgeArray() {
    EnterCriticalSection(&s_blocksLock);
    s_blocks.erase(handle());
    LeaveCriticalSection(&s_blocksLock);
    VirtualFree(memory_, 0, MEM_RELEASE);
  }
  EdgeArray(const EdgeArray&) = delete;
  EdgeArray& operator=(const EdgeArray&) = delete;

  void** handle() { return reinterpret_cast<void**>(&block_); }

 private:
  int dimensions_;
  size_t bytes_ = 0;
  uint8_t* memory_ = nullptr;
  uint8_t* block_ = nullptr;
};

struct Random {
  uint64_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint32_t>(state >> 16);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
  template <typename T, size_t N>
  T Pick(const T (&values)[N]) { return values[Below(N)]; }
};

const int16_t kNumbers[] = {-32768, -2, -1, 0, 0, 1, 1, 2, 3, 7, 63, 64, 32767};
const uint16_t kSides[] = {0, 1, 2, 7, 8, 16, 31, 64, 100, 255, 65535};
const int32_t kArraySides[] = {-1, 0, 1, 2, 7, 8, 16, 31, 64, 100, 255};
const uint16_t kBits[] = {0, 1, 8, 8, 9, 12, 16, 16, 32, 65535};
const uint32_t kSizes[] = {0, 1, 3, 64, 100, 4096, 8191, 65536, 0xFFFFFFFF};
const int32_t kFamilies[] = {1, 2, 3, 1, 2, 3, 0, 4, -1};
const uint32_t kTimeouts[] = {0, 0, 1, 5};
const char* const kEntries[] = {"ALLOCATE_BUFFER_EX", "ALLOCATE_BUFFER", "MAP_BUFFER", "SETBUFFER_EVENT",
                                "FREE_BUFFER", "UNMAP_BUFFER", "GETBUFFER_STATUS", "VOR_AllocateBuffer",
                                "VOR_FreeBuffer", "VOR_GetBufferStatus", "VOR_GetImage", "VOR_GetImageEx",
                                "VOR_GetPendingBuffer"};

bool Possible(uint32_t code) {
  switch (code) {
    case VOR_OK: case ERROR_NOT_ENOUGH_MEMORY:
    case VOR_ERR_WRONG_PARAMETER: case VOR_ERR_BUFFER_NOT_REGISTERED: case VOR_ERR_OPTION_NOT_AVAILABLE:
    case VOR_ERR_TIMEOUT: case VOR_ERR_BUFFER_TOO_SMALL: case VOR_ERR_BUFFER_NOT_FILLED: case VOR_ERR_WAIT_CANCELLED:
    case SIM_ERR_BAD_ARG: case SIM_ERR_NO_BUFFER: case SIM_ERR_NO_MEMORY:
    case 0x80047777:  // the fault the test injects
      return true;
    default:
      return false;
  }
}

// Buffers the calls got, so that most calls name one that exists.
struct Known {
  void* cam;
  int16_t number;
};
std::vector<Known> s_known;

// One call of a random export with random arguments; returns its result.
uint32_t OneCall(CameraRig& rig, Random& r, const char** name) {
  const ModuleApi& api = rig.host.api;
  void* cam = Cam(0xE0 + r.Below(4));
  int16_t number = r.Pick(kNumbers);
  if (!s_known.empty() && r.Below(4) != 0) {
    const Known& known = s_known[r.Below(static_cast<uint32_t>(s_known.size()))];
    cam = known.cam;
    number = known.number;
  }
  // Mostly an image that a buffer could hold, into an array sized for about that many pixels
  // but of either element type: too small, too large, and of the wrong type, all come up.
  uint16_t width = r.Pick(kSides), height = r.Pick(kSides);
  if (r.Below(4) != 0) {
    width = static_cast<uint16_t>(1 + r.Below(64));
    height = static_cast<uint16_t>(1 + r.Below(64));
  }
  const uint16_t bits = r.Pick(kBits);
  const int dims = 1 + static_cast<int>(r.Below(2));
  const int32_t scale[] = {0, 1, 2, 3, 4, 4, 4, 8};
  int32_t sizes[2] = {r.Pick(kArraySides), r.Pick(kArraySides)};
  if (r.Below(4) != 0) {
    const int32_t pixels = static_cast<int32_t>(width) * height * r.Pick(scale) / 4;
    if (dims == 1) sizes[0] = pixels; else sizes[0] = height, sizes[1] = pixels / (height > 0 ? height : 1);
  }
  EdgeArray array(dims, sizes, 1 + r.Below(2));
  void** handle = r.Below(20) == 0 ? nullptr : array.handle();
  switch (r.Below(14)) {
    case 0: *name = "VInitLibrary"; return api.InitLibrary(cam, r.Pick(kFamilies));
    case 1: case 2: {
      *name = "VAllocateBuffer";
      int16_t bufNr = r.Below(2) ? static_cast<int16_t>(-1) : number;
      uint32_t event = r.Next();
      const uint32_t size = r.Below(2) ? r.Pick(kSizes) : 1 + r.Below(64 * 64 * 2);
      const uint32_t code = api.AllocateBuffer(cam, r.Below(30) ? &bufNr : nullptr, size, r.Next(),
                                               r.Below(30) ? &event : nullptr);
      if (code == VOR_OK && s_known.size() < 64) s_known.push_back({cam, bufNr});
      return code;
    }
    case 3: *name = "VFreeBuffer"; return api.FreeBuffer(cam, r.Below(4) ? number : static_cast<int32_t>(r.Next()));
    case 4: *name = "Vcleanup"; return api.cleanup(cam);
    case 5: {
      *name = "VWaitForBuffers";
      int16_t bufNr = 0;
      return api.WaitForBuffers(cam, r.Below(30) ? &bufNr : nullptr, r.Pick(kTimeouts));
    }
    case 6: {
      *name = "VWaitForBuffersEx";
      int16_t bufNr = 0;
      int32_t pending = 0;
      return api.WaitForBuffersEx(cam, &bufNr, r.Pick(kTimeouts), r.Below(2) ? &pending : nullptr, nullptr);
    }
    case 7: case 8:
      *name = dims == 2 ? "VGetImageFromBuffer2D" : "VGetImageFromBuffer";
      return dims == 2 ? api.GetImageFromBuffer2D(cam, number, width, height, bits, handle)
                       : api.GetImageFromBuffer(cam, number, width, height, bits, handle);
    case 9:
      *name = "VGetImageFromCamRam";
      return api.GetImageFromCamRam(cam, static_cast<uint16_t>(r.Next()), r.Next(), r.Next(), number, handle);
    case 10:
      *name = "VGetImageExFromCamRam";
      return api.GetImageExFromCamRam(cam, static_cast<uint16_t>(r.Next()), r.Next(), r.Next(), number, width, height,
                                      bits, handle);
    case 11: *name = "VCancelWait"; return api.CancelWait(cam);
    case 12: {
      // The stand-in of a family fails one of its entry points on request, now or a few calls on.
      *name = "SimFail";
      SimApi sim = rig.Sim(1 + static_cast<int32_t>(r.Below(3)));
      if (sim.Fail != nullptr) sim.Fail(r.Pick(kEntries), 0x80047777, 1 + static_cast<int32_t>(r.Below(3)), 0);
      return VOR_OK;
    }
    default: {
      *name = "recording";
      const uint32_t which = r.Below(3);
      if (which == 0) return api.InitPushFile(cam, r.Below(5) ? "random" : nullptr, width, height, bits,
                                              static_cast<int32_t>(r.Next()), static_cast<int32_t>(r.Next()));
      if (which == 1) return api.PushImageToFile(cam, number);
      return api.ClosePushFile(cam);
    }
  }
}

DWORD s_seconds = 5;
uint64_t s_seed = 0x5EED1234ABCDull;

}  // namespace

TEST_CASE(random_and_boundary_arguments_through_every_export) {
  CameraRig rig("random_calls");
  rig.host.AddStandIn("VOR_File.dll");
  if (!rig.loaded) return;
  // The stand-ins are held, so a family's last cleanup does not unload one under SimFail.
  HeldLibrary held[3] = {HeldLibrary(rig.host.PathOf(kLanCam)), HeldLibrary(rig.host.PathOf(kTnCam)),
                         HeldLibrary(rig.host.PathOf(kQd4Cam))};
  Random r{s_seed};
  const ULONGLONG end = GetTickCount64() + s_seconds * 1000ull;
  long calls = 0, impossible = 0;
  while (GetTickCount64() < end) {
    const char* name = "?";
    const uint32_t code = OneCall(rig, r, &name);
    ++calls;
    if (!Possible(code) && ++impossible <= 5) ok(false, "call %ld, %s gave 0x%x", calls, name, code);
  }
  ok_eq_int(0, impossible);
  ok(calls > 1000, "only %ld calls", calls);
  printf("%ld calls, seed %#llx\n", calls, static_cast<unsigned long long>(s_seed));
  s_known.clear();
  for (int c = 0; c < 4; ++c) {
    rig.host.api.ClosePushFile(Cam(0xE0 + c));
    while (rig.host.api.cleanup(Cam(0xE0 + c)) == VOR_OK) {
    }
  }
}

// Run by hand for a longer hunt: blackbox_random_calls.exe <seconds> <seed>.
int main(int argc, char** argv) {
  InitializeCriticalSection(&s_blocksLock);
  if (argc >= 2 && atoi(argv[1]) > 0) {
    s_seconds = static_cast<DWORD>(atoi(argv[1]));
    if (argc >= 3) s_seed = _strtoui64(argv[2], nullptr, 0);
    argc = 1;  // the arguments are not case names: every case runs
  }
  const int result = wtest::RunAll(argc, argv);
  RemoveLeftFolders(3000);
  return result;
}
