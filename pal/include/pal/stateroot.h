// The state root that holds the registry, the event log and the named
// objects of this system ($ZEMBRIK_SYSROOT, default /var/lib/zembrik). Not Win32.
#pragma once
#include <string>

#include "pal/types.h"

// Creates the root's layout when missing; returns a Win32 error code.
DWORD PalEnsureStateRoot();
// From now on this process lays out no state root: one without its layout
// is ERROR_PATH_NOT_FOUND (for clients, which must not make one where a
// mistyped path points).
void PalNeverCreateStateRoot();
// The root's path, as the programs show it in messages.
std::string PalStateRootPath();
// Replaces the file `name` in the layout folder `area` (e.g. "run/metrics")
// with `data`, atomically: readers see the old file or the new one, whole.
// Differs from Windows (MoveFileEx over the old file): the folder is reached
// without following links and must be the writer's alone to write; the file
// gets `mode` before it takes the name. Returns a Win32 error code.
DWORD PalReplaceStateFile(const char* area, const char* name, const std::string& data, DWORD mode);
