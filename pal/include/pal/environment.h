// The process environment: expansion of %NAME% references, reading and
// changing variables. Names are looked up case-insensitively, as Windows does.
#pragma once
#include "pal/types.h"

// Returns the units needed including the terminator; when that exceeds size,
// dst holds as much as fits, terminated. An undefined %NAME% and a lone %
// stay as written.
// Note: the variables are the C library's environment (UTF-8, converted); when
// several differ only in case, the first in environ wins; no 32K limit.
DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size);
// Units copied without the terminator, or the size needed including it when
// the buffer is too small; 0 with ERROR_ENVVAR_NOT_FOUND when undefined.
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// A null value removes the variable.
// Note: a name holding '=' anywhere is refused (Windows allows a leading one).
// Changes go through setenv/unsetenv: the layer's own environment calls are
// serialised, but code that calls getenv directly on another thread at the
// same time is not, so change variables only while no other thread reads them.
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
