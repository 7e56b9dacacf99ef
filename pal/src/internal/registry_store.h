// Internals of the registry shared by its files: key objects, the `.values`
// codec and store, and the change-notification watcher.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "internal/object.h"
#include "internal/sys.h"
#include "pal/registry.h"

namespace pal::reg {

// An open key: its directory, held by an O_PATH descriptor so that the handle
// keeps naming the same key even if another key later takes its name.
struct Key : Object {
    Key();
    ~Key();
    ScopedFd dir;
    // The parent key's directory: the key it was opened from when that is its
    // parent (referenced, so opening a subkey costs no descriptor), else an
    // O_PATH descriptor of its own; neither for a root.
    Key* parentKey = nullptr;
    ScopedFd parent;
    std::string disk;  // the key's entry name in its parent
    std::string path;  // absolute path of the directory, for watches only
    REGSAM access = 0; // rights granted at open
    const uint64_t serial;  // never reused, unlike the object's address
    int ParentFd() const { return parentKey != nullptr ? parentKey->dir.get() : parent.get(); }
};

// One value as stored.
struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;  // the exact bytes
};

// One subkey of a key directory.
struct Subkey {
    std::string disk;     // directory entry name
    std::u16string name;  // decoded key name
};

// `.values` text for a list of values: a JSON array, one object per value, in
// natural form where the bytes allow it exactly and as hex otherwise.
std::string EncodeValues(const std::vector<Value>& values);
// Parses `.values` text; ERROR_BADDB for anything but a well-formed file.
DWORD DecodeValues(std::string_view text, std::vector<Value>& out);
// Index of the value with that name (case-insensitive), or -1.
long FindValue(const std::vector<Value>& values, std::u16string_view name);

// True once the key's directory has been removed.
bool IsDeleted(const Key& key);
// Takes a key's write lock: an exclusive flock of `.lock` in the key directory
// `keyFd`, a file only those who may write the key can open (made on first
// use), waited for at most kKeyLockMs. ERROR_TIMEOUT when someone holds it
// that long; ERROR_ACCESS_DENIED for a caller who may not write the key.
constexpr unsigned kKeyLockMs = 5000;
DWORD LockKey(int keyFd, ScopedFd& lock);
// Reads the key's values from disk (no lock: rewrites replace the file atomically).
DWORD LoadValues(const Key& key, std::vector<Value>& out);
// The subkeys of a key directory from disk, sorted as Windows lists them.
DWORD ListSubkeys(int dirFd, std::vector<Subkey>& out);

// The read cache (registry_cache.cpp): what LoadValues and ListSubkeys would
// give, from memory while nothing changed the key directory since it was
// read there. `dirSt` is the directory's fstat, taken by the caller just
// before. Lists are shared and never change.
using ValueList = std::shared_ptr<const std::vector<Value>>;
using SubkeyList = std::shared_ptr<const std::vector<Subkey>>;
DWORD CachedValues(const Key& key, const struct stat& dirSt, ValueList& out);
DWORD CachedSubkeys(int dirFd, const struct stat& dirSt, SubkeyList& out);

// Read batches (PalRegBeginReads): while the calling thread has one open,
// the change queue is read once, at its first lookup; a key's directory is
// looked at (fstat) once; and an access check the same identity passed on
// the same directory, unchanged since, is not made again. Writes suspend it
// (NoReadBatch), so a read-modify-write always starts from the newest state.
// The directory's fstat, from the batch when the key was seen in it.
int StatKey(const Key& key, struct stat& st);
// Records a key opened in the batch with its directory's fstat.
void SeenInBatch(const Key& key, const struct stat& st);
// True inside an open batch that is not suspended.
bool InReadBatch();
// faccessat(dirFd, name, mode, AT_EACCESS | AT_SYMLINK_NOFOLLOW) as the
// calling thread, `name` being "." or ".values"; `dirSt` is the directory's
// fstat. Inside a batch a yes is remembered for the thread's identity.
bool AccessAllowed(int dirFd, const struct stat& dirSt, const char* name, int mode);
class NoReadBatch {
public:
    NoReadBatch();
    ~NoReadBatch();
    NoReadBatch(const NoReadBatch&) = delete;
    NoReadBatch& operator=(const NoReadBatch&) = delete;
};
// Read-modify-write of the key's values under the key's write lock. `edit`
// changes the list and returns a Win32 error; the file is rewritten only
// when it returns ERROR_SUCCESS.
template <typename Edit>
DWORD UpdateValues(const Key& key, Edit edit);
DWORD UpdateValuesImpl(const Key& key, DWORD (*edit)(std::vector<Value>&, void*), void* ctx);

template <typename Edit>
DWORD UpdateValues(const Key& key, Edit edit) {
    return UpdateValuesImpl(
        key, [](std::vector<Value>& v, void* ctx) -> DWORD { return (*static_cast<Edit*>(ctx))(v); }, &edit);
}

// Change notification (registry_notify.cpp).
// Registers a one-shot notification for `handle` (which names `key`) and
// returns once every change after the call will be seen. `event` is a
// private duplicate that the registration owns and closes in every case.
DWORD NotifyRegister(HKEY handle, const Key& key, bool subtree, DWORD filter, HANDLE event, uint64_t& id);
// Signals and ends one registration if it is still pending.
void NotifyCancel(uint64_t id);
// Signals and ends every registration made through `handle` (RegCloseKey).
void NotifyHandleClosed(HKEY handle);

}  // namespace pal::reg
