// The least of an application framework: binds the application object to DllMain.
#include "host/app_framework.h"

namespace {

// The module's application object, registered by its construction, and whether the detach
// under way is the process's end.
CWinApp* s_application = nullptr;
bool s_processEnding = false;

}  // namespace

CWinApp::CWinApp(const char* appName) noexcept : m_pszAppName(appName), m_hInstance(nullptr) {
  s_application = this;
}

CWinApp::~CWinApp() {
  if (s_application == this) s_application = nullptr;
}

// Both operations run under the loader lock: nothing they do may wait for another thread.
bool ProcessIsEnding() noexcept { return s_processEnding; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (s_application == nullptr) return TRUE;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      s_application->m_hInstance = instance;
      if (!s_application->ModuleStart()) {
        s_application->ModuleExit();
        return FALSE;
      }
      return TRUE;
    case DLL_PROCESS_DETACH:
      s_processEnding = reserved != nullptr;
      s_application->ModuleExit();
      return TRUE;
    default:
      return TRUE;
  }
}
