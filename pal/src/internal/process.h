// The process object: a pidfd, safe against pid reuse.
#pragma once
#include <sys/types.h>

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
DWORD ApplyPriorityClass(ProcessObject* p, DWORD priorityClass);
DWORD ApplyAffinity(ProcessObject* p, DWORD_PTR mask);

}  // namespace pal
