#include "manager/zembrik_mgr.h"

#include "common/event_log.h"
#include "db/zembrik_db.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"
#include "service/core.h"

ZembrikMgr::ZembrikMgr(ServiceContext* context) : core_(context->core), database_(context->database) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask))
        systemAffinity_ = static_cast<DWORD>(systemMask);
}

DWORD ZembrikMgr::Run() {
    HANDLE waits[2] = {core_->stopEvent, database_->ChangeEvent()};
    for (;;) {
        DWORD rc = WaitForMultipleObjects(2, waits, FALSE, database_->PollMilliseconds());
        if (rc == WAIT_FAILED) {
            LogApiError(u"ZbManager", u"Wait");
            return 1;
        }
        if (core_->stopRequested.load() != 0) return 0;
        ++generation_;
    }
}
