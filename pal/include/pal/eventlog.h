// The System event log: eventlog/System.log under the state root, one JSON
// object per line, mirrored to the systemd journal (with structured fields)
// where one runs, else to syslog; shown on standard error when that is a
// terminal, and errors also when it is no journal's. Readable by root and the
// administrators' group only (Windows lets every user read it). Beside it,
// eventlog/Audit.log: the audit records, kept the same way.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Note: only the local computer; the source name is not checked against the
// registry. Every source writes to the System log.
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
BOOL DeregisterEventSource(HANDLE eventLog);
// Note: the message text comes from the calling program's own message table
// (PalSetModuleResources), formatted when the event is written; the user SID
// is not recorded. When the log cannot be written the entry goes to standard
// error instead and the call fails with the reason. A writer kept from the
// log's lock for about 2 s appends without it.
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

// One change a client asked for, whatever its result. Texts may be null.
struct PalAuditRecord {
    DWORD clientUid;
    DWORD clientPid;
    LPCWSTR request;  // what was asked: "add process rule"
    BYTE requestType;
    BYTE operation;
    LPCWSTR name;     // what it names, if anything
    LPCWSTR detail;   // the values it sets, if any
    DWORD result;
    LPCWSTR resultText;
};
// Not Win32 (Windows audits into its Security log): appends the record as one
// JSON line to eventlog/Audit.log, in one write and rotated to Audit.log.1 as
// System.log is, and sends it to the journal (ZEMBRIK_AUDIT=1 with the
// client's uid and pid) or else to syslog (authpriv). A log that cannot be
// written fails the call, and the line goes to standard error.
BOOL PalReportAudit(const PalAuditRecord* record);
