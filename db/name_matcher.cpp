// Alias matching: the compiled alias list and the naming of module paths.
// Discovery names every process at every pass, so everything that depends
// only on a rule (environment expansion, wildcard, marker and extension
// tests) is worked out once, when the list is compiled.
#include <cstring>
#include <memory>
#include <new>

#include "common/event_log.h"
#include "db/name_match.h"
#include "db/zembrik_db.h"
#include "pal/environment.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace {

constexpr int kMaxComponents = 130;
constexpr int kWorkUnits = 262;  // a 260-unit path, its terminator and one unit of slack
constexpr const WCHAR* kErrorName = u"<err>";

// The matching below compares texts that were upper-cased one unit at a
// time beforehand (the patterns when the list is compiled, the path once per
// name): the same comparison as upper-casing both sides at every step.

// Whether `needle` occurs anywhere in `haystack`; an empty needle occurs everywhere.
bool Contains(const WCHAR* haystack, const WCHAR* needle) {
    if (needle[0] == 0) return true;
    for (const WCHAR* h = haystack; *h != 0; ++h) {
        if (*h != needle[0]) continue;
        int i = 1;
        while (needle[i] != 0 && h[i] == needle[i]) ++i;
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

// PrefixMatch on upper-cased texts.
bool Prefix(const WCHAR* pattern, const WCHAR* candidate) {
    for (int i = 0;; ++i) {
        WCHAR p = pattern[i];
        if (p == 0 || p == u'*') return true;
        WCHAR c = candidate[i];
        if (c == 0) return false;
        if (p != u'?' && p != c) return false;
    }
}

// PalUpcase, without the call for the ASCII units paths are made of (the
// layer upper-cases exactly a-z among them).
inline WCHAR Up(WCHAR c) {
    if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 32) : c;
    return PalUpcase(c);
}

void Upcase(WCHAR* text) {
    for (; *text != 0; ++text) *text = Up(*text);
}

}  // namespace

void ZembrikDb::CompileNameRule(DWORD index) {
    EnterCriticalSection(&nameLock_);
    if (compiledRules_ != nullptr && index < aliasCount_) {
        InternalNameRule& rule = compiledRules_[index];
        const NameRule& source = aliasRules_[index];
        rule = InternalNameRule{};
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
    LeaveCriticalSection(&nameLock_);
}

bool ZembrikDb::CompileNameRules() {
    EnterCriticalSection(&nameLock_);
    delete[] compiledRules_;
    compiledRules_ = nullptr;
    // An alias list whose load failed may be empty; an empty compiled list
    // still counts as built, and then nothing matches.
    InternalNameRule* rules = new (std::nothrow) InternalNameRule[aliasCount_];
    if (rules == nullptr) {
        LeaveCriticalSection(&nameLock_);
        LogAllocError(u"AllocIntNameRules", sizeof(InternalNameRule) * aliasCount_);
        return false;
    }
    compiledRules_ = rules;
    for (DWORD i = 0; i < aliasCount_; ++i) CompileNameRule(i);
    LeaveCriticalSection(&nameLock_);
    return true;
}

void ZembrikDb::NameProcess(LPCWSTR path, WCHAR processName[64], WCHAR imageName[64]) {
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
    // (never a module path) is upper-cased whole for them.
    const WCHAR* wholeUpper = whole;
    std::unique_ptr<WCHAR[]> longUpper;
    if (path[length] != 0) {
        int full = lstrlenW(path);
        longUpper.reset(new (std::nothrow) WCHAR[full + 1]);
        if (longUpper == nullptr) {
            LogAllocError(u"NameProcess", (full + 1) * sizeof(WCHAR));
            lstrcpynW(processName, kErrorName, 64);
            lstrcpynW(imageName, kErrorName, 64);
            return;
        }
        for (int i = 0; i <= full; ++i) longUpper[i] = Up(path[i]);
        wholeUpper = longUpper.get();
    }

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
                return;
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

    EnterCriticalSection(&nameLock_);
    if (compiledRules_ == nullptr && !CompileNameRules()) {
        LeaveCriticalSection(&nameLock_);
        return;
    }
    bool matched = false;
    for (DWORD i = 0; i < aliasCount_ && !matched; ++i) {
        const InternalNameRule& rule = compiledRules_[i];
        bool wildcard = (rule.matchFlags & kMatchWildcard) != 0;
        bool marker = (rule.matchFlags & kMatchHasMarker) != 0;
        switch (rule.matchType) {
        case u'A':
            // The whole path as given, prefix included.
            matched = wildcard ? Prefix(rule.pattern, wholeUpper) : Contains(wholeUpper, rule.pattern);
            if (matched) ExpandTemplate(rule.nameTemplate, marker, program, nullptr, processName);
            break;
        case u'D':
            for (int d = 0; d < directories && !matched; ++d) {
                const WCHAR* dir = upper + components[d];
                matched = wildcard ? Prefix(rule.pattern, dir) : Equal(rule.pattern, dir);
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
            matched = wildcard ? Prefix(rule.pattern, programUpper) : Equal(rule.pattern, programUpper);
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
    }
    LeaveCriticalSection(&nameLock_);
    if (!matched) lstrcpynW(processName, kErrorName, 64);
}
