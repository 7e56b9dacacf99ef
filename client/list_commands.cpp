// zembrikctl ps, groups, kill and kill-group: the merged process and group
// lists (request types 4 and 5) and their kill operations.
#include <cstring>

#include "client/service_commands.h"

namespace zctl {

const char kPsSummary[] = "processes, with their rules, aliases and groups";
const char kGroupsSummary[] = "process groups, with their rules and accounting";
const char kKillSummary[] = "end a process by its pid";
const char kKillGroupSummary[] = "end every process of a group";

namespace {

const char kPsUsage[] =
    "Usage: zembrikctl ps [--running] [--group G] [--name N] [--json]\n"
    "\n"
    "Lists the process names the service knows: running processes, process\n"
    "rules and alias names, one line per name and one more per further\n"
    "process of that name. FLAGS: R running, r has a rule, E the rule is in\n"
    "effect, G in a managed group, A named by an alias, N names a group.\n"
    "\n"
    "Options:\n"
    "  --running    running processes only\n"
    "  --group G    only those of group G\n"
    "  --name N     only the name N\n"
    "  --json       one JSON array for scripts\n"
    "  -h, --help   this text\n";

const char kGroupsUsage[] =
    "Usage: zembrikctl groups [--running] [--name N] [--json]\n"
    "\n"
    "Lists the process groups: group rules, groups named by process rules and\n"
    "running groups, with their processes, CPU times, peak memory and the\n"
    "settings of their rules: every limit (time, memory, processes) and the\n"
    "priority and CPUs they hold. FLAGS as in ps.\n"
    "\n"
    "Options:\n"
    "  --running    running groups only\n"
    "  --name N     only the group N\n"
    "  --json       one JSON array for scripts\n"
    "  -h, --help   this text\n";

const char kKillUsage[] =
    "Usage: zembrikctl kill PID [--created FILETIME|any] [--any]\n"
    "\n"
    "Ends the process PID. The service ends it only when its creation time\n"
    "matches, so a newer process that reuses the pid is never hit: by default\n"
    "the creation time is read from the process list first. The answer comes\n"
    "once the process has ended. Pid 1, the service and its mediator are refused.\n"
    "\n"
    "Options:\n"
    "  --created T  the creation time to match (100-ns units since 1601, as\n"
    "               ps --json shows it), or \"any\"\n"
    "  --any        end whatever process has the pid now\n"
    "  -h, --help   this text\n";

const char kKillGroupUsage[] =
    "Usage: zembrikctl kill-group NAME\n"
    "\n"
    "Ends every process of the group NAME.\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

std::string FlagLetters(DWORD f) {
    std::string s;
    s += (f & RunningNow) ? 'R' : '-';
    s += (f & HasRule) ? 'r' : '-';
    s += (f & RuleInEffect) ? 'E' : '-';
    s += (f & InManagedGroup) ? 'G' : '-';
    s += (f & NamedByAlias) ? 'A' : '-';
    s += (f & NamedAsGroup) ? 'N' : '-';
    return s;
}

std::string FlagWordsJson(DWORD f) {
    const std::pair<DWORD, const char*> words[] = {{RunningNow, "running"},        {HasRule, "hasRule"},
                                                   {RuleInEffect, "ruleInEffect"},  {InManagedGroup, "inManagedGroup"},
                                                   {NamedByAlias, "namedByAlias"},  {NamedAsGroup, "namedAsGroup"}};
    std::string s = "[";
    for (const auto& w : words) {
        if ((f & w.first) == 0) continue;
        if (s.size() > 1) s += ", ";
        s += JsonString(w.second);
    }
    return s + "]";
}

bool ParseListArgs(const std::string& what, const std::vector<std::string>& args, bool groupOption, ParsedArgs& a,
                   std::FILE* out, std::FILE* err, const char* usage, int& status) {
    return groupOption ? ParseCommandArgs(what, args, {"--running", "--json"}, {"--group", "--name"}, usage, a, out,
                                          err, status)
                       : ParseCommandArgs(what, args, {"--running", "--json"}, {"--name"}, usage, a, out, err, status);
}

// Every running entry of the process list with that pid.
DWORD FindProcess(ServiceClient& client, DWORD pid, ProcListEntry& found, bool& present) {
    std::vector<ProcListEntry> list;
    ProcListEntry key{};
    DWORD rc = FetchProcList(client, key, ListRunningOnly, list);
    present = false;
    if (rc != 0) return rc;
    for (const ProcListEntry& e : list) {
        if (e.pid == pid && (e.listFlags & RunningNow) != 0) {
            found = e;
            present = true;
        }
    }
    return 0;
}

}  // namespace

int RunPsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    int status = 0;
    if (!ParseListArgs("ps", args, true, a, out, err, kPsUsage, status)) return status;
    ProcListEntry key{};
    DWORD flags = a.Has("--running") ? static_cast<DWORD>(ListRunningOnly) : 0u;
    if (a.Has("--name")) {
        if (!SetField(key.name, kNameUnits, a.Get("--name"))) return FailedResult(err, "ps", ResultBadName);
        flags |= ListExact;
    }
    if (a.Has("--group")) {
        if (!SetField(key.groupName, kNameUnits, a.Get("--group"))) return FailedResult(err, "ps", ResultBadName);
        flags |= ListSameGroup;
    }
    ServiceClient client;
    if (!ConnectOrSay(client, "ps", err)) return 1;
    std::vector<ProcListEntry> list;
    DWORD rc = FetchProcList(client, key, flags, list);
    if (rc != 0) return FailedResult(err, "ps", rc);

    if (a.Has("--json")) {
        std::string j = "[";
        for (size_t i = 0; i < list.size(); ++i) {
            const ProcListEntry& e = list[i];
            j += std::string(i > 0 ? ",\n " : "") + "{\"name\": " + JsonString(FieldText(e.name, kNameUnits)) +
                 ", \"pid\": " + std::to_string(e.pid) + ", \"creationTime\": " + std::to_string(e.creationTime) +
                 ", \"listFlags\": " + std::to_string(e.listFlags) + ", \"flags\": " + FlagWordsJson(e.listFlags) +
                 ", \"priority\": " + std::to_string(e.priority) +
                 ", \"priorityClass\": " + JsonString(PriorityWord(e.priority)) +
                 ", \"affinity\": " + std::to_string(e.affinity) + ", \"userTime\": " + std::to_string(e.userTime) +
                 ", \"kernelTime\": " + std::to_string(e.kernelTime) +
                 ", \"image\": " + JsonString(FieldText(e.imageName, kNameUnits)) +
                 ", \"group\": " + JsonString(FieldText(e.groupName, kNameUnits)) + "}";
        }
        Write(out, j + "]\n");
        return 0;
    }
    std::vector<std::vector<std::string>> rows = {
        {"NAME", "PID", "FLAGS", "PRIORITY", "CPUS", "USER-S", "KERNEL-S", "STARTED", "GROUP", "IMAGE"}};
    for (const ProcListEntry& e : list) {
        bool running = (e.listFlags & RunningNow) != 0;
        std::string group = FieldText(e.groupName, kNameUnits), image = FieldText(e.imageName, kNameUnits);
        rows.push_back({FieldText(e.name, kNameUnits), running ? std::to_string(e.pid) : "-", FlagLetters(e.listFlags),
                        running ? PriorityWord(e.priority) : "-", running ? CpuListText(e.affinity) : "-",
                        running ? CpuSecondsText(e.userTime) : "-", running ? CpuSecondsText(e.kernelTime) : "-",
                        running ? FileTimeText(e.creationTime) : "-", group.empty() ? "-" : group,
                        image.empty() ? "-" : image});
    }
    Write(out, Table(rows));
    return 0;
}

int RunGroupsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    int status = 0;
    if (!ParseListArgs("groups", args, false, a, out, err, kGroupsUsage, status)) return status;
    JobListEntry key{};
    DWORD flags = a.Has("--running") ? static_cast<DWORD>(ListRunningOnly) : 0u;
    if (a.Has("--name")) {
        if (!SetField(key.name, kNameUnits, a.Get("--name"))) return FailedResult(err, "groups", ResultBadName);
        flags |= ListExact;
    }
    ServiceClient client;
    if (!ConnectOrSay(client, "groups", err)) return 1;
    std::vector<JobListEntry> list;
    DWORD rc = FetchGroupList(client, key, flags, list);
    if (rc != 0) return FailedResult(err, "groups", rc);
    // Every limit a group has is its rule's: the settings come from there.
    std::vector<JobSummary> rules;
    JobSummary ruleKey{};
    if ((rc = FetchGroupSummaries(client, ruleKey, 0, rules)) != 0) return FailedResult(err, "groups", rc);
    auto ruleOf = [&rules](const JobListEntry& e) -> const JobSummary* {
        for (const JobSummary& r : rules)
            if (std::memcmp(r.name, e.name, sizeof(e.name)) == 0) return &r;
        return nullptr;
    };

    if (a.Has("--json")) {
        std::string j = "[";
        for (size_t i = 0; i < list.size(); ++i) {
            const JobListEntry& e = list[i];
            std::string io = "[";
            for (int k = 0; k < 6; ++k) io += (k > 0 ? ", " : "") + std::to_string(e.io[k]);
            j += std::string(i > 0 ? ",\n " : "") + "{\"name\": " + JsonString(FieldText(e.name, kNameUnits)) +
                 ", \"listFlags\": " + std::to_string(e.listFlags) + ", \"flags\": " + FlagWordsJson(e.listFlags) +
                 ", \"priority\": " + std::to_string(e.priority) +
                 ", \"priorityClass\": " + JsonString(PriorityWord(e.priority)) +
                 ", \"affinity\": " + std::to_string(e.affinity) +
                 ", \"schedulingClass\": " + std::to_string(e.schedulingClass) +
                 ", \"totalUserTime\": " + std::to_string(e.totalUserTime) +
                 ", \"totalKernelTime\": " + std::to_string(e.totalKernelTime) +
                 ", \"thisPeriodUserTime\": " + std::to_string(e.thisPeriodUserTime) +
                 ", \"thisPeriodKernelTime\": " + std::to_string(e.thisPeriodKernelTime) +
                 ", \"pageFaults\": " + std::to_string(e.pageFaults) +
                 ", \"totalProcesses\": " + std::to_string(e.totalProcesses) +
                 ", \"activeProcesses\": " + std::to_string(e.activeProcesses) +
                 ", \"terminatedProcesses\": " + std::to_string(e.terminatedProcesses) + ", \"io\": " + io + "]" +
                 ", \"peakProcessMemory\": " + std::to_string(e.peakProcessMemory) +
                 ", \"peakGroupMemory\": " + std::to_string(e.peakGroupMemory);
            const JobSummary* rule = ruleOf(e);
            j += std::string(", \"settings\": {") +
                 (rule != nullptr ? SettingsJson(RuleKind::Group, rule->mgmt, nullptr) : std::string()) + "}}";
        }
        Write(out, j + "]\n");
        return 0;
    }
    std::vector<std::vector<std::string>> rows = {{"NAME", "FLAGS", "PRIORITY", "CPUS", "ACTIVE", "TOTAL", "ENDED",
                                                   "USER-S", "KERNEL-S", "PEAK-PROC", "PEAK-GROUP", "SETTINGS"}};
    for (const JobListEntry& e : list) {
        bool running = (e.listFlags & RunningNow) != 0;
        auto live = [running](const std::string& s) { return running ? s : std::string("-"); };
        rows.push_back({FieldText(e.name, kNameUnits), FlagLetters(e.listFlags), live(PriorityWord(e.priority)),
                        live(CpuListText(e.affinity)), live(std::to_string(e.activeProcesses)),
                        live(std::to_string(e.totalProcesses)), live(std::to_string(e.terminatedProcesses)),
                        live(CpuSecondsText(e.totalUserTime)), live(CpuSecondsText(e.totalKernelTime)),
                        live(SizeText(e.peakProcessMemory)), live(SizeText(e.peakGroupMemory)),
                        ruleOf(e) != nullptr ? SettingsText(RuleKind::Group, ruleOf(e)->mgmt, nullptr) : "-"});
    }
    Write(out, Table(rows));
    return 0;
}

int RunKillCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {"--any"}, {"--created"}, a, error)) return Failed(err, "kill", error);
    if (a.Has("--help")) {
        Write(out, kKillUsage);
        return 0;
    }
    if (a.positional.size() != 1) return Failed(err, "kill", "give one PID (zembrikctl kill --help)");
    ULONGLONG pid = 0;
    if (!ParseNumber(a.positional[0], 1, 0xFFFFFFFFULL, pid, error)) return Failed(err, "kill", "PID: " + error);
    std::string what = "kill " + std::to_string(pid);
    bool any = a.Has("--any") || ToLowerAscii(a.Get("--created")) == "any";
    ULONGLONG created = 0;
    if (any) {
        created = AnyCreationTime;
    } else if (a.Has("--created")) {
        if (!ParseNumber(a.Get("--created"), 1, ~0ULL, created, error)) return Failed(err, what, "--created: " + error);
    }
    ServiceClient client;
    if (!ConnectOrSay(client, what, err)) return 1;
    if (created == 0) {
        ProcListEntry e{};
        bool present = false;
        DWORD rc = FindProcess(client, static_cast<DWORD>(pid), e, present);
        if (rc != 0) return FailedResult(err, what, rc);
        if (!present) return FailedResult(err, what, ResultNotFound);
        created = e.creationTime;
    }
    Reply reply;
    DWORD rc = client.Call(ProcKill(static_cast<DWORD>(pid), created), reply);
    if (rc != 0) return FailedResult(err, what, rc);
    return 0;
}

int RunKillGroupCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {}, {}, a, error)) return Failed(err, "kill-group", error);
    if (a.Has("--help")) {
        Write(out, kKillGroupUsage);
        return 0;
    }
    if (a.positional.size() != 1) return Failed(err, "kill-group", "give one group NAME (zembrikctl kill-group --help)");
    std::string what = "kill-group " + OneLine(a.positional[0]);
    WCHAR name[kNameUnits] = {};
    if (!SetField(name, kNameUnits, a.positional[0]) || name[0] == 0) return FailedResult(err, what, ResultBadName);
    ServiceClient client;
    if (!ConnectOrSay(client, what, err)) return 1;
    Reply reply;
    DWORD rc = client.Call(GroupKill(name), reply);
    if (rc != 0) return FailedResult(err, what, rc);
    return 0;
}

}  // namespace zctl
