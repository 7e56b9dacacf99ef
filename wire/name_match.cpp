// The rule-independent pieces of alias matching. Case-insensitive means
// upper-casing both sides one unit at a time, as the rules have always been
// compared; no locale-dependent folding.
#include "wire/name_match.h"

#include "pal/strings.h"

int ExtensionPosition(const WCHAR* text, int length) {
    // A dot at position 0 names a hidden file, not an extension.
    for (int pos = length - 1; pos >= length - 4 && pos > 0; --pos) {
        if (text[pos] == u'.') return pos;
    }
    return 0;
}

namespace {

bool IsMarkerLetter(WCHAR c) {
    WCHAR u = PalUpcase(c);
    return u == u'P' || u == u'D' || u == u'H';
}

}  // namespace

bool HasMarker(const WCHAR* text) {
    for (const WCHAR* p = text; p[0] != 0; ++p) {
        if (p[0] == u'<' && p[1] != 0 && IsMarkerLetter(p[1]) && p[2] == u'>') return true;
    }
    return false;
}

bool PrefixMatch(const WCHAR* pattern, const WCHAR* candidate) {
    // Everything from the first '*' on is ignored: a wildcard pattern is a
    // prefix test, and the candidate may go on past the matched part.
    for (int i = 0;; ++i) {
        WCHAR p = pattern[i];
        if (p == 0 || p == u'*') return true;
        WCHAR c = candidate[i];
        if (c == 0) return false;
        if (p == u'?') continue;
        if (PalUpcase(p) != PalUpcase(c)) return false;
    }
}

namespace {

// Appends to the 64-unit name, silently dropping what does not fit.
struct NameOut {
    WCHAR* out;
    int len = 0;
    void Put(WCHAR c) {
        if (len < 63) out[len++] = c;
    }
    void Append(const WCHAR* s) {
        for (; s != nullptr && *s != 0 && len < 63; ++s) out[len++] = *s;
    }
};

}  // namespace

void ExpandTemplate(const WCHAR* nameTemplate, bool hasMarker, const WCHAR* program, const WCHAR* directory,
                    WCHAR out[64]) {
    for (int i = 0; i < 64; ++i) out[i] = 0;
    if (!hasMarker) {
        lstrcpynW(out, nameTemplate, 64);
        return;
    }
    NameOut name{out};
    for (const WCHAR* p = nameTemplate; *p != 0; ++p) {
        if (p[0] == u'<' && p[1] != 0 && IsMarkerLetter(p[1]) && p[2] == u'>') {
            WCHAR letter = PalUpcase(p[1]);
            if (letter == u'H') {
                // Hiding wins over everything built so far, even past 63 units.
                for (int i = 0; i < 64; ++i) out[i] = 0;
                return;
            }
            if (letter == u'P') {
                name.Append(program);
                p += 2;
                continue;
            }
            if (directory != nullptr) {
                name.Append(directory);
                p += 2;
                continue;
            }
            // "<D>" without a directory stays as written, one unit at a time.
        }
        name.Put(*p);
    }
    out[name.len] = 0;
}
