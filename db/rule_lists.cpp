// Copies of the rule lists: the pages clients read, the merged lists of
// rules and running processes or groups, and the manager's definitions.
// Every list copies under its lock and sorts and merges after releasing it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/event_log.h"
#include "db/list_fold.h"
#include "wire/name_match.h"
#include "wire/priority.h"
#include "db/locked.h"
#include "db/zembrik_db.h"
#include "pal/strings.h"

namespace {

int CompareNames(const WCHAR* a, const WCHAR* b) { return PalCompareNoCase(a, b, kNameCompareChars); }

template <typename Summary>
int CompareKey(const Summary& key, const Summary& entry) {
    int c = CompareNames(key.name, entry.name);
    return c != 0 ? c : PalCompareNoCase(key.mgmt.mgmtName, entry.mgmt.mgmtName, kMgmtNameUnits - 1);
}

// Where a keyed list starts: at the key itself with ListFromKey, else after it.
bool StartsAt(int keyVersusEntry, DWORD flags) {
    return (flags & ListFromKey) != 0 ? keyVersusEntry <= 0 : keyVersusEntry < 0;
}

template <typename Summary>
bool ListSummaries(const Summary* key, DWORD flags, const Summary* list, DWORD count, Summary* buffer, DWORD max,
                   WORD* count16) {
    if ((flags & ListExact) != 0) flags |= ListFromKey;
    // The list is sorted in the key's order: the start is found by halving,
    // so paging through a long list costs no walk from its head per page.
    const Summary* start = std::partition_point(
        list, list + count, [&](const Summary& e) { return !StartsAt(CompareKey(*key, e), flags); });
    DWORD i = static_cast<DWORD>(start - list);
    DWORD copied = 0;
    while (i < count && copied < max) {
        if ((flags & ListExact) != 0 && CompareKey(*key, list[i]) != 0) break;
        buffer[copied++] = list[i++];
    }
    *count16 = static_cast<WORD>(copied);
    return (flags & ListExact) == 0 && i < count;
}

// Name, then process id as a signed number.
int CompareProcEntries(const ProcListEntry& a, const ProcListEntry& b) {
    int c = CompareNames(a.name, b.name);
    if (c != 0) return c;
    LONGLONG x = static_cast<LONGLONG>(a.pid), y = static_cast<LONGLONG>(b.pid);
    return x < y ? -1 : (x > y ? 1 : 0);
}

int QsortProcEntries(const void* a, const void* b) {
    return CompareProcEntries(*static_cast<const ProcListEntry*>(a), *static_cast<const ProcListEntry*>(b));
}

int QsortJobEntries(const void* a, const void* b) {
    return CompareNames(static_cast<const JobListEntry*>(a)->name, static_cast<const JobListEntry*>(b)->name);
}

bool PassesProcFilter(const ProcListEntry& key, DWORD flags, const ProcListEntry& a) {
    if (a.name[0] == 0) return false;
    if ((flags & ListSameGroup) != 0 && CompareNames(a.groupName, key.groupName) != 0) return false;
    if ((flags & ListExact) != 0) {
        if (CompareNames(a.name, key.name) != 0) return false;
        if (key.pid != 0 && a.pid != key.pid) return false;
    } else if (!StartsAt(CompareProcEntries(key, a), flags)) {
        return false;
    }
    return (flags & ListRunningOnly) == 0 || (a.listFlags & RunningNow) != 0;
}

bool PassesGroupFilter(const WCHAR* key, DWORD flags, const JobListEntry& a) {
    if (a.name[0] == 0) return false;
    int c = CompareNames(key, a.name);
    if ((flags & ListExact) != 0) {
        if (c != 0) return false;
    } else if (!StartsAt(c, flags)) {
        return false;
    }
    return (flags & ListRunningOnly) == 0 || (a.listFlags & RunningNow) != 0;
}

// Owns an array from new[]; null is empty.
template <typename T>
struct Owned {
    T* p = nullptr;
    DWORD n = 0;
    ~Owned() { delete[] p; }
};

template <typename T>
bool Allocate(Owned<T>& a, DWORD n, LPCWSTR label) {
    if (n == 0) return true;
    a.p = new (std::nothrow) T[n]();
    if (a.p == nullptr) {
        LogAllocError(label, sizeof(T) * n);
        return false;
    }
    a.n = n;
    return true;
}

// Joins the parts into one array (null when empty or out of memory).
template <typename T>
T* Join(std::initializer_list<const Owned<T>*> parts, DWORD& total, LPCWSTR label) {
    total = 0;
    for (auto* part : parts) total += part->n;
    if (total == 0) return nullptr;
    T* all = new (std::nothrow) T[total];
    if (all == nullptr) {
        LogAllocError(label, sizeof(T) * total);
        total = 0;
        return nullptr;
    }
    DWORD at = 0;
    for (auto* part : parts) {
        if (part->n > 0) memcpy(all + at, part->p, sizeof(T) * part->n);
        at += part->n;
    }
    return all;
}

}  // namespace

bool ProcRuleHasSettings(const MgmtData& m) {
    DWORD f = m.mgmtFlags;
    return (f & JoinGroup) != 0 || ((f & ApplyAffinity) != 0 && m.affinity != 0) ||
           ((f & ApplyPriority) != 0 && m.priority != 0) ||
           ((f & ApplyWorkingSet) != 0 && m.minWorkingSet != 0 && m.maxWorkingSet != 0);
}

bool GroupRuleHasSettings(const MgmtData& m) {
    DWORD f = m.mgmtFlags;
    return (f & (DieOnUnhandledException | SilentBreakawayOk | BreakawayOk)) != 0 ||
           ((f & ApplyAffinity) != 0 && m.affinity != 0) || ((f & ApplyPriority) != 0 && m.priority != 0) ||
           ((f & ApplyWorkingSet) != 0 && m.minWorkingSet != 0 && m.maxWorkingSet != 0) ||
           ((f & LimitSchedClass) != 0 && m.schedClass <= 9) || ((f & LimitProcMemory) != 0 && m.procMemoryLimit != 0) ||
           ((f & LimitGroupMemory) != 0 && m.groupMemoryLimit != 0) ||
           ((f & LimitGroupTime) != 0 && m.groupTimeLimit != 0) || ((f & LimitProcTime) != 0 && m.procTimeLimit != 0) ||
           ((f & LimitProcessCount) != 0 && m.processCount != 0);
}

void SortProcList(ProcListEntry* all, DWORD total) {
    if (total > 1) qsort(all, total, sizeof(ProcListEntry), QsortProcEntries);
}

DWORD FoldProcList(ProcListEntry* all, DWORD total, const ProcListEntry& key, DWORD flags, ProcListEntry* out,
                   DWORD max, bool& more) {
    SortProcList(all, total);
    return FoldSortedProcList(all, total, key, flags, out, max, more);
}

DWORD FoldSortedProcList(const ProcListEntry* all, DWORD total, const ProcListEntry& key, DWORD flags,
                         ProcListEntry* out, DWORD max, bool& more) {
    // One entry per name uniting its rule, its alias and its first running
    // process; each further process of the name gets an entry of its own.
    // Nothing before the key's name can pass: the fold starts at its first
    // entry, found by halving, so a page costs no walk from the list's head.
    const ProcListEntry* first = std::partition_point(
        all, all + total, [&](const ProcListEntry& e) { return CompareNames(e.name, key.name) < 0; });
    ProcListEntry acc{};
    DWORD previous = 0;
    DWORD returned = 0;
    DWORD i = static_cast<DWORD>(first - all);
    for (; i < total && returned < max; ++i) {
        const ProcListEntry& e = all[i];
        bool sameName = CompareNames(e.name, acc.name) == 0;
        if (!sameName || (acc.pid != 0 && e.pid != 0)) {
            if (PassesProcFilter(key, flags, acc)) {
                out[returned] = acc;
                out[returned++].listFlags |= previous;
            }
            DWORD kept = acc.listFlags;
            acc = e;
            acc.priority = CanonicalPriority(acc.priority);
            if (sameName) acc.listFlags = kept;
        } else {
            acc.listFlags |= e.listFlags;
            if ((e.listFlags & RunningNow) != 0) {
                acc.pid = e.pid;
                acc.creationTime = e.creationTime;
                acc.userTime = e.userTime;
                acc.kernelTime = e.kernelTime;
                memcpy(acc.imageName, e.imageName, sizeof(acc.imageName));
                acc.affinity = e.affinity;
                acc.priority = CanonicalPriority(e.priority);
            }
            if ((e.listFlags & NamedAsGroup) != 0) memcpy(acc.groupName, e.groupName, sizeof(acc.groupName));
        }
        previous = e.listFlags;
    }
    if (returned < max && PassesProcFilter(key, flags, acc)) {
        out[returned] = acc;
        out[returned++].listFlags |= previous;
    }
    more = i < total;
    return returned;
}

DWORD FoldGroupList(JobListEntry* all, DWORD total, const WCHAR* key, DWORD flags, JobListEntry* out, DWORD max,
                    bool& more) {
    if (total > 1) qsort(all, total, sizeof(JobListEntry), QsortJobEntries);
    constexpr size_t kLiveFrom = offsetof(JobListEntry, affinity);
    JobListEntry acc{};
    DWORD returned = 0;
    DWORD i = 0;
    for (; i < total && returned < max; ++i) {
        const JobListEntry& e = all[i];
        if (CompareNames(e.name, acc.name) != 0) {
            if (PassesGroupFilter(key, flags, acc)) out[returned++] = acc;
            acc = e;
            acc.priority = CanonicalPriority(acc.priority);
        } else {
            acc.listFlags |= e.listFlags;
            if ((e.listFlags & RunningNow) != 0) {
                acc.priority = CanonicalPriority(e.priority);
                memcpy(reinterpret_cast<BYTE*>(&acc) + kLiveFrom, reinterpret_cast<const BYTE*>(&e) + kLiveFrom,
                       sizeof(JobListEntry) - kLiveFrom);
            }
        }
    }
    if (returned < max && PassesGroupFilter(key, flags, acc)) out[returned++] = acc;
    more = i < total;
    return returned;
}

bool ZembrikDb::ListNameRules(DWORD start, NameRule* buffer, DWORD max, WORD* size, WORD* count, LONG* stamp) {
    Locked g(nameLock_);
    *size = sizeof(NameRule);
    *stamp = nameStamp_;
    DWORD copied = 0;
    DWORD i = start;
    for (; i < aliasCount_ && copied < max; ++i) buffer[copied++] = aliasRules_[i];
    *count = static_cast<WORD>(copied);
    return i < aliasCount_;
}

bool ZembrikDb::ListProcSummaries(const ProcSummary* key, DWORD flags, ProcSummary* buffer, DWORD max, WORD* size,
                                  WORD* count) {
    Locked g(procLock_);
    *size = sizeof(ProcSummary);
    return ListSummaries(key, flags, procRules_, procCount_, buffer, max, count);
}

bool ZembrikDb::ListGroupSummaries(const JobSummary* key, DWORD flags, JobSummary* buffer, DWORD max, WORD* size,
                                   WORD* count) {
    Locked g(groupLock_);
    *size = sizeof(JobSummary);
    return ListSummaries(key, flags, groupRules_, groupCount_, buffer, max, count);
}

std::shared_ptr<const ZembrikDb::ProcListView> ZembrikDb::CurrentProcList() {
    std::shared_ptr<const ProcListView> cached;
    {
        std::lock_guard<std::mutex> g(procViewLock_);
        cached = procView_;
    }
    ULONGLONG version = cached != nullptr ? cached->liveVersion : 0;
    ProcListEntry* fresh = nullptr;
    DWORD freshCount = 0;
    if (live_.processes != nullptr) freshCount = live_.processes(live_.source, &fresh, &version);
    std::shared_ptr<const ProcListEntry[]> freshOwner(fresh);
    bool liveChanged = cached == nullptr || version != cached->liveVersion;
    if (!liveChanged) {
        bool same;
        {
            Locked g(procLock_);
            same = procStamp_ == cached->procStamp;
        }
        if (same) {
            Locked g(nameLock_);
            same = nameStamp_ == cached->nameStamp;
        }
        if (same) return cached;
    }

    auto view = std::make_shared<ProcListView>();
    view->liveVersion = version;
    if (liveChanged) {
        view->live = std::move(freshOwner);
        view->liveCount = freshCount;
    } else {
        view->live = cached->live;
        view->liveCount = cached->liveCount;
    }
    Owned<ProcListEntry> rules, aliases, live;
    {
        Locked g(procLock_);
        view->procStamp = procStamp_;
        if (Allocate(rules, procCount_, u"AllocProcList1")) {
            for (DWORD i = 0; i < rules.n; ++i) {
                const ProcSummary& r = procRules_[i];
                ProcListEntry& e = rules.p[i];
                lstrcpynW(e.name, r.name, kNameUnits);
                e.listFlags = HasRule;
                if ((r.mgmt.mgmtFlags & HasMemberOf) != 0) {
                    e.listFlags |= NamedAsGroup;
                    lstrcpynW(e.groupName, r.memberOf, kNameUnits);
                }
                if (ProcRuleHasSettings(r.mgmt)) e.listFlags |= RuleInEffect;
            }
        } else {
            return nullptr;
        }
    }
    {
        Locked g(nameLock_);
        view->nameStamp = nameStamp_;
        DWORD fixed = 0;
        for (DWORD i = 0; i + 1 < aliasCount_; ++i)
            if (!HasMarker(aliasRules_[i].name)) ++fixed;
        if (!Allocate(aliases, fixed, u"AllocProcList2")) return nullptr;
        DWORD at = 0;
        for (DWORD i = 0; i + 1 < aliasCount_ && at < fixed; ++i) {
            if (HasMarker(aliasRules_[i].name)) continue;
            lstrcpynW(aliases.p[at].name, aliasRules_[i].name, kNameUnits);
            aliases.p[at++].listFlags = NamedByAlias;
        }
    }
    // A borrowed view of the live part for Join, which only reads it.
    live.p = const_cast<ProcListEntry*>(view->live.get());
    live.n = view->liveCount;
    DWORD total = 0;
    ProcListEntry* all = Join({&rules, &aliases, &live}, total, u"AllocProcList3");
    live.p = nullptr;
    if (all == nullptr && total == 0 && rules.n + aliases.n + live.n > 0) return nullptr;
    view->sorted.reset(all);
    view->sortedCount = total;
    SortProcList(all, total);

    std::lock_guard<std::mutex> g(procViewLock_);
    // A view made meanwhile from newer lists stays.
    const ProcListView* now = procView_.get();
    if (now == nullptr || (view->liveVersion >= now->liveVersion && view->procStamp - now->procStamp >= 0 &&
                           view->nameStamp - now->nameStamp >= 0))
        procView_ = view;
    return view;
}

bool ZembrikDb::ListProcesses(const ProcListEntry* key, DWORD flags, ProcListEntry* buffer, DWORD max, WORD* size,
                              WORD* count) {
    *size = sizeof(ProcListEntry);
    *count = 0;
    std::shared_ptr<const ProcListView> view = CurrentProcList();
    if (view == nullptr) return false;
    bool more = false;
    *count = static_cast<WORD>(FoldSortedProcList(view->sorted.get(), view->sortedCount, *key, flags, buffer, max, more));
    return more;
}

bool ZembrikDb::ListGroups(const WCHAR* keyName, DWORD flags, JobListEntry* buffer, DWORD max, WORD* size,
                           WORD* count) {
    *size = sizeof(JobListEntry);
    *count = 0;
    Owned<JobListEntry> rules, named, live;
    {
        Locked g(groupLock_);
        if (Allocate(rules, groupCount_, u"AllocJobList1")) {
            for (DWORD i = 0; i < rules.n; ++i) {
                lstrcpynW(rules.p[i].name, groupRules_[i].name, kNameUnits);
                rules.p[i].listFlags = HasRule;
                if (GroupRuleHasSettings(groupRules_[i].mgmt)) rules.p[i].listFlags |= RuleInEffect;
            }
        }
    }
    {
        Locked g(procLock_);
        DWORD members = 0;
        for (DWORD i = 0; i < procCount_; ++i)
            if (procRules_[i].memberOf[0] != 0) ++members;
        if (Allocate(named, members, u"AllocJobList2")) {
            DWORD at = 0;
            for (DWORD i = 0; i < procCount_ && at < members; ++i) {
                if (procRules_[i].memberOf[0] == 0) continue;
                lstrcpynW(named.p[at].name, procRules_[i].memberOf, kNameUnits);
                named.p[at++].listFlags = NamedAsGroup;
            }
        }
    }
    if (live_.groups != nullptr) live.n = live_.groups(live_.source, &live.p);

    DWORD total = 0;
    JobListEntry* all = Join({&rules, &named, &live}, total, u"AllocJobList3");
    if (all == nullptr) return false;
    bool more = false;
    *count = static_cast<WORD>(FoldGroupList(all, total, keyName, flags, buffer, max, more));
    delete[] all;
    return more;
}

namespace {

template <typename Def>
int CompareDefs(const void* a, const void* b) {
    return CompareNames(static_cast<const Def*>(a)->name, static_cast<const Def*>(b)->name);
}

void CopyMgmtInto(InternalProcDef& d, const ProcSummary& r) {
    lstrcpynW(d.name, r.name, kNameUnits);
    lstrcpynW(d.mgmtName, r.mgmt.mgmtName, kMgmtNameUnits);
    lstrcpynW(d.memberOf, r.memberOf, kNameUnits);
    d.mgmtFlags = r.mgmt.mgmtFlags;
    d.affinity = r.mgmt.affinity;
    d.priority = r.mgmt.priority;
    d.minWorkingSet = r.mgmt.minWorkingSet;
    d.maxWorkingSet = r.mgmt.maxWorkingSet;
}

void CopyMgmtInto(InternalJobDef& d, const JobSummary& r) {
    const MgmtData& m = r.mgmt;
    lstrcpynW(d.name, r.name, kNameUnits);
    lstrcpynW(d.mgmtName, m.mgmtName, kMgmtNameUnits);
    d.mgmtFlags = m.mgmtFlags;
    d.affinity = m.affinity;
    d.priority = m.priority;
    d.minWorkingSet = m.minWorkingSet;
    d.maxWorkingSet = m.maxWorkingSet;
    d.schedClass = m.schedClass;
    d.processCount = m.processCount;
    d.procTimeLimit = m.procTimeLimit;
    d.groupTimeLimit = m.groupTimeLimit;
    d.procMemoryLimit = m.procMemoryLimit;
    d.groupMemoryLimit = m.groupMemoryLimit;
}

}  // namespace

DWORD ZembrikDb::GetProcDefs(InternalProcDef** defs) {
    *defs = nullptr;
    DWORD n = 0;
    {
        Locked g(procLock_);
        if (procCount_ == 0) return 0;
        *defs = new (std::nothrow) InternalProcDef[procCount_]();
        if (*defs == nullptr) {
            LogAllocError(u"AllocInternalProcDefs", sizeof(InternalProcDef) * procCount_);
            return 0;
        }
        n = procCount_;
        for (DWORD i = 0; i < n; ++i) CopyMgmtInto((*defs)[i], procRules_[i]);
    }
    if (n > 1) qsort(*defs, n, sizeof(InternalProcDef), CompareDefs<InternalProcDef>);
    return n;
}

DWORD ZembrikDb::GetGroupDefs(InternalJobDef** defs, LPCWSTR name) {
    *defs = nullptr;
    DWORD n = 0;
    {
        Locked g(groupLock_);
        if (groupCount_ == 0) return 0;
        *defs = new (std::nothrow) InternalJobDef[name != nullptr ? 1 : groupCount_]();
        if (*defs == nullptr) {
            LogAllocError(u"AllocInternalJobDefs", sizeof(InternalJobDef) * (name != nullptr ? 1 : groupCount_));
            return 0;
        }
        for (DWORD i = 0; i < groupCount_; ++i) {
            if (name != nullptr) {
                if (CompareNames(groupRules_[i].name, name) != 0) continue;
                CopyMgmtInto((*defs)[0], groupRules_[i]);
                n = 1;
                break;
            }
            CopyMgmtInto((*defs)[n++], groupRules_[i]);
        }
        if (n == 0) {
            delete[] *defs;
            *defs = nullptr;
            return 0;
        }
    }
    if (n > 1) qsort(*defs, n, sizeof(InternalJobDef), CompareDefs<InternalJobDef>);
    return n;
}
