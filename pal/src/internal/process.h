// The process object: a pidfd, safe against pid reuse.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "internal/object.h"
#include "internal/sys.h"

namespace pal {

struct ProcessObject : Object {
    explicit ProcessObject(const ObjectOps* o) : Object(ObjType::Process, o) {}
    ScopedFd pidfd;
    pid_t pid = 0;
    DWORD access = 0;             // rights granted at open
    uint64_t startTicks = 0;      // field 22 of /proc/<pid>/stat: with pid, the process's identity
};

// The process a handle names (the pseudo-handle GetCurrentProcess() too),
// with a reference; null with ERROR_INVALID_HANDLE.
ProcessObject* LookupProcess(HANDLE h);

// For job objects, which act on their members by pid: a process object with
// all rights (null when the process is gone), and the per-thread priority
// class and affinity of SetPriorityClass and SetProcessAffinityMask.
ProcessObject* OpenProcessObject(pid_t pid);
// The same, only while the pid still names the process that started at
// `startTicks` (a reused pid gives null).
ProcessObject* OpenProcessObject(pid_t pid, uint64_t startTicks);
DWORD ApplyPriorityClass(ProcessObject* p, DWORD priorityClass);
DWORD ApplyAffinity(ProcessObject* p, DWORD_PTR mask);
// SIGKILL through the object's pidfd; false once it has ended.
bool KillProcessObject(ProcessObject* p);
// The priority class that a thread's nice value and policy read as.
DWORD PriorityClassOf(long nice, unsigned policy);

}  // namespace pal
