// Module start and exit, bound to the DLL's process attach and detach.
#include "host/module_lifecycle.h"

#include <string.h>

#include "camera/camera_lock.h"
#include "camera/registry.h"
#include "diagnostics/log_setup.h"

namespace {

constexpr int kModuleNameSize = MAX_PATH;

// Set once at process attach, read-only afterwards.
struct ModuleIdentity {
  HINSTANCE instance;
  char name[kModuleNameSize];
};

ModuleIdentity s_module = {nullptr, {}};

void ModuleStart(HINSTANCE instance) noexcept {
  {
    CameraLock lock;
    BufferRegistry::Clear();
  }
  s_module.instance = instance;
  strcpy(s_module.name, "vorlabview");
  LogOpen(s_module.name);
}

void ModuleExit() noexcept {
  CameraLock lock;
  BufferRegistry::Clear();
}

}  // namespace

HINSTANCE ModuleInstance() noexcept { return s_module.instance; }

const char* ModuleName() noexcept { return s_module.name; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      ModuleStart(instance);
      break;
    case DLL_PROCESS_DETACH:
      ModuleExit();
      break;
    default:
      break;
  }
  return TRUE;
}
