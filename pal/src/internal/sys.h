// Small Linux helpers shared by the layer's areas.
#pragma once
#include <string>

#include "pal/types.h"

namespace pal {

// errno to Win32 error code; `path` chooses ERROR_PATH_NOT_FOUND over
// ERROR_FILE_NOT_FOUND for a missing directory.
DWORD ErrnoToWin32(int err, bool path = false);
// SetLastError(ErrnoToWin32(errno)) and return FALSE-like 0.
void SetLastErrno(bool path = false);

// Owns a descriptor; closes it once.
class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(ScopedFd&& o) noexcept : fd_(o.take()) {}
    ScopedFd& operator=(ScopedFd&& o) noexcept;
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd();
    int get() const { return fd_; }
    int take() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }
private:
    int fd_ = -1;
};

// The state root: $ZEMBRIK_SYSROOT or /var/lib/zembrik, without a trailing '/'.
std::string StateRoot();
// Creates the root's layout once per root and process (a new root also gets
// its ProductOptions value). Returns a Win32 error code.
DWORD EnsureStateRoot();
// StateRoot() + "/" + rel after EnsureStateRoot(); empty on failure (last error set).
std::string StatePath(const std::string& rel);

// Percent-encodes '/', '\\' and '%' and anything outside printable ASCII is
// kept as UTF-8: a name becomes one path component.
std::string EncodeName(const char16_t* name);
std::u16string DecodeName(const std::string& component);

// mkdir -p with mode; returns 0 or errno.
int MakeDirs(const std::string& path, unsigned mode);
// Writes `name` in the directory `dirFd` (an O_PATH descriptor will do)
// atomically: a temp file `<name>.tmp.<random>` made with O_EXCL|O_NOFOLLOW,
// written, given owner and mode on its descriptor, fsynced and renamed over
// `name` (a link there is replaced, never followed); then the directory is
// fsynced. uid/gid -1 keep the writer's; when the group cannot be given, the
// group bits are dropped. Returns 0 or errno.
int WriteFileAtomicAt(int dirFd, const std::string& name, const std::string& data, unsigned mode, int uid = -1,
                      int gid = -1);
// Gives a file of ours (by descriptor) the owner and mode asked for; uid/gid
// -1 keep what it has; when the group cannot be given, the group bits are
// dropped. Returns 0 or errno (of the mode change; a refused owner is not one);
// `changed` (when given) is set when the owner or mode was not as asked.
int SetOwnerAndMode(int fd, unsigned mode, int uid, int gid, bool* changed = nullptr);
// The same for a path (its directory is opened as named).
int WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode);
// flock(fd, op | LOCK_NB) retried until it is granted or `ms` milliseconds
// pass: 0, ETIMEDOUT or errno. Whoever else can open the file can hold the
// lock; the wait is bounded so that they cannot hang us.
int FlockWithin(int fd, int op, unsigned ms);
// Reads a whole file; returns 0 or errno.
int ReadWholeFile(const std::string& path, std::string& out);
// A file of bounded length (/proc, cgroup) read to its end, zero-terminated
// in buf; 0, EFBIG when it does not fit, or errno. Files whose length
// varies (a process's status, cgroup, mountinfo) go through ReadWholeFile.
int ReadSmallFile(const std::string& path, char* buf, size_t size, size_t& len);

// Milliseconds on the monotonic clock.
uint64_t MonotonicMs();

}  // namespace pal
