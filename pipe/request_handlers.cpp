// The handler of each request type: checks the operation and the names,
// calls the database, the manager, the core or the pipe server, and fills
// the reply. Handlers take no locks; what they call locks what it touches.
#include <cstring>

#include "db/zembrik_db.h"
#include "manager/zembrik_mgr.h"
#include "pal/error.h"
#include "pal/strings.h"
#include "pipe/zembrik_client.h"
#include "pipe/zembrik_user.h"

namespace {

// The service parts a harness may run without.
constexpr DWORD kNotAvailable = 1062;  // ERROR_SERVICE_NOT_ACTIVE

// A detail record's variable data must lie within the message that arrived.
bool VarDataFits(SHORT varDataLength, size_t fixed, DWORD dataBytes) {
    return varDataLength >= 0 && fixed + static_cast<size_t>(varDataLength) <= dataBytes;
}

// Room for variable data in a rule read: what the client's buffer holds
// beyond the fixed part, so that the reply record's size fits 16 signed bits.
SHORT VarDataRoom(DWORD bufferSize, size_t fixed) {
    LONGLONG room = static_cast<LONGLONG>(bufferSize) - static_cast<LONGLONG>(fixed);
    LONGLONG most = 32767 - static_cast<LONGLONG>(fixed);
    if (room < 0) room = 0;
    if (room > most) room = most;
    return static_cast<SHORT>(room);
}

}  // namespace

DWORD ZembrikClient::NameRules() {
    RequestHeader& q = Request();
    auto* rule = reinterpret_cast<NameRule*>(RequestData());
    rule->matchType = PalUpcase(rule->matchType);
    auto checkRule = [&]() -> DWORD {
        if (!IsValidName(rule->name, false)) return ResultBadName;
        if (rule->matchType != u'A' && rule->matchType != u'D' && rule->matchType != u'P') return ResultBadValue;
        // The stored form ends a description at a double quote; one inside
        // would come back as another rule after the next load.
        for (DWORD i = 0; i < kNameUnits && rule->description[i] != 0; ++i)
            if (rule->description[i] == u'"') return ResultBadValue;
        return 0;
    };
    DWORD rc = 0;
    switch (q.operation) {
    case OpGet: q.flags |= WantData; break;
    case OpAdd:
        rc = checkRule();
        if (rc == 0) rc = database_->InsertNameRule(rule, q.argument, static_cast<LONG>(q.stamp));
        break;
    case OpReplace:
        rc = checkRule();
        if (rc == 0) rc = database_->ReplaceNameRule(rule, q.argument, static_cast<LONG>(q.stamp));
        break;
    case OpDelete: rc = database_->DeleteNameRule(q.argument, static_cast<LONG>(q.stamp)); break;
    case OpSwap: rc = database_->SwapNameRule(q.argument, static_cast<LONG>(q.stamp)); break;
    default: return Fail(ResultBadRequest);
    }
    if (rc != 0) return Fail(rc);
    if ((q.flags & WantData) == 0) return Records(0, 0);
    WORD size = 0, count = 0;
    LONG stamp = 0;
    bool more = database_->ListNameRules(q.startIndex, reinterpret_cast<NameRule*>(ReplyData()),
                                         MaxRecords(sizeof(NameRule)), &size, &count, &stamp);
    Reply().listStamp = static_cast<DWORD>(stamp);
    if (more) Reply().flags |= MoreData;
    return Records(count, sizeof(NameRule));
}

DWORD ZembrikClient::Summaries() {
    RequestHeader& q = Request();
    if (q.operation != OpGet) return Fail(ResultBadRequest);
    WORD size = 0, count = 0;
    bool more = false;
    if (q.requestType == ReqGroupSummaries) {
        auto* key = reinterpret_cast<JobSummary*>(RequestData());
        if (!IsValidName(key->name, true)) return Fail(ResultBadName);
        more = database_->ListGroupSummaries(key, q.argument, reinterpret_cast<JobSummary*>(ReplyData()),
                                             MaxRecords(sizeof(JobSummary)), &size, &count);
        if (more) Reply().flags |= MoreData;
        return Records(count, sizeof(JobSummary));
    }
    auto* key = reinterpret_cast<ProcSummary*>(RequestData());
    if (!IsValidName(key->name, true)) return Fail(ResultBadName);
    more = database_->ListProcSummaries(key, q.argument, reinterpret_cast<ProcSummary*>(ReplyData()),
                                        MaxRecords(sizeof(ProcSummary)), &size, &count);
    if (more) Reply().flags |= MoreData;
    return Records(count, sizeof(ProcSummary));
}

DWORD ZembrikClient::ProcessList() {
    RequestHeader& q = Request();
    if (q.operation == OpKill) {
        ZembrikMgr* manager = endpoint_->manager != nullptr ? endpoint_->manager(endpoint_->host) : nullptr;
        if (manager == nullptr) return Fail(kNotAvailable);
        ULONGLONG creation = 0;
        memcpy(&creation, RequestData(), sizeof(creation));
        DWORD rc = manager->KillProcess(q.argument, creation);
        return rc != 0 ? Fail(rc) : Records(0, 0);
    }
    if (q.operation != OpGet) return Fail(ResultBadRequest);
    auto* key = reinterpret_cast<ProcListEntry*>(RequestData());
    if (!IsValidName(key->name, true)) return Fail(ResultBadName);
    WORD size = 0, count = 0;
    bool more = database_->ListProcesses(key, q.argument, reinterpret_cast<ProcListEntry*>(ReplyData()),
                                         MaxRecords(sizeof(ProcListEntry)), &size, &count);
    if (more) Reply().flags |= MoreData;
    return Records(count, sizeof(ProcListEntry));
}

DWORD ZembrikClient::GroupList() {
    RequestHeader& q = Request();
    if (q.operation == OpKill) {
        ZembrikMgr* manager = endpoint_->manager != nullptr ? endpoint_->manager(endpoint_->host) : nullptr;
        if (manager == nullptr) return Fail(kNotAvailable);
        DWORD rc = manager->KillGroup(reinterpret_cast<const WCHAR*>(RequestData()));
        return rc != 0 ? Fail(rc) : Records(0, 0);
    }
    if (q.operation != OpGet) return Fail(ResultBadRequest);
    auto* key = reinterpret_cast<JobListEntry*>(RequestData());
    if (!IsValidName(key->name, true)) return Fail(ResultBadName);
    WORD size = 0, count = 0;
    bool more = database_->ListGroups(key->name, q.argument, reinterpret_cast<JobListEntry*>(ReplyData()),
                                      MaxRecords(sizeof(JobListEntry)), &size, &count);
    if (more) Reply().flags |= MoreData;
    return Records(count, sizeof(JobListEntry));
}

DWORD ZembrikClient::ProcRule() {
    RequestHeader& q = Request();
    auto* rule = reinterpret_cast<ProcDetail*>(RequestData());
    if (!IsValidName(rule->summary.name, false)) return Fail(ResultBadName);
    DWORD rc = 0;
    bool summaryWanted = (q.flags & WantData) != 0;
    switch (q.operation) {
    case OpGet: {
        rule->varDataLength = VarDataRoom(q.bufferSize, kProcDetailFixedSize);
        auto* out = reinterpret_cast<ProcDetail*>(ReplyData());
        LONG stamp = 0;
        rc = database_->GetProcRule(rule, out, &stamp);
        Reply().listStamp = static_cast<DWORD>(stamp);
        if (rc != 0 && rc != ERROR_MORE_DATA) return Fail(rc);
        if (rc == ERROR_MORE_DATA) Reply().flags |= MoreData;
        if (!summaryWanted) return Records(1, static_cast<LONG>(kProcDetailFixedSize) + out->varDataLength);
        break;
    }
    case OpAdd:
    case OpReplace:
        if (!IsValidName(rule->summary.memberOf, true)) return Fail(ResultBadName);
        if (!VarDataFits(rule->varDataLength, kProcDetailFixedSize, dataLength_)) return Fail(ResultBadRequest);
        if (q.operation == OpAdd) {
            rc = database_->AddProcRule(rule);
            if (rc == 0 || rc == ResultExists) EnsureMemberGroup(*rule);
        } else {
            rc = database_->ReplaceProcRule(rule, static_cast<LONG>(q.stamp));
            if (rc == 0) EnsureMemberGroup(*rule);
        }
        if (rc != 0) return Fail(rc);
        break;
    case OpDelete:
        rc = database_->DeleteProcRule(rule);
        if (rc != 0) return Fail(rc);
        break;
    default: return Fail(ResultBadRequest);
    }
    if (!summaryWanted) return Records(0, 0);
    WORD size = 0, count = 0;
    database_->ListProcSummaries(&rule->summary, ListFromKey, reinterpret_cast<ProcSummary*>(ReplyData()), 1, &size,
                                 &count);
    return Records(count, sizeof(ProcSummary));
}

void ZembrikClient::EnsureMemberGroup(const ProcDetail& rule) {
    if (rule.summary.memberOf[0] == 0) return;
    BYTE bytes[kJobDetailFixedSize + 2] = {};
    auto* group = reinterpret_cast<JobDetail*>(bytes);
    lstrcpynW(group->summary.name, rule.summary.memberOf, kNameUnits);
    group->summary.mgmt.affinity = rule.summary.mgmt.affinity;
    group->summary.mgmt.priority = rule.summary.mgmt.priority;
    group->summary.mgmt.schedClass = 5;
    database_->AddGroupRule(group);  // an existing group, or a refused right, is left as it is
}

DWORD ZembrikClient::GroupRule() {
    RequestHeader& q = Request();
    auto* rule = reinterpret_cast<JobDetail*>(RequestData());
    if (!IsValidName(rule->summary.name, false)) return Fail(ResultBadName);
    DWORD rc = 0;
    bool summaryWanted = (q.flags & WantData) != 0;
    switch (q.operation) {
    case OpGet: {
        rule->varDataLength = VarDataRoom(q.bufferSize, kJobDetailFixedSize);
        auto* out = reinterpret_cast<JobDetail*>(ReplyData());
        LONG stamp = 0;
        rc = database_->GetGroupRule(rule, out, &stamp);
        Reply().listStamp = static_cast<DWORD>(stamp);
        if (rc != 0 && rc != ERROR_MORE_DATA) return Fail(rc);
        if (rc == ERROR_MORE_DATA) Reply().flags |= MoreData;
        if (!summaryWanted) return Records(1, static_cast<LONG>(kJobDetailFixedSize) + out->varDataLength);
        break;
    }
    case OpAdd:
    case OpReplace:
        if (!VarDataFits(rule->varDataLength, kJobDetailFixedSize, dataLength_)) return Fail(ResultBadRequest);
        if (rule->summary.mgmt.priority == 0) rule->summary.mgmt.priority = 8;
        rc = q.operation == OpAdd ? database_->AddGroupRule(rule)
                                  : database_->ReplaceGroupRule(rule, static_cast<LONG>(q.stamp));
        if (rc != 0) return Fail(rc);
        break;
    case OpDelete:
        rc = database_->DeleteGroupRule(rule);
        if (rc != 0) return Fail(rc);
        break;
    default: return Fail(ResultBadRequest);
    }
    if (!summaryWanted) return Records(0, 0);
    WORD size = 0, count = 0;
    database_->ListGroupSummaries(&rule->summary, ListFromKey, reinterpret_cast<JobSummary*>(ReplyData()), 1, &size,
                                  &count);
    return Records(count, sizeof(JobSummary));
}

DWORD ZembrikClient::ServiceInformation() {
    if (Request().operation != OpGet) return Fail(ResultBadRequest);
    if (endpoint_->serviceInfo == nullptr) return Fail(kNotAvailable);
    DWORD size = 0, count = 0;
    endpoint_->serviceInfo(endpoint_->host, reinterpret_cast<ServiceInfo*>(ReplyData()), &size, &count);
    return Records(static_cast<LONG>(count), static_cast<LONG>(size));
}

DWORD ZembrikClient::Parameters() {
    if (Request().operation != OpReplace) return Fail(ResultBadRequest);
    ParameterBlock p;
    memcpy(&p, RequestData(), sizeof(p));
    DWORD rc = database_->SetPollSeconds(p.pollSeconds);
    if (rc == 0) rc = server_ != nullptr ? server_->SetTimeOut(p.pipeTimeOut) : kNotAvailable;
    return rc != 0 ? Fail(rc) : Records(0, 0);
}

DWORD ZembrikClient::ServiceControl() {
    const RequestHeader& q = Request();
    if (q.operation != OpControl || q.control != kControlWord || (q.argument & kControlRequired) != kControlRequired ||
        (q.argument & kControlForbidden) != 0)
        return Fail(ResultBadRequest);
    DWORD rc = 0;
    if (rc == 0 && (q.argument & CtlStopMediator) != 0)
        rc = endpoint_->stopMediator != nullptr ? endpoint_->stopMediator(endpoint_->host) : kNotAvailable;
    if (rc == 0 && (q.argument & CtlStartMediator) != 0)
        rc = endpoint_->startMediator != nullptr ? endpoint_->startMediator(endpoint_->host) : kNotAvailable;
    if (rc == 0 && (q.argument & CtlRestoreNameRules) != 0) rc = database_->RestoreNameRules();
    if (rc == 0 && (q.argument & CtlRestoreProcRules) != 0) rc = database_->RestoreProcRules();
    if (rc == 0 && (q.argument & CtlRestoreGroupRules) != 0) rc = database_->RestoreGroupRules();
    return rc != 0 ? Fail(rc) : Records(0, 0);
}
