// Shared helpers of the layer: errno mapping, descriptors, names, files.
#include "internal/sys.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "pal/error.h"
#include "pal/strings.h"

namespace pal {

DWORD ErrnoToWin32(int err, bool path) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return path ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBUSY: return ERROR_BUSY;
    case EPIPE: return ERROR_NO_DATA;
    case ECONNREFUSED: return ERROR_PIPE_NOT_CONNECTED;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EAGAIN: return ERROR_BUSY;
    case EIO: return ERROR_GEN_FAILURE;
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case EFAULT: return ERROR_NOACCESS;
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
    }
}

void SetLastErrno(bool path) { SetLastError(ErrnoToWin32(errno, path)); }

ScopedFd& ScopedFd::operator=(ScopedFd&& o) noexcept {
    if (this != &o) reset(o.take());
    return *this;
}

ScopedFd::~ScopedFd() { reset(); }

void ScopedFd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}


int MakeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) return EINVAL;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        int rc = MakeDirs(path.substr(0, slash), mode);
        if (rc != 0) return rc;
    }
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return errno;
    return 0;
}

int ReadWholeFile(const std::string& path, std::string& out) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return 0;
}

namespace {

// 16 hex digits nobody can guess, for temporary names.
int RandomSuffix(std::string& out) {
    uint64_t r = 0;
    for (;;) {
        ssize_t n = getrandom(&r, sizeof(r), 0);
        if (n == static_cast<ssize_t>(sizeof(r))) break;
        if (n < 0 && errno != EINTR) return errno;
    }
    char buf[17];
    snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(r));
    out = buf;
    return 0;
}

int WriteAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        off += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int SetOwnerAndMode(int fd, unsigned mode, int uid, int gid, bool* changed) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if ((uid >= 0 && st.st_uid != static_cast<uid_t>(uid)) || (gid >= 0 && st.st_gid != static_cast<gid_t>(gid))) {
        if (changed != nullptr) *changed = true;
        if (fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0 &&
            (gid < 0 || fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0))
            mode &= ~0070u;  // the group is not the one asked for: give it nothing
    }
    if ((st.st_mode & 07777) == mode) return 0;
    if (changed != nullptr) *changed = true;
    return fchmod(fd, mode) == 0 ? 0 : errno;
}

int WriteFileAtomicAt(int dirFd, const std::string& name, const std::string& data, unsigned mode, int uid,
                      int gid) {
    std::string tmp;
    ScopedFd fd;
    // Private to us from its creation until its owner and mode are set.
    for (int attempt = 0; !fd; ++attempt) {
        std::string suffix;
        int err = RandomSuffix(suffix);
        if (err != 0) return err;
        tmp = name + ".tmp." + suffix;
        fd.reset(openat(dirFd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && (errno != EEXIST || attempt == 3)) return errno;
    }
    int err = WriteAll(fd.get(), data);
    if (err == 0) err = SetOwnerAndMode(fd.get(), mode, uid, gid);
    if (err == 0 && fsync(fd.get()) != 0) err = errno;
    fd.reset();
    // rename replaces whatever `name` is, a symlink included, without following it.
    if (err == 0 && renameat(dirFd, tmp.c_str(), dirFd, name.c_str()) != 0) err = errno;
    if (err != 0) {
        unlinkat(dirFd, tmp.c_str(), 0);
        return err;
    }
    ScopedFd dir(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) fsync(dir.get());
    return 0;
}

int WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    ScopedFd dfd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dfd) return errno;
    return WriteFileAtomicAt(dfd.get(), slash == std::string::npos ? path : path.substr(slash + 1), data, mode);
}

int FlockWithin(int fd, int op, unsigned ms) {
    uint64_t deadline = MonotonicMs() + ms;
    long pauseUs = 500;
    for (;;) {
        if (flock(fd, op | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        uint64_t now = MonotonicMs();
        if (now >= deadline) return ETIMEDOUT;
        // Short first pauses for the usual brief holder, longer ones later.
        long left = static_cast<long>(deadline - now) * 1000;
        struct timespec ts{0, std::min(pauseUs, left) * 1000};
        nanosleep(&ts, nullptr);
        pauseUs = std::min(pauseUs * 2, 20000L);
    }
}

std::string EncodeName(const char16_t* name) {
    std::string utf8 = ToUtf8(name);
    std::string out;
    for (unsigned char c : utf8) {
        if (c == '/' || c == '%' || c == '\\' || c < 0x20 || c == 0x7F) {
            char buf[4];
            snprintf(buf, sizeof(buf), "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out == "." || out == "..") out = out == "." ? "%2E" : "%2E%2E";
    return out;
}

std::u16string DecodeName(const std::string& component) {
    std::string raw;
    for (size_t i = 0; i < component.size(); ++i) {
        if (component[i] == '%' && i + 2 < component.size() + 0 && isxdigit(static_cast<unsigned char>(component[i + 1])) &&
            isxdigit(static_cast<unsigned char>(component[i + 2]))) {
            raw += static_cast<char>(strtol(component.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            raw += component[i];
        }
    }
    return ToUtf16(raw);
}

uint64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace pal

namespace pal {

int ReadSmallFile(const std::string& path, char* buf, size_t size, size_t& len) {
    if (size == 0) return EINVAL;
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    // /proc files may come in more than one read; one cut short by the
    // buffer is an error, never a silently shorter text.
    len = 0;
    for (;;) {
        char probe;
        bool full = len == size - 1;
        ssize_t n = full ? read(fd.get(), &probe, 1) : read(fd.get(), buf + len, size - 1 - len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        if (full) return EFBIG;
        len += static_cast<size_t>(n);
    }
    buf[len] = 0;
    return 0;
}

}  // namespace pal
