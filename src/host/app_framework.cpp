// The least of an application framework: binds the application object to DllMain.
#include "host/app_framework.h"

#include <cstddef>

#if defined(__GLIBCXX__)
// The C++ runtime's own release of what it allocated for itself, made for leak checkers.
namespace __gnu_cxx {
void __freeres() noexcept;
}
#endif

namespace {

// The module's application object, registered by its construction, and whether the detach
// under way is the process's end.
CWinApp* s_application = nullptr;
bool s_processEnding = false;

// The statically linked runtime reserves a block for exceptions thrown when memory is short
// (about 73 KiB) as the module is loaded, and never gives it back: every load and unload
// would leave it behind.  Nothing of the module throws, least of all after its exit.
void ReleaseRuntimeReserve() noexcept {
#if defined(__GLIBCXX__)
  __gnu_cxx::__freeres();
#endif
}

}  // namespace

CWinApp::CWinApp(const char* appName) noexcept : m_pszAppName(appName), m_hInstance(nullptr) {
  s_application = this;
}

CWinApp::~CWinApp() {
  if (s_application == this) s_application = nullptr;
}

// Both operations run under the loader lock: they wait for another thread only where it
// cannot need that lock.
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
      ReleaseRuntimeReserve();
      return TRUE;
    default:
      return TRUE;
  }
}
