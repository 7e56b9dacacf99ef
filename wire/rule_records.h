// The rule records: alias rules, the management block shared by process and
// group rules, the rule summaries and details that travel on the pipe, the
// manager's definition copies and the merged list entries. Packed,
// little-endian, UTF-16 text in fixed arrays (64 units hold 63 characters).
#pragma once
#include <cstddef>

#include "pal/types.h"

// Names are compared case-insensitively on this many characters.
constexpr int kNameCompareChars = 63;
constexpr int kNameUnits = 64;
constexpr int kMgmtNameUnits = 16;

// Whether a 64-unit name field is a valid name (at most 63 characters, no
// backslash, comma or double quote, no blank at either end). The service
// checks every name it is sent; zembrikctl checks a document's before sending.
inline bool IsValidName(const WCHAR* name, bool emptyAllowed) {
    for (int i = 0; i < kNameUnits; ++i) {
        WCHAR c = name[i];
        if (c == u'\\' || c == u',' || c == u'"') return false;
        if (c != 0) continue;
        if (i == 0) return emptyAllowed;
        return name[0] != u' ' && name[i - 1] != u' ';
    }
    return false;
}

#pragma pack(push, 1)

struct NameRule {
    WCHAR match[64];        // pattern: environment references, '*' and '?'
    WCHAR name[64];         // process-name template: "<P>", "<D>", "<H>"
    WCHAR description[64];
    WCHAR matchType;        // 'A' whole path, 'D' a directory, 'P' the program file name
    WORD reserved;
};

struct MgmtData {
    WCHAR mgmtName[16];     // registry value holding the block; empty = "DfltMgmt"
    WCHAR description[64];  // registry value "Description"
    DWORD mgmtFlags;        // F
    ULONGLONG affinity;     // A
    DWORD priority;         // P, the priority number scale
    ULONGLONG minWorkingSet;  // L
    ULONGLONG maxWorkingSet;  // H
    DWORD schedClass;       // S: 0-9, 10 and above none
    DWORD processCount;     // C (group)
    LONGLONG procTimeLimit;   // T (group), 100-ns units
    LONGLONG groupTimeLimit;  // U (group), 100-ns units
    ULONGLONG procMemoryLimit;   // M (group), bytes
    ULONGLONG groupMemoryLimit;  // N (group), bytes
    BYTE reserved[80];      // the first 64 are cleared whenever the block is read
};

struct ProcSummary {
    WCHAR name[64];
    WCHAR memberOf[64];
    MgmtData mgmt;
};

struct JobSummary {
    WCHAR name[64];
    MgmtData mgmt;
};

// Followed by varDataLength bytes of the client's opaque data.
struct ProcDetail {
    ProcSummary summary;
    BYTE reserved[128];
    SHORT varDataLength;
    BYTE varData[1];
};

struct JobDetail {
    JobSummary summary;
    BYTE reserved[128];
    SHORT varDataLength;
    BYTE varData[1];
};

struct ProcListEntry {
    WCHAR name[64];
    DWORD listFlags;
    DWORD priority;
    ULONGLONG affinity;
    ULONGLONG pid;
    ULONGLONG creationTime;  // 100-ns units since 1601
    ULONGLONG userTime;
    ULONGLONG kernelTime;
    WCHAR imageName[64];
    WCHAR groupName[64];
};

struct JobListEntry {
    WCHAR name[64];
    DWORD listFlags;
    DWORD priority;
    ULONGLONG affinity;
    DWORD schedulingClass;
    ULONGLONG totalUserTime;
    ULONGLONG totalKernelTime;
    ULONGLONG thisPeriodUserTime;
    ULONGLONG thisPeriodKernelTime;
    DWORD pageFaults;
    DWORD totalProcesses;
    DWORD activeProcesses;
    DWORD terminatedProcesses;
    ULONGLONG io[6];  // read, write, other operations; read, write, other bytes
    ULONGLONG peakProcessMemory;
    ULONGLONG peakGroupMemory;
};

#pragma pack(pop)

// Fixed parts of the detail records (without varData).
constexpr size_t kProcDetailFixedSize = 698;
constexpr size_t kJobDetailFixedSize = 570;

static_assert(sizeof(NameRule) == 388);
static_assert(offsetof(NameRule, name) == 128);
static_assert(offsetof(NameRule, description) == 256);
static_assert(offsetof(NameRule, matchType) == 384);
static_assert(offsetof(NameRule, reserved) == 386);

static_assert(sizeof(MgmtData) == 312);
static_assert(offsetof(MgmtData, description) == 32);
static_assert(offsetof(MgmtData, mgmtFlags) == 160);
static_assert(offsetof(MgmtData, affinity) == 164);
static_assert(offsetof(MgmtData, priority) == 172);
static_assert(offsetof(MgmtData, minWorkingSet) == 176);
static_assert(offsetof(MgmtData, maxWorkingSet) == 184);
static_assert(offsetof(MgmtData, schedClass) == 192);
static_assert(offsetof(MgmtData, processCount) == 196);
static_assert(offsetof(MgmtData, procTimeLimit) == 200);
static_assert(offsetof(MgmtData, groupTimeLimit) == 208);
static_assert(offsetof(MgmtData, procMemoryLimit) == 216);
static_assert(offsetof(MgmtData, groupMemoryLimit) == 224);
static_assert(offsetof(MgmtData, reserved) == 232);

static_assert(sizeof(ProcSummary) == 568);
static_assert(offsetof(ProcSummary, memberOf) == 128);
static_assert(offsetof(ProcSummary, mgmt) == 256);
static_assert(sizeof(JobSummary) == 440);
static_assert(offsetof(JobSummary, mgmt) == 128);

static_assert(offsetof(ProcDetail, reserved) == 568);
static_assert(offsetof(ProcDetail, varDataLength) == 696);
static_assert(offsetof(ProcDetail, varData) == kProcDetailFixedSize);
static_assert(offsetof(JobDetail, reserved) == 440);
static_assert(offsetof(JobDetail, varDataLength) == 568);
static_assert(offsetof(JobDetail, varData) == kJobDetailFixedSize);

static_assert(sizeof(ProcListEntry) == 432);
static_assert(offsetof(ProcListEntry, listFlags) == 128);
static_assert(offsetof(ProcListEntry, priority) == 132);
static_assert(offsetof(ProcListEntry, affinity) == 136);
static_assert(offsetof(ProcListEntry, pid) == 144);
static_assert(offsetof(ProcListEntry, creationTime) == 152);
static_assert(offsetof(ProcListEntry, userTime) == 160);
static_assert(offsetof(ProcListEntry, kernelTime) == 168);
static_assert(offsetof(ProcListEntry, imageName) == 176);
static_assert(offsetof(ProcListEntry, groupName) == 304);

static_assert(sizeof(JobListEntry) == 260);
static_assert(offsetof(JobListEntry, listFlags) == 128);
static_assert(offsetof(JobListEntry, priority) == 132);
static_assert(offsetof(JobListEntry, affinity) == 136);
static_assert(offsetof(JobListEntry, schedulingClass) == 144);
static_assert(offsetof(JobListEntry, totalUserTime) == 148);
static_assert(offsetof(JobListEntry, pageFaults) == 180);
static_assert(offsetof(JobListEntry, totalProcesses) == 184);
static_assert(offsetof(JobListEntry, terminatedProcesses) == 192);
static_assert(offsetof(JobListEntry, io) == 196);
static_assert(offsetof(JobListEntry, peakProcessMemory) == 244);
static_assert(offsetof(JobListEntry, peakGroupMemory) == 252);

// The manager's copies of the rules (in memory only). Every copy is made
// from zero-filled memory, so their padding compares equal byte for byte.
struct InternalProcDef {
    WCHAR name[64];
    WCHAR mgmtName[16];
    WCHAR memberOf[64];
    DWORD mgmtFlags;
    ULONGLONG affinity;
    DWORD priority;
    ULONGLONG minWorkingSet;
    ULONGLONG maxWorkingSet;
};

struct InternalJobDef {
    WCHAR name[64];
    WCHAR mgmtName[16];
    DWORD mgmtFlags;
    ULONGLONG affinity;
    DWORD priority;
    ULONGLONG minWorkingSet;
    ULONGLONG maxWorkingSet;
    DWORD schedClass;
    DWORD processCount;
    LONGLONG procTimeLimit;
    LONGLONG groupTimeLimit;
    ULONGLONG procMemoryLimit;
    ULONGLONG groupMemoryLimit;
};

// mgmtFlags bits.
enum : DWORD {
    LimitProcessCount = 0x00000002,
    LimitProcTime = 0x00000004,
    LimitGroupTime = 0x00000008,
    LimitSchedClass = 0x00000010,
    ApplyWorkingSet = 0x00000020,
    ApplyPriority = 0x00000040,
    ApplyAffinity = 0x00000080,
    LimitGroupMemory = 0x00000100,
    LimitProcMemory = 0x00000200,
    JoinGroup = 0x00000800,
    RemoveWhenEmpty = 0x00004000,
    PostAtEndOfJob = 0x00008000,
    DieOnUnhandledException = 0x00020000,
    SilentBreakawayOk = 0x00040000,
    BreakawayOk = 0x00080000,
    HasMemberOf = 0x08000000,
    MgmtDataInvalid = 0x40000000,
    MgmtDataMissing = 0x80000000,
};
// The bits stored in the registry.
constexpr DWORD PersistentFlagMask = 0x000ECBFE;

// listFlags bits of the merged list entries.
enum : DWORD {
    RunningNow = 0x00800000,
    HasRule = 0x00400000,
    RuleInEffect = 0x00200000,
    InManagedGroup = 0x00100000,
    NamedByAlias = 0x00080000,
    NamedAsGroup = 0x00040000,
};

// List flags of the keyed client lists.
enum : DWORD {
    ListRunningOnly = 1,
    ListFromKey = 2,
    ListSameGroup = 4,
    ListExact = 8,
};
