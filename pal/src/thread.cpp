// Threads. A thread created suspended waits at a start gate until resumed;
// a thread that never ran can be terminated. The handle is signalled when the
// thread procedure has returned (or the thread was terminated before running).
// Known gaps: SuspendThread of a running thread and TerminateThread of a
// running thread are not supported (ERROR_NOT_SUPPORTED).
#include <climits>
#include <condition_variable>
#include <pthread.h>
#include <unistd.h>

#include "internal/identity.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal {
namespace {

struct Thread : Object {
    explicit Thread(const ObjectOps* o) : Object(ObjType::Thread, o) {}
    LPTHREAD_START_ROUTINE proc = nullptr;
    LPVOID param = nullptr;
    std::mutex gateLock;
    std::condition_variable gate;
    DWORD suspendCount = 0;
    bool running = false;     // the procedure has been entered
    bool terminated = false;  // ended before it ran
    bool tidKnown = false;
    pid_t tid = 0;
    bool ended = false;       // guarded by WaitLock()
    DWORD exitCode = STILL_ACTIVE;
};

void Destroy(Object* o) { delete static_cast<Thread*>(o); }
bool Signaled(Object* o) { return static_cast<Thread*>(o)->ended; }
const ObjectOps kOps{Destroy, Signaled, nullptr, nullptr, nullptr};

void MarkEnded(Thread* t, DWORD code) {
    std::lock_guard<std::mutex> g(WaitLock());
    if (t->ended) return;
    t->exitCode = code;
    t->ended = true;
    WakeWaiters(t);
}

void* Entry(void* arg) {
    Thread* t = static_cast<Thread*>(arg);
    // As on Windows, a new thread runs as the process, not as whoever its
    // creator was impersonating.
    AdoptProcessIdentity();
    bool run;
    {
        std::unique_lock<std::mutex> g(t->gateLock);
        t->tid = gettid();
        t->tidKnown = true;
        t->gate.notify_all();
        t->gate.wait(g, [t] { return t->suspendCount == 0 || t->terminated; });
        run = !t->terminated;
        t->running = run;
    }
    if (run) MarkEnded(t, t->proc(t->param));
    Release(t);  // the thread's own reference
    return nullptr;
}

Thread* LookupThread(HANDLE h) { return static_cast<Thread*>(LookupHandle(h, ObjType::Thread)); }

}  // namespace
}  // namespace pal

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack, LPTHREAD_START_ROUTINE proc, LPVOID param, DWORD flags,
                    LPDWORD threadId) {
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* t = new pal::Thread(&pal::kOps);
    t->proc = proc;
    t->param = param;
    t->suspendCount = (flags & CREATE_SUSPENDED) != 0 ? 1 : 0;
    pal::AddRef(t);  // for the thread itself
    HANDLE h = pal::NewHandle(t);
    if (h == nullptr) {
        pal::Release(t);
        return nullptr;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // As on Windows the size is what is committed at first: the stack may
    // always grow to the default reservation (1 MiB); a larger size is kept.
    constexpr SIZE_T kDefaultReserve = 1 << 20;
    pthread_attr_setstacksize(&attr, stack > kDefaultReserve ? stack : kDefaultReserve);
    pthread_t pt;
    int rc = pthread_create(&pt, &attr, pal::Entry, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        pal::Release(t);
        CloseHandle(h);
        SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : pal::ErrnoToWin32(rc));
        return nullptr;
    }
    {
        std::unique_lock<std::mutex> g(t->gateLock);
        t->gate.wait(g, [t] { return t->tidKnown; });
        if (threadId != nullptr) *threadId = static_cast<DWORD>(t->tid);
    }
    return h;
}

DWORD ResumeThread(HANDLE h) {
    pal::ObjRef<pal::Thread> t(pal::LookupThread(h));
    if (!t) return static_cast<DWORD>(-1);
    std::lock_guard<std::mutex> g(t->gateLock);
    DWORD prev = t->suspendCount;
    if (prev > 0 && --t->suspendCount == 0) t->gate.notify_all();
    return prev;
}

BOOL TerminateThread(HANDLE h, DWORD exitCode) {
    pal::ObjRef<pal::Thread> t(pal::LookupThread(h));
    if (!t) return FALSE;
    {
        std::lock_guard<std::mutex> g(t->gateLock);
        if (t->running) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        if (t->terminated) return TRUE;
        t->terminated = true;
        t->gate.notify_all();
    }
    pal::MarkEnded(t.p, exitCode);
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode) {
    pal::ObjRef<pal::Thread> t(pal::LookupThread(h));
    if (!t) return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(pal::WaitLock());
    *exitCode = t->ended ? t->exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

void InitializeCriticalSection(LPCRITICAL_SECTION) {}
void DeleteCriticalSection(LPCRITICAL_SECTION) {}
void EnterCriticalSection(LPCRITICAL_SECTION cs) { cs->mutex.lock(); }
void LeaveCriticalSection(LPCRITICAL_SECTION cs) { cs->mutex.unlock(); }
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return cs->mutex.try_lock() ? TRUE : FALSE; }
