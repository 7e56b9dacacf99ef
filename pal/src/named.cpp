// Named objects that exist while some live process holds them.
#include "internal/named.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "internal/locks.h"
#include "pal/error.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace pal {

namespace {

// The area's creation lock.
constexpr char kAreaLock[] = ".lock";

void RemoveObjectDir(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d != nullptr) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") unlink((dir + "/" + n).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

// The kind of the objects whose directories live in an area.
SecuredObject ObjectOfArea(const std::string& area) {
    if (area == "shm") return SecuredObject::Mapping;
    if (area == "jobs") return SecuredObject::Job;
    return SecuredObject::Event;
}

}  // namespace

namespace {

// Owner, group and mode from the attributes, given to the open object `fd`;
// `pathOnly` for an O_PATH descriptor, which takes no fchmod.
DWORD ApplySecurityTo(int fd, bool pathOnly, const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory) {
    UnixSecurity us{};
    DWORD rc = MapSecurity(sa, object, directory, us);
    if (rc != ERROR_SUCCESS) return rc;
    if (!us.explicitMode) return ERROR_SUCCESS;
    uint32_t mode = us.mode;
    if (fchownat(fd, "", us.uid, us.gid, AT_EMPTY_PATH) != 0) {
        if (errno != EPERM) return ErrnoToWin32(errno);
        // Not ours to give away: keep our identity and allow only ourselves.
        mode &= 0700u;
    }
    // An O_PATH descriptor's /proc name reaches the same inode.
    int done = pathOnly ? chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode) : fchmod(fd, mode);
    return done == 0 ? ERROR_SUCCESS : ErrnoToWin32(errno);
}

}  // namespace

DWORD ApplySecurity(const std::string& path, const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory) {
    // The object itself, never what a link in its place points to.
    ScopedFd fd(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) return ErrnoToWin32(errno);
    if (S_ISLNK(st.st_mode)) return ERROR_ACCESS_DENIED;
    return ApplySecurityTo(fd.get(), true, sa, object, directory);
}

DWORD ApplySecurity(int fd, const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory) {
    return ApplySecurityTo(fd, false, sa, object, directory);
}

DWORD ApplySecurity(const std::string& path, const SECURITY_ATTRIBUTES* sa, bool directory) {
    return ApplySecurity(path, sa, SecuredObject::Job, directory);
}

NamedHold::~NamedHold() {
    if (!holder) return;
    holder.reset();
    // Tidy up when we were the last holder (else the next creator does).
    ScopedFd guard;
    if (LockAreaFile(area, kAreaLock, guard) != ERROR_SUCCESS) return;
    ScopedFd probe(open((dir + "/holder").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (probe && flock(probe.get(), LOCK_EX | LOCK_NB) == 0) {
        RemoveObjectDir(dir);
        if (onLast) onLast();
    }
}

DWORD AcquireNamedImpl(const char* area, LPCWSTR name, std::string& kind, const SECURITY_ATTRIBUTES* sa,
                       bool openOnly, NamedHold& hold, bool& existed, DWORD (*init)(const std::string&, void*),
                       void* ctx) {
    existed = false;
    if (name == nullptr || name[0] == 0 || lstrlenW(name) > static_cast<int>(MAX_PATH)) return ERROR_INVALID_NAME;
    std::string areaPath = StatePath(std::string("run/") + area);
    if (areaPath.empty()) return GetLastError();
    // The area is the service's own (0700): only its processes get here.
    ScopedFd guard;
    DWORD locked = LockAreaFile(areaPath, kAreaLock, guard);
    if (locked != ERROR_SUCCESS) return locked;
    std::string dir = areaPath + "/" + EncodeName(name);
    std::string holderPath = dir + "/holder";
    ScopedFd fd(open(holderPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        // Left behind by holders that are gone.
        fd.reset();
        RemoveObjectDir(dir);
    } else if (fd) {
        // Live: take our share, read the type, check our access to it.
        existed = true;
        int err = FlockWithin(fd.get(), LOCK_SH, kLockWaitMs);
        if (err != 0) return err == ETIMEDOUT ? ERROR_TIMEOUT : ErrnoToWin32(err);
        if (faccessat(AT_FDCWD, holderPath.c_str(), R_OK | W_OK, AT_EACCESS) != 0) return ErrnoToWin32(errno);
        std::string stored;
        if (ReadWholeFile(holderPath, stored) != 0) return ErrnoToWin32(errno);
        while (!stored.empty() && stored.back() == '\n') stored.pop_back();
        kind = stored;
        hold.holder = std::move(fd);
        hold.dir = dir;
        hold.area = areaPath;
        return ERROR_SUCCESS;
    } else if (errno != ENOENT) {
        return ErrnoToWin32(errno);
    }
    if (openOnly) return ERROR_FILE_NOT_FOUND;
    if (mkdir(dir.c_str(), 0700) != 0) return ErrnoToWin32(errno);
    DWORD rc = ERROR_SUCCESS;
    {
        ScopedFd nf(open(holderPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        std::string line = kind + "\n";
        if (!nf || write(nf.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            rc = ErrnoToWin32(errno);
        } else if (flock(nf.get(), LOCK_SH) != 0) {
            rc = ErrnoToWin32(errno);
        } else {
            rc = init(dir, ctx);
            SecuredObject object = ObjectOfArea(area);
            if (rc == ERROR_SUCCESS) rc = ApplySecurity(holderPath, sa, object, false);
            if (rc == ERROR_SUCCESS) rc = ApplySecurity(dir, sa, object, true);
            if (rc == ERROR_SUCCESS) {
                hold.holder = std::move(nf);
                hold.dir = dir;
                hold.area = areaPath;
            }
        }
    }
    if (rc != ERROR_SUCCESS) RemoveObjectDir(dir);
    return rc;
}

}  // namespace pal

BOOL PalGetNamedEventHolders(LPCWSTR name, DWORD* pids, DWORD count, DWORD* found) {
    if (name == nullptr || found == nullptr || (pids == nullptr && count != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *found = 0;
    std::string objects = pal::StatePath("run/objects");
    if (objects.empty()) return FALSE;
    struct stat st;
    if (stat((objects + "/" + pal::EncodeName(name) + "/holder").c_str(), &st) != 0) {
        SetLastError(pal::ErrnoToWin32(errno, true));
        return FALSE;
    }
    // Each holder keeps a shared flock on the holder file; the kernel lists
    // them with the pid that took them.
    std::FILE* f = std::fopen("/proc/locks", "re");
    if (f == nullptr) {
        SetLastError(pal::ErrnoToWin32(errno));
        return FALSE;
    }
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        char kind[16], mode[16];
        unsigned long pid = 0, ino = 0;
        unsigned maj = 0, min = 0;
        if (std::strstr(line, "->") != nullptr) continue;  // a waiter, not a holder
        if (std::sscanf(line, "%*d: %15s %*s %15s %lu %x:%x:%lu", kind, mode, &pid, &maj, &min, &ino) != 6) continue;
        if (std::strcmp(kind, "FLOCK") != 0 || ino != st.st_ino || maj != major(st.st_dev) || min != minor(st.st_dev))
            continue;
        if (*found < count) pids[*found] = static_cast<DWORD>(pid);
        ++*found;
    }
    std::fclose(f);
    if (*found == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}
