// The job table shared with the mediator: the named mapping
// "ZembrikMD8Jobs" holds the header with the first block inline; further
// blocks are unnamed mappings chained from it. Both processes map the same
// memory, so the layout is a format between two programs: 32-bit fields,
// UTF-16LE text. Where Windows kept a view address, each process keeps its
// own view number (PalViewNumber).
#pragma once
#include <cstddef>

#include "pal/security.h"
#include "pal/types.h"

// The names the service and the mediator meet under.
inline constexpr const WCHAR* kJobMappingName = u"ZembrikMD8Jobs";
inline constexpr const WCHAR* kMediatorOnlyMeName = u"ZembrikMD8OnlyMe";  // held while a mediator runs

constexpr DWORD kJobEntriesPerBlock = 24;
constexpr DWORD kJobNameUnits = 71;
constexpr DWORD kJobReleased = 1;  // entry flag: the service dropped the group

#pragma pack(push, 1)
struct SharedJobEntry {
    WCHAR jobName[kJobNameUnits];  // "Kvjob_" + group name
    WORD padding;
    DWORD jobNumber;  // the completion key of the job object
    DWORD flags;
    DWORD reserved;
};

struct SharedJobBlock {
    DWORD nextServiceHandle;   // the next block's mapping, valid in the service
    DWORD nextServiceView;     // its view in the service
    DWORD nextMediatorHandle;  // written by the mediator
    DWORD nextMediatorView;    // written by the mediator
    DWORD count;
    SharedJobEntry entries[kJobEntriesPerBlock];
};

class SharedJobHeader {
public:
    DWORD lastJobNumber;
    DWORD servicePort;
    DWORD serviceEvent;
    DWORD servicePid;
    DWORD mediatorProcess;  // with the next three, one PROCESS_INFORMATION of 32-bit fields
    DWORD mediatorThread;
    DWORD mediatorPid;
    DWORD mediatorTid;
    DWORD mediatorPort;
    WCHAR mediatorProductVersion[24];
    WCHAR mediatorFileVersion[24];
    WCHAR mediatorFlagText[24];
    SharedJobBlock first;

    // The number of a job name: its entry's, or the next free one (nothing recorded).
    DWORD JobNumber(const WCHAR* name);
    // Records a job name with its number (or clears its released flag) and
    // signals the mediator.
    void RecordJob(const WCHAR name[kJobNameUnits], DWORD number, SECURITY_ATTRIBUTES* sa);
    // Flags a job name released and signals the mediator.
    void ReleaseJob(const WCHAR* name);
    // Appends an empty block after `last`; null (logged) on failure.
    SharedJobBlock* AddBlock(SharedJobBlock* last, SECURITY_ATTRIBUTES* sa);
    // The block after `block` as this process follows the chain.
    SharedJobBlock* Next(const SharedJobBlock* block) const;
};
#pragma pack(pop)

// The fields one process hands to the other (counts, flags, handles) sit at
// 4-byte offsets of page-aligned views (checked below), so a plain 32-bit
// access is whole; the fences order it against the data it publishes.
inline DWORD LoadPublished(const void* field) {
    DWORD v = *static_cast<const volatile DWORD*>(field);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return v;
}
inline void StorePublished(void* field, DWORD value) {
    __atomic_thread_fence(__ATOMIC_RELEASE);
    *static_cast<volatile DWORD*>(field) = value;
}

constexpr DWORD kSharedJobHeaderSize = 3944;
constexpr DWORD kSharedJobBlockSize = 3764;
static_assert(sizeof(SharedJobEntry) == 156);
static_assert(offsetof(SharedJobEntry, padding) == 142);
static_assert(offsetof(SharedJobEntry, jobNumber) == 144);
static_assert(offsetof(SharedJobEntry, flags) == 148);
static_assert(offsetof(SharedJobEntry, reserved) == 152);
static_assert(sizeof(SharedJobBlock) == kSharedJobBlockSize);
static_assert(offsetof(SharedJobBlock, nextMediatorHandle) == 8);
static_assert(offsetof(SharedJobBlock, count) == 16);
static_assert(offsetof(SharedJobBlock, entries) == 20);
static_assert(sizeof(SharedJobHeader) == kSharedJobHeaderSize);
static_assert(offsetof(SharedJobHeader, servicePort) == 4);
static_assert(offsetof(SharedJobHeader, serviceEvent) == 8);
static_assert(offsetof(SharedJobHeader, servicePid) == 12);
static_assert(offsetof(SharedJobHeader, mediatorProcess) == 16);
static_assert(offsetof(SharedJobHeader, mediatorTid) == 28);
static_assert(offsetof(SharedJobHeader, mediatorPort) == 32);
static_assert(offsetof(SharedJobHeader, mediatorProductVersion) == 36);
static_assert(offsetof(SharedJobHeader, mediatorFileVersion) == 84);
static_assert(offsetof(SharedJobHeader, mediatorFlagText) == 132);
static_assert(offsetof(SharedJobHeader, first) == 180);
static_assert((offsetof(SharedJobHeader, first) + offsetof(SharedJobBlock, count)) % 4 == 0);
static_assert(offsetof(SharedJobBlock, entries) % 4 == 0 && sizeof(SharedJobEntry) % 4 == 0);
static_assert((offsetof(SharedJobHeader, first) + offsetof(SharedJobBlock, entries)) % 4 == 0);
