// The System event log: eventlog/System.log under the state root, one JSON
// object per line, mirrored to the systemd journal (with structured fields)
// where one runs, else to syslog; shown on standard error when that is a
// terminal, and errors also when it is no journal's. Readable by root and the
// administrators' group only (Windows lets every user read it).
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
