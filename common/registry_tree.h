// Deleting a registry key with everything below it.
#pragma once
#include "pal/types.h"

// Deletes parent\subKey and its whole subtree, last subkey first. Returns a
// Windows error code (0 on success; a key that is already gone is success).
// A failure is logged with the key path as operand.
DWORD DeleteRegTree(HKEY parent, LPCWSTR subKey);
