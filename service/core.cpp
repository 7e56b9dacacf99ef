#include "service/core.h"

#include <cstring>
#include <new>

#include "common/event_log.h"
#include "common/messages.h"
#include "common/prom_text.h"
#include "common/security_attr.h"
#include "common/texts.h"
#include "db/zembrik_db.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/resource.h"
#include "pal/stateroot.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"
#include "pipe/zembrik_user.h"
#include "wire/shared_job_table.h"

namespace {

void LogInitFailed() {
    WCHAR text[1024];
    LPCWSTR strings[2] = {g_displayName, ErrorText(GetLastError(), text, 1024)};
    LogEvent(MSG_INIT_FAILED, EVENTLOG_ERROR_TYPE, 2, strings, 0, nullptr);
}

void CloseIfSet(HANDLE& h) {
    if (h != nullptr) CloseHandle(h);
    h = nullptr;
}

}  // namespace

ZembrikCore::ZembrikCore()
    : stopRequested(0), stopEvent(nullptr), doneEvent(nullptr), mgrThread(nullptr), userThread(nullptr),
      securityAttributes{}, context{}, processorCount(0), pageSize(0), version(nullptr) {
    InitializeCriticalSection(&mediatorLock_);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    processorCount = si.dwNumberOfProcessors;
    pageSize = si.dwPageSize;

    version = new (std::nothrow) ModuleVersion(GetModuleHandleW(nullptr));
    BuildAdminSecAttr(&securityAttributes);
    context.database = new (std::nothrow) ZembrikDb();
    if (context.database == nullptr || !context.database->IsReady() || version == nullptr ||
        securityAttributes.lpSecurityDescriptor == nullptr) {
        LogInitFailed();
        return;
    }

    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    context.mgrDoneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    context.userDoneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD unnamedError = GetLastError();
    context.mediatorEvent = CreateEventW(&securityAttributes, FALSE, FALSE, u"ZembrikMD8Evt");
    if (stopEvent == nullptr || doneEvent == nullptr || context.mgrDoneEvent == nullptr ||
        context.userDoneEvent == nullptr) {
        SetLastError(unnamedError);
        LogApiError(context.mediatorEvent != nullptr ? u"ZbEvent" : u"ZembrikMD8Evt", u"CreateEvent");
        return;
    }
    if (context.mediatorEvent == nullptr) {
        LogApiError(u"ZembrikMD8Evt", u"CreateEvent");
        return;
    }

    if (!AttachMediator()) return;

    context.core = this;
    mgrThread = CreateThread(nullptr, 0, AllocZembrikMgrClass, &context, CREATE_SUSPENDED, nullptr);
    if (mgrThread == nullptr) LogApiError(u"ZbProcServer", u"CreateThread");
    userThread = CreateThread(nullptr, 0, AllocZembrikUserClass, &context, CREATE_SUSPENDED, nullptr);
    if (userThread == nullptr) LogApiError(u"ZbUserServer", u"CreateThread");
    if (!IsReady()) KillThreads(0);
}

ZembrikCore::~ZembrikCore() {
    if (context.userServer != nullptr) {
        WaitForSingleObject(context.userDoneEvent, kTearDownWaitMs);
        delete context.userServer;
        context.userServer = nullptr;
    }
    if (context.manager != nullptr) {
        WaitForSingleObject(context.mgrDoneEvent, kTearDownWaitMs);
        runningManager.store(nullptr);
        if (context.database != nullptr) context.database->SetLiveLists(LiveLists{});
        delete context.manager;
        context.manager = nullptr;
    }
    delete context.database;
    context.database = nullptr;
    CloseIfSet(stopEvent);
    CloseIfSet(doneEvent);
    delete version;
    version = nullptr;
    CloseIfSet(context.mgrDoneEvent);
    CloseIfSet(context.userDoneEvent);
    CloseIfSet(context.mediatorEvent);
    CloseIfSet(context.jobMapping);
    CloseIfSet(mediatorProcess_);  // the mediator itself outlives the service
    CloseIfSet(mgrThread);
    CloseIfSet(userThread);
    FreeSecAttr(&securityAttributes);
    DeleteCriticalSection(&mediatorLock_);
}

bool ZembrikCore::IsReady() const {
    return context.database != nullptr && mgrThread != nullptr && userThread != nullptr &&
           securityAttributes.lpSecurityDescriptor != nullptr;
}

void ZembrikCore::Run() {
    ResumeThread(userThread);
    ResumeThread(mgrThread);
    WaitForSingleObject(doneEvent, INFINITE);
}

void ZembrikCore::Shutdown() {
    if (stopEvent == nullptr) return;
    stopRequested.store(1);
    SetEvent(stopEvent);
    HANDLE threads[2] = {mgrThread, userThread};
    // After 30 s the sequence goes on whether or not the threads have ended.
    WaitForMultipleObjects(2, threads, TRUE, kStopWaitMs);
    SetEvent(doneEvent);
}

void ZembrikCore::KillThreads(DWORD exitCode) {
    if (userThread != nullptr) {
        TerminateThread(userThread, exitCode);
        CloseHandle(userThread);
        userThread = nullptr;
    }
    if (mgrThread != nullptr) {
        TerminateThread(mgrThread, exitCode);
        CloseHandle(mgrThread);
        mgrThread = nullptr;
    }
}

void ZembrikCore::GetServiceInfo(ServiceInfo* info, DWORD* recordSize, DWORD* recordCount) {
    *recordSize = sizeof(ServiceInfo);
    *recordCount = 1;
    memset(info, 0, sizeof(*info));
    if (version != nullptr) {
        lstrcpynW(info->productVersion, version->productVersionText, 24);
        lstrcpynW(info->fileVersion, version->fileVersionText, 24);
        lstrcpynW(info->flagText, version->flagText, 24);
        const VS_FIXEDFILEINFO& f = version->fixedInfo;
        info->signature = f.dwSignature;
        info->fileVersionMS = f.dwFileVersionMS;
        info->fileVersionLS = f.dwFileVersionLS;
        info->productVersionMS = f.dwProductVersionMS;
        info->productVersionLS = f.dwProductVersionLS;
        info->fileFlags = f.dwFileFlags;
        info->fileOS = f.dwFileOS;
        info->fileType = f.dwFileType;
        info->fileSubtype = f.dwFileSubtype;
        info->fileDateMS = f.dwFileDateMS;
        info->fileDateLS = f.dwFileDateLS;
    }
    if (context.jobHeader != nullptr) {
        lstrcpynW(info->mediatorProductVersion, context.jobHeader->mediatorProductVersion, 24);
        lstrcpynW(info->mediatorFileVersion, context.jobHeader->mediatorFileVersion, 24);
        lstrcpynW(info->mediatorFlagText, context.jobHeader->mediatorFlagText, 24);
    }
    info->pollSeconds = context.database != nullptr ? context.database->PollMilliseconds() / 1000 : 0;
    info->processorCount = processorCount;
    info->pageSize = pageSize;
    info->pipeTimeOut = context.userServer != nullptr ? context.userServer->DefaultTimeOut() : 0;
    info->systemAffinity = context.manager != nullptr ? context.manager->SystemAffinity() : 0;
}

void ZembrikCore::WriteMetrics(std::string& metrics) {
    PromText out;
    out.Text().swap(metrics);
    requestCounts.Append(out);
    out.Single("zembrik_mediator_running", "Whether the mediator runs (1) or not (0).", "gauge",
               static_cast<ULONGLONG>(RunningMediatorPid() != 0 ? 1 : 0));
    // World-readable: node_exporter runs as a user of its own, and the group
    // that could read a narrower file may also use the endpoint.
    DWORD rc = PalReplaceStateFile("run/metrics", "zembrik.prom", out.Text(), 0644);
    // A failure is logged once, not once a pass.
    if (rc != ERROR_SUCCESS && rc != metricsError_) {
        SetLastError(rc);
        LogApiError(u"ZbMetrics", u"ReplaceFile");
    }
    metricsError_ = rc;
}

DWORD AllocZembrikMgrClass(LPVOID arg) {
    auto* context = static_cast<ServiceContext*>(arg);
    ZembrikCore* core = context->core;
    Sleep(kWorkerStartDelayMs);
    DWORD result = 1;
    ManagerContext given;
    given.database = context->database;
    given.completionPort = context->completionPort;
    given.mediatorEvent = context->mediatorEvent;
    given.jobHeader = context->jobHeader;
    given.stopEvent = core->stopEvent;
    given.stopRequested = &core->stopRequested;
    given.pageSize = core->pageSize;
    given.mediatorPid = [](void* host) { return static_cast<ZembrikCore*>(host)->RunningMediatorPid(); };
    given.host = core;
    given.passDone = [](void* host, std::string& metrics) { static_cast<ZembrikCore*>(host)->WriteMetrics(metrics); };
    context->manager = new (std::nothrow) ZembrikMgr(&given);
    if (context->manager == nullptr) {
        LogAllocError(u"AllocZembrikMgrClass", sizeof(ZembrikMgr));
    } else if (context->manager->IsReady()) {
        context->database->SetLiveLists(ZembrikMgr::LiveListsOf(context->manager));
        core->runningManager.store(context->manager);
        result = context->manager->Run();
    }
    if (result != 0 && core->stopRequested.load() == 0) core->Shutdown();
    SetEvent(context->mgrDoneEvent);
    return result;
}

DWORD AllocZembrikUserClass(LPVOID arg) {
    auto* context = static_cast<ServiceContext*>(arg);
    ZembrikCore* core = context->core;
    Sleep(kWorkerStartDelayMs);
    EndpointContext given;
    given.database = context->database;
    given.stopEvent = core->stopEvent;
    given.stopRequested = &core->stopRequested;
    given.host = core;
    given.serviceInfo = [](void* host, ServiceInfo* info, DWORD* size, DWORD* count) {
        static_cast<ZembrikCore*>(host)->GetServiceInfo(info, size, count);
    };
    given.startMediator = [](void* host) { return static_cast<ZembrikCore*>(host)->StartMediator(); };
    given.stopMediator = [](void* host) { return static_cast<ZembrikCore*>(host)->StopMediator(); };
    given.manager = [](void* host) { return static_cast<ZembrikCore*>(host)->runningManager.load(); };
    given.requestCounts = &core->requestCounts;
    context->userServer = new (std::nothrow) ZembrikUser(given);
    if (context->userServer == nullptr) {
        LogAllocError(u"AllocZembrikUserClass", sizeof(ZembrikUser));
    } else {
        while (context->userServer->IsReady()) context->userServer->ConnectCycle();
    }
    if (core->stopRequested.load() == 0) core->Shutdown();
    SetEvent(context->userDoneEvent);
    return 0;
}
