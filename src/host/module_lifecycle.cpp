// The module's application object: module start and exit.
#include "host/module_lifecycle.h"

#include <string.h>

#include "camera/camera_state.h"
#include "camera/registry.h"
#include "diagnostics/log_channel.h"
#include "diagnostics/log_setup.h"
#include "host/app_framework.h"

namespace {

constexpr int kModuleNameSize = MAX_PATH;

// Set at module start, read-only afterwards.
struct ModuleIdentity {
  HINSTANCE instance;
  char name[kModuleNameSize];
};

ModuleIdentity s_module = {nullptr, {}};

class CVORLabApp : public CWinApp {
 public:
  CVORLabApp() noexcept : CWinApp(nullptr) {}

  bool ModuleStart() noexcept override {
    {
      RegistryLock lock;
      BufferRegistry::Clear();
    }
    InstallCopyFaultHandler();
    s_module.instance = m_hInstance;
    strcpy(s_module.name, "vorlabview");
    LogOpen(s_module.name);
    return CWinApp::ModuleStart();
  }

  int ModuleExit() noexcept override {
    // No export runs during the unload; at process exit a thread that was ended inside one
    // may still own the camera lock, so it is not waited for.
    const int32_t left = BufferRegistry::Count();
    if (left != 0) {
      ShowOrLogBox(0, nullptr, "Buffers are still allocated.\r\nPlease remove all buffers first!", "vorgeneric", MB_OK);
    }
    // Also a log that a failure switched off mid-session: its writer and handles go too, so
    // no thread of the module runs its code after the unload.
    LogClose();
    if (!ProcessIsEnding()) {
      ReleaseCameraState();
      RemoveCopyFaultHandler();
    }
    return CWinApp::ModuleExit();
  }
};

CVORLabApp theApp;

}  // namespace

HINSTANCE ModuleInstance() noexcept { return s_module.instance; }

const char* ModuleName() noexcept { return s_module.name; }
