// The wait engine. Objects changed inside this process grant satisfied waits
// directly under one lock (so a pulse releases exactly the threads waiting at
// that moment); objects that can change elsewhere (other processes, the
// kernel) expose a descriptor that the waiting thread polls beside its own
// wake-up eventfd.
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal {

struct Waiter {
    Object* const* objs;
    DWORD count;
    bool all;
    int wakeFd;
    bool done = false;
    bool woken = false;  // its eventfd was written
    DWORD result = WAIT_TIMEOUT;
};

namespace {

// One eventfd per thread that ever waits, closed when the thread ends.
struct WakeFd {
    int fd = -1;
    ~WakeFd() { if (fd >= 0) close(fd); }
    int Get() {
        if (fd < 0) fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        return fd;
    }
};
thread_local WakeFd t_wake;

bool Signaled(Object* o) { return o->ops->signaled(o); }
bool Consume(Object* o) { return o->ops->consume == nullptr || o->ops->consume(o); }

// Takes what the waiter asks for if it can; with WaitLock() held.
bool TrySatisfy(Waiter* w) {
    if (w->all) {
        for (DWORD i = 0; i < w->count; ++i)
            if (!Signaled(w->objs[i])) return false;
        for (DWORD i = 0; i < w->count; ++i) {
            if (!Consume(w->objs[i])) {
                for (DWORD j = 0; j < i; ++j)
                    if (w->objs[j]->ops->unconsume != nullptr) w->objs[j]->ops->unconsume(w->objs[j]);
                return false;
            }
        }
        w->result = WAIT_OBJECT_0;
        return true;
    }
    for (DWORD i = 0; i < w->count; ++i) {
        if (Signaled(w->objs[i]) && Consume(w->objs[i])) {
            w->result = WAIT_OBJECT_0 + i;
            return true;
        }
    }
    return false;
}

void Unregister(Waiter* w) {
    for (DWORD i = 0; i < w->count; ++i) {
        auto& list = w->objs[i]->waiters;
        auto it = std::find(list.begin(), list.end(), w);
        if (it != list.end()) list.erase(it);
    }
}

DWORD WaitObjects(Object* const* objs, DWORD count, bool all, DWORD ms) {
    int wakeFd = t_wake.Get();
    if (wakeFd < 0) {
        SetLastErrno();
        return WAIT_FAILED;
    }
    Waiter w{objs, count, all, wakeFd};
    // A look without sleeping finishes a deferred pipe read that can finish.
    if (ms == 0)
        for (DWORD i = 0; i < count; ++i)
            if (objs[i]->pendingIo.load() > 0) TryIo(objs[i]);
    std::unique_lock<std::mutex> lock(WaitLock());
    if (TrySatisfy(&w)) return w.result;
    if (ms == 0) return WAIT_TIMEOUT;
    for (DWORD i = 0; i < count; ++i) objs[i]->waiters.push_back(&w);
    uint64_t deadline = ms == INFINITE ? 0 : MonotonicMs() + ms;
    struct pollfd fds[2 * MAXIMUM_WAIT_OBJECTS + 1];
    Object* claimed[MAXIMUM_WAIT_OBJECTS];
    for (;;) {
        nfds_t n = 0;
        fds[n++] = {wakeFd, POLLIN, 0};
        bool io = false;
        for (DWORD i = 0; i < count; ++i) {
            int fd = objs[i]->ops->pollFd != nullptr ? objs[i]->ops->pollFd(objs[i]) : -1;
            // A wait-all need not hear again from an object already signalled.
            if (fd >= 0 && !(all && Signaled(objs[i]))) fds[n++] = {fd, POLLIN, 0};
            io = io || objs[i]->pendingIo.load(std::memory_order_relaxed) > 0;
        }
        lock.unlock();
        // A pipe operation this wait is for is finished here: one thread
        // hand-off less than through the reactor.
        DWORD nClaimed = 0;
        for (DWORD i = 0; io && i < count; ++i) {
            int fd = -1;
            short events = 0;
            if (objs[i]->pendingIo.load() > 0 && ClaimIo(objs[i], fd, events)) {
                fds[n++] = {fd, events, 0};
                claimed[nClaimed++] = objs[i];
            }
        }
        // Reads this thread deferred for other events go to the reactor now.
        ArmDeferredIo();
        int timeout = -1;
        if (ms != INFINITE) {
            uint64_t now = MonotonicMs();
            timeout = now >= deadline ? 0 : static_cast<int>(std::min<uint64_t>(deadline - now, 0x7FFFFFFF));
        }
        int rc = poll(fds, n, timeout);
        int err = errno;
        for (DWORD i = 0; i < nClaimed; ++i) ReleaseIo(claimed[i]);
        // One read empties an eventfd.
        uint64_t drained;
        if (rc > 0 && (fds[0].revents & POLLIN) != 0) (void)!read(wakeFd, &drained, sizeof(drained));
        lock.lock();
        if (w.done || TrySatisfy(&w)) {
            Unregister(&w);
            // A wake-up written after the poll must not end the next wait early.
            if (w.woken) (void)!read(wakeFd, &drained, sizeof(drained));
            return w.result;
        }
        if (rc < 0 && err != EINTR) {
            Unregister(&w);
            SetLastError(ErrnoToWin32(err));
            return WAIT_FAILED;
        }
        if (ms != INFINITE && MonotonicMs() >= deadline) {
            Unregister(&w);
            return WAIT_TIMEOUT;
        }
    }
}

}  // namespace

std::mutex& WaitLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void WakeWaiters(Object* obj) {
    for (Waiter* w : obj->waiters) {
        if (w->done) continue;
        if (TrySatisfy(w)) {
            w->done = true;
            // The waiting thread itself (finishing its own pipe operation) is awake.
            if (w->wakeFd == t_wake.fd) continue;
            w->woken = true;
            uint64_t one = 1;
            ssize_t rc = write(w->wakeFd, &one, sizeof(one));
            (void)rc;
        }
    }
}

}  // namespace pal

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    pal::Object* objs[MAXIMUM_WAIT_OBJECTS];
    DWORD got = 0;
    DWORD result = WAIT_FAILED;
    for (; got < count; ++got) {
        objs[got] = pal::LookupHandle(handles[got], pal::ObjType::None);
        if (objs[got] == nullptr) break;
        if (objs[got]->ops->signaled == nullptr) {
            pal::Release(objs[got]);
            SetLastError(ERROR_INVALID_HANDLE);
            break;
        }
    }
    if (got == count) {
        bool dup = false;
        if (waitAll)
            for (DWORD i = 0; i < count && !dup; ++i)
                for (DWORD j = i + 1; j < count && !dup; ++j) dup = objs[i] == objs[j];
        if (dup) SetLastError(ERROR_INVALID_PARAMETER);
        else result = pal::WaitObjects(objs, count, waitAll != FALSE, ms);
    }
    for (DWORD i = 0; i < got; ++i) pal::Release(objs[i]);
    return result;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, FALSE, ms); }

void Sleep(DWORD ms) {
    pal::ArmDeferredIo();
    if (ms == INFINITE) {
        for (;;) pause();
    }
    struct timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

ULONGLONG GetTickCount64() { return pal::MonotonicMs(); }
DWORD GetTickCount() { return static_cast<DWORD>(pal::MonotonicMs()); }
