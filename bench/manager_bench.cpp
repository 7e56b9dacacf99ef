// Cost per process of the manager's two passes with 500, 2,000 and 8,000
// extra idle processes (the scaling table: the cost per process stays flat),
// 50 alias rules and 200 process rules loaded: one Discover() and one
// ApplyRules(), in steady state (the processes known from the discovery
// before). The baseline, in the same iteration, reads /proc/<pid>/stat of the
// processes the discovery kept.
//
// The idle processes run copies of /bin/sleep named worker0..worker9, so the
// alias rules name some of them and ten process rules match all of them.
// Those rules ask for the priority or affinity the workers already have:
// the pass does all its reading and deciding but changes nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

#include "bench/alias_rules.h"
#include "bench/paired.h"
#include "bench/state_root.h"
#include "common/messages.h"
#include "common/texts.h"
#include "wire/priority.h"
#include "wire/rule_records.h"
#include "db/zembrik_db.h"
#include "manager/zembrik_mgr.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"

namespace {

constexpr size_t kSizes[] = {500, 2000, 8000};
constexpr int kWorkerNames = 10;
constexpr int kProcRules = 200;

// Idle children running the worker copies; each killed and reaped by its pid.
// They die with us should we crash, instead of living on unreaped.
class Workers {
public:
    explicit Workers(const std::string& folder) : folder_(folder) {}
    // Starts workers until there are `wanted`; false when that many cannot
    // run (ids or the process limit) or do not start within 60 s.
    bool Grow(size_t wanted) {
        struct rlimit lim;
        if (getrlimit(RLIMIT_NPROC, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && wanted + 500 > lim.rlim_cur)
            return false;
        if (FILE* f = fopen("/proc/sys/kernel/pid_max", "r")) {
            unsigned long max = 0;
            bool read = fscanf(f, "%lu", &max) == 1;
            fclose(f);
            if (read && wanted + 2000 > max) return false;
        }
        pid_t parent = getpid();
        size_t first = pids_.size();
        for (size_t i = pids_.size(); i < wanted; ++i) {
            std::string name = "worker" + std::to_string(i % kWorkerNames);
            std::string path = folder_ + "/" + name;
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent) _exit(1);
                execl(path.c_str(), name.c_str(), "3600", static_cast<char*>(nullptr));
                _exit(127);
            }
            if (pid < 0) return false;
            pids_.push_back(pid);
        }
        return AllStarted(first, std::chrono::seconds(60));
    }
    ~Workers() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) {
            int status;
            waitpid(pid, &status, 0);
        }
    }
    // True once every worker runs its copy (the name comes from /proc/<pid>/exe).
    bool AllStarted(size_t first, std::chrono::seconds limit) const {
        auto until = std::chrono::steady_clock::now() + limit;
        for (size_t i = first; i < pids_.size(); ++i) {
            pid_t pid = pids_[i];
            std::string link = "/proc/" + std::to_string(pid) + "/exe";
            for (;;) {
                char target[512];
                ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
                if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(folder_, 0) == 0) break;
                if (std::chrono::steady_clock::now() > until) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return true;
    }
    size_t count() const { return pids_.size(); }

private:
    std::string folder_;
    std::vector<pid_t> pids_;
};

Workers* g_workers = nullptr;

using bench::U16;

bool AddProcRule(ZembrikDb& db, const std::u16string& name, DWORD flags, DWORD priority, ULONGLONG affinity) {
    std::vector<BYTE> bytes(kProcDetailFixedSize + 1, 0);
    auto* d = reinterpret_cast<ProcDetail*>(bytes.data());
    lstrcpynW(d->summary.name, name.c_str(), 64);
    d->summary.mgmt.mgmtFlags = flags;
    d->summary.mgmt.priority = priority;
    d->summary.mgmt.affinity = affinity;
    return db.AddProcRule(d) == 0;
}

// Process rules: ten for the worker names (as the alias rules name them),
// asking for what the workers already have; the rest for names not running.
bool AddProcRules(ZembrikDb& db) {
    DWORD priority = PriorityNumberOfClass(GetPriorityClass(GetCurrentProcess()));
    DWORD_PTR mask = 0, system = 0;
    if (priority == 0 || !GetProcessAffinityMask(GetCurrentProcess(), &mask, &system)) return false;
    for (int k = 0; k < kWorkerNames; ++k) {
        std::u16string name = U16(k < 5 ? "Wk" + std::to_string(k) : "worker" + std::to_string(k));
        bool ok = k % 2 == 0 ? AddProcRule(db, name, ApplyPriority, priority, 0)
                             : AddProcRule(db, name, ApplyAffinity, 0, mask);
        if (!ok) return false;
    }
    for (int i = 0; i < kProcRules - kWorkerNames; ++i) {
        std::u16string name = U16("Absent" + std::to_string(i));
        if (!AddProcRule(db, name, i % 2 == 0 ? ApplyPriority : ApplyAffinity, priority, mask)) return false;
    }
    return true;
}

ZembrikMgr* g_manager = nullptr;
std::vector<DWORD> g_ids;

// The pids the last discovery kept, for the baseline.
void TakeIds() {
    g_ids.clear();
    EnterCriticalSection(&g_manager->Lock());
    for (DWORD i = 0; i < g_manager->RawCount(); ++i) g_ids.push_back(g_manager->RawProcs()[i].pid);
    LeaveCriticalSection(&g_manager->Lock());
}

bool FloorPass() { return bench::ReadStatFiles(g_ids); }

// Per-process figures from the medians of RunPaired.
void PerProcess(benchmark::State& state, size_t processes) {
    state.counters["processes"] = double(processes);
    if (processes == 0 || state.counters.find("pal_med_ns") == state.counters.end()) return;
    state.counters["mgr_us_per_proc"] = state.counters["pal_med_ns"] / 1000.0 / double(processes);
    state.counters["floor_us_per_proc"] = state.counters["raw_med_ns"] / 1000.0 / double(processes);
}

bool GrowWorkers(benchmark::State& state) {
    size_t wanted = static_cast<size_t>(state.range(0));
    if (g_workers->Grow(wanted)) return true;
    state.SkipWithError("cannot start that many idle processes (pid_max, RLIMIT_NPROC)");
    return false;
}

void BM_Discover(benchmark::State& state) {
    if (!GrowWorkers(state)) return;
    g_manager->Discover();  // the processes become known: what follows is the steady state
    TakeIds();
    bench::RunPaired(
        state,
        [] {
            g_manager->Discover();
            return g_manager->RawCount() > 0;
        },
        FloorPass, "a discovery or floor pass failed", "floor_pass/s");
    PerProcess(state, g_ids.size());
}

void BM_ApplyRules(benchmark::State& state) {
    if (!GrowWorkers(state)) return;
    g_manager->Discover();
    TakeIds();
    bench::RunPaired(
        state,
        [] {
            g_manager->ApplyRules();
            return g_manager->ProcCount() > 0;
        },
        FloorPass, "a rule or floor pass failed", "floor_pass/s");
    PerProcess(state, g_ids.size());
    // The rules ask for what the workers have: nothing may have been changed
    // or reported as failed.
    DWORD changed = 0, reported = 0;
    EnterCriticalSection(&g_manager->Lock());
    for (ManagedProc* p = g_manager->Procs(); p != nullptr; p = p->next) {
        if (p->appliedFlags != 0) ++changed;
        if (p->reportedFlags != 0) ++reported;
    }
    state.counters["managed"] = double(g_manager->ProcCount());
    LeaveCriticalSection(&g_manager->Lock());
    state.counters["changed"] = double(changed);
    state.counters["reported"] = double(reported);
}

// Both passes at each size, smallest first: the workers only grow.
void RegisterScaling() {
    for (size_t size : kSizes) {
        benchmark::RegisterBenchmark("BM_Discover", BM_Discover)
            ->ArgName("idle")->Arg(static_cast<int64_t>(size))->UseManualTime()->MinTime(2.0)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ApplyRules", BM_ApplyRules)
            ->ArgName("idle")->Arg(static_cast<int64_t>(size))->UseManualTime()->MinTime(2.0)
            ->Unit(benchmark::kMillisecond);
    }
}

// Everything the benchmarks share: copies, workers, rules, the manager.
int RunWithWorkers(const std::string& root) {
    std::string folder = root + "/bin";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    for (int k = 0; k < kWorkerNames; ++k) {
        std::string copy = folder + "/worker" + std::to_string(k);
        if (!std::filesystem::copy_file("/bin/sleep", copy, ec)) {
            fprintf(stderr, "cannot copy /bin/sleep: %s\n", ec.message().c_str());
            return 1;
        }
        std::filesystem::permissions(copy, std::filesystem::perms::owner_all, ec);
    }
    // Grown by the benchmarks on this (the main) thread: a worker dies with
    // the thread that started it.
    Workers workers(folder);
    g_workers = &workers;
    RegisterScaling();

    RegisterProgramResources();
    LoadTexts();
    ZembrikDb db;
    if (!db.IsReady() || db.LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules) != 0 ||
        !bench::AddAliasRules(db) || !AddProcRules(db)) {
        fprintf(stderr, "cannot build the rule database\n");
        return 1;
    }
    // Read back from the registry, as the service does when it starts.
    if (db.LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules) != 0 ||
        db.AliasCount() != bench::kAliasRules + 1 || db.ProcCount() != kProcRules) {
        fprintf(stderr, "rules reloaded: %u alias, %u process\n", db.AliasCount(), db.ProcCount());
        return 1;
    }
    ManagerContext context{};
    context.database = &db;
    ZembrikMgr manager(&context);
    if (!manager.IsReady()) {
        fprintf(stderr, "the manager is not ready\n");
        return 1;
    }
    g_manager = &manager;
    benchmark::RunSpecifiedBenchmarks();
    g_manager = nullptr;
    g_workers = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunInStateRoot(argc, argv, RunWithWorkers); }
