// View numbers (not Win32): shared records keep 32-bit fields where Windows
// stored a view address; a 64-bit process stores a process-local number of
// the view there instead.
#pragma once
#include "pal/types.h"

// The number of a mapped view (a new one the first time); 0 for null.
DWORD PalViewNumber(LPVOID view);
// The view a number stands for in this process, or null.
LPVOID PalViewAddress(DWORD number);
// Forgets a view's number (when the view is unmapped).
void PalForgetViewNumber(LPVOID view);
