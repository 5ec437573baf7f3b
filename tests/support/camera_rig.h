// A loaded module with all three stand-in SDKs beside it, and short forms of common calls.
#pragma once

#include "module_host.h"
#include "wtest.h"

inline const char* FamilyFile(int32_t family) {
  return family == 1 ? kLanCam : family == 2 ? kTnCam : kQd4Cam;
}

inline void* Cam(uintptr_t value) { return reinterpret_cast<void*>(value); }

class CameraRig {
 public:
  explicit CameraRig(const char* name) : host(name) {
    host.AddStandIn(kLanCam);
    host.AddStandIn(kTnCam);
    host.AddStandIn(kQd4Cam);
    loaded = ok(host.Load(), "cannot load the DLL");
  }

  SimApi Sim(int32_t family) const { return host.Sim(FamilyFile(family)); }

  // Binds and registers; true on success.
  bool Init(void* hCam, int32_t family) { return ok_eq_hex(0, host.api.InitLibrary(hCam, family)); }

  // A new buffer; its number, or -1 when the allocation failed.
  int16_t NewBuffer(void* hCam, uint32_t size, uint32_t* event = nullptr) {
    int16_t number = -1;
    uint32_t ignored = 0;
    const uint32_t result = host.api.AllocateBuffer(hCam, &number, size, 0, event ? event : &ignored);
    ok_eq_hex(0, result);
    return result == 0 ? number : static_cast<int16_t>(-1);
  }

  ModuleHost host;
  bool loaded = false;
};
