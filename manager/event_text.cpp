#include "manager/event_text.h"

#include <initializer_list>

#include "common/event_log.h"
#include "common/texts.h"
#include "pal/strings.h"

InsertText Unsigned(ULONGLONG value) {
    InsertText t;
    StringCchPrintfW(t.text, 24, u"%I64u", value);
    return t;
}

InsertText Signed(LONGLONG value) {
    InsertText t;
    StringCchPrintfW(t.text, 24, u"%I64d", value);
    return t;
}

InsertText Milliseconds(LONGLONG hundredNs) { return Signed(hundredNs / 10000); }

InsertText Mask(ULONGLONG mask) {
    InsertText t;
    StringCchPrintfW(t.text, 24, u"0x%I64x", mask);
    return t;
}

void LogManagerEvent(DWORD id, WORD type, std::initializer_list<const WCHAR*> inserts) {
    const WCHAR* strings[8] = {g_displayName};
    WORD count = 1;
    for (const WCHAR* s : inserts) {
        if (count == 8) break;
        strings[count++] = s;
    }
    if (count == 1) {
        LogEvent(id, type, 1, g_displayName, 0, nullptr);
        return;
    }
    LogEvent(id, type, count, strings, 0, nullptr);
}
