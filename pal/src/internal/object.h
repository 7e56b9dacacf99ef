// Kernel-object model of the layer: reference-counted objects behind a
// per-process handle table, and the hooks the wait engine asks of each type.
#pragma once
#include <atomic>
#include <mutex>
#include <vector>

#include "pal/types.h"

namespace pal {

enum class ObjType : uint8_t {
    None = 0,
    Event,
    Thread,
    Process,
    Job,
    Port,
    Mapping,
    Pipe,
    Key,
    EventSource,
    ScManager,
    Service,
    Count
};

struct Object;
struct Waiter;

// One table per type, like a kernel's object operations. A null `signaled`
// means the type cannot be waited on.
struct ObjectOps {
    void (*destroy)(Object*);
    // Signalled state as seen by a waiter; called with WaitLock() held.
    bool (*signaled)(Object*);
    // Effect of a satisfied wait (auto-reset clears). Returns false when an
    // object shared with other processes was taken by someone else first.
    bool (*consume)(Object*);
    // Undoes consume() for a wait-all that could not take every object.
    void (*unconsume)(Object*);
    // Descriptor that turns readable when the state may have changed outside
    // this process; -1 when every change is made in-process (and wakes waiters).
    int (*pollFd)(Object*);
};

struct Object {
    explicit Object(ObjType t, const ObjectOps* o) : ops(o), type(t) {}
    const ObjectOps* ops;
    ObjType type;
    std::atomic<int> refs{1};
    std::vector<Waiter*> waiters;  // guarded by WaitLock()
    // Overlapped pipe operations pending with this object as their event.
    std::atomic<int> pendingIo{0};
};

void AddRef(Object* obj);
void Release(Object* obj);

// Takes over the caller's reference. On failure releases it, sets the last
// error and returns null.
HANDLE NewHandle(Object* obj);
// The same for an object backed by a descriptor that other processes may
// take over (pidfd_getfd): the handle's value names the descriptor, so
// another process can duplicate the handle knowing only its value. The
// object must keep `fd` open for as long as it lives.
HANDLE NewHandleForFd(Object* obj, int fd);
// The descriptor a handle value names, or -1 for a handle of an object that
// is not backed by a descriptor (any process's value may be asked).
int DescriptorOfHandleValue(DWORD value);
// Returns the object with a new reference, or null with ERROR_INVALID_HANDLE.
// ObjType::None accepts any type.
Object* LookupHandle(HANDLE h, ObjType type);
// Removes the handle; returns the object with the table's reference, or null.
Object* TakeHandle(HANDLE h, ObjType type);
// Number of handles in use; for leak tests.
size_t HandleCount();

template <typename T>
struct ObjRef {
    T* p = nullptr;
    ObjRef() = default;
    explicit ObjRef(Object* o) : p(static_cast<T*>(o)) {}
    ObjRef(const ObjRef&) = delete;
    ObjRef& operator=(const ObjRef&) = delete;
    ~ObjRef() { if (p != nullptr) Release(p); }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// The one lock of the wait engine: every waiter list and every in-process
// signalled state changes under it.
std::mutex& WaitLock();
// Satisfies what waiters of obj can now be satisfied. Call with WaitLock() held.
void WakeWaiters(Object* obj);

// A thread about to sleep on an event whose pendingIo is set finishes the
// operation itself rather than waiting for the pipe reactor to: ClaimIo takes
// the operation from the reactor and gives the descriptor and poll events to
// wait on (false when there is nothing to take); ReleaseIo, after the sleep,
// finishes it if it can, else hands it back. Both without WaitLock() held.
bool ClaimIo(Object* event, int& fd, short& events);
void ReleaseIo(Object* event);
// An overlapped read issued with an event is not watched by the reactor
// until its thread blocks on anything but that event: every blocking call of
// the layer runs ArmDeferredIo first (cheap when nothing is deferred). TryIo
// finishes the operations of `event` that can finish now (a look at the
// event without sleeping). Both without WaitLock() held.
void ArmDeferredIo();
void TryIo(Object* event);

}  // namespace pal
