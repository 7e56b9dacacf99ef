// The job monitor's CPU use for idle groups: 100 job objects with one idle
// member each and a completion port, against the same process with no jobs
// (the baseline, Arg 0), measured as CPU time of this process over the same
// wall time once the monitor's first looks are over. per_group_us_per_s is
// the growth per idle group over the baseline.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/state_root.h"
#include "pal/iocp.h"
#include "pal/job.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace {

double CpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds this process used per wall second over `window`.
double CpuShare(std::chrono::milliseconds window) {
    double before = CpuSeconds();
    std::this_thread::sleep_for(window);
    return (CpuSeconds() - before) / (static_cast<double>(window.count()) / 1000.0);
}

void BM_IdleGroups(benchmark::State& state) {
    if (geteuid() != 0) {
        state.SkipWithError("job objects need root (writable cgroups)");
        return;
    }
    const int groups = static_cast<int>(state.range(0));
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    std::vector<HANDLE> jobs, procs;
    for (int i = 0; i < groups; ++i) {
        std::u16string name = u"Kvjob_bench" + pal::ToUtf16(std::to_string(i));
        HANDLE job = CreateJobObjectW(nullptr, name.c_str());
        if (job == nullptr) break;
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT assoc{reinterpret_cast<PVOID>(static_cast<uintptr_t>(i + 1)), port};
        SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &assoc, sizeof(assoc));
        WCHAR cmd[] = u"sleep 3600";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(u"\\bin\\sleep", cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            AssignProcessToJobObject(job, pi.hProcess);
            procs.push_back(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        jobs.push_back(job);
    }
    if (static_cast<int>(jobs.size()) != groups) state.SkipWithError("could not create every job");
    // The first look at each new member is the assignment's cost, not idle cost.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double share = 0;
    int rounds = 0;
    for (auto _ : state) {
        share += CpuShare(std::chrono::milliseconds(1000));
        ++rounds;
    }
    // Members end first, so each job's cgroup is empty when its last handle goes.
    for (HANDLE job : jobs) TerminateJobObject(job, 1);
    for (HANDLE p : procs) {
        WaitForSingleObject(p, 5000);
        CloseHandle(p);
    }
    for (HANDLE job : jobs) CloseHandle(job);
    CloseHandle(port);
    static double baseline = 0;  // Arg 0 runs first
    if (rounds == 0) return;
    double msPerS = share / rounds * 1000.0;
    if (groups == 0) baseline = msPerS;
    state.counters["cpu_ms_per_s"] = msPerS;
    state.counters["baseline_ms_per_s"] = baseline;
    if (groups > 0) state.counters["per_group_us_per_s"] = (msPerS - baseline) * 1000.0 / groups;
}
BENCHMARK(BM_IdleGroups)->Arg(0)->Arg(100)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The job objects live in the cgroup subtree of this state root.
    return bench::RunInStateRoot(argc, argv, [](const std::string&) {
        benchmark::RunSpecifiedBenchmarks();
        return 0;
    });
}
