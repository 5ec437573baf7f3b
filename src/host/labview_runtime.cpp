// The binding to the LabVIEW run-time: finding its module, binding DSSetHandleSize lazily,
// and the fatal end when neither can be had.
#include "host/labview_runtime.h"

#include <windows.h>
#include <string.h>

#include <atomic>

#include "diagnostics/log_channel.h"
#include "vorlabview.h"

namespace {

typedef int32_t (*DSSetHandleSizeFn)(void* handle, size_t size);
typedef int32_t (*DSGetHandleSizeFn)(void* handle);
typedef int32_t (*DSCheckHandleFn)(void* handle);

// One bound run-time function: its address once resolved, and its exported name.
struct RuntimeFunctionEntry {
  std::atomic<void*> address;  // null until resolved, never reset; racing first calls store the same
  char name[32];
};

// A run-time function the module can do without: looked up once, and looked up again only
// when the host names another run-time module.
struct OptionalFunctionEntry {
  std::atomic<void*> address;  // null until found
  std::atomic<bool> searched;  // the search ran and found nothing
  char name[32];
};

// The run-time binding: the module the host named, and the functions the module uses.  Every
// field is read and written by any thread without a lock.
struct RuntimeBinding {
  std::atomic<HMODULE> namedModule;  // set only by SetLVRTModule
  RuntimeFunctionEntry setHandleSize;
  OptionalFunctionEntry getHandleSize;  // for the image exports' bounds check
  OptionalFunctionEntry checkHandle;    // for the exports that take a handle
};

RuntimeBinding s_runtime = {{nullptr},
                            {{nullptr}, "DSSetHandleSize"},
                            {{nullptr}, {false}, "DSGetHandleSize"},
                            {{nullptr}, {false}, "DSCheckHandle"}};

// With boxes switched off the text goes to the log, as an entry with the system's number for
// what is missing, and the process ends without waiting for a click.
[[noreturn]] void FatalEnd(ErrorCode code, const char* text) noexcept {
  ShowOrLogBox(code, nullptr, text, "Fatal Error", MB_TASKMODAL | MB_ICONERROR);
  ExitProcess(1);
}

HMODULE FindRuntimeModule() noexcept {
  if (HMODULE named = s_runtime.namedModule.load()) return named;
  HMODULE host = GetModuleHandleA(nullptr);
  if (GetProcAddress(host, "gLVRTVersion") != nullptr || GetProcAddress(host, "AZNewHandle") != nullptr) {
    return host;
  }
  if (HMODULE lvrt = GetModuleHandleA("lvrt.dll")) return lvrt;
  return GetModuleHandleA("lvffrt.dll");
}

void ResolveRuntimeFunction(RuntimeFunctionEntry& entry) noexcept {
  HMODULE runtime = FindRuntimeModule();
  if (runtime == nullptr) FatalEnd(ERROR_MOD_NOT_FOUND, "LABVIEW.LIB was not called from a LabVIEW process.");
  if (entry.address.load() == nullptr) entry.address.store(reinterpret_cast<void*>(GetProcAddress(runtime, entry.name)));
  if (entry.address.load() != nullptr) return;
  char text[300] = "LABVIEW.LIB could not locate \"";
  strncat(text, entry.name, sizeof text - strlen(text) - 3);
  strcat(text, "\".");
  FatalEnd(ERROR_PROC_NOT_FOUND, text);
}

// The function's address, or null when the process's run-time has none.  Racing first calls
// find the same address; a miss is remembered so that a host that is not LabVIEW pays for the
// search once.
void* FindOptional(OptionalFunctionEntry& entry) noexcept {
  void* address = entry.address.load(std::memory_order_acquire);
  if (address != nullptr || entry.searched.load(std::memory_order_relaxed)) return address;
  HMODULE runtime = FindRuntimeModule();
  address = runtime != nullptr ? reinterpret_cast<void*>(GetProcAddress(runtime, entry.name)) : nullptr;
  if (address != nullptr) entry.address.store(address, std::memory_order_release); else entry.searched.store(true);
  return address;
}

}  // namespace

int32_t RuntimeSetHandleSize(void* handle, size_t size) noexcept {
  RuntimeFunctionEntry& entry = s_runtime.setHandleSize;
  if (entry.address.load() == nullptr) ResolveRuntimeFunction(entry);
  return reinterpret_cast<DSSetHandleSizeFn>(entry.address.load())(handle, size);
}

HandleCheck RuntimeCheckArray(void* handle, uint64_t* blockSize) noexcept {
  void* check = FindOptional(s_runtime.checkHandle);
  if (check != nullptr && reinterpret_cast<DSCheckHandleFn>(check)(handle) != 0) return HandleCheck::kNotAHandle;
  void* getSize = FindOptional(s_runtime.getHandleSize);
  if (getSize == nullptr) return HandleCheck::kUnsized;
  const int32_t size = reinterpret_cast<DSGetHandleSizeFn>(getSize)(handle);
  if (size < 0) return HandleCheck::kUnsized;
  *blockSize = static_cast<uint64_t>(size);
  return HandleCheck::kSized;
}

bool RuntimeRefusesHandle(void* handle) noexcept {
  void* address = FindOptional(s_runtime.checkHandle);
  return address != nullptr && reinterpret_cast<DSCheckHandleFn>(address)(handle) != 0;
}

bool RuntimeCanResize() noexcept {
  RuntimeFunctionEntry& entry = s_runtime.setHandleSize;
  if (entry.address.load() != nullptr) return true;
  HMODULE runtime = FindRuntimeModule();
  if (runtime == nullptr) return false;
  void* address = reinterpret_cast<void*>(GetProcAddress(runtime, entry.name));
  if (address != nullptr) entry.address.store(address);
  return address != nullptr;
}

/***********************************************************************
 *      SetLVRTModule (vorlabview.14)
 *
 * Names the LabVIEW run-time module; null restores the search in the process.  A function
 * already bound stays bound.
 *
 * PARAMS
 *  runtimeModule [I] module handle of the run-time
 */
extern "C" void WINAPI SetLVRTModule(void* runtimeModule) {
  s_runtime.namedModule.store(static_cast<HMODULE>(runtimeModule));
  // A function not found so far may be in this module.
  s_runtime.getHandleSize.searched.store(false);
  s_runtime.checkHandle.searched.store(false);
}
