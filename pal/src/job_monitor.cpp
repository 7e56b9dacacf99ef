// The job monitor: one thread per process that holds job objects. It acts for
// a job only while it holds the exclusive flock on the job's `monitor` file,
// so exactly one process (the service, or the mediator once the service is
// gone) enforces and reports. Every tick (100 ms, or at once on a change of
// cgroup.events, an out-of-memory event or a kick; once a second for a job
// without time or process-count limits, whose messages may come late) it
// compares the job's members with the last look, enforces what no controller
// covers (the active-process limit where there is no pids controller, newest
// first; the per-process and per-job user time), holds what members could
// undo (priority, affinity without a cpuset, the soft process memory limit)
// and posts the job messages.
// Known gaps: EXIT_PROCESS for every ending (no ABNORMAL_EXIT_PROCESS);
// PROCESS_MEMORY_LIMIT is posted when a member's peak address space comes
// within 1/16 of the limit (a refused allocation itself cannot be seen);
// JOB_MEMORY_LIMIT names the member the kernel's OOM killer ended (the one
// that vanished with the most memory), else the largest member.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

#include "internal/identity.h"
#include "internal/iocp.h"
#include "internal/job.h"
#include "internal/process.h"
#include "internal/sys.h"
#include "pal/error.h"

namespace pal {
namespace {

constexpr int kTickMs = 100;
constexpr uint64_t kQuietMs = 1000;
constexpr DWORD kUrgentLimits = JOB_OBJECT_LIMIT_ACTIVE_PROCESS | JOB_OBJECT_LIMIT_PROCESS_TIME | JOB_OBJECT_LIMIT_JOB_TIME;

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
    std::vector<Member> members;  // ascending start time
    uint64_t oomKills = 0;
    uint64_t refusedForks = 0;
    bool urgent = true;     // has limits the monitor enforces
    uint64_t nextLook = 0;  // monotonic ms of the next look when not urgent
};

std::mutex g_lock;
std::vector<std::unique_ptr<Watch>> g_watches;  // guarded by g_lock
int g_kick = -1;

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

void Tick(Watch& w) {
    if (!w.owner) {
        if (flock(w.monitor.get(), LOCK_EX | LOCK_NB) != 0) return;
        w.owner = true;
        // Members present when we take over were reported by the monitor before us.
        for (pid_t pid : CgroupProcs(w.cg)) {
            ProcSample ps;
            if (SampleProcess(pid, ps, false)) w.members.push_back({pid, ps.start, 0, false, false});
        }
        w.refusedForks = KeyCount(w.pids + "/pids.events", "max");
    }
    ArmOom(w);
    JobShared s;
    if (LockShared(w.state.get(), s) != ERROR_SUCCESS) return;
    JOBOBJECT_BASIC_LIMIT_INFORMATION& b = s.limits.BasicLimitInformation;
    w.urgent = (b.LimitFlags & kUrgentLimits) != 0;
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
        for (size_t i = 0; i < now.size(); ++i) {
            if (now[i].killed) continue;
            if (static_cast<LONGLONG>(JobTicksTo100ns(samples[i].utime)) <= b.PerProcessUserTimeLimit.QuadPart)
                continue;
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
        if (static_cast<LONGLONG>(used) > b.PerJobUserTimeLimit.QuadPart) {
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
    UnlockShared(w.state.get(), &s);
    w.members = std::move(now);
}

void Run() {
    AdoptProcessIdentity();
    for (;;) {
        std::vector<struct pollfd> fds;
        fds.push_back({g_kick, POLLIN, 0});
        {
            std::lock_guard<std::mutex> guard(g_lock);
            for (auto& w : g_watches) {
                if (w->owner && w->events) fds.push_back({w->events.get(), POLLPRI, 0});
                if (w->owner && w->oom) fds.push_back({w->oom.get(), POLLIN, 0});
            }
        }
        poll(fds.data(), fds.size(), kTickMs);
        uint64_t v;
        bool kicked = read(g_kick, &v, sizeof(v)) > 0;
        std::vector<int> fired;
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0) fired.push_back(fds[i].fd);
        uint64_t now = MonotonicMs();
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& w : g_watches) {
            auto hit = [&](const ScopedFd& fd) {
                return fd && std::find(fired.begin(), fired.end(), fd.get()) != fired.end();
            };
            bool changed = hit(w->events);
            if (changed) {
                // cgroup.events must be read again before it notifies again.
                char buf[128];
                if (pread(w->events.get(), buf, sizeof(buf), 0) < 0) {
                }
            }
            if (hit(w->oom)) {
                changed = true;
                if (read(w->oom.get(), &v, sizeof(v)) < 0) {
                }
            }
            if (w->owner && !w->urgent && !kicked && !changed && now < w->nextLook) continue;
            w->nextLook = now + kQuietMs;
            Tick(*w);
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
    g_watches.push_back(std::move(w));
    if (g_kick < 0) {
        g_kick = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        std::thread(Run).detach();
    }
}

void MonitorDetach(const JobObject* job) {
    if (!job->hold || !job->hold->holder) return;
    std::lock_guard<std::mutex> guard(g_lock);
    for (size_t i = 0; i < g_watches.size(); ++i) {
        if (g_watches[i]->dir != job->hold->dir) continue;
        if (--g_watches[i]->refs == 0) g_watches.erase(g_watches.begin() + static_cast<long>(i));
        return;
    }
}

void MonitorKick() {
    uint64_t one = 1;
    if (g_kick >= 0 && write(g_kick, &one, sizeof(one)) < 0) {
    }
}

}  // namespace pal
