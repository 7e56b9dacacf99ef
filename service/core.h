// The central object of the service: builds the database, the worker threads
// and everything they share, lets them run and takes them down again.
#pragma once
#include <atomic>
#include <string>

#include "common/module_version.h"
#include "wire/service_info.h"
#include "pal/error.h"
#include "pal/security.h"
#include "pal/sync.h"
#include "pal/types.h"
#include "pipe/request_counts.h"

class ZembrikCore;
class ZembrikDb;
class ZembrikMgr;
class ZembrikUser;
class SharedJobHeader;

// What both worker threads receive.
struct ServiceContext {
    ZembrikCore* core;
    ZembrikMgr* manager;       // written once by the manager thread
    HANDLE mgrDoneEvent;
    ZembrikUser* userServer;   // written once by the pipe-server thread
    HANDLE userDoneEvent;
    ZembrikDb* database;
    HANDLE completionPort;     // shared with the mediator
    HANDLE mediatorEvent;      // "ZembrikMD8Evt"
    HANDLE jobMapping;         // "ZembrikMD8Jobs"
    SharedJobHeader* jobHeader;
};

class ZembrikCore {
public:
    // Never fails: failures leave the object not ready and are logged.
    ZembrikCore();
    ~ZembrikCore();
    ZembrikCore(const ZembrikCore&) = delete;
    ZembrikCore& operator=(const ZembrikCore&) = delete;

    bool IsReady() const;
    // Resumes the pipe-server thread, then the manager thread; returns when
    // the stop sequence has finished.
    void Run();
    // The stop sequence; harmless to repeat.
    void Shutdown();
    // Terminates the worker threads that never ran.
    void KillThreads(DWORD exitCode);
    void GetServiceInfo(ServiceInfo* info, DWORD* recordSize, DWORD* recordCount);
    // Starts the mediator program: 0, ResultMediatorRunning, or the error.
    DWORD StartMediator();
    // Ends the mediator program and returns once it has ended: 0,
    // ResultMediatorNotRunning, WAIT_TIMEOUT (still running after
    // kMediatorStopWaitMs), or the error.
    DWORD StopMediator();
    // Writes run/metrics/zembrik.prom: the manager's `metrics` and the
    // core's own (requests, the mediator). Called by the manager thread
    // after every pass.
    void WriteMetrics(std::string& metrics);
    // The pid of the running mediator; 0 when none runs.
    DWORD RunningMediatorPid() {
        EnterCriticalSection(&mediatorLock_);
        DWORD pid = mediatorProcess_ != nullptr && WaitForSingleObject(mediatorProcess_, 0) == WAIT_TIMEOUT
                        ? mediatorPid_
                        : 0;
        LeaveCriticalSection(&mediatorLock_);
        return pid;
    }

    std::atomic<DWORD> stopRequested;  // 0, then 1 once a stop began; read without a lock
    std::atomic<ZembrikMgr*> runningManager{nullptr};  // once it has loaded and runs
    HANDLE stopEvent;
    HANDLE doneEvent;
    HANDLE mgrThread;
    HANDLE userThread;
    SECURITY_ATTRIBUTES securityAttributes;
    ServiceContext context;
    DWORD processorCount;
    DWORD pageSize;
    ModuleVersion* version;
    RequestCounts requestCounts;

private:
    // Creates or finds the shared job table and adopts or starts the
    // mediator; false when the table itself cannot be had (logged).
    bool AttachMediator();
    // Maps the chain blocks that the running mediator holds, pulled from it
    // by the values it recorded; the chain ends where its links end (after
    // the first block when `mediator` is null).
    void MapMediatorBlocks(HANDLE mediator);
    // The process recorded as the mediator, opened with `access`, when it
    // still runs the mediator program (a reused pid is someone else's).
    HANDLE OpenRecordedMediator(DWORD access);
    // Keeps `process` as the mediator's handle, closing the one kept before.
    void KeepMediator(HANDLE process, DWORD pid);

    // The mediator this service started or adopted: its handle is ours, so
    // it names that process whatever the shared table says. Guarded by
    // mediatorLock_, which a stop holds until the mediator has ended.
    CRITICAL_SECTION mediatorLock_;
    HANDLE mediatorProcess_ = nullptr;
    DWORD mediatorPid_ = 0;
    DWORD metricsError_ = 0;  // the metrics write's failure last logged (manager thread only)
};

// The mediator's path from the service's: "ZembrikMD8.exe" in the same folder.
void MediatorPath(LPWSTR path, size_t cch);

// Thread procedures of the two worker threads; the argument is the context.
DWORD AllocZembrikMgrClass(LPVOID context);
DWORD AllocZembrikUserClass(LPVOID context);

// Milliseconds each worker thread sleeps before it builds its object.
constexpr DWORD kWorkerStartDelayMs = 2000;
// How long the stop sequence waits for both worker threads.
constexpr DWORD kStopWaitMs = 30000;
// How long the tear-down waits for each worker's done event.
constexpr DWORD kTearDownWaitMs = 5000;
// How long a stop of the mediator waits for it to end.
constexpr DWORD kMediatorStopWaitMs = 5000;
