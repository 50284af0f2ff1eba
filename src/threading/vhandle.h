// Helpers for raw kernel handles.
#pragma once

#include "diagnostics/win32.h"

namespace VHandle {

// A new handle to the same object within this process, with the same access,
// not inheritable; the caller owns it. A null handle or INVALID_HANDLE_VALUE
// gives INVALID_HANDLE_VALUE without calling the system. Raises
// "Unable to duplicate handle" on failure.
HANDLE duplicate(HANDLE handle);

}  // namespace VHandle
