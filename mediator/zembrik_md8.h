// The mediator: keeps the shared job table, the completion port and the
// chain blocks alive while the service is down, so a restarted service can
// adopt them.
#pragma once
#include <string>
#include <vector>

#include "pal/types.h"

class SharedJobHeader;
struct SharedJobBlock;

class ZembrikMD8 {
public:
    // Never fails: readiness tells (another mediator runs, or the service's
    // table cannot be had).
    ZembrikMD8();
    ~ZembrikMD8();
    ZembrikMD8(const ZembrikMD8&) = delete;
    ZembrikMD8& operator=(const ZembrikMD8&) = delete;

    bool IsReady() const { return header_ != nullptr && onlyMe_ != nullptr; }
    // Follows the service's changes until the process is ended.
    DWORD Run();
    // Takes over whatever the service recorded that we do not hold yet: the
    // port, every chain block and the job object of every entry in use;
    // lets go of the job objects of released entries. False while something
    // recorded could not be taken (yet).
    bool Refresh();

private:
    // The service's process, for taking its handles; null when it is gone.
    HANDLE OpenService();
    void AdoptPort(HANDLE service);
    // `service` may be null (gone): then only the links are put in order.
    void AdoptBlocks(HANDLE service);
    bool HoldJobs();  // false while an entry's job could not be opened

    struct HeldJob {
        std::u16string name;
        HANDLE job;
    };

    HANDLE onlyMe_ = nullptr;   // "ZembrikMD8OnlyMe": our existence
    HANDLE mapping_ = nullptr;  // "ZembrikMD8Jobs"
    SharedJobHeader* header_ = nullptr;
    HANDLE changeEvent_ = nullptr;  // "ZembrikMD8Evt"
    HANDLE port_ = nullptr;
    std::vector<HANDLE> blocks_;          // the chain blocks we took, in chain order
    std::vector<SharedJobBlock*> views_;  // and our views of them
    std::vector<HeldJob> jobs_;  // the job objects of unreleased entries
};
