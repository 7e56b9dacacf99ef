// Events. Unnamed events are plain state under the wait lock; a named event
// keeps its state in a FIFO inside its object directory (one byte = signalled)
// so that every process holding it sees the same state.
// Known gaps: PulseEvent on a named event releases only this process's
// waiters; two processes setting an auto-reset named event at the same
// instant may leave two tokens (one spurious release).
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "internal/named.h"
#include "internal/object.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal {
namespace {

struct Event : Object {
    Event(const ObjectOps* o, bool m, bool s) : Object(ObjType::Event, o), manual(m), state(s) {}
    bool manual;
    bool state;                      // unnamed events
    std::unique_ptr<NamedHold> hold; // named events
    ScopedFd fifo;
};

bool FifoReadable(int fd) {
    struct pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void FifoPut(int fd) {
    if (!FifoReadable(fd)) {
        char b = 1;
        ssize_t rc = write(fd, &b, 1);
        (void)rc;
    }
}

void FifoDrain(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

void Destroy(Object* o) { delete static_cast<Event*>(o); }

bool LocalSignaled(Object* o) { return static_cast<Event*>(o)->state; }
bool LocalConsume(Object* o) {
    Event* e = static_cast<Event*>(o);
    if (!e->manual) e->state = false;
    return true;
}
void LocalUnconsume(Object* o) { static_cast<Event*>(o)->state = true; }

bool NamedSignaled(Object* o) { return FifoReadable(static_cast<Event*>(o)->fifo.get()); }
bool NamedConsume(Object* o) {
    Event* e = static_cast<Event*>(o);
    if (e->manual) return true;
    char b;
    return read(e->fifo.get(), &b, 1) == 1;
}
void NamedUnconsume(Object* o) {
    Event* e = static_cast<Event*>(o);
    if (!e->manual) FifoPut(e->fifo.get());
}
int NamedPollFd(Object* o) { return static_cast<Event*>(o)->fifo.get(); }

const ObjectOps kLocalOps{Destroy, LocalSignaled, LocalConsume, LocalUnconsume, nullptr};
const ObjectOps kNamedOps{Destroy, NamedSignaled, NamedConsume, NamedUnconsume, NamedPollFd};

DWORD OpenFifo(Event* e) {
    e->fifo.reset(open((e->hold->dir + "/signal").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    return e->fifo ? ERROR_SUCCESS : ErrnoToWin32(errno);
}

HANDLE MakeNamed(LPSECURITY_ATTRIBUTES sa, bool manual, bool initial, LPCWSTR name, bool openOnly) {
    std::string kind = manual ? "event manual" : "event auto";
    auto hold = std::make_unique<NamedHold>();
    bool existed = false;
    DWORD rc = AcquireNamed("objects", name, kind, sa, openOnly, *hold, existed, [&](const std::string& dir) -> DWORD {
        std::string path = dir + "/signal";
        if (mkfifo(path.c_str(), 0600) != 0) return ErrnoToWin32(errno);
        if (initial) {
            ScopedFd f(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
            if (!f) return ErrnoToWin32(errno);
            FifoPut(f.get());
        }
        return ApplySecurity(path, sa, SecuredObject::Event, false);
    });
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    if (kind != "event manual" && kind != "event auto") {
        // The name belongs to an object of another type.
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Event* e = new Event(&kNamedOps, kind == "event manual", false);
    e->hold = std::move(hold);
    rc = OpenFifo(e);
    if (rc != ERROR_SUCCESS) {
        Release(e);
        SetLastError(rc);
        return nullptr;
    }
    HANDLE h = NewHandle(e);
    if (h != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

Event* LookupEvent(HANDLE h) { return static_cast<Event*>(LookupHandle(h, ObjType::Event)); }

}  // namespace
}  // namespace pal

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr && name[0] != 0) return pal::MakeNamed(sa, manualReset != FALSE, initialState != FALSE, name, false);
    auto* e = new pal::Event(&pal::kLocalOps, manualReset != FALSE, initialState != FALSE);
    HANDLE h = pal::NewHandle(e);
    if (h != nullptr) SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) {
    if (name == nullptr || name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return pal::MakeNamed(nullptr, false, false, name, true);
}

namespace pal {
namespace {

enum class Change { Set, Reset, Pulse };

// Set wakes what the signal satisfies; a pulse is a set that is reset at once,
// so it releases exactly the threads waiting at that moment.
BOOL ChangeEvent(HANDLE h, Change change) {
    ObjRef<Event> e(LookupEvent(h));
    if (!e) return FALSE;
    std::lock_guard<std::mutex> g(WaitLock());
    if (change != Change::Reset) {
        if (e->hold) FifoPut(e->fifo.get());
        else e->state = true;
        WakeWaiters(e.p);
    }
    if (change != Change::Set) {
        if (e->hold) FifoDrain(e->fifo.get());
        else e->state = false;
    }
    return TRUE;
}

}  // namespace
}  // namespace pal

BOOL SetEvent(HANDLE h) { return pal::ChangeEvent(h, pal::Change::Set); }
BOOL ResetEvent(HANDLE h) { return pal::ChangeEvent(h, pal::Change::Reset); }
BOOL PulseEvent(HANDLE h) { return pal::ChangeEvent(h, pal::Change::Pulse); }
