// Lock files of the layer's own areas.
#pragma once
#include <string>

#include "internal/sys.h"
#include "pal/types.h"

namespace pal {

// How long a lock on a file of the state root is waited for: a holder
// that never lets go costs a failed call, never a hung service.
constexpr unsigned kLockWaitMs = 5000;

// Opens (creating it 0600 when missing) the lock file `name` of the area
// directory `dir`, never through a link, and gives it the owner-only mode;
// then takes it exclusively within kLockWaitMs. A Win32 error code.
DWORD LockAreaFile(const std::string& dir, const char* name, ScopedFd& out);

}  // namespace pal
