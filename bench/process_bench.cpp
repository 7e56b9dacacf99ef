// Cost of one discovery pass per process: EnumProcesses, then for every id
// OpenProcess, GetProcessTimes, GetPriorityClass, GetProcessAffinityMask and
// CloseHandle, with about 2,000 extra idle processes running. The baseline,
// in the same iteration, reads /proc/<pid>/stat of the same ids.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/paired.h"
#include "bench/state_root.h"
#include "pal/process.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"

namespace {

// Idle children, each waiting in pause(); all killed and reaped by pid.
class IdleProcesses {
public:
    explicit IdleProcesses(size_t wanted) {
        struct rlimit lim;
        if (getrlimit(RLIMIT_NPROC, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
            wanted = std::min<size_t>(wanted, lim.rlim_cur / 2);
        for (size_t i = 0; i < wanted; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                for (;;) pause();
            }
            if (pid < 0) break;
            pids_.push_back(pid);
        }
    }
    ~IdleProcesses() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) {
            int status;
            waitpid(pid, &status, 0);
        }
    }
    size_t count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

std::vector<DWORD> g_ids;
size_t g_counted = 0;

bool PalPass() {
    DWORD needed = 0;
    g_ids.resize(65536);
    if (!EnumProcesses(g_ids.data(), DWORD(g_ids.size() * sizeof(DWORD)), &needed)) return false;
    g_ids.resize(needed / sizeof(DWORD));
    size_t opened = 0;
    for (DWORD pid : g_ids) {
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
        if (h == nullptr) continue;  // ended meanwhile
        FILETIME c, e, k, u;
        DWORD_PTR mask = 0, system = 0;
        GetProcessTimes(h, &c, &e, &k, &u);
        benchmark::DoNotOptimize(GetPriorityClass(h));
        GetProcessAffinityMask(h, &mask, &system);
        benchmark::DoNotOptimize(mask);
        CloseHandle(h);
        ++opened;
    }
    g_counted = opened;
    return opened > 0;
}

bool RawPass() { return bench::ReadStatFiles(g_ids); }

void BM_DiscoveryPerProcess(benchmark::State& state) {
    IdleProcesses idle(static_cast<size_t>(state.range(0)));
    if (idle.count() == 0) {
        state.SkipWithError("cannot start idle processes");
        return;
    }
    PalPass();
    bench::RunPaired(state, PalPass, RawPass, "a pass failed", "raw_pass/s");
    state.counters["idle"] = double(idle.count());
    state.counters["processes"] = double(g_counted);
    if (g_counted > 0) {
        state.counters["pal_us_per_proc"] = state.counters["pal_med_ns"] / 1000.0 / double(g_counted);
        state.counters["raw_us_per_proc"] = state.counters["raw_med_ns"] / 1000.0 / double(g_counted);
    }
}
BENCHMARK(BM_DiscoveryPerProcess)->ArgName("idle")->Arg(2000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
