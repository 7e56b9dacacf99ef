// RegNotifyChangeKeyValue by inotify: one inotify descriptor and one watcher
// thread per process, started on first use.
//
// Every registration watches its key's directory, and with a subtree every
// directory below it; directories that appear later are watched as their
// creation is seen, and their contents (necessarily newer than the
// registration) count as changes. A registration takes effect only after the
// watcher has drained the events already queued, so a change made before the
// call never fires it, and every change after the call returns does.
// Mapping: REG_NOTIFY_CHANGE_NAME = a subdirectory created, removed or moved;
// LAST_SET = `.values` replaced, written or removed; ATTRIBUTES and SECURITY =
// the key directory's own metadata (chmod, chown). Registrations are one-shot.
// Known gaps: a queue overflow signals every pending registration; a process
// forked without exec has no watcher.
#include <cerrno>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "internal/inotify.h"
#include "internal/registry_store.h"
#include "pal/error.h"
#include "pal/sync.h"

namespace pal::reg {
namespace {

constexpr DWORD kNameChange = REG_NOTIFY_CHANGE_NAME;
constexpr DWORD kValueChange = REG_NOTIFY_CHANGE_LAST_SET;
constexpr DWORD kAttributeChange = REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_SECURITY;
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

struct Registration {
    uint64_t id = 0;
    std::string path;
    bool subtree = false;
    DWORD filter = 0;
    HANDLE event = nullptr;  // private duplicate, closed when the registration ends
    HKEY handle = nullptr;
};

struct Request {
    Registration* reg;
    DWORD result = ERROR_SUCCESS;
    bool done = false;
};

bool Below(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

class Watcher {
public:
    DWORD Register(Registration* reg, uint64_t& id);
    void CancelHandle(HKEY h);
    void CancelId(uint64_t id);

private:
    DWORD StartLocked();
    static void* ThreadMain(void* self);
    void Loop();
    void Drain();
    void Handle(const struct inotify_event& e);
    void Fire(const std::string& path, DWORD what);
    void FireGone(const std::string& path);
    void End(size_t index);
    bool Needed(const std::string& path) const;
    bool SubtreeCovers(const std::string& path) const;
    int AddWatch(const std::string& path);
    void AddTree(const std::string& path, bool fresh);
    DWORD Setup(const Registration& reg);
    void Rescan();
    void Collect();

    // Everything below is guarded by mu_; the watcher thread holds it while
    // it works and releases it only to wait.
    std::mutex mu_;
    std::condition_variable done_;
    bool started_ = false;
    ScopedFd inotify_;
    ScopedFd wake_;
    uint64_t nextId_ = 1;
    std::vector<Registration*> regs_;
    std::vector<Request*> requests_;
    std::unordered_map<int, std::string> pathOf_;
    std::unordered_map<std::string, int> wdOf_;
    bool collect_ = false;  // registrations ended: drop watches nobody needs
    bool rescan_ = false;   // directories moved: paths of watches may be stale
};

Watcher& TheWatcher() {
    static Watcher* w = new Watcher;  // lives as long as its thread
    return *w;
}

DWORD Watcher::StartLocked() {
    if (started_) return ERROR_SUCCESS;
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_) return ErrnoToWin32(errno);
    wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) return ErrnoToWin32(errno);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&t, &attr, ThreadMain, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) return ErrnoToWin32(rc);
    started_ = true;
    return ERROR_SUCCESS;
}

void* Watcher::ThreadMain(void* self) {
    static_cast<Watcher*>(self)->Loop();
    return nullptr;
}

DWORD Watcher::Register(Registration* reg, uint64_t& id) {
    Request req{reg};
    std::unique_lock<std::mutex> lock(mu_);
    DWORD rc = StartLocked();
    if (rc != ERROR_SUCCESS) {
        CloseHandle(reg->event);
        delete reg;
        return rc;
    }
    reg->id = id = nextId_++;
    requests_.push_back(&req);
    uint64_t one = 1;
    ssize_t n = write(wake_.get(), &one, sizeof(one));
    (void)n;
    done_.wait(lock, [&] { return req.done; });
    return req.result;
}

void Watcher::CancelHandle(HKEY h) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = regs_.size(); i-- > 0;)
        if (regs_[i]->handle == h) End(i);
}

void Watcher::CancelId(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = regs_.size(); i-- > 0;)
        if (regs_[i]->id == id) End(i);
}

void Watcher::Loop() {
    for (;;) {
        struct pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) continue;
        uint64_t count;
        while (read(wake_.get(), &count, sizeof(count)) > 0) {
        }
        std::lock_guard<std::mutex> lock(mu_);
        // Events queued before a request belong to the time before it.
        Drain();
        if (!requests_.empty()) {
            for (Request* req : requests_) {
                req->result = Setup(*req->reg);
                if (req->result == ERROR_SUCCESS) {
                    regs_.push_back(req->reg);
                } else {
                    CloseHandle(req->reg->event);
                    delete req->reg;
                    collect_ = true;
                }
                req->done = true;
            }
            requests_.clear();
            done_.notify_all();
        }
        if (rescan_) Rescan();
        if (collect_) Collect();
    }
}

void Watcher::Drain() {
    DrainInotify(inotify_.get(), [this](const struct inotify_event& e) { Handle(e); });
}

void Watcher::Handle(const struct inotify_event& e) {
    if ((e.mask & IN_Q_OVERFLOW) != 0) {
        // Changes were lost: every registration may have missed its own.
        while (!regs_.empty()) End(regs_.size() - 1);
        rescan_ = true;
        return;
    }
    auto it = pathOf_.find(e.wd);
    if (it == pathOf_.end()) return;
    const std::string path = it->second;
    if ((e.mask & IN_IGNORED) != 0) {
        auto p = wdOf_.find(path);
        if (p != wdOf_.end() && p->second == e.wd) wdOf_.erase(p);
        pathOf_.erase(it);
        return;
    }
    if ((e.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
        FireGone(path);
        if ((e.mask & IN_MOVE_SELF) != 0) rescan_ = true;
        return;
    }
    std::string name = e.len > 0 ? std::string(e.name) : std::string();
    if (name.empty()) {
        if ((e.mask & IN_ATTRIB) != 0) Fire(path, kAttributeChange);
        return;
    }
    if ((e.mask & IN_ISDIR) != 0) {
        if (name[0] == '.') return;
        if ((e.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) != 0) Fire(path, kNameChange);
        if ((e.mask & (IN_CREATE | IN_MOVED_TO)) != 0 && SubtreeCovers(path)) AddTree(path + "/" + name, true);
        if ((e.mask & IN_MOVED_FROM) != 0) rescan_ = true;
        return;
    }
    if (name == ".values" && (e.mask & (IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM)) != 0)
        Fire(path, kValueChange);
}

// A change of kind `what` at key directory `path`.
void Watcher::Fire(const std::string& path, DWORD what) {
    for (size_t i = regs_.size(); i-- > 0;) {
        const Registration* r = regs_[i];
        if ((r->filter & what) != 0 && (r->path == path || (r->subtree && Below(path, r->path)))) End(i);
    }
}

// The directory at `path` is gone: so are the keys there and below.
void Watcher::FireGone(const std::string& path) {
    for (size_t i = regs_.size(); i-- > 0;)
        if (regs_[i]->path == path || Below(regs_[i]->path, path)) End(i);
}

void Watcher::End(size_t index) {
    Registration* r = regs_[index];
    regs_.erase(regs_.begin() + static_cast<long>(index));
    SetEvent(r->event);
    CloseHandle(r->event);
    delete r;
    collect_ = true;
}

bool Watcher::Needed(const std::string& path) const {
    for (const Registration* r : regs_)
        if (r->path == path || (r->subtree && Below(path, r->path))) return true;
    return false;
}

bool Watcher::SubtreeCovers(const std::string& path) const {
    for (const Registration* r : regs_)
        if (r->subtree && (r->path == path || Below(path, r->path))) return true;
    return false;
}

int Watcher::AddWatch(const std::string& path) {
    int wd = inotify_add_watch(inotify_.get(), path.c_str(), kWatchMask);
    if (wd < 0) return -1;
    pathOf_[wd] = path;
    wdOf_[path] = wd;
    return wd;
}

// Watches `path` and every key directory below it. `fresh`: the directory
// is newer than every registration, so what it holds counts as changes.
void Watcher::AddTree(const std::string& path, bool fresh) {
    if (AddWatch(path) < 0) return;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return;
    std::vector<std::string> dirs;
    bool values = false;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == ".values") values = true;
        if (n.empty() || n[0] == '.') continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir) dirs.push_back(n);
    }
    closedir(d);
    if (fresh && values) Fire(path, kValueChange);
    if (fresh && !dirs.empty()) Fire(path, kNameChange);
    for (const auto& n : dirs) AddTree(path + "/" + n, fresh);
}

DWORD Watcher::Setup(const Registration& reg) {
    if (AddWatch(reg.path) < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ERROR_KEY_DELETED;
        if (errno == ENOSPC) return ERROR_TOO_MANY_OPEN_FILES;  // out of inotify watches
        return ErrnoToWin32(errno);
    }
    if (reg.subtree) AddTree(reg.path, false);
    return ERROR_SUCCESS;
}

// Watches again what the registrations need, from their paths.
void Watcher::Rescan() {
    rescan_ = false;
    std::unordered_map<int, std::string> old;
    old.swap(pathOf_);
    wdOf_.clear();
    for (const Registration* r : regs_) {
        if (r->subtree) AddTree(r->path, false);
        else AddWatch(r->path);
    }
    for (const auto& [wd, path] : old)
        if (pathOf_.count(wd) == 0) inotify_rm_watch(inotify_.get(), wd);
}

void Watcher::Collect() {
    collect_ = false;
    for (auto it = pathOf_.begin(); it != pathOf_.end();) {
        if (Needed(it->second)) {
            ++it;
            continue;
        }
        inotify_rm_watch(inotify_.get(), it->first);
        auto p = wdOf_.find(it->second);
        if (p != wdOf_.end() && p->second == it->first) wdOf_.erase(p);
        it = pathOf_.erase(it);
    }
}

}  // namespace

DWORD NotifyRegister(HKEY handle, const Key& key, bool subtree, DWORD filter, HANDLE event, uint64_t& id) {
    auto* reg = new Registration;
    reg->path = key.path;
    reg->subtree = subtree;
    reg->filter = filter;
    reg->event = event;
    reg->handle = handle;
    return TheWatcher().Register(reg, id);
}

void NotifyCancel(uint64_t id) { TheWatcher().CancelId(id); }

void NotifyHandleClosed(HKEY handle) { TheWatcher().CancelHandle(handle); }

}  // namespace pal::reg
