// Discovery: a fresh, pid-sorted list of every process we can open and name.
#include <algorithm>
#include <new>

#include "common/event_log.h"
#include "db/priority.h"
#include "db/zembrik_db.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"

namespace {

constexpr DWORD kFirstPidRoom = 1024;

// The text the alias rules name a process from: its image path, its module
// name, "Unknown" or "System".
void ImageText(HANDLE process, DWORD pid, WCHAR (&text)[260]) {
    HMODULE modules[4];
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules, sizeof(modules), &needed)) {
        DWORD err = GetLastError();
        lstrcpynW(text, u"System", 260);
        if (err != ERROR_ACCESS_DENIED && err != ERROR_PARTIAL_COPY) LogPidError(pid, u"EnumModules");
        return;
    }
    if (GetModuleFileNameExW(process, modules[0], text, 260) != 0) return;
    if (GetModuleBaseNameW(process, modules[0], text, 260) != 0) return;
    DWORD err = GetLastError();
    lstrcpynW(text, u"Unknown", 260);
    if (err != ERROR_ACCESS_DENIED) LogPidError(pid, u"GetModuleBase/FileNameEx");
}

}  // namespace

void ZembrikMgr::Discover() {
    DWORD room = kFirstPidRoom;
    DWORD* pids = nullptr;
    DWORD count = 0;
    for (;;) {
        pids = new (std::nothrow) DWORD[room];
        if (pids == nullptr) {
            LogAllocError(u"AllocRawProcList", room * sizeof(DWORD));
            return;
        }
        DWORD bytes = 0;
        if (!EnumProcesses(pids, room * sizeof(DWORD), &bytes)) {
            LogApiError(u"ZbDiscover", u"EnumProcesses");
            delete[] pids;
            return;
        }
        count = bytes / sizeof(DWORD);
        if (count < room) break;
        delete[] pids;
        room *= 2;
    }

    EnterCriticalSection(&lock_);
    delete[] rawProcs_;
    rawProcs_ = nullptr;
    rawCount_ = 0;
    if (count > 0) rawProcs_ = new (std::nothrow) RawProc[count]();
    if (rawProcs_ == nullptr && count > 0) {
        LogAllocError(u"AllocRawProcList", count * sizeof(RawProc));
        LeaveCriticalSection(&lock_);
        delete[] pids;
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pids[i]);
        if (process == nullptr) continue;  // gone, or not ours to see
        WCHAR text[260];
        ImageText(process, pids[i], text);
        RawProc& e = rawProcs_[rawCount_];
        e = RawProc{};  // a rejected entry before may have left its slot filled
        e.pid = pids[i];
        FILETIME kernel{}, user{};
        GetProcessTimes(process, &e.creationTime, &e.exitTime, &kernel, &user);
        e.kernelTime = FileTimeValue(kernel);
        e.userTime = FileTimeValue(user);
        e.priority = PriorityNumberOfClass(GetPriorityClass(process));
        DWORD_PTR processMask = 0;
        DWORD_PTR systemMask = systemAffinity_;
        if (GetProcessAffinityMask(process, &processMask, &systemMask)) {
            systemAffinity_ = static_cast<DWORD>(systemMask);
            e.affinity = static_cast<DWORD>(processMask);
        } else if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
            LogPidError(pids[i], u"GetAffinityMask");  // not merely ended meanwhile
        }
        database_->NameProcess(text, e.procName, e.imageName);
        if (e.procName[0] != 0) ++rawCount_;
        CloseHandle(process);
    }
    delete[] pids;
    std::sort(rawProcs_, rawProcs_ + rawCount_, [](const RawProc& a, const RawProc& b) { return a.pid < b.pid; });
    for (ManagedJob* j = jobs_; j != nullptr; j = j->next) RefreshJob(j);
    lastDiscovery_ = GetTickCount64();
    LeaveCriticalSection(&lock_);
}

void ZembrikMgr::DiscoverForList() {
    ULONGLONG last = lastDiscovery_.load();
    if (last == 0 || GetTickCount64() - last >= kListFreshMs) {
        Discover();
        return;
    }
    // The processes are fresh; the groups (a pass may have added members
    // since) are read again.
    EnterCriticalSection(&lock_);
    for (DWORD i = 0; i < rawCount_; ++i) rawProcs_[i].job = nullptr;
    for (ManagedJob* j = jobs_; j != nullptr; j = j->next) RefreshJob(j);
    LeaveCriticalSection(&lock_);
}
