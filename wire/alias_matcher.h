// Alias matching: a compiled alias list and the naming of module paths.
// The service names every process with it, and zembrikctl runs the same
// code on the list it reads, so both give a path the same name.
#pragma once
#include "wire/rule_records.h"
#include "pal/types.h"

// One compiled alias rule: the pattern with its environment references
// expanded and upper-cased, and its tests precomputed.
struct CompiledNameRule {
    WCHAR matchType;
    DWORD matchFlags;  // kMatchWildcard | kMatchHasMarker | kMatchHasExtension
    WCHAR pattern[260];
    WCHAR nameTemplate[64];
    WCHAR description[64];
};
constexpr DWORD kMatchWildcard = 1;
constexpr DWORD kMatchHasMarker = 2;
constexpr DWORD kMatchHasExtension = 4;

// Not thread-safe: the owner guards it.
class AliasMatcher {
public:
    // What Name() gives when no rule names the path.
    static constexpr DWORD kNoRule = 0xFFFFFFFF;

    // Never fails; nothing is compiled until Compile succeeds.
    AliasMatcher() = default;
    ~AliasMatcher();
    AliasMatcher(const AliasMatcher&) = delete;
    AliasMatcher& operator=(const AliasMatcher&) = delete;

    // A list is compiled (an empty one too).
    bool IsReady() const { return rules_ != nullptr; }
    DWORD Count() const { return count_; }
    // Compiles a fresh copy of the rules, expanding environment references
    // in this process's environment. False when memory ran out: nothing is
    // compiled then, and the caller reports CompiledBytes(count).
    bool Compile(const NameRule* rules, DWORD count);
    // Recompiles the rule at index after its source changed in place.
    void CompileRule(DWORD index, const NameRule& rule);
    // Forgets the compiled list.
    void Clear();
    static SIZE_T CompiledBytes(DWORD count) { return sizeof(CompiledNameRule) * count; }

    // Names a module path ("\usr\bin\sleep", "C:\dir\x.exe", a bare module
    // name, "System"): the process name ("" for a hidden process, "<err>"
    // when no rule names it) and the image name (the program file name).
    // Returns the index of the rule that named it, or kNoRule.
    DWORD Name(LPCWSTR path, WCHAR processName[64], WCHAR imageName[64]) const;

private:
    CompiledNameRule* rules_ = nullptr;
    DWORD count_ = 0;
};
