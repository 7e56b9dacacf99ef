// One management pass: every process that a process rule names is kept
// under management, put into its group with the group's limits in force,
// or given its per-process settings.
#include <cstdlib>
#include <new>

#include "common/event_log.h"
#include "common/messages.h"
#include "wire/priority.h"
#include "db/zembrik_db.h"
#include "manager/event_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sysinfo.h"
#include "wire/shared_job_table.h"

namespace {

template <typename Def>
const Def* FindDef(const Def* defs, DWORD count, const WCHAR* name) {
    DWORD lo = 0, hi = count;
    while (lo < hi) {
        DWORD mid = lo + (hi - lo) / 2;
        int c = PalCompareNoCase(name, defs[mid].name, kNameCompareChars);
        if (c == 0) return &defs[mid];
        if (c < 0) hi = mid;
        else lo = mid + 1;
    }
    return nullptr;
}

constexpr DWORD kPassProcessAccess =
    PROCESS_TERMINATE | PROCESS_SET_QUOTA | PROCESS_SET_INFORMATION | PROCESS_QUERY_INFORMATION;

}  // namespace

PassProcess::~PassProcess() {
    if (handle_ != nullptr) CloseHandle(handle_);
}

HANDLE PassProcess::Get() {
    if (tried_) return handle_;
    tried_ = true;
    handle_ = OpenProcess(kPassProcessAccess, TRUE, pid_);
    if (handle_ == nullptr && GetLastError() != ERROR_INVALID_PARAMETER) LogPidError(pid_, u"OpenProcess");
    return handle_;
}

void ZembrikMgr::ApplyRules() {
    InternalJobDef* groupDefs = nullptr;
    InternalProcDef* procDefs = nullptr;
    DWORD groupCount = database_->GetGroupDefs(&groupDefs, nullptr);
    DWORD procCount = database_->GetProcDefs(&procDefs);

    EnterCriticalSection(&lock_);
    MatchedProc* matched = rawCount_ > 0 ? new (std::nothrow) MatchedProc[rawCount_] : nullptr;
    if (matched == nullptr && rawCount_ > 0) {
        LogAllocError(u"AllocManagedProcList", rawCount_ * sizeof(MatchedProc));
        delete[] groupDefs;
        delete[] procDefs;
        LeaveCriticalSection(&lock_);
        return;
    }
    DWORD matchedCount = 0;
    for (DWORD i = 0; i < rawCount_; ++i) {
        const RawProc& raw = rawProcs_[i];
        const InternalProcDef* rule = FindDef(procDefs, procCount, raw.procName);
        if (rule == nullptr) continue;
        MatchedProc& m = matched[matchedCount++];
        m.pid = raw.pid;
        m.creationTime = FileTimeValue(raw.creationTime);
        m.userTime = raw.userTime;
        m.kernelTime = raw.kernelTime;
        m.rule = rule;
        m.raw = &rawProcs_[i];
        lstrcpynW(m.imageName, raw.imageName, 64);
    }
    ++generation_;

    for (DWORD i = 0; i < matchedCount; ++i) {
        const MatchedProc& m = matched[i];
        RawProc& raw = *m.raw;
        // Opened only for a change: the discovery has just read the rest.
        PassProcess process(static_cast<DWORD>(m.pid));
        FILETIME created{static_cast<DWORD>(m.creationTime), static_cast<DWORD>(m.creationTime >> 32)};
        ManagedProc* record = FindProc(m.pid, created);
        bool isNew = record == nullptr;
        if (isNew) {
            record = new (std::nothrow) ManagedProc(m.rule->name, m.pid, created);
            if (record == nullptr) {
                LogAllocError(u"AllocManagedProc", sizeof(ManagedProc));
                continue;
            }
        }
        record->userTime = m.userTime;
        record->kernelTime = m.kernelTime;
        record->priority = raw.priority;
        if ((raw.readFlags & kReadAffinity) != 0) record->affinity = raw.affinity;
        lstrcpynW(record->imageName, m.imageName, 64);
        TrackProc(record, *m.rule, isNew);
        bool handled = false;
        if ((m.rule->mgmtFlags & JoinGroup) != 0 && m.rule->memberOf[0] != 0)
            handled = GroupStep(record, *m.rule, process, groupDefs, groupCount);
        if (!handled) ApplyProcSettings(record, raw, process);
    }
    DropStaleProcs();
    SweepStaleJobs();
    for (ManagedJob* j = jobs_; j != nullptr; j = j->next) CheckLostMessages(j);
    LeaveCriticalSection(&lock_);
    delete[] matched;
    delete[] groupDefs;
    delete[] procDefs;
}

void ZembrikMgr::AdoptGroupTime(ManagedJob* job) {
    // The group time an earlier service set is ours: its period goes on. A
    // value without its flag ran out and the group went on.
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = job->limits.BasicLimitInformation;
    if (b.PerJobUserTimeLimit.QuadPart == 0) return;
    job->lastGroupTime = b.PerJobUserTimeLimit.QuadPart;
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME) == 0) job->timeLimitHit = 1;
}

bool ZembrikMgr::GroupStep(ManagedProc* record, const InternalProcDef& rule, PassProcess& process,
                           const InternalJobDef* groupDefs, DWORD groupCount) {
    const InternalJobDef* groupRule = FindDef(groupDefs, groupCount, rule.memberOf);
    ManagedJob* job = FindJob(rule.memberOf);
    bool newJob = job == nullptr;
    if (job == nullptr && groupRule != nullptr) {
        job = new (std::nothrow) ManagedJob(rule.memberOf, jobHeader_);
        if (job == nullptr) LogAllocError(u"AllocManagedJob", sizeof(ManagedJob));
    }
    if (job == nullptr) return false;

    bool handled = false;
    bool tracked = !newJob;
    if (record->inJob != 0) {
        handled = true;
        if (record->job == job) {
            if (job->stamp != generation_) {
                TrackJob(job, groupRule, newJob);
                tracked = true;
                RefreshJob(job);
                ApplyGroupLimits(job);
            }
        } else if (record->job != nullptr && lstrcmpiW(job->jobName, record->conflictJobName) != 0) {
            LogManagerEvent(MSG_ALREADY_IN_JOB, EVENTLOG_ERROR_TYPE,
                            {record->procName, record->pidText, record->imageName, job->jobName,
                             record->job->jobName});
            lstrcpynW(record->conflictJobName, job->jobName, kJobNameUnits);
        }
    } else {
        bool adopted = false;
        if (job->handle == nullptr) {
            job->handle = CreateJobObjectW(&securityAttributes_, job->jobName);
            adopted = job->handle != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
            if (job->handle != nullptr && !adopted)
                LogManagerEvent(MSG_GROUP_CREATED, EVENTLOG_INFORMATION_TYPE, {job->jobName});
            DWORD createError = GetLastError();
            if (jobHeader_ != nullptr) jobHeader_->RecordJob(job->jobName, job->completionKey, &securityAttributes_);
            if (job->handle == nullptr) {
                SetLastError(createError);
                LogApiError(job->jobName, u"CreateJobObj");
            }
        }
        if (job->handle != nullptr) {
            TrackJob(job, groupRule, newJob);
            tracked = true;
            if (RefreshJob(job) && adopted) AdoptGroupTime(job);
            ApplyGroupLimits(job);
            RawProc* raw = FindRaw(static_cast<DWORD>(record->pid));
            if (raw != nullptr && raw->job == job) {
                // Already a member (a group adopted after a restart): no news.
                record->job = job;
                record->inJob = 1;
                handled = true;
            } else if (process.Get() == nullptr) {
                handled = true;  // gone since the discovery: nothing to do
            } else if (AssignProcessToJobObject(job->handle, process.Get())) {
                record->job = job;
                record->inJob = 1;
                handled = true;
                if (raw != nullptr) LinkMember(raw, job);
                LogManagerEvent(MSG_GROUP_PROC_ADDED, EVENTLOG_INFORMATION_TYPE,
                                {record->procName, record->pidText, record->imageName, job->jobName});
            } else {
                DWORD err = GetLastError();
                if (err == ERROR_ACCESS_DENIED) {
                    // Taken as: already in a job we do not manage.
                    LogManagerEvent(MSG_ALREADY_IN_JOB, EVENTLOG_ERROR_TYPE,
                                    {record->procName, record->pidText, record->imageName, job->jobName,
                                     u"-unknown-"});
                    record->job = nullptr;
                    record->inJob = 1;
                } else if (err != ERROR_NOT_ENOUGH_QUOTA) {
                    LogPidError(record->pid, u"AssignProcToJobObj");
                }
            }
        }
    }
    // A group made here but never linked is made afresh when next needed.
    if (!tracked) {
        if (job->handle != nullptr) CloseHandle(job->handle);
        delete job;
    }
    return handled;
}
