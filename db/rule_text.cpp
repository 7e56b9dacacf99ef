// The stored text forms of the rules.
//
// Alias rule:      {P,note*,Editor,"text"}   letter, pattern, name template,
//                  optional quoted description; no escapes.
// Management text: {F0x40,A0x0,P0xd,...}     a letter and a number per field;
//                  we write lower-case hex, we read hex ("0x") or decimal.
#include "db/rule_text.h"

#include <cstring>

#include "wire/result_codes.h"
#include "pal/strings.h"

namespace {

// Longest text of a 64-unit field.
constexpr size_t kFieldChars = 63;

// A record field copied into a terminated buffer, reading at most `units`
// units: a client's field need not be terminated inside its array.
void BoundedCopy(WCHAR* out, const WCHAR* field, size_t units) {
    size_t n = 0;
    while (n < units && field[n] != 0) {
        out[n] = field[n];
        ++n;
    }
    out[n] = 0;
}

// Fills a 64-unit field from `length` units of text. A hand-edited field
// longer than 63 characters is cut to its first 63: the same cut the writer
// applies, so reading and writing back such a rule changes nothing more.
void SetField(WCHAR field[64], const WCHAR* text, size_t length) {
    if (length > kFieldChars) length = kFieldChars;
    memcpy(field, text, length * sizeof(WCHAR));
    field[length] = 0;
}

bool IsDigitOf(WCHAR c, unsigned base, unsigned& digit) {
    if (c >= u'0' && c <= u'9') {
        digit = static_cast<unsigned>(c - u'0');
        return true;
    }
    if (base == 16 && c >= u'a' && c <= u'f') {
        digit = static_cast<unsigned>(c - u'a' + 10);
        return true;
    }
    if (base == 16 && c >= u'A' && c <= u'F') {
        digit = static_cast<unsigned>(c - u'A' + 10);
        return true;
    }
    return false;
}

// One number of a management text from p on: "0x" (second character x or X)
// means hexadecimal, else decimal. Digits wrap silently; no digits is 0.
ULONGLONG ReadNumber(const WCHAR*& p) {
    unsigned base = 10;
    if (p[0] != 0 && (p[1] == u'x' || p[1] == u'X')) {
        base = 16;
        p += 2;
    }
    ULONGLONG value = 0;
    unsigned digit = 0;
    while (IsDigitOf(*p, base, digit)) {
        value = value * base + digit;
        ++p;
    }
    return value;
}

}  // namespace

size_t FormatAliasRule(const NameRule& rule, WCHAR* out) {
    WCHAR match[64], name[64], description[64];
    BoundedCopy(match, rule.match, kFieldChars);
    BoundedCopy(name, rule.name, kFieldChars);
    BoundedCopy(description, rule.description, kFieldChars);
    StringCchPrintfW(out, kAliasRuleMaxUnits, u"%c%c%c%.*s%c%.*s%c%c%.*s%c%c", u'{', rule.matchType, u',',
                     static_cast<int>(kFieldChars), match, u',', static_cast<int>(kFieldChars), name, u',', u'"',
                     static_cast<int>(kFieldChars), description, u'"', u'}');
    return static_cast<size_t>(lstrlenW(out)) + 1;
}

bool ParseAliasRule(const WCHAR* text, size_t length, NameRule& rule) {
    // The shortest well-formed string is {P,,}: empty pattern and template.
    if (length < 5 || text[0] != u'{' || text[length - 1] != u'}') return false;
    const size_t close = length - 1;
    const size_t sep = 2;  // the separator after the type letter

    size_t nameLast = close - 1;  // last character of the name template
    size_t descStart = 0, descLength = 0;
    bool hasDescription = false;
    if (text[close - 1] == u'"') {
        size_t q = close - 2;
        while (q > sep && text[q] != u'"') --q;
        if (q <= sep) return false;  // no opening quote after the separator
        hasDescription = true;
        descStart = q + 1;
        descLength = close - 1 - descStart;
        // The character before the opening quote is taken as the comma.
        nameLast = q - 2;
    }

    // The last comma before the name; a pattern may hold commas, a name not.
    size_t comma = nameLast;
    while (comma > sep && text[comma] != u',') --comma;
    if (text[sep] != u',' || comma <= sep || text[comma] != u',') return false;

    rule.matchType = text[1];
    SetField(rule.match, text + sep + 1, comma - sep - 1);
    SetField(rule.name, text + comma + 1, nameLast - comma);
    if (hasDescription) SetField(rule.description, text + descStart, descLength);
    else rule.description[0] = 0;
    return true;
}

DWORD CountMultiSz(const WCHAR* data, size_t units) {
    if (units == 0 || data[0] == 0) return 0;
    DWORD count = 0;
    size_t p = 0;
    while (p < units) {
        ++count;
        while (p < units && data[p] != 0) ++p;
        ++p;
    }
    // The last start is the empty string that ends the list.
    return count - 1;
}

void FormatMgmtText(const MgmtData& m, WCHAR* out) {
    const DWORD priority = m.priority == 0 ? 8 : m.priority;
    const DWORD schedClass = m.schedClass > 9 ? 5 : m.schedClass;
    StringCchPrintfW(out, kMgmtTextMaxUnits,
                     u"%c%c0x%x%c%c0x%I64x%c%c0x%x%c%c0x%I64x%c%c0x%I64x%c%c0x%x%c%c0x%I64x%c%c0x%I64x%c%c0x%x"
                     u"%c%c0x%I64x%c%c0x%I64x%c",
                     u'{', u'F', m.mgmtFlags & PersistentFlagMask, u',', u'A', m.affinity, u',', u'P', priority,
                     u',', u'L', m.minWorkingSet, u',', u'H', m.maxWorkingSet, u',', u'S', schedClass, u',', u'T',
                     static_cast<ULONGLONG>(m.procTimeLimit), u',', u'U', static_cast<ULONGLONG>(m.groupTimeLimit),
                     u',', u'C', m.processCount, u',', u'M', m.procMemoryLimit, u',', u'N', m.groupMemoryLimit,
                     u'}');
}

void ClearMgmtForRead(MgmtData& m) {
    m.mgmtFlags &= ~PersistentFlagMask;
    memset(m.description, 0, sizeof(m.description));
    m.affinity = 0;
    m.priority = 0;
    m.minWorkingSet = 0;
    m.maxWorkingSet = 0;
    m.schedClass = 0;
    memset(m.reserved, 0, 64);
    // processCount and the group limits stay: a text without their letters
    // keeps them as they were.
}

DWORD ParseMgmtText(const WCHAR* text, MgmtData& m, bool& empty) {
    ClearMgmtForRead(m);
    empty = false;
    const size_t length = static_cast<size_t>(lstrlenW(text));
    if (length < 2 || text[0] != u'{' || text[length - 1] != u'}') {
        m.mgmtFlags |= MgmtDataInvalid;
        return ResultBadStoredData;
    }
    if (length == 2) {
        empty = true;
        return 0;
    }
    const WCHAR* p = text + 1;
    for (;;) {
        const WCHAR letter = *p++;
        if (letter == 0) break;  // not reached: the text ends with a brace
        const ULONGLONG value = ReadNumber(p);
        switch (letter) {
        case u'F': m.mgmtFlags |= static_cast<DWORD>(value); break;
        case u'A': m.affinity = value; break;
        case u'P': m.priority = static_cast<DWORD>(value); break;
        case u'L': m.minWorkingSet = value; break;
        case u'H': m.maxWorkingSet = value; break;
        case u'S': m.schedClass = static_cast<DWORD>(value); break;
        case u'C': m.processCount = static_cast<DWORD>(value); break;
        case u'T': m.procTimeLimit = static_cast<LONGLONG>(value); break;
        case u'U': m.groupTimeLimit = static_cast<LONGLONG>(value); break;
        case u'M': m.procMemoryLimit = value; break;
        case u'N': m.groupMemoryLimit = value; break;
        default:
            m.mgmtFlags |= MgmtDataInvalid;
            return ResultBadStoredData;
        }
        if (*p != u',' && *p != u'}') {
            m.mgmtFlags |= MgmtDataInvalid;
            return ResultBadStoredData;
        }
        ++p;
        if (*p == 0) break;
    }
    return 0;
}
