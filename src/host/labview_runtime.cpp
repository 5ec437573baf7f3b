// The binding to the LabVIEW run-time: finding its module, binding DSSetHandleSize lazily,
// and the fatal end when neither can be had.
#include "host/labview_runtime.h"

#include <windows.h>
#include <string.h>

#include "vorlabview.h"

namespace {

typedef int32_t (*DSSetHandleSizeFn)(void* handle, size_t size);

// One bound run-time function: its address once resolved, and its exported name.
struct RuntimeFunctionEntry {
  void* volatile address;  // null until resolved, never reset
  char name[32];
};

// The run-time binding: the module the host named, and the one function the module uses.
struct RuntimeBinding {
  HMODULE volatile namedModule;  // set only by SetLVRTModule
  RuntimeFunctionEntry setHandleSize;
};

RuntimeBinding s_runtime = {nullptr, {nullptr, "DSSetHandleSize"}};

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

/***********************************************************************
 *      SetLVRTModule (vorlabview.14)
 *
 * Names the LabVIEW run-time module; null restores the search in the process.  A function
 * already bound stays bound.
 *
 * PARAMS
 *  runtimeModule [I] module handle of the run-time
 */
extern "C" void WINAPI SetLVRTModule(HMODULE runtimeModule) {
  s_runtime.namedModule = runtimeModule;
}
