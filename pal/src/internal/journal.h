// Events to the systemd journal through its native socket.
#pragma once
#include <string>

#include "pal/eventlog.h"
#include "pal/types.h"

namespace pal {
// Sends one event as a journal entry (MESSAGE, PRIORITY from the event type,
// MESSAGE_ID from the event id, ZEMBRIK_EVENT_ID, ZEMBRIK_SOURCE, identifier
// "zembrik"); false when no journal takes it (none runs, or it refused).
bool SendToJournal(WORD type, const std::string& source, DWORD id, const std::string& message);
// Sends one audit record as a journal entry (MESSAGE, PRIORITY notice,
// facility authpriv, ZEMBRIK_AUDIT=1, ZEMBRIK_CLIENT_UID, ZEMBRIK_CLIENT_PID);
// false when no journal takes it.
bool SendAuditToJournal(DWORD clientUid, DWORD clientPid, const std::string& message);
// Where the journal's socket is (default /run/systemd/journal/socket; empty:
// none).
void SetJournalSocketPath(const std::string& path);
}  // namespace pal
