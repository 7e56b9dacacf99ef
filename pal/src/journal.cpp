// The journal's native protocol: one datagram of fields, each "KEY=value\n",
// or for a value holding a line end "KEY\n", its length as 64-bit little
// endian, the value and "\n".
#include "internal/journal.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "internal/sys.h"

namespace pal {
namespace {

std::mutex g_journalLock;
std::string g_journalPath = "/run/systemd/journal/socket";

void AddField(std::string& d, const char* key, const std::string& value) {
    d += key;
    if (value.find('\n') == std::string::npos) {
        d += '=';
        d += value;
    } else {
        d += '\n';
        uint64_t n = value.size();
        for (int i = 0; i < 8; ++i) d += static_cast<char>((n >> (8 * i)) & 0xff);
        d += value;
    }
    d += '\n';
}

}  // namespace

void SetJournalSocketPath(const std::string& path) {
    std::lock_guard<std::mutex> g(g_journalLock);
    g_journalPath = path;
}

// Sends one entry of fields; false when no journal takes it.
bool Send(const std::string& d) {
    std::string path;
    {
        std::lock_guard<std::mutex> g(g_journalLock);
        path = g_journalPath;
    }
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) return false;
    ScopedFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size());
    return sendto(fd.get(), d.data(), d.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr),
                  sizeof(addr)) == static_cast<ssize_t>(d.size());
}

bool SendToJournal(WORD type, const std::string& source, DWORD id, const std::string& message) {
    // As syslog has them: error 3, warning 4, everything else 6.
    int priority = type == EVENTLOG_ERROR_TYPE ? 3 : type == EVENTLOG_WARNING_TYPE ? 4 : 6;
    char eventId[16];
    snprintf(eventId, sizeof(eventId), "0x%08X", id);
    // 128 bits: "zembrik" and the event id, so that one event id is one
    // message id in every installation.
    char messageId[40];
    snprintf(messageId, sizeof(messageId), "7a656d6272696b0000000000%08x", id);
    std::string d;
    AddField(d, "MESSAGE", message);
    AddField(d, "PRIORITY", std::to_string(priority));
    AddField(d, "MESSAGE_ID", messageId);
    AddField(d, "SYSLOG_IDENTIFIER", "zembrik");
    AddField(d, "SYSLOG_FACILITY", "3");
    AddField(d, "SYSLOG_PID", std::to_string(getpid()));
    AddField(d, "ZEMBRIK_EVENT_ID", eventId);
    AddField(d, "ZEMBRIK_SOURCE", source);
    return Send(d);
}

bool SendAuditToJournal(DWORD clientUid, DWORD clientPid, const std::string& message) {
    std::string d;
    AddField(d, "MESSAGE", message);
    AddField(d, "PRIORITY", "5");
    AddField(d, "SYSLOG_IDENTIFIER", "zembrik");
    AddField(d, "SYSLOG_FACILITY", "10");
    AddField(d, "SYSLOG_PID", std::to_string(getpid()));
    AddField(d, "ZEMBRIK_AUDIT", "1");
    AddField(d, "ZEMBRIK_CLIENT_UID", std::to_string(clientUid));
    AddField(d, "ZEMBRIK_CLIENT_PID", std::to_string(clientPid));
    return Send(d);
}

}  // namespace pal
