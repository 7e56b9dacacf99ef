// Per-thread identity. Linux keeps credentials per thread, and the filesystem
// uid/gid plus the supplementary groups decide every filesystem access check,
// so impersonation changes exactly those three on the calling thread with the
// raw system calls: glibc's setgroups() wrapper would change every thread.
// Known gaps: real and effective ids stay the process's, so checks that are
// not filesystem checks (signals, scheduling, limits) still see the process;
// while the filesystem uid is not 0 the kernel also drops the filesystem
// capabilities (DAC override, chown, ...), so privileged file work must run
// on a thread that is not impersonating. A new thread inherits its creator's
// filesystem identity.
#include <algorithm>
#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "internal/sys.h"
#include "pal/error.h"
#include "pal/token.h"

namespace pal {
namespace {

constexpr DWORD kInvalidId = 0xFFFFFFFF;
constexpr DWORD kMaxGroups = 65536;  // the kernel's NGROUPS_MAX

struct Identity {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;  // sorted, as the kernel keeps them
};

// What impersonation changed on this thread and what to go back to.
struct ThreadToken {
    bool impersonating = false;
    Identity self;
};
thread_local ThreadToken t_token;

// An invalid id (-1) makes setfsuid/setfsgid report the current one unchanged.
uint32_t FsUid() { return static_cast<uint32_t>(syscall(SYS_setfsuid, -1)); }
uint32_t FsGid() { return static_cast<uint32_t>(syscall(SYS_setfsgid, -1)); }

DWORD ReadGroups(std::vector<uint32_t>& out) {
    for (;;) {
        long n = syscall(SYS_getgroups, 0, nullptr);
        if (n < 0) return ErrnoToWin32(errno);
        out.resize(static_cast<size_t>(n));
        long got = syscall(SYS_getgroups, n, out.data());
        if (got >= 0) {
            out.resize(static_cast<size_t>(got));
            std::sort(out.begin(), out.end());
            return ERROR_SUCCESS;
        }
        // EINVAL: the list grew between the two calls.
        if (errno != EINVAL) return ErrnoToWin32(errno);
    }
}

DWORD ReadIdentity(Identity& id) {
    id.uid = FsUid();
    id.gid = FsGid();
    return ReadGroups(id.groups);
}

// Sets the three parts in turn and reads each back: setfsuid and setfsgid
// report no error, they just leave the id alone when not permitted.
DWORD SetIdentity(const Identity& id) {
    std::vector<uint32_t> current;
    DWORD rc = ReadGroups(current);
    if (rc != ERROR_SUCCESS) return rc;
    // An unchanged list is not set again, so a thread without CAP_SETGID can
    // still take on its own identity.
    if (current != id.groups) {
        static_assert(sizeof(gid_t) == sizeof(uint32_t));
        if (syscall(SYS_setgroups, id.groups.size(), id.groups.data()) != 0)
            return errno == EPERM ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno);
    }
    syscall(SYS_setfsgid, id.gid);
    if (FsGid() != id.gid) return ERROR_ACCESS_DENIED;
    syscall(SYS_setfsuid, id.uid);
    if (FsUid() != id.uid) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// Moves the thread to `target`; on failure puts `before` back.
DWORD Switch(const Identity& target, const Identity& before) {
    DWORD rc = SetIdentity(target);
    if (rc != ERROR_SUCCESS) SetIdentity(before);
    return rc;
}

DWORD InternalImpersonateUser(DWORD uid, DWORD gid, const DWORD* groups, DWORD groupCount) {
    if (uid == kInvalidId || gid == kInvalidId || (groups == nullptr && groupCount != 0) || groupCount > kMaxGroups)
        return ERROR_INVALID_PARAMETER;
    Identity target;
    target.uid = uid;
    target.gid = gid;
    target.groups.assign(groups, groups + groupCount);
    for (uint32_t g : target.groups)
        if (g == kInvalidId) return ERROR_INVALID_PARAMETER;
    std::sort(target.groups.begin(), target.groups.end());
    Identity before;
    DWORD rc = ReadIdentity(before);
    if (rc == ERROR_SUCCESS) rc = Switch(target, before);
    if (rc != ERROR_SUCCESS) return rc;
    // A second impersonation replaces the first; the way back stays the same.
    if (!t_token.impersonating) {
        t_token.self = std::move(before);
        t_token.impersonating = true;
    }
    return ERROR_SUCCESS;
}

DWORD InternalRevertToSelf() {
    if (!t_token.impersonating) return ERROR_SUCCESS;
    Identity before;
    DWORD rc = ReadIdentity(before);
    if (rc == ERROR_SUCCESS) rc = Switch(t_token.self, before);
    if (rc != ERROR_SUCCESS) return rc;
    t_token.impersonating = false;
    t_token.self = Identity{};
    return ERROR_SUCCESS;
}

DWORD InternalGetThreadIdentity(DWORD* uid, DWORD* gid) {
    if (uid == nullptr && gid == nullptr) return ERROR_INVALID_PARAMETER;
    if (uid != nullptr) *uid = FsUid();
    if (gid != nullptr) *gid = FsGid();
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace pal

BOOL PalImpersonateUser(DWORD uid, DWORD gid, const DWORD* groups, DWORD groupCount) {
    DWORD rc = pal::InternalImpersonateUser(uid, gid, groups, groupCount);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

BOOL RevertToSelf() {
    DWORD rc = pal::InternalRevertToSelf();
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

BOOL PalGetThreadIdentity(DWORD* uid, DWORD* gid) {
    DWORD rc = pal::InternalGetThreadIdentity(uid, gid);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}
