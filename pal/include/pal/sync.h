// Events, waits, critical sections, threads and time.
#pragma once
#include <mutex>

#include "pal/security.h"
#include "pal/types.h"

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD STILL_ACTIVE = 259;

constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD THREAD_ALL_ACCESS = 0x1F03FF;
constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;

// Note: a named event lives in run/objects of the state root and exists while
// some live process holds a handle to it. PulseEvent on a named event releases
// the waiters of this process only.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
// Note: the access right is checked against the object file's mode under the
// thread's filesystem identity.
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
// Not Win32 (Windows does not say who holds a named object): the ids of the
// processes holding the named event `name`, as their locks on it show; at
// most `count` go to pids, *found gets how many there are. FALSE with
// ERROR_FILE_NOT_FOUND when no process holds it.
BOOL PalGetNamedEventHolders(LPCWSTR name, DWORD* pids, DWORD count, DWORD* found);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL PulseEvent(HANDLE event);

BOOL CloseHandle(HANDLE h);
// Note: from another process only completion ports and file mappings can be
// pulled, into the current process, without DUPLICATE_CLOSE_SOURCE
// (ERROR_NOT_SUPPORTED); it needs ptrace rights over the source
// (ERROR_ACCESS_DENIED).
BOOL DuplicateHandle(HANDLE srcProcess, HANDLE src, HANDLE dstProcess, LPHANDLE dst, DWORD access, BOOL inherit,
                     DWORD options);

// Same as Windows: wait-all takes every object at once or none; wait-any
// returns the lowest signalled index.
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);

struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
// Note: every stack may grow to at least 1 MiB, as the default reservation on
// Windows (a smaller size is only the first commit there); security
// attributes are ignored (threads are not securable objects here).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE proc, LPVOID param, DWORD flags,
                    LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
// Note: only a thread that has not started running can be terminated; a
// running thread gives ERROR_NOT_SUPPORTED.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Note: thread ids are Linux tids.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();

void Sleep(DWORD ms);
// Milliseconds since boot (monotonic clock), wrapping at 2^32.
DWORD GetTickCount();
ULONGLONG GetTickCount64();
