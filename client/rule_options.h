// The readable forms of rule settings on zembrikctl's command line and in
// its tables: priority words, CPU lists, sizes, durations, and the options
// of the rule commands, each of which sets a field and its mgmtFlags bit.
#pragma once
#include <string>
#include <string_view>

#include "wire/rule_records.h"
#include "pal/types.h"

namespace zctl {

// Each parser gives false with a one-line reason that names the bad value.

// "idle", "below-normal", "normal", "above-normal", "high", "realtime"
// (case-insensitive, '_' for '-') or a number 1-31 of the priority scale.
bool ParsePriority(std::string_view text, DWORD& number, std::string& error);
// "normal" for 8 (the word of the number's range), "none" for 0.
std::string PriorityWord(DWORD number);
// "0-3,6" into a mask of CPUs 0-63; "0x3f" is taken as a mask.
bool ParseCpuList(std::string_view text, ULONGLONG& mask, std::string& error);
// A mask as a CPU list ("0-3,6"); "none" for 0.
std::string CpuListText(ULONGLONG mask);
// Bytes: a number with an optional binary unit K, M, G, T (KB, KiB and B
// forms too); above zero.
bool ParseSize(std::string_view text, ULONGLONG& bytes, std::string& error);
// The shortest exact form: "64M", "1536K", "1000".
std::string SizeText(ULONGLONG bytes);
// A duration in 100-ns units: a number with a unit ms, s, m, h or d (a bare
// number is seconds); above zero.
bool ParseDuration(std::string_view text, LONGLONG& hundredNs, std::string& error);
// The shortest exact form: "30s", "5m", "1500ms".
std::string DurationText(LONGLONG hundredNs);
// "MIN,MAX" sizes with MIN <= MAX.
bool ParseWorkingSet(std::string_view text, ULONGLONG& minimum, ULONGLONG& maximum, std::string& error);
// A whole decimal number within [low, high].
bool ParseNumber(std::string_view text, ULONGLONG low, ULONGLONG high, ULONGLONG& out, std::string& error);

// ---- rule options ------------------------------------------------------

enum class RuleKind { Process, Group };

// What a rule command edits: the management block and, for process rules,
// the group the processes join.
struct RuleEdit {
    MgmtData mgmt{};
    WCHAR memberOf[kNameUnits] = {};
};

// Whether `option` ("--priority", "--no-priority", ...) is a setting of
// rules of `kind`; takesValue tells whether a value follows it.
bool IsRuleOption(RuleKind kind, const std::string& option, bool& takesValue);
// Applies one setting option: sets the field and its mgmtFlags bit, or with
// the "--no-" form clears both.
bool ApplyRuleOption(RuleKind kind, const std::string& option, const std::string& value, RuleEdit& edit,
                     std::string& error);
// The option lines of a rule command's help text.
std::string RuleOptionsHelp(RuleKind kind);

// The settings a block holds, one readable item each ("priority=high",
// "affinity=0-3", "remove-when-empty"), joined by spaces; "-" for none.
std::string SettingsText(RuleKind kind, const MgmtData& m, const WCHAR* memberOf);
// The same settings as JSON members (without braces), values in wire units.
std::string SettingsJson(RuleKind kind, const MgmtData& m, const WCHAR* memberOf);

}  // namespace zctl
