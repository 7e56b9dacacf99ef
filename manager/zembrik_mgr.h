// The process manager: names every running process, puts the processes that
// the process rules name into their groups (job objects) with the group
// limits, holds their per-process settings, reports the job messages, and
// serves the live lists and kills of clients.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "wire/rule_records.h"
#include "db/zembrik_db.h"
#include "manager/managed_records.h"
#include "pal/job.h"
#include "pal/security.h"
#include "pal/sync.h"
#include "pal/types.h"
#include "wire/result_codes.h"

class ZembrikDb;
class SharedJobHeader;
class PromText;

// What the manager is given by its host (the service core, or a test).
struct ManagerContext {
    ZembrikDb* database = nullptr;
    HANDLE completionPort = nullptr;  // shared with the mediator
    HANDLE mediatorEvent = nullptr;   // tells the mediator the job table changed
    SharedJobHeader* jobHeader = nullptr;
    HANDLE stopEvent = nullptr;       // set once the service stops
    const std::atomic<DWORD>* stopRequested = nullptr;
    DWORD pageSize = 0;
    // The pid of the mediator the host runs, 0 when none: it is never killed.
    DWORD (*mediatorPid)(void* host) = nullptr;
    void* host = nullptr;
    // Called after every pass, outside the manager lock, with the
    // manager's metrics text; the host adds its own and writes it.
    void (*passDone)(void* host, std::string& metrics) = nullptr;
};

// Exit code of processes killed on request.
constexpr UINT kKillExitCode = 1067;
// The job reporter's thread stack.
constexpr SIZE_T kReporterStackSize = 10000;
// A client list asked within this many ms of the last discovery uses its
// list (the pages of one list, many clients at once) instead of a new one;
// so does one asked while a discovery runs, once that one is done.
constexpr ULONGLONG kListFreshMs = 100;
// The scheduling class of a group without that limit.
constexpr DWORD kDefaultSchedulingClass = 5;
// Seconds between two memory-limit events of one group.
constexpr DWORD kMemoryEventSeconds = 10;

// The process a pass acts on, opened when first needed: a pass reads what
// its discovery has just read and opens only what it changes.
class PassProcess {
public:
    explicit PassProcess(DWORD pid) : pid_(pid) {}
    ~PassProcess();
    PassProcess(const PassProcess&) = delete;
    PassProcess& operator=(const PassProcess&) = delete;
    // Null when the process is gone (or, logged, cannot be opened).
    HANDLE Get();

private:
    DWORD pid_;
    bool tried_ = false;
    HANDLE handle_ = nullptr;
};

class ZembrikMgr {
public:
    // Never fails as a whole: readiness tells.
    explicit ZembrikMgr(const ManagerContext* context);
    // The live lists of `manager` for the store's merged lists.
    static LiveLists LiveListsOf(ZembrikMgr* manager);
    ~ZembrikMgr();
    ZembrikMgr(const ZembrikMgr&) = delete;
    ZembrikMgr& operator=(const ZembrikMgr&) = delete;

    bool IsReady() const { return securityAttributes_.lpSecurityDescriptor != nullptr; }
    // The manager loop: 1 when the rules could not be loaded, else 0.
    DWORD Run();
    // Rebuilds the raw process list, refreshes every managed group and
    // publishes the list clients get.
    void Discover();
    // One management pass over the raw list.
    void ApplyRules();

    // The groups, the managed processes and the last pass, as metrics
    // (metrics.cpp); takes the manager lock.
    void AppendMetrics(PromText& out);

    // --- client side (client_lists.cpp) ---
    // Live processes and managed groups as list entries; the caller frees
    // the array with delete[].
    // The process list is copied only when its version differs from
    // `*version`, which then becomes the version copied.
    DWORD AllocExportProcList(ProcListEntry** entries, ULONGLONG* version);
    DWORD AllocJobList(JobListEntry** entries);
    DWORD KillProcess(DWORD pid, ULONGLONG creationTime);
    DWORD KillGroup(const WCHAR* groupName);

    DWORD SystemAffinity() const { return systemAffinity_; }
    DWORD Generation() const { return generation_; }
    // For the job reporter thread.
    static DWORD JobReporter(LPVOID manager);

    // --- records (zembrik_mgr.cpp) ---
    ManagedProc* FindProc(ULONGLONG pid, const FILETIME& creationTime);
    ManagedJob* FindJob(const WCHAR* groupName, ManagedJob** previous = nullptr);
    void TrackProc(ManagedProc* proc, const InternalProcDef& rule, bool isNew);
    void TrackJob(ManagedJob* job, const InternalJobDef* rule, bool isNew);
    void DropStaleProcs();
    void SweepStaleJobs();
    void RemoveJobIfEmpty(ManagedJob* job);

    // --- groups (group_refresh.cpp, group_limits.cpp) ---
    // False when a query failed (logged; that record is zeroed).
    bool RefreshJob(ManagedJob* job);
    bool AllocJobProcList(ManagedJob* job);
    DWORD ApplyGroupLimits(ManagedJob* job);

    // --- per-process settings (proc_settings.cpp) ---
    // The current values come from the raw entry (the pass's discovery), which
    // gets what is written.
    DWORD ApplyProcSettings(ManagedProc* proc, RawProc& raw, PassProcess& process);

    // --- job messages (job_reporter.cpp) ---
    // Whether an event stamped at `stamp` (a tick count) may be logged again
    // after `seconds`; restamps it when so.
    static bool EventDue(DWORD& stamp, DWORD seconds);
    bool MemoryEventDue(ManagedJob* job, DWORD seconds) { return EventDue(job->lastMemoryEvent, seconds); }
    // Logs job messages lost to a full port, once a pass.
    void CheckLostMessages(ManagedJob* job);
    void HandleJobMessage(DWORD message, DWORD key, ULONG_PTR pid);
    // Counts a job message that tells of a limit hit.
    static void CountLimitHit(ManagedJob* job, DWORD message);

    // Read access for tests and diagnostics; hold the lock while looking.
    CRITICAL_SECTION& Lock() { return lock_; }
    ManagedProc* Procs() const { return procs_; }
    ManagedJob* Jobs() const { return jobs_; }
    DWORD ProcCount() const { return procCount_; }
    DWORD JobCount() const { return jobCount_; }
    const RawProc* RawProcs() const { return rawProcs_; }
    DWORD RawCount() const { return rawCount_; }
    HANDLE CompletionPort() const { return portAssociation_.CompletionPort; }
    // Walks over /proc so far (each discovery makes one; concurrent client
    // lists share one).
    ULONGLONG Walks() const { return walks_.load(); }

private:
    // The group step of a pass; true when the process is handled by its group.
    bool GroupStep(ManagedProc* proc, const InternalProcDef& rule, PassProcess& process,
                   const InternalJobDef* groupDefs, DWORD groupCount);
    // Every process, pid-sorted, into a new array (the caller deletes it);
    // names come from the known processes, worked out only for new ones.
    // False (logged) when there is no list.
    bool Walk(RawProc*& procs, DWORD& count);
    // End a discovery under way: the client list made from the raw list and
    // its group links (manager lock held) ...
    void PublishRawList();
    // ... or from a client's own walk (taken), with the group links of the
    // list it replaces.
    void PublishWalk(RawProc* procs, DWORD count);
    // Both: the new list takes the published one's place (list lock held).
    void EndDiscovery(std::vector<ProcListEntry>& entries);
    // A discovery for the client list; see client_lists.cpp.
    void DiscoverForList(std::unique_lock<std::mutex>& l);
    // The thread that discovers ahead of lists while they keep coming.
    static DWORD ListRefresher(LPVOID manager);
    // The raw entry and the published entry of a process now in `job` (or
    // in none).
    void LinkMember(RawProc* raw, ManagedJob* job);
    // Rebuilds the pid index of the managed records.
    void IndexProcs();
    // Posts our one stop packet to the reporter.
    void PostReporterStop();
    // Takes over the group time of a group adopted from an earlier service.
    void AdoptGroupTime(ManagedJob* job);
    // Unlinks and frees a group (its handle closed).
    void FreeJob(ManagedJob* job, ManagedJob* previous);
    // The raw entry of a pid, or null.
    RawProc* FindRaw(DWORD pid);

    HANDLE stopEvent_ = nullptr;
    const std::atomic<DWORD>* stopRequested_ = nullptr;
    DWORD (*mediatorPid_)(void* host) = nullptr;
    void* host_ = nullptr;
    void (*passDone_)(void* host, std::string& metrics) = nullptr;
    ULONGLONG passes_ = 0;          // under the manager lock
    ULONGLONG lastPassNs_ = 0;      // the last pass's discovery and rules
    ZembrikDb* database_ = nullptr;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT portAssociation_{};
    HANDLE reporterThread_ = nullptr;
    std::atomic<bool> reporterStop_{false};  // set by the destructor
    // Our stop packet carries this value: one left in the port by an
    // earlier manager (the mediator keeps the port) is not ours.
    ULONG_PTR stopToken_ = 0;
    std::atomic<bool> stopPosted_{false};
    DWORD systemAffinity_ = 1;
    DWORD generation_ = 1;
    CRITICAL_SECTION lock_;
    SECURITY_ATTRIBUTES securityAttributes_{};
    RawProc* rawProcs_ = nullptr;
    DWORD rawCount_ = 0;
    DWORD jobCount_ = 0;
    ManagedJob* jobs_ = nullptr;
    DWORD procCount_ = 0;
    ManagedProc* procs_ = nullptr;
    HANDLE mediatorEvent_ = nullptr;
    SharedJobHeader* jobHeader_ = nullptr;
    DWORD pageSize_ = 4096;
    // The first managed record of each pid (the one FindProc decides by).
    std::unordered_map<ULONGLONG, ManagedProc*> procIndex_;

    // The known processes, by pid, and the walk that fills them; one walk at
    // a time. Taken after the manager lock, never before it.
    std::mutex knownLock_;
    std::unordered_map<DWORD, KnownProc> known_;
    ULONGLONG walkSerial_ = 0;
    std::atomic<ULONGLONG> walks_{0};

    // The client process list, pid-sorted, as the last discovery left it and
    // kept up with group changes since. Taken after the manager lock and the
    // known lock, never before them.
    std::mutex listLock_;
    std::condition_variable listDone_;
    std::vector<ProcListEntry> list_;
    ULONGLONG listTick_ = 0;     // tick count when it was made; 0: none yet
    ULONGLONG listSerial_ = 0;   // raised with every new list
    ULONGLONG listVersion_ = 1;  // raised with every change of the list
    DWORD walksRunning_ = 0;     // discoveries under way, whose lists are coming
    std::condition_variable refreshWanted_;
    bool refreshAsked_ = false;
    bool refresherStop_ = false;
    HANDLE refresherThread_ = nullptr;  // null when it could not start
};
