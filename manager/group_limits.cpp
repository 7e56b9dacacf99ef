// Group limits: brings a job object in line with its group rule, changing
// only what differs, and logs each limit set, changed or removed. Invalid
// rule values are never applied and are reported once per rule change.
#include <cstring>

#include "common/event_log.h"
#include "common/messages.h"
#include "wire/priority.h"
#include "manager/event_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/eventlog.h"

namespace {

// The limits in the order of their events.
enum Limit {
    kBreakaway,
    kSilentBreakaway,
    kDieOnException,
    kProcMemory,
    kGroupMemory,
    kProcTime,
    kGroupTime,
    kProcessCount,
    kPriority,
    kAffinity,
    kSchedClass,
    kWorkingSet,
    kLimitCount
};

struct LimitEvents {
    DWORD set;      // direction +1
    DWORD removed;  // direction -1
};

constexpr LimitEvents kEvents[kLimitCount] = {
    {MSG_GROUP_BREAKAWAY_SET, MSG_GROUP_BREAKAWAY_CLEARED},
    {MSG_GROUP_SILENT_BREAKAWAY_SET, MSG_GROUP_SILENT_BREAKAWAY_CLEARED},
    {MSG_GROUP_DIE_ON_EXCEPTION_SET, MSG_GROUP_DIE_ON_EXCEPTION_CLEARED},
    {MSG_GROUP_PROCMEM_CHANGED, MSG_GROUP_PROCMEM_REMOVED},
    {MSG_GROUP_GROUPMEM_CHANGED, MSG_GROUP_GROUPMEM_REMOVED},
    {MSG_GROUP_PROCTIME_CHANGED, MSG_GROUP_PROCTIME_REMOVED},
    {MSG_GROUP_GROUPTIME_CHANGED, MSG_GROUP_GROUPTIME_REMOVED},
    {MSG_GROUP_PROCCOUNT_CHANGED, MSG_GROUP_PROCCOUNT_REMOVED},
    {MSG_GROUP_PRIORITY_CHANGED, MSG_GROUP_PRIORITY_REMOVED},
    {MSG_GROUP_AFFINITY_CHANGED, MSG_GROUP_AFFINITY_REMOVED},
    {MSG_GROUP_SCHEDCLASS_CHANGED, MSG_GROUP_SCHEDCLASS_REMOVED},
    {MSG_GROUP_WORKINGSET_CHANGED, MSG_GROUP_WORKINGSET_REMOVED},
};

// One limit's outcome: its direction and the inserts after %2.
struct Change {
    int direction = 0;
    int count = 0;
    InsertText inserts[4];
    void Add(const InsertText& t) { inserts[count++] = t; }
};

// What one call decides, limit by limit.
class LimitPlan {
public:
    LimitPlan(ManagedJob* job) : job_(job), limits_(job->limits.BasicLimitInformation) {}

    bool Wanted(DWORD ruleFlag) const { return (job_->rule.mgmtFlags & ruleFlag) != 0; }
    bool Present(DWORD jobFlag) const { return (limits_.LimitFlags & jobFlag) != 0; }
    void Set(Limit l, DWORD jobFlag) {
        limits_.LimitFlags |= jobFlag;
        changes_[l].direction = 1;
    }
    void Clear(Limit l, DWORD jobFlag) {
        limits_.LimitFlags &= ~jobFlag;
        changes_[l].direction = -1;
    }
    // The validation event of an invalid value, once per rule change.
    void Invalid(DWORD ruleFlag, DWORD eventId) {
        if ((job_->reportedFlags & ruleFlag) != 0) return;
        LogManagerEvent(eventId, EVENTLOG_ERROR_TYPE, {job_->jobName});
        job_->reportedFlags |= ruleFlag;
    }
    // Keeps a limit as the job has it.
    void Undo(Limit l, DWORD jobFlag, bool present) {
        limits_.LimitFlags = present ? limits_.LimitFlags | jobFlag : limits_.LimitFlags & ~jobFlag;
        changes_[l] = Change{};
    }
    Change& operator[](Limit l) { return changes_[l]; }
    bool AnyChange() const {
        for (const Change& c : changes_)
            if (c.direction != 0) return true;
        return false;
    }
    void LogChanges() const {
        for (int l = 0; l < kLimitCount; ++l) {
            const Change& c = changes_[l];
            if (c.direction == 0) continue;
            const WCHAR* s[4] = {};
            for (int i = 0; i < c.count; ++i) s[i] = c.inserts[i].text;
            DWORD id = c.direction > 0 ? kEvents[l].set : kEvents[l].removed;
            switch (c.count) {
            case 0: LogManagerEvent(id, EVENTLOG_INFORMATION_TYPE, {job_->jobName}); break;
            case 2: LogManagerEvent(id, EVENTLOG_INFORMATION_TYPE, {job_->jobName, s[0], s[1]}); break;
            default: LogManagerEvent(id, EVENTLOG_INFORMATION_TYPE, {job_->jobName, s[0], s[1], s[2], s[3]}); break;
            }
        }
    }

private:
    ManagedJob* job_;
    JOBOBJECT_BASIC_LIMIT_INFORMATION& limits_;
    Change changes_[kLimitCount];
};

ULONGLONG RoundToPage(ULONGLONG value, ULONGLONG page) { return ((value + page - 1) / page) * page; }

// Steps shared by the two memory limits: the value rounded up to whole pages.
// The fields are 64-bit here, so a limit of 4 GiB or more is kept whole.
void MemoryLimit(LimitPlan& plan, Limit l, DWORD ruleFlag, DWORD jobFlag, ULONGLONG ruleValue, SIZE_T& field,
                 ULONGLONG pageSize, DWORD invalidEvent) {
    ULONGLONG value = RoundToPage(ruleValue, pageSize);
    if (plan.Wanted(ruleFlag)) {
        if (plan.Present(jobFlag) && value == field) return;
        if (value == 0) {
            plan.Invalid(ruleFlag, invalidEvent);
            return;
        }
        plan[l].Add(Unsigned(field));
        plan[l].Add(Unsigned(value));
        field = value;
        plan.Set(l, jobFlag);
    } else if (plan.Present(jobFlag)) {
        plan[l].Add(Unsigned(field));
        plan[l].Add(Unsigned(value));
        plan.Clear(l, jobFlag);
    }
}

}  // namespace

DWORD ZembrikMgr::ApplyGroupLimits(ManagedJob* job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION& x = job->limits;
    JOBOBJECT_BASIC_LIMIT_INFORMATION& b = x.BasicLimitInformation;
    const InternalJobDef& r = job->rule;
    LimitPlan plan(job);

    // Flag-only limits.
    struct FlagLimit {
        Limit limit;
        DWORD ruleFlag, jobFlag;
    };
    constexpr FlagLimit kFlags[] = {
        {kBreakaway, BreakawayOk, JOB_OBJECT_LIMIT_BREAKAWAY_OK},
        {kSilentBreakaway, SilentBreakawayOk, JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK},
        {kDieOnException, DieOnUnhandledException, JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION},
    };
    for (const FlagLimit& f : kFlags) {
        if ((job->unsupportedFlags & f.jobFlag) != 0) continue;  // refused here; said once
        if (plan.Wanted(f.ruleFlag) && !plan.Present(f.jobFlag)) plan.Set(f.limit, f.jobFlag);
        else if (!plan.Wanted(f.ruleFlag) && plan.Present(f.jobFlag)) plan.Clear(f.limit, f.jobFlag);
    }

    MemoryLimit(plan, kProcMemory, LimitProcMemory, JOB_OBJECT_LIMIT_PROCESS_MEMORY, r.procMemoryLimit,
                x.ProcessMemoryLimit, pageSize_, MSG_GROUP_PROCMEM_INVALID);
    MemoryLimit(plan, kGroupMemory, LimitGroupMemory, JOB_OBJECT_LIMIT_JOB_MEMORY, r.groupMemoryLimit,
                x.JobMemoryLimit, pageSize_, MSG_GROUP_GROUPMEM_INVALID);

    // Affinity.
    {
        ULONGLONG mask = static_cast<DWORD>(r.affinity) & systemAffinity_;
        if (plan.Wanted(ApplyAffinity)) {
            if (!(plan.Present(JOB_OBJECT_LIMIT_AFFINITY) && mask == b.Affinity)) {
                if (mask == 0) {
                    plan.Invalid(ApplyAffinity, MSG_GROUP_AFFINITY_INVALID);
                } else {
                    plan[kAffinity].Add(Mask(b.Affinity));
                    plan[kAffinity].Add(Mask(mask));
                    b.Affinity = mask;
                    plan.Set(kAffinity, JOB_OBJECT_LIMIT_AFFINITY);
                }
            }
        } else if (plan.Present(JOB_OBJECT_LIMIT_AFFINITY)) {
            plan[kAffinity].Add(Mask(b.Affinity));
            plan[kAffinity].Add(Mask(mask));
            plan.Clear(kAffinity, JOB_OBJECT_LIMIT_AFFINITY);
        }
    }
    // Priority.
    {
        DWORD cls = PriorityClassOfNumber(r.priority);
        if (plan.Wanted(ApplyPriority)) {
            if (!(plan.Present(JOB_OBJECT_LIMIT_PRIORITY_CLASS) && cls == b.PriorityClass)) {
                if (cls == 0) {
                    plan.Invalid(ApplyPriority, MSG_GROUP_PRIORITY_INVALID);
                } else {
                    plan[kPriority].Add(Signed(static_cast<LONG>(PriorityNumberOfClass(b.PriorityClass))));
                    plan[kPriority].Add(Signed(static_cast<LONG>(PriorityNumberOfClass(cls))));
                    b.PriorityClass = cls;
                    plan.Set(kPriority, JOB_OBJECT_LIMIT_PRIORITY_CLASS);
                }
            }
        } else if (plan.Present(JOB_OBJECT_LIMIT_PRIORITY_CLASS)) {
            plan[kPriority].Add(Signed(static_cast<LONG>(PriorityNumberOfClass(b.PriorityClass))));
            plan[kPriority].Add(Signed(static_cast<LONG>(PriorityNumberOfClass(cls))));
            plan.Clear(kPriority, JOB_OBJECT_LIMIT_PRIORITY_CLASS);
        }
    }
    // Scheduling class.
    if (plan.Wanted(LimitSchedClass)) {
        if (!(plan.Present(JOB_OBJECT_LIMIT_SCHEDULING_CLASS) && r.schedClass == b.SchedulingClass)) {
            if (r.schedClass > 9) {
                plan.Invalid(LimitSchedClass, MSG_GROUP_SCHEDCLASS_INVALID);
            } else {
                plan[kSchedClass].Add(Signed(static_cast<LONG>(b.SchedulingClass)));
                plan[kSchedClass].Add(Signed(static_cast<LONG>(r.schedClass)));
                b.SchedulingClass = r.schedClass;
                plan.Set(kSchedClass, JOB_OBJECT_LIMIT_SCHEDULING_CLASS);
            }
        }
    } else if (plan.Present(JOB_OBJECT_LIMIT_SCHEDULING_CLASS)) {
        plan[kSchedClass].Add(Signed(static_cast<LONG>(b.SchedulingClass)));
        plan[kSchedClass].Add(Signed(static_cast<LONG>(r.schedClass)));
        plan.Clear(kSchedClass, JOB_OBJECT_LIMIT_SCHEDULING_CLASS);
    }
    // Working set.
    if (plan.Wanted(ApplyWorkingSet)) {
        bool same = plan.Present(JOB_OBJECT_LIMIT_WORKINGSET) && r.minWorkingSet == b.MinimumWorkingSetSize &&
                    r.maxWorkingSet == b.MaximumWorkingSetSize;
        if (!same) {
            if (r.minWorkingSet == 0 || r.maxWorkingSet <= r.minWorkingSet) {
                plan.Invalid(ApplyWorkingSet, MSG_GROUP_WORKINGSET_INVALID);
            } else {
                plan[kWorkingSet].Add(Unsigned(b.MinimumWorkingSetSize));
                plan[kWorkingSet].Add(Unsigned(b.MaximumWorkingSetSize));
                plan[kWorkingSet].Add(Unsigned(r.minWorkingSet));
                plan[kWorkingSet].Add(Unsigned(r.maxWorkingSet));
                b.MinimumWorkingSetSize = r.minWorkingSet;
                b.MaximumWorkingSetSize = r.maxWorkingSet;
                plan.Set(kWorkingSet, JOB_OBJECT_LIMIT_WORKINGSET);
            }
        }
    } else if (plan.Present(JOB_OBJECT_LIMIT_WORKINGSET)) {
        plan[kWorkingSet].Add(Unsigned(b.MinimumWorkingSetSize));
        plan[kWorkingSet].Add(Unsigned(b.MaximumWorkingSetSize));
        plan[kWorkingSet].Add(Unsigned(r.minWorkingSet));
        plan[kWorkingSet].Add(Unsigned(r.maxWorkingSet));
        plan.Clear(kWorkingSet, JOB_OBJECT_LIMIT_WORKINGSET);
    }
    // Process count: any value, 0 included.
    if (plan.Wanted(LimitProcessCount)) {
        if (!(plan.Present(JOB_OBJECT_LIMIT_ACTIVE_PROCESS) && r.processCount == b.ActiveProcessLimit)) {
            plan[kProcessCount].Add(Signed(static_cast<LONG>(b.ActiveProcessLimit)));
            plan[kProcessCount].Add(Signed(static_cast<LONG>(r.processCount)));
            b.ActiveProcessLimit = r.processCount;
            plan.Set(kProcessCount, JOB_OBJECT_LIMIT_ACTIVE_PROCESS);
        }
    } else if (plan.Present(JOB_OBJECT_LIMIT_ACTIVE_PROCESS)) {
        plan[kProcessCount].Add(Signed(static_cast<LONG>(b.ActiveProcessLimit)));
        plan[kProcessCount].Add(Signed(static_cast<LONG>(r.processCount)));
        plan.Clear(kProcessCount, JOB_OBJECT_LIMIT_ACTIVE_PROCESS);
    }
    // Per-process time: at least one second.
    constexpr LONGLONG kOneSecond = 10000000;
    if (plan.Wanted(LimitProcTime)) {
        if (!(plan.Present(JOB_OBJECT_LIMIT_PROCESS_TIME) && r.procTimeLimit == b.PerProcessUserTimeLimit.QuadPart)) {
            if (r.procTimeLimit < kOneSecond) {
                plan.Invalid(LimitProcTime, MSG_GROUP_PROCTIME_INVALID);
            } else {
                plan[kProcTime].Add(Milliseconds(b.PerProcessUserTimeLimit.QuadPart));
                plan[kProcTime].Add(Milliseconds(r.procTimeLimit));
                b.PerProcessUserTimeLimit.QuadPart = r.procTimeLimit;
                plan.Set(kProcTime, JOB_OBJECT_LIMIT_PROCESS_TIME);
            }
        }
    } else if (plan.Present(JOB_OBJECT_LIMIT_PROCESS_TIME)) {
        plan[kProcTime].Add(Milliseconds(b.PerProcessUserTimeLimit.QuadPart));
        plan[kProcTime].Add(Milliseconds(r.procTimeLimit));
        plan.Clear(kProcTime, JOB_OBJECT_LIMIT_PROCESS_TIME);
    }
    // Group time, compared with what we set last: a limit that ran out and
    // was cleared by the job is not set again for the same rule value.
    LONGLONG groupTime = job->lastGroupTime;  // kept only once written
    if (plan.Wanted(LimitGroupTime)) {
        bool known = plan.Present(JOB_OBJECT_LIMIT_JOB_TIME) || job->timeLimitHit != 0;
        if (!(known && r.groupTimeLimit == job->lastGroupTime)) {
            if (r.groupTimeLimit < kOneSecond) {
                plan.Invalid(LimitGroupTime, MSG_GROUP_GROUPTIME_INVALID);
            } else {
                plan[kGroupTime].Add(Milliseconds(job->lastGroupTime));
                plan[kGroupTime].Add(Milliseconds(r.groupTimeLimit));
                b.PerJobUserTimeLimit.QuadPart = r.groupTimeLimit;
                groupTime = r.groupTimeLimit;
                plan.Set(kGroupTime, JOB_OBJECT_LIMIT_JOB_TIME);
            }
        }
    } else if (plan.Present(JOB_OBJECT_LIMIT_JOB_TIME)) {
        // The value stays, as the job keeps it: set again, it is the "from".
        plan[kGroupTime].Add(Milliseconds(job->lastGroupTime));
        plan[kGroupTime].Add(Milliseconds(r.groupTimeLimit));
        plan.Clear(kGroupTime, JOB_OBJECT_LIMIT_JOB_TIME);
    }

    if (plan.AnyChange()) {
        if (plan[kGroupTime].direction == 0) b.LimitFlags |= JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME;
        BOOL written = SetInformationJobObject(job->handle, JobObjectExtendedLimitInformation, &x, sizeof(x));
        if (!written && GetLastError() == ERROR_NOT_SUPPORTED && plan[kSilentBreakaway].direction > 0) {
            // A limit this host cannot have is refused alone, once; the others go on.
            LogApiError(job->jobName, u"SetJobObjLimitInfo");
            job->unsupportedFlags |= JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
            plan.Undo(kSilentBreakaway, JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK, false);
            written = !plan.AnyChange() ||
                      SetInformationJobObject(job->handle, JobObjectExtendedLimitInformation, &x, sizeof(x));
        }
        if (!written) {
            // Not in force: no "changed", and one event until it works or the rule changes.
            DWORD error = GetLastError();
            if (job->limitsError != error) LogApiError(job->jobName, u"SetJobObjLimitInfo");
            job->limitsError = error;
            return 0;
        }
        job->limitsError = 0;
        b.LimitFlags &= ~JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME;
        job->lastGroupTime = groupTime;
    }

    if (job->portAssociated == 0 && portAssociation_.CompletionPort != nullptr) {
        portAssociation_.CompletionKey = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(job->completionKey));
        if (SetInformationJobObject(job->handle, JobObjectAssociateCompletionPortInformation, &portAssociation_,
                                    sizeof(portAssociation_)) ||
            GetLastError() == ERROR_INVALID_PARAMETER) {
            job->portAssociated = 1;
        } else {
            LogApiError(job->jobName, u"SetJobObjComplPortInfo");
        }
    }
    if (job->portAssociated == 1) {
        JOBOBJECT_END_OF_JOB_TIME_INFORMATION action{(job->rule.mgmtFlags & PostAtEndOfJob) != 0
                                                         ? JOB_OBJECT_POST_AT_END_OF_JOB
                                                         : JOB_OBJECT_TERMINATE_AT_END_OF_JOB};
        if (action.EndOfJobTimeAction != job->endOfJobAction) {
            if (SetInformationJobObject(job->handle, JobObjectEndOfJobTimeInformation, &action, sizeof(action)))
                job->endOfJobAction = action.EndOfJobTimeAction;
            else
                LogApiError(job->jobName, u"SetJobObjEndOfJobInfo");
        }
    }
    plan.LogChanges();
    return 1;
}
