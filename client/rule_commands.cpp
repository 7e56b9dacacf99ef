// zembrikctl aliases, rules and group-rules: the alias list (request type
// 1), the process rules (types 3 and 6) and the group rules (types 2 and 7).
// aliases test names a path with the service's own matcher, on the list read.
// Changes carry the list stamp of a fresh read; a stale stamp means someone
// else changed the list in between, and the change is tried once more on a
// new read.
#include <cstring>
#include <type_traits>

#include "client/service_commands.h"
#include "pal/process.h"
#include "wire/alias_matcher.h"

namespace zctl {

const char kAliasesSummary[] = "list and change the alias rules that name processes";
const char kRulesSummary[] = "list and change the process rules";
const char kGroupRulesSummary[] = "list and change the group rules";

namespace {

const char kAliasesUsage[] =
    "Usage: zembrikctl aliases list [--json]\n"
    "       zembrikctl aliases add --match PATTERN --name TEMPLATE --type A|D|P\n"
    "                              [--description TEXT] [--before INDEX]\n"
    "       zembrikctl aliases replace INDEX [--match PATTERN] [--name TEMPLATE]\n"
    "                              [--type A|D|P] [--description TEXT]\n"
    "       zembrikctl aliases delete INDEX\n"
    "       zembrikctl aliases swap INDEX\n"
    "       zembrikctl aliases test PATH [--json]\n"
    "\n"
    "The alias rules name processes, tried in order; the last rule is the\n"
    "default (every program by its file name) and cannot be changed.\n"
    "  PATTERN    what the image path must match: '?' any one character, '*'\n"
    "             the rest (what follows it is not compared), %VARIABLE%\n"
    "             environment references\n"
    "  TEMPLATE   the process name; <P> the program file name, <D> the\n"
    "             directory a type-D rule matched; <H> hides the process\n"
    "  --type     A the whole path, D a directory, P the program file name\n"
    "  --before   insert before the rule at INDEX (default: before the\n"
    "             default rule, i.e. at the end)\n"
    "swap exchanges the rules at INDEX and INDEX+1.\n"
    "test shows which rule names the program at PATH and the name it gets, as\n"
    "the service would name a process running it. PATH is a Linux path (an\n"
    "existing file is taken with its links resolved, as a running process shows\n"
    "it) or a path in the service's form with '\\' (\\usr\\bin\\sleep). %VARIABLE%\n"
    "references expand in zembrikctl's environment, not the service's: under\n"
    "sudo or as another user they may differ.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON object for scripts (list, test)\n"
    "  -h, --help   this text\n";

// ---- aliases --------------------------------------------------------------

// A rule's members of a JSON object.
std::string AliasJsonFields(const NameRule& r) {
    return "\"type\": " + JsonString(MatchTypeText(r.matchType)) +
           ", \"match\": " + JsonString(FieldText(r.match, 64)) + ", \"name\": " + JsonString(FieldText(r.name, 64)) +
           ", \"description\": " + JsonString(FieldText(r.description, 64));
}

int AliasesList(ServiceClient& client, bool json, std::FILE* out, std::FILE* err) {
    std::vector<NameRule> rules;
    DWORD stamp = 0;
    DWORD rc = FetchNameRules(client, rules, stamp);
    if (rc != 0) return FailedResult(err, "aliases list", rc);
    if (json) {
        std::string j = "{\"stamp\": " + std::to_string(stamp) + ", \"aliases\": [";
        for (size_t i = 0; i < rules.size(); ++i) {
            const NameRule& r = rules[i];
            j += std::string(i > 0 ? ",\n " : "\n ") + "{\"index\": " + std::to_string(i) + ", " + AliasJsonFields(r) +
                 ", \"default\": " + (i + 1 == rules.size() ? "true" : "false") + "}";
        }
        Write(out, j + "]}\n");
        return 0;
    }
    std::vector<std::vector<std::string>> rows = {{"INDEX", "TYPE", "MATCH", "NAME", "DESCRIPTION"}};
    for (size_t i = 0; i < rules.size(); ++i) {
        const NameRule& r = rules[i];
        std::string description = FieldText(r.description, 64);
        if (i + 1 == rules.size()) description += description.empty() ? "(default)" : " (default)";
        rows.push_back({std::to_string(i), MatchTypeText(r.matchType), FieldText(r.match, 64), FieldText(r.name, 64),
                        description.empty() ? "-" : description});
    }
    Write(out, Table(rows));
    return 0;
}

// The text discovery names a process by: a path with '\' (not a Linux
// one) as given, a Linux path as a process running that file shows it.
bool ImageTextOf(const std::string& path, WCHAR (&text)[260], std::string& error) {
    if (path.empty()) {
        error = "PATH: give a path";
        return false;
    }
    if (path[0] != '/' && path.find('\\') != std::string::npos) {
        if (SetField(text, 260, path)) return true;
        error = "PATH: 259 characters at most";
        return false;
    }
    PalImagePathText(path.c_str(), text, 260);
    return true;
}

int AliasesTest(ServiceClient& client, const std::string& path, bool json, std::FILE* out, std::FILE* err) {
    const std::string what = "aliases test";
    WCHAR imageText[260];
    std::string error;
    if (!ImageTextOf(path, imageText, error)) return Failed(err, what, error);
    std::vector<NameRule> rules;
    DWORD stamp = 0;
    DWORD rc = FetchNameRules(client, rules, stamp);
    if (rc != 0) return FailedResult(err, what, rc);
    AliasMatcher matcher;
    if (!matcher.Compile(rules.data(), static_cast<DWORD>(rules.size())))
        return Failed(err, what, "no memory for the compiled rules");
    WCHAR processName[64];
    WCHAR imageName[64];
    DWORD index = matcher.Name(imageText, processName, imageName);
    bool named = index != AliasMatcher::kNoRule;
    bool isDefault = named && index + 1 == rules.size();
    std::string name = FieldText(processName, 64);
    std::string image = FieldText(imageName, 64);
    std::string shown = FieldText(imageText, 260);
    if (json) {
        std::string j = "{\"stamp\": " + std::to_string(stamp) + ", \"path\": " + JsonString(shown) +
                        ", \"index\": " + (named ? std::to_string(index) : "null") +
                        ", \"default\": " + (isDefault ? "true" : "false") +
                        ", \"rule\": " + (named ? "{" + AliasJsonFields(rules[index]) + "}" : "null") +
                        ", \"name\": " + JsonString(name) +
                        ", \"hidden\": " + (named && name.empty() ? "true" : "false") +
                        ", \"image\": " + JsonString(image) + "}\n";
        Write(out, j);
        return 0;
    }
    std::string text;
    if (!named) {
        text = "no rule";
    } else if (isDefault) {
        text = "default rule";
    } else {
        const NameRule& r = rules[index];
        text = "rule " + std::to_string(index) + " (" + MatchTypeText(r.matchType) + " " + FieldText(r.match, 64) +
               " -> " + FieldText(r.name, 64) + ")";
    }
    text += named && name.empty() ? ": hidden" : ": name '" + name + "'";
    text += ", image '" + image + "', path '" + shown + "'";
    Write(out, OneLine(text) + "\n");
    return 0;
}

// Fills the fields given as options into rule; false with a reason.
bool AliasFields(const ParsedArgs& a, NameRule& rule, std::string& error) {
    if (a.Has("--match") && (!SetField(rule.match, 64, a.Get("--match")) || rule.match[0] == 0)) {
        error = "--match: the pattern must have 1 to 63 characters";
        return false;
    }
    if (a.Has("--name") && !SetField(rule.name, 64, a.Get("--name"))) {
        error = "--name: the name template must have 1 to 63 characters";
        return false;
    }
    if (a.Has("--description") && !SetField(rule.description, 64, a.Get("--description"))) {
        error = "--description: 63 characters at most";
        return false;
    }
    if (a.Has("--type")) {
        std::string t = ToLowerAscii(a.Get("--type"));
        if (t != "a" && t != "d" && t != "p") {
            error = "--type: bad match type '" + OneLine(a.Get("--type")) + "' (A, D or P)";
            return false;
        }
        rule.matchType = static_cast<WCHAR>(t[0] - 'a' + 'A');
    }
    return true;
}

int AliasesChange(const std::string& action, const ParsedArgs& a, std::FILE* err) {
    std::string what = "aliases " + action;
    std::string error;
    ULONGLONG index = 0;
    bool hasIndex = action != "add";
    if (hasIndex) {
        if (a.positional.size() != 2) return Failed(err, what, "give one INDEX (zembrikctl aliases --help)");
        if (!ParseNumber(a.positional[1], 0, 0xFFFFFFFEULL, index, error)) return Failed(err, what, "INDEX: " + error);
        what += " " + a.positional[1];
    } else {
        if (a.positional.size() != 1) return Failed(err, what, "unexpected argument '" + OneLine(a.positional[1]) + "'");
        for (const char* needed : {"--match", "--name", "--type"})
            if (!a.Has(needed)) return Failed(err, what, std::string(needed) + " is required");
        if (a.Has("--before") && !ParseNumber(a.Get("--before"), 0, 0xFFFFFFFEULL, index, error))
            return Failed(err, what, "--before: " + error);
    }
    bool fields = action == "add" || action == "replace";
    if (!fields)
        for (const char* f : {"--match", "--name", "--type", "--description", "--before"})
            if (a.Has(f)) return Failed(err, what, std::string(f) + " does not apply to " + action);
    if (action == "replace" && a.Has("--before")) return Failed(err, what, "--before does not apply to replace");
    NameRule check{};
    if (fields && !AliasFields(a, check, error)) return Failed(err, what, error);
    ServiceClient client;
    if (!ConnectOrSay(client, what, err)) return 1;

    BYTE op = action == "add" ? OpAdd : action == "replace" ? OpReplace : action == "delete" ? OpDelete : OpSwap;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<NameRule> rules;
        DWORD stamp = 0;
        DWORD rc = FetchNameRules(client, rules, stamp);
        if (rc != 0) return FailedResult(err, what, rc);
        NameRule rule{};
        DWORD at = static_cast<DWORD>(index);
        if (action == "add" && !a.Has("--before")) at = rules.empty() ? 0 : static_cast<DWORD>(rules.size() - 1);
        if (action == "replace") {
            if (at >= rules.size()) return FailedResult(err, what, ResultBadIndex);
            rule = rules[at];
        }
        if (fields) AliasFields(a, rule, error);
        Reply reply;
        rc = client.Call(NameRulesChange(op, at, stamp, fields ? &rule : nullptr), reply);
        if (rc == ResultStale && attempt == 0) continue;
        if (rc != 0) return FailedResult(err, what, rc);
        return 0;
    }
    return FailedResult(err, what, ResultStale);
}

int RunAliases(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {"--json"}, {"--match", "--name", "--type", "--description", "--before"}, a, error))
        return Failed(err, "aliases", error);
    if (a.Has("--help") || (a.positional.empty() && a.options.empty())) {
        Write(a.Has("--help") ? out : err, kAliasesUsage);
        return a.Has("--help") ? 0 : 1;
    }
    std::string action = a.positional.empty() ? "" : a.positional[0];
    if (action != "list" && action != "add" && action != "replace" && action != "delete" && action != "swap" &&
        action != "test")
        return Failed(err, "aliases",
                      "unknown action '" + OneLine(action) + "' (list, add, replace, delete, swap, test)");
    bool reads = action == "list" || action == "test";
    if (!reads && a.Has("--json")) return Failed(err, "aliases " + action, "--json applies to list and test only");
    if (reads && a.options.size() > (a.Has("--json") ? 1u : 0u))
        return Failed(err, "aliases " + action, action + " takes only --json");
    if (action == "list" && a.positional.size() > 1) return Failed(err, "aliases list", "list takes only --json");
    if (action == "test" && a.positional.size() != 2)
        return Failed(err, "aliases test", "give one PATH (zembrikctl aliases --help)");
    if (!reads) return AliasesChange(action, a, err);
    ServiceClient client;
    if (!ConnectOrSay(client, "aliases " + action, err)) return 1;
    if (action == "test") return AliasesTest(client, a.positional[1], a.Has("--json"), out, err);
    return AliasesList(client, a.Has("--json"), out, err);
}

// ---- process and group rules ----------------------------------------------

// What differs between the process rules and the group rules.
template <typename Detail>
struct RuleTraits;

template <>
struct RuleTraits<ProcDetail> {
    using Summary = ProcSummary;
    static constexpr RuleKind kKind = RuleKind::Process;
    static constexpr const char* kCommand = "rules";
    static const WCHAR* MemberOf(const ProcSummary& s) { return s.memberOf; }
    static WCHAR* MemberOf(ProcSummary& s) { return s.memberOf; }
    static DWORD Get(ServiceClient& c, const std::string& n, const std::string& m, ProcDetail& d, std::string& v,
                     DWORD& s) {
        return GetProcRule(c, n, m, d, v, s);
    }
    static std::string Request(BYTE op, const ProcDetail& d, const std::string& v, DWORD s) {
        return ProcRuleRequest(op, d, v, s);
    }
    static DWORD Fetch(ServiceClient& c, std::vector<ProcSummary>& out) {
        ProcSummary key{};
        return FetchProcSummaries(c, key, 0, out);
    }
};

template <>
struct RuleTraits<JobDetail> {
    using Summary = JobSummary;
    static constexpr RuleKind kKind = RuleKind::Group;
    static constexpr const char* kCommand = "group-rules";
    static const WCHAR* MemberOf(const JobSummary&) { return nullptr; }
    static WCHAR* MemberOf(JobSummary&) { return nullptr; }
    static DWORD Get(ServiceClient& c, const std::string& n, const std::string& m, JobDetail& d, std::string& v,
                     DWORD& s) {
        return GetGroupRule(c, n, m, d, v, s);
    }
    static std::string Request(BYTE op, const JobDetail& d, const std::string& v, DWORD s) {
        return GroupRuleRequest(op, d, v, s);
    }
    static DWORD Fetch(ServiceClient& c, std::vector<JobSummary>& out) {
        JobSummary key{};
        return FetchGroupSummaries(c, key, 0, out);
    }
};

std::string RulesUsage(RuleKind kind) {
    bool proc = kind == RuleKind::Process;
    std::string c = proc ? "rules" : "group-rules";
    std::string text = "Usage: zembrikctl " + c + " list [--json]\n" + "       zembrikctl " + c +
                       " get NAME [--mgmt VALUE] [--json]\n" + "       zembrikctl " + c +
                       " add NAME [--mgmt VALUE] [SETTINGS]\n" + "       zembrikctl " + c +
                       " replace NAME [--mgmt VALUE] [SETTINGS]\n" + "       zembrikctl " + c +
                       " delete NAME [--mgmt VALUE]\n\n";
    text += proc ? "Process rules set the priority, CPUs and working set of the processes of a\n"
                   "name and can put them into a group. "
                 : "Group rules set the limits and settings of a process group. ";
    text +=
        "replace keeps every setting that is not given.\n"
        "--mgmt names the stored block of settings (default DfltMgmt); delete with\n"
        "--mgmt removes only that block.\n"
        "\n"
        "Settings:\n" +
        RuleOptionsHelp(kind) +
        "Sizes take K, M, G or T; durations ms, s, m, h or d.\n"
        "\n"
        "Options:\n"
        "  --mgmt VALUE                the management value name\n"
        "  --json                      one JSON value for scripts (list, get)\n"
        "  -h, --help                  this text\n";
    return text;
}

template <typename Detail>
int RulesList(ServiceClient& client, bool json, std::FILE* out, std::FILE* err) {
    using T = RuleTraits<Detail>;
    std::vector<typename T::Summary> list;
    std::string what = std::string(T::kCommand) + " list";
    DWORD rc = T::Fetch(client, list);
    if (rc != 0) return FailedResult(err, what, rc);
    if (json) {
        std::string j = "[";
        for (size_t i = 0; i < list.size(); ++i)
            j += (i > 0 ? ",\n " : "") + RuleJson(T::kKind, list[i], T::MemberOf(list[i]));
        Write(out, j + "]\n");
        return 0;
    }
    std::vector<std::vector<std::string>> rows = {{"NAME", "MGMT", "SETTINGS", "DESCRIPTION"}};
    for (const auto& s : list) {
        std::string mgmt = FieldText(s.mgmt.mgmtName, kMgmtNameUnits), d = FieldText(s.mgmt.description, kNameUnits);
        rows.push_back({FieldText(s.name, kNameUnits), mgmt.empty() ? "-" : mgmt,
                        SettingsText(T::kKind, s.mgmt, T::MemberOf(s)), d.empty() ? "-" : d});
    }
    Write(out, Table(rows));
    return 0;
}

template <typename Detail>
int RulesGet(ServiceClient& client, const std::string& name, const std::string& mgmt, bool json, std::FILE* out,
             std::FILE* err) {
    using T = RuleTraits<Detail>;
    std::string what = std::string(T::kCommand) + " get " + OneLine(name);
    Detail d{};
    std::string varData;
    DWORD stamp = 0;
    DWORD rc = T::Get(client, name, mgmt, d, varData, stamp);
    if (rc != 0) return FailedResult(err, what, rc);
    const WCHAR* memberOf = T::MemberOf(d.summary);
    if (json) {
        std::string j = RuleJson(T::kKind, d.summary, memberOf);
        j.pop_back();
        Write(out, j + ", \"stamp\": " + std::to_string(stamp) + ", \"varDataLength\": " +
                       std::to_string(varData.size()) + "}\n");
        return 0;
    }
    std::string m = FieldText(d.summary.mgmt.mgmtName, kMgmtNameUnits);
    std::string desc = FieldText(d.summary.mgmt.description, kNameUnits);
    std::string text = "Name          " + OneLine(FieldText(d.summary.name, kNameUnits)) + "\n" +
                       "Management    " + OneLine(m.empty() ? "DfltMgmt" : m) + "\n" +
                       "Description   " + OneLine(desc.empty() ? "-" : desc) + "\n" +
                       "Settings      " + OneLine(SettingsText(T::kKind, d.summary.mgmt, memberOf)) + "\n";
    Write(out, text);
    return 0;
}

template <typename Detail>
int RulesChange(ServiceClient& client, const std::string& action, const std::string& name, const ParsedArgs& a,
                std::FILE* err) {
    using T = RuleTraits<Detail>;
    std::string what = std::string(T::kCommand) + " " + action + " " + OneLine(name);
    std::string mgmt = a.Get("--mgmt");
    std::string error;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Detail d{};
        std::string varData;
        DWORD stamp = 0;
        if (action == "replace") {
            DWORD rc = T::Get(client, name, mgmt, d, varData, stamp);
            if (rc != 0) return FailedResult(err, what, rc);
            if (varData.size() > kMaxVarData) return Failed(err, what, "the rule's client data is too long to send back");
        } else {
            if (!SetField(d.summary.name, kNameUnits, name) ||
                !SetField(d.summary.mgmt.mgmtName, kMgmtNameUnits, mgmt))
                return FailedResult(err, what, ResultBadName);
        }
        // The read's own markers are not settings.
        d.summary.mgmt.mgmtFlags &= ~static_cast<DWORD>(HasMemberOf | MgmtDataInvalid | MgmtDataMissing);
        RuleEdit edit;
        edit.mgmt = d.summary.mgmt;
        const WCHAR* member = T::MemberOf(d.summary);
        if (member != nullptr) std::memcpy(edit.memberOf, member, sizeof(edit.memberOf));
        for (const auto& o : a.options) {
            if (o.first == "--mgmt") continue;
            if (!ApplyRuleOption(T::kKind, o.first, o.second, edit, error)) return Failed(err, what, error);
        }
        d.summary.mgmt = edit.mgmt;
        if (WCHAR* m = T::MemberOf(d.summary); m != nullptr) {
            // A process joins the group it names; without the group option
            // the name goes too.
            if ((edit.mgmt.mgmtFlags & JoinGroup) == 0) std::memset(edit.memberOf, 0, sizeof(edit.memberOf));
            std::memcpy(m, edit.memberOf, sizeof(edit.memberOf));
        }
        BYTE op = action == "add" ? OpAdd : action == "replace" ? OpReplace : OpDelete;
        Reply reply;
        DWORD rc = client.Call(T::Request(op, d, varData, stamp), reply);
        if (rc == ResultStale && attempt == 0) continue;
        if (rc != 0) return FailedResult(err, what, rc);
        return 0;
    }
    return FailedResult(err, what, ResultStale);
}

template <typename Detail>
int RunRules(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    using T = RuleTraits<Detail>;
    const std::string command = T::kCommand;
    RuleKind kind = T::kKind;
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {"--json"}, {"--mgmt"}, a, error, &kind)) return Failed(err, command, error);
    if (a.Has("--help") || (a.positional.empty() && a.options.empty())) {
        Write(a.Has("--help") ? out : err, RulesUsage(kind));
        return a.Has("--help") ? 0 : 1;
    }
    std::string action = a.positional.empty() ? "" : a.positional[0];
    if (action != "list" && action != "get" && action != "add" && action != "replace" && action != "delete")
        return Failed(err, command, "unknown action '" + OneLine(action) + "' (list, get, add, replace, delete)");
    std::string what = command + " " + action;
    bool settings = false;
    for (const auto& o : a.options) settings = settings || (o.first != "--mgmt" && o.first != "--json");
    if (a.Has("--json") && action != "list" && action != "get") return Failed(err, what, "--json applies to list and get");
    if (settings && action != "add" && action != "replace") return Failed(err, what, "settings apply to add and replace");
    if (action == "list") {
        if (a.positional.size() > 1 || a.Has("--mgmt")) return Failed(err, what, "list takes only --json");
    } else if (a.positional.size() != 2) {
        return Failed(err, what, "give one rule NAME (zembrikctl " + command + " --help)");
    }
    if (action == "add" && a.Has("--mgmt") && a.Get("--mgmt").empty()) return Failed(err, what, "--mgmt needs a name");
    if (a.positional.size() == 2) what += " " + OneLine(a.positional[1]);
    RuleEdit scratch;
    for (const auto& o : a.options) {
        if (o.first == "--mgmt" || o.first == "--json") continue;
        if (!ApplyRuleOption(kind, o.first, o.second, scratch, error)) return Failed(err, what, error);
    }
    ServiceClient client;
    if (!ConnectOrSay(client, what, err)) return 1;
    if (action == "list") return RulesList<Detail>(client, a.Has("--json"), out, err);
    if (action == "get") return RulesGet<Detail>(client, a.positional[1], a.Get("--mgmt"), a.Has("--json"), out, err);
    return RulesChange<Detail>(client, action, a.positional[1], a, err);
}

}  // namespace

int RunAliasesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    return RunAliases(args, out, err);
}

int RunRulesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    return RunRules<ProcDetail>(args, out, err);
}

int RunGroupRulesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    return RunRules<JobDetail>(args, out, err);
}

}  // namespace zctl
