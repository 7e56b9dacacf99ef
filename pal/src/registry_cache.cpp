// The registry's read cache: decoded `.values` and sorted subkey lists kept
// in memory per key directory, so that reading a key costs a few system calls
// instead of a file read and a JSON decode (or a directory listing and a sort).
//
// It stays true through inotify: every key directory read through it is
// watched (one inotify descriptor per process, no thread), and every lookup
// first drains the queue. The kernel queues an event before the call that
// changed the directory returns, so a change made by anyone (this process,
// another one, a hand edit) before a read starts is seen by that read.
// An entry read while a change came in is not kept. `.values` replaced,
// written, removed or given new attributes ends the values entry; a subkey
// made, removed or renamed ends the list; anything on the directory itself or
// a lost event (queue overflow) ends both. Access is still checked on every
// read as the calling thread, so a hit answers exactly what a read would.
// Without inotify (no descriptor, no watch left, no /proc) reads go to disk.
//
// A read batch (PalRegBeginReads) makes a thread's reads one read: the queue
// is drained once, at the batch's first lookup, and a directory the thread
// passed an access check on, unchanged since (no event on it), under the same
// filesystem identity (read once per batch), is not checked again. So a
// reload of a whole rule list costs about one system call per rule key.
// Known gap: writes through a shared mapping of `.values` are not reported by
// the kernel and are seen only with the next change of the key.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "internal/inotify.h"
#include "internal/registry_store.h"
#include "pal/error.h"

namespace pal::reg {
namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Directories watched at most; beyond them reads go to disk.
constexpr size_t kMaxDirs = 65536;

struct DirId {
    dev_t dev;
    ino_t ino;
    bool operator==(const DirId& o) const { return dev == o.dev && ino == o.ino; }
};
struct DirIdHash {
    size_t operator()(const DirId& d) const { return std::hash<uint64_t>()(d.ino * 31u + d.dev); }
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// One watched key directory. The counters move with every change seen; an
// entry is good while the counter it was read at is still the current one.
struct Dir {
    DirId id{};
    uint64_t valuesChanges = 0;
    uint64_t subkeysChanges = 0;
    ValueList values;
    uint64_t valuesAt = 0;
    SubkeyList subkeys;
    uint64_t subkeysAt = 0;
    struct stat subkeysDir{};  // the directory as the list was read
    // Access checks one identity passed while both counters were these.
    uint32_t memoIdentity = 0;
    uint64_t memoValuesAt = 0;
    uint64_t memoSubkeysAt = 0;
    uint32_t memoPassed = 0;  // bit mode, plus 8 for `.values`
};

// A thread's filesystem identity, as access checks see it.
struct Identity {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<gid_t> groups;
    bool operator==(const Identity& o) const { return uid == o.uid && gid == o.gid && groups == o.groups; }
};

class Cache {
public:
    Cache() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    bool Usable() const { return static_cast<bool>(fd_); }

    // Under mu_: the drained state of the directory held by `dirFd`, watched
    // from now on; null when it cannot be watched.
    Dir* Find(const struct stat& dirSt, int dirFd, bool watch);

    std::mutex mu_;
    void Drain();
    // Under mu_: a small number for `who`, the same for the same identity.
    uint32_t Intern(const Identity& who);

private:
    void Handle(const struct inotify_event& e);

    ScopedFd fd_;
    std::unordered_map<int, Dir> byWd_;
    std::unordered_map<DirId, int, DirIdHash> wdOf_;
    std::vector<Identity> identities_;
};

uint32_t Cache::Intern(const Identity& who) {
    for (size_t i = 0; i < identities_.size(); ++i)
        if (identities_[i] == who) return static_cast<uint32_t>(i + 1);
    // Impersonated clients are few; past this many nothing is remembered.
    if (identities_.size() >= 1024) return 0;
    identities_.push_back(who);
    return static_cast<uint32_t>(identities_.size());
}

void Cache::Drain() {
    DrainInotify(fd_.get(), [this](const struct inotify_event& e) { Handle(e); });
}

void Cache::Handle(const struct inotify_event& e) {
    if ((e.mask & IN_Q_OVERFLOW) != 0) {
        for (auto& [wd, d] : byWd_) {
            ++d.valuesChanges;
            ++d.subkeysChanges;
        }
        return;
    }
    auto it = byWd_.find(e.wd);
    if (it == byWd_.end()) return;
    Dir& d = it->second;
    if ((e.mask & IN_IGNORED) != 0) {
        // The watch is gone (the directory was removed): so is the entry.
        auto p = wdOf_.find(d.id);
        if (p != wdOf_.end() && p->second == e.wd) wdOf_.erase(p);
        byWd_.erase(it);
        return;
    }
    const char* name = e.len > 0 ? e.name : "";
    if (name[0] == 0) {
        ++d.valuesChanges;
        ++d.subkeysChanges;
    } else if (strcmp(name, ".values") == 0) {
        ++d.valuesChanges;
    } else if (name[0] != '.') {
        // Key entries never start with '.': the rest are the key's own files.
        ++d.subkeysChanges;
    }
}

Dir* Cache::Find(const struct stat& dirSt, int dirFd, bool watch) {
    DirId id{dirSt.st_dev, dirSt.st_ino};
    auto at = wdOf_.find(id);
    if (at != wdOf_.end()) {
        auto it = byWd_.find(at->second);
        if (it != byWd_.end()) return &it->second;
        wdOf_.erase(at);
    }
    if (!watch || byWd_.size() >= kMaxDirs) return nullptr;
    // The descriptor's /proc name reaches exactly the directory we hold.
    char path[40];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", dirFd);
    int wd = inotify_add_watch(fd_.get(), path, kWatchMask);
    if (wd < 0) return nullptr;
    Dir& d = byWd_[wd];
    if (!(d.id == id)) {
        auto old = wdOf_.find(d.id);
        if (old != wdOf_.end() && old->second == wd) wdOf_.erase(old);
        d = Dir{};
        d.id = id;
    }
    wdOf_[id] = wd;
    return &d;
}

std::atomic<Cache*> g_cache{nullptr};

// A child made by fork shares the parent's inotify queue: reading it would
// take the parent's events. The child starts a cache of its own instead (the
// parent's stays untouched in its memory).
void ForgetAfterFork() { g_cache.store(nullptr, std::memory_order_relaxed); }

Cache* TheCache() {
    Cache* c = g_cache.load(std::memory_order_acquire);
    if (c != nullptr) return c->Usable() ? c : nullptr;
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, ForgetAfterFork); });
    auto* made = new Cache;
    Cache* expected = nullptr;
    if (!g_cache.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        delete made;
        made = expected;
    }
    return made->Usable() ? made : nullptr;
}

// The calling thread's read batch.
struct ReadBatch {
    int depth = 0;
    int suspended = 0;
    Cache* drainedIn = nullptr;  // the cache whose queue this batch drained
    Cache* identityIn = nullptr; // the cache `identity` belongs to
    uint32_t identity = 0;       // 0: not read (or not rememberable)
    // Keys looked at in the batch, with their directory's fstat: a reload
    // opens a key and reads it at once, so a few suffice.
    struct Seen {
        uint64_t serial = 0;
        uint64_t used = 0;  // the least recently used goes first
        struct stat st{};
    };
    Seen seen[8];
    uint64_t uses = 0;
};
thread_local ReadBatch t_batch;

bool Batching() { return t_batch.depth > 0 && t_batch.suspended == 0; }

// Under c->mu_: drains the queue, once per batch inside one.
void DrainForRead(Cache* c) {
    if (Batching() && t_batch.drainedIn == c) return;
    c->Drain();
    if (Batching()) t_batch.drainedIn = c;
}

// Under c->mu_: the batch's identity, read at its first access check.
uint32_t BatchIdentity(Cache* c) {
    if (t_batch.identityIn == c) return t_batch.identity;
    Identity who;
    // An invalid id makes setfsuid/setfsgid report the current one.
    who.uid = static_cast<uint32_t>(syscall(SYS_setfsuid, -1));
    who.gid = static_cast<uint32_t>(syscall(SYS_setfsgid, -1));
    long n = syscall(SYS_getgroups, 0, nullptr);
    bool known = n >= 0;
    if (n > 0) {
        who.groups.resize(static_cast<size_t>(n));
        long got = syscall(SYS_getgroups, n, who.groups.data());
        known = got == n;
        std::sort(who.groups.begin(), who.groups.end());
    }
    t_batch.identityIn = c;
    t_batch.identity = known ? c->Intern(who) : 0;
    return t_batch.identity;
}

}  // namespace

bool InReadBatch() { return Batching(); }

NoReadBatch::NoReadBatch() { ++t_batch.suspended; }
NoReadBatch::~NoReadBatch() { --t_batch.suspended; }

int StatKey(const Key& key, struct stat& st) {
    if (Batching()) {
        for (auto& s : t_batch.seen) {
            if (s.serial == key.serial) {
                s.used = ++t_batch.uses;
                st = s.st;
                return 0;
            }
        }
    }
    if (fstat(key.dir.get(), &st) != 0) return -1;
    SeenInBatch(key, st);
    return 0;
}

void SeenInBatch(const Key& key, const struct stat& st) {
    if (!Batching()) return;
    ReadBatch::Seen* slot = &t_batch.seen[0];
    for (auto& s : t_batch.seen)
        if (s.used < slot->used) slot = &s;
    slot->serial = key.serial;
    slot->used = ++t_batch.uses;
    slot->st = st;
}

bool AccessAllowed(int dirFd, const struct stat& dirSt, const char* name, int mode) {
    bool values = name[0] == '.' && name[1] != 0;
    int flags = AT_EACCESS | (values ? AT_SYMLINK_NOFOLLOW : 0);
    Cache* c = Batching() ? TheCache() : nullptr;
    if (c == nullptr) return faccessat(dirFd, name, mode, flags) == 0;
    uint32_t bit = 1u << (static_cast<unsigned>(mode & 7) + (values ? 8u : 0u));
    uint32_t who = 0;
    uint64_t valuesAt = 0, subkeysAt = 0;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(c->mu_);
        DrainForRead(c);
        who = BatchIdentity(c);
        Dir* d = who != 0 ? c->Find(dirSt, dirFd, true) : nullptr;
        if (d != nullptr) {
            known = true;
            valuesAt = d->valuesChanges;
            subkeysAt = d->subkeysChanges;
            if (d->memoIdentity == who && d->memoValuesAt == valuesAt && d->memoSubkeysAt == subkeysAt &&
                (d->memoPassed & bit) != 0)
                return true;
        }
    }
    bool ok = faccessat(dirFd, name, mode, flags) == 0;
    if (!ok || !known) return ok;
    int saved = errno;
    std::lock_guard<std::mutex> lock(c->mu_);
    Dir* d = c->Find(dirSt, dirFd, false);
    // Kept only when nothing changed the directory while it was checked.
    if (d != nullptr && d->valuesChanges == valuesAt && d->subkeysChanges == subkeysAt) {
        if (d->memoIdentity != who || d->memoValuesAt != valuesAt || d->memoSubkeysAt != subkeysAt) {
            d->memoIdentity = who;
            d->memoValuesAt = valuesAt;
            d->memoSubkeysAt = subkeysAt;
            d->memoPassed = 0;
        }
        d->memoPassed |= bit;
    }
    errno = saved;
    return ok;
}

DWORD CachedValues(const Key& key, const struct stat& dirSt, ValueList& out) {
    out.reset();
    Cache* c = TheCache();
    uint64_t readAt = 0;
    bool keep = false;
    if (c != nullptr) {
        ValueList hit;
        {
            std::lock_guard<std::mutex> lock(c->mu_);
            DrainForRead(c);
            Dir* d = c->Find(dirSt, key.dir.get(), true);
            if (d != nullptr) {
                keep = true;
                readAt = d->valuesChanges;
                if (d->values && d->valuesAt == d->valuesChanges) hit = d->values;
            }
        }
        // The caller's own read access, as an open would check it; anything
        // unusual goes the long way for its exact error.
        if (hit && AccessAllowed(key.dir.get(), dirSt, ".values", R_OK)) {
            out = std::move(hit);
            return ERROR_SUCCESS;
        }
    }
    std::vector<Value> values;
    DWORD rc = LoadValues(key, values);
    if (rc != ERROR_SUCCESS) return rc;
    auto list = std::make_shared<const std::vector<Value>>(std::move(values));
    if (keep) {
        std::lock_guard<std::mutex> lock(c->mu_);
        c->Drain();
        Dir* d = c->Find(dirSt, key.dir.get(), false);
        if (d != nullptr && d->valuesChanges == readAt) {
            d->values = list;
            d->valuesAt = readAt;
        }
    }
    out = std::move(list);
    return ERROR_SUCCESS;
}

DWORD CachedSubkeys(int dirFd, const struct stat& dirSt, SubkeyList& out) {
    out.reset();
    Cache* c = TheCache();
    uint64_t readAt = 0;
    bool keep = false;
    if (c != nullptr) {
        SubkeyList hit;
        {
            std::lock_guard<std::mutex> lock(c->mu_);
            DrainForRead(c);
            Dir* d = c->Find(dirSt, dirFd, true);
            if (d != nullptr) {
                keep = true;
                readAt = d->subkeysChanges;
                const struct stat& was = d->subkeysDir;
                if (d->subkeys && d->subkeysAt == d->subkeysChanges && was.st_nlink == dirSt.st_nlink &&
                    SameTime(was.st_mtim, dirSt.st_mtim) && SameTime(was.st_ctim, dirSt.st_ctim))
                    hit = d->subkeys;
            }
        }
        if (hit && AccessAllowed(dirFd, dirSt, ".", R_OK)) {
            out = std::move(hit);
            return ERROR_SUCCESS;
        }
    }
    std::vector<Subkey> subs;
    DWORD rc = ListSubkeys(dirFd, subs);
    if (rc != ERROR_SUCCESS) return rc;
    auto list = std::make_shared<const std::vector<Subkey>>(std::move(subs));
    if (keep) {
        std::lock_guard<std::mutex> lock(c->mu_);
        c->Drain();
        Dir* d = c->Find(dirSt, dirFd, false);
        if (d != nullptr && d->subkeysChanges == readAt) {
            d->subkeys = list;
            d->subkeysAt = readAt;
            d->subkeysDir = dirSt;
        }
    }
    out = std::move(list);
    return ERROR_SUCCESS;
}

}  // namespace pal::reg

// Note: not in Win32. Batches nest; a batch is the calling thread's only.
void PalRegBeginReads() {
    if (pal::reg::t_batch.depth++ > 0) return;
    pal::reg::t_batch.drainedIn = nullptr;
    pal::reg::t_batch.identityIn = nullptr;
    pal::reg::t_batch.identity = 0;
    for (auto& s : pal::reg::t_batch.seen) s = pal::reg::ReadBatch::Seen{};
}

void PalRegEndReads() {
    if (pal::reg::t_batch.depth > 0) --pal::reg::t_batch.depth;
}
