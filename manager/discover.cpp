// Discovery: a fresh, pid-sorted list of every process we can open and name.
// What cannot change while a process runs (its image and the name the alias
// rules give it) is worked out once per process; a walk reads one stat file
// and the CPU mask of each process.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/event_log.h"
#include "wire/priority.h"
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

// A known process still names the process at hand.
bool StillKnown(const KnownProc& k, const PAL_PROCESS_FACTS& f) {
    constexpr DWORD kStates = PAL_PROCESS_ENDED | PAL_PROCESS_KERNEL_THREAD;
    return memcmp(&k.creationTime, &f.creationTime, sizeof(FILETIME)) == 0 &&
           memcmp(k.commandName, f.commandName, sizeof(k.commandName)) == 0 && k.imageStamp == f.imageStamp &&
           k.stateFlags == (f.flags & kStates);
}

}  // namespace

bool ZembrikMgr::Walk(RawProc*& procs, DWORD& count) {
    procs = nullptr;
    count = 0;
    DWORD room = kFirstPidRoom;
    DWORD* pids = nullptr;
    DWORD n = 0;
    for (;;) {
        pids = new (std::nothrow) DWORD[room];
        if (pids == nullptr) {
            LogAllocError(u"AllocRawProcList", room * sizeof(DWORD));
            return false;
        }
        DWORD bytes = 0;
        if (!EnumProcesses(pids, room * sizeof(DWORD), &bytes)) {
            LogApiError(u"ZbDiscover", u"EnumProcesses");
            delete[] pids;
            return false;
        }
        n = bytes / sizeof(DWORD);
        if (n < room) break;
        delete[] pids;
        room *= 2;
    }
    RawProc* out = n > 0 ? new (std::nothrow) RawProc[n]() : nullptr;
    if (out == nullptr && n > 0) {
        LogAllocError(u"AllocRawProcList", n * sizeof(RawProc));
        delete[] pids;
        return false;
    }
    DWORD_PTR processMask = 0, systemMask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask))
        systemAffinity_ = static_cast<DWORD>(systemMask);

    std::lock_guard<std::mutex> guard(knownLock_);
    ULONGLONG serial = ++walkSerial_;
    ++walks_;
    LONG stamp = database_->NameStamp();  // read before naming: a change meanwhile names again
    for (DWORD i = 0; i < n; ++i) {
        PAL_PROCESS_FACTS f;
        if (!PalQueryProcessFacts(pids[i], &f)) continue;  // gone
        KnownProc& k = known_[pids[i]];
        if (k.seen == 0 || !StillKnown(k, f)) {
            // New to us (or an exec, or its end): named from its image once.
            HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pids[i]);
            if (process == nullptr) {
                known_.erase(pids[i]);
                continue;
            }
            k = KnownProc{};
            k.creationTime = f.creationTime;
            memcpy(k.commandName, f.commandName, sizeof(k.commandName));
            k.imageStamp = f.imageStamp;
            k.stateFlags = f.flags & (PAL_PROCESS_ENDED | PAL_PROCESS_KERNEL_THREAD);
            k.nameStamp = stamp - 1;
            ImageText(process, pids[i], k.imageText);
            CloseHandle(process);
        }
        k.seen = serial;
        if (k.nameStamp != stamp) {
            database_->NameProcess(k.imageText, k.procName, k.imageName);
            k.nameStamp = stamp;
        }
        if (k.procName[0] == 0) continue;  // hidden by an alias rule
        RawProc& e = out[count++];
        e.pid = pids[i];
        e.creationTime = f.creationTime;
        e.userTime = f.userTime;
        e.kernelTime = f.kernelTime;
        e.priorityClass = f.priorityClass;
        e.priority = PriorityNumberOfClass(f.priorityClass);
        e.readFlags = kReadPriority;
        if ((f.flags & PAL_PROCESS_NO_AFFINITY) == 0) {
            e.affinity = static_cast<DWORD>(f.affinity);
            e.readFlags |= kReadAffinity;
        }
        memcpy(e.procName, k.procName, sizeof(e.procName));
        memcpy(e.imageName, k.imageName, sizeof(e.imageName));
    }
    // What this walk did not find has ended (or its id names another by now).
    for (auto it = known_.begin(); it != known_.end();) {
        if (it->second.seen != serial) it = known_.erase(it);
        else ++it;
    }
    delete[] pids;
    std::sort(out, out + count, [](const RawProc& a, const RawProc& b) { return a.pid < b.pid; });
    procs = out;
    return true;
}

void ZembrikMgr::Discover() {
    {
        std::lock_guard<std::mutex> guard(listLock_);
        ++walksRunning_;
    }
    RawProc* procs = nullptr;
    DWORD count = 0;
    bool walked = Walk(procs, count);
    EnterCriticalSection(&lock_);
    if (walked) {
        delete[] rawProcs_;
        rawProcs_ = procs;
        rawCount_ = count;
        for (ManagedJob* j = jobs_; j != nullptr; j = j->next) RefreshJob(j);
        PublishRawList();
    } else {
        std::lock_guard<std::mutex> guard(listLock_);
        --walksRunning_;
        listDone_.notify_all();
    }
    LeaveCriticalSection(&lock_);
}
