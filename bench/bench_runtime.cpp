// A run-time library for the counters benchmark: the memory manager's resize and size, passed
// on to the host program's, and no DSCheckHandle, so a module named to it skips the check.
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

namespace {

typedef int32_t (*SetSizeFn)(void* handle, size_t size);
typedef int32_t (*GetSizeFn)(void* handle);

template <typename Fn>
Fn HostFunction(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name)));
}

const SetSizeFn s_setSize = HostFunction<SetSizeFn>("DSSetHandleSize");
const GetSizeFn s_getSize = HostFunction<GetSizeFn>("DSGetHandleSize");

}  // namespace

extern "C" int32_t DSSetHandleSize(void* handle, size_t size) { return s_setSize(handle, size); }
extern "C" int32_t DSGetHandleSize(void* handle) { return s_getSize(handle); }
