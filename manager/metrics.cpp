// The manager's part of the metrics file: one family at a time over every
// group (the format wants a family's samples together), then the pass.
#include <string>
#include <vector>

#include "common/prom_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/job.h"
#include "pal/strings.h"

namespace {

// 100 ns units to seconds.
double Seconds(LONGLONG hundredNs) { return static_cast<double>(hundredNs) / 1e7; }

const char* const kHitKindNames[kLimitHitKinds] = {"group_time", "process_time", "process_count", "process_memory",
                                                   "group_memory"};

}  // namespace

void ZembrikMgr::AppendMetrics(PromText& out) {
    EnterCriticalSection(&lock_);
    std::vector<std::string> names;
    for (ManagedJob* j = jobs_; j != nullptr; j = j->next) names.push_back(pal::ToUtf8(j->groupName));
    // Runs `sample` for every group with its label value.
    auto each = [&](auto sample) {
        size_t i = 0;
        for (ManagedJob* j = jobs_; j != nullptr; j = j->next) sample(*j, names[i++]);
    };
    out.Family("zembrik_group_processes", "Processes running in the group.", "gauge");
    each([&](ManagedJob& j, const std::string& g) {
        out.Sample({{"group", g}}, static_cast<ULONGLONG>(j.accounting.BasicInfo.ActiveProcesses));
    });
    out.Family("zembrik_group_processes_started_total", "Processes that have been members of the group.", "counter");
    each([&](ManagedJob& j, const std::string& g) {
        out.Sample({{"group", g}}, static_cast<ULONGLONG>(j.accounting.BasicInfo.TotalProcesses));
    });
    out.Family("zembrik_group_processes_ended_total", "Members ended by the group (a limit, or the group ended).",
               "counter");
    each([&](ManagedJob& j, const std::string& g) {
        out.Sample({{"group", g}}, static_cast<ULONGLONG>(j.accounting.BasicInfo.TotalTerminatedProcesses));
    });
    out.Family("zembrik_group_cpu_seconds_total", "CPU time of the group's members, by mode.", "counter");
    each([&](ManagedJob& j, const std::string& g) {
        out.Sample({{"group", g}, {"mode", "user"}}, Seconds(j.accounting.BasicInfo.TotalUserTime.QuadPart));
        out.Sample({{"group", g}, {"mode", "kernel"}}, Seconds(j.accounting.BasicInfo.TotalKernelTime.QuadPart));
    });
    out.Family("zembrik_group_process_memory_peak_bytes", "The most memory one member of the group has used.",
               "gauge");
    each([&](ManagedJob& j, const std::string& g) {
        out.Sample({{"group", g}}, static_cast<ULONGLONG>(j.limits.PeakProcessMemoryUsed));
    });
    out.Family("zembrik_group_memory_peak_bytes", "The most memory the group's members have used together.", "gauge");
    each([&](ManagedJob& j, const std::string& g) {
        out.Sample({{"group", g}}, static_cast<ULONGLONG>(j.limits.PeakJobMemoryUsed));
    });
    // Limits by unit; a group without a limit has no sample of it.
    out.Family("zembrik_group_limit_processes", "The group's limit on running members.", "gauge");
    each([&](ManagedJob& j, const std::string& g) {
        const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = j.limits.BasicLimitInformation;
        if ((b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0)
            out.Sample({{"group", g}}, static_cast<ULONGLONG>(b.ActiveProcessLimit));
    });
    out.Family("zembrik_group_limit_seconds", "The group's user CPU time limits, by kind.", "gauge");
    each([&](ManagedJob& j, const std::string& g) {
        const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = j.limits.BasicLimitInformation;
        if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_TIME) != 0)
            out.Sample({{"group", g}, {"kind", "process_time"}}, Seconds(b.PerProcessUserTimeLimit.QuadPart));
        if ((b.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME) != 0)
            out.Sample({{"group", g}, {"kind", "group_time"}}, Seconds(b.PerJobUserTimeLimit.QuadPart));
    });
    out.Family("zembrik_group_limit_bytes", "The group's memory limits, by kind.", "gauge");
    each([&](ManagedJob& j, const std::string& g) {
        DWORD flags = j.limits.BasicLimitInformation.LimitFlags;
        if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0)
            out.Sample({{"group", g}, {"kind", "process_memory"}}, static_cast<ULONGLONG>(j.limits.ProcessMemoryLimit));
        if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0)
            out.Sample({{"group", g}, {"kind", "group_memory"}}, static_cast<ULONGLONG>(j.limits.JobMemoryLimit));
    });
    out.Family("zembrik_group_limit_hits_total", "Times the group's members ran into a limit, by kind.", "counter");
    each([&](ManagedJob& j, const std::string& g) {
        for (DWORD k = 0; k < kLimitHitKinds; ++k) out.Sample({{"group", g}, {"kind", kHitKindNames[k]}}, j.limitHits[k]);
    });
    out.Single("zembrik_groups", "Process groups under management.", "gauge", static_cast<ULONGLONG>(jobCount_));
    out.Single("zembrik_managed_processes", "Processes under management.", "gauge", static_cast<ULONGLONG>(procCount_));
    out.Single("zembrik_discovered_processes", "Processes the last pass found running.", "gauge",
               static_cast<ULONGLONG>(rawCount_));
    out.Single("zembrik_pass_duration_seconds", "How long the last management pass took.", "gauge",
               static_cast<double>(lastPassNs_) / 1e9);
    out.Single("zembrik_passes_total", "Management passes run.", "counter", passes_);
    LeaveCriticalSection(&lock_);
}
