// What clients get from the manager: the live process and group lists, and
// kills of a process or of a whole group.
#include <cstdlib>
#include <new>

#include "common/event_log.h"
#include "common/messages.h"
#include "db/priority.h"
#include "db/zembrik_db.h"
#include "manager/event_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/job.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pipe/result_codes.h"
#include "service/core.h"

namespace {

// How long a kill waits for the process to end.
constexpr DWORD kKillWaitMs = 5000;

}  // namespace

DWORD ZembrikMgr::AllocExportProcList(ProcListEntry** entries) {
    *entries = nullptr;
    DiscoverForList();
    EnterCriticalSection(&lock_);
    DWORD n = rawCount_;
    ProcListEntry* out = n > 0 ? new (std::nothrow) ProcListEntry[n]() : nullptr;
    if (out == nullptr) {
        if (n > 0) LogAllocError(u"AllocExportProcList", n * sizeof(ProcListEntry));
        LeaveCriticalSection(&lock_);
        return 0;
    }
    for (DWORD i = 0; i < n; ++i) {
        const RawProc& raw = rawProcs_[i];
        ProcListEntry& e = out[i];
        lstrcpynW(e.name, raw.procName, 64);
        e.pid = raw.pid;
        e.creationTime = FileTimeValue(raw.creationTime);
        e.userTime = raw.userTime;
        e.kernelTime = raw.kernelTime;
        e.priority = raw.priority;
        e.affinity = raw.affinity;
        lstrcpynW(e.imageName, raw.imageName, 64);
        e.listFlags = RunningNow;
        if (raw.job != nullptr) {
            e.listFlags |= InManagedGroup;
            lstrcpynW(e.groupName, raw.job->groupName, 64);
        }
    }
    LeaveCriticalSection(&lock_);
    *entries = out;
    return n;
}

DWORD ZembrikMgr::AllocJobList(JobListEntry** entries) {
    *entries = nullptr;
    DiscoverForList();
    EnterCriticalSection(&lock_);
    DWORD n = jobCount_;
    JobListEntry* out = n > 0 ? new (std::nothrow) JobListEntry[n]() : nullptr;
    if (out == nullptr) {
        if (n > 0) LogAllocError(u"AllocJobList", n * sizeof(JobListEntry));
        LeaveCriticalSection(&lock_);
        return 0;
    }
    DWORD i = 0;
    for (ManagedJob* j = jobs_; j != nullptr && i < n; j = j->next, ++i) {
        JobListEntry& e = out[i];
        const JOBOBJECT_BASIC_ACCOUNTING_INFORMATION& a = j->accounting.BasicInfo;
        const IO_COUNTERS& io = j->accounting.IoInfo;
        const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = j->limits.BasicLimitInformation;
        lstrcpynW(e.name, j->groupName, 64);
        e.totalUserTime = static_cast<ULONGLONG>(a.TotalUserTime.QuadPart);
        e.totalKernelTime = static_cast<ULONGLONG>(a.TotalKernelTime.QuadPart);
        e.thisPeriodUserTime = static_cast<ULONGLONG>(a.ThisPeriodTotalUserTime.QuadPart);
        e.thisPeriodKernelTime = static_cast<ULONGLONG>(a.ThisPeriodTotalKernelTime.QuadPart);
        e.pageFaults = a.TotalPageFaultCount;
        e.totalProcesses = a.TotalProcesses;
        e.activeProcesses = a.ActiveProcesses;
        e.terminatedProcesses = a.TotalTerminatedProcesses;
        e.io[0] = io.ReadOperationCount;
        e.io[1] = io.WriteOperationCount;
        e.io[2] = io.OtherOperationCount;
        e.io[3] = io.ReadTransferCount;
        e.io[4] = io.WriteTransferCount;
        e.io[5] = io.OtherTransferCount;
        e.peakProcessMemory = j->limits.PeakProcessMemoryUsed;
        e.peakGroupMemory = j->limits.PeakJobMemoryUsed;
        // Only the limits in force: a removed limit keeps its old value in the
        // job. Without a scheduling-class limit the group has the default class.
        e.priority = (b.LimitFlags & JOB_OBJECT_LIMIT_PRIORITY_CLASS) != 0 ? PriorityNumberOfClass(b.PriorityClass) : 0;
        e.affinity = (b.LimitFlags & JOB_OBJECT_LIMIT_AFFINITY) != 0 ? b.Affinity : 0;
        e.schedulingClass =
            (b.LimitFlags & JOB_OBJECT_LIMIT_SCHEDULING_CLASS) != 0 ? b.SchedulingClass : kDefaultSchedulingClass;
        e.listFlags = RunningNow;
    }
    qsort(out, i, sizeof(JobListEntry), [](const void* a, const void* b) {
        return PalCompareNoCase(static_cast<const JobListEntry*>(a)->name, static_cast<const JobListEntry*>(b)->name,
                                kNameCompareChars);
    });
    LeaveCriticalSection(&lock_);
    *entries = out;
    return i;
}

DWORD ZembrikMgr::KillProcess(DWORD pid, ULONGLONG creationTime) {
    DWORD rc = database_->CheckAccess(kAccessKillProcess);
    if (rc != 0) return rc;
    // Init ignores the signal, and the service and its mediator are what
    // keeps the rules in force: none of them is ended on request.
    if (pid == 1 || pid == GetCurrentProcessId() || (core_ != nullptr && pid == core_->RunningMediatorPid())) {
        SetLastError(ERROR_ACCESS_DENIED);
        LogPidError(pid, u"KillProcess");
        return ERROR_ACCESS_DENIED;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        DWORD err = GetLastError();
        return err == ERROR_INVALID_PARAMETER ? ResultNotFound : err;
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    // Without its creation time a process cannot be told from a newer one.
    bool known = GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
    if (creationTime == AnyCreationTime || (known && creationTime == FileTimeValue(created))) {
        rc = TerminateProcess(process, kKillExitCode) ? 0 : GetLastError();
        // Killed is what has ended, not what was sent a signal.
        if (rc == 0 && WaitForSingleObject(process, kKillWaitMs) != WAIT_OBJECT_0) rc = WAIT_TIMEOUT;
    } else {
        rc = ResultNotFound;
    }
    CloseHandle(process);
    if (rc == 0) {
        InsertText p = Unsigned(pid);
        LogManagerEvent(MSG_KILLED_PROCESS, EVENTLOG_INFORMATION_TYPE, {p.text});
    }
    return rc;
}

DWORD ZembrikMgr::KillGroup(const WCHAR* groupName) {
    DWORD rc = database_->CheckAccess(kAccessKillGroup);
    if (rc != 0) return rc;
    WCHAR name[64];
    lstrcpynW(name, groupName, 64);  // the request's field may lack its terminator
    EnterCriticalSection(&lock_);
    ManagedJob* job = FindJob(name);
    if (job == nullptr || job->handle == nullptr) {
        rc = ResultNotFound;
    } else {
        rc = TerminateJobObject(job->handle, kKillExitCode) ? 0 : GetLastError();
    }
    LeaveCriticalSection(&lock_);
    if (rc == 0) LogManagerEvent(MSG_KILLED_GROUP, EVENTLOG_INFORMATION_TYPE, {name});
    return rc;
}
