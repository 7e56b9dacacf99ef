// The link to the mediator: the shared job table, the completion port, and
// starting, adopting and stopping the mediator program.
#include <cstring>

#include "common/event_log.h"
#include "common/security_attr.h"
#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/mapping.h"
#include "pal/process.h"
#include "pal/resource.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/viewnumber.h"
#include "wire/result_codes.h"
#include "service/core.h"
#include "service/service_main.h"
#include "wire/shared_job_table.h"

namespace {


}  // namespace

bool ZembrikCore::AttachMediator() {
    // The root mediator takes pids and handle values from this table: only
    // root may write it, not the administrators the other objects admit.
    SECURITY_ATTRIBUTES serviceOnly{};
    if (!BuildServiceSecAttr(&serviceOnly)) return false;
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &serviceOnly, PAGE_READWRITE, 0, kSharedJobHeaderSize,
                                        kJobMappingName);
    DWORD created = GetLastError();
    FreeSecAttr(&serviceOnly);
    SetLastError(created);
    if (mapping == nullptr) {
        LogApiError(kJobMappingName, u"CreateMediatorMapping");
        return false;
    }
    auto* header = static_cast<SharedJobHeader*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (header == nullptr) {
        DWORD error = GetLastError();
        CloseHandle(mapping);
        SetLastError(error);
        LogApiError(kJobMappingName, u"MapMediatorJobData");
        return false;
    }
    context.jobMapping = mapping;
    context.jobHeader = header;
    header->serviceEvent = HandleToULong(context.mediatorEvent);

    if (OpenExclEvent(kMediatorOnlyMeName, false)) {
        // Adopt the running mediator: its port, its job numbers, its blocks.
        HANDLE mediator = OpenRecordedMediator(PROCESS_DUP_HANDLE | PROCESS_TERMINATE | SYNCHRONIZE);
        HANDLE port = nullptr;
        if (mediator == nullptr ||
            !DuplicateHandle(mediator, ULongToHandle(header->mediatorPort), GetCurrentProcess(), &port, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            LogApiError(u"ZbInit", u"DupMediatorPortHandle");
            port = nullptr;
        }
        header->servicePort = HandleToULong(port);
        context.completionPort = port;
        MapMediatorBlocks(mediator);
        if (mediator != nullptr) {
            header->mediatorProcess = HandleToULong(mediator);
            header->mediatorThread = 0;
            KeepMediator(mediator, header->mediatorPid);
        }
    } else {
        memset(&header->first, 0, sizeof(header->first));
        header->lastJobNumber = 0;
        header->mediatorPort = 0;
        HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        if (port == nullptr) LogApiError(u"ZbInit", u"CreateIoCompletionPort");
        header->servicePort = HandleToULong(port);
        context.completionPort = port;
        StorePublished(&header->servicePid, GetCurrentProcessId());
        StartMediator();
        return true;
    }
    // Last: until now the links of the chain were an earlier service's, and
    // the mediator must not pull anything from us by them.
    StorePublished(&header->servicePid, GetCurrentProcessId());
    return true;
}

void ZembrikCore::MapMediatorBlocks(HANDLE mediator) {
    // The mediator's links are values in its own process, pulled from there;
    // the service-side links are written anew, since those found here are an
    // earlier service's and mean nothing in this process. Without the
    // mediator the chain ends after the first block.
    SharedJobBlock* block = &context.jobHeader->first;
    for (;;) {
        DWORD value = mediator != nullptr ? LoadPublished(&block->nextMediatorHandle) : 0;
        HANDLE mapping = nullptr;
        void* view = nullptr;
        if (value != 0) {
            if (!DuplicateHandle(mediator, ULongToHandle(value), GetCurrentProcess(), &mapping, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS)) {
                LogApiError(u"ZbMediateBlock", u"DupBlkHandle");
                mapping = nullptr;
            } else if ((view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) == nullptr) {
                DWORD error = GetLastError();
                CloseHandle(mapping);
                mapping = nullptr;
                SetLastError(error);
                LogApiError(u"ZbMediateBlock", u"MapJobBlk");
            }
        }
        block->nextServiceView = PalViewNumber(view);
        StorePublished(&block->nextServiceHandle, HandleToULong(mapping));
        if (view == nullptr) return;
        block = static_cast<SharedJobBlock*>(view);
    }
}

HANDLE ZembrikCore::OpenRecordedMediator(DWORD access) {
    HANDLE mediator =
        OpenProcess(access | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, context.jobHeader->mediatorPid);
    if (mediator == nullptr) return nullptr;
    WCHAR name[64] = {};
    HMODULE module = nullptr;
    DWORD needed = 0;
    if (WaitForSingleObject(mediator, 0) == WAIT_TIMEOUT &&
        EnumProcessModules(mediator, &module, sizeof(module), &needed) &&
        GetModuleBaseNameW(mediator, module, name, 64) != 0 && lstrcmpW(name, u"ZembrikMD8") == 0)
        return mediator;
    CloseHandle(mediator);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

void ZembrikCore::KeepMediator(HANDLE process, DWORD pid) {
    EnterCriticalSection(&mediatorLock_);
    if (mediatorProcess_ != nullptr) CloseHandle(mediatorProcess_);
    mediatorProcess_ = process;
    mediatorPid_ = process != nullptr ? pid : 0;
    LeaveCriticalSection(&mediatorLock_);
}

void MediatorPath(LPWSTR path, size_t cch) {
    // Cut after the last backslash (index 0 is not looked at); a path
    // without one is kept whole.
    for (int i = lstrlenW(path) - 1; i > 0; --i) {
        if (path[i] == u'\\') {
            path[i + 1] = 0;
            break;
        }
    }
    StringCchCatW(path, cch, u"ZembrikMD8.exe");
}

DWORD ZembrikCore::StartMediator() {
    EnterCriticalSection(&mediatorLock_);
    if (OpenExclEvent(kMediatorOnlyMeName, false)) {
        LeaveCriticalSection(&mediatorLock_);
        return ResultMediatorRunning;
    }
    WCHAR path[MAX_PATH + 16] = {};
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
        LogApiError(u"ZbMediator", u"GetMediatorPath");
        path[0] = 0;
    }
    MediatorPath(path, MAX_PATH + 16);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(path, nullptr, &securityAttributes, &securityAttributes, FALSE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        DWORD error = GetLastError();
        LogApiError(u"ZbMediator", u"CreateMediator");
        LeaveCriticalSection(&mediatorLock_);
        return error;
    }
    // The shared record keeps 32-bit fields: the process information goes in
    // field by field. The handle values are ours; no other process acts on them.
    SharedJobHeader* header = context.jobHeader;
    header->mediatorProcess = HandleToULong(pi.hProcess);
    header->mediatorThread = HandleToULong(pi.hThread);
    header->mediatorPid = pi.dwProcessId;
    header->mediatorTid = pi.dwThreadId;
    CloseHandle(pi.hThread);
    KeepMediator(pi.hProcess, pi.dwProcessId);
    LeaveCriticalSection(&mediatorLock_);
    return 0;
}

DWORD ZembrikCore::StopMediator() {
    EnterCriticalSection(&mediatorLock_);
    // Our own handle names the mediator whatever became of its pid; without
    // one, only a recorded pid that still runs the mediator program will do.
    HANDLE mediator = mediatorProcess_;
    DWORD pid = mediatorPid_;
    mediatorProcess_ = nullptr;
    mediatorPid_ = 0;
    if (mediator == nullptr) {
        mediator = OpenRecordedMediator(PROCESS_TERMINATE | SYNCHRONIZE);
        pid = context.jobHeader->mediatorPid;
    }
    DWORD result = 0;
    if (mediator == nullptr) {
        DWORD error = GetLastError();
        result = error == ERROR_INVALID_PARAMETER ? ResultMediatorNotRunning : error;
    } else if (WaitForSingleObject(mediator, 0) != WAIT_TIMEOUT) {
        result = ResultMediatorNotRunning;
    } else if (!TerminateProcess(mediator, MediatorKillExitCode)) {
        result = GetLastError();
    } else if (WaitForSingleObject(mediator, kMediatorStopWaitMs) != WAIT_OBJECT_0) {
        // Not ended: it is still ours to stop later.
        result = WAIT_TIMEOUT;
        mediatorProcess_ = mediator;
        mediatorPid_ = pid;
        mediator = nullptr;
    }
    if (mediator != nullptr) CloseHandle(mediator);
    LeaveCriticalSection(&mediatorLock_);
    return result;
}
