// Named pipes: message-mode pipes as AF_UNIX SOCK_SEQPACKET sockets.
//
// Every instance of a name in this process shares one listening socket,
// run/pipe/<encoded name>; a connected instance owns the socket accept()
// gave it. Beside the socket, "<encoded name>%pipe" holds the newest
// instance's default time-out, and the serving process keeps a shared flock
// on it: a socket file whose sidecar nobody holds was left by a dead server
// and is replaced. A new socket is bound as "<encoded name>%new" and renamed
// into place once it listens. (In an encoded name '%' is always followed by
// two hex digits, so the suffixes never meet another pipe's file.)
//
// Overlapped operations that cannot finish at once wait in one reactor thread
// per process (epoll over the sockets), which finishes them with non-blocking
// calls and signals the OVERLAPPED's event. A thread that then waits on that
// event takes its operation out of the reactor's set, polls the socket itself
// and finishes the operation (ClaimIo, ReleaseIo): a session's request reaches
// it without a hand-off through the reactor thread, and sessions spread over
// every core. Blocking calls wait in the kernel (a blocking recv or send on
// the caller's thread), without the lock.
//
// Known gaps: only message pipes; names are case-sensitive; clients queue in
// the shared backlog even while no instance waits in ConnectNamedPipe; one
// process serves a name at a time; the rest of a message longer than the
// read buffer is lost; zero-length messages cannot be sent (a socket reports
// them as end of file); TransactNamedPipe only blocks; a client sees a
// disconnect as a broken pipe; closing a handle on another thread does not end
// a blocking call on it (DisconnectNamedPipe ends blocked reads and writes);
// a child forked without exec has no reactor thread; an overlapped read with
// an event is left out of the reactor until its thread blocks in another call
// of the layer (ArmDeferredIo), so one whose thread blocks outside the layer
// finishes only when someone waits on it or looks at it.
#include "pal/pipe.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal/locks.h"
#include "internal/named.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/sync.h"
#include "pal/token.h"

namespace pal {
namespace {

constexpr char kPipeArea[] = "run/pipe";
constexpr char kSidecarSuffix[] = "%pipe";  // the default time-out, for clients
constexpr char kServeSuffix[] = "%serve";   // flock(LOCK_SH) while a process serves the name
constexpr char kAreaLock[] = "%lock";
constexpr char kFreshSuffix[] = "%new";     // a socket being set up, renamed into place when ready
constexpr size_t kPrefixChars = 9;  // \\.\pipe\ .
constexpr size_t kMaxNameChars = 256;
// Room for a 64 KiB message and its bookkeeping in the socket buffers.
constexpr DWORD kMinBuffer = 65536 + 4096;
constexpr DWORD kMaxBuffer = 64u << 20;
// Windows' default for a pipe created with a default time-out of 0.
constexpr DWORD kDefaultTimeOutMs = 50;
// How often WaitNamedPipe looks when it cannot watch the pipe folder.
constexpr DWORD kWaitPollMs = 10;
// How often it looks anyway while it watches the folder.
constexpr DWORD kWatchedLookMs = 250;

// ---- Names and socket addresses

struct PipePath {
    std::string dir;   // run/pipe of the state root
    std::string leaf;  // encoded name
    std::string Socket() const { return dir + "/" + leaf; }
    std::string Sidecar() const { return dir + "/" + leaf + kSidecarSuffix; }
    std::string Serve() const { return dir + "/" + leaf + kServeSuffix; }
};

bool HasPipePrefix(LPCWSTR name) {
    static const char16_t kPrefix[] = u"\\\\.\\pipe\\";
    for (size_t i = 0; i < kPrefixChars; ++i) {
        char16_t c = name[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != kPrefix[i]) return false;
    }
    return true;
}

DWORD ParseName(LPCWSTR name, PipePath& out) {
    if (name == nullptr || !HasPipePrefix(name)) return ERROR_INVALID_NAME;
    LPCWSTR rest = name + kPrefixChars;
    size_t n = 0;
    while (rest[n] != 0) ++n;
    if (n == 0 || n > kMaxNameChars) return ERROR_INVALID_NAME;
    std::string dir = StatePath(kPipeArea);
    if (dir.empty()) return GetLastError();
    out.dir = dir;
    out.leaf = EncodeName(rest);
    return ERROR_SUCCESS;
}

// A socket path must fit sun_path (108 bytes with its NUL). A longer one is
// reached through an O_PATH descriptor of its directory, which the kernel
// resolves like any other path: /proc/self/fd/<dir>/<leaf>.
struct Address {
    struct sockaddr_un sun{};
    socklen_t len = 0;
    ScopedFd dir;  // keeps the /proc/self/fd name valid while in use
};

DWORD MakeAddress(const PipePath& p, Address& a) {
    a.sun.sun_family = AF_UNIX;
    std::string path = p.Socket();
    if (path.size() >= sizeof(a.sun.sun_path)) {
        a.dir.reset(open(p.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!a.dir) return ErrnoToWin32(errno, true);
        path = "/proc/self/fd/" + std::to_string(a.dir.get()) + "/" + p.leaf;
        if (path.size() >= sizeof(a.sun.sun_path)) return ERROR_FILENAME_EXCED_RANGE;
    }
    memcpy(a.sun.sun_path, path.c_str(), path.size() + 1);
    a.len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
    return ERROR_SUCCESS;
}

// One message must fit the sender's buffer whole. The kernel doubles what we
// ask for; root may go past the system maximum.
void FitBuffers(int fd, DWORD bytes) {
    int want = static_cast<int>(std::min(std::max(bytes + 4096, kMinBuffer), kMaxBuffer));
    const int opts[2][2] = {{SO_SNDBUF, SO_SNDBUFFORCE}, {SO_RCVBUF, SO_RCVBUFFORCE}};
    for (const auto& o : opts) {
        int have = 0;
        socklen_t len = sizeof(have);
        if (getsockopt(fd, SOL_SOCKET, o[0], &have, &len) == 0 && have >= want) continue;
        setsockopt(fd, SOL_SOCKET, o[0], &want, sizeof(want));
        len = sizeof(have);
        if (getsockopt(fd, SOL_SOCKET, o[0], &have, &len) == 0 && have >= want) continue;
        setsockopt(fd, SOL_SOCKET, o[1], &want, sizeof(want));
    }
}

void WriteTimeOut(int fd, DWORD ms) {
    std::string text = std::to_string(ms) + "\n";
    if (pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()))
        (void)!ftruncate(fd, static_cast<off_t>(text.size()));
}

DWORD ReadTimeOut(const PipePath& p, DWORD& ms) {
    std::string text;
    int err = ReadWholeFile(p.Sidecar(), text);
    if (err != 0) return ErrnoToWin32(err);
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 10);
    if (end == text.c_str()) return ERROR_FILE_NOT_FOUND;  // being written by a new server
    ms = static_cast<DWORD>(v);
    return ERROR_SUCCESS;
}

// ---- Listening sockets, one per name and process

struct Listener {
    PipePath path;
    ScopedFd sock;
    ScopedFd holder;   // the serve lock, flock(LOCK_SH) while we serve the name
    ScopedFd timeOut;  // the sidecar clients read the default time-out from
    DWORD maxInstances = 0;  // PIPE_UNLIMITED_INSTANCES: no limit
    DWORD instances = 0;     // guarded by RegistryLock()
};

std::mutex& RegistryLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::map<std::string, std::shared_ptr<Listener>>& Listeners() {
    static auto* m = new std::map<std::string, std::shared_ptr<Listener>>;
    return *m;
}

// Serialises creating and removing socket files across processes. The lock
// files are the serving processes' own (0600): no client can hold them.
DWORD LockArea(const std::string& dir, ScopedFd& guard) { return LockAreaFile(dir, kAreaLock, guard); }

// The sidecar gets the socket's owner and group, with read access for those
// who may connect: they read the time-out, nothing else; no lock is taken on it.
DWORD ShareTimeOut(const PipePath& p, int fd) {
    struct stat st;
    if (fstatat(AT_FDCWD, p.Socket().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrnoToWin32(errno);
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) return ErrnoToWin32(errno);
    // A class that may write (connect to) the socket, or read it, may read the time-out.
    mode_t read = ((st.st_mode & 0044) | ((st.st_mode & 0022) << 1)) & 0044;
    return fchmod(fd, 0600 | read) == 0 ? ERROR_SUCCESS : ErrnoToWin32(errno);
}

DWORD BindListener(Listener& l, const SECURITY_ATTRIBUTES* sa, bool firstInstance, DWORD timeOut) {
    const PipePath& p = l.path;
    l.holder.reset(open(p.Serve().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!l.holder) return ErrnoToWin32(errno, true);
    if (flock(l.holder.get(), LOCK_EX | LOCK_NB) != 0) {
        // Another live process serves the name.
        l.holder.reset();
        if (errno != EWOULDBLOCK) return ErrnoToWin32(errno);
        return firstInstance ? ERROR_ACCESS_DENIED : ERROR_PIPE_BUSY;
    }
    // No one serves it: whatever socket file is there is stale.
    if (unlink(p.Socket().c_str()) != 0 && errno != ENOENT) return ErrnoToWin32(errno);
    if (flock(l.holder.get(), LOCK_SH) != 0) return ErrnoToWin32(errno);
    if (fchmod(l.holder.get(), 0600) != 0) return ErrnoToWin32(errno);  // one made before with another mode
    l.timeOut.reset(open(p.Sidecar().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!l.timeOut) return ErrnoToWin32(errno, true);
    // The socket is made under a name of its own and renamed into place once
    // it listens and its time-out is written: whoever sees the name (a client,
    // WaitNamedPipe's inotify watch) finds it ready.
    PipePath fresh = p;
    fresh.leaf += kFreshSuffix;
    if (unlink(fresh.Socket().c_str()) != 0 && errno != ENOENT) return ErrnoToWin32(errno);
    Address a;
    DWORD rc = MakeAddress(fresh, a);
    if (rc != ERROR_SUCCESS) return rc;
    l.sock.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!l.sock) return ErrnoToWin32(errno);
    if (bind(l.sock.get(), reinterpret_cast<const struct sockaddr*>(&a.sun), a.len) != 0)
        return errno == EADDRINUSE ? ERROR_PIPE_BUSY : ErrnoToWin32(errno, true);
    // Owner, group and mode before listen(): until then connects are refused.
    rc = ApplySecurity(fresh.Socket(), sa, SecuredObject::Pipe, false);
    if (rc == ERROR_SUCCESS) rc = ShareTimeOut(fresh, l.timeOut.get());
    if (rc == ERROR_SUCCESS && listen(l.sock.get(), SOMAXCONN) != 0) rc = ErrnoToWin32(errno);
    if (rc == ERROR_SUCCESS) {
        WriteTimeOut(l.timeOut.get(), timeOut);
        if (rename(fresh.Socket().c_str(), p.Socket().c_str()) != 0) rc = ErrnoToWin32(errno);
    }
    if (rc != ERROR_SUCCESS) unlink(fresh.Socket().c_str());
    return rc;
}

DWORD AcquireListener(const PipePath& path, DWORD maxInstances, DWORD timeOut, const SECURITY_ATTRIBUTES* sa,
                      bool firstInstance, std::shared_ptr<Listener>& out) {
    std::lock_guard<std::mutex> g(RegistryLock());
    auto& reg = Listeners();
    auto it = reg.find(path.Socket());
    if (it != reg.end()) {
        Listener& l = *it->second;
        if (firstInstance) return ERROR_ACCESS_DENIED;
        if (l.maxInstances != PIPE_UNLIMITED_INSTANCES && l.instances >= l.maxInstances) return ERROR_PIPE_BUSY;
        WriteTimeOut(l.timeOut.get(), timeOut);  // the newest instance's value wins
        ++l.instances;
        out = it->second;
        return ERROR_SUCCESS;
    }
    ScopedFd guard;
    DWORD rc = LockArea(path.dir, guard);
    if (rc != ERROR_SUCCESS) return rc;
    auto l = std::make_shared<Listener>();
    l->path = path;
    l->maxInstances = maxInstances;
    rc = BindListener(*l, sa, firstInstance, timeOut);
    if (rc != ERROR_SUCCESS) {
        if (l->holder) {
            unlink(path.Sidecar().c_str());
            unlink(path.Serve().c_str());
        }
        return rc;
    }
    l->instances = 1;
    reg[path.Socket()] = l;
    out = std::move(l);
    return ERROR_SUCCESS;
}

// A server without an instance limit holds a socket per client (and its
// session a descriptor or two more): the soft limit, often 1024, goes up to
// the hard one, at most 64 Ki (programs that walk every descriptor stay quick).
void RaiseDescriptorLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        constexpr rlim_t kWanted = 65536;
        struct rlimit rl;
        if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= kWanted) return;
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, kWanted);
        setrlimit(RLIMIT_NOFILE, &rl);
    });
}

// The last instance of the name in this process takes the files away.
void ReleaseListener(const std::shared_ptr<Listener>& l) {
    std::lock_guard<std::mutex> g(RegistryLock());
    if (--l->instances != 0) return;
    ScopedFd guard;
    LockArea(l->path.dir, guard);
    unlink(l->path.Socket().c_str());
    unlink(l->path.Sidecar().c_str());
    unlink(l->path.Serve().c_str());
    l->holder.reset();
    Listeners().erase(l->path.Socket());
}

// ---- Pipe handles

struct Conn {
    explicit Conn(int fd) : sock(fd) {}
    ScopedFd sock;
    std::atomic<bool> readOnce{false};  // a message came in: impersonation allowed
};

enum class State { Listening, Connected, Disconnected };

struct Pipe : Object {
    explicit Pipe(const ObjectOps* o) : Object(ObjType::Pipe, o) {}
    bool server = false;
    bool overlapped = false;
    DWORD bufferBytes = kMinBuffer;
    std::shared_ptr<Listener> listener;
    State state = State::Listening;  // guarded by IoLock()
    std::shared_ptr<Conn> conn;      // guarded by IoLock()
};

// Guards pipe state and the reactor; completions are announced on IoDone().
std::mutex& IoLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::condition_variable& IoDone() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

ULONG_PTR LoadStatus(const OVERLAPPED* ov) { return __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE); }

// Publishes a result the way Windows fills an OVERLAPPED. With IoLock() held.
void Finish(OVERLAPPED* ov, DWORD status, DWORD bytes) {
    ov->InternalHigh = bytes;
    __atomic_store_n(&ov->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
    if (ov->hEvent != nullptr) SetEvent(ov->hEvent);
    IoDone().notify_all();
}

// ---- Single non-blocking attempts

enum class OpKind { Connect, Read, Write };
enum class Try { Done, Again };

// Connected sockets are in blocking mode: an attempt passes MSG_DONTWAIT, a
// blocking call waits in the kernel (one system call, not a poll and a read).
Try TryRecv(Conn* c, char* buf, DWORD size, DWORD& status, DWORD& bytes, bool wait = false) {
    for (;;) {
        // MSG_TRUNC: the message's true length, however much of it fits.
        ssize_t n = recv(c->sock.get(), buf, size, (wait ? 0 : MSG_DONTWAIT) | MSG_TRUNC);
        if (n > 0) {
            bytes = static_cast<DWORD>(std::min<size_t>(static_cast<size_t>(n), size));
            status = static_cast<size_t>(n) > size ? ERROR_MORE_DATA : ERROR_SUCCESS;
            c->readOnce = true;
            return Try::Done;
        }
        bytes = 0;
        if (n == 0) {  // we never send empty messages: this is the peer's end
            status = ERROR_BROKEN_PIPE;
            return Try::Done;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return Try::Again;
        status = errno == ECONNRESET ? ERROR_BROKEN_PIPE : ErrnoToWin32(errno);
        return Try::Done;
    }
}

Try TrySend(Conn* c, const char* buf, DWORD size, DWORD& status, DWORD& bytes, bool wait = false) {
    bool grown = false;
    for (;;) {
        ssize_t n = send(c->sock.get(), buf, size, (wait ? 0 : MSG_DONTWAIT) | MSG_NOSIGNAL);
        if (n >= 0) {
            bytes = static_cast<DWORD>(n);
            status = ERROR_SUCCESS;
            return Try::Done;
        }
        bytes = 0;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return Try::Again;
        if (errno == EMSGSIZE && !grown) {
            FitBuffers(c->sock.get(), size);
            grown = true;
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) status = ERROR_NO_DATA;
        else if (errno == EMSGSIZE) status = ERROR_NOT_ENOUGH_QUOTA;
        else status = ErrnoToWin32(errno);
        return Try::Done;
    }
}

// Takes a queued client for the instance. With IoLock() held.
Try TryAccept(Pipe* p, DWORD& status) {
    for (;;) {
        int fd = accept4(p->listener->sock.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            FitBuffers(fd, p->bufferBytes);
            p->conn = std::make_shared<Conn>(fd);
            p->state = State::Connected;
            status = ERROR_SUCCESS;
            return Try::Done;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN) return Try::Again;
        status = ErrnoToWin32(errno);
        return Try::Done;
    }
}

// ---- The reactor: one thread, one epoll set, every pending operation

struct Op {
    OpKind kind;
    Pipe* pipe;  // no reference: closing the handle aborts the op first
    Conn* conn;  // kept open by the watch
    OVERLAPPED* ov;
    char* buf;
    DWORD size;
    int fd = -1;              // the watch it waits in
    Object* event = nullptr;  // the OVERLAPPED's event, referenced while queued
    bool driven = false;      // a waiter of the event polls for it (out of epoll)
    // A read its own thread is expected to wait for: kept out of epoll until
    // that thread blocks anywhere else (ArmDeferredIo) or a wait gives it back.
    bool deferred = false;
    const void* owner = nullptr;  // the issuing thread's DeferredIo
};

// The descriptors with reads this thread deferred; whatever is left is armed
// when the thread ends.
struct DeferredIo {
    std::vector<int> fds;
    ~DeferredIo();
};
thread_local DeferredIo t_deferred;

struct Watch {
    std::shared_ptr<void> owner;  // keeps the descriptor open while watched
    std::vector<Op*> ops;         // in issue order
    uint32_t events = 0;
};

struct Reactor {
    int epoll = -1;
    std::map<int, Watch> watches;                    // by descriptor
    std::unordered_multimap<Object*, Op*> byEvent;  // queued ops that have an event
};

Reactor& TheReactor() {
    static Reactor* r = new Reactor;
    return *r;
}

// `wait`: a read or write blocks until it can be done (never under the lock).
Try Attempt(Op* op, DWORD& status, DWORD& bytes, bool wait = false) {
    switch (op->kind) {
    case OpKind::Connect: return TryAccept(op->pipe, status);
    case OpKind::Read: return TryRecv(op->conn, op->buf, op->size, status, bytes, wait);
    case OpKind::Write: return TrySend(op->conn, op->buf, op->size, status, bytes, wait);
    }
    return Try::Again;
}

// An op that left its watch: its event no longer has it pending.
void Retire(Reactor& r, Op* op) {
    if (op->event != nullptr) {
        auto range = r.byEvent.equal_range(op->event);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == op) {
                r.byEvent.erase(it);
                break;
            }
        }
        op->event->pendingIo.fetch_sub(1);
        Release(op->event);
    }
    delete op;
}

// Matches the epoll interest to the ops left that no waiter polls for; drops
// an empty watch.
DWORD UpdateWatch(Reactor& r, int fd) {
    auto it = r.watches.find(fd);
    if (it == r.watches.end()) return ERROR_SUCCESS;
    Watch& w = it->second;
    uint32_t want = 0;
    for (const Op* op : w.ops)
        if (!op->driven && !op->deferred) want |= op->kind == OpKind::Write ? EPOLLOUT : EPOLLIN;
    if (want == 0) {
        if (w.events != 0) epoll_ctl(r.epoll, EPOLL_CTL_DEL, fd, nullptr);
        w.events = 0;
        if (w.ops.empty()) r.watches.erase(it);  // may close the descriptor, after it left the set
        return ERROR_SUCCESS;
    }
    if (want == w.events) return ERROR_SUCCESS;
    struct epoll_event ev{};
    ev.events = want;
    ev.data.fd = fd;
    if (epoll_ctl(r.epoll, w.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) != 0) return ErrnoToWin32(errno);
    w.events = want;
    return ERROR_SUCCESS;
}

// Finishes what can be finished on a ready descriptor, in issue order per
// kind. A stale event (descriptor closed and its number reused) only costs a
// non-blocking attempt that finds nothing.
void Service(Reactor& r, int fd) {
    auto it = r.watches.find(fd);
    if (it == r.watches.end()) return;
    Watch& w = it->second;
    bool blocked[3] = {false, false, false};
    for (size_t i = 0; i < w.ops.size();) {
        Op* op = w.ops[i];
        size_t k = static_cast<size_t>(op->kind);
        DWORD status = ERROR_SUCCESS, bytes = 0;
        if (blocked[k] || Attempt(op, status, bytes) == Try::Again) {
            blocked[k] = true;
            ++i;
            continue;
        }
        w.ops.erase(w.ops.begin() + static_cast<long>(i));
        Finish(op->ov, status, bytes);
        Retire(r, op);
    }
    DWORD rc = UpdateWatch(r, fd);
    if (rc == ERROR_SUCCESS) return;
    // The set cannot take the descriptor back: what waits on it fails.
    it = r.watches.find(fd);
    if (it == r.watches.end()) return;
    std::vector<Op*> ops;
    ops.swap(it->second.ops);
    r.watches.erase(it);
    for (Op* op : ops) {
        Finish(op->ov, rc, 0);
        Retire(r, op);
    }
}

void* ReactorMain(void*) {
    // Act as the process, whoever started the thread.
    syscall(SYS_setfsuid, geteuid());
    syscall(SYS_setfsgid, getegid());
    Reactor& r = TheReactor();
    struct epoll_event events[64];
    for (;;) {
        int n = epoll_wait(r.epoll, events, 64, -1);
        if (n < 0) continue;  // EINTR; nothing else can fail on a valid set
        std::lock_guard<std::mutex> g(IoLock());
        for (int i = 0; i < n; ++i) Service(r, events[i].data.fd);
    }
    return nullptr;
}

// Starts the reactor on first use. With IoLock() held.
DWORD StartReactor(Reactor& r) {
    if (r.epoll >= 0) return ERROR_SUCCESS;
    // A descriptor added while the thread sleeps in epoll_wait wakes it when
    // ready: no wake-up descriptor is needed.
    ScopedFd ep(epoll_create1(EPOLL_CLOEXEC));
    if (!ep) return ErrnoToWin32(errno);
    r.epoll = ep.get();
    // Signals stay with the program's own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int err = pthread_create(&thread, &attr, ReactorMain, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        r.epoll = -1;
        return ErrnoToWin32(err);
    }
    ep.take();
    return ERROR_SUCCESS;
}

bool HasPending(Reactor& r, int fd, OpKind kind) {
    auto it = r.watches.find(fd);
    if (it == r.watches.end()) return false;
    for (const Op* op : it->second.ops)
        if (op->kind == kind) return true;
    return false;
}

bool HasPendingOf(Reactor& r, const Pipe* p, OpKind kind) {
    for (const auto& w : r.watches)
        for (const Op* op : w.second.ops)
            if (op->pipe == p && op->kind == kind) return true;
    return false;
}

// Hands an operation to the reactor. With IoLock() held.
DWORD Queue(int fd, std::shared_ptr<void> owner, Op* op) {
    Reactor& r = TheReactor();
    // Its waiters may finish it themselves.
    if (op->ov->hEvent != nullptr) op->event = LookupHandle(op->ov->hEvent, ObjType::None);
    if (op->event == nullptr) op->deferred = false;  // no waiter could ever take it
    DWORD rc = StartReactor(r);
    if (rc == ERROR_SUCCESS) {
        op->fd = fd;
        Watch& w = r.watches[fd];
        if (!w.owner) w.owner = std::move(owner);
        w.ops.push_back(op);
        rc = UpdateWatch(r, fd);
        if (rc != ERROR_SUCCESS) {
            w.ops.pop_back();
            UpdateWatch(r, fd);
        }
    }
    if (rc != ERROR_SUCCESS) {
        op->ov->Internal = rc;
        if (op->event != nullptr) Release(op->event);
        delete op;
        return rc;
    }
    if (op->event != nullptr) {
        r.byEvent.emplace(op->event, op);
        op->event->pendingIo.fetch_add(1);
    }
    return ERROR_IO_PENDING;
}

// Every pending operation of the pipe ends with ERROR_OPERATION_ABORTED.
// With IoLock() held.
void AbortAll(Pipe* p) {
    Reactor& r = TheReactor();
    std::vector<int> touched;
    for (auto& [fd, w] : r.watches) {
        for (size_t i = 0; i < w.ops.size();) {
            Op* op = w.ops[i];
            if (op->pipe != p) {
                ++i;
                continue;
            }
            w.ops.erase(w.ops.begin() + static_cast<long>(i));
            Finish(op->ov, ERROR_OPERATION_ABORTED, 0);
            Retire(r, op);
            touched.push_back(fd);
        }
    }
    for (int fd : touched) UpdateWatch(r, fd);
}

// The op of `event` a waiter may poll for, or null. With IoLock() held.
Op* FindQueued(Reactor& r, Object* event, bool driven) {
    auto range = r.byEvent.equal_range(event);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second->driven == driven) return it->second;
    return nullptr;
}

// Hands the reads `owner` deferred on these descriptors to the reactor (after
// one attempt each). A descriptor closed and reused since only costs a look.
void ArmFds(std::vector<int>& fds, const void* owner) {
    if (fds.empty()) return;
    std::lock_guard<std::mutex> g(IoLock());
    Reactor& r = TheReactor();
    for (int fd : fds) {
        auto it = r.watches.find(fd);
        if (it == r.watches.end()) continue;
        bool any = false;
        for (Op* op : it->second.ops) {
            if (op->deferred && op->owner == owner) {
                op->deferred = false;
                any = true;
            }
        }
        if (any) Service(r, fd);
    }
    fds.clear();
}

DeferredIo::~DeferredIo() { ArmFds(fds, this); }

void Destroy(Object* o) {
    Pipe* p = static_cast<Pipe*>(o);
    {
        std::lock_guard<std::mutex> g(IoLock());
        AbortAll(p);
        p->conn.reset();
    }
    if (p->listener) ReleaseListener(p->listener);
    delete p;
}

const ObjectOps kPipeOps{Destroy, nullptr, nullptr, nullptr, nullptr};

Pipe* LookupPipe(HANDLE h) { return static_cast<Pipe*>(LookupHandle(h, ObjType::Pipe)); }

// Waits without the lock until the descriptor is ready; false on a failure.
bool WaitReady(int fd, short events, DWORD& status) {
    struct pollfd pfd{fd, events, 0};
    if (poll(&pfd, 1, -1) >= 0 || errno == EINTR) return true;
    status = ErrnoToWin32(errno);
    return false;
}

// ---- The operations

DWORD InternalCreateNamedPipe(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
                              DWORD inBufferSize, DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES sa, HANDLE& out) {
    out = INVALID_HANDLE_VALUE;
    if ((openMode & PIPE_ACCESS_DUPLEX) == 0 || maxInstances == 0 || maxInstances > PIPE_UNLIMITED_INSTANCES)
        return ERROR_INVALID_PARAMETER;
    if ((pipeMode & PIPE_TYPE_MESSAGE) == 0 || (pipeMode & PIPE_NOWAIT) != 0) return ERROR_NOT_SUPPORTED;
    PipePath path;
    DWORD rc = ParseName(name, path);
    if (rc != ERROR_SUCCESS) return rc;
    if (maxInstances == PIPE_UNLIMITED_INSTANCES) RaiseDescriptorLimit();
    std::shared_ptr<Listener> listener;
    rc = AcquireListener(path, maxInstances, defaultTimeOut == 0 ? kDefaultTimeOutMs : defaultTimeOut, sa,
                         (openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0, listener);
    if (rc != ERROR_SUCCESS) return rc;
    Pipe* p = new Pipe(&kPipeOps);
    p->server = true;
    p->overlapped = (openMode & FILE_FLAG_OVERLAPPED) != 0;
    p->bufferBytes = std::max(inBufferSize, outBufferSize);
    p->listener = std::move(listener);
    HANDLE h = NewHandle(p);
    if (h == nullptr) return GetLastError();
    out = h;
    return ERROR_SUCCESS;
}

DWORD InternalConnectNamedPipe(HANDLE h, LPOVERLAPPED ov) {
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    if (!p->server) return ERROR_INVALID_FUNCTION;
    {
        std::lock_guard<std::mutex> g(IoLock());
        if (p->state == State::Connected) return ERROR_PIPE_CONNECTED;
        Reactor& r = TheReactor();
        if (HasPendingOf(r, p.p, OpKind::Connect)) return ERROR_PIPE_LISTENING;
        DWORD status = ERROR_SUCCESS;
        if (TryAccept(p.p, status) == Try::Done) {
            if (status != ERROR_SUCCESS) return status;
            // A client came before the call: no completion, as Windows.
            if (ov != nullptr) ov->Internal = ov->InternalHigh = 0;
            return ERROR_PIPE_CONNECTED;
        }
        p->state = State::Listening;
        if (p->overlapped && ov != nullptr) {
            if (ov->hEvent != nullptr) ResetEvent(ov->hEvent);
            ov->InternalHigh = 0;
            ov->Internal = STATUS_PENDING;
            return Queue(p->listener->sock.get(), p->listener, new Op{OpKind::Connect, p.p, nullptr, ov, nullptr, 0});
        }
    }
    // Blocking: the listening socket stays open while we hold the pipe.
    ArmDeferredIo();
    DWORD status = ERROR_SUCCESS;
    for (;;) {
        if (!WaitReady(p->listener->sock.get(), POLLIN, status)) return status;
        std::lock_guard<std::mutex> g(IoLock());
        if (TryAccept(p.p, status) == Try::Again) continue;
        if (ov != nullptr) Finish(ov, status, 0);
        return status;
    }
}

DWORD Transfer(Pipe* p, OpKind kind, char* buf, DWORD size, LPDWORD done, LPOVERLAPPED ov) {
    std::shared_ptr<Conn> conn;
    DWORD status = ERROR_SUCCESS, bytes = 0;
    bool queueNow = false;  // behind an op of the same kind already waiting, to keep the order
    {
        std::lock_guard<std::mutex> g(IoLock());
        if (p->state != State::Connected)
            return p->state == State::Listening ? ERROR_PIPE_LISTENING : ERROR_PIPE_NOT_CONNECTED;
        conn = p->conn;
        if (p->overlapped && ov != nullptr) queueNow = HasPending(TheReactor(), conn->sock.get(), kind);
    }
    if (p->overlapped && ov != nullptr) {
        Op probe{kind, p, conn.get(), ov, buf, size};
        // The first attempt runs without the lock: a send wakes the peer, which
        // may take this CPU, and other sessions must not queue behind it. Our
        // reference keeps the socket open; no one else knows of the op yet.
        if (!queueNow && Attempt(&probe, status, bytes) == Try::Done) {
            ov->InternalHigh = status == ERROR_SUCCESS || status == ERROR_MORE_DATA ? bytes : 0;
            __atomic_store_n(&ov->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
            if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
                if (ov->hEvent != nullptr) ResetEvent(ov->hEvent);
                return status;
            }
            if (done != nullptr) *done = bytes;
            // Issuing resets the event and finishing sets it: no one can tell
            // the two apart from the set alone.
            if (ov->hEvent != nullptr) SetEvent(ov->hEvent);
            return status;
        }
        if (ov->hEvent != nullptr) ResetEvent(ov->hEvent);
        std::lock_guard<std::mutex> g(IoLock());
        if (p->state != State::Connected || p->conn != conn) return ERROR_PIPE_NOT_CONNECTED;
        ov->InternalHigh = 0;
        ov->Internal = STATUS_PENDING;
        Op* op = new Op(probe);
        // A read with an event is normally waited for next by this thread,
        // which then polls the socket itself: no epoll change for it.
        if (kind == OpKind::Read && ov->hEvent != nullptr) {
            op->deferred = true;
            op->owner = &t_deferred;
        }
        int fd = conn->sock.get();
        DWORD rc = Queue(fd, conn, op);
        if (rc == ERROR_IO_PENDING && kind == OpKind::Read && ov->hEvent != nullptr &&
            std::find(t_deferred.fds.begin(), t_deferred.fds.end(), fd) == t_deferred.fds.end())
            t_deferred.fds.push_back(fd);
        return rc;
    }
    // Blocking: a disconnect shuts the socket down, which ends the wait.
    ArmDeferredIo();
    Op op{kind, p, conn.get(), ov, buf, size};
    short events = kind == OpKind::Read ? POLLIN : POLLOUT;
    bool ready = true;
    while (ready && Attempt(&op, status, bytes, true) == Try::Again) ready = WaitReady(conn->sock.get(), events, status);
    if (done != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) *done = bytes;
    if (ov != nullptr) {
        std::lock_guard<std::mutex> g(IoLock());
        Finish(ov, status, bytes);
    }
    return status;
}

DWORD InternalReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED ov) {
    if (bytesRead != nullptr) *bytesRead = 0;
    if (buffer == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    return Transfer(p.p, OpKind::Read, static_cast<char*>(buffer), size, bytesRead, ov);
}

DWORD InternalWriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD bytesWritten, LPOVERLAPPED ov) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
    // An empty message would read as the end of the pipe.
    if (size == 0) return ERROR_NOT_SUPPORTED;
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    return Transfer(p.p, OpKind::Write, const_cast<char*>(static_cast<const char*>(buffer)), size, bytesWritten, ov);
}

DWORD InternalGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait) {
    if (ov == nullptr || bytes == nullptr) return ERROR_INVALID_PARAMETER;
    {
        // No reference kept while waiting: closing the handle must be able
        // to abort the operation.
        ObjRef<Pipe> p(LookupPipe(h));
        if (!p) return ERROR_INVALID_HANDLE;
    }
    if (LoadStatus(ov) == STATUS_PENDING && !wait && ov->hEvent != nullptr) {
        // A deferred read is finished by whoever looks, if it can be.
        if (Object* event = LookupHandle(ov->hEvent, ObjType::None)) {
            if (event->pendingIo.load() > 0) TryIo(event);
            Release(event);
        }
    }
    if (LoadStatus(ov) == STATUS_PENDING) {
        if (!wait) return ERROR_IO_INCOMPLETE;
        if (ov->hEvent != nullptr) WaitForSingleObject(ov->hEvent, INFINITE);
        else ArmDeferredIo();
        std::unique_lock<std::mutex> lock(IoLock());
        IoDone().wait(lock, [ov] { return LoadStatus(ov) != STATUS_PENDING; });
    }
    *bytes = static_cast<DWORD>(ov->InternalHigh);
    return static_cast<DWORD>(LoadStatus(ov));
}

DWORD InternalCancelIo(HANDLE h) {
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(IoLock());
    AbortAll(p.p);
    return ERROR_SUCCESS;
}

DWORD InternalDisconnectNamedPipe(HANDLE h) {
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    if (!p->server) return ERROR_INVALID_FUNCTION;
    std::lock_guard<std::mutex> g(IoLock());
    AbortAll(p.p);
    if (p->conn) {
        // Wakes blocked readers and writers; the last of them closes it.
        shutdown(p->conn->sock.get(), SHUT_RDWR);
        p->conn.reset();
    }
    p->state = State::Disconnected;
    return ERROR_SUCCESS;
}

DWORD PeerSocket(HANDLE h, std::shared_ptr<Conn>& conn, bool& server) {
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(IoLock());
    server = p->server;
    if (p->state != State::Connected) return ERROR_PIPE_NOT_CONNECTED;
    conn = p->conn;
    return ERROR_SUCCESS;
}

DWORD InternalImpersonateNamedPipeClient(HANDLE h) {
    std::shared_ptr<Conn> conn;
    bool server = false;
    DWORD rc = PeerSocket(h, conn, server);
    if (rc == ERROR_INVALID_HANDLE) return rc;
    if (rc != ERROR_SUCCESS || !server || !conn->readOnce) return ERROR_CANNOT_IMPERSONATE;
    struct ucred cred{};
    socklen_t len = sizeof(cred);
    if (getsockopt(conn->sock.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return ErrnoToWin32(errno);
    std::vector<gid_t> groups(32);
    for (;;) {
        len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(conn->sock.get(), SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) break;
        if (errno != ERANGE) return ErrnoToWin32(errno);
        groups.resize(len / sizeof(gid_t) + 1);  // len now tells the size needed
    }
    groups.resize(len / sizeof(gid_t));
    std::vector<DWORD> ids(groups.begin(), groups.end());
    if (!PalImpersonateUser(cred.uid, cred.gid, ids.data(), static_cast<DWORD>(ids.size()))) return GetLastError();
    return ERROR_SUCCESS;
}

// The credentials the client had when it connected; on a client's own end,
// this process's.
DWORD PeerCredentials(HANDLE h, struct ucred& cred) {
    std::shared_ptr<Conn> conn;
    bool server = false;
    DWORD rc = PeerSocket(h, conn, server);
    if (rc != ERROR_SUCCESS) return rc;
    if (!server) {
        cred.pid = getpid();
        cred.uid = geteuid();
        cred.gid = getegid();
        return ERROR_SUCCESS;
    }
    socklen_t len = sizeof(cred);
    if (getsockopt(conn->sock.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

DWORD InternalGetNamedPipeClientProcessId(HANDLE h, ULONG* pid) {
    if (pid == nullptr) return ERROR_INVALID_PARAMETER;
    struct ucred cred{};
    DWORD rc = PeerCredentials(h, cred);
    if (rc == ERROR_SUCCESS) *pid = static_cast<ULONG>(cred.pid);
    return rc;
}

DWORD InternalGetNamedPipeClientUserId(HANDLE h, DWORD* uid) {
    if (uid == nullptr) return ERROR_INVALID_PARAMETER;
    struct ucred cred{};
    DWORD rc = PeerCredentials(h, cred);
    if (rc == ERROR_SUCCESS) *uid = static_cast<DWORD>(cred.uid);
    return rc;
}

DWORD InternalCreateFile(LPCWSTR name, DWORD disposition, DWORD flags, HANDLE& out) {
    out = INVALID_HANDLE_VALUE;
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    if (!HasPipePrefix(name)) return ERROR_NOT_SUPPORTED;
    if (disposition != OPEN_EXISTING) return ERROR_INVALID_PARAMETER;
    PipePath path;
    DWORD rc = ParseName(name, path);
    if (rc != ERROR_SUCCESS) return rc;
    Address a;
    rc = MakeAddress(path, a);
    if (rc != ERROR_SUCCESS) return rc;
    ScopedFd sock(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) return ErrnoToWin32(errno);
    // Non-blocking, so a full backlog is "busy" at once instead of a wait.
    while (connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&a.sun), a.len) != 0) {
        switch (errno) {
        case EINTR: continue;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ECONNREFUSED:
        case EAGAIN: return ERROR_PIPE_BUSY;
        default: return ErrnoToWin32(errno);
        }
    }
    FitBuffers(sock.get(), kMinBuffer);
    // Blocking mode from now on; attempts pass MSG_DONTWAIT.
    int fl = fcntl(sock.get(), F_GETFL);
    if (fl < 0 || fcntl(sock.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return ErrnoToWin32(errno);
    Pipe* p = new Pipe(&kPipeOps);
    p->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    p->state = State::Connected;
    p->conn = std::make_shared<Conn>(sock.take());
    HANDLE h = NewHandle(p);
    if (h == nullptr) return GetLastError();
    out = h;
    return ERROR_SUCCESS;
}

DWORD InternalSetNamedPipeHandleState(HANDLE h, LPDWORD mode, LPDWORD maxCollectionCount,
                                      LPDWORD collectDataTimeout) {
    ObjRef<Pipe> p(LookupPipe(h));
    if (!p) return ERROR_INVALID_HANDLE;
    if (maxCollectionCount != nullptr || collectDataTimeout != nullptr) return ERROR_INVALID_PARAMETER;
    if (mode != nullptr && ((*mode & PIPE_READMODE_MESSAGE) == 0 || (*mode & PIPE_NOWAIT) != 0))
        return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
}

bool SocketExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

DWORD InternalWaitNamedPipe(LPCWSTR name, DWORD timeOut) {
    PipePath path;
    DWORD rc = ParseName(name, path);
    if (rc != ERROR_SUCCESS) return rc == ERROR_INVALID_NAME ? ERROR_BAD_PATHNAME : rc;
    if (timeOut == NMPWAIT_USE_DEFAULT_WAIT && ReadTimeOut(path, timeOut) != ERROR_SUCCESS)
        timeOut = kDefaultTimeOutMs;
    uint64_t deadline = MonotonicMs() + timeOut;
    std::string socketPath = path.Socket();
    if (SocketExists(socketPath)) return ERROR_SUCCESS;
    ArmDeferredIo();
    // The socket appears by bind() in the pipe folder: an inotify event, not a
    // poll. The watch is set before the look, so no creation falls between.
    ScopedFd in(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    int wd = -1;
    if (in) wd = inotify_add_watch(in.get(), path.dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW);
    for (;;) {
        if (SocketExists(socketPath)) return ERROR_SUCCESS;
        uint64_t now = MonotonicMs();
        if (timeOut != NMPWAIT_WAIT_FOREVER && now >= deadline) return ERROR_SEM_TIMEOUT;
        int wait = -1;
        if (timeOut != NMPWAIT_WAIT_FOREVER) wait = static_cast<int>(std::min<uint64_t>(deadline - now, 0x7FFFFFFF));
        // Without a watch (no inotify, or the folder was removed) it looks again now and then;
        // with one it still looks now and then, as a folder put in place of the watched one
        // (a state root being laid out) raises nothing here.
        DWORD every = wd < 0 ? kWaitPollMs : kWatchedLookMs;
        if (wait < 0 || wait > static_cast<int>(every)) wait = static_cast<int>(every);
        struct pollfd pfd{wd >= 0 ? in.get() : -1, POLLIN, 0};
        if (poll(&pfd, 1, wait) <= 0) continue;
        alignas(struct inotify_event) char events[4096];
        ssize_t n;
        while ((n = read(in.get(), events, sizeof(events))) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(events + at);
                if ((e->mask & IN_IGNORED) != 0) wd = -1;
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
            }
        }
    }
}

DWORD InternalTransactNamedPipe(HANDLE h, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesRead,
                                LPOVERLAPPED ov) {
    if (bytesRead != nullptr) *bytesRead = 0;
    if (ov != nullptr) return ERROR_NOT_SUPPORTED;
    DWORD written = 0;
    DWORD rc = InternalWriteFile(h, in, inSize, &written, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return InternalReadFile(h, out, outSize, bytesRead, nullptr);
}

DWORD InternalGetDefaultTimeOut(LPCWSTR name, LPDWORD timeOut) {
    if (timeOut == nullptr) return ERROR_INVALID_PARAMETER;
    PipePath path;
    DWORD rc = ParseName(name, path);
    if (rc != ERROR_SUCCESS) return rc;
    return ReadTimeOut(path, *timeOut);
}

BOOL Result(DWORD rc) {
    if (rc == ERROR_SUCCESS) return TRUE;
    SetLastError(rc);
    return FALSE;
}

HANDLE HandleResult(DWORD rc, HANDLE h) {
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return h;
}

}  // namespace

bool ClaimIo(Object* event, int& fd, short& events) {
    std::lock_guard<std::mutex> g(IoLock());
    Reactor& r = TheReactor();
    Op* op = FindQueued(r, event, false);
    if (op == nullptr) return false;
    op->driven = true;
    if (op->deferred) {
        // From here on it is the waiter's; back with the reactor if it gives it back.
        op->deferred = false;
        bool more = false;
        for (const Op* other : r.watches[op->fd].ops) more = more || (other->deferred && other->owner == &t_deferred);
        if (op->owner == &t_deferred && !more) {
            auto& fds = t_deferred.fds;
            fds.erase(std::remove(fds.begin(), fds.end(), op->fd), fds.end());
        }
    }
    if (UpdateWatch(r, op->fd) != ERROR_SUCCESS) {
        op->driven = false;
        return false;
    }
    fd = op->fd;
    events = op->kind == OpKind::Write ? POLLOUT : POLLIN;
    return true;
}

void ArmDeferredIo() { ArmFds(t_deferred.fds, &t_deferred); }

void TryIo(Object* event) {
    std::lock_guard<std::mutex> g(IoLock());
    Reactor& r = TheReactor();
    // Service() finishes what is ready; a deferred read stays deferred.
    if (Op* op = FindQueued(r, event, false)) Service(r, op->fd);
}

void ReleaseIo(Object* event) {
    std::lock_guard<std::mutex> g(IoLock());
    Reactor& r = TheReactor();
    // Finished here when the socket is ready, else back in the reactor's set.
    while (Op* op = FindQueued(r, event, true)) {
        op->driven = false;
        Service(r, op->fd);
    }
}

}  // namespace pal

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
                        DWORD inBufferSize, DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES sa) {
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD rc = pal::InternalCreateNamedPipe(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize,
                                            defaultTimeOut, sa, h);
    return pal::HandleResult(rc, h);
}

BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped) {
    return pal::Result(pal::InternalConnectNamedPipe(pipe, overlapped));
}

BOOL DisconnectNamedPipe(HANDLE pipe) { return pal::Result(pal::InternalDisconnectNamedPipe(pipe)); }

BOOL ImpersonateNamedPipeClient(HANDLE pipe) { return pal::Result(pal::InternalImpersonateNamedPipeClient(pipe)); }

BOOL GetNamedPipeClientProcessId(HANDLE pipe, ULONG* clientProcessId) {
    return pal::Result(pal::InternalGetNamedPipeClientProcessId(pipe, clientProcessId));
}

BOOL PalGetNamedPipeClientUserId(HANDLE pipe, DWORD* clientUserId) {
    return pal::Result(pal::InternalGetNamedPipeClientUserId(pipe, clientUserId));
}

HANDLE CreateFileW(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags, HANDLE) {
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD rc = pal::InternalCreateFile(name, disposition, flags, h);
    return pal::HandleResult(rc, h);
}

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollectionCount, LPDWORD collectDataTimeout) {
    return pal::Result(pal::InternalSetNamedPipeHandleState(pipe, mode, maxCollectionCount, collectDataTimeout));
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeOut) { return pal::Result(pal::InternalWaitNamedPipe(name, timeOut)); }

BOOL TransactNamedPipe(HANDLE pipe, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize, LPDWORD bytesRead,
                       LPOVERLAPPED overlapped) {
    return pal::Result(
        pal::InternalTransactNamedPipe(pipe, inBuffer, inSize, outBuffer, outSize, bytesRead, overlapped));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    return pal::Result(pal::InternalReadFile(file, buffer, size, bytesRead, overlapped));
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
    return pal::Result(pal::InternalWriteFile(file, buffer, size, bytesWritten, overlapped));
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
    return pal::Result(pal::InternalGetOverlappedResult(file, overlapped, bytes, wait));
}

BOOL CancelIo(HANDLE file) { return pal::Result(pal::InternalCancelIo(file)); }

BOOL FlushFileBuffers(HANDLE file) {
    pal::ObjRef<pal::Pipe> p(pal::LookupPipe(file));
    return p ? TRUE : pal::Result(ERROR_INVALID_HANDLE);
}

BOOL PalGetNamedPipeDefaultTimeOut(LPCWSTR name, LPDWORD timeOut) {
    return pal::Result(pal::InternalGetDefaultTimeOut(name, timeOut));
}
