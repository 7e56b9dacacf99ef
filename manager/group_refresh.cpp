// Group refresh: a job's limits, accounting and members as the job object
// has them now; the members' raw entries are linked to the group.
#include <cstddef>
#include <cstring>
#include <new>

#include "common/event_log.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"

namespace {

// Room for the two counts and n ids.
DWORD PidListSize(DWORD n) {
    return static_cast<DWORD>(offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) + n * sizeof(ULONG_PTR));
}

constexpr DWORD kFirstPidListIds = 16;

}  // namespace

bool ZembrikMgr::RefreshJob(ManagedJob* job) {
    if (!QueryInformationJobObject(job->handle, JobObjectExtendedLimitInformation, &job->limits, sizeof(job->limits),
                                   nullptr)) {
        job->lastError = GetLastError();
        LogApiError(job->jobName, u"GetJobObjExtLimitInfo");
        memset(&job->limits, 0, sizeof(job->limits));
        return false;
    }
    if (!QueryInformationJobObject(job->handle, JobObjectBasicAndIoAccountingInformation, &job->accounting,
                                   sizeof(job->accounting), nullptr)) {
        job->lastError = GetLastError();
        LogApiError(job->jobName, u"GetBasicAndIoAcctInfo");
        memset(&job->accounting, 0, sizeof(job->accounting));
        return false;
    }
    if (!AllocJobProcList(job)) return false;
    for (DWORD i = 0; i < job->pidList->NumberOfProcessIdsInList; ++i) {
        RawProc* raw = FindRaw(static_cast<DWORD>(job->pidList->ProcessIdList[i]));
        if (raw != nullptr) LinkMember(raw, job);
    }
    delete[] reinterpret_cast<BYTE*>(job->pidList);
    job->pidList = nullptr;
    return true;
}

bool ZembrikMgr::AllocJobProcList(ManagedJob* job) {
    DWORD size = PidListSize(kFirstPidListIds);
    for (;;) {
        delete[] reinterpret_cast<BYTE*>(job->pidList);
        // ULONG_PTR-aligned storage for the list.
        job->pidList = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(
            new (std::nothrow) ULONG_PTR[(size + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR)]);
        if (job->pidList == nullptr) {
            LogAllocError(u"AllocJobProcList", size);
            job->lastError = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        if (!QueryInformationJobObject(job->handle, JobObjectBasicProcessIdList, job->pidList, size, nullptr) &&
            GetLastError() != ERROR_MORE_DATA) {
            job->lastError = GetLastError();
            LogApiError(job->jobName, u"GetJobObjProcListInfo");
            job->pidList->NumberOfAssignedProcesses = 0;
            job->pidList->NumberOfProcessIdsInList = 0;
            job->pidList->ProcessIdList[0] = 0;
            return false;
        }
        DWORD assigned = job->pidList->NumberOfAssignedProcesses;
        if (job->pidList->NumberOfProcessIdsInList >= assigned) return true;
        // Two ids more than asked, for members that join meanwhile.
        size = PidListSize(assigned + 2);
    }
}
