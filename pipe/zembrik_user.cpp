#include "pipe/zembrik_user.h"

#include <new>

#include "common/event_log.h"
#include "common/security_attr.h"
#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/pipe.h"
#include "pal/sync.h"
#include "wire/request_protocol.h"
#include "pipe/zembrik_client.h"

namespace {

// How long the server's end waits for the sessions to see the stop.
constexpr DWORD kSessionsEndMs = 10000;

}  // namespace

ZembrikUser::ZembrikUser(const EndpointContext& context) : endpoint_(context) {
    BuildAdminSecAttr(&securityAttributes_);
    securityAttributes_.bInheritHandle = FALSE;
    connectEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connectEvent_ == nullptr) LogApiError(u"ZbClientConn", u"CreateEvent");
    connectOverlapped_.hEvent = connectEvent_;
    sessionsDone_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

ZembrikUser::~ZembrikUser() {
    if (sessionsDone_ != nullptr) {
        WaitForSingleObject(sessionsDone_, kSessionsEndMs);
        CloseHandle(sessionsDone_);
    }
    FreeSecAttr(&securityAttributes_);
    if (connectEvent_ != nullptr) CloseHandle(connectEvent_);
}

bool ZembrikUser::IsReady() const {
    return connectEvent_ != nullptr && securityAttributes_.lpSecurityDescriptor != nullptr &&
           (endpoint_.stopRequested == nullptr || endpoint_.stopRequested->load() == 0);
}

DWORD ZembrikUser::SetTimeOut(DWORD milliseconds) {
    if (milliseconds < kPipeTimeOutLeastMs || milliseconds > kPipeTimeOutMostMs) return ResultBadValue;
    defaultTimeOut_ = milliseconds;
    return 0;
}

void ZembrikUser::SessionEnded() {
    if (--sessions_ == 0 && sessionsDone_ != nullptr) SetEvent(sessionsDone_);
}

DWORD ZembrikUser::ConnectCycle() {
    // Until the manager has loaded the rules, or a second at most.
    WaitForSingleObject(endpoint_.database->ChangeEvent(), 1000);
    HANDLE waits[2] = {connectEvent_, endpoint_.stopEvent};
    HANDLE pendingThread = nullptr;
    ClientContext* pending = nullptr;
    while (endpoint_.stopRequested->load() == 0) {
        pending = new (std::nothrow) ClientContext{nextClientId_, nullptr, inBufferSize_, outBufferSize_, &endpoint_,
                                                   this};
        if (pending == nullptr) {
            LogAllocError(u"ClientContext", sizeof(ClientContext));
            break;
        }
        HANDLE pipe = CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, outBufferSize_, inBufferSize_,
                                       defaultTimeOut_.load(), &securityAttributes_);
        if (pipe == INVALID_HANDLE_VALUE) {
            LogApiError(u"ZbClientConn", u"CreatePipe");
            break;
        }
        pending->pipe = pipe;
        ResetEvent(connectEvent_);
        DWORD status = ConnectNamedPipe(pipe, &connectOverlapped_) ? 0 : GetLastError();
        // A session starts only once the next instance listens.
        if (pendingThread != nullptr) {
            if (ResumeThread(pendingThread) == 0xFFFFFFFF) LogApiError(u"ZbClientConn", u"ResumeThread1");
            CloseHandle(pendingThread);
            pendingThread = nullptr;
        }
        bool connected = false;
        if (status == ERROR_IO_PENDING) {
            DWORD rc = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (rc == WAIT_OBJECT_0) {
                DWORD ignored = 0;
                if (GetOverlappedResult(pipe, &connectOverlapped_, &ignored, TRUE))
                    connected = true;
                else
                    LogApiError(u"ZbClientConn", u"ConnectPipeResult");
            } else if (rc != WAIT_OBJECT_0 + 1) {
                LogApiError(u"ZbClientConn", u"WaitOnPipeOrShutdown");
            }
        } else if (status == 0 || status == ERROR_PIPE_CONNECTED) {
            connected = true;
        } else {
            LogApiError(u"ZbClientConn", u"ConnectPipe");
        }
        if (!connected) break;
        ++sessions_;
        ResetEvent(sessionsDone_);
        pendingThread = CreateThread(nullptr, 0, AllocZembrikClientClass, pending, CREATE_SUSPENDED, nullptr);
        if (pendingThread == nullptr) {
            LogApiError(u"ZbClientConn", u"CreateThread");
            SessionEnded();
            break;
        }
        pending = nullptr;  // the session's now
        ++nextClientId_;
    }
    if (pending != nullptr) {
        if (pending->pipe != nullptr) {
            CancelIo(pending->pipe);
            CloseHandle(pending->pipe);
        }
        delete pending;
    }
    if (pendingThread != nullptr) {
        if (ResumeThread(pendingThread) == 0xFFFFFFFF) LogApiError(u"ZbClientConn", u"ResumeThread2");
        CloseHandle(pendingThread);
    }
    return 0;
}
