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
    // The load has logged what went wrong; the thread then stops the service.
    if (database_->LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules) != 0) return 1;
    HANDLE waits[2] = {core_->stopEvent, database_->ChangeEvent()};
    for (;;) {
        DWORD rc = WaitForMultipleObjects(2, waits, FALSE, database_->PollMilliseconds());
        if (rc == WAIT_FAILED) {
            LogApiError(u"ZbManager", u"Wait");
            return 0;
        }
        if (core_->stopRequested.load() != 0) return 0;
        ++generation_;
    }
}

DWORD ZembrikMgr::AllocExportProcList(ProcListEntry** entries) {
    *entries = nullptr;
    return 0;
}

DWORD ZembrikMgr::AllocJobList(JobListEntry** entries) {
    *entries = nullptr;
    return 0;
}
