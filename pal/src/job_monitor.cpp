// The job monitor: one thread per process that holds job objects. It acts for
// a job only while it holds the exclusive flock on the job's `monitor` file,
// so exactly one process (the service, or the mediator once the service is
// gone) enforces and reports. It sleeps until there is a reason to look at a
// job: a change of cgroup.events, a fork or exit of a member (the kernel's
// process events, heard while it acts for a job with members), an
// out-of-memory event, a write of the job's `state` by
// any holder (an assignment, new limits), our own kick, or a deadline. The
// deadline of a time limit is computed from the usage and the limit (usage
// grows by at most the number of CPUs per second); limits members could
// undo (priority, affinity without a cpuset, the soft process memory limit)
// and the process count (refused forks are not notified) are looked at once
// a second while the job has members; a job without such limits is not
// looked at while nothing happens. A process that does not act for a job
// waits for the actor's close of `monitor` (inotify) to try to take over.
// Without the kernel's process events (not root) a job with members is
// looked at once a second (ten times with a process count and no pids
// controller); without inotify the others retry every second.
// On a look it compares the job's members with the last look, enforces what
// no controller covers (the active-process limit where there is no pids
// controller, newest first; the per-process and per-job user time), holds
// what members could undo and posts the job messages.
// Known gaps: EXIT_PROCESS for every ending (no ABNORMAL_EXIT_PROCESS);
// PROCESS_MEMORY_LIMIT is posted when a member's peak address space comes
// within 1/16 of the limit (a refused allocation itself cannot be seen);
// JOB_MEMORY_LIMIT names the member the kernel's OOM killer ended (the one
// that vanished with the most memory), else the largest member; memory
// peaks are those seen on looks and queries.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "internal/identity.h"
#include "internal/iocp.h"
#include "internal/job.h"
#include "internal/process.h"
#include "internal/sys.h"
#include "pal/error.h"

namespace pal {
namespace {

constexpr uint64_t kNever = UINT64_MAX;
// Limits members could undo, and the process count, whose refused forks
// the kernel does not notify: looked at this often while there are members.
constexpr uint64_t kHoldMs = 1000;
constexpr DWORD kHeldLimits = JOB_OBJECT_LIMIT_PRIORITY_CLASS | JOB_OBJECT_LIMIT_AFFINITY |
                              JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
// Without process events: the newest member beyond a count no controller holds.
constexpr uint64_t kCountMs = 100;
// A forked child may be listed in cgroup.procs a moment after its fork event.
constexpr uint64_t kForkRecheckMs = 20;
// Thread counts (the pids controller's limit) are brought in step this soon.
constexpr uint64_t kThreadsMs = 100;
// The least wait before a time limit is looked at again.
constexpr uint64_t kLeastWaitMs = 10;
// The kernel's process events of the whole system are read at most this
// often: forks and exits elsewhere do not wake us one by one.
constexpr uint64_t kProcBatchMs = 100;
// Retries of a takeover after the actor closed `monitor`: the close is
// notified a moment before its lock goes.
constexpr uint64_t kTakeoverRetryMs = 50;
constexpr int kTakeoverRetries = 5;

struct Member {
    pid_t pid;
    uint64_t start;
    uint64_t rss;
    bool killed;
    bool memoryPosted;
};

struct Watch {
    std::string dir;        // object directory
    std::string cg;         // v2 cgroup
    std::string memory;     // v1 cgroups, which may not exist (yet)
    std::string cpuset;
    std::string pids;
    int refs = 1;
    bool owner = false;
    ScopedFd state, signal, monitor, events;
    ScopedFd oom;           // eventfd: the memory cgroup ran out
    int stateWatch = -1, monitorWatch = -1;  // inotify watch descriptors
    std::vector<Member> members;  // ascending start time
    std::vector<pid_t> children;  // forked by members since the last look
    uint64_t oomKills = 0;
    uint64_t refusedForks = 0;
    bool dirty = true;      // look at once
    bool recheck = false;   // look again shortly (a fork was seen)
    bool threads = false;   // keeps pids.max in step with the members' threads
    int takeoverRetries = 0;
    uint64_t due = 0;       // monotonic ms of the next look; kNever for none
    uint64_t id = 0;        // names the watch in the epoll set
    bool eventsArmed = false;
};

// What an epoll entry stands for: the low bits of its data, above them the
// watch's id.
enum Source : uint64_t { kKick, kInotify, kProcEvents, kCgroupEvents, kOom };

std::mutex g_lock;
// Everything below, but the descriptors made once, is guarded by g_lock.
std::vector<std::unique_ptr<Watch>> g_watches;
int g_epoll = -1;
int g_kick = -1;
int g_inotify = -1;     // `state` and `monitor` of every watch; -1 without
int g_procEvents = -1;  // the kernel's fork and exit events; -1 without
// Members and their fresh children by pid, for the process events.
std::unordered_map<pid_t, Watch*> g_byPid;
std::unordered_map<uint64_t, Watch*> g_byId;
std::unordered_map<int, Watch*> g_byWd;  // inotify watch descriptors
uint64_t g_nextId = 1;
bool g_anyDirty = true;
uint64_t g_nextDue = kNever;  // the earliest `due` of all watches

void MarkDirty(Watch& w) {
    w.dirty = true;
    g_anyDirty = true;
}

void LookBy(Watch& w, uint64_t at) {
    if (at < w.due) w.due = at;
    if (at < g_nextDue) g_nextDue = at;
}

void Listen(int fd, Source what, uint64_t id, uint32_t events) {
    struct epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id << 3 | what;
    epoll_ctl(g_epoll, EPOLL_CTL_ADD, fd, &ev);
}

long Cpus() {
    static const long n = [] {
        long v = sysconf(_SC_NPROCESSORS_CONF);
        return v > 0 ? v : 1;
    }();
    return n;
}

// Usage in 100-ns units that may still grow by `left` before a limit is
// passed, as milliseconds of wall time at the fastest: every CPU busy.
uint64_t WaitFor(int64_t left) {
    if (left <= 0) return kLeastWaitMs;
    uint64_t ms = static_cast<uint64_t>(left) / 10000 / static_cast<uint64_t>(Cpus());
    return ms > kLeastWaitMs ? ms : kLeastWaitMs;
}

// Through a pidfd of the process we sampled: a pid reused since then is
// another process, which is left alone.
bool Kill(const Member& m) {
    ObjRef<ProcessObject> p(OpenProcessObject(m.pid, m.start));
    return p && KillProcessObject(p.p);
}

// Through any descriptor of the port this process holds: the process that
// made the association may be gone (the service, while the mediator acts).
// A port with no room left loses the message; the job counts it.
void Post(JobShared& s, DWORD msg, uint64_t pid) {
    if (s.portSet == 0) return;
    DWORD rc = PostToPortInode(s.portInode, msg, static_cast<ULONG_PTR>(s.portKey), static_cast<ULONG_PTR>(pid));
    if (rc == ERROR_NO_SYSTEM_RESOURCES) ++s.lostMessages;
}

// The "<key> <n>" count of a flat-keyed cgroup file (pids.events, memory.oom_control).
uint64_t KeyCount(const std::string& path, const char* key) { return CgroupKeyValue(path, key); }

// Arms an eventfd on the memory cgroup's out-of-memory notification, once
// the job has that cgroup; the monitor polls it beside cgroup.events.
void ArmOom(Watch& w) {
    if (w.oom || !CgroupExists(w.memory)) return;
    ScopedFd efd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    ScopedFd control(open((w.memory + "/memory.oom_control").c_str(), O_RDONLY | O_CLOEXEC));
    if (!efd || !control) return;
    std::string line = std::to_string(efd.get()) + " " + std::to_string(control.get());
    if (WriteCgroupFile(w.memory + "/cgroup.event_control", line) != 0) return;
    w.oomKills = KeyCount(w.memory + "/memory.oom_control", "oom_kill");
    w.oom = std::move(efd);
    Listen(w.oom.get(), kOom, w.id, EPOLLIN);
}

// Brings back what a member may change of itself: its priority class, its
// affinity where no cpuset holds it, and a soft memory limit it raised.
void Hold(const Member& m, const ProcSample& ps, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l, bool cpuset) {
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = l.BasicLimitInformation;
    bool priority = (b.LimitFlags & JOB_OBJECT_LIMIT_PRIORITY_CLASS) != 0 &&
                    PriorityClassOf(ps.nice, ps.policy) != b.PriorityClass;
    bool affinity = false;
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_AFFINITY) != 0 && !cpuset) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(m.pid, sizeof(set), &set) == 0) {
            for (int cpu = 0; cpu < 64 && !affinity; ++cpu)
                affinity = CPU_ISSET(cpu, &set) && ((b.Affinity >> cpu) & 1) == 0;
        }
    }
    bool memory = false;
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) {
        struct rlimit cur;
        memory = prlimit(m.pid, RLIMIT_AS, nullptr, &cur) == 0 && cur.rlim_cur > l.ProcessMemoryLimit &&
                 cur.rlim_max >= l.ProcessMemoryLimit;
    }
    if (!priority && !affinity && !memory) return;
    ObjRef<ProcessObject> p(OpenProcessObject(m.pid, m.start));
    if (!p) return;
    if (priority) ApplyPriorityClass(p.p, b.PriorityClass);
    if (affinity) ApplyAffinity(p.p, b.Affinity);
    if (memory) ApplyMemberLimits(m.pid, l, l.ProcessMemoryLimit);
}

// Subscribes to the kernel's fork and exit events (root only). Kernels from
// 6.6 on filter them for us; older ones send every kind, which we skip.
int OpenProcEvents() {
    ScopedFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR));
    if (!fd) return -1;
    struct sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = CN_IDX_PROC;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
    struct utsname u{};
    int major = 0, minor = 0;
    bool filters = uname(&u) == 0 && sscanf(u.release, "%d.%d", &major, &minor) == 2 &&
                   (major > 6 || (major == 6 && minor >= 6));
    // The listen request: netlink header, connector header, the operation
    // and, where the kernel filters, the kinds of event wanted.
    const uint32_t body[2] = {PROC_CN_MCAST_LISTEN, proc_event::PROC_EVENT_FORK | proc_event::PROC_EVENT_EXIT};
    const size_t data = filters ? sizeof(body) : sizeof(body[0]);
    alignas(struct nlmsghdr) char req[NLMSG_SPACE(sizeof(struct cn_msg) + sizeof(body))] = {};
    auto* nl = reinterpret_cast<struct nlmsghdr*>(req);
    nl->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(struct cn_msg) + data));
    nl->nlmsg_type = NLMSG_DONE;
    nl->nlmsg_pid = static_cast<uint32_t>(getpid());
    auto* cn = static_cast<struct cn_msg*>(NLMSG_DATA(nl));
    cn->id.idx = CN_IDX_PROC;
    cn->id.val = CN_VAL_PROC;
    cn->len = static_cast<uint16_t>(data);
    memcpy(cn->data, body, data);
    if (send(fd.get(), req, nl->nlmsg_len, 0) != static_cast<ssize_t>(nl->nlmsg_len)) return -1;
    return fd.take();
}

// Marks the watches whose members forked or ended. A lost event (the
// socket's queue overflowed) makes every job worth a look.
void ReadProcEvents() {
    alignas(struct nlmsghdr) char buf[8192];
    for (;;) {
        struct sockaddr_nl from{};
        socklen_t fromLen = sizeof(from);
        ssize_t n = recvfrom(g_procEvents, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n >= 0 && from.nl_pid != 0) continue;  // only the kernel's word counts
        if (n < 0) {
            if (errno == ENOBUFS) {
                std::lock_guard<std::mutex> guard(g_lock);
                for (auto& w : g_watches) MarkDirty(*w);
                continue;
            }
            return;
        }
        uint64_t now = MonotonicMs();
        std::lock_guard<std::mutex> guard(g_lock);
        const size_t got = static_cast<size_t>(n);
        for (size_t at = 0; at + sizeof(struct nlmsghdr) <= got;) {
            auto* h = reinterpret_cast<struct nlmsghdr*>(buf + at);
            if (h->nlmsg_len < sizeof(struct nlmsghdr) || h->nlmsg_len > got - at) break;
            at += NLMSG_ALIGN(h->nlmsg_len);
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct cn_msg) + sizeof(struct proc_event))) continue;
            auto* cn = static_cast<struct cn_msg*>(NLMSG_DATA(h));
            if (cn->id.idx != CN_IDX_PROC || cn->len < sizeof(struct proc_event)) continue;
            // The event lies 4-byte aligned in the message; its fields need 8.
            struct proc_event event;
            memcpy(&event, cn->data, sizeof(event));
            const struct proc_event* ev = &event;
            if (ev->what == proc_event::PROC_EVENT_FORK) {
                auto it = g_byPid.find(ev->event_data.fork.parent_tgid);
                if (it == g_byPid.end()) continue;
                Watch* w = it->second;
                if (ev->event_data.fork.child_pid == ev->event_data.fork.child_tgid) {
                    // A new process: a member, whose own forks count too.
                    MarkDirty(*w);
                    w->recheck = true;
                    w->children.push_back(ev->event_data.fork.child_tgid);
                    g_byPid[ev->event_data.fork.child_tgid] = w;
                } else if (w->threads) {
                    LookBy(*w, now + kThreadsMs);
                }
            } else if (ev->what == proc_event::PROC_EVENT_EXIT) {
                auto it = g_byPid.find(ev->event_data.exit.process_tgid);
                if (it == g_byPid.end()) continue;
                Watch* w = it->second;
                if (ev->event_data.exit.process_pid == ev->event_data.exit.process_tgid) MarkDirty(*w);
                else if (w->threads) LookBy(*w, now + kThreadsMs);
            }
        }
    }
}

// Marks the watches whose `state` was written or whose `monitor` was closed.
void ReadInotify() {
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(g_inotify, buf, sizeof(buf));
        if (n <= 0) return;
        std::lock_guard<std::mutex> guard(g_lock);
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(*ev) + ev->len);
            if ((ev->mask & IN_Q_OVERFLOW) != 0)
                for (auto& w : g_watches) MarkDirty(*w);
            auto it = g_byWd.find(ev->wd);
            if (it == g_byWd.end()) continue;
            Watch& w = *it->second;
            if (ev->wd == w.stateWatch && w.owner) MarkDirty(w);
            if (ev->wd == w.monitorWatch && !w.owner) {
                MarkDirty(w);
                w.takeoverRetries = kTakeoverRetries;
            }
        }
    }
}

void ForgetPids(Watch& w) {
    for (auto it = g_byPid.begin(); it != g_byPid.end();) {
        if (it->second == &w) it = g_byPid.erase(it);
        else ++it;
    }
}

// When this job wants its next look. `timeLeft` is the least usage left
// before a time limit (INT64_MAX for none).
uint64_t NextLook(const Watch& w, const JobShared& s, int64_t timeLeft, uint64_t now) {
    const DWORD f = s.limits.BasicLimitInformation.LimitFlags;
    uint64_t due = kNever;
    auto soon = [&](uint64_t ms) {
        if (now + ms < due) due = now + ms;
    };
    if (!w.members.empty()) {
        if ((f & kHeldLimits) != 0) soon(kHoldMs);
        if (g_procEvents < 0) {
            // Forks inside a job that has members are not notified then.
            soon(kHoldMs);
            if ((f & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0 && !CgroupExists(w.pids)) soon(kCountMs);
        }
    }
    if (timeLeft != INT64_MAX) soon(WaitFor(timeLeft));
    if (w.recheck) soon(kForkRecheckMs);
    return due;
}

void Tick(Watch& w, uint64_t clock) {
    if (!w.owner) {
        if (flock(w.monitor.get(), LOCK_EX | LOCK_NB) != 0) {
            // The actor's close of `monitor` brings us back here.
            if (g_inotify < 0) {
                w.due = clock + kHoldMs;
            } else if (w.takeoverRetries > 0) {
                --w.takeoverRetries;
                w.due = clock + kTakeoverRetryMs;
            } else {
                w.due = kNever;
            }
            return;
        }
        w.owner = true;
        if (w.events && !w.eventsArmed) {
            Listen(w.events.get(), kCgroupEvents, w.id, EPOLLPRI);
            w.eventsArmed = true;
        }
        // Members present when we take over were reported by the monitor before us.
        for (pid_t pid : CgroupProcs(w.cg)) {
            ProcSample ps;
            if (SampleProcess(pid, ps, false)) w.members.push_back({pid, ps.start, 0, false, false});
        }
        w.refusedForks = KeyCount(w.pids + "/pids.events", "max");
    }
    ArmOom(w);
    JobShared s;
    if (LockShared(w.state.get(), s) != ERROR_SUCCESS) {
        w.due = clock + kHoldMs;
        return;
    }
    // Written back only when changed: every write wakes the monitor again.
    unsigned char before[sizeof(JobShared)];
    memcpy(before, &s, sizeof(s));
    JOBOBJECT_BASIC_LIMIT_INFORMATION& b = s.limits.BasicLimitInformation;
    w.threads = (b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0 && CgroupExists(w.pids);
    int64_t timeLeft = INT64_MAX;
    const size_t ring = sizeof(s.assigned) / sizeof(s.assigned[0]);

    std::vector<Member> now;
    std::vector<ProcSample> samples;
    for (pid_t pid : CgroupProcs(w.cg)) {
        ProcSample ps;
        if (!SampleProcess(pid, ps, true)) continue;
        Member m{pid, ps.start, ps.rss, false, false};
        auto old = std::find_if(w.members.begin(), w.members.end(),
                                [&](const Member& o) { return o.pid == pid && o.start == ps.start; });
        if (old != w.members.end()) {
            m.killed = old->killed;
            m.memoryPosted = old->memoryPosted;
        } else {
            bool counted = false;
            for (size_t i = 0; i < ring; ++i) {
                AssignedEntry& e = s.assigned[i];
                if (e.pid == pid && e.start == ps.start && e.noticed == 0) {
                    e.noticed = 1;
                    counted = true;
                }
            }
            if (!counted) ++s.totalProcesses;  // a child of a member
            Post(s, JOB_OBJECT_MSG_NEW_PROCESS, static_cast<uint64_t>(pid));
        }
        now.push_back(m);
        samples.push_back(ps);
    }
    // Assigned and ended before we looked.
    for (size_t i = 0; i < ring; ++i) {
        AssignedEntry& e = s.assigned[i];
        if (e.pid == 0 || e.noticed != 0) continue;
        e.noticed = 1;
        Post(s, JOB_OBJECT_MSG_NEW_PROCESS, static_cast<uint64_t>(e.pid));
        Post(s, JOB_OBJECT_MSG_EXIT_PROCESS, static_cast<uint64_t>(e.pid));
    }
    const Member* vanished = nullptr;  // the gone member with the most memory
    for (const Member& old : w.members) {
        bool still = std::any_of(now.begin(), now.end(),
                                 [&](const Member& m) { return m.pid == old.pid && m.start == old.start; });
        if (still) continue;
        Post(s, JOB_OBJECT_MSG_EXIT_PROCESS, static_cast<uint64_t>(old.pid));
        if (!old.killed && (vanished == nullptr || old.rss > vanished->rss)) vanished = &old;
    }
    if (now.empty() && !w.members.empty()) Post(s, JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0);

    // Active processes. The pids controller refuses forks beyond the limit
    // (threads count there too, so its limit grows by them); refusals are
    // reported once a look. Without it, or beyond the limit by assignment,
    // the newest go.
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0) {
        if (CgroupExists(w.pids)) {
            SyncPidsMax(w.pids, b.ActiveProcessLimit);
            uint64_t refused = KeyCount(w.pids + "/pids.events", "max");
            if (refused > w.refusedForks) Post(s, JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, 0);
            w.refusedForks = refused;
        }
        std::vector<size_t> order(now.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t c) { return now[a].start < now[c].start; });
        size_t alive = 0;
        for (size_t i : order) {
            if (now[i].killed) continue;
            if (++alive <= b.ActiveProcessLimit) continue;
            if (Kill(now[i])) {
                now[i].killed = true;
                ++s.totalTerminated;
                Post(s, JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, 0);
            }
        }
    }
    // Per-process user time.
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_TIME) != 0) {
        // A member forked after this look starts from nothing; without the
        // process events it is first seen on a later look.
        if (g_procEvents < 0) timeLeft = b.PerProcessUserTimeLimit.QuadPart;
        for (size_t i = 0; i < now.size(); ++i) {
            if (now[i].killed) continue;
            int64_t left = b.PerProcessUserTimeLimit.QuadPart - static_cast<LONGLONG>(JobTicksTo100ns(samples[i].utime));
            if (left >= 0) {
                timeLeft = std::min(timeLeft, left);
                continue;
            }
            if (Kill(now[i])) {
                now[i].killed = true;
                ++s.totalTerminated;
                Post(s, JOB_OBJECT_MSG_END_OF_PROCESS_TIME, static_cast<uint64_t>(now[i].pid));
            }
        }
    }
    // Job user time since the limit was set.
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME) != 0 && s.jobTimeHit == 0) {
        uint64_t user = CgroupKeyValue(w.cg + "/cpu.stat", "user_usec");
        uint64_t used = user > s.jobTimeBaseUsec ? (user - s.jobTimeBaseUsec) * 10 : 0;
        if (static_cast<LONGLONG>(used) <= b.PerJobUserTimeLimit.QuadPart) {
            // Only members use time: with none, a joining one brings a look.
            if (!now.empty()) timeLeft = std::min(timeLeft, b.PerJobUserTimeLimit.QuadPart - static_cast<int64_t>(used));
        } else {
            if (s.endOfJobAction == JOB_OBJECT_POST_AT_END_OF_JOB) {
                // Reported once; the job goes on without the limit, whose
                // value it keeps.
                b.LimitFlags &= ~JOB_OBJECT_LIMIT_JOB_TIME;
            } else {
                WriteCgroupFile(w.cg + "/cgroup.kill", "1");
                for (Member& m : now) {
                    if (!m.killed) ++s.totalTerminated;
                    m.killed = true;
                }
                s.jobTimeHit = 1;
                SetJobSignal(w.signal.get(), true);
            }
            Post(s, JOB_OBJECT_MSG_END_OF_JOB_TIME, 0);
        }
    }
    // Memory: peaks of use, the per-process limit, the group's out-of-memory kills.
    uint64_t jobBytes = 0;
    const Member* biggest = nullptr;
    for (size_t i = 0; i < now.size(); ++i) {
        jobBytes += samples[i].rss;
        if (samples[i].rssPeak > s.peakProcess) s.peakProcess = samples[i].rssPeak;
        if (biggest == nullptr || now[i].rss > biggest->rss) biggest = &now[i];
        uint64_t limit = s.limits.ProcessMemoryLimit;
        if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0 && !now[i].memoryPosted &&
            samples[i].vmPeak >= limit - limit / 16) {
            now[i].memoryPosted = true;
            Post(s, JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT, static_cast<uint64_t>(now[i].pid));
        }
    }
    if (jobBytes > s.peakJob) s.peakJob = jobBytes;
    if (w.oom) {
        uint64_t kills = KeyCount(w.memory + "/memory.oom_control", "oom_kill");
        const Member* victim = vanished != nullptr ? vanished : biggest;
        if (kills > w.oomKills) {
            // Ended by the group's memory limit: counted as ended by a limit.
            s.totalTerminated += static_cast<uint32_t>(kills - w.oomKills);
            if ((b.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0)
                Post(s, JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, victim != nullptr ? static_cast<uint64_t>(victim->pid) : 0);
        }
        w.oomKills = kills;
    }
    const bool cpuset = CgroupExists(w.cpuset);
    for (size_t i = 0; i < now.size(); ++i)
        if (!now[i].killed) Hold(now[i], samples[i], s.limits, cpuset);
    UnlockShared(w.state.get(), memcmp(before, &s, sizeof(s)) != 0 ? &s : nullptr);
    w.members = std::move(now);
    ForgetPids(w);
    w.children.clear();
    for (const Member& m : w.members) g_byPid[m.pid] = &w;
    w.due = NextLook(w, s, timeLeft, clock);
    w.recheck = false;
}

void Wake() {
    uint64_t one = 1;
    if (g_kick >= 0 && write(g_kick, &one, sizeof(one)) < 0) {
    }
}

// Marks the watch an epoll entry of a cgroup or memory event names.
void CgroupEvent(Source what, uint64_t id) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_byId.find(id);
    if (it == g_byId.end()) return;  // detached meanwhile
    Watch& w = *it->second;
    if (what == kCgroupEvents && w.events) {
        // cgroup.events must be read again before it notifies again.
        char buf[128];
        if (pread(w.events.get(), buf, sizeof(buf), 0) < 0) {
        }
    }
    uint64_t v;
    if (what == kOom && w.oom && read(w.oom.get(), &v, sizeof(v)) < 0) {
    }
    MarkDirty(w);
}

// Listens to the process events or not.
void ListenToProcEvents(bool on) {
    struct epoll_event ev{};
    ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ev.data.u64 = kProcEvents;
    epoll_ctl(g_epoll, EPOLL_CTL_MOD, g_procEvents, &ev);
}

void Run() {
    AdoptProcessIdentity();
    // The process events are listened to only while we act for a job with
    // members (a mediator beside a running service does not), and not for
    // kProcBatchMs after each read.
    bool procOn = g_procEvents >= 0, procPaused = false;
    uint64_t procResume = 0;
    struct epoll_event evs[64];
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            uint64_t now = MonotonicMs();
            uint64_t next = g_anyDirty ? now : g_nextDue;
            if (procPaused && procResume < next) next = procResume;
            if (next != kNever) timeout = static_cast<int>(std::min<uint64_t>(next > now ? next - now : 0, INT_MAX));
        }
        int n = epoll_wait(g_epoll, evs, 64, timeout);
        for (int i = 0; i < n; ++i) {
            const Source what = static_cast<Source>(evs[i].data.u64 & 7);
            const uint64_t id = evs[i].data.u64 >> 3;
            uint64_t v;
            switch (what) {
            case kKick:
                if (read(g_kick, &v, sizeof(v)) < 0) {
                }
                break;
            case kInotify:
                ReadInotify();
                break;
            case kProcEvents: {
                ReadProcEvents();
                // Not listened to for a while: what comes meanwhile is read at once then.
                ListenToProcEvents(false);
                procOn = false;
                procPaused = true;
                procResume = MonotonicMs() + kProcBatchMs;
                break;
            }
            case kCgroupEvents:
            case kOom:
                CgroupEvent(what, id);
                break;
            }
        }
        uint64_t now = MonotonicMs();
        if (procPaused && now >= procResume) procPaused = false;
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_anyDirty || now >= g_nextDue) {
            g_anyDirty = false;
            g_nextDue = kNever;
            for (auto& w : g_watches) {
                if (w->dirty || now >= w->due) {
                    w->dirty = false;
                    Tick(*w, now);
                }
                if (w->due < g_nextDue) g_nextDue = w->due;
            }
        }
        bool wanted = g_procEvents >= 0 && !procPaused && !g_byPid.empty();
        if (wanted != procOn) {
            ListenToProcEvents(wanted);
            procOn = wanted;
        }
    }
}

}  // namespace

void MonitorAttach(const JobObject* job) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& w : g_watches) {
        if (w->dir == job->hold->dir) {
            ++w->refs;
            return;
        }
    }
    auto w = std::make_unique<Watch>();
    w->dir = job->hold->dir;
    w->cg = job->cg;
    auto v1 = [&](V1Controller c) {
        return job->layout.v1Parent[c].empty() ? std::string() : job->layout.v1Parent[c] + "/" + job->name;
    };
    w->memory = v1(kV1Memory);
    w->cpuset = v1(kV1Cpuset);
    w->pids = v1(kV1Pids);
    w->state.reset(open((w->dir + "/state").c_str(), O_RDWR | O_CLOEXEC));
    w->signal.reset(open((w->dir + "/signal").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    w->monitor.reset(open((w->dir + "/monitor").c_str(), O_RDWR | O_CLOEXEC));
    w->events.reset(open((w->cg + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC));
    if (!w->state || !w->signal || !w->monitor) return;
    if (g_epoll < 0) {
        g_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (g_epoll < 0) return;
        g_kick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        Listen(g_kick, kKick, 0, EPOLLIN);
        g_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (g_inotify >= 0) Listen(g_inotify, kInotify, 0, EPOLLIN);
        g_procEvents = OpenProcEvents();
        if (g_procEvents >= 0) Listen(g_procEvents, kProcEvents, 0, EPOLLIN);
        std::thread(Run).detach();
    }
    w->id = g_nextId++;
    g_byId[w->id] = w.get();
    if (g_inotify >= 0) {
        w->stateWatch = inotify_add_watch(g_inotify, (w->dir + "/state").c_str(), IN_MODIFY);
        w->monitorWatch = inotify_add_watch(g_inotify, (w->dir + "/monitor").c_str(), IN_CLOSE_WRITE);
        for (int wd : {w->stateWatch, w->monitorWatch})
            if (wd >= 0) g_byWd[wd] = w.get();
    }
    MarkDirty(*w);
    g_watches.push_back(std::move(w));
    Wake();
}

void MonitorDetach(const JobObject* job) {
    if (!job->hold || !job->hold->holder) return;
    std::lock_guard<std::mutex> guard(g_lock);
    for (size_t i = 0; i < g_watches.size(); ++i) {
        Watch& w = *g_watches[i];
        if (w.dir != job->hold->dir) continue;
        if (--w.refs > 0) return;
        ForgetPids(w);
        for (int wd : {w.stateWatch, w.monitorWatch}) {
            if (wd < 0) continue;
            inotify_rm_watch(g_inotify, wd);
            g_byWd.erase(wd);
        }
        g_byId.erase(w.id);
        // A child between fork and exec may still hold a copy of these.
        if (w.eventsArmed) epoll_ctl(g_epoll, EPOLL_CTL_DEL, w.events.get(), nullptr);
        if (w.oom) epoll_ctl(g_epoll, EPOLL_CTL_DEL, w.oom.get(), nullptr);
        g_watches.erase(g_watches.begin() + static_cast<long>(i));
        return;
    }
}

void MonitorKick(const JobObject* job) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& w : g_watches)
            if (w->dir == job->hold->dir) MarkDirty(*w);
    }
    Wake();
}

}  // namespace pal
