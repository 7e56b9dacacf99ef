// The process manager. For now its loop wakes on the poll interval, the rule
// change event or stop; discovery and the management pass come with it.
#pragma once
#include "pal/types.h"

struct ServiceContext;
class ZembrikCore;
class ZembrikDb;

class ZembrikMgr {
public:
    explicit ZembrikMgr(ServiceContext* context);
    bool IsReady() const { return core_ != nullptr && database_ != nullptr; }
    // The manager loop; 0 when it ended because of a stop.
    DWORD Run();
    DWORD SystemAffinity() const { return systemAffinity_; }
    // Completed passes; for tests and diagnostics.
    DWORD Generation() const { return generation_; }

private:
    ZembrikCore* core_;
    ZembrikDb* database_;
    DWORD systemAffinity_ = 1;
    DWORD generation_ = 1;
};
