// zembrikctl status: the service at a glance, and the service's processes
// as the status view and the live view find them.
#include <chrono>
#include <cstring>
#include <vector>

#include "client/service_commands.h"
#include "common/messages.h"
#include "pal/error.h"
#include "pal/process.h"
#include "pal/service.h"
#include "pal/stateroot.h"
#include "pal/sync.h"
#include "wire/shared_job_table.h"

namespace zctl {

const char kStatusSummary[] = "the service at a glance: state, pids, uptime, groups";

namespace {

const char kStatusUsage[] =
    "Usage: zembrikctl status [--json]\n"
    "\n"
    "Shows whether the service runs, its pid, since when, its mediator's pid,\n"
    "the state root, the poll interval, and how many groups and processes it\n"
    "manages. Exit status 0 when it runs, 3 when it does not, 1 on an error.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON object for scripts\n"
    "  -h, --help   this text\n";

constexpr char kMediatorCommand[] = "ZembrikMD8";
constexpr ULONGLONG kUnixEpochFileTime = 116444736000000000ULL;

// The mediator: the holder of its single-instance event that runs the
// mediator's program (the service may hold the event too, to test it).
DWORD FindMediator(DWORD servicePid) {
    DWORD pids[16];
    DWORD found = 0;
    if (!PalGetNamedEventHolders(kMediatorOnlyMeName, pids, 16, &found)) return 0;
    for (DWORD i = 0; i < found && i < 16; ++i) {
        PAL_PROCESS_FACTS f{};
        if (pids[i] == servicePid || !PalQueryProcessFacts(pids[i], &f)) continue;
        if ((f.flags & PAL_PROCESS_ENDED) == 0 && std::strcmp(f.commandName, kMediatorCommand) == 0) return pids[i];
    }
    return 0;
}

const char* StateWord(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSED: return "paused";
    default: return "pausing";
    }
}

}  // namespace

ULONGLONG FileTimeValue(const FILETIME& t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

ULONGLONG NowFileTime() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochFileTime +
           static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::microseconds>(since).count()) * 10ULL;
}

std::string UptimeText(ULONGLONG hundredNs) {
    ULONGLONG s = hundredNs / 10000000ULL;
    ULONGLONG d = s / 86400, h = s / 3600 % 24, m = s / 60 % 60;
    if (d > 0) return std::to_string(d) + "d " + std::to_string(h) + "h " + std::to_string(m) + "m";
    if (h > 0) return std::to_string(h) + "h " + std::to_string(m) + "m";
    if (m > 0) return std::to_string(m) + "m " + std::to_string(s % 60) + "s";
    return std::to_string(s) + "s";
}

DWORD QueryServiceProcesses(ServiceProcesses& out) {
    out = ServiceProcesses{};
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr) return GetLastError();
    SC_HANDLE service = OpenServiceW(scm, kServiceName, SERVICE_QUERY_STATUS);
    DWORD rc = service == nullptr ? GetLastError() : 0;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (rc == 0 && !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                         sizeof(status), &needed))
        rc = GetLastError();
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(scm);
    // Never installed nor run here: stopped, as the control manager says it.
    if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    if (rc != 0) return rc;
    out.state = status.dwCurrentState;
    out.exitCode = status.dwWin32ExitCode;
    out.pid = status.dwProcessId;
    PAL_PROCESS_FACTS f{};
    if (out.pid != 0 && PalQueryProcessFacts(out.pid, &f)) {
        out.started = FileTimeValue(f.creationTime);
        out.mediatorPid = FindMediator(out.pid);
    }
    return 0;
}

int RunStatusCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    int status = 0;
    if (!ParseCommandArgs("status", args, {"--json"}, {}, kStatusUsage, a, out, err, status)) return status;
    ServiceProcesses sp;
    DWORD rc = QueryServiceProcesses(sp);
    if (rc != 0) return FailedResult(err, "status", rc);
    bool running = sp.state != SERVICE_STOPPED;

    // What only the running service can tell; absent when it does not answer.
    ServiceInfo info{};
    std::vector<JobListEntry> groups;
    std::vector<ProcListEntry> procs;
    bool answered = false;
    if (running) {
        ServiceClient client;
        if (client.Connect() == 0 && GetServiceInfo(client, info) == 0) {
            JobListEntry gkey{};
            ProcListEntry pkey{};
            answered = FetchGroupList(client, gkey, 0, groups) == 0 &&
                       FetchProcList(client, pkey, ListRunningOnly, procs) == 0;
        }
    }
    size_t runningGroups = 0, managed = 0, inGroups = 0;
    for (const JobListEntry& g : groups) runningGroups += (g.listFlags & RunningNow) != 0;
    for (const ProcListEntry& p : procs) {
        if ((p.listFlags & RunningNow) == 0) continue;
        managed += (p.listFlags & (RuleInEffect | InManagedGroup)) != 0;
        inGroups += (p.listFlags & InManagedGroup) != 0;
    }
    ULONGLONG now = NowFileTime();
    ULONGLONG up = sp.started != 0 && now > sp.started ? now - sp.started : 0;

    if (a.Has("--json")) {
        std::string j = "{\"state\": " + JsonString(StateWord(sp.state)) + ", \"pid\": " + std::to_string(sp.pid) +
                        ", \"started\": " + JsonString(sp.started != 0 ? FileTimeText(sp.started) : "") +
                        ", \"uptimeSeconds\": " + std::to_string(up / 10000000ULL) +
                        ", \"mediatorPid\": " + std::to_string(sp.mediatorPid) +
                        ", \"stateRoot\": " + JsonString(PalStateRootPath()) + ", \"answers\": " +
                        (answered ? "true" : "false");
        if (answered)
            j += ", \"pollSeconds\": " + std::to_string(info.pollSeconds) + ", \"groups\": " +
                 std::to_string(groups.size()) + ", \"runningGroups\": " + std::to_string(runningGroups) +
                 ", \"managedProcesses\": " + std::to_string(managed) +
                 ", \"processesInGroups\": " + std::to_string(inGroups);
        Write(out, j + "}\n");
        return running ? 0 : 3;
    }
    std::string state = StateWord(sp.state);
    if (running && sp.started != 0) state += " since " + FileTimeText(sp.started) + " (up " + UptimeText(up) + ")";
    if (!running && sp.exitCode == ERROR_PROCESS_ABORTED) state += " (it ended without stopping)";
    std::vector<std::vector<std::string>> rows = {{"State:", state}};
    if (running) {
        rows.push_back({"Pid:", std::to_string(sp.pid)});
        rows.push_back({"Mediator:", sp.mediatorPid != 0 ? "pid " + std::to_string(sp.mediatorPid) : "not running"});
    }
    rows.push_back({"State root:", PalStateRootPath()});
    if (answered) {
        rows.push_back({"Poll:", "every " + std::to_string(info.pollSeconds) + " s"});
        rows.push_back({"Groups:", std::to_string(runningGroups) + " running, " + std::to_string(groups.size()) +
                                       " known"});
        rows.push_back({"Processes:", std::to_string(managed) + " managed, " + std::to_string(inGroups) +
                                          " in groups, " + std::to_string(procs.size()) + " running"});
    } else if (running) {
        rows.push_back({"Requests:", "no answer on its pipe"});
    }
    Write(out, "Zembrik process-control service\n");
    std::string table = Table(rows);
    std::string indented;
    for (size_t start = 0; start < table.size();) {
        size_t end = table.find('\n', start);
        indented += "  " + table.substr(start, end - start + 1);
        start = end + 1;
    }
    Write(out, indented);
    return running ? 0 : 3;
}

}  // namespace zctl
