// The state root and its layout. The directories under run/ are made by the
// service (root) and no one else can make entries in them: the areas of
// named objects, mappings and jobs are the owner's alone, and the pipe and
// service areas may be read and passed through but not written. A layout
// directory that is a link, or belongs to another user while we are root,
// makes the root unusable rather than trusted.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <utility>
#include <string>

#include "internal/sys.h"
#include "pal/error.h"
#include "pal/stateroot.h"

namespace pal {
namespace {

// A new root starts as a Datacenter system: the OS check reads this value.
const char kProductOptions[] =
    "[\n {\"name\": \"ProductSuite\", \"type\": \"REG_MULTI_SZ\", \"data\": [\"DataCenter\"]}\n]\n";

struct Area {
    const char* path;
    mode_t mode;
};
// Parents before children.
constexpr Area kAreas[] = {
    {"registry", 0755},     {"registry/HKLM", 0755}, {"eventlog", 0750},    {"run", 0755},
    {"run/pipe", 0755},     {"run/services", 0755},  {"run/objects", 0700}, {"run/shm", 0700},
    {"run/jobs", 0700},     {"run/metrics", 0755},
};

std::atomic<bool> g_neverCreate{false};

// Makes or checks one layout directory below the open root `rootFd`.
DWORD CheckArea(int rootFd, const Area& area, bool& made) {
    uid_t me = geteuid();
    made = !g_neverCreate && mkdirat(rootFd, area.path, area.mode) == 0;
    if (g_neverCreate) errno = EEXIST;
    if (!made && errno != EEXIST) {
        // Another user's root lacks an area we could not use anyway.
        return me != 0 && errno == EACCES ? ERROR_SUCCESS : ErrnoToWin32(errno, true);
    }
    struct stat st;
    if (fstatat(rootFd, area.path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // A client leaves an area the service has not made yet to the service.
        return g_neverCreate && errno == ENOENT ? ERROR_SUCCESS : ErrnoToWin32(errno, true);
    }
    if (!S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;  // a link or a file in its place
    if (st.st_uid != me) {
        // Root uses only what root made; others may use root's layout as it is.
        return me == 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    }
    if ((st.st_mode & 07777) == area.mode) return ERROR_SUCCESS;
    // A layout made by an older version, or under another umask, is brought
    // to its mode: no one else may make entries here.
    ScopedFd dir(openat(rootFd, area.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir || fchmod(dir.get(), area.mode) != 0) return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

DWORD CreateLayout(const std::string& root) {
    if (g_neverCreate) {
        // A root is a folder with one of the top areas of a layout.
        bool found = false;
        for (const char* top : {"/registry", "/eventlog", "/run"}) {
            struct stat st;
            found = found || (stat((root + top).c_str(), &st) == 0 && S_ISDIR(st.st_mode));
        }
        if (!found) return ERROR_PATH_NOT_FOUND;
    }
    int err = MakeDirs(root, 0755);
    if (err != 0) return ErrnoToWin32(err, true);
    // O_PATH: a user who may only pass through root's state root (0711) uses it too.
    ScopedFd rootFd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd) return ErrnoToWin32(errno, true);
    struct stat st;
    if (fstat(rootFd.get(), &st) != 0) return ErrnoToWin32(errno);
    // Whoever may write the root could replace run/ and everything in it.
    if (geteuid() == 0 && (st.st_uid != 0 || (st.st_mode & 0022) != 0)) return ERROR_ACCESS_DENIED;
    bool isNew = false;
    for (const Area& a : kAreas) {
        bool made = false;
        DWORD rc = CheckArea(rootFd.get(), a, made);
        if (rc != ERROR_SUCCESS) return rc;
        if (made && strcmp(a.path, "registry/HKLM") == 0) isNew = true;
    }
    if (isNew) {
        std::string key = root + "/registry/HKLM/SYSTEM/CurrentControlSet/Control/ProductOptions";
        err = MakeDirs(key, 0755);
        if (err == 0 && access((key + "/.values").c_str(), F_OK) != 0)
            err = WriteFileAtomic(key + "/.values", kProductOptions, 0644);
        if (err != 0) return ErrnoToWin32(err, true);
    }
    if (g_neverCreate) return ERROR_SUCCESS;
    // Keys every Windows machine has, which installers open rather than create.
    static const char* const kMachineKeys[] = {"SYSTEM/CurrentControlSet/Services/EventLog/System",
                                               "SYSTEM/CurrentControlSet/Control/Server Applications"};
    for (const char* k : kMachineKeys) {
        std::string p = root + "/registry/HKLM/" + k;
        if (access(p.c_str(), F_OK) == 0) continue;
        err = MakeDirs(p, 0755);
        if (err != 0) return ErrnoToWin32(err, true);
    }
    return ERROR_SUCCESS;
}

}  // namespace

std::string StateRoot() {
    const char* env = getenv("ZEMBRIK_SYSROOT");
    std::string root = (env != nullptr && env[0] != 0) ? env : "/var/lib/zembrik";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

DWORD EnsureStateRoot() {
    static std::mutex lock;
    static std::set<std::string> done;
    std::string root = StateRoot();
    std::lock_guard<std::mutex> g(lock);
    if (done.count(root) != 0) {
        // A root removed under us (tests, an administrator) is laid out again.
        struct stat st;
        if (stat((root + "/run").c_str(), &st) == 0) return ERROR_SUCCESS;
        done.erase(root);
    }
    DWORD rc = CreateLayout(root);
    if (rc == ERROR_SUCCESS) done.insert(root);
    return rc;
}

std::string StatePath(const std::string& rel) {
    DWORD rc = EnsureStateRoot();
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return std::string();
    }
    return StateRoot() + "/" + rel;
}

}  // namespace pal

DWORD PalReplaceStateFile(const char* area, const char* name, const std::string& data, DWORD mode) {
    using namespace pal;
    DWORD rc = EnsureStateRoot();
    if (rc != ERROR_SUCCESS) return rc;
    ScopedFd dir(open(StateRoot().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return ErrnoToWin32(errno, true);
    // One component at a time, never through a link; the folder must be ours
    // and closed to writers other than us.
    std::string rest = area;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string part = rest.substr(0, slash);
        rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
        ScopedFd next(openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return errno == ELOOP || errno == ENOTDIR ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno, true);
        dir = std::move(next);
    }
    struct stat st;
    if (fstat(dir.get(), &st) != 0) return ErrnoToWin32(errno);
    if (st.st_uid != geteuid() || (st.st_mode & 0022) != 0) return ERROR_ACCESS_DENIED;
    int err = WriteFileAtomicAt(dir.get(), name, data, mode);
    return err == 0 ? ERROR_SUCCESS : ErrnoToWin32(err);
}

DWORD PalEnsureStateRoot() { return pal::EnsureStateRoot(); }
void PalNeverCreateStateRoot() { pal::g_neverCreate = true; }
std::string PalStateRootPath() { return pal::StateRoot(); }
