// The program's command line as Windows hands it over: one string, split by
// the same rules as the C runtime's.
#pragma once
#include "pal/types.h"

// Note: built from /proc/self/cmdline, each word quoted (with backslashes
// doubled before quotes) where it holds blanks or quotes, so that
// CommandLineToArgvW gives the words back exactly.
LPCWSTR GetCommandLineW();
// Windows' rules: blanks separate words; "..." groups; 2n backslashes before
// a quote give n and the quote delimits; 2n+1 give n and a literal quote; ""
// inside quotes is a literal quote. The first word ends at the first blank
// or quote pair only. One block, freed with LocalFree.
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count);
