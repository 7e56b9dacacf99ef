// The System event log as JSON lines, mirrored to syslog.
// Known gaps: remote computers and other logs than System are not supported;
// the user SID is not kept.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "internal/eventlog_config.h"
#include "internal/identity.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/json.h"
#include "pal/resource.h"
#include "pal/strings.h"

namespace pal {
namespace {

std::atomic<uint64_t> g_rotateBytes{16ull * 1024 * 1024};
std::mutex g_syslogLock;
std::string g_syslogPath = "/dev/log";

struct EventSource : Object {
    explicit EventSource(const ObjectOps* o) : Object(ObjType::EventSource, o) {}
    std::u16string name;
};
void Destroy(Object* o) { delete static_cast<EventSource*>(o); }
const ObjectOps kOps{Destroy, nullptr, nullptr, nullptr, nullptr};

const char* TypeName(WORD type) {
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_INFORMATION_TYPE: return "information";
    case EVENTLOG_AUDIT_SUCCESS: return "audit_success";
    case EVENTLOG_AUDIT_FAILURE: return "audit_failure";
    default: return "success";
    }
}

std::string NowIso8601() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char buf[96];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
    return buf;
}

std::string TrimLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// Appends one line; rotates first when the file has reached the limit.
// Returns 0 or errno.
int AppendLine(const std::string& dir, const std::string& line) {
    std::string path = dir + "/System.log";
    for (int attempt = 0; attempt < 2; ++attempt) {
        ScopedFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
        if (!fd) {
            // A removed log directory is made again rather than losing the entry.
            if (errno == ENOENT && attempt == 0 && MakeDirs(dir, 0755) == 0) continue;
            return errno;
        }
        if (flock(fd.get(), LOCK_EX) != 0) return errno;
        struct stat st;
        if (fstat(fd.get(), &st) == 0 && static_cast<uint64_t>(st.st_size) + line.size() > g_rotateBytes.load() &&
            st.st_size > 0) {
            struct stat cur;
            // Another process may have rotated while we waited for the lock.
            if (stat(path.c_str(), &cur) == 0 && cur.st_ino == st.st_ino) {
                if (rename(path.c_str(), (path + ".1").c_str()) != 0) return errno;
            }
            continue;
        }
        size_t off = 0;
        while (off < line.size()) {
            ssize_t n = write(fd.get(), line.data() + off, line.size() - off);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            off += static_cast<size_t>(n);
        }
        return 0;
    }
    return EAGAIN;
}

void MirrorToSyslog(WORD type, const std::string& source, DWORD id, const std::string& message) {
    std::string path;
    {
        std::lock_guard<std::mutex> g(g_syslogLock);
        path = g_syslogPath;
    }
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) return;
    ScopedFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size());
    // daemon facility (3); error 3, warning 4, information 6.
    int severity = type == EVENTLOG_ERROR_TYPE ? 3 : type == EVENTLOG_WARNING_TYPE ? 4 : 6;
    char head[96];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S", &tm);
    snprintf(head, sizeof(head), "<%d>%s ", 3 * 8 + severity, stamp);
    char idText[24];
    snprintf(idText, sizeof(idText), " (event 0x%08X)", id);
    std::string msg = std::string(head) + source + "[" + std::to_string(getpid()) + "]: " + message + idText;
    sendto(fd.get(), msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr),
           sizeof(addr));
}

}  // namespace

void SetEventLogRotateBytes(uint64_t bytes) { g_rotateBytes = bytes; }

void SetSyslogSocketPath(const std::string& path) {
    std::lock_guard<std::mutex> g(g_syslogLock);
    g_syslogPath = path;
}

}  // namespace pal

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
    if (server != nullptr && server[0] != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (source == nullptr || source[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* s = new pal::EventSource(&pal::kOps);
    s->name = source;
    return pal::NewHandle(s);
}

BOOL DeregisterEventSource(HANDLE eventLog) {
    pal::Object* o = pal::TakeHandle(eventLog, pal::ObjType::EventSource);
    if (o == nullptr) return FALSE;
    pal::Release(o);
    return TRUE;
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID, WORD numStrings, DWORD dataSize,
                  LPCWSTR* strings, LPVOID rawData) {
    pal::ObjRef<pal::EventSource> src(pal::LookupHandle(eventLog, pal::ObjType::EventSource));
    if (!src) return FALSE;
    if ((numStrings > 0 && strings == nullptr) || (dataSize > 0 && rawData == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string source = pal::ToUtf8(src->name.c_str());
    std::u16string text;
    if (!pal::FormatModuleMessage(eventId, strings, numStrings, text)) {
        text = u"The description for Event ID " + pal::ToUtf16(std::to_string(eventId & 0xFFFF)) +
               u" from source " + src->name + u" cannot be found.";
        if (numStrings > 0) text += u" The following information is part of the event:";
        for (WORD i = 0; i < numStrings; ++i) {
            text += i == 0 ? u" " : u", ";
            text += strings[i] != nullptr ? strings[i] : u"";
        }
    }
    std::string message = pal::TrimLineEnd(pal::ToUtf8(text));
    char idText[16];
    snprintf(idText, sizeof(idText), "0x%08X", eventId);

    std::string line = "{\"time\":\"" + pal::NowIso8601() + "\",\"source\":";
    pal::json::Quote(line, source);
    line += ",\"id\":\"";
    line += idText;
    line += "\",\"type\":\"";
    line += pal::TypeName(type);
    line += "\",\"category\":" + std::to_string(category) + ",\"strings\":[";
    for (WORD i = 0; i < numStrings; ++i) {
        if (i > 0) line += ",";
        pal::json::Quote(line, pal::ToUtf8(strings[i] != nullptr ? strings[i] : u""));
    }
    line += "],\"data\":\"";
    static const char kHex[] = "0123456789abcdef";
    for (DWORD i = 0; i < dataSize; ++i) {
        BYTE b = static_cast<const BYTE*>(rawData)[i];
        line += kHex[b >> 4];
        line += kHex[b & 15];
    }
    line += "\",\"message\":";
    pal::json::Quote(line, message);
    line += ",\"pid\":" + std::to_string(getpid()) + "}\n";

    pal::MirrorToSyslog(type, source, eventId, message);
    int err;
    std::string dir;
    {
        // The log is the service's own, whoever its thread impersonates.
        pal::ServiceIdentityScope own;
        dir = pal::StatePath("eventlog");
        err = dir.empty() ? EACCES : pal::AppendLine(dir, line);
    }
    if (err == 0) return TRUE;
    // Nothing is lost silently: the entry goes to standard error with the reason.
    std::string where = dir.empty() ? pal::StateRoot() : dir + "/System.log";
    std::string fallback = "zembrik: cannot write the event log " + where + ": " + strerror(err) + "; event: " + line;
    ssize_t rc = write(STDERR_FILENO, fallback.data(), fallback.size());
    (void)rc;
    SetLastError(pal::ErrnoToWin32(err, true));
    return FALSE;
}
