// The registry: keys are directories under registry/HKLM of the state root,
// names case-insensitive with their case kept, values in each key's `.values`
// (registry_values.cpp), change notification by inotify (registry_notify.cpp).
// A key's security descriptor is its directory's owner, group and mode; every
// check runs under the calling thread's filesystem identity. Keys are reached
// from directory descriptors one name at a time, never through a link, and
// written under the key's `.lock`, which only its writers can open.
// Known gaps: only HKEY_LOCAL_MACHINE exists; key classes are not stored;
// volatile keys and links are not supported; a name component whose encoded
// form exceeds 255 bytes cannot be created; names must be valid UTF-16.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/named.h"
#include "internal/registry_store.h"
#include "pal/error.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace pal::reg {
namespace {

constexpr REGSAM kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | READ_CONTROL;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC | WRITE_OWNER | KEY_CREATE_LINK;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kWow64Flags = 0x0300;
constexpr DWORD kOptionVolatile = 0x1;
constexpr DWORD kOptionCreateLink = 0x2;
constexpr DWORD kOptionBackupRestore = 0x4;
constexpr DWORD kOptionOpenLink = 0x8;
constexpr DWORD kNotifyThreadAgnostic = 0x10000000;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

void DestroyKey(Object* o) { delete static_cast<Key*>(o); }
const ObjectOps kKeyOps{DestroyKey, nullptr, nullptr, nullptr, nullptr};

// Registry functions report through their result only.
class KeepLastError {
public:
    KeepLastError() : saved_(GetLastError()) {}
    ~KeepLastError() { SetLastError(saved_); }
private:
    DWORD saved_;
};

bool IsPredefined(HKEY k) {
    uintptr_t v = reinterpret_cast<uintptr_t>(k);
    return v >= 0x80000000u && v <= 0x80000006u;
}

// Well-formed UTF-16 without NUL, so that it survives the UTF-8 file names
// and JSON text unchanged.
bool ValidName(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t u = s[i];
        if (u >= 0xDC00 && u <= 0xDFFF) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

// Directory entry name of a key name. A leading '.' is encoded too, so that
// no key can collide with the key's own files (.values and its temp files).
std::string Component(const std::u16string& name) {
    std::string enc = EncodeName(name.c_str());
    if (!enc.empty() && enc[0] == '.') enc = "%2E" + enc.substr(1);
    return enc;
}

REGSAM MapGeneric(REGSAM a) {
    if ((a & GENERIC_READ) != 0) a |= KEY_READ;
    if ((a & GENERIC_WRITE) != 0) a |= KEY_WRITE;
    if ((a & GENERIC_EXECUTE) != 0) a |= KEY_EXECUTE;
    if ((a & GENERIC_ALL) != 0) a |= KEY_ALL_ACCESS;
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kWow64Flags);
}

// Checked on the directory we hold, never again by its path; `dirSt` (its
// fstat, when the caller has it) lets a read batch remember the answer.
bool Allowed(int dirFd, int mode, const struct stat* dirSt = nullptr) {
    if (dirSt != nullptr) return AccessAllowed(dirFd, *dirSt, ".", mode);
    return faccessat(dirFd, ".", mode, AT_EACCESS) == 0;
}

// The rights a handle to the key directory `dirFd` gets for `requested`: read
// rights need r-x on the directory, write rights -wx, checked as the calling
// thread.
DWORD Grant(int dirFd, const struct stat* dirSt, REGSAM requested, REGSAM& granted) {
    REGSAM a = MapGeneric(requested);
    bool maximum = (a & kMaximumAllowed) != 0;
    a &= ~kMaximumAllowed;
    // Both kinds asked for (as the rule keys are opened): one check when it passes.
    if (!maximum && (a & kReadRights) != 0 && (a & kWriteRights) != 0 && Allowed(dirFd, R_OK | W_OK | X_OK, dirSt)) {
        granted = a;
        return ERROR_SUCCESS;
    }
    if ((a & kReadRights) != 0 && !Allowed(dirFd, R_OK | X_OK, dirSt))
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    if ((a & kWriteRights) != 0 && !Allowed(dirFd, W_OK | X_OK, dirSt))
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    if (maximum) {
        if (Allowed(dirFd, R_OK | X_OK)) a |= KEY_READ;
        if (Allowed(dirFd, W_OK | X_OK)) a |= KEY_WRITE | DELETE | WRITE_DAC | WRITE_OWNER | KEY_CREATE_LINK;
        if (a == 0) return ERROR_ACCESS_DENIED;
    }
    granted = a;
    return ERROR_SUCCESS;
}

DWORD OpenRoot(HKEY k, ObjRef<Key>& out) {
    if (k != HKEY_LOCAL_MACHINE) return ERROR_FILE_NOT_FOUND;
    std::string path = StatePath("registry/HKLM");
    if (path.empty()) return GetLastError();
    Key* key = new Key;
    out.p = key;
    key->path = path;
    key->dir.reset(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!key->dir) return ErrnoToWin32(errno, true);
    // A root grants what its directory allows, possibly nothing but the way through.
    int dir = key->dir.get();
    if (Allowed(dir, R_OK | X_OK)) key->access |= KEY_READ;
    if (Allowed(dir, W_OK | X_OK)) key->access |= KEY_WRITE | DELETE | WRITE_DAC | WRITE_OWNER | KEY_CREATE_LINK;
    return ERROR_SUCCESS;
}

// A reference to the key behind a handle; a predefined root gets a
// transient object with the rights the filesystem gives the caller.
DWORD Resolve(HKEY h, ObjRef<Key>& out) {
    if (IsPredefined(h)) return OpenRoot(h, out);
    Object* o = LookupHandle(reinterpret_cast<HANDLE>(h), ObjType::Key);
    if (o == nullptr) return ERROR_INVALID_HANDLE;
    out.p = static_cast<Key*>(o);
    return ERROR_SUCCESS;
}

// `dirSt`, when given, receives the key directory's fstat.
DWORD Need(const Key& key, REGSAM rights, struct stat* dirSt = nullptr) {
    if ((key.access & rights) != rights) return ERROR_ACCESS_DENIED;
    struct stat st;
    if (dirSt == nullptr) dirSt = &st;
    if (StatKey(key, *dirSt) != 0 || dirSt->st_nlink == 0) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// Splits a subkey path at '\'. Empty components are refused as Windows does
// for a leading separator; one trailing separator is accepted.
DWORD SplitPath(LPCWSTR sub, std::vector<std::u16string>& out) {
    out.clear();
    if (sub == nullptr || sub[0] == 0) return ERROR_SUCCESS;
    std::u16string_view s(sub);
    if (s.back() == u'\\') s.remove_suffix(1);
    size_t start = 0;
    for (;;) {
        size_t end = s.find(u'\\', start);
        std::u16string_view part = s.substr(start, end == std::u16string_view::npos ? s.npos : end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyName || !ValidName(part)) return ERROR_INVALID_PARAMETER;
        out.emplace_back(part);
        if (end == std::u16string_view::npos) return ERROR_SUCCESS;
        start = end + 1;
    }
}

// Finds the child key `name` of a directory, case-insensitively.
DWORD FindChild(int dirFd, const std::u16string& name, std::string& disk) {
    std::string enc = Component(name);
    struct stat st;
    if (fstatat(dirFd, enc.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            disk = enc;
            return ERROR_SUCCESS;
        }
        // Access denied, not "not found": a link or file in a key's place is
        // tampering, and "not found" would invite making the key there.
        return ERROR_ACCESS_DENIED;
    } else if (errno != ENOENT && errno != ENAMETOOLONG) {
        return ErrnoToWin32(errno);
    }
    if (fstat(dirFd, &st) != 0) return ErrnoToWin32(errno);
    SubkeyList subs;
    DWORD rc = CachedSubkeys(dirFd, st, subs);
    if (rc != ERROR_SUCCESS) return rc;
    for (const auto& s : *subs) {
        if (s.name.size() == name.size() && lstrcmpiW(s.name.c_str(), name.c_str()) == 0) {
            disk = s.disk;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// Creates the child key `name` unless it exists in some case, under the
// parent's write lock (so that two creators agree on one key and a
// concurrent delete of the parent sees it). Without security attributes the
// new key takes its parent's group and mode, as inheritance would give it.
DWORD CreateChild(int parentFd, const std::u16string& name, const SECURITY_ATTRIBUTES* sa, std::string& disk,
                  bool& created) {
    created = false;
    NoReadBatch fresh;
    ScopedFd lock;
    DWORD rc = LockKey(parentFd, lock);
    if (rc != ERROR_SUCCESS) return rc;
    struct stat parentSt;
    if (fstat(parentFd, &parentSt) != 0) return ErrnoToWin32(errno);
    if (parentSt.st_nlink == 0) return ERROR_KEY_DELETED;
    rc = FindChild(parentFd, name, disk);
    if (rc != ERROR_FILE_NOT_FOUND) return rc;
    std::string enc = Component(name);
    if (enc.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    // Private until its final owner and mode are in place, and set up
    // through its descriptor only.
    if (mkdirat(parentFd, enc.c_str(), 0700) != 0) return ErrnoToWin32(errno, true);
    ScopedFd child(openat(parentFd, enc.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child) return ERROR_ACCESS_DENIED;  // replaced under us by someone who may write the parent
    mode_t mode = parentSt.st_mode & (0777 | S_ISGID);
    struct stat st;
    if (fstat(child.get(), &st) != 0) {
        rc = ErrnoToWin32(errno);
    } else {
        if (st.st_gid != parentSt.st_gid && fchown(child.get(), static_cast<uid_t>(-1), parentSt.st_gid) != 0)
            mode &= ~static_cast<mode_t>(0070 | S_ISGID);  // the group is not the parent's: give it nothing
        rc = fchmod(child.get(), mode) == 0 ? ERROR_SUCCESS : ErrnoToWin32(errno);
    }
    // The descriptor's /proc name reaches exactly the directory made above.
    if (rc == ERROR_SUCCESS && sa != nullptr)
        rc = ApplySecurity(child.get(), sa, SecuredObject::Key, true);
    if (rc != ERROR_SUCCESS) {
        unlinkat(parentFd, enc.c_str(), AT_REMOVEDIR);
        return rc;
    }
    disk = enc;
    created = true;
    return ERROR_SUCCESS;
}

struct Walked {
    ScopedFd dir;        // O_PATH descriptor of the key reached
    ScopedFd parent;     // and of its parent, when that is not the base
    bool parentIsBase = false;
    std::string path;
    std::string disk;    // entry name of the key in its parent
    bool created = false;
    int ParentFd(const Key& base) const { return parentIsBase ? base.dir.get() : parent.get(); }
};

// Follows (and with `create`, makes) the components below `base`.
DWORD Walk(const Key& base, const std::vector<std::u16string>& comps, bool create, const SECURITY_ATTRIBUTES* sa,
           Walked& w) {
    struct stat baseSt;
    if (StatKey(base, baseSt) != 0 || baseSt.st_nlink == 0) return ERROR_KEY_DELETED;
    w.path = base.path;
    if (comps.empty()) {
        w.dir.reset(fcntl(base.dir.get(), F_DUPFD_CLOEXEC, 0));
        return w.dir ? ERROR_SUCCESS : ErrnoToWin32(errno);
    }
    constexpr int kStep = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    for (size_t i = 0; i < comps.size(); ++i) {
        // The base's own descriptor is used as it is, not duplicated.
        if (i == 0) {
            w.parentIsBase = true;
        } else {
            w.parent = std::move(w.dir);
            w.parentIsBase = false;
        }
        int from = w.ParentFd(base);
        w.created = false;
        // Each step from the descriptor of the one before, refusing a link.
        // The name as given is tried first; only a miss looks further.
        std::string enc = Component(comps[i]);
        w.dir.reset(openat(from, enc.c_str(), kStep));
        if (w.dir) {
            w.disk = std::move(enc);
        } else if (errno == ENOTDIR || errno == ELOOP) {
            return ERROR_ACCESS_DENIED;  // a link or file in a key's place, as FindChild says
        } else if (errno != ENOENT && errno != ENAMETOOLONG) {
            return ErrnoToWin32(errno);
        } else {
            DWORD rc = FindChild(from, comps[i], w.disk);
            bool made = false;
            if (rc == ERROR_FILE_NOT_FOUND && create) rc = CreateChild(from, comps[i], sa, w.disk, made);
            if (rc != ERROR_SUCCESS) return rc;
            w.created = made;
            w.dir.reset(openat(from, w.disk.c_str(), kStep));
            if (!w.dir) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        }
        w.path += "/" + w.disk;
    }
    return ERROR_SUCCESS;
}

DWORD OpenOrCreate(HKEY base, LPCWSTR sub, REGSAM access, bool create, const SECURITY_ATTRIBUTES* sa,
                   PHKEY result, LPDWORD disposition) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::u16string> comps;
    DWORD rc = SplitPath(sub, comps);
    if (rc != ERROR_SUCCESS) return rc;
    ObjRef<Key> from;
    rc = Resolve(base, from);
    if (rc != ERROR_SUCCESS) return rc;
    Walked w;
    rc = Walk(*from.p, comps, create, sa, w);
    if (rc != ERROR_SUCCESS) return rc;
    ObjRef<Key> key(new Key);
    key->dir = std::move(w.dir);
    key->path = w.path;
    Key* parentKey = nullptr;
    if (comps.empty()) {
        key->disk = from->disk;
        if (from->parentKey != nullptr) parentKey = from->parentKey;
        else if (from->parent) key->parent.reset(fcntl(from->parent.get(), F_DUPFD_CLOEXEC, 0));
    } else {
        key->disk = w.disk;
        if (w.parentIsBase) parentKey = from.p;
        else key->parent = std::move(w.parent);
    }
    if (parentKey != nullptr) {
        AddRef(parentKey);
        key->parentKey = parentKey;
    }
    // Inside a read batch the key is looked at once, here.
    struct stat dirSt;
    bool seen = InReadBatch() && fstat(key->dir.get(), &dirSt) == 0;
    if (seen) SeenInBatch(*key.p, dirSt);
    rc = Grant(key->dir.get(), seen ? &dirSt : nullptr, access, key->access);
    if (rc != ERROR_SUCCESS) return rc;
    AddRef(key.p);
    HANDLE h = NewHandle(key.p);
    if (h == nullptr) return GetLastError();
    *result = reinterpret_cast<HKEY>(h);
    if (disposition != nullptr) *disposition = w.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// Removes an empty key directory (only the key's own files inside) with
// the parent and the key locked, so no subkey or value write slips in.
DWORD RemoveKeyDir(int parentFd, int keyFd, const std::string& disk) {
    NoReadBatch fresh;
    ScopedFd parentLock, keyLock;
    DWORD rc = LockKey(parentFd, parentLock);
    if (rc == ERROR_SUCCESS) rc = LockKey(keyFd, keyLock);
    if (rc != ERROR_SUCCESS) return rc;
    struct stat keySt, entrySt;
    if (fstat(keyFd, &keySt) != 0 || keySt.st_nlink == 0) return ERROR_KEY_DELETED;
    if (fstatat(parentFd, disk.c_str(), &entrySt, AT_SYMLINK_NOFOLLOW) != 0 ||
        entrySt.st_ino != keySt.st_ino || entrySt.st_dev != keySt.st_dev)
        return ERROR_KEY_DELETED;
    int fd = openat(keyFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoToWin32(errno);
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return ErrnoToWin32(errno);
    }
    std::vector<std::string> files;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        if (fstatat(dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        // Subkeys (or anything not ours) keep the key, as Windows refuses to
        // delete a key that has subkeys.
        if (n[0] != '.' || S_ISDIR(st.st_mode)) {
            rc = ERROR_ACCESS_DENIED;
            break;
        }
        files.push_back(n);
    }
    closedir(d);
    if (rc != ERROR_SUCCESS) return rc;
    for (const auto& f : files) {
        if (unlinkat(keyFd, f.c_str(), 0) != 0 && errno != ENOENT) return ErrnoToWin32(errno);
    }
    if (unlinkat(parentFd, disk.c_str(), AT_REMOVEDIR) != 0) return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

void ToFileTime(const struct timespec& ts, FILETIME* ft) {
    if (ft == nullptr) return;
    // 100 ns units since 1601-01-01.
    uint64_t t = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
                 static_cast<uint64_t>(ts.tv_nsec) / 100u;
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

// Copies a name into a caller's buffer of *len characters (terminator
// included); ERROR_MORE_DATA leaves *len alone, as Windows does.
DWORD CopyName(const std::u16string& name, LPWSTR buf, LPDWORD len) {
    if (buf == nullptr || len == nullptr) return ERROR_INVALID_PARAMETER;
    if (*len <= name.size()) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), buf);
    buf[name.size()] = 0;
    *len = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Class names are not kept: every key has the empty class.
DWORD EmptyClass(LPWSTR cls, LPDWORD clsLen) {
    if (cls == nullptr || clsLen == nullptr) {
        if (clsLen != nullptr) *clsLen = 0;
        return ERROR_SUCCESS;
    }
    if (*clsLen == 0) return ERROR_MORE_DATA;
    cls[0] = 0;
    *clsLen = 0;
    return ERROR_SUCCESS;
}

}  // namespace

namespace {
std::atomic<uint64_t> g_keySerial{0};
}  // namespace

Key::Key() : Object(ObjType::Key, &kKeyOps), serial(++g_keySerial) {}

Key::~Key() {
    if (parentKey != nullptr) Release(parentKey);
}

namespace {

void SortLikeWindows(std::vector<Subkey>& subs) {
    std::sort(subs.begin(), subs.end(), [](const Subkey& a, const Subkey& b) {
        int c = lstrcmpiW(a.name.c_str(), b.name.c_str());
        return c != 0 ? c < 0 : lstrcmpW(a.name.c_str(), b.name.c_str()) < 0;
    });
}

}  // namespace

// The subkeys of a key directory, sorted as Windows lists them.
DWORD ListSubkeys(int dirFd, std::vector<Subkey>& out) {
    out.clear();
    int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoToWin32(errno);
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return ErrnoToWin32(errno);
    }
    errno = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir) out.push_back({e->d_name, DecodeName(e->d_name)});
    }
    closedir(d);
    SortLikeWindows(out);
    return ERROR_SUCCESS;
}


namespace {

DWORD CreateKey(HKEY base, LPCWSTR sub, DWORD options, REGSAM access, const SECURITY_ATTRIBUTES* sa, PHKEY result,
                LPDWORD disposition) {
    if (sub == nullptr) return ERROR_INVALID_PARAMETER;
    if ((options & (kOptionVolatile | kOptionCreateLink | kOptionBackupRestore | kOptionOpenLink)) != 0)
        return ERROR_NOT_SUPPORTED;
    if (options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
    return OpenOrCreate(base, sub, access, true, sa, result, disposition);
}

DWORD OpenKey(HKEY base, LPCWSTR sub, DWORD options, REGSAM access, PHKEY result) {
    if ((options & kOptionOpenLink) != 0) return ERROR_NOT_SUPPORTED;
    return OpenOrCreate(base, sub, access, false, nullptr, result, nullptr);
}

DWORD CloseKey(HKEY h) {
    if (IsPredefined(h)) return ERROR_SUCCESS;
    Object* o = TakeHandle(reinterpret_cast<HANDLE>(h), ObjType::Key);
    if (o == nullptr) return ERROR_INVALID_HANDLE;
    NotifyHandleClosed(h);
    Release(o);
    return ERROR_SUCCESS;
}

DWORD QueryValue(HKEY h, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    struct stat dirSt;
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_QUERY_VALUE, &dirSt);
    if (rc != ERROR_SUCCESS) return rc;
    ValueList values;
    rc = CachedValues(*key.p, dirSt, values);
    if (rc != ERROR_SUCCESS) return rc;
    long i = FindValue(*values, name == nullptr ? u"" : name);
    if (i < 0) return ERROR_FILE_NOT_FOUND;
    const Value& v = (*values)[static_cast<size_t>(i)];
    if (type != nullptr) *type = v.type;
    if (size == nullptr) return ERROR_SUCCESS;
    DWORD need = static_cast<DWORD>(v.data.size());
    if (data != nullptr && *size < need) {
        *size = need;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) std::copy(v.data.begin(), v.data.end(), data);
    *size = need;
    return ERROR_SUCCESS;
}

DWORD SetValue(HKEY h, LPCWSTR name, DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr && size != 0) return ERROR_NOACCESS;
    std::u16string n = name == nullptr ? u"" : name;
    if (n.size() > kMaxValueName || !ValidName(n)) return ERROR_INVALID_PARAMETER;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS) return rc;
    std::string bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
    return UpdateValues(*key.p, [&](std::vector<Value>& values) -> DWORD {
        long i = FindValue(values, n);
        if (i >= 0) {
            // The first spelling of the name and its place stay.
            values[static_cast<size_t>(i)].type = type;
            values[static_cast<size_t>(i)].data = std::move(bytes);
        } else {
            values.push_back(Value{n, type, std::move(bytes)});
        }
        return ERROR_SUCCESS;
    });
}

DWORD SetValues(HKEY h, const PalRegValue* given, DWORD count) {
    if (given == nullptr && count != 0) return ERROR_INVALID_PARAMETER;
    std::vector<Value> edits(count);
    for (DWORD i = 0; i < count; ++i) {
        const PalRegValue& g = given[i];
        if (!g.remove && g.data == nullptr && g.size != 0) return ERROR_NOACCESS;
        edits[i].name = g.name == nullptr ? u"" : g.name;
        if (edits[i].name.size() > kMaxValueName || !ValidName(edits[i].name)) return ERROR_INVALID_PARAMETER;
        edits[i].type = g.type;
        if (!g.remove) edits[i].data.assign(reinterpret_cast<const char*>(g.data), g.data == nullptr ? 0 : g.size);
    }
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS) return rc;
    return UpdateValues(*key.p, [&](std::vector<Value>& values) -> DWORD {
        for (DWORD e = 0; e < count; ++e) {
            long i = FindValue(values, edits[e].name);
            if (given[e].remove) {
                if (i >= 0) values.erase(values.begin() + i);
            } else if (i >= 0) {
                values[static_cast<size_t>(i)].type = edits[e].type;
                values[static_cast<size_t>(i)].data = std::move(edits[e].data);
            } else {
                values.push_back(std::move(edits[e]));
            }
        }
        return ERROR_SUCCESS;
    });
}

DWORD DeleteValue(HKEY h, LPCWSTR name) {
    std::u16string n = name == nullptr ? u"" : name;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS) return rc;
    return UpdateValues(*key.p, [&](std::vector<Value>& values) -> DWORD {
        long i = FindValue(values, n);
        if (i < 0) return ERROR_FILE_NOT_FOUND;
        values.erase(values.begin() + i);
        return ERROR_SUCCESS;
    });
}

DWORD DeleteKey(HKEY h, LPCWSTR sub) {
    if (sub == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> comps;
    DWORD rc = SplitPath(sub, comps);
    if (rc != ERROR_SUCCESS) return rc;
    ObjRef<Key> base;
    rc = Resolve(h, base);
    if (rc != ERROR_SUCCESS) return rc;
    if (comps.empty()) {
        // The key itself, in the parent it was opened in.
        if (IsPredefined(h) || base->ParentFd() < 0) return ERROR_ACCESS_DENIED;
        if (IsDeleted(*base.p)) return ERROR_KEY_DELETED;
        if (!Allowed(base->dir.get(), W_OK | X_OK)) return ERROR_ACCESS_DENIED;
        return RemoveKeyDir(base->ParentFd(), base->dir.get(), base->disk);
    }
    Walked w;
    rc = Walk(*base.p, comps, false, nullptr, w);
    if (rc != ERROR_SUCCESS) return rc;
    // DELETE is a right on the key itself, as in its security descriptor.
    if (!Allowed(w.dir.get(), W_OK | X_OK)) return ERROR_ACCESS_DENIED;
    return RemoveKeyDir(w.ParentFd(*base.p), w.dir.get(), w.disk);
}

DWORD EnumKey(HKEY h, DWORD index, LPWSTR name, LPDWORD nameLen, LPDWORD reserved, LPWSTR cls, LPDWORD clsLen,
              FILETIME* lastWrite) {
    if (reserved != nullptr || name == nullptr || nameLen == nullptr) return ERROR_INVALID_PARAMETER;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    struct stat dirSt;
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_ENUMERATE_SUB_KEYS, &dirSt);
    if (rc != ERROR_SUCCESS) return rc;
    SubkeyList subs;
    rc = CachedSubkeys(key->dir.get(), dirSt, subs);
    if (rc != ERROR_SUCCESS) return rc;
    if (index >= subs->size()) return ERROR_NO_MORE_ITEMS;
    const Subkey& s = (*subs)[index];
    rc = CopyName(s.name, name, nameLen);
    if (rc != ERROR_SUCCESS) return rc;
    rc = EmptyClass(cls, clsLen);
    if (rc != ERROR_SUCCESS) return rc;
    if (lastWrite != nullptr) {
        struct stat st;
        if (fstatat(key->dir.get(), s.disk.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrnoToWin32(errno);
        ToFileTime(st.st_mtim, lastWrite);
    }
    return ERROR_SUCCESS;
}

DWORD EnumValue(HKEY h, DWORD index, LPWSTR name, LPDWORD nameLen, LPDWORD reserved, LPDWORD type, LPBYTE data,
                LPDWORD dataLen) {
    if (reserved != nullptr || name == nullptr || nameLen == nullptr || (data != nullptr && dataLen == nullptr))
        return ERROR_INVALID_PARAMETER;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    struct stat dirSt;
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_QUERY_VALUE, &dirSt);
    if (rc != ERROR_SUCCESS) return rc;
    ValueList values;
    rc = CachedValues(*key.p, dirSt, values);
    if (rc != ERROR_SUCCESS) return rc;
    if (index >= values->size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = (*values)[index];
    rc = CopyName(v.name, name, nameLen);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != nullptr) *type = v.type;
    if (dataLen != nullptr) {
        DWORD need = static_cast<DWORD>(v.data.size());
        if (data != nullptr && *dataLen < need) {
            *dataLen = need;
            return ERROR_MORE_DATA;
        }
        if (data != nullptr) std::copy(v.data.begin(), v.data.end(), data);
        *dataLen = need;
    }
    return ERROR_SUCCESS;
}

DWORD QueryInfo(HKEY h, LPWSTR cls, LPDWORD clsLen, LPDWORD reserved, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                LPDWORD securityDescriptorLen, FILETIME* lastWrite) {
    if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    struct stat st;
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_QUERY_VALUE, &st);
    if (rc != ERROR_SUCCESS) return rc;
    static const std::vector<Value> kNoValues;
    static const std::vector<Subkey> kNoSubkeys;
    ValueList valueList;
    if (values != nullptr || maxValueNameLen != nullptr || maxValueLen != nullptr) {
        rc = CachedValues(*key.p, st, valueList);
        if (rc != ERROR_SUCCESS) return rc;
    }
    SubkeyList subkeyList;
    if (subKeys != nullptr || maxSubKeyLen != nullptr) {
        rc = CachedSubkeys(key->dir.get(), st, subkeyList);
        if (rc != ERROR_SUCCESS) return rc;
    }
    const std::vector<Value>& list = valueList ? *valueList : kNoValues;
    const std::vector<Subkey>& subs = subkeyList ? *subkeyList : kNoSubkeys;
    rc = EmptyClass(cls, clsLen);
    if (rc != ERROR_SUCCESS) return rc;
    size_t maxSub = 0, maxName = 0, maxData = 0;
    for (const auto& s : subs) maxSub = std::max(maxSub, s.name.size());
    for (const auto& v : list) {
        maxName = std::max(maxName, v.name.size());
        maxData = std::max(maxData, v.data.size());
    }
    if (subKeys != nullptr) *subKeys = static_cast<DWORD>(subs.size());
    if (maxSubKeyLen != nullptr) *maxSubKeyLen = static_cast<DWORD>(maxSub);
    if (maxClassLen != nullptr) *maxClassLen = 0;
    if (values != nullptr) *values = static_cast<DWORD>(list.size());
    if (maxValueNameLen != nullptr) *maxValueNameLen = static_cast<DWORD>(maxName);
    if (maxValueLen != nullptr) *maxValueLen = static_cast<DWORD>(maxData);
    if (securityDescriptorLen != nullptr) *securityDescriptorLen = 0;
    ToFileTime(st.st_mtim, lastWrite);
    return ERROR_SUCCESS;
}

DWORD NotifyChange(HKEY h, BOOL subtree, DWORD filter, HANDLE event, BOOL asynchronous) {
    DWORD kinds = filter & ~kNotifyThreadAgnostic;
    if (kinds == 0 || (kinds & ~0xFu) != 0) return ERROR_INVALID_PARAMETER;
    if (asynchronous && event == nullptr) return ERROR_INVALID_PARAMETER;
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    if (rc == ERROR_SUCCESS) rc = Need(*key.p, KEY_NOTIFY);
    if (rc != ERROR_SUCCESS) return rc;
    HANDLE own = nullptr;
    if (!asynchronous) {
        own = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (own == nullptr) return GetLastError();
        event = own;
    } else {
        ObjRef<Object> ev(LookupHandle(event, ObjType::Event));
        if (!ev) return ERROR_INVALID_HANDLE;
    }
    // The registration keeps the event alive even if the caller closes it.
    HANDLE dup = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        rc = GetLastError();
    } else {
        uint64_t id = 0;
        rc = NotifyRegister(h, *key.p, subtree != FALSE, kinds, dup, id);
        // A close of the handle that ran before the registration existed
        // could not end it: look again now that it does.
        if (rc == ERROR_SUCCESS && !IsPredefined(h)) {
            ObjRef<Object> now(LookupHandle(reinterpret_cast<HANDLE>(h), ObjType::Key));
            if (now.p != key.p) NotifyCancel(id);
        }
    }
    if (own != nullptr) {
        if (rc == ERROR_SUCCESS) WaitForSingleObject(own, INFINITE);
        CloseHandle(own);
    }
    return rc;
}

DWORD FlushKey(HKEY h) {
    ObjRef<Key> key;
    DWORD rc = Resolve(h, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (IsDeleted(*key.p)) return ERROR_KEY_DELETED;
    // Values are synced when written; this makes new subkeys durable too.
    ScopedFd fd(openat(key->dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd && fsync(fd.get()) != 0) return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace pal::reg

// Note: security attributes become the new keys' owner, group and mode; the class is not kept;
// volatile and link options give ERROR_NOT_SUPPORTED; a name too long for a Linux file name
// gives ERROR_FILENAME_EXCED_RANGE; a file or link in a key's place gives ERROR_ACCESS_DENIED;
// a parent whose write lock stays held 5 s gives ERROR_TIMEOUT.
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD options, REGSAM access,
                     const SECURITY_ATTRIBUTES* sa, PHKEY result, LPDWORD disposition) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::CreateKey(key, subKey, options, access, sa, result, disposition));
}

// Note: only HKEY_LOCAL_MACHINE exists (other predefined keys give ERROR_FILE_NOT_FOUND);
// REG_OPTION_OPEN_LINK gives ERROR_NOT_SUPPORTED; a file or link in a key's place gives
// ERROR_ACCESS_DENIED.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::OpenKey(key, subKey, options, access, result));
}

LONG RegCloseKey(HKEY key) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::CloseKey(key));
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::QueryValue(key, name, reserved, type, data, size));
}

// Note: a name that is not well-formed UTF-16 (a lone surrogate) gives ERROR_INVALID_PARAMETER;
// a key whose write lock stays held 5 s gives ERROR_TIMEOUT.
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::SetValue(key, name, type, data, size));
}

// Note: a key whose write lock stays held 5 s gives ERROR_TIMEOUT.
LONG PalRegSetValues(HKEY key, const PalRegValue* values, DWORD count) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::SetValues(key, values, count));
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::DeleteValue(key, name));
}

// Note: removing the key's directory also needs write access to its parent's directory; a write
// lock (the key's or its parent's) that stays held 5 s gives ERROR_TIMEOUT.
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::DeleteKey(key, subKey));
}

// Note: the last write time is the directory's mtime; the class is always empty.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLen, LPDWORD reserved, LPWSTR cls,
                   LPDWORD clsLen, FILETIME* lastWrite) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::EnumKey(key, index, name, nameLen, reserved, cls, clsLen, lastWrite));
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLen, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataLen) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::EnumValue(key, index, name, nameLen, reserved, type, data, dataLen));
}

// Note: the class is empty, the security descriptor length 0 and the time the directory's mtime.
LONG RegQueryInfoKeyW(HKEY key, LPWSTR cls, LPDWORD clsLen, LPDWORD reserved, LPDWORD subKeys,
                      LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen,
                      LPDWORD maxValueLen, LPDWORD securityDescriptorLen, FILETIME* lastWrite) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::QueryInfo(key, cls, clsLen, reserved, subKeys, maxSubKeyLen, maxClassLen,
                                                 values, maxValueNameLen, maxValueLen, securityDescriptorLen,
                                                 lastWrite));
}

// Note: a registration ends with its key handle, not with the registering thread; ATTRIBUTES
// and SECURITY are one change (chmod/chown); an inotify overflow signals every registration.
LONG RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::NotifyChange(key, watchSubtree, filter, event, asynchronous));
}

LONG RegFlushKey(HKEY key) {
    pal::reg::KeepLastError keep;
    return static_cast<LONG>(pal::reg::FlushKey(key));
}
