// The manager's records: the raw process list of a discovery, the per-pass
// matched list, and the processes and groups under management, kept from
// pass to pass. All are guarded by the manager lock.
#pragma once
#include "wire/rule_records.h"
#include "pal/job.h"
#include "pal/types.h"
#include "wire/shared_job_table.h"

struct ManagedJob;

// Bits of RawProc::readFlags: the values a discovery could read.
constexpr DWORD kReadPriority = 0x1;
constexpr DWORD kReadAffinity = 0x2;

// One running process as the last discovery saw it.
struct RawProc {
    DWORD pid;
    FILETIME creationTime;
    ULONGLONG userTime;    // 100 ns
    ULONGLONG kernelTime;  // 100 ns
    WCHAR procName[64];    // from the alias rules; never empty in a kept entry
    ManagedJob* job;       // the managed group whose job lists this pid
    DWORD priority;        // priority number
    ULONGLONG affinity;
    WCHAR imageName[64];
    DWORD priorityClass;   // as read; a pass that changes it writes it here too
    DWORD readFlags;
};

// What a discovery keeps of a process from walk to walk: what cannot change
// while it runs. The key is (pid, creation time); the command name, the image
// stamp and the ended and kernel-thread flags are checked too, since an exec
// (or the end) changes the image the alias rules name it from.
struct KnownProc {
    FILETIME creationTime;
    char commandName[16];
    ULONGLONG imageStamp;
    DWORD stateFlags;
    ULONGLONG seen;        // the walk that last found it
    LONG nameStamp;        // the alias list procName was made with
    WCHAR procName[64];
    WCHAR imageName[64];
    WCHAR imageText[260];  // what the alias rules name it from
};

// One raw process that a process rule names, for one pass.
struct MatchedProc {
    ULONGLONG pid;
    ULONGLONG creationTime;
    ULONGLONG userTime;
    ULONGLONG kernelTime;
    const InternalProcDef* rule;
    WCHAR imageName[64];
    RawProc* raw;
};

// Bits of reportedFlags, appliedFlags and savedFlags: the rule flags of the
// three per-process settings.
constexpr DWORD kSettingAffinity = ApplyAffinity;
constexpr DWORD kSettingPriority = ApplyPriority;
constexpr DWORD kSettingWorkingSet = ApplyWorkingSet;

// A process under management. (pid, creationTime) is its identity.
struct ManagedProc {
    ManagedProc(const WCHAR* name, ULONGLONG pid, const FILETIME& creationTime);

    ULONGLONG pid;
    FILETIME creationTime;
    ULONGLONG userTime;
    ULONGLONG kernelTime;
    WCHAR procName[64];
    ManagedProc* next;
    DWORD stamp;
    DWORD priority;
    ULONGLONG affinity;
    WCHAR imageName[64];
    DWORD inJob;           // in some job object: never assigned again
    DWORD reportedFlags;   // a validation or failure event of that setting was logged
    DWORD appliedFlags;    // changed by us and not yet restored
    WCHAR pidText[16];
    ManagedJob* job;       // the group we put it into
    WCHAR conflictJobName[kJobNameUnits];
    InternalProcDef rule;  // the process rule as last applied
    InternalProcDef saved; // prior settings; mgmtFlags holds savedFlags
};

// The limits a group's members ran into, by the job message that told.
enum LimitHit : DWORD {
    kHitGroupTime,
    kHitProcessTime,
    kHitProcessCount,
    kHitProcessMemory,
    kHitGroupMemory,
    kLimitHitKinds
};

// End-of-job action not set yet.
constexpr DWORD kNoEndOfJobAction = 789123;

// A process group: one job object under management.
struct ManagedJob {
    ManagedJob(const WCHAR* groupName, SharedJobHeader* header);

    WCHAR groupName[64];
    ManagedJob* next;
    DWORD stamp;
    HANDLE handle;
    DWORD portAssociated;
    DWORD timeLimitHit;      // the group time ran out and the group went on
    DWORD lastMemoryEvent;   // tick count of the last memory-limit event
    DWORD lastCountEvent;    // tick count of the last process-count event
    DWORD limitsError;       // the limit write's failure last logged; 0 once it succeeds
    DWORD unsupportedFlags;  // job limit flags this host refuses (logged once)
    DWORD lostMessages;      // job messages lost to a full port, as last logged
    ULONGLONG limitHits[kLimitHitKinds];  // job messages of each limit, logged or not
    DWORD reportedFlags;     // validation events logged, by rule flag
    DWORD completionKey;     // the group's number in the shared job table
    DWORD endOfJobAction;
    InternalJobDef rule;
    DWORD lastError;
    WCHAR jobName[kJobNameUnits];  // "Kvjob_" + groupName
    LONGLONG lastGroupTime;  // the group time we last set; 0 when none
    JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION accounting;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    JOBOBJECT_BASIC_PROCESS_ID_LIST* pidList;  // only during a refresh
};

// Names compare without case on their first 63 characters.
bool SameName(const WCHAR* a, const WCHAR* b);
// A FILETIME as one 64-bit number.
inline ULONGLONG FileTimeValue(const FILETIME& t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
