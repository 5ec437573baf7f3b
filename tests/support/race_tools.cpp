// Tools of the race tests.
#include "race_tools.h"

namespace {

// The armed array's stop page and the events of its handshake; one at a time.
struct PauseState {
  uint8_t* volatile page;
  HANDLE paused;   // set by the copying thread when it reaches the page
  HANDLE resume;   // set by the test to let it go on
  PVOID handler;
};
PauseState s_pause = {nullptr, nullptr, nullptr, nullptr};

size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// A write to the stop page holds the copying thread until the test resumes it, then opens
// the page and lets the write run again.
LONG CALLBACK HoldAtStopPage(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  uint8_t* page = s_pause.page;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || page == nullptr || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  uint8_t* address = reinterpret_cast<uint8_t*>(record->ExceptionInformation[1]);
  if (address < page || address >= page + PageSize()) return EXCEPTION_CONTINUE_SEARCH;
  SetEvent(s_pause.paused);
  WaitForSingleObject(s_pause.resume, 60000);
  DWORD old = 0;
  VirtualProtect(page, PageSize(), PAGE_READWRITE, &old);
  s_pause.page = nullptr;
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

AsyncCall::AsyncCall(std::function<uint32_t()> call) : call_(std::move(call)) {
  thread_ = CreateThread(nullptr, 0, &AsyncCall::Run, this, 0, nullptr);
}

AsyncCall::~AsyncCall() {
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, 60000);
    CloseHandle(thread_);
  }
}

DWORD WINAPI AsyncCall::Run(void* self) {
  AsyncCall* call = static_cast<AsyncCall*>(self);
  call->result_ = call->call_();
  return 0;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(1);
  }
  return true;
}

PausingArray::PausingArray(int32_t elements, size_t elementBytes, size_t stopAt) {
  const size_t page = PageSize();
  const size_t bytes = static_cast<size_t>(elements) * elementBytes;
  reserved_ = ((4 + bytes + page - 1) / page + 1) * page;
  memory_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, reserved_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  block_ = memory_;
  memcpy(block_, &elements, 4);
  // The page that holds element byte `stopAt`.
  stopPage_ = memory_ + ((4 + stopAt) / page) * page;
  if (s_pause.handler == nullptr) {
    s_pause.paused = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s_pause.resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s_pause.handler = AddVectoredExceptionHandler(1, HoldAtStopPage);
  }
  ResetEvent(s_pause.paused);
  ResetEvent(s_pause.resume);
  DWORD old = 0;
  VirtualProtect(stopPage_, page, PAGE_NOACCESS, &old);
  s_pause.page = stopPage_;
}

PausingArray::~PausingArray() {
  Resume();
  s_pause.page = nullptr;
  VirtualFree(memory_, 0, MEM_RELEASE);
}

bool PausingArray::WaitForPause(DWORD ms) { return WaitForSingleObject(s_pause.paused, ms) == WAIT_OBJECT_0; }

void PausingArray::Resume() { SetEvent(s_pause.resume); }

bool PausingArray::paused() const { return WaitForSingleObject(s_pause.paused, 0) == WAIT_OBJECT_0; }
