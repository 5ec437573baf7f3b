// The module's start and exit, and the name and instance handle it keeps.
#pragma once

#include <windows.h>

// The module's own instance handle; null until module start.
HINSTANCE ModuleInstance() noexcept;

// The module's base name, "vorlabview" from module start on.
const char* ModuleName() noexcept;
