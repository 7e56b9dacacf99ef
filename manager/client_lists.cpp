// What clients get from the manager: the live process and group lists, and
// kills of a process or of a whole group.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/event_log.h"
#include "common/messages.h"
#include "wire/priority.h"
#include "db/zembrik_db.h"
#include "manager/event_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/job.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "wire/result_codes.h"

namespace {

// How long a kill waits for the process to end.
constexpr DWORD kKillWaitMs = 5000;

}  // namespace

namespace {

void ToListEntry(const RawProc& raw, ProcListEntry& e) {
    e = ProcListEntry{};
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

// The published entry of a pid, or null.
ProcListEntry* FindEntry(std::vector<ProcListEntry>& list, ULONGLONG pid) {
    auto it = std::lower_bound(list.begin(), list.end(), pid,
                               [](const ProcListEntry& e, ULONGLONG p) { return e.pid < p; });
    return it != list.end() && it->pid == pid ? &*it : nullptr;
}

}  // namespace

// Called with the list lock held.
void ZembrikMgr::EndDiscovery(std::vector<ProcListEntry>& entries) {
    list_.swap(entries);
    listTick_ = GetTickCount64();
    ++listSerial_;
    ++listVersion_;
    --walksRunning_;
    listDone_.notify_all();
}

// Called with the manager lock held.
void ZembrikMgr::PublishRawList() {
    std::vector<ProcListEntry> entries(rawCount_);
    for (DWORD i = 0; i < rawCount_; ++i) ToListEntry(rawProcs_[i], entries[i]);
    std::lock_guard<std::mutex> guard(listLock_);
    EndDiscovery(entries);
}

void ZembrikMgr::PublishWalk(RawProc* procs, DWORD count) {
    std::vector<ProcListEntry> entries(count);
    for (DWORD i = 0; i < count; ++i) ToListEntry(procs[i], entries[i]);
    delete[] procs;
    std::lock_guard<std::mutex> guard(listLock_);
    // The groups as the list being replaced has them (a pass keeps them up).
    size_t old = 0;
    for (ProcListEntry& e : entries) {
        while (old < list_.size() && list_[old].pid < e.pid) ++old;
        if (old == list_.size()) break;
        const ProcListEntry& o = list_[old];
        if (o.pid != e.pid || o.creationTime != e.creationTime || (o.listFlags & InManagedGroup) == 0) continue;
        e.listFlags |= InManagedGroup;
        memcpy(e.groupName, o.groupName, sizeof(e.groupName));
    }
    EndDiscovery(entries);
}

void ZembrikMgr::LinkMember(RawProc* raw, ManagedJob* job) {
    raw->job = job;
    std::lock_guard<std::mutex> guard(listLock_);
    ProcListEntry* e = FindEntry(list_, raw->pid);
    if (e == nullptr || e->creationTime != FileTimeValue(raw->creationTime)) return;
    ++listVersion_;
    if (job != nullptr) {
        e->listFlags |= InManagedGroup;
        lstrcpynW(e->groupName, job->groupName, 64);
    } else {
        e->listFlags &= ~InManagedGroup;
        memset(e->groupName, 0, sizeof(e->groupName));
    }
}

// Called and returns with `l` holding the list lock, which it lets go
// while it walks.
void ZembrikMgr::DiscoverForList(std::unique_lock<std::mutex>& l) {
    ++walksRunning_;
    l.unlock();
    RawProc* procs = nullptr;
    DWORD count = 0;
    if (!Walk(procs, count)) {
        l.lock();
        --walksRunning_;
        listDone_.notify_all();
    } else if (TryEnterCriticalSection(&lock_)) {
        // No pass runs: the walk is the raw list, as a pass's is.
        delete[] rawProcs_;
        rawProcs_ = procs;
        rawCount_ = count;
        for (ManagedJob* j = jobs_; j != nullptr; j = j->next) RefreshJob(j);
        PublishRawList();
        LeaveCriticalSection(&lock_);
        l.lock();
    } else {
        // A pass holds the records: the list never waits for it.
        PublishWalk(procs, count);
        l.lock();
    }
}

DWORD ZembrikMgr::ListRefresher(LPVOID argument) {
    auto* m = static_cast<ZembrikMgr*>(argument);
    std::unique_lock<std::mutex> l(m->listLock_);
    for (;;) {
        m->refreshWanted_.wait(l, [&] { return m->refreshAsked_ || m->refresherStop_; });
        if (m->refresherStop_) return 0;
        m->refreshAsked_ = false;
        if (m->walksRunning_ == 0) m->DiscoverForList(l);
    }
}

DWORD ZembrikMgr::AllocExportProcList(ProcListEntry** entries, ULONGLONG* version) {
    *entries = nullptr;
    std::unique_lock<std::mutex> l(listLock_);
    ULONGLONG age = listTick_ == 0 ? kListFreshMs : GetTickCount64() - listTick_;
    if (age >= kListFreshMs) {
        if (walksRunning_ > 0) {
            // A discovery is under way: its list is as fresh as ours would be.
            ULONGLONG serial = listSerial_;
            listDone_.wait(l, [&] { return listSerial_ != serial || walksRunning_ == 0; });
        } else {
            DiscoverForList(l);
        }
    } else if (age >= kListFreshMs / 2 && walksRunning_ == 0 && !refreshAsked_ && refresherThread_ != nullptr) {
        // Lists keep coming: the next discovery runs beside them, so that
        // none of them has to wait for it when this one grows too old.
        refreshAsked_ = true;
        refreshWanted_.notify_one();
    }
    if (*version == listVersion_) return 0;
    DWORD n = static_cast<DWORD>(list_.size());
    ProcListEntry* out = nullptr;
    if (n > 0) {
        out = new (std::nothrow) ProcListEntry[n];
        if (out == nullptr) {
            l.unlock();
            LogAllocError(u"AllocExportProcList", n * sizeof(ProcListEntry));
            return 0;
        }
        memcpy(out, list_.data(), n * sizeof(ProcListEntry));
    }
    *entries = out;
    *version = listVersion_;
    return n;
}

DWORD ZembrikMgr::AllocJobList(JobListEntry** entries) {
    *entries = nullptr;
    EnterCriticalSection(&lock_);
    for (ManagedJob* j = jobs_; j != nullptr; j = j->next) RefreshJob(j);
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
    if (pid == 1 || pid == GetCurrentProcessId() || (mediatorPid_ != nullptr && pid == mediatorPid_(host_))) {
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
