// The link to the mediator: the shared job table, the completion port, and
// starting, adopting and stopping the mediator program.
#include <cstring>

#include "common/event_log.h"
#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/mapping.h"
#include "pal/process.h"
#include "pal/resource.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/viewnumber.h"
#include "pipe/result_codes.h"
#include "service/core.h"
#include "service/service_main.h"
#include "service/shared_job_table.h"

namespace {

constexpr const WCHAR* kJobMappingName = u"ZembrikMD8Jobs";
constexpr const WCHAR* kMediatorOnlyMe = u"ZembrikMD8OnlyMe";

}  // namespace

bool ZembrikCore::AttachMediator() {
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &securityAttributes, PAGE_READWRITE, 0, kSharedJobHeaderSize,
                           kJobMappingName);
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
    header->servicePid = GetCurrentProcessId();

    HANDLE mediator = nullptr;
    if (OpenExclEvent(kMediatorOnlyMe, false)) {
        // Adopt the running mediator: its port, its job numbers, its blocks.
        mediator = OpenProcess(PROCESS_DUP_HANDLE, FALSE, header->mediatorPid);
        HANDLE port = nullptr;
        if (mediator == nullptr ||
            !DuplicateHandle(mediator, ULongToHandle(header->mediatorPort), GetCurrentProcess(), &port, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            LogApiError(u"ZbInit", u"DupMediatorPortHandle");
            port = nullptr;
        }
        header->servicePort = HandleToULong(port);
        context.completionPort = port;
        header->mediatorProcess = HandleToULong(mediator);
        if (mediator != nullptr) MapMediatorBlocks();
    } else {
        memset(&header->first, 0, sizeof(header->first));
        header->lastJobNumber = 0;
        HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        if (port == nullptr) LogApiError(u"ZbInit", u"CreateIoCompletionPort");
        header->servicePort = HandleToULong(port);
        context.completionPort = port;
        StartMediator();
        mediator = ULongToHandle(header->mediatorProcess);
    }
    if (mediator != nullptr) CloseHandle(mediator);
    HANDLE thread = ULongToHandle(header->mediatorThread);
    if (thread != nullptr) CloseHandle(thread);
    header->mediatorProcess = 0;
    header->mediatorThread = 0;
    return true;
}

void ZembrikCore::MapMediatorBlocks() {
    SharedJobHeader* header = context.jobHeader;
    HANDLE mediator = ULongToHandle(header->mediatorProcess);
    for (SharedJobBlock* block = &header->first; block != nullptr && block->nextMediatorHandle != 0;) {
        HANDLE mapping = nullptr;
        if (!DuplicateHandle(mediator, ULongToHandle(block->nextMediatorHandle), GetCurrentProcess(), &mapping, 0,
                             FALSE, DUPLICATE_SAME_ACCESS)) {
            LogApiError(u"ZbMediateBlock", u"DupBlkHandle");
            return;
        }
        block->nextServiceHandle = HandleToULong(mapping);
        void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        if (view == nullptr) {
            DWORD error = GetLastError();
            CloseHandle(mapping);
            block->nextServiceHandle = 0;
            SetLastError(error);
            LogApiError(u"ZbMediateBlock", u"MapJobBlk");
            return;
        }
        block->nextServiceView = PalViewNumber(view);
        block = static_cast<SharedJobBlock*>(view);
    }
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
    if (OpenExclEvent(kMediatorOnlyMe, false)) return ResultMediatorRunning;
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
        return error;
    }
    // The shared record keeps 32-bit fields: the process information goes in field by field.
    SharedJobHeader* header = context.jobHeader;
    header->mediatorProcess = HandleToULong(pi.hProcess);
    header->mediatorThread = HandleToULong(pi.hThread);
    header->mediatorPid = pi.dwProcessId;
    header->mediatorTid = pi.dwThreadId;
    return 0;
}

DWORD ZembrikCore::StopMediator() {
    constexpr DWORD kAccess = PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    HANDLE mediator = OpenProcess(kAccess, FALSE, context.jobHeader->mediatorPid);
    if (mediator == nullptr) {
        DWORD error = GetLastError();
        return error == ERROR_INVALID_PARAMETER ? ResultMediatorNotRunning : error;
    }
    // The recorded pid may have ended, or belong to another program by now:
    // only a running mediator is ended.
    WCHAR name[64] = {};
    HMODULE module = nullptr;
    DWORD needed = 0;
    bool isMediator = WaitForSingleObject(mediator, 0) == WAIT_TIMEOUT &&
                      EnumProcessModules(mediator, &module, sizeof(module), &needed) &&
                      GetModuleBaseNameW(mediator, module, name, 64) != 0 && lstrcmpW(name, u"ZembrikMD8") == 0;
    if (!isMediator) {
        CloseHandle(mediator);
        return ResultMediatorNotRunning;
    }
    DWORD result = TerminateProcess(mediator, MediatorKillExitCode) ? 0 : GetLastError();
    CloseHandle(mediator);
    return result;
}
