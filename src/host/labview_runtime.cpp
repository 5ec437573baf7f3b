// The binding to the LabVIEW run-time: finding its module, binding DSSetHandleSize lazily,
// and the fatal end when neither can be had.
#include "host/labview_runtime.h"

#include <windows.h>
#include <string.h>

#include "vorlabview.h"

namespace {

typedef int32_t (*DSSetHandleSizeFn)(void* handle, size_t size);
typedef int32_t (*DSGetHandleSizeFn)(void* handle);

// One bound run-time function: its address once resolved, and its exported name.
struct RuntimeFunctionEntry {
  void* volatile address;  // null until resolved, never reset
  char name[32];
};

// A run-time function the module can do without: looked up once, and looked up again only
// when the host names another run-time module.
struct OptionalFunctionEntry {
  void* volatile address;  // null until found
  volatile LONG searched;  // the search ran and found nothing
  char name[32];
};

// The run-time binding: the module the host named, and the functions the module uses.
struct RuntimeBinding {
  HMODULE volatile namedModule;  // set only by SetLVRTModule
  RuntimeFunctionEntry setHandleSize;
  OptionalFunctionEntry getHandleSize;  // for the image exports' bounds check
};

RuntimeBinding s_runtime = {nullptr, {nullptr, "DSSetHandleSize"}, {nullptr, 0, "DSGetHandleSize"}};

[[noreturn]] void FatalEnd(const char* text) noexcept {
  MessageBoxA(nullptr, text, "Fatal Error", MB_TASKMODAL | MB_ICONERROR);
  ExitProcess(1);
}

HMODULE FindRuntimeModule() noexcept {
  if (s_runtime.namedModule != nullptr) return s_runtime.namedModule;
  HMODULE host = GetModuleHandleA(nullptr);
  if (GetProcAddress(host, "gLVRTVersion") != nullptr || GetProcAddress(host, "AZNewHandle") != nullptr) {
    return host;
  }
  if (HMODULE lvrt = GetModuleHandleA("lvrt.dll")) return lvrt;
  return GetModuleHandleA("lvffrt.dll");
}

void ResolveRuntimeFunction(RuntimeFunctionEntry& entry) noexcept {
  HMODULE runtime = FindRuntimeModule();
  if (runtime == nullptr) FatalEnd("LABVIEW.LIB was not called from a LabVIEW process.");
  if (entry.address == nullptr) entry.address = reinterpret_cast<void*>(GetProcAddress(runtime, entry.name));
  if (entry.address != nullptr) return;
  char text[300] = "LABVIEW.LIB could not locate \"";
  strncat(text, entry.name, sizeof text - strlen(text) - 3);
  strcat(text, "\".");
  FatalEnd(text);
}

}  // namespace

int32_t RuntimeSetHandleSize(void* handle, size_t size) noexcept {
  RuntimeFunctionEntry& entry = s_runtime.setHandleSize;
  if (entry.address == nullptr) ResolveRuntimeFunction(entry);
  return reinterpret_cast<DSSetHandleSizeFn>(entry.address)(handle, size);
}

bool RuntimeHandleSize(void* handle, uint64_t* size) noexcept {
  OptionalFunctionEntry& entry = s_runtime.getHandleSize;
  if (entry.address == nullptr && !entry.searched) {
    // Racing first calls find the same address; a miss is remembered so that a host that is
    // not LabVIEW pays for the search once.
    HMODULE runtime = FindRuntimeModule();
    void* address = runtime != nullptr ? reinterpret_cast<void*>(GetProcAddress(runtime, entry.name)) : nullptr;
    if (address != nullptr) entry.address = address; else entry.searched = 1;
  }
  if (entry.address == nullptr) return false;
  const int32_t blockSize = reinterpret_cast<DSGetHandleSizeFn>(entry.address)(handle);
  if (blockSize < 0) return false;
  *size = static_cast<uint64_t>(blockSize);
  return true;
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
  s_runtime.namedModule = static_cast<HMODULE>(runtimeModule);
  s_runtime.getHandleSize.searched = 0;  // a function not found so far may be in this module
}
