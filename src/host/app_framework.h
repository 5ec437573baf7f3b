// The least of an application framework for a library: one application object whose start
// and exit operations run at the module's process attach and detach.
#pragma once

#include <windows.h>

// True during the module's exit when the whole process is ending: the system has already
// ended every other thread, so nothing may wait for one.
bool ProcessIsEnding() noexcept;

class CWinApp {
 public:
  // Registers the object as the module's application; there is one per module.
  explicit CWinApp(const char* appName = nullptr) noexcept;
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Module start, at process attach; false refuses the load (after ModuleExit has run).
  virtual bool ModuleStart() noexcept { return true; }
  // Module exit, at process detach; the result is the framework's exit result.
  virtual int ModuleExit() noexcept { return 0; }

  const char* m_pszAppName;  // null: constructed without an application name
  HINSTANCE m_hInstance;     // the module's instance handle, set before ModuleStart
};
