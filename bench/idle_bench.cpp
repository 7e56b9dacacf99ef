// What the idle service costs: the real service (and the mediator it starts)
// with 100 groups of one sleeping member each, half of them with a 1-hour
// group time limit, polling every 60 s. Measured as CPU time from
// /proc/<pid>/stat (utime + stime) of both processes over a 10 s window once
// every group is made; the more exact sum of the threads' run time
// (/proc/<pid>/task/*/schedstat) beside it. The baseline is a process that
// sleeps, measured over the same window: 0.
//
// The members run copies of /bin/sleep named zbidle000..zbidle099, each
// named by a process rule that puts it into its own group.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/state_root.h"
#include "common/messages.h"
#include "common/texts.h"
#include "wire/rule_records.h"
#include "db/zembrik_db.h"
#include "pal/job.h"
#include "pal/mapping.h"
#include "pal/pipe.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "wire/request_protocol.h"
#include "wire/shared_job_table.h"

namespace {

constexpr int kGroups = 100;
constexpr int kWindowMs = 10000;
constexpr LONGLONG kHour100ns = 3600LL * 10000000LL;

std::string Name(const char* prefix, int i) {
    char text[32];
    snprintf(text, sizeof(text), "%s%03d", prefix, i);
    return text;
}

// utime + stime of a whole process, in seconds.
double StatSeconds(pid_t pid) {
    char path[64], buf[1024];
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) return 0;
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    if (p == nullptr) return 0;
    unsigned long long ut = 0, st = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2) return 0;
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Run time of the live threads of a process, in seconds (ns exact).
double RunSeconds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    double total = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        FILE* f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "re");
        if (f == nullptr) continue;
        unsigned long long ns = 0;
        if (fscanf(f, "%llu", &ns) == 1) total += static_cast<double>(ns) / 1e9;
        fclose(f);
    }
    closedir(d);
    return total;
}

pid_t StartChild(const std::string& path, const char* name, const char* arg) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(path.c_str(), name, arg, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

bool InGroup(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/cgroup", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof(line), f) != nullptr) found = strncmp(line, "0::", 3) == 0 && strstr(line, "/Kvjob_") != nullptr;
    fclose(f);
    return found;
}

bool AddRules() {
    ZembrikDb db;
    if (!db.IsReady() || db.LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules) != 0) return false;
    if (db.PollMilliseconds() != 60000) return false;  // the default, written at the first start
    for (int i = 0; i < kGroups; ++i) {
        std::u16string group = pal::ToUtf16(Name("Idle", i));
        std::vector<BYTE> gbytes(kJobDetailFixedSize + 1, 0);
        auto* g = reinterpret_cast<JobDetail*>(gbytes.data());
        lstrcpynW(g->summary.name, group.c_str(), 64);
        if (i % 2 == 0) {
            g->summary.mgmt.mgmtFlags = LimitGroupTime;
            g->summary.mgmt.groupTimeLimit = kHour100ns;
        }
        if (db.AddGroupRule(g) != 0) return false;
        std::vector<BYTE> pbytes(kProcDetailFixedSize + 1, 0);
        auto* p = reinterpret_cast<ProcDetail*>(pbytes.data());
        lstrcpynW(p->summary.name, pal::ToUtf16(Name("zbidle", i)).c_str(), 64);
        lstrcpynW(p->summary.memberOf, group.c_str(), 64);
        p->summary.mgmt.mgmtFlags = JoinGroup;
        if (db.AddProcRule(p) != 0) return false;
    }
    return true;
}

pid_t g_service = 0, g_mediator = 0, g_sleeper = 0;

void BM_IdleService(benchmark::State& state) {
    for (auto _ : state) {
        double service0 = StatSeconds(g_service), mediator0 = StatSeconds(g_mediator), sleeper0 = StatSeconds(g_sleeper);
        double serviceRun0 = RunSeconds(g_service), mediatorRun0 = RunSeconds(g_mediator);
        auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(kWindowMs));
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        double service = (StatSeconds(g_service) - service0) / wall * 1000.0;
        double mediator = (StatSeconds(g_mediator) - mediator0) / wall * 1000.0;
        double serviceRun = (RunSeconds(g_service) - serviceRun0) / wall * 1000.0;
        double mediatorRun = (RunSeconds(g_mediator) - mediatorRun0) / wall * 1000.0;
        state.counters["service_ms_per_s"] = service;
        state.counters["mediator_ms_per_s"] = mediator;
        state.counters["total_ms_per_s"] = service + mediator;
        state.counters["total_run_ms_per_s"] = serviceRun + mediatorRun;
        state.counters["per_group_us_per_s"] = (serviceRun + mediatorRun) * 1000.0 / kGroups;
        state.counters["baseline_ms_per_s"] = (StatSeconds(g_sleeper) - sleeper0) / wall * 1000.0;
    }
}
BENCHMARK(BM_IdleService)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int RunIdle(const std::string& folder) {
    if (geteuid() != 0) {
        fprintf(stderr, "groups need root (writable cgroups)\n");
        return 1;
    }
    RegisterProgramResources();
    LoadTexts();
    if (!AddRules()) {
        fprintf(stderr, "could not write the rules\n");
        return 1;
    }
    std::vector<pid_t> members;
    for (int i = 0; i < kGroups; ++i) {
        std::string path = folder + "/" + Name("zbidle", i);
        std::error_code ec;
        std::filesystem::copy_file("/bin/sleep", path, ec);
        chmod(path.c_str(), 0755);
        pid_t pid = StartChild(path, Name("zbidle", i).c_str(), "3600");
        if (pid > 0) members.push_back(pid);
    }
    g_sleeper = StartChild("/bin/sleep", "sleep", "3600");
    g_service = StartChild(ZEMBRIK_SERVICE_PATH, "ZembrikService", nullptr);
    int rc = 0;
    bool grouped = false;
    if (g_service > 0 && WaitNamedPipeW(kPipeName, 20000)) {
        for (int i = 0; i < 600 && !grouped; ++i) {
            grouped = true;
            for (pid_t pid : members) grouped = grouped && InGroup(pid);
            if (!grouped) usleep(100000);
        }
    }
    if (HANDLE m = OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZembrikMD8Jobs")) {
        if (auto* h = static_cast<const SharedJobHeader*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0))) {
            g_mediator = static_cast<pid_t>(h->mediatorPid);
            UnmapViewOfFile(h);
        }
        CloseHandle(m);
    }
    if (!grouped || g_mediator == 0) {
        fprintf(stderr, "the service did not make every group\n");
        rc = 1;
    } else {
        // The passes that made the groups, and what they set off, are over.
        std::this_thread::sleep_for(std::chrono::seconds(3));
        benchmark::RunSpecifiedBenchmarks();
    }
    for (pid_t p : members) kill(p, SIGKILL);
    for (pid_t p : members) waitpid(p, nullptr, 0);
    if (g_sleeper > 0) {
        kill(g_sleeper, SIGKILL);
        waitpid(g_sleeper, nullptr, 0);
    }
    if (g_service > 0) {
        kill(g_service, SIGTERM);
        waitpid(g_service, nullptr, 0);
    }
    // The mediator the service started outlives it: ended by the pid it recorded.
    if (HANDLE p = g_mediator != 0 ? OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(g_mediator)) : nullptr) {
        TerminateProcess(p, 1);
        WaitForSingleObject(p, 5000);
        CloseHandle(p);
    }
    // Taking each group and letting go as its last holder removes it.
    for (int i = 0; i < kGroups; ++i) {
        std::u16string job = u"Kvjob_" + pal::ToUtf16(Name("Idle", i));
        if (HANDLE h = CreateJobObjectW(nullptr, job.c_str())) CloseHandle(h);
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunInStateRoot(argc, argv, RunIdle); }
