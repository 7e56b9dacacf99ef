// The zembrikctl commands that talk to the service over its pipe, and what
// they share: argument parsing, the connection, errors, tables and JSON.
#pragma once
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "client/output.h"
#include "client/rule_options.h"
#include "client/service_client.h"

namespace zctl {

extern const char kInfoSummary[];
extern const char kMetricsSummary[];
extern const char kPsSummary[];
extern const char kGroupsSummary[];
extern const char kKillSummary[];
extern const char kKillGroupSummary[];
extern const char kAliasesSummary[];
extern const char kRulesSummary[];
extern const char kGroupRulesSummary[];
extern const char kPollSummary[];
extern const char kMediatorSummary[];
extern const char kRestoreSummary[];
extern const char kStatusSummary[];
extern const char kTopSummary[];
extern const char kExportSummary[];
extern const char kApplySummary[];

int RunInfoCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunMetricsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunPsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunGroupsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunKillCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunKillGroupCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunAliasesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunRulesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunGroupRulesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunPollCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunMediatorCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunRestoreCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunStatusCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunTopCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunExportCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int RunApplyCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// ---- shared by the commands (command_common.cpp) -------------------------

struct ParsedArgs {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // in command-line order
    bool Has(const std::string& name) const;
    // The last value given for name, or "".
    std::string Get(const std::string& name) const;
};

// Splits args into options and positional words. `flags` take no value,
// `valued` take one; with a rule kind, its setting options are taken too.
// "-h" is "--help"; "--" ends the options. False with a reason.
bool ParseArgs(const std::vector<std::string>& args, std::initializer_list<const char*> flags,
               std::initializer_list<const char*> valued, ParsedArgs& out, std::string& error,
               const RuleKind* ruleKind = nullptr);

// The most client data (a rule's variable data) a change request can carry
// back to the service.
constexpr size_t kMaxVarData = 4096 - kRequestDataOffset - kProcDetailFixedSize;

// ParseArgs for a command that takes no positional words, with its --help:
// false when the command is done (the usage shown, or the error said), and
// then `status` is its exit status.
bool ParseCommandArgs(const std::string& what, const std::vector<std::string>& args,
                      std::initializer_list<const char*> flags, std::initializer_list<const char*> valued,
                      const char* usage, ParsedArgs& out, std::FILE* outFile, std::FILE* err, int& status);

// "zembrikctl: <what>: <text>" on err; returns 1.
int Failed(std::FILE* err, const std::string& what, const std::string& text);
// The same with the result as words.
int FailedResult(std::FILE* err, const std::string& what, DWORD result);
// Connects, or says why not; false when it failed.
bool ConnectOrSay(ServiceClient& client, const std::string& what, std::FILE* err);

// Columns padded to their widest cell, two spaces apart; the first row is
// the heading.
std::string Table(const std::vector<std::vector<std::string>>& rows);
std::string JsonString(const std::string& text);
// An alias rule's match type as one letter ('?' for anything unprintable).
inline std::string MatchTypeText(WCHAR t) {
    return std::string(1, t >= 0x20 && t < 0x7F ? static_cast<char>(t) : '?');
}
// A rule summary as the JSON object `rules get --json` shows.
template <typename Summary>
std::string RuleJson(RuleKind kind, const Summary& s, const WCHAR* memberOf) {
    return "{\"name\": " + JsonString(FieldText(s.name, kNameUnits)) +
           ", \"mgmtName\": " + JsonString(FieldText(s.mgmt.mgmtName, kMgmtNameUnits)) +
           ", \"description\": " + JsonString(FieldText(s.mgmt.description, kNameUnits)) + ", " +
           SettingsJson(kind, s.mgmt, memberOf) + "}";
}
// A FILETIME value (100-ns units since 1601) as ISO 8601 UTC; "-" for 0.
std::string FileTimeText(ULONGLONG value);
// 100-ns units of CPU time as seconds with two decimals ("12.34").
std::string CpuSecondsText(ULONGLONG hundredNs);

// The metrics file of the last pass; false with the reason.
bool ReadMetricsFile(std::string& text, std::string& error);

// ---- the service's processes (status_command.cpp) ------------------------

struct ServiceProcesses {
    DWORD state = 1;        // SERVICE_STOPPED
    DWORD exitCode = 0;     // why it stopped, when it did not stop itself
    DWORD pid = 0;          // 0 unless it runs
    ULONGLONG started = 0;  // its creation time (FILETIME units), 0 when unknown
    DWORD mediatorPid = 0;  // 0 when no mediator runs
};
// The service's state and pids as the control manager records them; 0 or
// the Windows error.
DWORD QueryServiceProcesses(ServiceProcesses& out);
// A FILETIME as one number.
ULONGLONG FileTimeValue(const FILETIME& t);
// Now, in FILETIME units.
ULONGLONG NowFileTime();
// "3d 4h 5m", "2h 13m", "4m 10s", "12s".
std::string UptimeText(ULONGLONG hundredNs);

}  // namespace zctl
