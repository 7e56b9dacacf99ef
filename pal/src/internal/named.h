// Named kernel objects: a directory run/<area>/<encoded name>/ whose `holder`
// file every holding process keeps a shared flock on, so the object exists
// exactly while some live process holds a handle. Creation and opening are
// serialised across processes by an exclusive flock on run/<area>/.lock.
#pragma once
#include <functional>
#include <string>

#include "internal/sys.h"
#include "pal/security.h"

namespace pal {

struct NamedHold {
    ScopedFd holder;   // flock(LOCK_SH) while we hold the object
    std::string dir;   // absolute path of the object's directory
    std::string area;  // absolute path of run/<area>
    // Runs when the last holder lets go, inside the creation lock, so no new
    // object of the same name can be made meanwhile.
    std::function<void()> onLast;
    ~NamedHold();      // drops the lock and removes the object if no one else holds it
};

// Creates (openOnly false) or opens the named object. `kind` is the type line
// stored in the holder file (for example "event manual"). On success `hold`
// is filled, `existed` tells whether another holder already had it and `kind`
// is replaced by the stored type line. `init` runs for a new object, inside
// the creation lock, with the object directory, and returns a Win32 error.
template <typename Init>
DWORD AcquireNamed(const char* area, LPCWSTR name, std::string& kind, const SECURITY_ATTRIBUTES* sa, bool openOnly,
                   NamedHold& hold, bool& existed, Init init);

DWORD AcquireNamedImpl(const char* area, LPCWSTR name, std::string& kind, const SECURITY_ATTRIBUTES* sa,
                       bool openOnly, NamedHold& hold, bool& existed, DWORD (*init)(const std::string&, void*),
                       void* ctx);

template <typename Init>
DWORD AcquireNamed(const char* area, LPCWSTR name, std::string& kind, const SECURITY_ATTRIBUTES* sa, bool openOnly,
                   NamedHold& hold, bool& existed, Init init) {
    return AcquireNamedImpl(
        area, name, kind, sa, openOnly, hold, existed,
        [](const std::string& dir, void* ctx) -> DWORD { return (*static_cast<Init*>(ctx))(dir); }, &init);
}

// Applies the owner, group and mode of the security attributes to a path.
// A group we may not give away keeps ours, with access narrowed to the owner.
DWORD ApplySecurity(const std::string& path, const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory);
// The same for an object open as `fd` (a file, a memfd or a directory).
DWORD ApplySecurity(int fd, const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory = false);
// The same for a job object's files (their caller names no kind).
DWORD ApplySecurity(const std::string& path, const SECURITY_ATTRIBUTES* sa, bool directory);

}  // namespace pal
