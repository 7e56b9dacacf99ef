// The manager's life: construction with the job reporter, the loop of
// passes, and the records kept from pass to pass.
#include "manager/zembrik_mgr.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>
#include <cstring>
#include <new>

#include "common/event_log.h"
#include "common/prom_text.h"
#include "common/security_attr.h"
#include "db/zembrik_db.h"
#include "pal/iocp.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sysinfo.h"
#include "wire/shared_job_table.h"

namespace {

// A value no other manager uses: this process's identity (pid and creation
// time) and a number of its own, mixed.
ULONG_PTR NewStopToken() {
    static std::atomic<ULONGLONG> serial{0};
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULONGLONG x = FileTimeValue(created) ^ (static_cast<ULONGLONG>(GetCurrentProcessId()) << 44) ^ ++serial;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<ULONG_PTR>(x != 0 ? x : 1);
}

}  // namespace

bool SameName(const WCHAR* a, const WCHAR* b) { return PalCompareNoCase(a, b, kNameCompareChars) == 0; }

ManagedProc::ManagedProc(const WCHAR* name, ULONGLONG processId, const FILETIME& created) {
    memset(static_cast<void*>(this), 0, sizeof(*this));
    lstrcpynW(procName, name, 64);
    StringCchPrintfW(pidText, 16, u"%I64u", processId);
    pid = processId;
    creationTime = created;
}

ManagedJob::ManagedJob(const WCHAR* group, SharedJobHeader* header) {
    memset(static_cast<void*>(this), 0, sizeof(*this));
    endOfJobAction = kNoEndOfJobAction;
    lstrcpynW(groupName, group, 64);
    StringCchPrintfW(jobName, kJobNameUnits, u"Kvjob_%s", groupName);
    if (header != nullptr) {
        completionKey = header->JobNumber(jobName);
    } else {
        // No shared table (a manager outside the service): a number of our
        // own per name, kept for the process's life as the table keeps it.
        static std::mutex lock;
        static std::vector<std::u16string> names;
        std::lock_guard<std::mutex> guard(lock);
        size_t i = 0;
        while (i < names.size() && !SameName(names[i].c_str(), jobName)) ++i;
        if (i == names.size()) names.emplace_back(jobName);
        completionKey = static_cast<DWORD>(i + 1);
    }
}

LiveLists ZembrikMgr::LiveListsOf(ZembrikMgr* manager) {
    LiveLists lists;
    lists.source = manager;
    lists.processes = [](void* m, ProcListEntry** e, ULONGLONG* v) {
        return static_cast<ZembrikMgr*>(m)->AllocExportProcList(e, v);
    };
    lists.groups = [](void* m, JobListEntry** e) { return static_cast<ZembrikMgr*>(m)->AllocJobList(e); };
    return lists;
}

ZembrikMgr::ZembrikMgr(const ManagerContext* context)
    : stopEvent_(context->stopEvent),
      stopRequested_(context->stopRequested),
      mediatorPid_(context->mediatorPid),
      host_(context->host),
      passDone_(context->passDone),
      database_(context->database),
      mediatorEvent_(context->mediatorEvent),
      jobHeader_(context->jobHeader) {
    portAssociation_.CompletionPort = context->completionPort;
    stopToken_ = NewStopToken();
    if (context->pageSize != 0) pageSize_ = context->pageSize;
    InitializeCriticalSection(&lock_);
    BuildAdminSecAttr(&securityAttributes_);
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = systemAffinity_;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask))
        systemAffinity_ = static_cast<DWORD>(systemMask);
    refresherThread_ = CreateThread(nullptr, 0, ListRefresher, this, 0, nullptr);
    if (refresherThread_ == nullptr) LogApiError(u"ListRefresher", u"CreateThread");
    if (portAssociation_.CompletionPort != nullptr) {
        reporterThread_ = CreateThread(nullptr, kReporterStackSize, JobReporter, this, 0, nullptr);
        if (reporterThread_ == nullptr) {
            LogApiError(u"JobReporter", u"CreateThread");
            CloseHandle(portAssociation_.CompletionPort);
            portAssociation_.CompletionPort = nullptr;
        }
    }
}

ZembrikMgr::~ZembrikMgr() {
    if (refresherThread_ != nullptr) {
        {
            std::lock_guard<std::mutex> guard(listLock_);
            refresherStop_ = true;
            refreshWanted_.notify_one();
        }
        WaitForSingleObject(refresherThread_, INFINITE);
        CloseHandle(refresherThread_);
    }
    // The reporter uses this object until it returns: it stops after the
    // message at hand, and what it leaves waits in the port, which the
    // mediator keeps for the next service.
    if (reporterThread_ != nullptr) {
        reporterStop_ = true;
        if (WaitForSingleObject(reporterThread_, 0) == WAIT_TIMEOUT) {
            PostReporterStop();
            WaitForSingleObject(reporterThread_, INFINITE);
        }
    }
    if (portAssociation_.CompletionPort != nullptr) CloseHandle(portAssociation_.CompletionPort);
    EnterCriticalSection(&lock_);
    delete[] rawProcs_;
    rawProcs_ = nullptr;
    rawCount_ = 0;
    procIndex_.clear();
    while (procs_ != nullptr) {
        ManagedProc* next = procs_->next;
        delete procs_;
        procs_ = next;
    }
    // Closing our handles leaves the jobs alive: the mediator holds them.
    while (jobs_ != nullptr) {
        ManagedJob* next = jobs_->next;
        if (jobs_->handle != nullptr) CloseHandle(jobs_->handle);
        delete[] reinterpret_cast<BYTE*>(jobs_->pidList);
        delete jobs_;
        jobs_ = next;
    }
    procCount_ = 0;
    jobCount_ = 0;
    FreeSecAttr(&securityAttributes_);
    LeaveCriticalSection(&lock_);
    DeleteCriticalSection(&lock_);
    if (reporterThread_ != nullptr) CloseHandle(reporterThread_);
}

DWORD ZembrikMgr::Run() {
    // The load has logged what went wrong; the thread then stops the service.
    if (database_->LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules) != 0) return 1;
    HANDLE waits[2] = {stopEvent_, database_->ChangeEvent()};
    for (;;) {
        // One lock over both, so a client's discovery cannot slip in
        // between and hand the pass another list (a client's list never
        // waits for the pass: it walks on its own and publishes only).
        EnterCriticalSection(&lock_);
        auto began = std::chrono::steady_clock::now();
        Discover();
        ApplyRules();
        lastPassNs_ = static_cast<ULONGLONG>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - began).count());
        ++passes_;
        LeaveCriticalSection(&lock_);
        if (passDone_ != nullptr) {
            PromText metrics;
            AppendMetrics(metrics);
            passDone_(host_, metrics.Text());
        }
        DWORD rc = WaitForMultipleObjects(2, waits, FALSE, database_->PollMilliseconds());
        if (rc == WAIT_FAILED) {
            LogApiError(u"ZbManager", u"Wait");
            return 0;
        }
        if (rc == WAIT_OBJECT_0) break;
    }
    PostReporterStop();
    Sleep(1000);
    return 0;
}

void ZembrikMgr::PostReporterStop() {
    if (portAssociation_.CompletionPort == nullptr || reporterThread_ == nullptr || stopPosted_.exchange(true)) return;
    PostQueuedCompletionStatus(portAssociation_.CompletionPort, 0, 0, reinterpret_cast<LPOVERLAPPED>(stopToken_));
}

ManagedProc* ZembrikMgr::FindProc(ULONGLONG pid, const FILETIME& creationTime) {
    auto it = procIndex_.find(pid);
    if (it == procIndex_.end()) return nullptr;
    // The first record of the pid decides: another time is another process.
    ManagedProc* p = it->second;
    return memcmp(&p->creationTime, &creationTime, sizeof(FILETIME)) == 0 ? p : nullptr;
}

void ZembrikMgr::IndexProcs() {
    procIndex_.clear();
    for (ManagedProc* p = procs_; p != nullptr; p = p->next) procIndex_.emplace(p->pid, p);  // the first stays
}

ManagedJob* ZembrikMgr::FindJob(const WCHAR* groupName, ManagedJob** previous) {
    ManagedJob* before = nullptr;
    for (ManagedJob* j = jobs_; j != nullptr; before = j, j = j->next) {
        if (!SameName(j->groupName, groupName)) continue;
        if (previous != nullptr) *previous = before;
        return j;
    }
    return nullptr;
}

void ZembrikMgr::TrackProc(ManagedProc* proc, const InternalProcDef& rule, bool isNew) {
    if (isNew) {
        proc->next = procs_;
        procs_ = proc;
        procIndex_[proc->pid] = proc;  // now the first of its pid
        ++procCount_;
    }
    if (memcmp(&proc->rule, &rule, sizeof(rule)) != 0) {
        proc->rule = rule;
        proc->reportedFlags = 0;
    }
    proc->stamp = generation_;
}

void ZembrikMgr::TrackJob(ManagedJob* job, const InternalJobDef* rule, bool isNew) {
    if (isNew) {
        job->next = jobs_;
        jobs_ = job;
        ++jobCount_;
    }
    if (rule != nullptr && memcmp(&job->rule, rule, sizeof(*rule)) != 0) {
        job->rule = *rule;
        job->timeLimitHit = 0;
        job->reportedFlags = 0;
        job->limitsError = 0;
        job->unsupportedFlags = 0;
    }
    job->stamp = generation_;
}

void ZembrikMgr::DropStaleProcs() {
    ManagedProc** link = &procs_;
    while (*link != nullptr) {
        ManagedProc* p = *link;
        if (p->stamp == generation_) {
            link = &p->next;
            continue;
        }
        *link = p->next;
        delete p;
        --procCount_;
    }
    IndexProcs();
}

void ZembrikMgr::SweepStaleJobs() {
    ManagedJob* j = jobs_;
    while (j != nullptr) {
        ManagedJob* next = j->next;
        if (j->stamp != generation_) {
            InternalJobDef* rule = nullptr;
            if (database_->GetGroupDefs(&rule, j->groupName) != 0 && rule != nullptr) TrackJob(j, rule, false);
            delete[] rule;
            // A group whose rule is gone keeps its last copy and its old stamp.
            if ((j->rule.mgmtFlags & RemoveWhenEmpty) != 0) RemoveJobIfEmpty(j);
        }
        j = next;
    }
}

void ZembrikMgr::RemoveJobIfEmpty(ManagedJob* job) {
    // A failed refresh shows no members; that is no reason to let go.
    if (!RefreshJob(job)) return;
    if (job->accounting.BasicInfo.ActiveProcesses != 0) return;
    if (jobHeader_ != nullptr) jobHeader_->ReleaseJob(job->jobName);
    ManagedJob* previous = nullptr;
    for (ManagedJob* j = jobs_; j != nullptr && j != job; j = j->next) previous = j;
    FreeJob(job, previous);
}

void ZembrikMgr::FreeJob(ManagedJob* job, ManagedJob* previous) {
    if (previous != nullptr) {
        previous->next = job->next;
    } else if (jobs_ == job) {
        jobs_ = job->next;
    }
    // Members of this pass's records forget the group.
    for (ManagedProc* p = procs_; p != nullptr; p = p->next)
        if (p->job == job) p->job = nullptr;
    for (DWORD i = 0; i < rawCount_; ++i)
        if (rawProcs_[i].job == job) rawProcs_[i].job = nullptr;
    {
        std::lock_guard<std::mutex> guard(listLock_);
        for (ProcListEntry& e : list_) {
            if ((e.listFlags & InManagedGroup) == 0 || !SameName(e.groupName, job->groupName)) continue;
            e.listFlags &= ~InManagedGroup;
            memset(e.groupName, 0, sizeof(e.groupName));
        }
    }
    if (job->handle != nullptr) CloseHandle(job->handle);
    delete[] reinterpret_cast<BYTE*>(job->pidList);
    delete job;
    --jobCount_;
}

RawProc* ZembrikMgr::FindRaw(DWORD pid) {
    // The raw list is sorted by pid, one entry each.
    RawProc* end = rawProcs_ + rawCount_;
    RawProc* at = std::lower_bound(rawProcs_, end, pid, [](const RawProc& r, DWORD p) { return r.pid < p; });
    return at != end && at->pid == pid ? at : nullptr;
}
