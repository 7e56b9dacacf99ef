// The System event log as JSON lines, mirrored to the journal or syslog, and
// beside it the audit log of the changes clients asked for.
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
#include <utility>

#include "internal/eventlog_config.h"
#include "internal/identity.h"
#include "internal/journal.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/json.h"
#include "pal/resource.h"
#include "pal/security.h"
#include "pal/strings.h"

namespace pal {
namespace {

std::atomic<uint64_t> g_rotateBytes{16ull * 1024 * 1024};
constexpr unsigned kLogLockWaitMs = 2000;
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

// Gives a file or directory of the log its owner, group and mode through its
// descriptor; only root can give it away, others keep it their own. True when
// something had to change.
bool Secure(int fd, mode_t mode, gid_t group) {
    bool root = geteuid() == 0;
    bool changed = false;
    SetOwnerAndMode(fd, mode, root ? 0 : -1, root ? static_cast<int>(group) : -1, &changed);
    return changed;
}

// The log directory under the state root, made when missing (a removed one
// is made again rather than losing the entry): 0750, root and the
// administrators. No link is followed. Returns 0 or errno.
int OpenLogDir(gid_t admins, ScopedFd& dir) {
    ScopedFd root(open(StateRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) return errno;
    for (int attempt = 0;; ++attempt) {
        dir.reset(openat(root.get(), "eventlog", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir) break;
        if (errno != ENOENT || attempt > 0) return errno;
        if (mkdirat(root.get(), "eventlog", 0750) != 0 && errno != EEXIST) return errno;
    }
    if (Secure(dir.get(), 0750, admins)) {
        // A log laid out before these modes: its older file too.
        ScopedFd older(openat(dir.get(), "System.log.1", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (older && fstat(older.get(), &st) == 0 && S_ISREG(st.st_mode)) Secure(older.get(), 0640, admins);
    }
    return 0;
}

// The lock of appends and the rotation: a file of its own that only root can
// open, so that no reader of the log can hold the writers up. Waits at most
// kLogLockWaitMs; false past that (or without a lock file).
bool LockLog(int dir, ScopedFd& lock) {
    ScopedFd fd(openat(dir, ".lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) return false;
    Secure(fd.get(), 0600, 0);
    if (FlockWithin(fd.get(), LOCK_EX, kLogLockWaitMs) != 0) return false;
    lock = std::move(fd);
    return true;
}

// Appends one line to the log file `name` ("System.log"); rotates it first to
// name.1 when it has reached the limit. A last line without its line end (a
// writer that died mid-line) is ended first, so the new entry stays whole.
// Past the lock's deadline the entry is appended anyway, in one write, without
// rotating. Returns 0 or errno.
int AppendLine(const char* name, const std::string& line) {
    gid_t admins = geteuid() == 0 ? AdminGroupId() : static_cast<gid_t>(-1);
    ScopedFd dir;
    int err = OpenLogDir(admins, dir);
    if (err != 0) return err;
    ScopedFd lock;
    bool locked = LockLog(dir.get(), lock);
    for (int attempt = 0; attempt < 2; ++attempt) {
        ScopedFd fd(openat(dir.get(), name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                           0640));
        if (!fd) return errno;
        struct stat st;
        if (fstat(fd.get(), &st) != 0) return errno;
        if (!S_ISREG(st.st_mode)) return EINVAL;
        Secure(fd.get(), 0640, admins);
        if (locked && st.st_size > 0 && static_cast<uint64_t>(st.st_size) + line.size() > g_rotateBytes.load()) {
            std::string older = std::string(name) + ".1";
            if (renameat(dir.get(), name, dir.get(), older.c_str()) != 0) return errno;
            continue;
        }
        std::string entry;
        char last = '\n';
        if (st.st_size > 0 && pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n') entry = "\n";
        entry += line;
        size_t off = 0;
        while (off < entry.size()) {
            ssize_t n = write(fd.get(), entry.data() + off, entry.size() - off);
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

// One syslog datagram of facility and severity `priority`, tagged `tag`.
void SendToSyslog(int priority, const std::string& tag, const std::string& message) {
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
    char head[96];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S", &tm);
    snprintf(head, sizeof(head), "<%d>%s ", priority, stamp);
    std::string msg = std::string(head) + tag + "[" + std::to_string(getpid()) + "]: " + message;
    sendto(fd.get(), msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr),
           sizeof(addr));
}

void MirrorToSyslog(WORD type, const std::string& source, DWORD id, const std::string& message) {
    // daemon facility (3); error 3, warning 4, information 6.
    int severity = type == EVENTLOG_ERROR_TYPE ? 3 : type == EVENTLOG_WARNING_TYPE ? 4 : 6;
    char idText[24];
    snprintf(idText, sizeof(idText), " (event 0x%08X)", id);
    SendToSyslog(3 * 8 + severity, source, message + idText);
}

// Writes a line to the log file `name` as the service, whoever the calling
// thread impersonates; when that fails, the line goes to standard error with
// the reason. Returns 0 or errno.
int WriteLogLine(const char* name, const std::string& line) {
    int err;
    std::string dir;
    {
        ServiceIdentityScope own;
        dir = StatePath("eventlog");
        err = dir.empty() ? EACCES : AppendLine(name, line);
    }
    if (err == 0) return 0;
    // Nothing is lost silently: the entry goes to standard error with the reason.
    std::string where = dir.empty() ? StateRoot() : dir + "/" + name;
    std::string fallback = "zembrik: cannot write the event log " + where + ": " + strerror(err) + "; entry: " + line;
    ssize_t rc = write(STDERR_FILENO, fallback.data(), fallback.size());
    (void)rc;
    return err;
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

    // Shown as it is logged on a terminal; errors also on a standard error
    // that is no journal's (systemd sets JOURNAL_STREAM, and has them).
    if (isatty(STDERR_FILENO) == 1 || (type == EVENTLOG_ERROR_TYPE && getenv("JOURNAL_STREAM") == nullptr))
        fprintf(stderr, "%s: %s\n", source.c_str(), message.c_str());
    // The journal where one runs (with the event's fields), else syslog.
    if (!pal::SendToJournal(type, source, eventId, message)) pal::MirrorToSyslog(type, source, eventId, message);
    int err = pal::WriteLogLine("System.log", line);
    if (err == 0) return TRUE;
    SetLastError(pal::ErrnoToWin32(err, true));
    return FALSE;
}

BOOL PalReportAudit(const PalAuditRecord* record) {
    if (record == nullptr || record->request == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto text = [](LPCWSTR s) { return s != nullptr ? pal::ToUtf8(s) : std::string(); };
    std::string request = text(record->request), name = text(record->name), detail = text(record->detail);
    std::string resultText = text(record->resultText);
    std::string uid = std::to_string(record->clientUid), pid = std::to_string(record->clientPid);

    std::string line = "{\"time\":\"" + pal::NowIso8601() + "\",\"uid\":" + uid + ",\"pid\":" + pid + ",\"request\":";
    pal::json::Quote(line, request);
    line += ",\"type\":" + std::to_string(record->requestType) + ",\"operation\":" +
            std::to_string(record->operation) + ",\"name\":";
    pal::json::Quote(line, name);
    line += ",\"detail\":";
    pal::json::Quote(line, detail);
    line += ",\"result\":" + std::to_string(record->result) + ",\"resultText\":";
    pal::json::Quote(line, resultText);
    line += "}\n";

    std::string message = "audit: uid " + uid + " pid " + pid + " " + request;
    if (!name.empty()) message += " " + name;
    if (!detail.empty()) message += " (" + detail + ")";
    message += ": " + resultText;
    // One line in syslog, whatever a refused request's name held.
    for (char& c : message)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    // authpriv (10), notice (5): the syslog of security decisions.
    if (!pal::SendAuditToJournal(record->clientUid, record->clientPid, message))
        pal::SendToSyslog(10 * 8 + 5, "zembrik", message);
    int err = pal::WriteLogLine("Audit.log", line);
    if (err == 0) return TRUE;
    SetLastError(pal::ErrnoToWin32(err, true));
    return FALSE;
}
