// The service's side of service control: the dispatcher, the control handler
// and status reports.
//
// The dispatcher owns the service's files under run/services while it runs:
// an exclusive flock on <name>.lock (0600, root) decides the owner (one live
// copy per name), taken without waiting; the owner also holds an OFD write
// lock on the same file, which other processes can test with F_OFD_GETLK
// without taking anything. Only the owner writes <name>.status (0644, for
// every status query) and listens on <name>.ctl (0600, root).
//
// Known gaps: only the first table entry runs; the dispatcher returns when
// ServiceMain returns, not when the service reports STOPPED; SIGTERM/SIGINT
// reach the handler only if every thread of the program has them blocked.
#include <vector>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "internal/service.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace pal::svc {
namespace {

constexpr size_t kMaxConnections = 16;
constexpr int kListenBacklog = 16;

struct Dispatcher {
    std::mutex lock;  // guards everything below; held across status file writes
    bool active = false;
    std::u16string name;
    std::string nameUtf8;
    std::string dir;          // run/services
    std::string base;         // encoded name: <base>.status, .ctl, .lock
    bool owner = false;
    LPSERVICE_MAIN_FUNCTIONW proc = nullptr;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS last{};
    bool pendingStop = false;  // a signal waits for a status that accepts STOP
    bool mainDone = false;
    int wakeFd = -1;
    std::vector<std::string> history;  // the latest reports, oldest first
};

Dispatcher& TheDispatcher() {
    static Dispatcher* d = new Dispatcher;  // outlives static destructors
    return *d;
}

std::atomic<bool> g_dispatcherUsed{false};

SERVICE_STATUS_HANDLE StatusToken() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(&TheDispatcher()); }

bool IsPending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

void Wake(int fd) {
    uint64_t one = 1;
    ssize_t rc = write(fd, &one, sizeof(one));
    (void)rc;  // a full counter already wakes the loop
}

// sd_notify without libsystemd: one datagram to $NOTIFY_SOCKET ('@' = abstract).
void Notify(const std::string& msg) {
    const char* target = getenv("NOTIFY_SOCKET");
    if (target == nullptr || (target[0] != '/' && target[0] != '@')) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t n = strlen(target);
    if (n >= sizeof(addr.sun_path)) return;
    memcpy(addr.sun_path, target, n);
    if (target[0] == '@') addr.sun_path[0] = 0;
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (target[0] == '/' ? 1 : 0));
    ScopedFd s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s) return;
    // systemd may be gone or slow; the status file is the record that counts.
    ssize_t rc = sendto(s.get(), msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&addr), len);
    (void)rc;
}

std::string NotifyText(const SERVICE_STATUS& st) {
    std::string msg;
    switch (st.dwCurrentState) {
    case SERVICE_START_PENDING: msg = "STATUS=Starting"; break;
    case SERVICE_RUNNING: msg = "READY=1\nSTATUS=Running\nMAINPID=" + std::to_string(getpid()); break;
    case SERVICE_STOP_PENDING: msg = "STOPPING=1\nSTATUS=Stopping"; break;
    case SERVICE_STOPPED:
        msg = "STATUS=Stopped";
        if (st.dwWin32ExitCode != 0) msg += "\nERRNO=" + std::to_string(st.dwWin32ExitCode);
        break;
    case SERVICE_CONTINUE_PENDING: msg = "STATUS=Continuing"; break;
    case SERVICE_PAUSE_PENDING: msg = "STATUS=Pausing"; break;
    case SERVICE_PAUSED: msg = "STATUS=Paused"; break;
    }
    if (IsPending(st.dwCurrentState) && st.dwWaitHint > 0)
        msg += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(st.dwWaitHint) * 1000u);
    return msg;
}

// Writes the status file; with d.lock held.
// A report of the service itself (`reported`) joins the file's history, so a
// reader can follow the walk through the pending states and check points.
DWORD WriteStatus(Dispatcher& d, const SERVICE_STATUS& st, bool reported) {
    constexpr size_t kHistory = 16;
    if (reported) {
        if (d.history.size() == kHistory) d.history.erase(d.history.begin());
        d.history.push_back(FormatHistoryEntry(st));
    }
    std::string text = FormatStatus(d.nameUtf8, st, static_cast<uint32_t>(getpid()), d.history);
    int rc = WriteFileAtomic(d.dir + "/" + d.base + ".status", text, 0644);
    return rc == 0 ? ERROR_SUCCESS : ErrnoToWin32(rc);
}

// Whether a control may reach the handler in the current state, as the
// control manager decides it on Windows.
DWORD CheckControl(DWORD control, const SERVICE_STATUS& cur, bool haveHandler) {
    if (cur.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    bool pass;
    if (control == SERVICE_CONTROL_INTERROGATE || (control >= 128 && control <= 255)) {
        pass = true;
    } else {
        DWORD bit = 0;
        switch (control) {
        case SERVICE_CONTROL_STOP: bit = SERVICE_ACCEPT_STOP; break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE: bit = SERVICE_ACCEPT_PAUSE_CONTINUE; break;
        case SERVICE_CONTROL_SHUTDOWN: bit = SERVICE_ACCEPT_SHUTDOWN; break;
        case SERVICE_CONTROL_PARAMCHANGE: bit = SERVICE_ACCEPT_PARAMCHANGE; break;
        case SERVICE_CONTROL_NETBINDADD:
        case SERVICE_CONTROL_NETBINDREMOVE:
        case SERVICE_CONTROL_NETBINDENABLE:
        case SERVICE_CONTROL_NETBINDDISABLE: bit = SERVICE_ACCEPT_NETBINDCHANGE; break;
        default: return ERROR_INVALID_SERVICE_CONTROL;
        }
        pass = (cur.dwControlsAccepted & bit) != 0;
    }
    if (pass && haveHandler) return ERROR_SUCCESS;
    return IsPending(cur.dwCurrentState) ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL : ERROR_INVALID_SERVICE_CONTROL;
}

// Runs one control on the dispatcher's thread; fills the status after it.
DWORD Dispatch(Dispatcher& d, DWORD control, SERVICE_STATUS& after) {
    LPHANDLER_FUNCTION handler;
    DWORD rc;
    {
        std::lock_guard<std::mutex> g(d.lock);
        handler = d.handler;
        rc = CheckControl(control, d.last, handler != nullptr);
        after = d.last;
    }
    if (rc != ERROR_SUCCESS) return rc;
    handler(control);
    std::lock_guard<std::mutex> g(d.lock);
    after = d.last;
    return ERROR_SUCCESS;
}

// A remembered SIGTERM/SIGINT goes to the handler once STOP is accepted.
void DeliverPendingStop(Dispatcher& d) {
    LPHANDLER_FUNCTION handler = nullptr;
    {
        std::lock_guard<std::mutex> g(d.lock);
        if (!d.pendingStop) return;
        if (d.last.dwCurrentState == SERVICE_STOPPED) {
            d.pendingStop = false;
            return;
        }
        if (d.handler == nullptr || (d.last.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0) return;
        d.pendingStop = false;
        handler = d.handler;
    }
    handler(SERVICE_CONTROL_STOP);
}

struct Connection {
    ScopedFd fd;
    uint64_t deadline;
};

void Serve(Dispatcher& d, int fd) {
    ControlRequest req{};
    ssize_t n = recv(fd, &req, sizeof(req), MSG_DONTWAIT | MSG_TRUNC);
    if (n != static_cast<ssize_t>(sizeof(req)) || req.magic != kControlMagic) return;
    ControlReply rep{};
    rep.magic = kControlMagic;
    rep.error = Dispatch(d, req.control, rep.status);
    ssize_t rc = send(fd, &rep, sizeof(rep), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)rc;  // a client that left does not want the answer
}

// Binds the endpoint under a temporary name, gives it its owner and mode,
// then renames it into place (replacing one a dead owner left behind), so
// nobody can connect before the mode is right.
DWORD CreateEndpoint(const Dispatcher& d, int dirFd, ScopedFd& out) {
    std::string final = d.base + ".ctl";
    std::string tmp = ".ctl." + std::to_string(getpid()) + ".new";  // short: it must fit a socket address
    sockaddr_un addr;
    socklen_t len;
    if (!UnixAddress(d.dir + "/" + tmp, addr, len) && !UnixAddress(FdPath(dirFd) + "/" + tmp, addr, len))
        return ERROR_FILENAME_EXCED_RANGE;
    ScopedFd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) return ErrnoToWin32(errno);
    unlinkat(dirFd, tmp.c_str(), 0);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return ErrnoToWin32(errno, true);
    // Controls come from the owner only (root for the service): on Windows
    // only the control manager's privileged callers reach a service.
    int rc = 0;
    if (geteuid() == 0 && fchownat(dirFd, tmp.c_str(), 0, 0, AT_SYMLINK_NOFOLLOW) != 0) rc = errno;
    if (rc == 0 && fchmodat(dirFd, tmp.c_str(), 0600, 0) != 0) rc = errno;
    struct stat st;
    if (rc == 0 && fstatat(dirFd, tmp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) rc = errno;
    if (rc == 0 && (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 07777) != 0600)) rc = EPERM;
    if (rc == 0 && listen(s.get(), kListenBacklog) != 0) rc = errno;
    if (rc == 0 && renameat(dirFd, tmp.c_str(), dirFd, final.c_str()) != 0) rc = errno;
    if (rc != 0) {
        unlinkat(dirFd, tmp.c_str(), 0);
        return ErrnoToWin32(rc);
    }
    out = std::move(s);
    return ERROR_SUCCESS;
}

DWORD ServiceThread(LPVOID) {
    Dispatcher& d = TheDispatcher();
    std::u16string arg0 = d.name;
    LPWSTR argv[2] = {arg0.data(), nullptr};
    d.proc(1, argv);
    std::lock_guard<std::mutex> g(d.lock);
    d.mainDone = true;
    Wake(d.wakeFd);
    return 0;
}

// The thread handle is signalled when ServiceMain's thread returns from its
// procedure; the (detached) thread itself ends a moment later. Wait for that,
// bounded, so no thread of ours outlives the dispatcher.
void WaitThreadGone(DWORD tid) {
    for (int i = 0; i < 1000; ++i) {
        if (syscall(SYS_tgkill, getpid(), static_cast<pid_t>(tid), 0) != 0 && errno == ESRCH) return;
        struct timespec ts{0, 1000000L};
        nanosleep(&ts, nullptr);
    }
}

// Everything the dispatcher holds while it runs; released in reverse order.
struct Session {
    sigset_t signals;
    sigset_t oldMask;
    bool masked = false;
    ScopedFd signalFd;
    ScopedFd wake;
    ScopedFd dirFd;
    ScopedFd lockFd;
    ScopedFd listener;
    std::vector<Connection> conns;
};

DWORD Setup(Dispatcher& d, Session& s) {
    d.dir = ServicesDir();
    if (d.dir.empty()) return GetLastError();
    // Before any thread exists, so every thread the service starts inherits the mask.
    sigemptyset(&s.signals);
    sigaddset(&s.signals, SIGTERM);
    sigaddset(&s.signals, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &s.signals, &s.oldMask) != 0) return ERROR_GEN_FAILURE;
    s.masked = true;
    s.signalFd.reset(signalfd(-1, &s.signals, SFD_CLOEXEC | SFD_NONBLOCK));
    s.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    s.dirFd.reset(open(d.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!s.signalFd || !s.wake || !s.dirFd) return ErrnoToWin32(errno);
    // The owner's lock is for root alone: whoever can open it can hold it.
    s.lockFd.reset(openat(s.dirFd.get(), (d.base + ".lock").c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!s.lockFd) return ErrnoToWin32(errno);
    struct stat st;
    if (fstat(s.lockFd.get(), &st) != 0) return ErrnoToWin32(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_INVALID_DATA;
    if (geteuid() == 0 && (st.st_uid != 0 || st.st_gid != 0) && fchown(s.lockFd.get(), 0, 0) != 0)
        return ErrnoToWin32(errno);
    if ((st.st_mode & 07777) != 0600 && fchmod(s.lockFd.get(), 0600) != 0) return ErrnoToWin32(errno);
    if (flock(s.lockFd.get(), LOCK_EX | LOCK_NB) == 0) {
        d.owner = true;
        struct flock probe{};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (fcntl(s.lockFd.get(), F_OFD_SETLK, &probe) != 0) return ErrnoToWin32(errno);
    } else if (errno == EWOULDBLOCK) {
        d.owner = false;  // a second copy: leave the live owner's files alone
    } else {
        return ErrnoToWin32(errno);
    }
    d.last = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    if (d.owner) {
        // START_PENDING is what the control manager shows for a service it has
        // just started; the record also names our pid for later queries.
        DWORD rc = CreateEndpoint(d, s.dirFd.get(), s.listener);
        if (rc == ERROR_SUCCESS) rc = WriteStatus(d, d.last, false);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

void Teardown(Dispatcher& d, Session& s, bool dropSignals) {
    {
        std::lock_guard<std::mutex> g(d.lock);
        d.active = false;
        d.handler = nullptr;
        d.wakeFd = -1;
    }
    s.conns.clear();
    if (s.listener) {
        s.listener.reset();
        unlinkat(s.dirFd.get(), (d.base + ".ctl").c_str(), 0);
    }
    s.lockFd.reset();  // after the unlink: the next owner may bind at once
    s.dirFd.reset();
    s.wake.reset();
    if (s.masked) {
        // Signals that came too late to be a STOP are dropped, not left pending
        // to kill the process when the mask is restored. When the service never
        // ran, a pending signal takes its ordinary effect.
        signalfd_siginfo si;
        while (dropSignals && s.signalFd &&
               read(s.signalFd.get(), &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
        }
        s.signalFd.reset();
        pthread_sigmask(SIG_SETMASK, &s.oldMask, nullptr);
    }
}

void Loop(Dispatcher& d, Session& s) {
    std::vector<pollfd> fds;
    for (;;) {
        DeliverPendingStop(d);
        {
            std::lock_guard<std::mutex> g(d.lock);
            if (d.mainDone) return;
        }
        fds.clear();
        fds.push_back({s.signalFd.get(), POLLIN, 0});
        fds.push_back({s.wake.get(), POLLIN, 0});
        bool listening = s.listener && s.conns.size() < kMaxConnections;
        fds.push_back({listening ? s.listener.get() : -1, POLLIN, 0});
        uint64_t now = MonotonicMs();
        int timeout = -1;
        for (const Connection& c : s.conns) {
            fds.push_back({c.fd.get(), POLLIN, 0});
            int left = c.deadline > now ? static_cast<int>(c.deadline - now) : 0;
            if (timeout < 0 || left < timeout) timeout = left;
        }
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // cannot wait any more; nothing sensible left
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo si;
            bool got = false;
            while (read(s.signalFd.get(), &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) got = true;
            if (got) {
                std::lock_guard<std::mutex> g(d.lock);
                d.pendingStop = true;
            }
        }
        if (fds[1].revents != 0) {
            uint64_t v;
            ssize_t rc = read(s.wake.get(), &v, sizeof(v));
            (void)rc;
        }
        // Serve the connections polled this round before accepting new ones.
        std::vector<Connection> keep;
        for (size_t i = 0; i < s.conns.size(); ++i) {
            if (fds[3 + i].revents == 0) {
                keep.push_back(std::move(s.conns[i]));
                continue;
            }
            Serve(d, s.conns[i].fd.get());
        }
        s.conns = std::move(keep);
        // A client that connected and sent nothing loses its place.
        now = MonotonicMs();
        std::erase_if(s.conns, [now](const Connection& c) { return c.deadline <= now; });
        if (listening && fds[2].revents != 0) {
            while (s.conns.size() < kMaxConnections) {
                int c = accept4(s.listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c < 0) break;
                s.conns.push_back({ScopedFd(c), MonotonicMs() + kControlTimeoutMs});
            }
        }
    }
}

DWORD RunDispatcher(const SERVICE_TABLE_ENTRYW* table) {
    if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceName[0] == 0 ||
        table[0].lpServiceProc == nullptr)
        return ERROR_INVALID_PARAMETER;
    int len = lstrlenW(table[0].lpServiceName);
    if (len > 256) return ERROR_INVALID_NAME;
    if (g_dispatcherUsed.exchange(true)) return ERROR_SERVICE_ALREADY_RUNNING;

    Dispatcher& d = TheDispatcher();
    Session s;
    {
        std::lock_guard<std::mutex> g(d.lock);
        d.name.assign(table[0].lpServiceName, static_cast<size_t>(len));
        d.nameUtf8 = ToUtf8(d.name);
        d.base = EncodeName(d.name.c_str());
        d.proc = table[0].lpServiceProc;
        d.handler = nullptr;
        d.owner = false;
        d.pendingStop = false;
        d.mainDone = false;
    }
    DWORD rc = Setup(d, s);
    HANDLE thread = nullptr;
    DWORD tid = 0;
    if (rc == ERROR_SUCCESS) {
        {
            std::lock_guard<std::mutex> g(d.lock);
            d.wakeFd = s.wake.get();
            d.active = true;
        }
        thread = CreateThread(nullptr, 0, ServiceThread, nullptr, 0, &tid);
        if (thread == nullptr) rc = GetLastError();
    }
    if (rc != ERROR_SUCCESS) {
        Teardown(d, s, false);
        g_dispatcherUsed = false;  // nothing ran; the caller may try again
        return rc;
    }
    Loop(d, s);
    // ServiceMain has returned (or the loop broke); its thread ends right after.
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    WaitThreadGone(tid);
    Teardown(d, s, true);
    return ERROR_SUCCESS;
}

DWORD InternalSetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    Dispatcher& d = TheDispatcher();
    if (handle == nullptr || handle != StatusToken()) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(d.lock);
    if (!d.active || d.handler == nullptr) return ERROR_INVALID_HANDLE;
    if (status == nullptr) return ERROR_INVALID_PARAMETER;
    if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) return ERROR_INVALID_DATA;
    if (d.owner) {
        DWORD rc = WriteStatus(d, *status, true);
        if (rc != ERROR_SUCCESS) return rc;
    }
    d.last = *status;
    if (d.last.dwCurrentState == SERVICE_STOPPED) d.pendingStop = false;
    if (d.pendingStop && (d.last.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0) Wake(d.wakeFd);
    std::string msg = NotifyText(d.last);
    if (!msg.empty()) Notify(msg);
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace pal::svc

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    DWORD rc = pal::svc::RunDispatcher(table);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler) {
    pal::svc::Dispatcher& d = pal::svc::TheDispatcher();
    DWORD rc = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> g(d.lock);
        if (!d.active || name == nullptr || lstrcmpiW(name, d.name.c_str()) != 0) rc = ERROR_SERVICE_DOES_NOT_EXIST;
        else if (handler == nullptr) rc = ERROR_INVALID_PARAMETER;
        else d.handler = handler;
    }
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    return pal::svc::StatusToken();
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    DWORD rc = pal::svc::InternalSetServiceStatus(handle, status);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}
