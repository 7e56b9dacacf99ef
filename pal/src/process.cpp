// Processes. A process handle holds a pidfd, so it keeps naming the process it
// was opened for even when the id is reused; everything read from /proc is
// checked against the start time (field 22 of /proc/<pid>/stat) taken at open.
// Known gaps: no per-process working-set limit (ERROR_NOT_SUPPORTED); the exit
// code of a terminated process is 128 + 9, not the one asked for; handles are
// not inherited by new processes; CREATE_SUSPENDED is not supported.
#include "internal/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal/identity.h"
#include "pal/error.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"

extern char** environ;

namespace pal {
namespace {

// Rights any caller gets; everything else acts on the process and needs its owner.
constexpr DWORD kFreeRights = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ |
                              SYNCHRONIZE | READ_CONTROL;
constexpr DWORD kQueryRights = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr uintptr_t kMainModule = 0x400000;
constexpr uint64_t kPF_KTHREAD = 0x00200000;
constexpr uint64_t kEpochDiff = 116444736000000000ull;  // 1601 to 1970 in 100 ns

// PIDFD_GET_INFO (Linux 6.13); Debian's headers do not have it yet.
struct PidfdInfo {
    uint64_t mask;
    uint64_t cgroupid;
    uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
    int32_t exit_code;  // wait status, once reaped
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr uint64_t kPidfdInfoExit = 0x8;
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

struct Proc : ProcessObject {
    explicit Proc(const ObjectOps* o) : ProcessObject(o) {}
    std::mutex lock;        // guards the cached values below
    uint64_t lastUser = 0, lastKernel = 0;  // ticks, last read
    uint64_t exitSeen = 0;                  // file time the end was first seen
    bool exitKnown = false;
    DWORD exitCode = 0;
};

bool Ended(int pidfd) {
    struct pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void Destroy(Object* o) { delete static_cast<Proc*>(o); }
bool Signaled(Object* o) { return Ended(static_cast<Proc*>(o)->pidfd.get()); }
int PollFd(Object* o) { return static_cast<Proc*>(o)->pidfd.get(); }
const ObjectOps kOps{Destroy, Signaled, nullptr, nullptr, PollFd};

long ClockTicks() {
    static const long ticks = [] {
        long t = sysconf(_SC_CLK_TCK);
        return t > 0 ? t : 100;
    }();
    return ticks;
}

// Seconds since the epoch at boot, from /proc/stat; constant while the system runs.
uint64_t BootTime() {
    static const uint64_t btime = []() -> uint64_t {
        std::string text;
        if (ReadWholeFile("/proc/stat", text) != 0) return 0;
        size_t at = text.find("\nbtime ");
        return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 7, nullptr, 10);
    }();
    return btime;
}

uint64_t TicksTo100ns(uint64_t ticks) { return ticks * (10000000ull / static_cast<uint64_t>(ClockTicks())); }

uint64_t CreationFileTime(uint64_t startTicks) {
    return BootTime() * 10000000ull + TicksTo100ns(startTicks) + kEpochDiff;
}

uint64_t NowFileTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100 + kEpochDiff;
}

void PutFileTime(LPFILETIME ft, uint64_t v) {
    if (ft == nullptr) return;
    ft->dwLowDateTime = static_cast<DWORD>(v);
    ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

struct Stat {
    char state = 0;
    unsigned long ppid = 0;
    uint64_t rss = 0;  // pages
    uint64_t flags = 0;
    uint64_t utime = 0, stime = 0;
    long nice = 0;
    uint64_t start = 0;
    unsigned policy = 0;
    int exitStatus = -1;  // field 52: the wait status of a zombie
    uint64_t endCode = 0, startStack = 0, argStart = 0;  // where the kernel put the image
};

// /proc, held open: each stat file is opened relative to it, which spares
// the kernel the walk from the root for every process of a discovery.
int ProcDir() {
    static const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

// "<pid>/stat" into name (at least 20 bytes), without printf.
void StatName(pid_t pid, char* name) {
    char digits[12];
    int n = 0;
    unsigned v = static_cast<unsigned>(pid);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *name++ = digits[--n];
    memcpy(name, "/stat", 6);
}

// /proc/<pid>/stat; the command name may hold anything, so fields are counted
// from the last ')'. Its length is bounded (a 15-byte name, 52 numbers), so
// one read of the buffer takes it whole. Returns 0 or errno; comm (16 bytes,
// may be null) gets the command name.
int ReadStat(pid_t pid, Stat& s, char* comm = nullptr) {
    char name[24], buf[2048];
    StatName(pid, name);
    int fd = ProcDir() >= 0 ? openat(ProcDir(), name, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return errno;
    ssize_t len;
    do {
        len = read(fd, buf, sizeof(buf) - 1);
    } while (len < 0 && errno == EINTR);
    int err = errno;
    close(fd);
    if (len < 0) return err;
    if (len == static_cast<ssize_t>(sizeof(buf) - 1)) return EFBIG;
    buf[len] = 0;
    char* p = strrchr(buf, ')');
    if (p == nullptr) return EINVAL;
    if (comm != nullptr) {
        const char* open = strchr(buf, '(');
        size_t n = open != nullptr && open < p ? static_cast<size_t>(p - open - 1) : 0;
        if (n > 15) n = 15;
        memset(comm, 0, 16);
        if (n > 0) memcpy(comm, open + 1, n);
    }
    ++p;
    for (int field = 3; field <= 52; ++field) {
        while (*p == ' ') ++p;
        if (*p == 0) return field > 22 ? 0 : EINVAL;
        char* end = p;
        switch (field) {
        case 3: s.state = *p; break;
        case 4: s.ppid = strtoul(p, &end, 10); break;
        case 9: s.flags = strtoull(p, &end, 10); break;
        case 14: s.utime = strtoull(p, &end, 10); break;
        case 15: s.stime = strtoull(p, &end, 10); break;
        case 19: s.nice = strtol(p, &end, 10); break;
        case 22: s.start = strtoull(p, &end, 10); break;
        case 24: s.rss = strtoull(p, &end, 10); break;
        case 27: s.endCode = strtoull(p, &end, 10); break;
        case 28: s.startStack = strtoull(p, &end, 10); break;
        case 41: s.policy = static_cast<unsigned>(strtoul(p, &end, 10)); break;
        case 48: s.argStart = strtoull(p, &end, 10); break;
        case 52: s.exitStatus = static_cast<int>(strtol(p, &end, 10)); break;
        default: break;
        }
        while (*p != ' ' && *p != 0) ++p;
    }
    return 0;
}

bool IsDead(char state) { return state == 'Z' || state == 'X'; }

// The stat of the process the object names, or false once it has been reaped
// (the id may belong to another process by now).
bool ReadOwnStat(Proc* p, Stat& s) { return ReadStat(p->pid, s) == 0 && s.start == p->startTicks; }

// Whether what was just read from /proc/<pid> still belonged to the object's
// process: true while it runs, and for its zombie.
bool StillSame(Proc* p) {
    if (!Ended(p->pidfd.get())) return true;
    Stat s;
    return ReadOwnStat(p, s);
}

DWORD FsUid() { return static_cast<DWORD>(syscall(SYS_setfsuid, -1)); }

// Real and saved uid of a process; false when it cannot be read. The file is
// read whole: its length grows with the process's supplementary groups.
bool ProcessUids(pid_t pid, DWORD& real, DWORD& saved) {
    char path[48];
    snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(pid));
    thread_local std::string status;
    if (ReadWholeFile(path, status) != 0) return false;
    const char* at = strstr(status.c_str(), "\nUid:");
    if (at == nullptr) return false;
    char* end = nullptr;
    real = static_cast<DWORD>(strtoul(at + 5, &end, 10));
    strtoul(end, &end, 10);  // effective
    saved = static_cast<DWORD>(strtoul(end, &end, 10));
    return true;
}

Proc* NewProc(int fd, pid_t pid, uint64_t start, DWORD access) {
    Proc* p = new Proc(&kOps);
    p->pidfd.reset(fd);
    p->pid = pid;
    p->startTicks = start;
    p->access = access;
    return p;
}

Proc* CurrentProcess() {
    static Proc* self = [] {
        pid_t pid = getpid();
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        Stat s;
        ReadStat(pid, s);
        return NewProc(fd, pid, s.start, PROCESS_ALL_ACCESS);  // one reference, never released
    }();
    return self;
}

// The process a handle names, checked for the rights asked; null with the error in err.
Proc* Lookup(HANDLE h, DWORD anyOf, DWORD& err) {
    Proc* p = static_cast<Proc*>(LookupProcess(h));
    if (p == nullptr) {
        err = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (anyOf != 0 && (p->access & anyOf) == 0) {
        Release(p);
        err = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    err = ERROR_SUCCESS;
    return p;
}

// Thread ids of a process; empty once it is gone.
std::vector<pid_t> Threads(pid_t pid) {
    std::vector<pid_t> tids;
    char path[48];
    snprintf(path, sizeof(path), "/proc/%d/task", static_cast<int>(pid));
    DIR* dir = opendir(path);
    if (dir == nullptr) return tids;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') tids.push_back(static_cast<pid_t>(atoi(e->d_name)));
    }
    closedir(dir);
    return tids;
}

// Applies fn(tid) (0 or errno) to every thread, again to threads started
// meanwhile, until a pass finds none new. A thread that ended meanwhile is
// skipped; an ended process gives ERROR_ACCESS_DENIED.
template <typename Fn>
DWORD ForEachThread(Proc* p, Fn fn) {
    if (Ended(p->pidfd.get())) return ERROR_ACCESS_DENIED;
    std::vector<pid_t> done;
    for (int pass = 0; pass < 8; ++pass) {
        bool any = false;
        for (pid_t tid : Threads(p->pid)) {
            bool seen = false;
            for (pid_t d : done) seen = seen || d == tid;
            if (seen) continue;
            any = true;
            done.push_back(tid);
            int err = fn(tid);
            if (err == ESRCH) continue;
            if (err != 0) return err == EINVAL ? ERROR_INVALID_PARAMETER : ErrnoToWin32(err);
        }
        if (!any) break;
    }
    if (done.empty() || !StillSame(p)) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

DWORD CopyOut(const std::u16string& text, LPWSTR buf, DWORD size, DWORD& copied) {
    if (buf == nullptr || size == 0) return ERROR_INSUFFICIENT_BUFFER;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    text.copy(buf, n);
    buf[n] = 0;
    copied = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
}

DWORD ModuleCheck(HMODULE module) {
    uintptr_t v = reinterpret_cast<uintptr_t>(module);
    return v == 0 || v == kMainModule ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// ---- internal layer: each returns a Win32 error code ----

DWORD InternalEnumProcesses(DWORD* pids, DWORD cb, DWORD* needed) {
    if (needed == nullptr || (pids == nullptr && cb != 0)) return ERROR_INVALID_PARAMETER;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return ErrnoToWin32(errno);
    DWORD room = cb / sizeof(DWORD), n = 0;
    while (n < room) {
        struct dirent* e = readdir(dir);
        if (e == nullptr) break;
        const char* name = e->d_name;
        if (*name < '1' || *name > '9') continue;
        char* end = nullptr;
        unsigned long v = strtoul(name, &end, 10);
        if (*end == 0) pids[n++] = static_cast<DWORD>(v);
    }
    closedir(dir);
    *needed = n * sizeof(DWORD);
    return ERROR_SUCCESS;
}

DWORD InternalOpenProcess(DWORD access, DWORD pid, HANDLE& out) {
    if (pid == 0 || pid > 0x7FFFFFFF) return ERROR_INVALID_PARAMETER;
    int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));  // always close-on-exec
    if (fd < 0) {
        int err = errno;
        return err == ESRCH || err == ENOENT || err == EINVAL ? ERROR_INVALID_PARAMETER : ErrnoToWin32(err);
    }
    ScopedFd owner(fd);
    Stat s;
    if (ReadStat(static_cast<pid_t>(pid), s) != 0) return ERROR_INVALID_PARAMETER;
    // What we read belongs to the pidfd's process while that one has not
    // ended; once it has, only its own zombie (same start time) will do.
    if (Ended(fd)) {
        Stat again;
        if (ReadStat(static_cast<pid_t>(pid), again) != 0 || again.start != s.start || !IsDead(again.state))
            return ERROR_INVALID_PARAMETER;
    }
    if ((access & ~kFreeRights) != 0) {
        DWORD me = FsUid();
        DWORD real = 0, saved = 0;
        if (me != 0) {
            if (!ProcessUids(static_cast<pid_t>(pid), real, saved)) return ERROR_INVALID_PARAMETER;
            if (real != me && saved != me) return ERROR_ACCESS_DENIED;
        }
    }
    Proc* p = NewProc(owner.take(), static_cast<pid_t>(pid), s.start, access);
    out = NewHandleForFd(p, p->pidfd.get());
    return out == nullptr ? GetLastError() : ERROR_SUCCESS;
}

DWORD InternalGetExitCode(Proc* p, DWORD& code) {
    if (!Ended(p->pidfd.get())) {
        code = STILL_ACTIVE;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> g(p->lock);
    if (!p->exitKnown) {
        PidfdInfo info{};
        info.mask = kPidfdInfoExit;
        siginfo_t si{};
        if (ioctl(p->pidfd.get(), kPidfdGetInfo, &info) == 0 && (info.mask & kPidfdInfoExit) != 0) {
            int st = info.exit_code;
            p->exitCode = WIFSIGNALED(st) ? 128u + static_cast<DWORD>(WTERMSIG(st)) : static_cast<DWORD>(WEXITSTATUS(st));
            p->exitKnown = true;
        } else if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(p->pidfd.get()), &si,
                          WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   si.si_pid != 0) {
            // Our own child, not reaped yet.
            p->exitCode = si.si_code == CLD_EXITED ? static_cast<DWORD>(si.si_status)
                                                   : 128u + static_cast<DWORD>(si.si_status);
            p->exitKnown = true;
        } else {
            // Not ours and not reaped yet: the zombie's stat has its status.
            Stat z;
            if (ReadOwnStat(p, z) && IsDead(z.state) && z.exitStatus >= 0) {
                int st = z.exitStatus;
                p->exitCode =
                    WIFSIGNALED(st) ? 128u + static_cast<DWORD>(WTERMSIG(st)) : static_cast<DWORD>(WEXITSTATUS(st));
                p->exitKnown = true;
            }
        }
    }
    code = p->exitKnown ? p->exitCode : 0;
    return ERROR_SUCCESS;
}

DWORD InternalEnumModules(Proc* p, HMODULE* modules, DWORD cb, LPDWORD needed) {
    if (needed == nullptr || (modules == nullptr && cb != 0)) return ERROR_INVALID_PARAMETER;
    Stat s;
    if (!ReadOwnStat(p, s) || IsDead(s.state) || (s.flags & kPF_KTHREAD) != 0) return ERROR_PARTIAL_COPY;
    if (cb >= sizeof(HMODULE)) modules[0] = reinterpret_cast<HMODULE>(kMainModule);
    *needed = sizeof(HMODULE);
    return ERROR_SUCCESS;
}

// A Linux path in the form the module functions give it: '/' written '\'.
std::u16string ImagePathText(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return ToUtf16(path);
}

DWORD InternalModuleFileName(Proc* p, std::u16string& name) {
    char path[48], target[4096];
    snprintf(path, sizeof(path), "/proc/%d/exe", static_cast<int>(p->pid));
    ssize_t n;
    int err;
    {
        // The link is guarded by ptrace rights, checked against the fsuid:
        // the caller's right to the process was checked at open.
        ServiceIdentityScope self;
        n = readlink(path, target, sizeof(target) - 1);
        err = errno;
    }
    if (n < 0) return err == EACCES || err == EPERM ? ERROR_ACCESS_DENIED : ERROR_PARTIAL_COPY;
    if (!StillSame(p)) return ERROR_PARTIAL_COPY;
    std::string text(target, static_cast<size_t>(n));
    static const char kDeleted[] = " (deleted)";
    if (text.size() > sizeof(kDeleted) - 1 && text.compare(text.size() - (sizeof(kDeleted) - 1), std::string::npos, kDeleted) == 0)
        text.resize(text.size() - (sizeof(kDeleted) - 1));
    name = ImagePathText(std::move(text));
    return ERROR_SUCCESS;
}

DWORD InternalModuleBaseName(Proc* p, std::u16string& name) {
    char path[48], buf[64];
    snprintf(path, sizeof(path), "/proc/%d/comm", static_cast<int>(p->pid));
    size_t len = 0;
    int err = ReadSmallFile(path, buf, sizeof(buf), len);
    if (err != 0) return err == EACCES ? ERROR_ACCESS_DENIED : ERROR_PARTIAL_COPY;
    if (!StillSame(p)) return ERROR_PARTIAL_COPY;
    while (len > 0 && buf[len - 1] == '\n') --len;
    name = ToUtf16(std::string_view(buf, len));
    return ERROR_SUCCESS;
}

DWORD InternalProcessTimes(Proc* p, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel, LPFILETIME user) {
    if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr) return ERROR_NOACCESS;
    // Whole seconds of btime plus whole ticks: the same value on every read.
    uint64_t created = CreationFileTime(p->startTicks);
    bool ended = Ended(p->pidfd.get());
    Stat s;
    bool fresh = ReadOwnStat(p, s);
    std::lock_guard<std::mutex> g(p->lock);
    if (fresh) {
        p->lastUser = s.utime;
        p->lastKernel = s.stime;
    }
    if (ended && p->exitSeen == 0) p->exitSeen = NowFileTime();
    PutFileTime(creation, created);
    PutFileTime(exit, ended ? p->exitSeen : 0);
    PutFileTime(kernel, TicksTo100ns(p->lastKernel));
    PutFileTime(user, TicksTo100ns(p->lastUser));
    return ERROR_SUCCESS;
}

DWORD ClassOf(const Stat& s) { return PriorityClassOf(s.nice, s.policy); }

// One stat read and the CPU mask. The mask is read by id after the stat: an
// id reused in between would take the process to end, be reaped and the ids
// to wrap around within those microseconds.
DWORD InternalProcessFacts(DWORD pid, PAL_PROCESS_FACTS& f) {
    if (pid == 0 || pid > 0x7FFFFFFF) return ERROR_INVALID_PARAMETER;
    Stat s;
    f = PAL_PROCESS_FACTS{};
    if (ReadStat(static_cast<pid_t>(pid), s, f.commandName) != 0) return ERROR_INVALID_PARAMETER;
    f.processId = pid;
    f.parentProcessId = static_cast<DWORD>(s.ppid);
    f.residentBytes = s.rss * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    if (IsDead(s.state)) f.flags |= PAL_PROCESS_ENDED;
    if ((s.flags & kPF_KTHREAD) != 0) f.flags |= PAL_PROCESS_KERNEL_THREAD;
    PutFileTime(&f.creationTime, CreationFileTime(s.start));
    f.userTime = TicksTo100ns(s.utime);
    f.kernelTime = TicksTo100ns(s.stime);
    f.priorityClass = ClassOf(s);
    // A new image gets a new stack (placed at random) and its own code end.
    f.imageStamp = s.endCode ^ (s.startStack << 1) ^ (s.argStart << 2);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(static_cast<pid_t>(pid), sizeof(set), &set) != 0) {
        f.flags |= PAL_PROCESS_NO_AFFINITY;
        return ERROR_SUCCESS;
    }
    for (int cpu = 0; cpu < 64; ++cpu)
        if (CPU_ISSET(cpu, &set)) f.affinity |= static_cast<DWORD_PTR>(1) << cpu;
    return ERROR_SUCCESS;
}

DWORD InternalSetPriority(Proc* p, DWORD cls) {
    int nice;
    switch (cls) {
    case IDLE_PRIORITY_CLASS: nice = 19; break;
    case BELOW_NORMAL_PRIORITY_CLASS: nice = 10; break;
    case NORMAL_PRIORITY_CLASS: nice = 0; break;
    case ABOVE_NORMAL_PRIORITY_CLASS: nice = -5; break;
    case HIGH_PRIORITY_CLASS: nice = -10; break;
    case REALTIME_PRIORITY_CLASS: nice = 0; break;
    default: return ERROR_INVALID_PARAMETER;
    }
    // Linux schedules threads, not processes: every thread gets the class.
    return ForEachThread(p, [cls, nice](pid_t tid) {
        struct sched_param param{};
        if (cls == REALTIME_PRIORITY_CLASS) {
            param.sched_priority = 1;
            return sched_setscheduler(tid, SCHED_RR, &param) == 0 ? 0 : errno;
        }
        if (sched_setscheduler(tid, SCHED_OTHER, &param) != 0) return errno;
        return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0 ? 0 : errno;
    });
}

DWORD InternalSetAffinity(Proc* p, DWORD_PTR mask) {
    DWORD_PTR online = 0, ignored = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &ignored, &online)) return GetLastError();
    if (mask == 0 || (mask & ~online) != 0) return ERROR_INVALID_PARAMETER;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu)
        if ((mask >> cpu) & 1) CPU_SET(cpu, &set);
    return ForEachThread(p, [&set](pid_t tid) { return sched_setaffinity(tid, sizeof(set), &set) == 0 ? 0 : errno; });
}

DWORD InternalTerminate(Proc* p, UINT code) {
    if (p == CurrentProcess()) _exit(static_cast<int>(code & 0xFF));
    if (Ended(p->pidfd.get())) return ERROR_ACCESS_DENIED;
    if (syscall(SYS_pidfd_send_signal, p->pidfd.get(), SIGKILL, nullptr, 0) != 0)
        return errno == ESRCH || errno == EPERM ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

// ---- process creation ----

// Windows paths at the Linux boundary: '\' is '/', a drive prefix is dropped.
std::string LinuxPath(std::u16string_view path) {
    std::string s = ToUtf8(path);
    if (s.size() >= 2 && s[1] == ':' && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'))) s.erase(0, 2);
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

bool IsFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file an image path names: itself, or without ".exe" when only that
// exists; a bare name is looked up in PATH.
std::string ResolveImage(const std::string& image) {
    std::vector<std::string> names{image};
    if (image.size() > 4 && strcasecmp(image.c_str() + image.size() - 4, ".exe") == 0)
        names.push_back(image.substr(0, image.size() - 4));
    if (image.find('/') != std::string::npos) {
        for (const std::string& n : names)
            if (IsFile(n)) return n;
        return image;
    }
    const char* env = getenv("PATH");
    std::string_view path(env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin");
    size_t from = 0;
    for (;;) {
        size_t colon = path.find(':', from);
        std::string dir(path.substr(from, colon == std::string_view::npos ? std::string_view::npos : colon - from));
        if (dir.empty()) dir.push_back('.');
        for (const std::string& n : names) {
            std::string full = dir + "/" + n;
            if (IsFile(full) && access(full.c_str(), X_OK) == 0) return full;
        }
        if (colon == std::string_view::npos) return image;
        from = colon + 1;
    }
}

// Splits a command line as the Windows C runtime does: the program name ends
// at the closing quote or the first blank; after it, 2n backslashes and a
// quote give n backslashes and toggle quoting, 2n+1 give n and a literal
// quote, and "" inside quotes is a literal quote.
std::vector<std::u16string> SplitCommandLine(const char16_t* s) {
    std::vector<std::u16string> args;
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    while (blank(*s)) ++s;
    if (*s == 0) return args;
    std::u16string arg;
    if (*s == u'"') {
        for (++s; *s != 0 && *s != u'"'; ++s) arg += *s;
        if (*s == u'"') ++s;
    } else {
        for (; *s != 0 && !blank(*s); ++s) arg += *s;
    }
    args.push_back(arg);
    for (;;) {
        while (blank(*s)) ++s;
        if (*s == 0) return args;
        arg.clear();
        bool quoted = false;
        while (*s != 0 && (quoted || !blank(*s))) {
            size_t slashes = 0;
            while (*s == u'\\') { ++slashes; ++s; }
            if (*s == u'"') {
                arg.append(slashes / 2, u'\\');
                if (slashes % 2 == 1) {
                    arg += u'"';
                    ++s;
                } else if (quoted && s[1] == u'"') {
                    arg += u'"';
                    s += 2;
                } else {
                    quoted = !quoted;
                    ++s;
                }
            } else {
                arg.append(slashes, u'\\');
                if (*s != 0 && (quoted || !blank(*s))) arg += *s++;
            }
        }
        args.push_back(arg);
    }
}

std::vector<std::string> EnvironmentBlock(LPVOID block, bool unicode) {
    std::vector<std::string> env;
    if (unicode) {
        for (const char16_t* p = static_cast<const char16_t*>(block); *p != 0; p += lstrlenW(p) + 1)
            if (*p != u'=') env.push_back(ToUtf8(p));
    } else {
        for (const char* p = static_cast<const char*>(block); *p != 0; p += strlen(p) + 1)
            if (*p != '=') env.push_back(p);
    }
    return env;
}

DWORD SpawnErrorToWin32(int err) {
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ErrnoToWin32(err);
    }
}

DWORD InternalCreateProcess(LPCWSTR app, LPWSTR cmdline, DWORD flags, LPVOID envBlock, LPCWSTR cwd,
                            LPPROCESS_INFORMATION pi) {
    if (pi == nullptr || (app == nullptr && cmdline == nullptr)) return ERROR_INVALID_PARAMETER;
    if ((flags & (CREATE_SUSPENDED | DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS)) != 0) return ERROR_NOT_SUPPORTED;
    constexpr DWORD kClasses = IDLE_PRIORITY_CLASS | BELOW_NORMAL_PRIORITY_CLASS | NORMAL_PRIORITY_CLASS |
                               ABOVE_NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS | REALTIME_PRIORITY_CLASS;
    DWORD cls = flags & kClasses;
    if ((cls & (cls - 1)) != 0) return ERROR_INVALID_PARAMETER;

    std::vector<std::u16string> words;
    if (cmdline != nullptr) words = SplitCommandLine(cmdline);
    if (words.empty() && app == nullptr) return ERROR_INVALID_PARAMETER;
    if (words.empty()) words.push_back(app);
    std::string image = ResolveImage(LinuxPath(app != nullptr ? std::u16string_view(app) : words[0]));

    std::vector<std::string> argStore;
    for (const std::u16string& w : words) argStore.push_back(ToUtf8(w));
    // A first word that names the image becomes its Linux path, so that ps
    // shows the program as Linux names it ("C:\x\tool.exe" is /x/tool).
    if (cmdline == nullptr || ResolveImage(LinuxPath(words[0])) == image) argStore[0] = image;
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    if (envBlock != nullptr) envStore = EnvironmentBlock(envBlock, (flags & CREATE_UNICODE_ENVIRONMENT) != 0);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string dir;
    if (cwd != nullptr) {
        dir = LinuxPath(cwd);
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    }
    char** env = envBlock != nullptr ? envp.data() : environ;
    // The new process is not our child: an intermediate process starts it
    // and ends at once, so it never lingers as a zombie of ours (a Windows
    // process leaves nothing behind). It waits on `go` until we hold its
    // pidfd, so its pid cannot be reused meanwhile; `report` carries its pid,
    // then an exec failure's errno (closed on a successful exec).
    int go[2], report[2];
    if (pipe2(go, O_CLOEXEC) != 0) return ErrnoToWin32(errno);
    if (pipe2(report, O_CLOEXEC) != 0) {
        int e = errno;
        close(go[0]);
        close(go[1]);
        return ErrnoToWin32(e);
    }
    pid_t middle = fork();
    if (middle == 0) {
        // Only async-signal-safe calls from here on.
        close(go[1]);
        close(report[0]);
        pid_t child = fork();
        if (child == 0) {
            setsid();
            char byte;
            while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
            }
            struct sigaction dfl;
            memset(&dfl, 0, sizeof(dfl));
            dfl.sa_handler = SIG_DFL;
            for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!dir.empty() && chdir(dir.c_str()) != 0) {
                int e = errno;
                ssize_t w = write(report[1], &e, sizeof(e));
                (void)w;
                _exit(127);
            }
            execve(image.c_str(), argv.data(), env);
            int e = errno;
            ssize_t w = write(report[1], &e, sizeof(e));
            (void)w;
            _exit(127);
        }
        ssize_t w = write(report[1], &child, sizeof(child));
        (void)w;
        _exit(child > 0 ? 0 : 1);
    }
    close(go[0]);
    close(report[1]);
    ScopedFd goWrite(go[1]), reportRead(report[0]);
    if (middle < 0) return ErrnoToWin32(errno);
    int middleStatus = 0;
    while (waitpid(middle, &middleStatus, 0) < 0 && errno == EINTR) {
    }
    pid_t pid = -1;
    if (read(reportRead.get(), &pid, sizeof(pid)) != static_cast<ssize_t>(sizeof(pid)) || pid <= 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        DWORD e = ErrnoToWin32(errno);
        kill(pid, SIGKILL);
        return e;
    }
    // Let it exec, and learn whether the exec worked.
    char goByte = 1;
    ssize_t w = write(goWrite.get(), &goByte, 1);
    (void)w;
    goWrite.reset();
    int execError = 0;
    if (read(reportRead.get(), &execError, sizeof(execError)) == static_cast<ssize_t>(sizeof(execError))) {
        close(fd);
        return SpawnErrorToWin32(execError);
    }
    // Kills the new process through the object's pidfd, before the object goes.
    auto abandon = [](Proc* proc, DWORD err) {
        syscall(SYS_pidfd_send_signal, proc->pidfd.get(), SIGKILL, nullptr, 0);
        return err;
    };
    Stat s;
    ReadStat(pid, s);
    Proc* p = NewProc(fd, pid, s.start, PROCESS_ALL_ACCESS);
    if (cls != 0) {
        DWORD err = InternalSetPriority(p, cls);
        if (err != ERROR_SUCCESS) {
            abandon(p, err);
            delete p;
            return err;
        }
    }
    AddRef(p);  // for the second handle
    HANDLE hp = NewHandleForFd(p, fd);
    if (hp == nullptr) {
        DWORD err = abandon(p, GetLastError());
        Release(p);
        return err;
    }
    HANDLE ht = NewHandle(p);
    if (ht == nullptr) {
        DWORD err = GetLastError();
        abandon(p, err);
        CloseHandle(hp);
        return err;
    }
    pi->hProcess = hp;
    pi->hThread = ht;
    pi->dwProcessId = static_cast<DWORD>(pid);
    pi->dwThreadId = static_cast<DWORD>(pid);
    return ERROR_SUCCESS;
}

BOOL Fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}

}  // namespace

ProcessObject* LookupProcess(HANDLE h) {
    if (h == GetCurrentProcess()) {
        Proc* self = CurrentProcess();
        if (!self->pidfd) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        AddRef(self);
        return self;
    }
    return static_cast<ProcessObject*>(LookupHandle(h, ObjType::Process));
}

ProcessObject* OpenProcessObject(pid_t pid) {
    HANDLE h = nullptr;
    if (InternalOpenProcess(PROCESS_ALL_ACCESS, static_cast<DWORD>(pid), h) != ERROR_SUCCESS) return nullptr;
    return static_cast<ProcessObject*>(TakeHandle(h, ObjType::Process));
}

ProcessObject* OpenProcessObject(pid_t pid, uint64_t startTicks) {
    ProcessObject* p = OpenProcessObject(pid);
    if (p != nullptr && p->startTicks != startTicks) {
        Release(p);
        return nullptr;
    }
    return p;
}

bool KillProcessObject(ProcessObject* p) {
    return syscall(SYS_pidfd_send_signal, p->pidfd.get(), SIGKILL, nullptr, 0) == 0;
}

DWORD PriorityClassOf(long nice, unsigned policy) {
    if (policy == SCHED_FIFO || policy == SCHED_RR) return REALTIME_PRIORITY_CLASS;
    if (policy == SCHED_IDLE || nice >= 15) return IDLE_PRIORITY_CLASS;
    if (nice >= 5) return BELOW_NORMAL_PRIORITY_CLASS;
    if (nice >= -2) return NORMAL_PRIORITY_CLASS;
    if (nice >= -7) return ABOVE_NORMAL_PRIORITY_CLASS;
    return HIGH_PRIORITY_CLASS;
}

DWORD ApplyPriorityClass(ProcessObject* p, DWORD priorityClass) {
    return InternalSetPriority(static_cast<Proc*>(p), priorityClass);
}

DWORD ApplyAffinity(ProcessObject* p, DWORD_PTR mask) { return InternalSetAffinity(static_cast<Proc*>(p), mask); }

// For GetProcessAffinityMask: the main thread's CPU mask of any process.
DWORD QueryProcessAffinity(HANDLE h, DWORD_PTR& mask) {
    DWORD err;
    ObjRef<Proc> p(Lookup(h, kQueryRights, err));
    if (!p) return err;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(p->pid, sizeof(set), &set) != 0 || !StillSame(p.p)) return ERROR_ACCESS_DENIED;
    mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu)
        if (CPU_ISSET(cpu, &set)) mask |= static_cast<DWORD_PTR>(1) << cpu;
    return ERROR_SUCCESS;
}

}  // namespace pal

using pal::Fail;

BOOL EnumProcesses(DWORD* pids, DWORD cb, DWORD* needed) {
    DWORD err = pal::InternalEnumProcesses(pids, cb, needed);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

HANDLE OpenProcess(DWORD access, BOOL, DWORD pid) {
    HANDLE h = nullptr;
    DWORD err = pal::InternalOpenProcess(access, pid, h);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return nullptr;
    }
    return h;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, pal::kQueryRights, err));
    if (!p) return Fail(err);
    if (exitCode == nullptr) return Fail(ERROR_NOACCESS);
    err = pal::InternalGetExitCode(p.p, *exitCode);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

DWORD GetProcessId(HANDLE process) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, 0, err));
    if (!p) {
        SetLastError(err);
        return 0;
    }
    return static_cast<DWORD>(p->pid);
}

BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, LPDWORD needed) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_QUERY_INFORMATION, err));
    if (!p) return Fail(err);
    if ((p->access & PROCESS_VM_READ) == 0) return Fail(ERROR_ACCESS_DENIED);
    err = pal::InternalEnumModules(p.p, modules, cb, needed);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, LPWSTR name, DWORD size) {
    DWORD err, copied = 0;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_QUERY_INFORMATION, err));
    std::u16string text;
    if (p && (p->access & PROCESS_VM_READ) == 0) err = ERROR_ACCESS_DENIED;
    if (err == ERROR_SUCCESS) err = pal::ModuleCheck(module);
    if (err == ERROR_SUCCESS) err = pal::InternalModuleFileName(p.p, text);
    if (err == ERROR_SUCCESS) err = pal::CopyOut(text, name, size, copied);
    if (err != ERROR_SUCCESS) SetLastError(err);
    return copied;
}

DWORD GetModuleBaseNameW(HANDLE process, HMODULE module, LPWSTR name, DWORD size) {
    DWORD err, copied = 0;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_QUERY_INFORMATION, err));
    std::u16string text;
    if (p && (p->access & PROCESS_VM_READ) == 0) err = ERROR_ACCESS_DENIED;
    if (err == ERROR_SUCCESS) err = pal::ModuleCheck(module);
    if (err == ERROR_SUCCESS) err = pal::InternalModuleBaseName(p.p, text);
    if (err == ERROR_SUCCESS) err = pal::CopyOut(text, name, size, copied);
    if (err != ERROR_SUCCESS) SetLastError(err);
    return copied;
}

BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel, LPFILETIME user) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, pal::kQueryRights, err));
    if (!p) return Fail(err);
    err = pal::InternalProcessTimes(p.p, creation, exit, kernel, user);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

DWORD GetPriorityClass(HANDLE process) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, pal::kQueryRights, err));
    if (!p) {
        SetLastError(err);
        return 0;
    }
    pal::Stat s;
    if (!pal::ReadOwnStat(p.p, s)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return pal::ClassOf(s);
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    DWORD err;
    // Scheduling calls ignore the thread's fsuid, so the handle's right is the check.
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_SET_INFORMATION, err));
    if (!p) return Fail(err);
    err = pal::InternalSetPriority(p.p, priorityClass);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_SET_INFORMATION, err));
    if (!p) return Fail(err);
    err = pal::InternalSetAffinity(p.p, mask);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL PalQueryProcessFacts(DWORD pid, PAL_PROCESS_FACTS* facts) {
    if (facts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD err = pal::InternalProcessFacts(pid, *facts);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL PalGetProcessUser(HANDLE process, LPDWORD uid) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, pal::kQueryRights, err));
    if (!p) return Fail(err);
    if (uid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD real = 0, saved = 0;
    if (!pal::ProcessUids(p->pid, real, saved) || !pal::StillSame(p.p)) return Fail(ERROR_ACCESS_DENIED);
    *uid = real;
    return TRUE;
}

BOOL GetProcessWorkingSetSize(HANDLE process, SIZE_T* minimum, SIZE_T* maximum) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, pal::kQueryRights, err));
    if (!p) return Fail(err);
    if (minimum == nullptr || maximum == nullptr) return Fail(ERROR_NOACCESS);
    // Linux keeps no such bounds; made-up numbers would pass for settings in force.
    return Fail(ERROR_NOT_SUPPORTED);
}

BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_SET_QUOTA, err));
    if (!p) return Fail(err);
    constexpr SIZE_T kTrim = static_cast<SIZE_T>(-1);
    if (minimum == kTrim && maximum == kTrim) return TRUE;
    return Fail(ERROR_NOT_SUPPORTED);
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    DWORD err;
    pal::ObjRef<pal::Proc> p(pal::Lookup(process, PROCESS_TERMINATE, err));
    if (!p) return Fail(err);
    err = pal::InternalTerminate(p.p, exitCode);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW,
                    LPPROCESS_INFORMATION processInformation) {
    DWORD err = pal::InternalCreateProcess(applicationName, commandLine, creationFlags, environment, currentDirectory,
                                           processInformation);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

DWORD PalImagePathText(LPCSTR path, LPWSTR text, DWORD size) {
    if (path == nullptr || text == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // What exec opens, and /proc/<pid>/exe then names: the file itself, every link resolved.
    char* real = realpath(path, nullptr);
    std::string file = real != nullptr ? real : path;
    free(real);
    DWORD copied = 0;
    pal::CopyOut(pal::ImagePathText(std::move(file)), text, size, copied);
    return copied;
}
