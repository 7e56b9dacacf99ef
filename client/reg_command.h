// zembrikctl reg: reads and edits the registry of the state root through the
// platform layer's registry calls, so the caller's permissions apply.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// zembrikctl reg SUBCOMMAND ...; the exit status.
int RunRegCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace zctl
