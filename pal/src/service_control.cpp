// The other processes' side of service control: control manager and service
// handles, controls sent over the service's endpoint, status read from its
// status file.
//
// Known gaps: access rights are not checked when a service is opened; the
// endpoint's owner and mode (0600, the service's user) decide when a control
// is sent. There is
// no service database beyond the Services keys and the files of running
// services (no enumeration, no locking).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "internal/object.h"
#include "internal/service.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/json.h"
#include "pal/registry.h"
#include "pal/strings.h"

namespace pal::svc {

// --- shared with the dispatcher -------------------------------------------

std::string ServicesDir() { return StatePath("run/services"); }

bool UnixAddress(const std::string& path, sockaddr_un& addr, socklen_t& len) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return false;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

const char* StateName(DWORD state) {
    static const char* const kNames[] = {"UNKNOWN",  "STOPPED",          "START_PENDING", "STOP_PENDING",
                                         "RUNNING",  "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < 8 ? kNames[state] : kNames[0];
}

namespace {

std::string UtcNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char buf[32];
    size_t n = strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(buf + n, sizeof(buf) - n, ".%03uZ", static_cast<unsigned>(ts.tv_nsec / 1000000L) % 1000u);
    return buf;
}

}  // namespace

std::string FormatHistoryEntry(const SERVICE_STATUS& st) {
    char buf[160];
    snprintf(buf, sizeof(buf), "{\"state\":%u,\"checkPoint\":%u,\"waitHint\":%u,\"controlsAccepted\":%u,\"time\":\"%s\"}",
             st.dwCurrentState, st.dwCheckPoint, st.dwWaitHint, st.dwControlsAccepted, UtcNow().c_str());
    return buf;
}

std::string FormatStatus(const std::string& nameUtf8, const SERVICE_STATUS& st, uint32_t pid,
                         const std::vector<std::string>& history) {
    std::string out = "{\"name\":";
    json::Quote(out, nameUtf8);
    char buf[320];
    snprintf(buf, sizeof(buf),
             ",\"state\":%u,\"stateName\":\"%s\",\"checkPoint\":%u,\"waitHint\":%u,\"controlsAccepted\":%u,"
             "\"win32ExitCode\":%u,\"serviceSpecificExitCode\":%u,\"serviceType\":%u,\"pid\":%u,\"time\":\"%s\"",
             st.dwCurrentState, StateName(st.dwCurrentState), st.dwCheckPoint, st.dwWaitHint, st.dwControlsAccepted,
             st.dwWin32ExitCode, st.dwServiceSpecificExitCode, st.dwServiceType, pid, UtcNow().c_str());
    out += buf;
    out += ",\"history\":[";
    for (size_t i = 0; i < history.size(); ++i) out += (i > 0 ? "," : "") + history[i];
    return out + "]}\n";
}

bool ParseStatus(const std::string& text, SERVICE_STATUS& st, uint32_t& pid) {
    st = SERVICE_STATUS{};
    pid = 0;
    json::Value doc;
    if (!json::Parse(text, doc) || doc.kind != json::Kind::Object) return false;
    // Missing members read as 0; the state must be there and valid.
    auto field = [&doc](const char* key, DWORD& out) {
        const json::Value* v = doc.Find(key);
        uint64_t n = 0;
        if (v == nullptr) return true;
        if (!v->AsUint64(n) || n > 0xFFFFFFFFu) return false;
        out = static_cast<DWORD>(n);
        return true;
    };
    DWORD p = 0;
    bool ok = doc.Find("state") != nullptr && field("state", st.dwCurrentState) &&
              field("checkPoint", st.dwCheckPoint) && field("waitHint", st.dwWaitHint) &&
              field("controlsAccepted", st.dwControlsAccepted) && field("win32ExitCode", st.dwWin32ExitCode) &&
              field("serviceSpecificExitCode", st.dwServiceSpecificExitCode) &&
              field("serviceType", st.dwServiceType) && field("pid", p);
    pid = p;
    return ok && st.dwCurrentState >= SERVICE_STOPPED && st.dwCurrentState <= SERVICE_PAUSED;
}

// --- control manager side ---------------------------------------------------

namespace {

constexpr int kMaxServiceName = 256;
constexpr const char16_t* kServicesKey = u"SYSTEM\\CurrentControlSet\\Services";
constexpr const char* kServicesDir = "registry/HKLM/SYSTEM/CurrentControlSet/Services";

void DestroyScm(Object* o) { delete static_cast<ScManager*>(o); }
void DestroyService(Object* o) { delete static_cast<Service*>(o); }
const ObjectOps kScmOps{DestroyScm, nullptr, nullptr, nullptr, nullptr};
const ObjectOps kServiceOps{DestroyService, nullptr, nullptr, nullptr, nullptr};

bool HasSuffix(const std::string& s, const char* suffix, std::string& stem) {
    size_t n = strlen(suffix);
    if (s.size() <= n || s.compare(s.size() - n, n, suffix) != 0) return false;
    stem = s.substr(0, s.size() - n);
    return true;
}

// Entry of `dir` whose decoded name equals `name` case-insensitively, or "".
std::string FindEntry(const std::string& dir, const std::u16string& name,
                      const std::initializer_list<const char*>& suffixes) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return std::string();
    std::string found;
    while (struct dirent* e = readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        for (const char* suffix : suffixes) {
            std::string stem;
            if (!HasSuffix(entry, suffix, stem)) continue;
            if (lstrcmpiW(DecodeName(stem).c_str(), name.c_str()) == 0) found = stem;
            break;
        }
        if (!found.empty()) break;
    }
    closedir(d);
    return found;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The encoded file name the running (or last) copy of the service uses: the
// exact encoding when its files are there, else a case-insensitive match.
std::string ResolveBase(const std::string& dir, const std::u16string& name) {
    std::string base = EncodeName(name.c_str());
    for (const char* suffix : {".status", ".ctl", ".lock"})
        if (Exists(dir + "/" + base + suffix)) return base;
    std::string found = FindEntry(dir, name, {".status", ".ctl", ".lock"});
    return found.empty() ? base : found;
}

// A status file's process still runs the dispatcher: the pid is alive and
// the .lock file carries the dispatcher's lock (a reused pid has none).
bool DispatcherAlive(const std::string& lockPath, uint32_t pid) {
    if (pid == 0) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    ScopedFd fd(open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return errno == EACCES;  // root's lock: the pid is all we know
    struct flock probe{};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd.get(), F_OFD_GETLK, &probe) != 0) return true;
    return probe.l_type != F_UNLCK;
}

DWORD QueryByBase(const std::string& dir, const std::string& base, SERVICE_STATUS& status, DWORD* pidOut = nullptr) {
    std::string text;
    int rc = ReadWholeFile(dir + "/" + base + ".status", text);
    uint32_t pid = 0;
    if (pidOut != nullptr) *pidOut = 0;
    if (rc == EACCES) return ERROR_ACCESS_DENIED;
    if (rc != 0 || !ParseStatus(text, status, pid)) {
        // Never ran here (or the record is unreadable): stopped.
        status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        return ERROR_SUCCESS;
    }
    if (status.dwCurrentState != SERVICE_STOPPED && !DispatcherAlive(dir + "/" + base + ".lock", pid)) {
        // The process ended without reporting STOPPED: it died.
        status = SERVICE_STATUS{status.dwServiceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
    }
    if (pidOut != nullptr && status.dwCurrentState != SERVICE_STOPPED) *pidOut = pid;
    return ERROR_SUCCESS;
}

DWORD NotActive(const std::string& dir, const std::string& base, SERVICE_STATUS& status) {
    DWORD rc = QueryByBase(dir, base, status);
    return rc == ERROR_SUCCESS ? ERROR_SERVICE_NOT_ACTIVE : rc;
}

std::u16string ServiceKeyName(const std::u16string& name) { return kServicesKey + std::u16string(u"\\") + name; }

// An installed service has its "Type" value; a key with only subkeys (a
// Parameters key left over) is no service.
bool ServiceKeyExists(const std::u16string& name) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyName(name).c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc == ERROR_ACCESS_DENIED) return true;  // a key we may not read still exists
    if (rc != ERROR_SUCCESS) return false;
    rc = RegQueryValueExW(key, u"Type", nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool ValidName(LPCWSTR name) {
    int len = lstrlenW(name);
    if (len == 0 || len > kMaxServiceName) return false;
    for (int i = 0; i < len; ++i)
        if (name[i] == u'/' || name[i] == u'\\') return false;
    return true;
}

DWORD MapServiceAccess(DWORD access) {
    if ((access & GENERIC_READ) != 0)
        access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    if ((access & GENERIC_WRITE) != 0) access |= SERVICE_CHANGE_CONFIG;
    if ((access & GENERIC_EXECUTE) != 0)
        access |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    if ((access & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) access |= SERVICE_ALL_ACCESS;
    return access;
}

// Right a control code needs on the service handle; 0 for an invalid code.
DWORD RightFor(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_PAUSE_CONTINUE;
    default: return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
    }
}

// Write access to the Services key: what installing a service needs.
DWORD CheckCreateAccess() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    // Made like any other key when missing; that itself needs write access to its parent.
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                              nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    RegCloseKey(key);
    std::string dir = StatePath(kServicesDir);
    if (dir.empty()) return GetLastError();
    return faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

uint64_t Remaining(uint64_t deadline) {
    uint64_t now = MonotonicMs();
    return deadline > now ? deadline - now : 0;
}

}  // namespace

DWORD InternalQueryServiceStatus(const std::u16string& name, SERVICE_STATUS& status, DWORD* pid) {
    std::string dir = ServicesDir();
    if (dir.empty()) return GetLastError();
    return QueryByBase(dir, ResolveBase(dir, name), status, pid);
}

DWORD InternalControlService(const std::u16string& name, DWORD control, SERVICE_STATUS& status, DWORD timeoutMs) {
    std::string dir = ServicesDir();
    if (dir.empty()) return GetLastError();
    std::string base = ResolveBase(dir, name);
    uint64_t deadline = MonotonicMs() + timeoutMs;
    std::string path = dir + "/" + base + ".ctl";
    sockaddr_un addr;
    socklen_t len = 0;
    ScopedFd pathFd;
    if (!UnixAddress(path, addr, len)) {
        // Too long for a socket address: connect through a descriptor of the
        // socket file (connect still checks write access to it).
        pathFd.reset(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!pathFd) {
            if (errno == ENOENT) return NotActive(dir, base, status);
            return ErrnoToWin32(errno, true);
        }
        UnixAddress(FdPath(pathFd.get()), addr, len);
    }
    ScopedFd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!s) return ErrnoToWin32(errno);
    // A full backlog makes connect wait; bound that by the same deadline.
    struct timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int rc;
    do {
        rc = connect(s.get(), reinterpret_cast<sockaddr*>(&addr), len);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        switch (errno) {
        case ENOENT:
        case ECONNREFUSED:
        case ENOTSOCK: return NotActive(dir, base, status);
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case EAGAIN:
        case ETIMEDOUT:
            QueryByBase(dir, base, status);
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        default: return ErrnoToWin32(errno);
        }
    }
    ControlRequest req{kControlMagic, control};
    if (send(s.get(), &req, sizeof(req), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(req))) {
        if (errno == EPIPE || errno == ECONNRESET) return NotActive(dir, base, status);
        return ErrnoToWin32(errno);
    }
    for (;;) {
        struct pollfd p{s.get(), POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(Remaining(deadline)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoToWin32(errno);
        if (n == 0) {
            QueryByBase(dir, base, status);
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        break;
    }
    ControlReply rep{};
    ssize_t n = recv(s.get(), &rep, sizeof(rep), MSG_TRUNC);
    // No answer before the close: the dispatcher ended while we waited.
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return NotActive(dir, base, status);
    if (n < 0) return ErrnoToWin32(errno);
    if (n != static_cast<ssize_t>(sizeof(rep)) || rep.magic != kControlMagic) return ERROR_INVALID_DATA;
    status = rep.status;
    return rep.error;
}

}  // namespace pal::svc

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
    DWORD rc = ERROR_SUCCESS;
    if (machine != nullptr && machine[0] != 0) rc = ERROR_NOT_SUPPORTED;
    else if (database != nullptr && database[0] != 0 && lstrcmpiW(database, SERVICES_ACTIVE_DATABASEW) != 0)
        rc = ERROR_DATABASE_DOES_NOT_EXIST;
    else if ((access & (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK | SC_MANAGER_MODIFY_BOOT_CONFIG | GENERIC_WRITE |
                        GENERIC_ALL | DELETE | WRITE_DAC | WRITE_OWNER)) != 0)
        rc = pal::svc::CheckCreateAccess();
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    auto* scm = new pal::svc::ScManager(&pal::svc::kScmOps);
    scm->access = access;
    return pal::NewHandle(scm);
}

namespace pal::svc {

// A handle to the named service, or null with `rc` as the last error.
SC_HANDLE ServiceHandle(DWORD rc, LPCWSTR name, DWORD access) {
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    auto* svc = new Service(&kServiceOps);
    svc->name = name;
    svc->access = MapServiceAccess(access);
    return NewHandle(svc);
}

}  // namespace pal::svc

SC_HANDLE OpenServiceW(SC_HANDLE scmHandle, LPCWSTR name, DWORD access) {
    pal::ObjRef<pal::svc::ScManager> scm(pal::LookupHandle(scmHandle, pal::ObjType::ScManager));
    if (!scm) return nullptr;
    DWORD rc = ERROR_SUCCESS;
    if (name == nullptr) rc = ERROR_INVALID_ADDRESS;
    else if (!pal::svc::ValidName(name)) rc = ERROR_INVALID_NAME;
    if (rc == ERROR_SUCCESS) {
        std::u16string n(name);
        std::string dir = pal::svc::ServicesDir();
        bool known = pal::svc::ServiceKeyExists(n) ||
                     (!dir.empty() && !pal::svc::FindEntry(dir, n, {".status", ".ctl"}).empty());
        if (!known) rc = ERROR_SERVICE_DOES_NOT_EXIST;
    }
    return pal::svc::ServiceHandle(rc, name, access);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    pal::Object* obj = pal::LookupHandle(handle, pal::ObjType::None);
    if (obj == nullptr) return FALSE;
    bool ours = obj->type == pal::ObjType::ScManager || obj->type == pal::ObjType::Service;
    pal::Release(obj);
    if (!ours) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj = pal::TakeHandle(handle, pal::ObjType::None);
    if (obj == nullptr) return FALSE;
    pal::Release(obj);
    return TRUE;
}

BOOL ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
    pal::ObjRef<pal::svc::Service> svc(pal::LookupHandle(handle, pal::ObjType::Service));
    if (!svc) return FALSE;
    DWORD right = pal::svc::RightFor(control);
    DWORD rc;
    if (status == nullptr || right == 0) rc = ERROR_INVALID_PARAMETER;
    else if ((svc->access & right) == 0) rc = ERROR_ACCESS_DENIED;
    else rc = pal::svc::InternalControlService(svc->name, control, *status);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
    pal::ObjRef<pal::svc::Service> svc(pal::LookupHandle(handle, pal::ObjType::Service));
    if (!svc) return FALSE;
    DWORD rc;
    if (status == nullptr) rc = ERROR_INVALID_PARAMETER;
    else if ((svc->access & SERVICE_QUERY_STATUS) == 0) rc = ERROR_ACCESS_DENIED;
    else rc = pal::svc::InternalQueryServiceStatus(svc->name, *status, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE handle, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    pal::ObjRef<pal::svc::Service> svc(pal::LookupHandle(handle, pal::ObjType::Service));
    if (!svc) return FALSE;
    DWORD rc = ERROR_SUCCESS;
    if (level != SC_STATUS_PROCESS_INFO || needed == nullptr) rc = ERROR_INVALID_PARAMETER;
    else if ((svc->access & SERVICE_QUERY_STATUS) == 0) rc = ERROR_ACCESS_DENIED;
    else if ((*needed = sizeof(SERVICE_STATUS_PROCESS)) > size || buffer == nullptr) rc = ERROR_INSUFFICIENT_BUFFER;
    SERVICE_STATUS status{};
    DWORD pid = 0;
    if (rc == ERROR_SUCCESS) rc = pal::svc::InternalQueryServiceStatus(svc->name, status, &pid);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS out{status.dwServiceType,   status.dwCurrentState,          status.dwControlsAccepted,
                               status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
                               status.dwWaitHint,      pid,                             0};
    memcpy(buffer, &out, sizeof(out));
    return TRUE;
}

namespace {

LONG SetString(HKEY key, LPCWSTR name, DWORD type, LPCWSTR text) {
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)));
}

LONG SetDword(HKEY key, LPCWSTR name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// The values CreateServiceW writes, which DeleteService removes again.
constexpr const char16_t* kServiceValues[] = {u"Type",        u"Start",      u"ErrorControl",    u"ImagePath",
                                              u"DisplayName", u"ObjectName", u"DependOnService", u"Description"};

}  // namespace

SC_HANDLE CreateServiceW(SC_HANDLE scmHandle, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD serviceType,
                         DWORD startType, DWORD errorControl, LPCWSTR binaryPath, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password) {
    (void)loadOrderGroup;
    (void)password;
    pal::ObjRef<pal::svc::ScManager> scm(pal::LookupHandle(scmHandle, pal::ObjType::ScManager));
    if (!scm) return nullptr;
    DWORD rc = ERROR_SUCCESS;
    if ((scm->access & SC_MANAGER_CREATE_SERVICE) == 0) rc = ERROR_ACCESS_DENIED;
    else if (name == nullptr || binaryPath == nullptr || binaryPath[0] == 0) rc = ERROR_INVALID_PARAMETER;
    else if (!pal::svc::ValidName(name)) rc = ERROR_INVALID_NAME;
    else if (tagId != nullptr) rc = ERROR_INVALID_PARAMETER;
    else if (pal::svc::ServiceKeyExists(name)) rc = ERROR_SERVICE_EXISTS;
    HKEY key = nullptr;
    if (rc == ERROR_SUCCESS)
        rc = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, pal::svc::ServiceKeyName(name).c_str(), 0,
                                                nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                                nullptr));
    if (rc == ERROR_SUCCESS) {
        const WCHAR* shown = displayName != nullptr && displayName[0] != 0 ? displayName : name;
        const WCHAR* runAs = account != nullptr && account[0] != 0 ? account : u"LocalSystem";
        LONG w = SetDword(key, u"Start", startType);
        if (w == ERROR_SUCCESS) w = SetDword(key, u"ErrorControl", errorControl);
        if (w == ERROR_SUCCESS) w = SetString(key, u"ImagePath", REG_EXPAND_SZ, binaryPath);
        if (w == ERROR_SUCCESS) w = SetString(key, u"DisplayName", REG_SZ, shown);
        if (w == ERROR_SUCCESS) w = SetString(key, u"ObjectName", REG_SZ, runAs);
        if (w == ERROR_SUCCESS && dependencies != nullptr && dependencies[0] != 0) {
            DWORD units = 0;
            while (dependencies[units] != 0 || dependencies[units + 1] != 0) ++units;
            w = RegSetValueExW(key, u"DependOnService", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(dependencies),
                               (units + 2) * sizeof(WCHAR));
        }
        // "Type" last: it is what makes the key a service.
        if (w == ERROR_SUCCESS) w = SetDword(key, u"Type", serviceType);
        RegCloseKey(key);
        rc = static_cast<DWORD>(w);
        if (rc == ERROR_SUCCESS) {
            rc = pal::svc::WriteServiceUnit(name, shown, binaryPath, account != nullptr ? account : u"",
                                            startType == SERVICE_AUTO_START);
        }
        if (rc != ERROR_SUCCESS) {
            // Nothing half made is left to look like a service.
            HKEY k = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pal::svc::ServiceKeyName(name).c_str(), 0, KEY_SET_VALUE, &k) ==
                ERROR_SUCCESS) {
                for (const char16_t* v : kServiceValues) RegDeleteValueW(k, v);
                RegCloseKey(k);
            }
        }
    }
    return pal::svc::ServiceHandle(rc, name, access);
}

BOOL DeleteService(SC_HANDLE handle) {
    pal::ObjRef<pal::svc::Service> svc(pal::LookupHandle(handle, pal::ObjType::Service));
    if (!svc) return FALSE;
    DWORD rc = ERROR_SUCCESS;
    if ((svc->access & DELETE) == 0) rc = ERROR_ACCESS_DENIED;
    else if (!pal::svc::ServiceKeyExists(svc->name)) rc = ERROR_SERVICE_MARKED_FOR_DELETE;
    HKEY key = nullptr;
    if (rc == ERROR_SUCCESS)
        rc = static_cast<DWORD>(RegOpenKeyExW(HKEY_LOCAL_MACHINE, pal::svc::ServiceKeyName(svc->name).c_str(), 0,
                                              KEY_ALL_ACCESS, &key));
    if (rc == ERROR_SUCCESS) {
        // "Type" first: from here on the key is no service.
        rc = static_cast<DWORD>(RegDeleteValueW(key, u"Type"));
        for (const char16_t* v : kServiceValues) RegDeleteValueW(key, v);
        DWORD subkeys = 0, values = 0;
        bool empty = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                      nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                     subkeys == 0 && values == 0;
        RegCloseKey(key);
        if (empty) RegDeleteKeyW(HKEY_LOCAL_MACHINE, pal::svc::ServiceKeyName(svc->name).c_str());
        pal::svc::RemoveServiceUnit(svc->name);
        // A stopped service's last status goes too, so it is not found again.
        std::string dir = pal::svc::ServicesDir();
        if (!dir.empty()) {
            std::string base = pal::svc::ResolveBase(dir, svc->name);
            SERVICE_STATUS st{};
            if (pal::svc::QueryByBase(dir, base, st) == ERROR_SUCCESS && st.dwCurrentState == SERVICE_STOPPED)
                for (const char* suffix : {".status", ".ctl", ".lock"}) unlink((dir + "/" + base + suffix).c_str());
        }
    }
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}
