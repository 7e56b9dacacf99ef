// The pipe server: keeps one instance of "\\.\pipe\ZembrikPip" listening and
// hands each connected instance to a client session on a thread of its own.
#pragma once
#include <atomic>

#include "pal/iocp.h"
#include "pal/security.h"
#include "pal/types.h"
#include "wire/service_info.h"

class RequestCounts;
class ZembrikDb;
class ZembrikMgr;

// What the endpoint is given by its host (the service core, or a test): the
// store, the stop, and the few things only the host can do.
struct EndpointContext {
    ZembrikDb* database = nullptr;
    HANDLE stopEvent = nullptr;  // set once the service stops
    const std::atomic<DWORD>* stopRequested = nullptr;
    void* host = nullptr;
    void (*serviceInfo)(void* host, ServiceInfo* info, DWORD* recordSize, DWORD* recordCount) = nullptr;
    // 0, or the result code or error of starting or stopping the mediator.
    DWORD (*startMediator)(void* host) = nullptr;
    DWORD (*stopMediator)(void* host) = nullptr;
    // The running manager, null until it runs.
    ZembrikMgr* (*manager)(void* host) = nullptr;
    // Where answered requests are counted; null: not counted.
    RequestCounts* requestCounts = nullptr;
};

class ZembrikUser {
public:
    // Never fails: readiness tells.
    explicit ZembrikUser(const EndpointContext& context);
    // Waits (bounded) for the sessions, which end on the stop event, since
    // they use the database and the core that go next.
    ~ZembrikUser();
    ZembrikUser(const ZembrikUser&) = delete;
    ZembrikUser& operator=(const ZembrikUser&) = delete;

    bool IsReady() const;
    // One connect cycle; returns 0 when it ended (stop or a failure, logged).
    DWORD ConnectCycle();
    // The default time-out of instances made from now on: 100 to 120000 ms.
    DWORD SetTimeOut(DWORD milliseconds);
    DWORD DefaultTimeOut() const { return defaultTimeOut_.load(); }
    // Called by a session's thread as it ends.
    void SessionEnded();
    DWORD Sessions() const { return sessions_.load(); }
    const EndpointContext& Endpoint() const { return endpoint_; }

private:
    EndpointContext endpoint_;
    DWORD outBufferSize_ = 65536;
    DWORD inBufferSize_ = 4096;
    std::atomic<DWORD> defaultTimeOut_{5000};  // written by client threads
    HANDLE connectEvent_ = nullptr;
    OVERLAPPED connectOverlapped_{};
    DWORD nextClientId_ = 0;
    SECURITY_ATTRIBUTES securityAttributes_{};
    std::atomic<DWORD> sessions_{0};
    HANDLE sessionsDone_ = nullptr;  // set while no session runs
};
