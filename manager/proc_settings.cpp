// Per-process settings: affinity, priority and working set of a process that
// is not handled by a group. Each is saved before we first change it and
// restored when the rule stops asking for it.
#include "common/messages.h"
#include "wire/priority.h"
#include "manager/event_text.h"
#include "manager/zembrik_mgr.h"
#include "pal/eventlog.h"
#include "pal/process.h"
#include "pal/sysinfo.h"
#include "pal/error.h"

namespace {

// One setting's value: affinity mask, priority class, or working set.
struct Value {
    ULONGLONG a = 0;
    ULONGLONG b = 0;  // working-set maximum
    bool operator==(const Value&) const = default;
};

struct Setting {
    DWORD bit;
    DWORD changedEvent, failedEvent, invalidEvent;
};

constexpr Setting kSettings[] = {
    {kSettingAffinity, MSG_PROC_AFFINITY_CHANGED, MSG_PROC_AFFINITY_FAILED, MSG_PROC_AFFINITY_INVALID},
    {kSettingPriority, MSG_PROC_PRIORITY_CHANGED, MSG_PROC_PRIORITY_FAILED, MSG_PROC_PRIORITY_INVALID},
    {kSettingWorkingSet, MSG_PROC_WORKINGSET_CHANGED, MSG_PROC_WORKINGSET_FAILED, MSG_PROC_WORKINGSET_INVALID},
};

}  // namespace

DWORD ZembrikMgr::ApplyProcSettings(ManagedProc* proc, RawProc& raw, PassProcess& process) {
    DWORD result = 0;
    const InternalProcDef& rule = proc->rule;
    InternalProcDef& saved = proc->saved;
    bool gone = false;  // ended since the discovery: the process is left alone

    // Priority and affinity as the pass's discovery read them.
    auto read = [&](DWORD bit, Value& v) -> bool {
        if (bit == kSettingAffinity) {
            if ((raw.readFlags & kReadAffinity) == 0) return false;
            v.a = static_cast<DWORD>(raw.affinity);
        } else if (bit == kSettingPriority) {
            v.a = (raw.readFlags & kReadPriority) != 0 ? raw.priorityClass : 0;
            if (v.a == 0) return false;
        } else {
            HANDLE h = process.Get();
            gone = h == nullptr;
            SIZE_T lo = 0, hi = 0;
            if (gone || !GetProcessWorkingSetSize(h, &lo, &hi)) return false;
            v.a = lo;
            v.b = hi;
        }
        return true;
    };
    auto write = [&](DWORD bit, const Value& v) -> bool {
        HANDLE h = process.Get();
        gone = h == nullptr;
        if (gone) return false;
        if (bit == kSettingAffinity) {
            if (!SetProcessAffinityMask(h, static_cast<DWORD_PTR>(v.a))) return false;
            raw.affinity = v.a;
            return true;
        }
        if (bit == kSettingPriority) {
            if (!SetPriorityClass(h, static_cast<DWORD>(v.a))) return false;
            raw.priorityClass = static_cast<DWORD>(v.a);
            raw.priority = PriorityNumberOfClass(raw.priorityClass);
            return true;
        }
        return SetProcessWorkingSetSize(h, static_cast<SIZE_T>(v.a), static_cast<SIZE_T>(v.b)) != FALSE;
    };
    auto logChange = [&](const Setting& s, const Value& from, const Value& to) {
        if (s.bit == kSettingAffinity) {
            InsertText a = Mask(from.a), b = Mask(to.a);
            LogManagerEvent(s.changedEvent, EVENTLOG_INFORMATION_TYPE,
                            {proc->procName, proc->pidText, proc->imageName, a.text, b.text});
        } else if (s.bit == kSettingPriority) {
            InsertText a = Signed(static_cast<LONG>(PriorityNumberOfClass(static_cast<DWORD>(from.a))));
            InsertText b = Signed(static_cast<LONG>(PriorityNumberOfClass(static_cast<DWORD>(to.a))));
            LogManagerEvent(s.changedEvent, EVENTLOG_INFORMATION_TYPE,
                            {proc->procName, proc->pidText, proc->imageName, a.text, b.text});
        } else {
            InsertText a = Unsigned(from.a), b = Unsigned(from.b), c = Unsigned(to.a), d = Unsigned(to.b);
            LogManagerEvent(s.changedEvent, EVENTLOG_INFORMATION_TYPE,
                            {proc->procName, proc->pidText, proc->imageName, a.text, b.text, c.text, d.text});
        }
    };
    // A failure event once, until a success or a rule change.
    auto failed = [&](const Setting& s) {
        if (gone || (proc->reportedFlags & s.bit) != 0) return;
        proc->reportedFlags |= s.bit;
        LogManagerEvent(s.failedEvent, EVENTLOG_ERROR_TYPE, {proc->procName, proc->pidText, proc->imageName});
    };

    for (const Setting& s : kSettings) {
        Value current;
        if ((rule.mgmtFlags & s.bit) != 0) {
            if (!read(s.bit, current)) {
                failed(s);
                continue;
            }
            if ((saved.mgmtFlags & s.bit) == 0) {
                if (s.bit == kSettingAffinity) saved.affinity = current.a;
                if (s.bit == kSettingPriority) saved.priority = PriorityNumberOfClass(static_cast<DWORD>(current.a));
                if (s.bit == kSettingWorkingSet) {
                    saved.minWorkingSet = current.a;
                    saved.maxWorkingSet = current.b;
                }
                saved.mgmtFlags |= s.bit;
            }
            Value desired;
            bool valid = true;
            if (s.bit == kSettingAffinity) {
                desired.a = static_cast<DWORD>(rule.affinity) & systemAffinity_;
                valid = desired.a != 0;
            } else if (s.bit == kSettingPriority) {
                desired.a = PriorityClassOfNumber(rule.priority);
                valid = desired.a != 0;
            } else {
                desired = {rule.minWorkingSet, rule.maxWorkingSet};
                valid = rule.minWorkingSet != 0 && rule.maxWorkingSet > rule.minWorkingSet;
            }
            if (!valid) {
                if ((proc->reportedFlags & s.bit) == 0) {
                    proc->reportedFlags |= s.bit;
                    LogManagerEvent(s.invalidEvent, EVENTLOG_ERROR_TYPE, {proc->procName});
                }
                continue;
            }
            if (desired == current) continue;
            if (write(s.bit, desired)) {
                proc->reportedFlags &= ~s.bit;
                proc->appliedFlags |= s.bit;
                logChange(s, current, desired);
                result = 1;
            } else {
                failed(s);
            }
        } else if ((proc->appliedFlags & s.bit) != 0) {
            if (!read(s.bit, current)) {
                failed(s);
                continue;
            }
            Value prior;
            if (s.bit == kSettingAffinity) prior.a = saved.affinity;
            if (s.bit == kSettingPriority) prior.a = PriorityClassOfNumber(saved.priority);
            if (s.bit == kSettingWorkingSet) prior = {saved.minWorkingSet, saved.maxWorkingSet};
            if (prior == current) {
                proc->appliedFlags &= ~s.bit;
                proc->reportedFlags &= ~s.bit;
                continue;
            }
            if (write(s.bit, prior)) {
                proc->appliedFlags &= ~s.bit;
                proc->reportedFlags &= ~s.bit;
                logChange(s, current, prior);
                result = 1;
            } else {
                failed(s);
            }
        }
    }
    return result;
}
