// One client session: reads a request, answers it, reads the next, on a
// thread of its own and under the client's identity from the first request.
#pragma once
#include "pal/iocp.h"
#include "pal/types.h"
#include "wire/request_protocol.h"

class ZembrikDb;
class ZembrikUser;
struct EndpointContext;

// What the pipe server hands to a new client thread; the session frees it.
struct ClientContext {
    DWORD clientId;
    HANDLE pipe;
    DWORD inBufferSize;
    DWORD outBufferSize;
    const EndpointContext* endpoint;  // the server's: it outlives its sessions
    ZembrikUser* server;
};

class ZembrikClient {
public:
    // Takes over the context (and frees it) and its pipe. Never fails:
    // readiness tells.
    explicit ZembrikClient(ClientContext* context);
    ~ZembrikClient();
    ZembrikClient(const ZembrikClient&) = delete;
    ZembrikClient& operator=(const ZembrikClient&) = delete;

    bool IsReady() const;
    // Serves requests until the client leaves, an I/O fails or the service stops.
    DWORD Run();
    // Answers the request of `length` bytes in the request buffer, counts it
    // and audits a change; returns the reply's length in the reply buffer.
    DWORD Dispatch(DWORD length);

    BYTE* RequestBuffer() { return requestBuffer_; }
    const BYTE* ReplyBuffer() const { return replyBuffer_; }
    DWORD RequestBufferSize() const { return requestBufferSize_; }

private:
    RequestHeader& Request() { return *reinterpret_cast<RequestHeader*>(requestBuffer_); }
    RequestHeader& Reply() { return *reinterpret_cast<RequestHeader*>(replyBuffer_); }
    BYTE* RequestData() { return requestBuffer_ + kRequestDataOffset; }
    BYTE* ReplyData() { return replyBuffer_ + kHeaderSize; }
    DWORD Fail(DWORD result);
    // Dispatch without the counting and the audit.
    DWORD Answer(DWORD length);
    // The reply with `count` records of `size` bytes.
    DWORD Records(LONG count, LONG size);
    // The most records of `size` bytes the request accepts and the reply holds.
    DWORD MaxRecords(DWORD size);
    // True when the request data holds at least `size` bytes.
    bool HasData(DWORD size) const { return dataLength_ >= size; }

    DWORD NameRules();
    DWORD Summaries();
    DWORD ProcessList();
    DWORD GroupList();
    DWORD ProcRule();
    DWORD GroupRule();
    DWORD ServiceInformation();
    DWORD Parameters();
    DWORD ServiceControl();
    void EnsureMemberGroup(const ProcDetail& rule);

    const EndpointContext* endpoint_ = nullptr;
    ZembrikDb* database_ = nullptr;
    ZembrikUser* server_ = nullptr;
    HANDLE pipe_ = nullptr;
    DWORD impersonating_ = 0;
    DWORD clientId_ = 0;
    DWORD replyBufferSize_ = kReplyBufferSize;
    DWORD requestBufferSize_ = kRequestBufferSize;
    BYTE* replyBuffer_ = nullptr;
    BYTE* requestBuffer_ = nullptr;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;
    OVERLAPPED readOverlapped_{};
    OVERLAPPED writeOverlapped_{};
    DWORD dataLength_ = 0;  // request data bytes that arrived (beyond offset 78)
};

// Thread procedure of a client session; the argument is the ClientContext.
DWORD AllocZembrikClientClass(LPVOID context);
