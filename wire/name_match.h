// The pieces of alias matching that need no rule list: the extension test,
// the marker test, the wildcard prefix match and template expansion.
#pragma once
#include "pal/types.h"

// Position of the dot of a short extension (a dot at one of the last four
// positions, never at position 0), or 0.
int ExtensionPosition(const WCHAR* text, int length);
// "<" then P, D or H in either case, then ">".
bool HasMarker(const WCHAR* text);
// Wildcard prefix match of a pattern against a candidate.
bool PrefixMatch(const WCHAR* pattern, const WCHAR* candidate);
// Expands a template into out (64 units) with the program file name and the
// directory (null when the rule has none).
void ExpandTemplate(const WCHAR* nameTemplate, bool hasMarker, const WCHAR* program, const WCHAR* directory,
                    WCHAR out[64]);
