// zembrikctl reg: reads and edits the registry of the state root through the
// platform layer's registry calls, so the caller's permissions apply.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "pal/registry.h"
#include "pal/types.h"

namespace zctl {

extern const char kRegSummary[];

// A key path relative to HKEY_LOCAL_MACHINE: "SYSTEM\CurrentControlSet",
// "SYSTEM/CurrentControlSet", with an optional "HKLM\" or
// "HKEY_LOCAL_MACHINE\" in front. '/' separates names only in a path without
// '\', so a name that holds '/' can be reached with '\'. Empty (or "HKLM")
// is HKEY_LOCAL_MACHINE itself. Gives the path with '\' separators, or false
// with a one-line reason.
bool ParseKeyPath(std::string_view text, std::u16string& out, std::string& error);

// The bytes of a value of `type` (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ,
// REG_DWORD, REG_QWORD, REG_BINARY) from its command-line words: one string;
// any number of non-empty strings; one number, decimal or 0x hex; hex digits,
// spaces and commas allowed between bytes. False with a one-line reason.
bool EncodeRegData(DWORD type, const std::vector<std::string>& words, std::string& bytes, std::string& error);

// A value as the reg commands carry it: its name, type and exact bytes.
struct RegValue {
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;
};

// One change read from a .reg file, in file order.
struct ImportOp {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind = CreateKey;
    size_t line = 0;     // where it begins in the file
    std::u16string key;  // below HKEY_LOCAL_MACHINE, '\' between names
    RegValue value;      // SetValue: all of it; DeleteValue: the name
};

// Parses a whole .reg text (the form export writes) into changes, checking
// every key path and value name the registry would refuse; false with
// "line N: reason".
bool ParseRegText(std::string_view text, std::vector<ImportOp>& ops, std::string& error);
// Appends the line (or lines ending in '\') export writes for a value.
void AppendRegValue(std::string& out, const RegValue& v);

// zembrikctl reg SUBCOMMAND ...; the exit status.
int RunRegCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace zctl
