// The process manager. For now it loads the rules and its loop wakes on the
// poll interval, the rule change event or stop; discovery, groups and the
// management pass come with it.
#pragma once
#include "db/rule_records.h"
#include "pal/types.h"

struct ServiceContext;
class ZembrikCore;
class ZembrikDb;

class ZembrikMgr {
public:
    explicit ZembrikMgr(ServiceContext* context);
    bool IsReady() const { return core_ != nullptr && database_ != nullptr; }
    // The manager loop: 1 when the rules could not be loaded, else 0.
    DWORD Run();
    // The running processes and the managed groups as list entries
    // (RunningNow set); the caller frees the array with delete[]. Nothing is
    // discovered yet, so both are empty.
    DWORD AllocExportProcList(ProcListEntry** entries);
    DWORD AllocJobList(JobListEntry** entries);
    DWORD SystemAffinity() const { return systemAffinity_; }
    // Completed passes; for tests and diagnostics.
    DWORD Generation() const { return generation_; }

private:
    ZembrikCore* core_;
    ZembrikDb* database_;
    DWORD systemAffinity_ = 1;
    DWORD generation_ = 1;
};
