// The administrator's side of the service pipe: one connection, one request
// message and one reply message at a time, the requests of every type, the
// replies' records, whole lists across MoreData pages, and result codes as
// words. The commands and the tests share it.
#pragma once
#include <string>
#include <vector>

#include "pal/types.h"
#include "wire/request_protocol.h"

namespace zctl {

// One reply message as it arrived.
struct Reply {
    std::string bytes;  // the whole message, header first
    const RequestHeader& Header() const { return *reinterpret_cast<const RequestHeader*>(bytes.data()); }
    DWORD Result() const { return Header().result; }
    bool More() const { return (Header().flags & MoreData) != 0; }
    DWORD ListStamp() const { return Header().listStamp; }
    int RecordCount() const { return Header().recordCount; }
    int RecordSize() const { return Header().recordSize; }
    // Record i (checked against the message length by Transact).
    const BYTE* Record(int i) const {
        return reinterpret_cast<const BYTE*>(bytes.data()) + kHeaderSize + static_cast<size_t>(i) * RecordSize();
    }
};

// Checks a received message: a reply header, our request's id, records that
// lie within the message. 0, or ResultBadRequest for anything else.
DWORD CheckReply(const std::string& bytes, DWORD requestId);

class ServiceClient {
public:
    ServiceClient() = default;
    ~ServiceClient();
    ServiceClient(const ServiceClient&) = delete;
    ServiceClient& operator=(const ServiceClient&) = delete;

    // Waits for the pipe with its default time-out and opens it in message
    // mode. 0 or the Windows error (ERROR_FILE_NOT_FOUND: no service).
    DWORD Connect();
    bool IsConnected() const { return pipe_ != nullptr; }
    // Sends one request message and reads its reply. Returns 0 when a reply
    // arrived (its own result is in the reply), else the transport's error.
    DWORD Transact(const std::string& request, Reply& reply);
    // Transact, then the reply's result: one code for both kinds of failure.
    DWORD Call(const std::string& request, Reply& reply);

private:
    HANDLE pipe_ = nullptr;
};

// ---- request building -------------------------------------------------

// A header with the signature, a fresh request id, type and operation.
RequestHeader NewHeader(BYTE type, BYTE operation);
// The message: the header, the ten unread bytes, then the data (dataLength
// set from it).
std::string BuildRequest(RequestHeader header, const void* data, size_t size);

// Type 1: Get from startIndex with WantData; Add/Replace/Delete/Swap at
// index under the list stamp.
std::string NameRulesGet(DWORD startIndex);
std::string NameRulesChange(BYTE operation, DWORD index, DWORD stamp, const NameRule* rule);
// Types 2 and 3: summaries from a key under list flags.
std::string GroupSummariesGet(const JobSummary& key, DWORD listFlags);
std::string ProcSummariesGet(const ProcSummary& key, DWORD listFlags);
// Type 4: the merged process list; Kill by pid and creation time.
std::string ProcListGet(const ProcListEntry& key, DWORD listFlags);
std::string ProcKill(DWORD pid, ULONGLONG creationTime);
// Type 5: the merged group list; Kill by group name.
std::string GroupListGet(const JobListEntry& key, DWORD listFlags);
std::string GroupKill(const std::u16string& name);
// Types 6 and 7: a rule with its variable data; Get asks for as much
// variable data as the reply can hold. stamp matters for Replace only.
std::string ProcRuleRequest(BYTE operation, const ProcDetail& rule, const std::string& varData, DWORD stamp);
std::string GroupRuleRequest(BYTE operation, const JobDetail& rule, const std::string& varData, DWORD stamp);
// Type 8 and type 9.
std::string ServiceInfoGet();
std::string ParametersReplace(DWORD pollSeconds, DWORD pipeTimeOut);
// Type 77 with the control word and the required bits plus `bits`.
std::string ServiceControlRequest(DWORD bits);

// ---- text fields ------------------------------------------------------

// A UTF-8 name into a fixed field; false when it does not fit (units-1
// characters at most).
bool SetField(WCHAR* field, size_t units, const std::string& text);
// A fixed field as UTF-8 (up to its terminator or its end).
std::string FieldText(const WCHAR* field, size_t units);

// ---- whole lists --------------------------------------------------------

// The alias list from index 0 over every page; the stamp of the list. When
// the stamp changes between pages, the read starts over (a few times).
DWORD FetchNameRules(ServiceClient& client, std::vector<NameRule>& rules, DWORD& stamp);
// Types 2-5 from `key` under `listFlags`; each further page starts after the
// last entry (ListFromKey cleared).
DWORD FetchGroupSummaries(ServiceClient& client, const JobSummary& key, DWORD listFlags, std::vector<JobSummary>& out);
DWORD FetchProcSummaries(ServiceClient& client, const ProcSummary& key, DWORD listFlags,
                         std::vector<ProcSummary>& out);
DWORD FetchProcList(ServiceClient& client, const ProcListEntry& key, DWORD listFlags, std::vector<ProcListEntry>& out);
DWORD FetchGroupList(ServiceClient& client, const JobListEntry& key, DWORD listFlags, std::vector<JobListEntry>& out);

// A rule read (Get, types 6/7): the fixed part, its variable data and the
// list stamp that a Replace must carry.
DWORD GetProcRule(ServiceClient& client, const std::string& name, const std::string& mgmtName, ProcDetail& rule,
                  std::string& varData, DWORD& stamp);
DWORD GetGroupRule(ServiceClient& client, const std::string& name, const std::string& mgmtName, JobDetail& rule,
                   std::string& varData, DWORD& stamp);
DWORD GetServiceInfo(ServiceClient& client, ServiceInfo& info);

// ---- results as words -------------------------------------------------

// "not found", "stale", "bad name", "access denied (ERROR_ACCESS_DENIED)",
// other Windows errors by name and system text.
std::string ResultWords(DWORD result);
// The system's text for a Windows error, without its final period; "" when
// it has none.
std::string SystemText(DWORD code);
// The Windows name of an error code ("ERROR_FILE_NOT_FOUND"), or "" when unknown.
std::string ErrorName(DWORD code);
// Words for a failed connect: the service is not running, access denied.
std::string ConnectWords(DWORD error);

}  // namespace zctl
