#include "pipe/request_audit.h"

#include <cstring>

#include "common/event_log.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/pipe.h"
#include "pal/strings.h"

namespace {

constexpr DWORD kUnknownId = 0xFFFFFFFF;

constexpr size_t kDetailUnits = 160;

// The requests that ask for a change, and what each asks for.
const struct {
    BYTE type;
    BYTE operation;
    const WCHAR* words;
} kChanges[] = {
    {ReqNameRules, OpAdd, u"add alias"},
    {ReqNameRules, OpReplace, u"replace alias"},
    {ReqNameRules, OpDelete, u"delete alias"},
    {ReqNameRules, OpSwap, u"swap aliases"},
    {ReqProcRule, OpAdd, u"add process rule"},
    {ReqProcRule, OpReplace, u"replace process rule"},
    {ReqProcRule, OpDelete, u"delete process rule"},
    {ReqGroupRule, OpAdd, u"add group rule"},
    {ReqGroupRule, OpReplace, u"replace group rule"},
    {ReqGroupRule, OpDelete, u"delete group rule"},
    {ReqProcList, OpKill, u"kill process"},
    {ReqGroupList, OpKill, u"kill group"},
    {ReqParameters, OpReplace, u"set parameters"},
    {ReqServiceControl, OpControl, u"service control"},
};

// What a change request asks for; null for a read or an operation the type
// does not take.
const WCHAR* Describe(BYTE type, BYTE operation) {
    for (const auto& c : kChanges)
        if (c.type == type && c.operation == operation) return c.words;
    return nullptr;
}

// A name field as it came, cut at 63 units: a refused request's may lack its end.
void CopyName(WCHAR* out, const BYTE* field) {
    memcpy(out, field, (kNameUnits - 1) * sizeof(WCHAR));
    out[kNameUnits - 1] = 0;
}

// The control bits asked for, as words.
void ControlWords(DWORD bits, WCHAR* out, size_t size) {
    static const struct {
        DWORD bit;
        const WCHAR* words;
    } kBits[] = {{CtlStopMediator, u"stop mediator"},
                 {CtlStartMediator, u"start mediator"},
                 {CtlRestoreNameRules, u"restore aliases"},
                 {CtlRestoreProcRules, u"restore process rules"},
                 {CtlRestoreGroupRules, u"restore group rules"}};
    out[0] = 0;
    for (const auto& b : kBits) {
        if ((bits & b.bit) == 0) continue;
        if (out[0] != 0) StringCchCatW(out, size, u", ");
        StringCchCatW(out, size, b.words);
    }
}

}  // namespace

void AuditRequest(HANDLE pipe, const BYTE* request, DWORD length, const RequestHeader& reply) {
    if (length < kRequestDataOffset) return;
    RequestHeader q;
    memcpy(&q, request, sizeof(q));
    if (q.signature != kRequestSignature) return;
    const WCHAR* what = Describe(q.requestType, q.operation);
    if (what == nullptr) return;
    const BYTE* data = request + kRequestDataOffset;

    WCHAR name[kNameUnits] = {};
    WCHAR detail[kDetailUnits] = {};
    switch (q.requestType) {
    case ReqNameRules:
        if (q.operation == OpAdd || q.operation == OpReplace) {
            CopyName(name, data + offsetof(NameRule, name));
            WCHAR match[kNameUnits];
            CopyName(match, data + offsetof(NameRule, match));
            WCHAR type = 0;
            memcpy(&type, data + offsetof(NameRule, matchType), sizeof(type));
            StringCchPrintfW(detail, kDetailUnits, u"index %u, match %s, type %c", q.argument, match,
                             type >= u' ' ? type : u'?');
        } else {
            StringCchPrintfW(detail, kDetailUnits, u"index %u", q.argument);
        }
        break;
    case ReqProcRule:
        CopyName(name, data + offsetof(ProcDetail, summary.name));
        if (q.operation != OpDelete) {
            WCHAR group[kNameUnits];
            CopyName(group, data + offsetof(ProcDetail, summary.memberOf));
            if (group[0] != 0) StringCchPrintfW(detail, kDetailUnits, u"group %s", group);
        }
        break;
    case ReqGroupRule: CopyName(name, data + offsetof(JobDetail, summary.name)); break;
    case ReqGroupList: CopyName(name, data); break;
    case ReqProcList: StringCchPrintfW(detail, kDetailUnits, u"pid %u", q.argument); break;
    case ReqParameters: {
        ParameterBlock p;
        memcpy(&p, data, sizeof(p));
        StringCchPrintfW(detail, kDetailUnits, u"poll %u s, pipe time-out %u ms", p.pollSeconds, p.pipeTimeOut);
        break;
    }
    default: ControlWords(q.argument, detail, kDetailUnits); break;
    }

    WCHAR resultText[512];
    if (const char* words = ServiceResultWords(reply.result)) StringCchPrintfW(resultText, 512, u"%hs", words);
    else ErrorText(reply.result, resultText, 512);

    // A session without a client's credentials (a harness) is recorded as unknown.
    ULONG pid = kUnknownId;
    DWORD uid = kUnknownId;
    if (!GetNamedPipeClientProcessId(pipe, &pid)) pid = kUnknownId;
    if (!PalGetNamedPipeClientUserId(pipe, &uid)) uid = kUnknownId;

    PalAuditRecord record{uid,    static_cast<DWORD>(pid), what,        q.requestType, q.operation,
                          name,   detail,                  reply.result, resultText};
    if (!PalReportAudit(&record)) LogApiError(u"AuditLog", u"PalReportAudit");
}
