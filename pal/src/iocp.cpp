// I/O completion ports. The queue is a kernel pipe so that every process
// holding the port (the service, and the mediator that took it over with
// pidfd_getfd) posts to and reads from the same queue.
//
// One descriptor serves both ends: the pipe's read end reopened through
// /proc/self/fd with O_RDWR. A process that takes the handle over gets that
// one descriptor and can both post and read. The pipe stays in byte mode
// with fixed 24-byte packets: a write of at most PIPE_BUF bytes is atomic
// and every read asks for exactly one packet, so packets never tear or mix.
// (Packet mode, O_DIRECT, would cost a whole page per packet: 256 packets in
// 1 MiB instead of about 43000.)
//
// A job's association names the port by its pipe's inode, so that the job
// monitor of whichever process acts for the job posts through that process's
// own descriptor of the same queue (the registry below), not through the
// associating process, which may be gone.
//
// Known gaps: only posted packets (no file associations); the queue is
// bounded; closing the port does not wake a waiting reader; no concurrency
// limit and no LIFO preference for the latest waiter.
#include "pal/iocp.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "internal/iocp.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal {
namespace {

// One queued packet, as it travels through the pipe.
struct QueuedPacket {
    uint32_t bytes;
    uint32_t reserved;    // zero
    uint64_t key;
    uint64_t overlapped;  // the poster's pointer value, carried untouched
};
static_assert(sizeof(QueuedPacket) == 24);
static_assert(offsetof(QueuedPacket, bytes) == 0);
static_assert(offsetof(QueuedPacket, key) == 8);
static_assert(offsetof(QueuedPacket, overlapped) == 16);
static_assert(sizeof(QueuedPacket) <= PIPE_BUF, "a post must be one atomic write");

constexpr int kQueueBytes = 1 << 20;

struct Port : Object {
    explicit Port(const ObjectOps* o) : Object(ObjType::Port, o) {}
    ScopedFd queue;  // the pipe, open for reading and writing
};

// This process's descriptors of port queues: (inode, descriptor).
std::mutex g_queuesLock;
std::vector<std::pair<uint64_t, int>> g_queues;  // guarded by g_queuesLock

void Destroy(Object* o) {
    Port* port = static_cast<Port*>(o);
    UnregisterPortQueue(port->queue.get());
    delete port;
}

const ObjectOps kPortOps{Destroy, nullptr, nullptr, nullptr, nullptr};

DWORD NewQueue(ScopedFd& out) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return ErrnoToWin32(errno);
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);
    std::string self = "/proc/self/fd/" + std::to_string(readEnd.get());
    ScopedFd both(open(self.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!both) return ErrnoToWin32(errno);
    // Best effort: without the privilege to grow it the pipe keeps 64 KiB.
    fcntl(both.get(), F_SETPIPE_SZ, kQueueBytes);
    out = std::move(both);
    return ERROR_SUCCESS;
}

DWORD NewPortHandle(ScopedFd queue, HANDLE& out) {
    Port* port = new Port(&kPortOps);
    int fd = queue.get();
    port->queue = std::move(queue);
    RegisterPortQueue(fd);
    out = NewHandleForFd(port, fd);
    return out != nullptr ? ERROR_SUCCESS : GetLastError();
}

DWORD Post(int fd, const QueuedPacket& packet) {
    for (;;) {
        ssize_t n = write(fd, &packet, sizeof(packet));
        if (n == static_cast<ssize_t>(sizeof(packet))) return ERROR_SUCCESS;
        if (n >= 0) return ERROR_GEN_FAILURE;  // cannot happen: writes up to PIPE_BUF are whole
        if (errno == EINTR) continue;
        return errno == EAGAIN ? ERROR_NO_SYSTEM_RESOURCES : ErrnoToWin32(errno);
    }
}

// Takes exactly one packet; another reader (thread or process) racing for
// the same packet makes the read fail with EAGAIN, and we wait again.
DWORD Take(int fd, QueuedPacket& packet, DWORD ms) {
    uint64_t deadline = ms == INFINITE ? 0 : MonotonicMs() + ms;
    for (;;) {
        ssize_t n = read(fd, &packet, sizeof(packet));
        if (n == static_cast<ssize_t>(sizeof(packet))) return ERROR_SUCCESS;
        if (n >= 0) return ERROR_GEN_FAILURE;  // the pipe never holds part of a packet
        if (errno != EAGAIN && errno != EINTR) return ErrnoToWin32(errno);
        int wait = -1;
        if (ms != INFINITE) {
            uint64_t now = MonotonicMs();
            if (now >= deadline) return WAIT_TIMEOUT;
            wait = static_cast<int>(deadline - now);
        }
        struct pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) < 0 && errno != EINTR) return ErrnoToWin32(errno);
    }
}

}  // namespace

DWORD InternalCreateIoCompletionPort(HANDLE file, HANDLE existingPort, HANDLE& out) {
    out = nullptr;
    if (file != INVALID_HANDLE_VALUE) {
        ObjRef<Object> obj(LookupHandle(file, ObjType::None));
        if (!obj) return ERROR_INVALID_HANDLE;
        // Pipes are files on Windows and could complete to a port; not here yet.
        return obj->type == ObjType::Pipe ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE;
    }
    if (existingPort != nullptr) return ERROR_INVALID_PARAMETER;
    ScopedFd queue;
    DWORD rc = NewQueue(queue);
    if (rc != ERROR_SUCCESS) return rc;
    return NewPortHandle(std::move(queue), out);
}

DWORD InternalPostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
    ObjRef<Port> p(LookupHandle(port, ObjType::Port));
    if (!p) return ERROR_INVALID_HANDLE;
    QueuedPacket packet{bytes, 0, key, reinterpret_cast<uintptr_t>(overlapped)};
    return Post(p->queue.get(), packet);
}

DWORD InternalGetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped,
                                        DWORD ms) {
    if (bytes == nullptr || key == nullptr || overlapped == nullptr) return ERROR_INVALID_PARAMETER;
    *overlapped = nullptr;
    ObjRef<Port> p(LookupHandle(port, ObjType::Port));
    if (!p) return ERROR_INVALID_HANDLE;
    QueuedPacket packet{};
    if (ms != 0) ArmDeferredIo();
    DWORD rc = Take(p->queue.get(), packet, ms);
    if (rc != ERROR_SUCCESS) return rc;
    *bytes = packet.bytes;
    *key = static_cast<ULONG_PTR>(packet.key);
    *overlapped = reinterpret_cast<LPOVERLAPPED>(static_cast<uintptr_t>(packet.overlapped));
    return ERROR_SUCCESS;
}

// A descriptor taken from another process: is it a port's queue? Ours is the
// only pipe the layer opens for both reading and writing.
bool IsPortDescriptor(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return false;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) return false;
    char link[64];
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(self.c_str(), link, sizeof(link) - 1);
    return n > 5 && std::string(link, static_cast<size_t>(n)).rfind("pipe:", 0) == 0;
}

int PortQueueDescriptor(const Object* port) { return static_cast<const Port*>(port)->queue.get(); }

uint64_t PortQueueInode(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return 0;
    return static_cast<uint64_t>(st.st_ino);
}

void RegisterPortQueue(int fd) {
    uint64_t inode = PortQueueInode(fd);
    if (inode == 0) return;
    std::lock_guard<std::mutex> guard(g_queuesLock);
    g_queues.emplace_back(inode, fd);
}

void UnregisterPortQueue(int fd) {
    std::lock_guard<std::mutex> guard(g_queuesLock);
    for (size_t i = 0; i < g_queues.size(); ++i) {
        if (g_queues[i].second != fd) continue;
        g_queues.erase(g_queues.begin() + static_cast<long>(i));
        return;
    }
}

// Under the lock, so the descriptor cannot be closed (and its number reused)
// while we write; the write never blocks.
DWORD PostToPortInode(uint64_t inode, DWORD bytes, ULONG_PTR key, ULONG_PTR overlapped) {
    std::lock_guard<std::mutex> guard(g_queuesLock);
    for (const auto& q : g_queues)
        if (q.first == inode && inode != 0) return Post(q.second, {bytes, 0, key, overlapped});
    return ERROR_INVALID_HANDLE;
}

// Wraps a port queue taken from another process in a port of this one.
DWORD AdoptPortDescriptor(ScopedFd fd, HANDLE& out) { return NewPortHandle(std::move(fd), out); }

}  // namespace pal

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR, DWORD) {
    HANDLE h = nullptr;
    DWORD rc = pal::InternalCreateIoCompletionPort(file, existingPort, h);
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return h;
}

BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
    DWORD rc = pal::InternalPostQueuedCompletionStatus(port, bytes, key, overlapped);
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD ms) {
    DWORD rc = pal::InternalGetQueuedCompletionStatus(port, bytes, key, overlapped, ms);
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return rc == ERROR_SUCCESS;
}
