// Alias matching. Discovery names every process at every pass, so
// everything that depends only on a rule (environment expansion, wildcard,
// marker and extension tests) is worked out once, when the list is compiled.
#include "wire/alias_matcher.h"

#include <cstring>
#include <new>

#include "wire/name_match.h"
#include "pal/environment.h"
#include "pal/strings.h"

namespace {

constexpr int kMaxComponents = 130;
constexpr int kWorkUnits = 262;  // a 260-unit path, its terminator and one unit of slack
constexpr const WCHAR* kErrorName = u"<err>";

// PalUpcase, without the call for the ASCII units paths are made of (the
// layer upper-cases exactly a-z among them).
inline WCHAR Up(WCHAR c) {
    if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 32) : c;
    return PalUpcase(c);
}

void Upcase(WCHAR* text) {
    for (; *text != 0; ++text) *text = Up(*text);
}

// The matching below compares upper-cased patterns with candidates that were
// upper-cased one unit at a time beforehand (kFold false), or are upper-cased
// as they are read (kFold true, for a path too long for the copies): the same
// comparison as upper-casing both sides at every step.
template <bool kFold>
inline WCHAR At(const WCHAR* candidate, size_t i) {
    return kFold ? Up(candidate[i]) : candidate[i];
}

// Whether `needle` occurs anywhere in `haystack`; an empty needle occurs everywhere.
template <bool kFold>
bool Contains(const WCHAR* haystack, const WCHAR* needle) {
    if (needle[0] == 0) return true;
    for (const WCHAR* h = haystack; *h != 0; ++h) {
        if (At<kFold>(h, 0) != needle[0]) continue;
        int i = 1;
        while (needle[i] != 0 && At<kFold>(h, i) == needle[i]) ++i;
        if (needle[i] == 0) return true;
        if (h[i] == 0) return false;  // the rest of the haystack is shorter than the needle
    }
    return false;
}

bool Equal(const WCHAR* pattern, const WCHAR* candidate) {
    while (*pattern != 0 && *pattern == *candidate) {
        ++pattern;
        ++candidate;
    }
    return *pattern == *candidate;
}

// PrefixMatch on an upper-cased pattern.
template <bool kFold>
bool Prefix(const WCHAR* pattern, const WCHAR* candidate) {
    for (int i = 0;; ++i) {
        WCHAR p = pattern[i];
        if (p == 0 || p == u'*') return true;
        WCHAR c = At<kFold>(candidate, i);
        if (c == 0) return false;
        if (p != u'?' && p != c) return false;
    }
}

void CompileOne(const NameRule& source, CompiledNameRule& rule) {
    rule = CompiledNameRule{};
    rule.matchType = source.matchType;

    WCHAR match[64];
    lstrcpynW(match, source.match, 64);
    DWORD needed = ExpandEnvironmentStringsW(match, rule.pattern, 260);
    if (needed == 0 || needed > 260) {
        // The expansion does not fit. Every path is shorter than 260 units,
        // so the full pattern could not have matched by equality or
        // substring anyway; a cut expansion would be a shorter pattern that
        // matches paths the rule never meant. The text as written (at most
        // 63 units, references and all) keeps the rule from matching.
        lstrcpynW(rule.pattern, match, 260);
    }
    for (const WCHAR* p = rule.pattern; *p != 0; ++p) {
        if (*p == u'*' || *p == u'?') {
            rule.matchFlags |= kMatchWildcard;
            break;
        }
    }
    if (ExtensionPosition(rule.pattern, lstrlenW(rule.pattern)) != 0) rule.matchFlags |= kMatchHasExtension;

    lstrcpynW(rule.nameTemplate, source.name, 64);
    if (HasMarker(rule.nameTemplate)) rule.matchFlags |= kMatchHasMarker;
    Upcase(rule.pattern);  // its wildcards and dots are none the worse
    lstrcpynW(rule.description, source.description, 64);
}

}  // namespace

AliasMatcher::~AliasMatcher() { Clear(); }

void AliasMatcher::Clear() {
    delete[] rules_;
    rules_ = nullptr;
    count_ = 0;
}

bool AliasMatcher::Compile(const NameRule* rules, DWORD count) {
    Clear();
    // An empty compiled list still counts as compiled, and then nothing matches.
    CompiledNameRule* compiled = new (std::nothrow) CompiledNameRule[count];
    if (compiled == nullptr) return false;
    for (DWORD i = 0; i < count; ++i) CompileOne(rules[i], compiled[i]);
    rules_ = compiled;
    count_ = count;
    return true;
}

void AliasMatcher::CompileRule(DWORD index, const NameRule& rule) {
    if (rules_ != nullptr && index < count_) CompileOne(rule, rules_[index]);
}

DWORD AliasMatcher::Name(LPCWSTR path, WCHAR processName[64], WCHAR imageName[64]) const {
    if (path == nullptr) path = u"";
    // Work on zero-filled copies, one as given and one upper-cased: the
    // components are cut out of both at the same places, and looking one
    // unit past the end of a short path reads a zero.
    WCHAR work[kWorkUnits];
    WCHAR upper[kWorkUnits];
    WCHAR whole[kWorkUnits];
    int length = 0;
    while (length < kWorkUnits - 2 && path[length] != 0) {
        work[length] = path[length];
        whole[length] = Up(path[length]);
        ++length;
    }
    // Zeros past the end: as far as any look goes (one unit).
    work[length] = work[length + 1] = 0;
    whole[length] = whole[length + 1] = 0;
    memcpy(upper, whole, (length + 2) * sizeof(WCHAR));
    // Whole-path rules see the path as given; one longer than the copies
    // (never a module path) is upper-cased as it is compared.
    bool longPath = path[length] != 0;

    size_t s = 0;  // where the part the components come from starts

    // "\??\C:\dir\x.exe": the object-manager prefix.
    if (work[1] == u'?') s += length < 4 ? length : 4;

    if (work[s] != 0 && work[s + 1] == u':') {
        s += 2;
    } else if (work[s] != 0 && work[s + 1] == u'\\') {
        // "\\server\share\rest": skip the server and the share.
        s += 2;
        for (int part = 0; part < 2; ++part) {
            while (work[s] != 0 && work[s] != u'\\') ++s;
            if (work[s] == 0) {
                lstrcpynW(processName, kErrorName, 64);
                lstrcpynW(imageName, kErrorName, 64);
                return kNoRule;
            }
            ++s;
        }
    }
    // "\usr\bin\sleep" (a Linux executable) has no drive; its root goes here.
    if (work[s] == u'\\') ++s;

    size_t components[kMaxComponents];
    int count = 0;
    components[count++] = s;
    for (size_t p = s; work[p] != 0; ++p) {
        if (work[p] != u'\\') continue;
        work[p] = 0;
        upper[p] = 0;
        if (count == kMaxComponents) break;
        components[count++] = p + 1;
    }
    WCHAR* program = work + components[count - 1];
    WCHAR* programUpper = upper + components[count - 1];
    int directories = count - 1;

    lstrcpynW(imageName, program, 64);
    int extension = ExtensionPosition(program, lstrlenW(program));

    for (DWORD i = 0; i < count_; ++i) {
        const CompiledNameRule& rule = rules_[i];
        bool wildcard = (rule.matchFlags & kMatchWildcard) != 0;
        bool marker = (rule.matchFlags & kMatchHasMarker) != 0;
        bool matched = false;
        switch (rule.matchType) {
        case u'A':
            // The whole path as given, prefix included.
            if (longPath)
                matched = wildcard ? Prefix<true>(rule.pattern, path) : Contains<true>(path, rule.pattern);
            else
                matched = wildcard ? Prefix<false>(rule.pattern, whole) : Contains<false>(whole, rule.pattern);
            if (matched) ExpandTemplate(rule.nameTemplate, marker, program, nullptr, processName);
            break;
        case u'D':
            for (int d = 0; d < directories && !matched; ++d) {
                const WCHAR* dir = upper + components[d];
                matched = wildcard ? Prefix<false>(rule.pattern, dir) : Equal(rule.pattern, dir);
                if (matched) ExpandTemplate(rule.nameTemplate, marker, program, work + components[d], processName);
            }
            break;
        case u'P': {
            // A pattern without an extension is compared with the name
            // without its short extension: notepad matches notepad.exe.
            bool cut = (rule.matchFlags & kMatchHasExtension) == 0 && extension != 0;
            if (cut) {
                program[extension] = 0;
                programUpper[extension] = 0;
            }
            matched = wildcard ? Prefix<false>(rule.pattern, programUpper) : Equal(rule.pattern, programUpper);
            if (matched) ExpandTemplate(rule.nameTemplate, marker, program, nullptr, processName);
            if (cut) {
                program[extension] = u'.';
                programUpper[extension] = u'.';
            }
            break;
        }
        default:
            break;
        }
        if (matched) return i;
    }
    lstrcpynW(processName, kErrorName, 64);
    return kNoRule;
}
