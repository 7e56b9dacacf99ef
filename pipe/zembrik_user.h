// The pipe server: keeps one instance of "\\.\pipe\ZembrikPip" listening and
// hands each connected instance to a client session on a thread of its own.
#pragma once
#include <atomic>

#include "pal/iocp.h"
#include "pal/security.h"
#include "pal/types.h"

struct ServiceContext;
class ZembrikCore;
class ZembrikDb;

class ZembrikUser {
public:
    // Never fails: readiness tells.
    explicit ZembrikUser(ServiceContext* context);
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

private:
    ZembrikCore* core_;
    ZembrikDb* database_;
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
