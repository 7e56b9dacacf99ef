// The client session: strict request/reply order over one pipe instance.
#include "pipe/zembrik_client.h"

#include <cstring>
#include <ctime>
#include <new>

#include "common/event_log.h"
#include "pal/error.h"
#include "pal/pipe.h"
#include "pal/sync.h"
#include "pal/token.h"
#include "pipe/request_audit.h"
#include "pipe/request_counts.h"
#include "pipe/zembrik_user.h"

ZembrikClient::ZembrikClient(ClientContext* context)
    : endpoint_(context->endpoint),
      database_(context->endpoint->database),
      server_(context->server),
      pipe_(context->pipe),
      clientId_(context->clientId),
      replyBufferSize_(context->outBufferSize),
      requestBufferSize_(context->inBufferSize) {
    delete context;
    requestBuffer_ = new (std::nothrow) BYTE[requestBufferSize_];
    if (requestBuffer_ == nullptr) LogAllocError(u"AllocInBuffer", requestBufferSize_);
    replyBuffer_ = new (std::nothrow) BYTE[replyBufferSize_];
    if (replyBuffer_ == nullptr) LogAllocError(u"AllocOutBuffer", replyBufferSize_);
    readEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (readEvent_ == nullptr) LogApiError(u"PipeRead", u"CreateEvent");
    writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (writeEvent_ == nullptr) LogApiError(u"PipeWrite", u"CreateEvent");
    readOverlapped_.hEvent = readEvent_;
    writeOverlapped_.hEvent = writeEvent_;
}

ZembrikClient::~ZembrikClient() {
    if (pipe_ != nullptr) {
        FlushFileBuffers(pipe_);
        DisconnectNamedPipe(pipe_);
        CloseHandle(pipe_);
        pipe_ = nullptr;
        if (impersonating_ != 0 && !RevertToSelf()) LogApiError(u"ZbClient", u"RevertToSelf");
    }
    if (readEvent_ != nullptr) CloseHandle(readEvent_);
    if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
    delete[] requestBuffer_;
    delete[] replyBuffer_;
}

bool ZembrikClient::IsReady() const {
    return pipe_ != nullptr && readEvent_ != nullptr && writeEvent_ != nullptr && requestBuffer_ != nullptr &&
           replyBuffer_ != nullptr;
}

DWORD ZembrikClient::Run() {
    bool readWanted = true, readPending = false, readyForRequest = true, writePending = false;
    DWORD bytesRead = 0, replyLength = 0;
    bool end = false;
    HANDLE waits[3] = {readEvent_, writeEvent_, endpoint_->stopEvent};
    for (;;) {
        if (endpoint_->stopRequested->load() != 0) break;
        if (!readPending && readWanted) {
            if (ReadFile(pipe_, requestBuffer_, requestBufferSize_, nullptr, &readOverlapped_) ||
                GetLastError() == ERROR_IO_PENDING) {
                readPending = true;
            } else {
                if (GetLastError() != ERROR_BROKEN_PIPE) LogApiError(u"ZbClient", u"ReadPipe");
                end = true;
            }
        }
        if (!writePending && readyForRequest && !readWanted) {
            readWanted = true;
            replyLength = Dispatch(bytesRead);
            readyForRequest = false;
        }
        if (!writePending && !readyForRequest && !end) {
            if (WriteFile(pipe_, replyBuffer_, replyLength, nullptr, &writeOverlapped_) ||
                GetLastError() == ERROR_IO_PENDING) {
                writePending = true;
            } else {
                DWORD err = GetLastError();
                if (err != ERROR_BROKEN_PIPE && err != ERROR_NO_DATA) LogApiError(u"ZbClient", u"WritePipe");
                end = true;
            }
        }
        if (end || endpoint_->stopRequested->load() != 0) break;
        DWORD rc = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (rc == WAIT_OBJECT_0) {
            readWanted = false;
            readPending = false;
            if (!GetOverlappedResult(pipe_, &readOverlapped_, &bytesRead, TRUE)) {
                DWORD err = GetLastError();
                if (err != ERROR_BROKEN_PIPE && err != ERROR_NO_DATA) LogApiError(u"ZbClient", u"ReadResult");
                end = true;
            }
            ResetEvent(readEvent_);
            if (!end && impersonating_ == 0) {
                if (!ImpersonateNamedPipeClient(pipe_)) {
                    LogApiError(u"ZbClient", u"Impersonate");
                    end = true;
                }
                impersonating_ = 1;
            }
        } else if (rc == WAIT_OBJECT_0 + 1) {
            writePending = false;
            readyForRequest = true;
            DWORD written = 0;
            if (!GetOverlappedResult(pipe_, &writeOverlapped_, &written, TRUE) || written != replyLength) {
                DWORD err = GetLastError();
                if (err != ERROR_BROKEN_PIPE && err != ERROR_NO_DATA) LogApiError(u"ZbClient", u"WriteResult");
                end = true;
            }
            ResetEvent(writeEvent_);
        } else if (rc == WAIT_OBJECT_0 + 2) {
            // The next pass sees the stop.
        } else {
            LogApiError(u"ZbClient", u"Wait");
            break;
        }
        if (end) break;
    }
    return 0;
}

DWORD ZembrikClient::Fail(DWORD result) {
    RequestHeader& r = Reply();
    r.result = result;
    r.resultKind = ResultKindOf(result);
    r.recordCount = 0;
    r.recordSize = 0;
    return kHeaderSize;
}

DWORD ZembrikClient::Records(LONG count, LONG size) {
    RequestHeader& r = Reply();
    r.recordCount = static_cast<SHORT>(count);
    r.recordSize = static_cast<SHORT>(size);
    return kHeaderSize + static_cast<DWORD>(count) * static_cast<DWORD>(size);
}

DWORD ZembrikClient::MaxRecords(DWORD size) {
    LONG asked = Request().maxRecords;
    DWORD fit = (replyBufferSize_ - kHeaderSize) / size;
    if (asked <= 0) return 0;
    return static_cast<DWORD>(asked) < fit ? static_cast<DWORD>(asked) : fit;
}

DWORD ZembrikClient::Dispatch(DWORD length) {
    DWORD replyLength = Answer(length);
    if (endpoint_->requestCounts != nullptr) endpoint_->requestCounts->Count(Request().requestType, Reply());
    // Before the reply leaves: a client that saw its answer finds the record.
    AuditRequest(pipe_, requestBuffer_, length, Reply());
    return replyLength;
}

DWORD ZembrikClient::Answer(DWORD length) {
    const RequestHeader& q = Request();
    RequestHeader& r = Reply();
    // The header of every reply, built before the request is looked at.
    // Bytes that did not arrive read as zeros, never as an older request's.
    if (length < requestBufferSize_) memset(requestBuffer_ + length, 0, requestBufferSize_ - length);
    memset(replyBuffer_, 0, kHeaderSize + 2);
    r.signature = kRequestSignature;
    r.requestId = q.requestId;
    r.operation = q.operation;
    r.requestType = q.requestType;
    r.clientTag = q.clientTag;
    r.replyMark = 1;
    r.replyTime = static_cast<DWORD>(time(nullptr));

    if (length < kRequestDataOffset || q.signature != kRequestSignature) return Fail(ResultBadRequest);
    LONG need = static_cast<LONG>(kRequestDataOffset) + q.dataLength;
    if (need < 0 || static_cast<DWORD>(need) > length) return Fail(ResultBadRequest);
    dataLength_ = length - kRequestDataOffset;
    switch (q.requestType) {
    case ReqNameRules: return NameRules();
    case ReqGroupSummaries:
    case ReqProcSummaries: return Summaries();
    case ReqProcList: return ProcessList();
    case ReqGroupList: return GroupList();
    case ReqProcRule: return ProcRule();
    case ReqGroupRule: return GroupRule();
    case ReqServiceInfo: return ServiceInformation();
    case ReqParameters: return Parameters();
    case ReqServiceControl: return ServiceControl();
    default: return Fail(ResultBadRequest);
    }
}

DWORD AllocZembrikClientClass(LPVOID argument) {
    auto* context = static_cast<ClientContext*>(argument);
    ZembrikUser* server = context->server;
    auto* client = new (std::nothrow) ZembrikClient(context);
    DWORD rc = 1;
    if (client == nullptr) {
        LogAllocError(u"AllocZembrikClientClass", sizeof(ZembrikClient));
        if (context->pipe != nullptr) CloseHandle(context->pipe);
        delete context;
    } else {
        if (client->IsReady()) rc = client->Run();
        delete client;
    }
    if (server != nullptr) server->SessionEnded();
    return rc;
}
