// Family binding: loads a family's SDK library and resolves its entry points.
#pragma once

#include "diagnostics/error_codes.h"

// Each returns 0, a Windows error number from the load, or the family's resolution code.
// The library loads without the registry lock; the resolved group is stored under it.
ErrorCode getLanticam() noexcept;
ErrorCode getTornio() noexcept;
ErrorCode getQD4() noexcept;
