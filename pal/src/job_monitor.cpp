// The job monitor: one thread per process that holds job objects. It acts for
// a job only while it holds the exclusive flock on the job's `monitor` file,
// so exactly one process (the service, or the mediator once the service is
// gone) enforces and reports. Every tick (100 ms, or at once on a change of
// cgroup.events or a kick; once a second for a job without time or
// process-count limits, whose messages may come late) it compares the job's members with the last look
// and enforces what no controller covers: the active-process limit (newest
// first), the per-process and per-job user time, and reports the job messages.
// Known gaps: EXIT_PROCESS for every ending (no ABNORMAL_EXIT_PROCESS);
// PROCESS_MEMORY_LIMIT is posted when a member's peak address space comes
// within 1/16 of the limit (a refused allocation itself cannot be seen);
// JOB_MEMORY_LIMIT names the member with the largest resident set.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

#include "internal/identity.h"
#include "internal/iocp.h"
#include "internal/job.h"
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
    std::string memory;     // v1 memory cgroup (may not exist)
    int refs = 1;
    bool owner = false;
    ScopedFd state, signal, monitor, events;
    std::vector<Member> members;  // ascending start time
    uint64_t failcnt = 0;
    pid_t biggest = 0;
    bool urgent = true;     // has limits the monitor enforces
    uint64_t nextLook = 0;  // monotonic ms of the next look when not urgent
};

std::mutex g_lock;
std::vector<std::unique_ptr<Watch>> g_watches;  // guarded by g_lock
int g_kick = -1;

bool Kill(pid_t pid) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return false;
    bool ok = syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) == 0;
    close(fd);
    return ok;
}

// Through any descriptor of the port this process holds: the process that
// made the association may be gone (the service, while the mediator acts).
void Post(Watch&, const JobShared& s, DWORD msg, uint64_t pid) {
    if (s.portSet == 0) return;
    PostToPortInode(s.portInode, msg, static_cast<ULONG_PTR>(s.portKey), static_cast<ULONG_PTR>(pid));
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
    }
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
            Post(w, s, JOB_OBJECT_MSG_NEW_PROCESS, static_cast<uint64_t>(pid));
        }
        now.push_back(m);
        samples.push_back(ps);
    }
    // Assigned and ended before we looked.
    for (size_t i = 0; i < ring; ++i) {
        AssignedEntry& e = s.assigned[i];
        if (e.pid == 0 || e.noticed != 0) continue;
        e.noticed = 1;
        Post(w, s, JOB_OBJECT_MSG_NEW_PROCESS, static_cast<uint64_t>(e.pid));
        Post(w, s, JOB_OBJECT_MSG_EXIT_PROCESS, static_cast<uint64_t>(e.pid));
    }
    for (const Member& old : w.members) {
        bool still = std::any_of(now.begin(), now.end(),
                                 [&](const Member& m) { return m.pid == old.pid && m.start == old.start; });
        if (!still) Post(w, s, JOB_OBJECT_MSG_EXIT_PROCESS, static_cast<uint64_t>(old.pid));
    }
    if (now.empty() && !w.members.empty()) Post(w, s, JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0);

    // Active processes: the newest beyond the limit go.
    std::vector<size_t> order(now.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t c) { return now[a].start < now[c].start; });
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0) {
        size_t alive = 0;
        for (size_t i : order) {
            if (now[i].killed) continue;
            if (++alive <= b.ActiveProcessLimit) continue;
            if (Kill(now[i].pid)) {
                now[i].killed = true;
                ++s.totalTerminated;
                Post(w, s, JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, 0);
            }
        }
    }
    // Per-process user time.
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_TIME) != 0) {
        for (size_t i = 0; i < now.size(); ++i) {
            if (now[i].killed) continue;
            if (static_cast<LONGLONG>(JobTicksTo100ns(samples[i].utime)) <= b.PerProcessUserTimeLimit.QuadPart)
                continue;
            if (Kill(now[i].pid)) {
                now[i].killed = true;
                ++s.totalTerminated;
                Post(w, s, JOB_OBJECT_MSG_END_OF_PROCESS_TIME, static_cast<uint64_t>(now[i].pid));
            }
        }
    }
    // Job user time since the limit was set.
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME) != 0 && s.jobTimeHit == 0) {
        uint64_t user = CgroupKeyValue(w.cg + "/cpu.stat", "user_usec");
        uint64_t used = user > s.jobTimeBaseUsec ? (user - s.jobTimeBaseUsec) * 10 : 0;
        if (static_cast<LONGLONG>(used) > b.PerJobUserTimeLimit.QuadPart) {
            if (s.endOfJobAction == JOB_OBJECT_POST_AT_END_OF_JOB) {
                // Reported once; the job goes on without the limit.
                b.LimitFlags &= ~JOB_OBJECT_LIMIT_JOB_TIME;
                b.PerJobUserTimeLimit.QuadPart = 0;
            } else {
                WriteCgroupFile(w.cg + "/cgroup.kill", "1");
                for (Member& m : now) {
                    if (!m.killed) ++s.totalTerminated;
                    m.killed = true;
                }
                s.jobTimeHit = 1;
                SetJobSignal(w.signal.get(), true);
            }
            Post(w, s, JOB_OBJECT_MSG_END_OF_JOB_TIME, 0);
        }
    }
    // Memory: peaks, the per-process limit, the job limit of the v1 group.
    uint64_t jobBytes = 0;
    pid_t biggest = 0;
    uint64_t biggestRss = 0;
    for (size_t i = 0; i < now.size(); ++i) {
        jobBytes += samples[i].vmSize;
        if (samples[i].vmPeak > s.peakProcess) s.peakProcess = samples[i].vmPeak;
        if (samples[i].rss >= biggestRss) {
            biggestRss = samples[i].rss;
            biggest = now[i].pid;
        }
        uint64_t limit = s.limits.ProcessMemoryLimit;
        if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0 && !now[i].memoryPosted &&
            samples[i].vmPeak >= limit - limit / 16) {
            now[i].memoryPosted = true;
            Post(w, s, JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT, static_cast<uint64_t>(now[i].pid));
        }
    }
    if (jobBytes > s.peakJob) s.peakJob = jobBytes;
    struct stat st;
    if (stat(w.memory.c_str(), &st) == 0) {
        uint64_t failcnt = CgroupNumber(w.memory + "/memory.failcnt");
        if (failcnt > w.failcnt && (b.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0)
            Post(w, s, JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, static_cast<uint64_t>(biggest != 0 ? biggest : w.biggest));
        w.failcnt = failcnt;
    }
    if (biggest != 0) w.biggest = biggest;
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
            for (auto& w : g_watches)
                if (w->owner && w->events) fds.push_back({w->events.get(), POLLPRI, 0});
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
            bool changed = w->events && std::find(fired.begin(), fired.end(), w->events.get()) != fired.end();
            if (changed) {
                // cgroup.events must be read again before it notifies again.
                char buf[128];
                if (pread(w->events.get(), buf, sizeof(buf), 0) < 0) {
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
    std::string mount = V1Mount("memory");
    if (!mount.empty()) w->memory = mount + job->layout.parentRel + "/" + job->name;
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
