// The job reporter: reads the completion port of every managed group for
// the manager's life, refreshes the group a message names and logs it.
#include "common/event_log.h"
#include "common/messages.h"
#include "db/zembrik_db.h"
#include "manager/event_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/eventlog.h"
#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/job.h"
#include "pal/sync.h"

DWORD ZembrikMgr::JobReporter(LPVOID argument) {
    auto* self = static_cast<ZembrikMgr*>(argument);
    HANDLE port = self->portAssociation_.CompletionPort;
    while (!self->reporterStop_) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (!GetQueuedCompletionStatus(port, &message, &key, &overlapped, INFINITE)) break;
        if (key == 0) {
            if (reinterpret_cast<ULONG_PTR>(overlapped) == self->stopToken_) break;
            continue;  // an earlier manager's stop, left in the port the mediator kept
        }
        self->HandleJobMessage(message, static_cast<DWORD>(key), reinterpret_cast<ULONG_PTR>(overlapped));
    }
    if (self->stopRequested_ != nullptr && self->stopRequested_->load() == 0 && !self->reporterStop_)
        LogApiError(u"JobReporter", u"GetQueuedCompletionStatus");
    // The port stays open: the manager may still associate groups with it
    // and closes it when it goes.
    return 0;
}

void ZembrikMgr::HandleJobMessage(DWORD message, DWORD key, ULONG_PTR pid) {
    EnterCriticalSection(&lock_);
    ManagedJob* job = jobs_;
    while (job != nullptr && job->completionKey != key) job = job->next;
    if (job == nullptr) {
        LeaveCriticalSection(&lock_);
        return;  // a group removed meanwhile, or not ours
    }
    InternalJobDef* rule = nullptr;
    if (database_->GetGroupDefs(&rule, job->groupName) != 0 && rule != nullptr) TrackJob(job, rule, false);
    delete[] rule;
    RefreshJob(job);

    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = job->limits.BasicLimitInformation;
    InsertText pidText = Unsigned(static_cast<DWORD>(pid));
    CountLimitHit(job, message);
    switch (message) {
    case JOB_OBJECT_MSG_END_OF_JOB_TIME: {
        InsertText limit = Milliseconds(b.PerJobUserTimeLimit.QuadPart);
        if (WaitForSingleObject(job->handle, 0) == WAIT_TIMEOUT) {
            LogManagerEvent(MSG_GROUP_TIME_HIT_CONTINUE, EVENTLOG_INFORMATION_TYPE, {job->jobName, limit.text});
            job->timeLimitHit = 1;
        } else {
            LogManagerEvent(MSG_GROUP_TIME_HIT_TERMINATED, EVENTLOG_INFORMATION_TYPE, {job->jobName, limit.text});
            job->lastGroupTime = 0;
            ApplyGroupLimits(job);
        }
        break;
    }
    case JOB_OBJECT_MSG_END_OF_PROCESS_TIME: {
        InsertText limit = Milliseconds(b.PerProcessUserTimeLimit.QuadPart);
        LogManagerEvent(MSG_PROC_TIME_HIT, EVENTLOG_INFORMATION_TYPE, {job->jobName, limit.text, pidText.text});
        break;
    }
    case JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT: {
        // A fork storm brings one message a look: one event a burst.
        if (!EventDue(job->lastCountEvent, kMemoryEventSeconds)) break;
        InsertText limit = Signed(static_cast<LONG>(b.ActiveProcessLimit));
        LogManagerEvent(MSG_PROC_COUNT_HIT, EVENTLOG_INFORMATION_TYPE, {job->jobName, limit.text});
        break;
    }
    case JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO:
        if ((job->rule.mgmtFlags & RemoveWhenEmpty) != 0) RemoveJobIfEmpty(job);
        break;
    case JOB_OBJECT_MSG_NEW_PROCESS: {
        // A record of the pid: we put it there and said so.
        if (procIndex_.find(static_cast<DWORD>(pid)) != procIndex_.end()) break;
        Discover();
        const RawProc* raw = FindRaw(static_cast<DWORD>(pid));
        LogManagerEvent(MSG_GROUP_NEW_PROCESS, EVENTLOG_INFORMATION_TYPE,
                        {job->jobName, raw != nullptr ? raw->procName : u"unknown", pidText.text,
                         raw != nullptr ? raw->imageName : u"unknown"});
        break;
    }
    case JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT:
        if (MemoryEventDue(job, kMemoryEventSeconds)) {
            InsertText limit = Unsigned(job->limits.ProcessMemoryLimit);
            LogManagerEvent(MSG_PROC_MEMORY_HIT, EVENTLOG_INFORMATION_TYPE, {job->jobName, limit.text, pidText.text});
        }
        break;
    case JOB_OBJECT_MSG_JOB_MEMORY_LIMIT:
        if (MemoryEventDue(job, kMemoryEventSeconds)) {
            InsertText limit = Unsigned(job->limits.JobMemoryLimit);
            LogManagerEvent(MSG_GROUP_MEMORY_HIT, EVENTLOG_INFORMATION_TYPE, {job->jobName, limit.text, pidText.text});
        }
        break;
    default:
        break;
    }
    LeaveCriticalSection(&lock_);
}

void ZembrikMgr::CountLimitHit(ManagedJob* job, DWORD message) {
    switch (message) {
    case JOB_OBJECT_MSG_END_OF_JOB_TIME: ++job->limitHits[kHitGroupTime]; break;
    case JOB_OBJECT_MSG_END_OF_PROCESS_TIME: ++job->limitHits[kHitProcessTime]; break;
    case JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT: ++job->limitHits[kHitProcessCount]; break;
    case JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT: ++job->limitHits[kHitProcessMemory]; break;
    case JOB_OBJECT_MSG_JOB_MEMORY_LIMIT: ++job->limitHits[kHitGroupMemory]; break;
    default: break;
    }
}

bool ZembrikMgr::EventDue(DWORD& stamp, DWORD seconds) {
    DWORD now = GetTickCount();
    if (now >= stamp && (now - stamp) / 1000 < seconds) return false;
    stamp = now;
    return true;
}

void ZembrikMgr::CheckLostMessages(ManagedJob* job) {
    DWORD lost = 0;
    if (job->handle == nullptr || !PalQueryJobLostMessages(job->handle, &lost) || lost <= job->lostMessages) return;
    job->lostMessages = lost;
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    LogApiError(job->jobName, u"JobMessagesLost");
}
