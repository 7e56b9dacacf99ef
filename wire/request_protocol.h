// The wire format of the administrative pipe "\\.\pipe\ZembrikPip": every
// request and every reply opens with the 68-byte RequestHeader. A request
// carries its data from offset 78; a reply carries recordCount records of
// recordSize bytes from offset 68. Little-endian, UTF-16LE text in fixed,
// zero-terminated fields. Shared by the service and zembrikctl.
#pragma once
#include <cstddef>

#include "wire/service_info.h"
#include "wire/rule_records.h"
#include "pal/types.h"
#include "wire/result_codes.h"

inline constexpr const WCHAR* kPipeName = u"\\\\.\\pipe\\ZembrikPip";

constexpr DWORD kRequestSignature = 0xD06EFACE;
constexpr DWORD kRequestBufferSize = 4096;   // a longer request ends the session
constexpr DWORD kReplyBufferSize = 65536;
constexpr DWORD kHeaderSize = 68;
constexpr DWORD kRequestDataOffset = 78;     // 10 unread bytes follow the header
constexpr DWORD kReplyRoom = kReplyBufferSize - kHeaderSize;

// Request types.
enum : BYTE {
    ReqNameRules = 1,
    ReqGroupSummaries = 2,
    ReqProcSummaries = 3,
    ReqProcList = 4,
    ReqGroupList = 5,
    ReqProcRule = 6,
    ReqGroupRule = 7,
    ReqServiceInfo = 8,
    ReqParameters = 9,
    ReqServiceControl = 77,
};

// Operations.
enum : BYTE {
    OpGet = 1,
    OpAdd = 2,
    OpReplace = 3,
    OpDelete = 4,
    OpSwap = 5,
    OpControl = 6,
    OpKill = 7,
};

// flags: WantData in a request, MoreData in a reply.
constexpr DWORD WantData = 1;
constexpr DWORD MoreData = 1;

// Type 77: `control` must be all ones; the argument must hold every bit of
// the required mask and none of the forbidden one.
constexpr DWORD kControlWord = 0xFFFFFFFF;
constexpr DWORD kControlRequired = 0x80070002;
constexpr DWORD kControlForbidden = 0x0C0000C0;
constexpr DWORD CtlStopMediator = 0x20000000;
constexpr DWORD CtlStartMediator = 0x40000000;
constexpr DWORD CtlRestoreNameRules = 0x00400000;
constexpr DWORD CtlRestoreProcRules = 0x00200000;
constexpr DWORD CtlRestoreGroupRules = 0x00100000;

#pragma pack(push, 1)
// One layout for both directions; the union members name the request and
// the reply meaning of the same bytes.
struct RequestHeader {
    DWORD signature;
    DWORD requestId;
    BYTE operation;
    BYTE requestType;
    BYTE clientTag;
    BYTE replyMark;    // reply: 1
    BYTE resultKind;   // reply: 0 success, 1 Windows error, 2 service code
    BYTE zero[3];
    DWORD flags;
    union {
        DWORD stamp;   // request
        DWORD result;  // reply
    };
    union {
        DWORD argument;   // request
        DWORD replyTime;  // reply: seconds since 1970
    };
    union {
        DWORD control;    // request, type 77
        DWORD listStamp;  // reply
    };
    union {
        LONG maxRecords;  // request
        struct {
            SHORT recordCount;  // reply
            SHORT recordSize;   // reply
        };
    };
    DWORD startIndex;
    DWORD bufferSize;
    SHORT dataLength;
    BYTE reserved[22];
};

// Type 9 data: the poll interval and the pipe time-out, at the offsets they
// have in ServiceInfo from its pollSeconds on.
struct ParameterBlock {
    DWORD pollSeconds;
    DWORD unused1;
    DWORD unused2;
    DWORD pipeTimeOut;  // ms
};
#pragma pack(pop)

static_assert(sizeof(RequestHeader) == kHeaderSize);
static_assert(offsetof(RequestHeader, requestId) == 4);
static_assert(offsetof(RequestHeader, operation) == 8);
static_assert(offsetof(RequestHeader, requestType) == 9);
static_assert(offsetof(RequestHeader, clientTag) == 10);
static_assert(offsetof(RequestHeader, replyMark) == 11);
static_assert(offsetof(RequestHeader, resultKind) == 12);
static_assert(offsetof(RequestHeader, flags) == 16);
static_assert(offsetof(RequestHeader, stamp) == 20);
static_assert(offsetof(RequestHeader, result) == 20);
static_assert(offsetof(RequestHeader, argument) == 24);
static_assert(offsetof(RequestHeader, control) == 28);
static_assert(offsetof(RequestHeader, maxRecords) == 32);
static_assert(offsetof(RequestHeader, recordCount) == 32);
static_assert(offsetof(RequestHeader, recordSize) == 34);
static_assert(offsetof(RequestHeader, startIndex) == 36);
static_assert(offsetof(RequestHeader, bufferSize) == 40);
static_assert(offsetof(RequestHeader, dataLength) == 44);
static_assert(sizeof(ParameterBlock) == 16);
static_assert(offsetof(ParameterBlock, pipeTimeOut) == 12);
static_assert(offsetof(ServiceInfo, pollSeconds) + offsetof(ParameterBlock, pipeTimeOut) ==
              offsetof(ServiceInfo, pipeTimeOut));

// resultKind of a result code: 1 for a Windows error (top four bits clear).
constexpr BYTE ResultKindOf(DWORD result) { return result == 0 ? 0 : (result & 0xF0000000) == 0 ? 1 : 2; }
