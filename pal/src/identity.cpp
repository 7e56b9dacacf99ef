// The process's own filesystem identity, taken before any thread impersonates.
#include "internal/identity.h"

#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pal {
namespace {

struct OwnIdentity {
    uint32_t uid;
    uint32_t gid;
    std::vector<gid_t> groups;
    OwnIdentity() : uid(static_cast<uint32_t>(geteuid())), gid(static_cast<uint32_t>(getegid())) {
        int n = getgroups(0, nullptr);
        if (n > 0) {
            groups.resize(static_cast<size_t>(n));
            n = getgroups(n, groups.data());
            groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
};

// Read at program start, before any thread can impersonate.
const OwnIdentity g_own;

uint32_t CurrentFsUid() { return static_cast<uint32_t>(syscall(SYS_setfsuid, -1)); }
uint32_t CurrentFsGid() { return static_cast<uint32_t>(syscall(SYS_setfsgid, -1)); }

// Raw system calls: they change the calling thread only.
void SetThreadIdentity(uint32_t uid, uint32_t gid, const gid_t* groups, size_t count) {
    syscall(SYS_setgroups, count, groups);
    syscall(SYS_setfsgid, gid);
    syscall(SYS_setfsuid, uid);
}

}  // namespace

void AdoptProcessIdentity() {
    if (CurrentFsUid() == g_own.uid && CurrentFsGid() == g_own.gid) return;
    syscall(SYS_setfsuid, g_own.uid);
    SetThreadIdentity(g_own.uid, g_own.gid, g_own.groups.data(), g_own.groups.size());
}

ServiceIdentityScope::ServiceIdentityScope() {
    fsuid_ = CurrentFsUid();
    fsgid_ = CurrentFsGid();
    if (fsuid_ == g_own.uid && fsgid_ == g_own.gid) return;
    int n = getgroups(0, nullptr);
    std::vector<gid_t> now(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0) n = getgroups(n, now.data());
    groups_.assign(now.begin(), now.begin() + (n > 0 ? n : 0));
    // Groups first: once the fsuid is no longer 0 the thread may not change them.
    syscall(SYS_setfsuid, g_own.uid);
    SetThreadIdentity(g_own.uid, g_own.gid, g_own.groups.data(), g_own.groups.size());
    switched_ = true;
}

ServiceIdentityScope::~ServiceIdentityScope() {
    if (!switched_) return;
    std::vector<gid_t> groups(groups_.begin(), groups_.end());
    SetThreadIdentity(fsuid_, fsgid_, groups.data(), groups.size());
}

}  // namespace pal
