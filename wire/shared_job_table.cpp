#include "wire/shared_job_table.h"

#include <cstring>

#include "common/event_log.h"
#include "pal/error.h"
#include "pal/mapping.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/viewnumber.h"

SharedJobBlock* SharedJobHeader::Next(const SharedJobBlock* block) const {
    // The service follows its own links; any other process the mediator's.
    DWORD view = GetCurrentProcessId() == servicePid ? block->nextServiceView : block->nextMediatorView;
    return view == 0 ? nullptr : static_cast<SharedJobBlock*>(PalViewAddress(view));
}

DWORD SharedJobHeader::JobNumber(const WCHAR* name) {
    for (SharedJobBlock* b = &first; b != nullptr; b = Next(b))
        for (DWORD i = 0; i < b->count && i < kJobEntriesPerBlock; ++i)
            if (lstrcmpW(b->entries[i].jobName, name) == 0) return b->entries[i].jobNumber;
    return ++lastJobNumber;
}

void SharedJobHeader::RecordJob(const WCHAR name[kJobNameUnits], DWORD number, SECURITY_ATTRIBUTES* sa) {
    for (SharedJobBlock* b = &first; b != nullptr; b = Next(b)) {
        for (DWORD i = 0; i < b->count && i < kJobEntriesPerBlock; ++i) {
            if (PalCompareNoCase(b->entries[i].jobName, name, 63) != 0) continue;
            b->entries[i].flags &= ~kJobReleased;
            SetEvent(ULongToHandle(serviceEvent));
            return;
        }
    }
    for (SharedJobBlock* b = &first; b != nullptr;) {
        if (b->count < kJobEntriesPerBlock) {
            SharedJobEntry& e = b->entries[b->count];
            memcpy(e.jobName, name, sizeof(e.jobName));
            e.jobNumber = number;
            // The entry is whole before the count makes it visible.
            StorePublished(&b->count, b->count + 1);
            SetEvent(ULongToHandle(serviceEvent));
            return;
        }
        SharedJobBlock* next = Next(b);
        b = next != nullptr ? next : AddBlock(b, sa);
    }
}

void SharedJobHeader::ReleaseJob(const WCHAR* name) {
    for (SharedJobBlock* b = &first; b != nullptr; b = Next(b)) {
        for (DWORD i = 0; i < b->count && i < kJobEntriesPerBlock; ++i) {
            if (PalCompareNoCase(b->entries[i].jobName, name, 63) != 0) continue;
            b->entries[i].flags |= kJobReleased;
            SetEvent(ULongToHandle(serviceEvent));
            return;
        }
    }
}

SharedJobBlock* SharedJobHeader::AddBlock(SharedJobBlock* last, SECURITY_ATTRIBUTES* sa) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, kSharedJobBlockSize, nullptr);
    if (mapping == nullptr) {
        LogApiError(u"ZbMediateBlock", u"CreateBlock");
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (view == nullptr) {
        DWORD error = GetLastError();
        CloseHandle(mapping);
        SetLastError(error);
        LogApiError(u"ZbMediateBlock", u"MapBlock");
        return nullptr;
    }
    last->nextServiceHandle = HandleToULong(mapping);
    last->nextServiceView = PalViewNumber(view);
    return static_cast<SharedJobBlock*>(view);
}
