// Insert texts of the manager's events, in their number formats, and the
// logging of an event whose first insert is the display name.
#pragma once
#include <initializer_list>

#include "pal/types.h"

// One insert: room for any 64-bit number in any format.
struct InsertText {
    WCHAR text[24];
};

InsertText Unsigned(ULONGLONG value);
InsertText Signed(LONGLONG value);
// A 100 ns time in milliseconds (signed, truncating).
InsertText Milliseconds(LONGLONG hundredNs);
// "0x" + the mask in lowercase hexadecimal.
InsertText Mask(ULONGLONG mask);

// Logs `id` with the display name as %1 and `inserts` as %2, %3, ...
// (at most 8 in all); no data.
void LogManagerEvent(DWORD id, WORD type, std::initializer_list<const WCHAR*> inserts);
