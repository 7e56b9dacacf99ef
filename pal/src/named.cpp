// Named objects that exist while some live process holds them.
#include "internal/named.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pal/error.h"
#include "pal/strings.h"

namespace pal {

namespace {

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

DWORD ApplySecurity(const std::string& path, const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory) {
    UnixSecurity us{};
    DWORD rc = MapSecurity(sa, object, directory, us);
    if (rc != ERROR_SUCCESS) return rc;
    if (!us.explicitMode) return ERROR_SUCCESS;
    uint32_t mode = us.mode;
    if (chown(path.c_str(), us.uid, us.gid) != 0) {
        if (errno != EPERM) return ErrnoToWin32(errno);
        // Not ours to give away: keep our identity and allow only ourselves.
        mode &= 0700u;
    }
    if (chmod(path.c_str(), mode) != 0) return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

DWORD ApplySecurity(const std::string& path, const SECURITY_ATTRIBUTES* sa, bool directory) {
    return ApplySecurity(path, sa, SecuredObject::Job, directory);
}

NamedHold::~NamedHold() {
    if (!holder) return;
    holder.reset();
    // Tidy up when we were the last holder.
    ScopedFd guard(open((area + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!guard || flock(guard.get(), LOCK_EX) != 0) return;
    ScopedFd probe(open((dir + "/holder").c_str(), O_RDONLY | O_CLOEXEC));
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
    ScopedFd guard(open((areaPath + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!guard) return ErrnoToWin32(errno, true);
    fchmod(guard.get(), 0666);
    while (flock(guard.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return ErrnoToWin32(errno);
    }
    std::string dir = areaPath + "/" + EncodeName(name);
    std::string holderPath = dir + "/holder";
    ScopedFd fd(open(holderPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        // Left behind by holders that are gone.
        fd.reset();
        RemoveObjectDir(dir);
    } else if (fd) {
        // Live: take our share, read the type, check our access to it.
        existed = true;
        if (flock(fd.get(), LOCK_SH) != 0) return ErrnoToWin32(errno);
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
        ScopedFd nf(open(holderPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
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
