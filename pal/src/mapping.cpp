// File mappings backed by memory. An unnamed mapping is a memfd; a named one
// is the file `memory` in its object directory run/shm/<name>/, held like
// every named object (internal/named.h), so it exists while a live process
// holds a handle or a view. Either way the handle's value names the memory's
// descriptor, so another process can pull the mapping with DuplicateHandle.
// Views are kept in a registry: it knows each view's length for the unmap
// and holds a reference that keeps the mapping alive after CloseHandle.
//
// Known gaps: no file-backed mappings; only PAGE_READONLY and PAGE_READWRITE;
// memory is not committed up front; mapping names do not clash with the
// names of events.
#include "pal/mapping.h"
#include "pal/viewnumber.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "internal/locks.h"
#include "internal/named.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"

namespace pal {
namespace {

constexpr const char* kKind = "mapping";
constexpr const char* kMemfdName = "zembrik-mapping";
constexpr uint64_t kViewAlignment = 65536;  // GetSystemInfo's allocation granularity

struct Mapping : Object {
    explicit Mapping(const ObjectOps* o) : Object(ObjType::Mapping, o) {}
    ScopedFd memory;  // opened read-write only when the handle may write
    uint64_t size = 0;
    bool writable = false;
    std::unique_ptr<NamedHold> hold;  // named mappings
};

void Destroy(Object* o) { delete static_cast<Mapping*>(o); }

const ObjectOps kMappingOps{Destroy, nullptr, nullptr, nullptr, nullptr};

struct View {
    size_t length;
    Mapping* mapping;  // a reference of its own
};

struct ViewRegistry {
    std::mutex lock;
    std::map<uintptr_t, View> views;
};

ViewRegistry& Views() {
    static ViewRegistry* r = new ViewRegistry;  // outlives static destructors
    return *r;
}

std::string SelfFd(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Builds the handle around an open memory descriptor; its size comes from the
// descriptor, so a mapping taken from another process knows it too.
DWORD NewMappingHandle(ScopedFd memory, std::unique_ptr<NamedHold> hold, HANDLE& out) {
    struct stat st;
    if (fstat(memory.get(), &st) != 0) return ErrnoToWin32(errno);
    int flags = fcntl(memory.get(), F_GETFL);
    if (flags < 0) return ErrnoToWin32(errno);
    Mapping* m = new Mapping(&kMappingOps);
    m->size = static_cast<uint64_t>(st.st_size);
    m->writable = (flags & O_ACCMODE) == O_RDWR;
    m->hold = std::move(hold);
    int fd = memory.get();
    m->memory = std::move(memory);
    out = NewHandleForFd(m, fd);
    return out != nullptr ? ERROR_SUCCESS : GetLastError();
}

// A read-only handle gets a read-only descriptor, so whoever pulls it into
// another process gets no more than it has.
DWORD NarrowToReadOnly(ScopedFd& memory) {
    ScopedFd ro(open(SelfFd(memory.get()).c_str(), O_RDONLY | O_CLOEXEC));
    if (!ro) return ErrnoToWin32(errno);
    memory = std::move(ro);
    return ERROR_SUCCESS;
}

DWORD CreateUnnamed(const SECURITY_ATTRIBUTES* sa, uint64_t size, bool writable, HANDLE& out) {
    ScopedFd memory(memfd_create(kMemfdName, MFD_CLOEXEC));
    if (!memory) return ErrnoToWin32(errno);
    if (ftruncate(memory.get(), static_cast<off_t>(size)) != 0) return ErrnoToWin32(errno);
    DWORD rc = ApplySecurity(memory.get(), sa, SecuredObject::Mapping);
    if (rc == ERROR_SUCCESS && !writable) rc = NarrowToReadOnly(memory);
    if (rc != ERROR_SUCCESS) return rc;
    return NewMappingHandle(std::move(memory), nullptr, out);
}

DWORD AcquireNamedMapping(const SECURITY_ATTRIBUTES* sa, uint64_t size, bool writable, LPCWSTR name, bool openOnly,
                          HANDLE& out, bool& existed) {
    std::string kind = kKind;
    auto hold = std::make_unique<NamedHold>();
    DWORD rc = AcquireNamed("shm", name, kind, sa, openOnly, *hold, existed, [&](const std::string& dir) -> DWORD {
        std::string path = dir + "/memory";
        ScopedFd f(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!f) return ErrnoToWin32(errno);
        if (ftruncate(f.get(), static_cast<off_t>(size)) != 0) return ErrnoToWin32(errno);
        return ApplySecurity(f.get(), sa, SecuredObject::Mapping);
    });
    if (rc != ERROR_SUCCESS) return rc;
    if (kind != kKind) return ERROR_INVALID_HANDLE;  // the name belongs to another type
    ScopedFd memory(open((hold->dir + "/memory").c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC));
    if (!memory) return ErrnoToWin32(errno);
    return NewMappingHandle(std::move(memory), std::move(hold), out);
}

std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

}  // namespace

DWORD InternalCreateFileMapping(HANDLE file, const SECURITY_ATTRIBUTES* sa, DWORD protect, DWORD sizeHigh,
                                DWORD sizeLow, LPCWSTR name, HANDLE& out, bool& existed) {
    out = nullptr;
    existed = false;
    if (file != INVALID_HANDLE_VALUE) {
        ObjRef<Object> obj(LookupHandle(file, ObjType::None));
        return obj ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE;
    }
    DWORD page = protect & 0xFFu;
    DWORD section = protect & ~0xFFu;
    if (page != PAGE_READONLY && page != PAGE_READWRITE) {
        return page == PAGE_WRITECOPY || page > PAGE_WRITECOPY ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
    }
    if (section != 0 && section != SEC_COMMIT) return ERROR_NOT_SUPPORTED;
    uint64_t size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
    if (size == 0 || size > static_cast<uint64_t>(LLONG_MAX)) return ERROR_INVALID_PARAMETER;
    bool writable = page == PAGE_READWRITE;
    if (name == nullptr || name[0] == 0) return CreateUnnamed(sa, size, writable, out);
    return AcquireNamedMapping(sa, size, writable, name, false, out, existed);
}

DWORD InternalOpenFileMapping(DWORD access, LPCWSTR name, HANDLE& out) {
    out = nullptr;
    if (name == nullptr || name[0] == 0) return ERROR_INVALID_PARAMETER;
    bool writable = (access & FILE_MAP_WRITE) != 0;
    bool existed = false;
    return AcquireNamedMapping(nullptr, 0, writable, name, true, out, existed);
}

DWORD InternalMapViewOfFile(HANDLE h, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes, LPVOID& out) {
    out = nullptr;
    ObjRef<Mapping> m(LookupHandle(h, ObjType::Mapping));
    if (!m) return ERROR_INVALID_HANDLE;
    int prot = PROT_READ;
    int flags = MAP_SHARED;
    if (access == FILE_MAP_COPY) {
        // Copy-on-write: private pages, writable whatever the mapping allows.
        prot |= PROT_WRITE;
        flags = MAP_PRIVATE;
    } else if ((access & FILE_MAP_WRITE) != 0) {
        if (!m->writable) return ERROR_ACCESS_DENIED;
        prot |= PROT_WRITE;
    } else if ((access & FILE_MAP_READ) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    if (offset % kViewAlignment != 0) return ERROR_MAPPED_ALIGNMENT;
    // A view must lie inside the mapping, as on Windows.
    if (offset >= m->size || bytes > m->size - offset) return ERROR_ACCESS_DENIED;
    size_t length = bytes != 0 ? bytes : static_cast<size_t>(m->size - offset);
    void* addr = mmap(nullptr, length, prot, flags, m->memory.get(), static_cast<off_t>(offset));
    if (addr == MAP_FAILED) return ErrnoToWin32(errno);
    ViewRegistry& r = Views();
    {
        std::lock_guard<std::mutex> g(r.lock);
        AddRef(m.p);
        r.views[reinterpret_cast<uintptr_t>(addr)] = View{length, m.p};
    }
    out = addr;
    return ERROR_SUCCESS;
}

DWORD InternalUnmapViewOfFile(LPCVOID address) {
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    View view{};
    uintptr_t base = 0;
    ViewRegistry& r = Views();
    {
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.views.upper_bound(a);
        if (it == r.views.begin()) return ERROR_INVALID_ADDRESS;
        --it;
        if (a >= it->first + it->second.length) return ERROR_INVALID_ADDRESS;
        base = it->first;
        view = it->second;
        r.views.erase(it);
    }
    munmap(reinterpret_cast<void*>(base), view.length);
    Release(view.mapping);
    return ERROR_SUCCESS;
}

// A descriptor taken from another process: is it a mapping's memory? A
// memfd of ours, or the memory file of a named mapping in our state root
// (then `namedDir` is set to its object directory).
bool IsMappingDescriptor(int fd, std::string& namedDir) {
    namedDir.clear();
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    char buf[PATH_MAX];
    ssize_t n = readlink(SelfFd(fd).c_str(), buf, sizeof(buf) - 1);
    if (n <= 0) return false;
    std::string link(buf, static_cast<size_t>(n));
    if (link.rfind(std::string("/memfd:") + kMemfdName + " ", 0) == 0) return true;
    std::string area = StatePath("run/shm");
    if (area.empty()) return false;
    area = Canonical(area) + "/";
    if (link.rfind(area, 0) != 0) return false;
    std::string rest = link.substr(area.size());
    size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0) return false;
    std::string file = rest.substr(slash + 1);
    if (file == "memory") {
        namedDir = area + rest.substr(0, slash);
        return true;
    }
    return file == "memory (deleted)";  // its name is gone; the memory is still a mapping's
}

// Wraps memory taken from another process in a mapping of this one. For a
// named mapping this process becomes a holder too, so the name lives on
// while this process keeps the handle.
// `access` is what the caller asked for, or null with `sameAccess`.
DWORD AdoptMappingDescriptor(ScopedFd fd, const std::string& namedDir, DWORD access, bool sameAccess, HANDLE& out) {
    out = nullptr;
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0) return ErrnoToWin32(errno);
    if (!sameAccess) {
        bool canWrite = (flags & O_ACCMODE) == O_RDWR;
        if ((access & FILE_MAP_WRITE) != 0 && !canWrite) return ERROR_ACCESS_DENIED;
        if ((access & FILE_MAP_WRITE) == 0 && canWrite) {
            DWORD rc = NarrowToReadOnly(fd);
            if (rc != ERROR_SUCCESS) return rc;
        }
    }
    std::unique_ptr<NamedHold> hold;
    if (!namedDir.empty()) {
        hold = std::make_unique<NamedHold>();
        hold->dir = namedDir;
        hold->area = namedDir.substr(0, namedDir.rfind('/'));
        // The creation lock keeps a last holder's clean-up from running
        // between our open and our lock.
        ScopedFd guard;
        DWORD locked = LockAreaFile(hold->area, ".lock", guard);
        if (locked != ERROR_SUCCESS) return locked;
        ScopedFd holder(open((namedDir + "/holder").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!holder && errno == ENOENT) {
            hold.reset();  // its name went with its last holder; the memory is still good
        } else if (!holder || FlockWithin(holder.get(), LOCK_SH, kLockWaitMs) != 0) {
            return holder ? ERROR_TIMEOUT : ErrnoToWin32(errno);
        } else {
            hold->holder = std::move(holder);
        }
    }
    return NewMappingHandle(std::move(fd), std::move(hold), out);
}

}  // namespace pal

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                          LPCWSTR name) {
    HANDLE h = nullptr;
    bool existed = false;
    DWORD rc = pal::InternalCreateFileMapping(file, sa, protect, sizeHigh, sizeLow, name, h, existed);
    SetLastError(rc != ERROR_SUCCESS ? rc : existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE OpenFileMappingW(DWORD access, BOOL, LPCWSTR name) {
    HANDLE h = nullptr;
    DWORD rc = pal::InternalOpenFileMapping(access, name, h);
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return h;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
    LPVOID view = nullptr;
    DWORD rc = pal::InternalMapViewOfFile(mapping, access, offsetHigh, offsetLow, bytes, view);
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return view;
}

BOOL UnmapViewOfFile(LPCVOID address) {
    DWORD rc = pal::InternalUnmapViewOfFile(address);
    if (rc == ERROR_SUCCESS) PalForgetViewNumber(const_cast<LPVOID>(address));
    if (rc != ERROR_SUCCESS) SetLastError(rc);
    return rc == ERROR_SUCCESS;
}
