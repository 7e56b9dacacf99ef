// Lock files of the layer's own areas: only their owner can open them (a
// flock needs no more than a read descriptor), and no wait is unbounded.
#include "internal/locks.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pal/error.h"

namespace pal {

DWORD LockAreaFile(const std::string& dir, const char* name, ScopedFd& out) {
    ScopedFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) return ErrnoToWin32(errno, true);
    out.reset(openat(dirFd.get(), name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) return errno == ELOOP ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno, true);
    struct stat st;
    if (fstat(out.get(), &st) != 0) return ErrnoToWin32(errno);
    // Made by an older version with a mode others could open.
    if ((st.st_mode & 077) != 0 && fchmod(out.get(), 0600) != 0) return ErrnoToWin32(errno);
    int err = FlockWithin(out.get(), LOCK_EX, kLockWaitMs);
    if (err == ETIMEDOUT) return ERROR_TIMEOUT;
    return err == 0 ? ERROR_SUCCESS : ErrnoToWin32(err);
}

}  // namespace pal
