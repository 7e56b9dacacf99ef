// DuplicateHandle from another process. The layer has no broker that could
// reach into another process's handle table, but the value of a handle of a
// descriptor-backed object names the descriptor (see NewHandleForFd), so a
// process that may ptrace the source takes the descriptor with pidfd_getfd,
// looks at what it is, and builds an object of that type around it. Only
// completion ports and file mappings can be taken over; that is what the
// service and the mediator share.
//
// Known gaps: only pulling into the current process; DUPLICATE_CLOSE_SOURCE
// across processes; objects without a descriptor (events, threads, ...) of
// another process.
#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "internal/object.h"
#include "internal/process.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/mapping.h"
#include "pal/process.h"
#include "pal/sync.h"

namespace pal {

// The areas that can take a descriptor over (iocp.cpp, mapping.cpp).
bool IsPortDescriptor(int fd);
DWORD AdoptPortDescriptor(ScopedFd fd, HANDLE& out);
bool IsMappingDescriptor(int fd, std::string& namedDir);
DWORD AdoptMappingDescriptor(ScopedFd fd, const std::string& namedDir, DWORD access, bool sameAccess, HANDLE& out);

namespace {

// A process handle, with PROCESS_DUP_HANDLE as Windows asks of both ends.
// `current` tells whether it names this process.
DWORD ResolveProcess(HANDLE h, ObjRef<ProcessObject>& proc, bool& current) {
    current = false;
    if (h == GetCurrentProcess()) {
        current = true;
        return ERROR_SUCCESS;
    }
    proc.p = LookupProcess(h);
    if (!proc) return ERROR_INVALID_HANDLE;
    if ((proc->access & PROCESS_DUP_HANDLE) == 0) return ERROR_ACCESS_DENIED;
    current = proc->pid == getpid();
    return ERROR_SUCCESS;
}

DWORD TakeDescriptor(const ProcessObject& proc, HANDLE value, ScopedFd& out) {
    uintptr_t v = reinterpret_cast<uintptr_t>(value);
    if (v == 0 || (v & 3) != 0 || v > 0xFFFFFFFFu) return ERROR_INVALID_HANDLE;
    int fd = DescriptorOfHandleValue(static_cast<DWORD>(v));
    // A value outside the descriptor range may name a valid handle over
    // there, but of an object we cannot take.
    if (fd < 0) return ERROR_NOT_SUPPORTED;
    out.reset(static_cast<int>(syscall(SYS_pidfd_getfd, proc.pidfd.get(), fd, 0)));  // always close-on-exec
    if (out) return ERROR_SUCCESS;
    switch (errno) {
    case EBADF: return ERROR_INVALID_HANDLE;
    case EPERM:
    case EACCES:
    case ESRCH: return ERROR_ACCESS_DENIED;  // no ptrace right, or the process is gone
    default: return ErrnoToWin32(errno);
    }
}

}  // namespace

// Pulls `src` of another process into this one. Sets `local` instead when
// both process handles name this process: the caller duplicates in-process.
DWORD DuplicateFromProcess(HANDLE srcProcess, HANDLE src, HANDLE dstProcess, DWORD access, DWORD options,
                           HANDLE& out, bool& local) {
    out = nullptr;
    local = false;
    ObjRef<ProcessObject> target;
    bool current = false;
    DWORD rc = ResolveProcess(dstProcess, target, current);
    if (rc != ERROR_SUCCESS) return rc;
    if (!current) return ERROR_NOT_SUPPORTED;  // pushing into another process
    ObjRef<ProcessObject> source;
    rc = ResolveProcess(srcProcess, source, current);
    if (rc != ERROR_SUCCESS) return rc;
    if (current) {
        local = true;
        return ERROR_SUCCESS;
    }
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0) return ERROR_NOT_SUPPORTED;
    ScopedFd fd;
    rc = TakeDescriptor(*source.p, src, fd);
    if (rc != ERROR_SUCCESS) return rc;
    if (IsPortDescriptor(fd.get())) return AdoptPortDescriptor(std::move(fd), out);
    std::string namedDir;
    if (IsMappingDescriptor(fd.get(), namedDir)) {
        return AdoptMappingDescriptor(std::move(fd), namedDir, access, (options & DUPLICATE_SAME_ACCESS) != 0, out);
    }
    return ERROR_INVALID_HANDLE;  // a descriptor, but not of an object we know
}

}  // namespace pal
