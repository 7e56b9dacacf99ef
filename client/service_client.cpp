// The client side of the service pipe; see service_client.h.
#include "client/service_client.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "client/output.h"
#include "pal/error.h"
#include "pal/pipe.h"
#include "pal/resource.h"
#include "pal/security.h"
#include "pal/stateroot.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace zctl {

namespace {

std::atomic<DWORD> g_nextRequestId{1};

// A list read never takes more pages than this; a service that keeps
// saying "more" without moving on is not followed for ever.
constexpr int kMaxPages = 100000;
// Reads of the alias list that start over because the list changed.
constexpr int kNameListTries = 5;

// The record bytes a reply carries as a vector of T (shorter records are
// zero-filled, longer ones cut to T).
template <typename T>
void AppendRecords(const Reply& reply, std::vector<T>& out) {
    size_t size = reply.RecordSize() > 0 ? static_cast<size_t>(reply.RecordSize()) : 0;
    size_t count = reply.RecordCount() > 0 ? static_cast<size_t>(reply.RecordCount()) : 0;
    // Records go straight into their places: a shorter record's rest stays zero.
    size_t at = out.size();
    out.resize(at + count);
    for (size_t i = 0; i < count; ++i)
        std::memcpy(&out[at + i], reply.Record(static_cast<int>(i)), size < sizeof(T) ? size : sizeof(T));
}

// Follows the pages of a keyed list (types 2-5).
template <typename T, typename Build>
DWORD FetchKeyed(ServiceClient& client, const T& firstKey, DWORD listFlags, std::vector<T>& out, Build build) {
    out.clear();
    T key = firstKey;
    DWORD flags = listFlags;
    for (int page = 0; page < kMaxPages; ++page) {
        Reply reply;
        DWORD rc = client.Call(build(key, flags), reply);
        if (rc != 0) return rc;
        AppendRecords(reply, out);
        if (!reply.More() || reply.RecordCount() == 0) return 0;
        key = out.back();
        flags &= ~static_cast<DWORD>(ListFromKey);
    }
    return ERROR_MORE_DATA;
}

template <typename Detail>
DWORD GetRule(ServiceClient& client, const std::string& name, const std::string& mgmtName,
              size_t fixedSize, Detail& rule, std::string& varData, DWORD& stamp) {
    std::memset(&rule, 0, sizeof(rule));
    if (!SetField(rule.summary.name, kNameUnits, name)) return ResultBadName;
    if (!SetField(rule.summary.mgmt.mgmtName, kMgmtNameUnits, mgmtName)) return ResultBadName;
    std::string request;
    if constexpr (std::is_same_v<Detail, ProcDetail>)
        request = ProcRuleRequest(OpGet, rule, "", 0);
    else
        request = GroupRuleRequest(OpGet, rule, "", 0);
    Reply reply;
    DWORD rc = client.Call(request, reply);
    if (rc != 0) return rc;
    if (reply.RecordCount() < 1 || static_cast<size_t>(reply.RecordSize()) < fixedSize) return ResultBadRequest;
    std::memcpy(&rule, reply.Record(0), fixedSize - 2);
    SHORT length = 0;
    std::memcpy(&length, reply.Record(0) + fixedSize - 2, sizeof(length));
    size_t room = static_cast<size_t>(reply.RecordSize()) - fixedSize;
    size_t n = length > 0 ? static_cast<size_t>(length) : 0;
    if (n > room) n = room;
    varData.assign(reinterpret_cast<const char*>(reply.Record(0)) + fixedSize, n);
    rule.varDataLength = static_cast<SHORT>(n);
    stamp = reply.ListStamp();
    return 0;
}

template <typename Detail>
std::string RuleRequest(BYTE type, BYTE operation, const Detail& rule, size_t fixedSize, const std::string& varData,
                        DWORD stamp) {
    RequestHeader h = NewHeader(type, operation);
    h.stamp = stamp;
    h.bufferSize = kReplyRoom;
    std::string data(reinterpret_cast<const char*>(&rule), fixedSize);
    SHORT length = static_cast<SHORT>(operation == OpGet ? 0 : varData.size());
    std::memcpy(data.data() + fixedSize - 2, &length, sizeof(length));
    if (operation != OpGet) data += varData;
    return BuildRequest(h, data.data(), data.size());
}

struct ErrorNameEntry {
    DWORD code;
    const char* name;
};

const ErrorNameEntry kErrorNames[] = {
    {0, "ERROR_SUCCESS"},
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {4, "ERROR_TOO_MANY_OPEN_FILES"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {11, "ERROR_BAD_FORMAT"},
    {13, "ERROR_INVALID_DATA"},
    {14, "ERROR_OUTOFMEMORY"},
    {18, "ERROR_NO_MORE_FILES"},
    {29, "ERROR_WRITE_FAULT"},
    {30, "ERROR_READ_FAULT"},
    {31, "ERROR_GEN_FAILURE"},
    {32, "ERROR_SHARING_VIOLATION"},
    {38, "ERROR_HANDLE_EOF"},
    {39, "ERROR_HANDLE_DISK_FULL"},
    {50, "ERROR_NOT_SUPPORTED"},
    {80, "ERROR_FILE_EXISTS"},
    {87, "ERROR_INVALID_PARAMETER"},
    {109, "ERROR_BROKEN_PIPE"},
    {112, "ERROR_DISK_FULL"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {123, "ERROR_INVALID_NAME"},
    {126, "ERROR_MOD_NOT_FOUND"},
    {131, "ERROR_NEGATIVE_SEEK"},
    {145, "ERROR_DIR_NOT_EMPTY"},
    {170, "ERROR_BUSY"},
    {183, "ERROR_ALREADY_EXISTS"},
    {206, "ERROR_FILENAME_EXCED_RANGE"},
    {193, "ERROR_BAD_EXE_FORMAT"},
    {203, "ERROR_ENVVAR_NOT_FOUND"},
    {231, "ERROR_PIPE_BUSY"},
    {232, "ERROR_NO_DATA"},
    {233, "ERROR_PIPE_NOT_CONNECTED"},
    {234, "ERROR_MORE_DATA"},
    {259, "ERROR_NO_MORE_ITEMS"},
    {267, "ERROR_DIRECTORY"},
    {299, "ERROR_PARTIAL_COPY"},
    {317, "ERROR_MR_MID_NOT_FOUND"},
    {995, "ERROR_OPERATION_ABORTED"},
    {996, "ERROR_IO_INCOMPLETE"},
    {997, "ERROR_IO_PENDING"},
    {998, "ERROR_NOACCESS"},
    {1011, "ERROR_CANTOPEN"},
    {1012, "ERROR_CANTREAD"},
    {1013, "ERROR_CANTWRITE"},
    {1009, "ERROR_BADDB"},
    {1010, "ERROR_BADKEY"},
    {1015, "ERROR_REGISTRY_CORRUPT"},
    {1016, "ERROR_REGISTRY_IO_FAILED"},
    {1018, "ERROR_KEY_DELETED"},
    {1021, "ERROR_CHILD_MUST_BE_VOLATILE"},
    {1022, "ERROR_NOTIFY_ENUM_DIR"},
    {1051, "ERROR_DEPENDENT_SERVICES_RUNNING"},
    {1052, "ERROR_INVALID_SERVICE_CONTROL"},
    {1053, "ERROR_SERVICE_REQUEST_TIMEOUT"},
    {1054, "ERROR_SERVICE_NO_THREAD"},
    {1055, "ERROR_SERVICE_DATABASE_LOCKED"},
    {1056, "ERROR_SERVICE_ALREADY_RUNNING"},
    {1057, "ERROR_INVALID_SERVICE_ACCOUNT"},
    {1058, "ERROR_SERVICE_DISABLED"},
    {1060, "ERROR_SERVICE_DOES_NOT_EXIST"},
    {1061, "ERROR_SERVICE_CANNOT_ACCEPT_CTRL"},
    {1062, "ERROR_SERVICE_NOT_ACTIVE"},
    {1063, "ERROR_FAILED_SERVICE_CONTROLLER_CONNECT"},
    {1064, "ERROR_EXCEPTION_IN_SERVICE"},
    {1065, "ERROR_DATABASE_DOES_NOT_EXIST"},
    {1066, "ERROR_SERVICE_SPECIFIC_ERROR"},
    {1067, "ERROR_PROCESS_ABORTED"},
    {1072, "ERROR_SERVICE_MARKED_FOR_DELETE"},
    {1073, "ERROR_SERVICE_EXISTS"},
    {1004, "ERROR_INVALID_FLAGS"},
    {1332, "ERROR_NONE_MAPPED"},
    {1337, "ERROR_INVALID_SID"},
    {1336, "ERROR_INVALID_ACL"},
    {1338, "ERROR_INVALID_SECURITY_DESCR"},
    {1314, "ERROR_PRIVILEGE_NOT_HELD"},
    {1307, "ERROR_INVALID_OWNER"},
    {1008, "ERROR_NO_TOKEN"},
    {1347, "ERROR_CANT_OPEN_ANONYMOUS"},
    {1812, "ERROR_RESOURCE_DATA_NOT_FOUND"},
    {1813, "ERROR_RESOURCE_TYPE_NOT_FOUND"},
    {1814, "ERROR_RESOURCE_NAME_NOT_FOUND"},
    {1150, "ERROR_OLD_WIN_VERSION"},
    {1460, "ERROR_TIMEOUT"},
    {151, "ERROR_INVALID_EVENT_COUNT"},
    {121, "ERROR_SEM_TIMEOUT"},
    {210, "ERROR_THREAD_1_INACTIVE"},
    {288, "ERROR_NOT_OWNER"},
    {298, "ERROR_TOO_MANY_POSTS"},
    {487, "ERROR_INVALID_ADDRESS"},
    {534, "ERROR_ARITHMETIC_OVERFLOW"},
    {535, "ERROR_PIPE_CONNECTED"},
    {536, "ERROR_PIPE_LISTENING"},
    {1800, "ERROR_INVALID_PRIORITY"},
    {1300, "ERROR_NOT_ALL_ASSIGNED"},
    {1502, "ERROR_LOG_FILE_FULL"},
    {1500, "ERROR_EVENTLOG_FILE_CORRUPT"},
    {1501, "ERROR_EVENTLOG_CANT_START"},
    {1168, "ERROR_NOT_FOUND"},
    {1816, "ERROR_NOT_ENOUGH_QUOTA"},
    {24, "ERROR_BAD_LENGTH"},
    {1132, "ERROR_MAPPED_ALIGNMENT"},
    {1450, "ERROR_NO_SYSTEM_RESOURCES"},
    {1223, "ERROR_CANCELLED"},
    {161, "ERROR_BAD_PATHNAME"},
    {21, "ERROR_NOT_READY"},
    {1070, "ERROR_SERVICE_START_HANG"},
    {121, "ERROR_SEM_TIMEOUT"},
    {258, "WAIT_TIMEOUT"},
};

}  // namespace

std::string SystemText(DWORD code) {
    WCHAR buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                             sizeof(buf) / sizeof(buf[0]), nullptr);
    if (n == 0) return "";
    std::u16string text(buf, n);
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' ||
                             text.back() == u'.'))
        text.pop_back();
    return pal::ToUtf8(text);
}

DWORD CheckReply(const std::string& bytes, DWORD requestId) {
    if (bytes.size() < kHeaderSize) return ResultBadRequest;
    RequestHeader h;
    std::memcpy(&h, bytes.data(), kHeaderSize);
    if (h.signature != kRequestSignature || h.replyMark != 1 || h.requestId != requestId) return ResultBadRequest;
    if (h.recordCount < 0 || h.recordSize < 0) return ResultBadRequest;
    size_t need = kHeaderSize + static_cast<size_t>(h.recordCount) * static_cast<size_t>(h.recordSize);
    return need <= bytes.size() ? 0 : static_cast<DWORD>(ResultBadRequest);
}

ServiceClient::~ServiceClient() {
    if (pipe_ != nullptr) CloseHandle(pipe_);
}

DWORD ServiceClient::Connect() {
    if (pipe_ != nullptr) return 0;
    if (!WaitNamedPipeW(kPipeName, NMPWAIT_USE_DEFAULT_WAIT)) return GetLastError();
    HANDLE pipe = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || pipe == nullptr) return GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        DWORD err = GetLastError();
        CloseHandle(pipe);
        return err;
    }
    pipe_ = pipe;
    return 0;
}

DWORD ServiceClient::Transact(const std::string& request, Reply& reply) {
    if (pipe_ == nullptr) return ERROR_INVALID_HANDLE;
    DWORD written = 0;
    if (!WriteFile(pipe_, request.data(), static_cast<DWORD>(request.size()), &written, nullptr))
        return GetLastError();
    if (written != request.size()) return ERROR_WRITE_FAULT;
    // Read into a buffer kept for the thread: only the bytes that came are
    // copied, not 64 KiB cleared and allocated per request.
    thread_local std::vector<char> buffer(kReplyBufferSize);
    DWORD got = 0;
    if (!ReadFile(pipe_, buffer.data(), kReplyBufferSize, &got, nullptr)) {
        reply.bytes.clear();
        return GetLastError();
    }
    reply.bytes.assign(buffer.data(), got);
    RequestHeader sent;
    std::memcpy(&sent, request.data(), kHeaderSize);
    return CheckReply(reply.bytes, sent.requestId);
}

DWORD ServiceClient::Call(const std::string& request, Reply& reply) {
    DWORD rc = Transact(request, reply);
    return rc != 0 ? rc : reply.Result();
}

RequestHeader NewHeader(BYTE type, BYTE operation) {
    RequestHeader h;
    std::memset(&h, 0, sizeof(h));
    h.signature = kRequestSignature;
    h.requestId = g_nextRequestId.fetch_add(1);
    h.operation = operation;
    h.requestType = type;
    return h;
}

std::string BuildRequest(RequestHeader header, const void* data, size_t size) {
    header.dataLength = static_cast<SHORT>(size);
    std::string message(kRequestDataOffset + size, '\0');
    std::memcpy(message.data(), &header, kHeaderSize);
    if (size > 0) std::memcpy(message.data() + kRequestDataOffset, data, size);
    return message;
}

std::string NameRulesGet(DWORD startIndex) {
    RequestHeader h = NewHeader(ReqNameRules, OpGet);
    h.flags = WantData;
    h.startIndex = startIndex;
    h.maxRecords = static_cast<LONG>(kReplyRoom / sizeof(NameRule));
    NameRule none{};
    return BuildRequest(h, &none, sizeof(none));
}

std::string NameRulesChange(BYTE operation, DWORD index, DWORD stamp, const NameRule* rule) {
    RequestHeader h = NewHeader(ReqNameRules, operation);
    h.argument = index;
    h.stamp = stamp;
    NameRule none{};
    return BuildRequest(h, rule != nullptr ? rule : &none, sizeof(NameRule));
}

namespace {

// A list read from `key`: as many records as one reply holds.
template <typename Key>
std::string ListGet(BYTE type, const Key& key, DWORD listFlags) {
    RequestHeader h = NewHeader(type, OpGet);
    h.argument = listFlags;
    h.maxRecords = static_cast<LONG>(kReplyRoom / sizeof(Key));
    return BuildRequest(h, &key, sizeof(key));
}

}  // namespace

std::string GroupSummariesGet(const JobSummary& key, DWORD listFlags) {
    return ListGet(ReqGroupSummaries, key, listFlags);
}

std::string ProcSummariesGet(const ProcSummary& key, DWORD listFlags) {
    return ListGet(ReqProcSummaries, key, listFlags);
}

std::string ProcListGet(const ProcListEntry& key, DWORD listFlags) { return ListGet(ReqProcList, key, listFlags); }

std::string ProcKill(DWORD pid, ULONGLONG creationTime) {
    RequestHeader h = NewHeader(ReqProcList, OpKill);
    h.argument = pid;
    return BuildRequest(h, &creationTime, sizeof(creationTime));
}

std::string GroupListGet(const JobListEntry& key, DWORD listFlags) { return ListGet(ReqGroupList, key, listFlags); }

std::string GroupKill(const std::u16string& name) {
    RequestHeader h = NewHeader(ReqGroupList, OpKill);
    WCHAR field[kNameUnits] = {};
    lstrcpynW(field, name.c_str(), kNameUnits);
    return BuildRequest(h, field, sizeof(field));
}

std::string ProcRuleRequest(BYTE operation, const ProcDetail& rule, const std::string& varData, DWORD stamp) {
    return RuleRequest(ReqProcRule, operation, rule, kProcDetailFixedSize, varData, stamp);
}

std::string GroupRuleRequest(BYTE operation, const JobDetail& rule, const std::string& varData, DWORD stamp) {
    return RuleRequest(ReqGroupRule, operation, rule, kJobDetailFixedSize, varData, stamp);
}

std::string ServiceInfoGet() {
    RequestHeader h = NewHeader(ReqServiceInfo, OpGet);
    h.maxRecords = 1;
    return BuildRequest(h, nullptr, 0);
}

std::string ParametersReplace(DWORD pollSeconds, DWORD pipeTimeOut) {
    RequestHeader h = NewHeader(ReqParameters, OpReplace);
    ParameterBlock p{};
    p.pollSeconds = pollSeconds;
    p.pipeTimeOut = pipeTimeOut;
    return BuildRequest(h, &p, sizeof(p));
}

std::string ServiceControlRequest(DWORD bits) {
    RequestHeader h = NewHeader(ReqServiceControl, OpControl);
    h.control = kControlWord;
    h.argument = kControlRequired | bits;
    return BuildRequest(h, nullptr, 0);
}

bool SetField(WCHAR* field, size_t units, const std::string& text) {
    std::u16string u = pal::ToUtf16(text);
    if (u.size() >= units || u.find(char16_t(0)) != std::u16string::npos) return false;
    std::memset(field, 0, units * sizeof(WCHAR));
    std::memcpy(field, u.data(), u.size() * sizeof(WCHAR));
    return true;
}

std::string FieldText(const WCHAR* field, size_t units) {
    size_t n = 0;
    while (n < units && field[n] != 0) ++n;
    return pal::ToUtf8(std::u16string_view(field, n));
}

DWORD FetchNameRules(ServiceClient& client, std::vector<NameRule>& rules, DWORD& stamp) {
    for (int attempt = 0; attempt < kNameListTries; ++attempt) {
        rules.clear();
        bool changed = false;
        for (int page = 0; page < kMaxPages; ++page) {
            Reply reply;
            DWORD rc = client.Call(NameRulesGet(static_cast<DWORD>(rules.size())), reply);
            if (rc != 0) return rc;
            if (page == 0) {
                stamp = reply.ListStamp();
            } else if (reply.ListStamp() != stamp) {
                changed = true;  // the list changed under us: read it again from the start
                break;
            }
            AppendRecords(reply, rules);
            if (!reply.More() || reply.RecordCount() == 0) return 0;
        }
        if (!changed) return ERROR_MORE_DATA;
    }
    return ResultStale;
}

DWORD FetchGroupSummaries(ServiceClient& client, const JobSummary& key, DWORD listFlags, std::vector<JobSummary>& out) {
    return FetchKeyed(client, key, listFlags, out, GroupSummariesGet);
}

DWORD FetchProcSummaries(ServiceClient& client, const ProcSummary& key, DWORD listFlags,
                         std::vector<ProcSummary>& out) {
    return FetchKeyed(client, key, listFlags, out, ProcSummariesGet);
}

DWORD FetchProcList(ServiceClient& client, const ProcListEntry& key, DWORD listFlags, std::vector<ProcListEntry>& out) {
    return FetchKeyed(client, key, listFlags, out, ProcListGet);
}

DWORD FetchGroupList(ServiceClient& client, const JobListEntry& key, DWORD listFlags, std::vector<JobListEntry>& out) {
    return FetchKeyed(client, key, listFlags, out, GroupListGet);
}

DWORD GetProcRule(ServiceClient& client, const std::string& name, const std::string& mgmtName, ProcDetail& rule,
                  std::string& varData, DWORD& stamp) {
    return GetRule(client, name, mgmtName, kProcDetailFixedSize, rule, varData, stamp);
}

DWORD GetGroupRule(ServiceClient& client, const std::string& name, const std::string& mgmtName, JobDetail& rule,
                   std::string& varData, DWORD& stamp) {
    return GetRule(client, name, mgmtName, kJobDetailFixedSize, rule, varData, stamp);
}

DWORD GetServiceInfo(ServiceClient& client, ServiceInfo& info) {
    Reply reply;
    DWORD rc = client.Call(ServiceInfoGet(), reply);
    if (rc != 0) return rc;
    if (reply.RecordCount() < 1 || reply.RecordSize() <= 0) return ResultBadRequest;
    std::memset(&info, 0, sizeof(info));
    size_t size = static_cast<size_t>(reply.RecordSize());
    std::memcpy(&info, reply.Record(0), size < sizeof(info) ? size : sizeof(info));
    return 0;
}

std::string ErrorName(DWORD code) {
    for (const ErrorNameEntry& e : kErrorNames)
        if (e.code == code) return e.name;
    return "";
}

std::string ResultWords(DWORD result) {
    if (const char* words = ServiceResultWords(result)) return words;
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", result);
    if ((result & 0xF0000000) != 0) return std::string("service error ") + hex;
    std::string text = result == ERROR_ACCESS_DENIED ? "access denied" : SystemText(result);
    // The system's sentences start with a capital; ours do not.
    if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') text[0] += 'a' - 'A';
    std::string name = ErrorName(result);
    if (text.empty()) return (name.empty() ? "error " + std::to_string(result) : name);
    return Verbose() ? text + " (" + (name.empty() ? "error " + std::to_string(result) : name) + ")" : text;
}

std::string ConnectWords(DWORD error) {
    std::string name = Verbose() && !ErrorName(error).empty() ? " (" + ErrorName(error) + ")" : "";
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case 121:  // ERROR_SEM_TIMEOUT
    case WAIT_TIMEOUT:
        return "the service is not running in " + PalStateRootPath() + name;
    case ERROR_ACCESS_DENIED: return "access denied" + name + ": only administrators may use the service";
    case ERROR_PIPE_BUSY: return "the service is busy" + name;
    default: return ResultWords(error);
    }
}

}  // namespace zctl
