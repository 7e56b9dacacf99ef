// Job objects. A job is a named object (run/jobs/<name>/, existing while some
// process holds it) plus one cgroup v2 directory of the same name under this
// state root's parent cgroup. The object directory holds `state` (limits,
// counters and the port association, shared by every holder), `signal` (a
// FIFO holding one byte while the job is signalled) and `monitor` (whose
// exclusive flock names the one process whose monitor acts for the job).
// Limits with a kernel controller use it, in the v1 hierarchies of hybrid
// hosts: memory (job memory, working set), cpu (scheduling class, and the
// real-time budget of a realtime group), cpuset (affinity) and pids (the
// active-process limit). Priority, affinity and the process memory limit are
// also set on each member, and the monitor (job_monitor.cpp) holds them and
// enforces the rest.
// Known gaps: no jobs without a writable cgroup hierarchy; no silent
// breakaway; page faults and I/O of ended members are not counted; the job
// messages reach the port only while the process whose monitor acts for the
// job holds a handle of that port (or the job's association was made there).
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "internal/identity.h"
#include "internal/iocp.h"
#include "internal/job.h"
#include "internal/process.h"
#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"

namespace pal {
namespace {

constexpr DWORD kExtendedFlags = JOB_OBJECT_EXTENDED_LIMIT_VALID_FLAGS;
// Limits that need a v1 controller on this host, and which one.
constexpr DWORD kMemoryFlags = JOB_OBJECT_LIMIT_JOB_MEMORY | JOB_OBJECT_LIMIT_WORKINGSET;
constexpr DWORD kCpuFlags = JOB_OBJECT_LIMIT_SCHEDULING_CLASS;
// The least real-time budget worth giving a cgroup, in microseconds a period.
constexpr uint64_t kLeastRtRuntimeUs = 1000;

bool PidfdEnded(int pidfd) {
    struct pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool FifoReadable(int fd) {
    struct pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void Destroy(Object* o);
bool Signaled(Object* o) { return FifoReadable(static_cast<JobObject*>(o)->signal.get()); }
bool Consume(Object*) { return true; }  // stays signalled, like a manual-reset event
void Unconsume(Object*) {}
int PollFd(Object* o) { return static_cast<JobObject*>(o)->signal.get(); }
const ObjectOps kJobOps{Destroy, Signaled, Consume, Unconsume, PollFd};

std::string V1Dir(V1Controller c, const JobObject* job) {
    const std::string& parent = job->layout.v1Parent[c];
    return parent.empty() ? std::string() : parent + "/" + job->name;
}

std::string ParentOf(const std::string& dir) { return dir.substr(0, dir.find_last_of('/')); }


// Moves the processes of a cgroup into a new one beside it
// ("<dir>.orphan.<pid>.<n>"; cgroup2 refuses renames) and removes it. The
// processes stay in "a job" of ours, as they would on Windows. 0 or errno.
int SetAside(const std::string& dir) {
    static std::atomic<unsigned> serial{0};
    std::string aside = dir + ".orphan." + std::to_string(getpid()) + "." + std::to_string(serial++);
    if (mkdir(aside.c_str(), 0755) != 0) return errno;
    for (int round = 0; round < 20; ++round) {  // members may fork meanwhile
        for (pid_t pid : CgroupProcs(dir)) {
            int err = WriteCgroupFile(aside + "/cgroup.procs", std::to_string(pid));
            if (err != 0 && err != ESRCH) return err;
        }
        if (rmdir(dir.c_str()) == 0) return 0;
        if (errno != EBUSY) return errno;
    }
    return EBUSY;
}

// Calls fn(name) for every cgroup directly below `dir`.
template <typename Fn>
void ForEachChildCgroup(const std::string& dir, Fn fn) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (struct dirent* e = readdir(d))
        if (e->d_type == DT_DIR && e->d_name[0] != '.') fn(std::string(e->d_name));
    closedir(d);
}

// Removes the cgroups under `parent` whose job no longer exists (no object
// directory in `area`) and the set-aside ones, each once empty.
void SweepCgroups(const std::string& parent, const std::string& area) {
    ForEachChildCgroup(parent, [&](const std::string& name) {
        struct stat st;
        if (name.find(".orphan.") != std::string::npos || stat((area + "/" + name).c_str(), &st) != 0)
            rmdir((parent + "/" + name).c_str());
    });
}

// Makes `dir` a fresh, empty cgroup. One left behind by an earlier job of the
// same name is removed, or its processes are set aside. With `area` (the job
// objects' directory), left-overs of other ended jobs that have emptied
// meanwhile are removed too.
int FreshCgroup(const std::string& dir, const std::string& area = std::string()) {
    size_t slash = dir.find_last_of('/');
    std::string parent = dir.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    if (!area.empty()) SweepCgroups(parent, area);
    if (rmdir(dir.c_str()) != 0 && errno == EBUSY) {
        int err = SetAside(dir);
        if (err != 0) return err;
    }
    if (mkdir(dir.c_str(), 0755) != 0) return errno;
    return 0;
}

// Removes a job's cgroup and, when it was the last, the parent: both only
// once empty. One that still has processes at the last close stays, with its
// limits, until the next create of a job finds it empty.
void RemoveCgroup(const std::string& dir) {
    if (dir.empty()) return;
    rmdir(dir.c_str());
    rmdir(dir.substr(0, dir.find_last_of('/')).c_str());
}

// Until "populated 0" in cgroup.events, which notifies each change.
bool WaitEmpty(const std::string& cg, int ms) {
    uint64_t deadline = MonotonicMs() + static_cast<uint64_t>(ms);
    ScopedFd events(open((cg + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC));
    if (!events) return !CgroupExists(cg);
    for (;;) {
        char buf[128];
        ssize_t n = pread(events.get(), buf, sizeof(buf) - 1, 0);
        if (n < 0) return false;
        buf[n] = 0;
        if (strstr(buf, "populated 0") != nullptr) return true;
        uint64_t now = MonotonicMs();
        if (now >= deadline) return false;
        struct pollfd p{events.get(), POLLPRI, 0};
        if (poll(&p, 1, static_cast<int>(deadline - now)) < 0 && errno != EINTR) return false;
    }
}

void Destroy(Object* o) {
    JobObject* job = static_cast<JobObject*>(o);
    MonitorDetach(job);
    if (job->port) UnregisterPortQueue(job->port.get());
    bool kill = false;
    if (job->state) {
        JobShared s;
        if (ReadShared(job->state.get(), s) == ERROR_SUCCESS)
            kill = (s.limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0;
    }
    if (job->hold && !job->cg.empty()) {
        job->hold->onLast = [job, kill] {
            if (kill && KillJobCgroup(job->cg) == ERROR_SUCCESS) WaitEmpty(job->cg, 500);
            RemoveCgroup(job->cg);
            for (int c = 0; c < kV1Count; ++c) RemoveCgroup(V1Dir(static_cast<V1Controller>(c), job));
        };
    }
    job->hold.reset();
    delete job;
}

DWORD InitObject(const std::string& dir, const JobObject* job) {
    JobShared s{};
    s.magic = kJobSharedMagic;
    s.endOfJobAction = JOB_OBJECT_TERMINATE_AT_END_OF_JOB;
    s.limits.BasicLimitInformation.SchedulingClass = 5;  // a job's default class
    // Inside the creation lock: no job comes or goes while we sweep.
    std::string area = dir.substr(0, dir.find_last_of('/'));
    int err = FreshCgroup(job->cg, area);
    if (err == 0) {
        for (int c = 0; c < kV1Count; ++c) {
            std::string v1 = V1Dir(static_cast<V1Controller>(c), job);
            if (v1.empty()) continue;
            SweepCgroups(ParentOf(v1), area);
            if (CgroupExists(v1)) FreshCgroup(v1);
        }
    }
    if (err != 0) return ErrnoToWin32(err);
    ScopedFd state(open((dir + "/state").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!state) return ErrnoToWin32(errno);
    if (write(state.get(), &s, sizeof(s)) != static_cast<ssize_t>(sizeof(s))) return ErrnoToWin32(errno);
    if (mkfifo((dir + "/signal").c_str(), 0600) != 0) return ErrnoToWin32(errno);
    ScopedFd mon(open((dir + "/monitor").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!mon) return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

DWORD MakeJob(LPSECURITY_ATTRIBUTES sa, LPCWSTR name, bool openOnly, DWORD access, HANDLE& out) {
    out = nullptr;
    static std::atomic<unsigned> anonymous{0};
    std::u16string generated;
    if (name == nullptr || name[0] == 0) {
        if (openOnly) return ERROR_INVALID_PARAMETER;
        // A private name: only this handle (and its duplicates) reach the job.
        generated = ToUtf16("anon." + std::to_string(getpid()) + "." + std::to_string(anonymous++));
        name = generated.c_str();
    }
    auto* job = new JobObject(&kJobOps);
    ObjRef<JobObject> ref(job);
    DWORD rc = FindCgroupLayout(job->layout);
    if (rc != ERROR_SUCCESS) return rc;
    job->name = EncodeName(name);
    job->cg = job->layout.parent() + "/" + job->name;
    job->access = access;
    std::string area = StatePath("run/jobs");
    if (area.empty()) return GetLastError();
    int err = MakeDirs(area, 0700);
    if (err != 0) return ErrnoToWin32(err, true);
    job->hold = std::make_unique<NamedHold>();
    std::string kind = "job";
    bool existed = false;
    rc = AcquireNamed("jobs", name, kind, sa, openOnly, *job->hold, existed,
                      [job, sa](const std::string& dir) -> DWORD {
                          DWORD r = InitObject(dir, job);
                          for (const char* f : {"/state", "/signal", "/monitor"})
                              if (r == ERROR_SUCCESS) r = ApplySecurity(dir + f, sa, false);
                          if (r != ERROR_SUCCESS) rmdir(job->cg.c_str());
                          return r;
                      });
    if (rc != ERROR_SUCCESS) {
        job->hold.reset();
        return rc;
    }
    if (kind != "job") {
        job->hold.reset();
        return ERROR_INVALID_HANDLE;  // the name belongs to an object of another type
    }
    job->state.reset(open((job->hold->dir + "/state").c_str(), O_RDWR | O_CLOEXEC));
    job->signal.reset(open((job->hold->dir + "/signal").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!job->state || !job->signal) return ErrnoToWin32(errno);
    MonitorAttach(job);
    AddRef(job);
    out = NewHandle(job);
    if (out == nullptr) return GetLastError();
    return existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
}

JobObject* LookupJob(HANDLE h, DWORD right, DWORD& err) {
    auto* job = static_cast<JobObject*>(LookupHandle(h, ObjType::Job));
    if (job == nullptr) {
        err = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((job->access & right) != right) {
        Release(job);
        err = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    err = ERROR_SUCCESS;
    return job;
}

// Writes a member into the v1 hierarchies the job's limits use.
DWORD JoinV1(const JobObject* job, pid_t pid) {
    for (int c = 0; c < kV1Count; ++c) {
        std::string dir = V1Dir(static_cast<V1Controller>(c), job);
        if (!CgroupExists(dir)) continue;
        int err = WriteCgroupFile(dir + "/cgroup.procs", std::to_string(pid));
        if (err != 0 && err != ESRCH) return ErrnoToWin32(err);
    }
    return ERROR_SUCCESS;
}

uint64_t JobUserUsec(const JobObject* job) { return CgroupKeyValue(job->cg + "/cpu.stat", "user_usec"); }

DWORD InternalAssign(JobObject* job, ProcessObject* proc) {
    if ((proc->access & (PROCESS_SET_QUOTA | PROCESS_TERMINATE)) != (PROCESS_SET_QUOTA | PROCESS_TERMINATE))
        return ERROR_ACCESS_DENIED;
    struct pollfd p{proc->pidfd.get(), POLLIN, 0};
    if (poll(&p, 1, 0) > 0) return ERROR_ACCESS_DENIED;  // ended
    std::string rel = job->layout.parentRel + "/" + job->name;
    std::string now = ProcessCgroup(proc->pid);
    if (now == rel) return ERROR_SUCCESS;
    // No nested jobs: a process in another job of ours stays there.
    if (now.rfind(job->layout.parentRel + "/", 0) == 0) return ERROR_ACCESS_DENIED;
    JobShared s;
    DWORD rc = LockShared(job->state.get(), s);
    if (rc != ERROR_SUCCESS) return rc;
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = s.limits.BasicLimitInformation;
    bool full = (b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0 &&
                CgroupProcs(job->cg).size() >= b.ActiveProcessLimit;
    if (s.jobTimeHit != 0 || full) rc = ERROR_NOT_ENOUGH_QUOTA;
    if (rc == ERROR_SUCCESS) {
        int err = WriteCgroupFile(job->cg + "/cgroup.procs", std::to_string(proc->pid));
        if (err != 0) rc = err == ESRCH ? ERROR_ACCESS_DENIED : ErrnoToWin32(err);
    }
    if (rc == ERROR_SUCCESS) rc = JoinV1(job, proc->pid);
    DWORD limitsRc = ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) {
        if ((b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0)
            SyncPidsMax(V1Dir(kV1Pids, job), b.ActiveProcessLimit);
        // A member whose limits could not all be set stays a member; the
        // caller hears of it, and the monitor tries again.
        limitsRc = ApplyMemberLimits(proc->pid, s.limits, 0);
        AssignedEntry& e = s.assigned[s.assignedNext++ % (sizeof(s.assigned) / sizeof(s.assigned[0]))];
        e.pid = proc->pid;
        e.start = proc->startTicks;
        e.noticed = 0;
        ++s.totalProcesses;
    }
    DWORD wr = UnlockShared(job->state.get(), rc == ERROR_SUCCESS ? &s : nullptr);
    if (rc == ERROR_SUCCESS) MonitorKick(job);
    if (rc != ERROR_SUCCESS) return rc;
    return wr != ERROR_SUCCESS ? wr : limitsRc;
}

// ---- queries ----

void FillAccounting(JobObject* job, const JobShared& s, JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION& a) {
    memset(&a, 0, sizeof(a));
    std::string stat = job->cg + "/cpu.stat";
    uint64_t user = CgroupKeyValue(stat, "user_usec"), sys = CgroupKeyValue(stat, "system_usec");
    a.BasicInfo.TotalUserTime.QuadPart = static_cast<LONGLONG>(user * 10);
    a.BasicInfo.TotalKernelTime.QuadPart = static_cast<LONGLONG>(sys * 10);
    uint64_t userBase = s.jobTimeBaseUsec <= user ? s.jobTimeBaseUsec : user;
    uint64_t sysBase = s.kernelBaseUsec <= sys ? s.kernelBaseUsec : sys;
    a.BasicInfo.ThisPeriodTotalUserTime.QuadPart = static_cast<LONGLONG>((user - userBase) * 10);
    a.BasicInfo.ThisPeriodTotalKernelTime.QuadPart = static_cast<LONGLONG>((sys - sysBase) * 10);
    std::vector<pid_t> members = CgroupProcs(job->cg);
    uint64_t faults = 0;
    for (pid_t pid : members) {
        ProcSample ps;
        if (SampleProcess(pid, ps, false)) faults += ps.faults;
        ReadProcIo(pid, a.IoInfo);
    }
    a.BasicInfo.TotalPageFaultCount = static_cast<DWORD>(faults);
    a.BasicInfo.ActiveProcesses = static_cast<DWORD>(members.size());
    // The monitor may not have counted the newest members yet.
    a.BasicInfo.TotalProcesses = s.totalProcesses > members.size() ? s.totalProcesses : static_cast<DWORD>(members.size());
    a.BasicInfo.TotalTerminatedProcesses = s.totalTerminated;
}

DWORD InternalQuery(JobObject* job, JOBOBJECTINFOCLASS cls, void* info, DWORD length, DWORD& written) {
    written = 0;
    JobShared s;
    DWORD rc = ReadShared(job->state.get(), s);
    if (rc != ERROR_SUCCESS) return rc;
    auto put = [&](const void* data, DWORD size) -> DWORD {
        if (length != size) return ERROR_BAD_LENGTH;
        memcpy(info, data, size);
        written = size;
        return ERROR_SUCCESS;
    };
    switch (cls) {
    case JobObjectBasicAccountingInformation:
    case JobObjectBasicAndIoAccountingInformation: {
        JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION a;
        FillAccounting(job, s, a);
        if (cls == JobObjectBasicAccountingInformation) return put(&a.BasicInfo, sizeof(a.BasicInfo));
        return put(&a, sizeof(a));
    }
    case JobObjectBasicLimitInformation:
        return put(&s.limits.BasicLimitInformation, sizeof(s.limits.BasicLimitInformation));
    case JobObjectExtendedLimitInformation: {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION l = s.limits;
        // Memory use, not address space: the largest resident set a member
        // reached, and the group's memory cgroup peak (without one, the
        // largest sum of the members' resident sets the monitor saw).
        // The monitor samples on its looks only, which an idle job does not
        // get: the members alive now count with what they reached so far,
        // and that is kept for when they have ended.
        uint64_t peakProcess = s.peakProcess, jobBytes = 0;
        for (pid_t pid : CgroupProcs(job->cg)) {
            ProcSample ps;
            if (!SampleProcess(pid, ps, true)) continue;
            jobBytes += ps.rss;
            if (ps.rssPeak > peakProcess) peakProcess = ps.rssPeak;
        }
        if (peakProcess > s.peakProcess || jobBytes > s.peakJob) {
            WithShared(job->state.get(), [&](JobShared& now) {
                if (peakProcess > now.peakProcess) now.peakProcess = peakProcess;
                if (jobBytes > now.peakJob) now.peakJob = jobBytes;
                return true;
            });
        }
        l.PeakProcessMemoryUsed = peakProcess;
        l.PeakJobMemoryUsed = jobBytes > s.peakJob ? jobBytes : s.peakJob;
        std::string mem = V1Dir(kV1Memory, job);
        if (CgroupExists(mem)) l.PeakJobMemoryUsed = CgroupNumber(mem + "/memory.max_usage_in_bytes");
        return put(&l, sizeof(l));
    }
    case JobObjectEndOfJobTimeInformation: {
        JOBOBJECT_END_OF_JOB_TIME_INFORMATION e{s.endOfJobAction};
        return put(&e, sizeof(e));
    }
    case JobObjectBasicProcessIdList: {
        constexpr DWORD head = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
        if (length < sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST)) return ERROR_BAD_LENGTH;
        auto* list = static_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(info);
        std::vector<pid_t> members = CgroupProcs(job->cg);
        DWORD room = (length - head) / sizeof(ULONG_PTR);
        DWORD n = members.size() < room ? static_cast<DWORD>(members.size()) : room;
        list->NumberOfAssignedProcesses = static_cast<DWORD>(members.size());
        list->NumberOfProcessIdsInList = n;
        for (DWORD i = 0; i < n; ++i) list->ProcessIdList[i] = static_cast<ULONG_PTR>(members[i]);
        written = head + n * static_cast<DWORD>(sizeof(ULONG_PTR));
        return n < members.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
    case JobObjectAssociateCompletionPortInformation:  // set-only on Windows too
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// ---- limits ----

DWORD ValidateLimits(const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l, DWORD validFlags) {
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = l.BasicLimitInformation;
    DWORD f = b.LimitFlags;
    if ((f & ~validFlags) != 0) return ERROR_INVALID_PARAMETER;
    if ((f & JOB_OBJECT_LIMIT_PRIORITY_CLASS) != 0) {
        switch (b.PriorityClass) {
        case IDLE_PRIORITY_CLASS: case BELOW_NORMAL_PRIORITY_CLASS: case NORMAL_PRIORITY_CLASS:
        case ABOVE_NORMAL_PRIORITY_CLASS: case HIGH_PRIORITY_CLASS: case REALTIME_PRIORITY_CLASS: break;
        default: return ERROR_INVALID_PARAMETER;
        }
    }
    if ((f & JOB_OBJECT_LIMIT_AFFINITY) != 0) {
        DWORD_PTR mine = 0, system = 0;
        GetProcessAffinityMask(GetCurrentProcess(), &mine, &system);
        if (b.Affinity == 0 || (b.Affinity & ~system) != 0) return ERROR_INVALID_PARAMETER;
    }
    if ((f & JOB_OBJECT_LIMIT_SCHEDULING_CLASS) != 0 && b.SchedulingClass > 9) return ERROR_INVALID_PARAMETER;
    if ((f & JOB_OBJECT_LIMIT_WORKINGSET) != 0 &&
        (b.MinimumWorkingSetSize == 0 || b.MaximumWorkingSetSize < b.MinimumWorkingSetSize))
        return ERROR_INVALID_PARAMETER;
    if ((f & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) return ERROR_NOT_SUPPORTED;
    if ((f & kMemoryFlags) != 0 && V1Mount("memory").empty()) return ERROR_NOT_SUPPORTED;
    if ((f & kCpuFlags) != 0 && V1Mount("cpu").empty()) return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
}

// cpu.shares for the ten scheduling classes; 5 is the default weight.
constexpr unsigned kShares[10] = {128, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096};

bool WantsRealtime(const JOBOBJECT_BASIC_LIMIT_INFORMATION& b) {
    return (b.LimitFlags & JOB_OBJECT_LIMIT_PRIORITY_CLASS) != 0 && b.PriorityClass == REALTIME_PRIORITY_CLASS;
}

// "0,2-3": the cpuset.cpus text of a mask.
std::string CpuListOf(ULONG_PTR mask) {
    std::string text;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (((mask >> cpu) & 1) == 0) continue;
        int last = cpu;
        while (last + 1 < 64 && ((mask >> (last + 1)) & 1) != 0) ++last;
        if (!text.empty()) text += ",";
        text += std::to_string(cpu);
        if (last > cpu) text += "-" + std::to_string(last);
        cpu = last;
    }
    return text;
}

// A new cpuset cgroup has no CPUs and memory nodes and takes no task until
// it has both: it gets its parent's (the parent first, when new too).
int InheritCpuset(const std::string& dir, bool parentToo) {
    if (parentToo && CgroupText(ParentOf(dir) + "/cpuset.cpus").empty()) {
        int err = InheritCpuset(ParentOf(dir), false);
        if (err != 0) return err;
    }
    for (const char* f : {"/cpuset.mems", "/cpuset.cpus"}) {
        std::string value = CgroupText(ParentOf(dir) + f);
        if (value.empty()) return ENOSPC;
        int err = WriteCgroupFile(dir + f, value);
        if (err != 0) return err;
    }
    return 0;
}

uint64_t RtRuntime(const std::string& dir) { return CgroupNumber(dir + "/cpu.rt_runtime_us"); }

// The real-time budget that the cgroups below `dir` hold, but `except`'s.
uint64_t ChildrenRtRuntime(const std::string& dir, const std::string& except, unsigned* holders = nullptr) {
    uint64_t sum = 0;
    ForEachChildCgroup(dir, [&](const std::string& name) {
        if (dir + "/" + name == except) return;
        uint64_t r = RtRuntime(dir + "/" + name);
        sum += r;
        if (r > 0 && holders != nullptr) ++*holders;
    });
    return sum;
}

// A new v1 cpu cgroup has no real-time budget, and the kernel refuses
// SCHED_RR in it. The job's cgroup gets an equal share of its parent's
// budget with every other realtime job; the parent takes what its own parent
// has spare. ERROR_NOT_SUPPORTED where no budget can be had.
DWORD GiveRtBudget(const std::string& dir) {
    if (RtRuntime(dir) > 0) return ERROR_SUCCESS;
    std::string parent = ParentOf(dir);
    if (RtRuntime(parent) == 0) {
        std::string grand = ParentOf(parent);
        uint64_t own = RtRuntime(grand), taken = ChildrenRtRuntime(grand, parent);
        // The kernel also checks the levels above; less may be accepted.
        for (uint64_t want = own > taken ? own - taken : 0; want >= kLeastRtRuntimeUs; want /= 2)
            if (WriteCgroupFile(parent + "/cpu.rt_runtime_us", std::to_string(want)) == 0) break;
        if (RtRuntime(parent) == 0) return ERROR_NOT_SUPPORTED;
    }
    unsigned holders = 0;
    uint64_t total = RtRuntime(parent);
    ChildrenRtRuntime(parent, dir, &holders);
    uint64_t share = total / (holders + 1);
    if (share < kLeastRtRuntimeUs) return ERROR_NOT_SUPPORTED;
    // Make room: the others come down to an equal share.
    ForEachChildCgroup(parent, [&](const std::string& name) {
        std::string child = parent + "/" + name;
        if (child != dir && RtRuntime(child) > share) WriteCgroupFile(child + "/cpu.rt_runtime_us", std::to_string(share));
    });
    uint64_t spare = total - std::min(total, ChildrenRtRuntime(parent, dir));
    int err = WriteCgroupFile(dir + "/cpu.rt_runtime_us", std::to_string(std::min(spare, share)));
    if (err != 0) return spare < kLeastRtRuntimeUs ? ERROR_NOT_SUPPORTED : ErrnoToWin32(err);
    return ERROR_SUCCESS;
}

// Gives the budget back once the job has no real-time member; the parent's
// goes back too when no job holds any.
void TakeRtBudget(const std::string& dir) {
    if (!CgroupExists(dir) || RtRuntime(dir) == 0) return;
    if (WriteCgroupFile(dir + "/cpu.rt_runtime_us", "0") != 0) return;  // a member is still real-time
    std::string parent = ParentOf(dir);
    if (ChildrenRtRuntime(parent, std::string()) == 0) WriteCgroupFile(parent + "/cpu.rt_runtime_us", "0");
}

// The v1 side of the limits. A hierarchy is joined when a limit first needs
// it: memory (job limit, working-set maximum), cpu (scheduling class; the
// real-time budget of a realtime group), cpuset (affinity, held by the
// kernel) and pids (the active-process limit, held at fork). Where the host
// has no cpuset, pids or cpu hierarchy those are left to the members' own
// settings and the monitor.
DWORD ApplyV1(JobObject* job, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l) {
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = l.BasicLimitInformation;
    const DWORD f = b.LimitFlags;
    const bool realtime = WantsRealtime(b);
    const bool wanted[kV1Count] = {
        (f & kMemoryFlags) != 0,
        (f & kCpuFlags) != 0 || realtime,
        (f & JOB_OBJECT_LIMIT_AFFINITY) != 0,
        (f & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0,
    };
    std::vector<pid_t> members = CgroupProcs(job->cg);
    for (int i = 0; i < kV1Count; ++i) {
        const V1Controller c = static_cast<V1Controller>(i);
        std::string dir = V1Dir(c, job);
        if (dir.empty()) continue;
        bool exists = CgroupExists(dir);
        if (!wanted[c] && !exists) continue;
        if (!exists) {
            int err = FreshCgroup(dir);
            if (err == 0 && c == kV1Cpuset) err = InheritCpuset(dir, true);
            if (err != 0) return ErrnoToWin32(err);
        }
        // A real-time member may move into a cpu cgroup only with a budget.
        if (c == kV1Cpu && realtime) {
            DWORD rc = GiveRtBudget(dir);
            if (rc != ERROR_SUCCESS) return rc;
        }
        if (!exists) {
            for (pid_t pid : members) {
                int err = WriteCgroupFile(dir + "/cgroup.procs", std::to_string(pid));
                if (err != 0 && err != ESRCH) return ErrnoToWin32(err);
            }
        }
        int err = 0;
        switch (c) {
        case kV1Memory:
            err = WriteCgroupFile(dir + "/memory.limit_in_bytes",
                                  (f & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0 ? std::to_string(l.JobMemoryLimit) : "-1");
            // The kernel refuses a memory limit below what the group already uses.
            if (err == EBUSY) return ERROR_NOT_ENOUGH_QUOTA;
            if (err == 0)
                err = WriteCgroupFile(dir + "/memory.soft_limit_in_bytes",
                                      (f & JOB_OBJECT_LIMIT_WORKINGSET) != 0 ? std::to_string(b.MaximumWorkingSetSize)
                                                                             : "-1");
            break;
        case kV1Cpu:
            err = WriteCgroupFile(
                dir + "/cpu.shares",
                std::to_string((f & JOB_OBJECT_LIMIT_SCHEDULING_CLASS) != 0 ? kShares[b.SchedulingClass % 10] : 1024u));
            break;
        case kV1Cpuset:
            err = WriteCgroupFile(dir + "/cpuset.cpus", (f & JOB_OBJECT_LIMIT_AFFINITY) != 0
                                                            ? CpuListOf(b.Affinity)
                                                            : CgroupText(ParentOf(dir) + "/cpuset.cpus"));
            break;
        case kV1Pids:
            if ((f & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0) {
                DWORD rc = SyncPidsMax(dir, b.ActiveProcessLimit);
                if (rc != ERROR_SUCCESS) return rc;
            } else {
                err = WriteCgroupFile(dir + "/pids.max", "max");
            }
            break;
        default:
            break;
        }
        if (err != 0) return ErrnoToWin32(err);
    }
    return ERROR_SUCCESS;
}

DWORD SetLimits(JobObject* job, JOBOBJECT_EXTENDED_LIMIT_INFORMATION l, bool extended) {
    DWORD rc = ValidateLimits(l, extended ? kExtendedFlags : JOB_OBJECT_BASIC_LIMIT_VALID_FLAGS);
    if (rc != ERROR_SUCCESS) return rc;
    JobShared s;
    rc = LockShared(job->state.get(), s);
    if (rc != ERROR_SUCCESS) return rc;
    JOBOBJECT_BASIC_LIMIT_INFORMATION& b = l.BasicLimitInformation;
    JOBOBJECT_BASIC_LIMIT_INFORMATION& old = s.limits.BasicLimitInformation;
    if (!extended) {
        // The basic record leaves the extended-only limits as they were.
        b.LimitFlags |= old.LimitFlags & ~JOB_OBJECT_BASIC_LIMIT_VALID_FLAGS;
        l.ProcessMemoryLimit = s.limits.ProcessMemoryLimit;
        l.JobMemoryLimit = s.limits.JobMemoryLimit;
    }
    bool preserve = (b.LimitFlags & JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME) != 0;
    b.LimitFlags &= ~JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME;
    if (preserve) {
        // The job time limit, its period and the signalled state stay as they were.
        b.LimitFlags = (b.LimitFlags & ~JOB_OBJECT_LIMIT_JOB_TIME) | (old.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME);
        b.PerJobUserTimeLimit = old.PerJobUserTimeLimit;
    }
    // A limit without its flag keeps the value it is given, as the job keeps it.
    rc = ApplyV1(job, l);
    DWORD membersRc = ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) {
        uint64_t lastProcessLimit =
            (old.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0 ? s.limits.ProcessMemoryLimit : 0;
        l.IoInfo = IO_COUNTERS{};
        l.PeakProcessMemoryUsed = 0;
        l.PeakJobMemoryUsed = 0;
        s.limits = l;
        if (!preserve) {
            s.jobTimeBaseUsec = JobUserUsec(job);
            s.kernelBaseUsec = CgroupKeyValue(job->cg + "/cpu.stat", "system_usec");
            s.jobTimeHit = 0;
            SetJobSignal(job->signal.get(), false);
        }
        // The limits are the job's now; a member that refuses one is the
        // caller's failure, and the monitor keeps trying.
        for (pid_t pid : CgroupProcs(job->cg)) {
            DWORD r = ApplyMemberLimits(pid, l, lastProcessLimit);
            if (membersRc == ERROR_SUCCESS) membersRc = r;
        }
        if (!WantsRealtime(b)) TakeRtBudget(V1Dir(kV1Cpu, job));
    }
    DWORD wr = UnlockShared(job->state.get(), rc == ERROR_SUCCESS ? &s : nullptr);
    MonitorKick(job);
    if (rc != ERROR_SUCCESS) return rc;
    return wr != ERROR_SUCCESS ? wr : membersRc;
}

DWORD Associate(JobObject* job, const JOBOBJECT_ASSOCIATE_COMPLETION_PORT& a) {
    ObjRef<Object> port(LookupHandle(a.CompletionPort, ObjType::Port));
    if (!port) return ERROR_INVALID_HANDLE;
    int fd = PortQueueDescriptor(port.p);
    DWORD result = ERROR_INVALID_PARAMETER;  // one association per job, as on Windows
    DWORD rc = WithShared(job->state.get(), [&](JobShared& s) {
        if (s.portSet != 0) return false;
        ScopedFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 3));
        if (!copy) {
            result = ErrnoToWin32(errno);
            return false;
        }
        // Our copy keeps the port alive with the job, as on Windows.
        if (job->port) UnregisterPortQueue(job->port.get());
        job->port = std::move(copy);
        RegisterPortQueue(job->port.get());
        s.portSet = 1;
        s.portKey = reinterpret_cast<uintptr_t>(a.CompletionKey);
        s.portInode = PortQueueInode(job->port.get());
        result = ERROR_SUCCESS;
        return true;
    });
    return rc != ERROR_SUCCESS ? rc : result;
}

DWORD InternalSet(JobObject* job, JOBOBJECTINFOCLASS cls, const void* info, DWORD length) {
    switch (cls) {
    case JobObjectBasicLimitInformation: {
        if (length != sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION)) return ERROR_BAD_LENGTH;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
        memcpy(&l.BasicLimitInformation, info, sizeof(l.BasicLimitInformation));
        return SetLimits(job, l, false);
    }
    case JobObjectExtendedLimitInformation: {
        if (length != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) return ERROR_BAD_LENGTH;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION l;
        memcpy(&l, info, sizeof(l));
        return SetLimits(job, l, true);
    }
    case JobObjectEndOfJobTimeInformation: {
        if (length != sizeof(JOBOBJECT_END_OF_JOB_TIME_INFORMATION)) return ERROR_BAD_LENGTH;
        DWORD action = static_cast<const JOBOBJECT_END_OF_JOB_TIME_INFORMATION*>(info)->EndOfJobTimeAction;
        if (action > JOB_OBJECT_POST_AT_END_OF_JOB) return ERROR_INVALID_PARAMETER;
        return WithShared(job->state.get(), [action](JobShared& s) {
            s.endOfJobAction = action;
            return true;
        });
    }
    case JobObjectAssociateCompletionPortInformation: {
        if (length != sizeof(JOBOBJECT_ASSOCIATE_COMPLETION_PORT)) return ERROR_BAD_LENGTH;
        return Associate(job, *static_cast<const JOBOBJECT_ASSOCIATE_COMPLETION_PORT*>(info));
    }
    case JobObjectBasicUIRestrictions:
    case JobObjectSecurityLimitInformation:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

DWORD InternalTerminate(JobObject* job) {
    size_t members = CgroupProcs(job->cg).size();
    DWORD rc = KillJobCgroup(job->cg);
    if (rc != ERROR_SUCCESS) return rc;
    WithShared(job->state.get(), [members](JobShared& s) {
        s.totalTerminated += static_cast<uint32_t>(members);
        return true;
    });
    SetJobSignal(job->signal.get(), true);
    return ERROR_SUCCESS;
}

BOOL Fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}

}  // namespace

DWORD ReadShared(int stateFd, JobShared& s) {
    while (flock(stateFd, LOCK_SH) != 0)
        if (errno != EINTR) return ErrnoToWin32(errno);
    ssize_t n = pread(stateFd, &s, sizeof(s), 0);
    int err = errno;
    flock(stateFd, LOCK_UN);
    if (n != static_cast<ssize_t>(sizeof(s)) || s.magic != kJobSharedMagic)
        return n < 0 ? ErrnoToWin32(err) : ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

DWORD LockShared(int stateFd, JobShared& s) {
    while (flock(stateFd, LOCK_EX) != 0)
        if (errno != EINTR) return ErrnoToWin32(errno);
    ssize_t n = pread(stateFd, &s, sizeof(s), 0);
    if (n != static_cast<ssize_t>(sizeof(s)) || s.magic != kJobSharedMagic) {
        int err = errno;
        flock(stateFd, LOCK_UN);
        return n < 0 ? ErrnoToWin32(err) : ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

DWORD UnlockShared(int stateFd, const JobShared* s) {
    DWORD rc = ERROR_SUCCESS;
    if (s != nullptr && pwrite(stateFd, s, sizeof(*s), 0) != static_cast<ssize_t>(sizeof(*s))) rc = ErrnoToWin32(errno);
    flock(stateFd, LOCK_UN);
    return rc;
}

void SetJobSignal(int fifo, bool on) {
    if (on) {
        if (!FifoReadable(fifo)) {
            char b = 1;
            ssize_t n = write(fifo, &b, 1);
            (void)n;
        }
        return;
    }
    char buf[64];
    while (read(fifo, buf, sizeof(buf)) > 0) {
    }
}

bool HardMemoryLimits() {
    static const bool capable = [] {
        std::string status;
        if (ReadWholeFile("/proc/self/status", status) != 0) return false;
        size_t at = status.find("\nCapEff:");
        if (at == std::string::npos) return false;
        uint64_t caps = strtoull(status.c_str() + at + 8, nullptr, 16);
        return (caps & (1ull << CAP_SYS_RESOURCE)) != 0;
    }();
    return capable;
}

DWORD ApplyMemberLimits(pid_t pid, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l, uint64_t lastProcessLimit) {
    DWORD flags = l.BasicLimitInformation.LimitFlags;
    DWORD rc = ERROR_SUCCESS;
    if ((flags & (JOB_OBJECT_LIMIT_PRIORITY_CLASS | JOB_OBJECT_LIMIT_AFFINITY)) != 0) {
        ObjRef<ProcessObject> p(OpenProcessObject(pid));
        if (!p) return ERROR_SUCCESS;  // ended: nothing left to limit
        if ((flags & JOB_OBJECT_LIMIT_PRIORITY_CLASS) != 0)
            rc = ApplyPriorityClass(p.p, l.BasicLimitInformation.PriorityClass);
        if ((flags & JOB_OBJECT_LIMIT_AFFINITY) != 0 && rc == ERROR_SUCCESS)
            rc = ApplyAffinity(p.p, l.BasicLimitInformation.Affinity);
        // One that ended meanwhile reads as refused: not a failure of ours.
        if (rc != ERROR_SUCCESS && PidfdEnded(p->pidfd.get())) return ERROR_SUCCESS;
    }
    // Per-process committed memory: the address-space limit. With the
    // privilege to lift it again it is a hard limit the member cannot raise;
    // without, the soft one, which the monitor lowers again when raised.
    struct rlimit cur;
    if (prlimit(pid, RLIMIT_AS, nullptr, &cur) != 0) {
        if (errno == ESRCH || rc != ERROR_SUCCESS) return rc;
        return ErrnoToWin32(errno);
    }
    struct rlimit want = cur;
    const bool limited = (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0;
    const rlim_t limit = static_cast<rlim_t>(l.ProcessMemoryLimit);
    const bool ours = lastProcessLimit != 0 && cur.rlim_max == static_cast<rlim_t>(lastProcessLimit);
    if (HardMemoryLimits()) {
        if (limited) want.rlim_cur = want.rlim_max = ours || limit < cur.rlim_max ? limit : cur.rlim_max;
        else if (ours) want.rlim_cur = want.rlim_max = RLIM_INFINITY;
    } else {
        want.rlim_cur = limited && limit < cur.rlim_max ? limit : cur.rlim_max;
    }
    bool same = want.rlim_cur == cur.rlim_cur && want.rlim_max == cur.rlim_max;
    if (!same && prlimit(pid, RLIMIT_AS, &want, nullptr) != 0 && rc == ERROR_SUCCESS && errno != ESRCH)
        rc = ErrnoToWin32(errno);
    return rc;
}

DWORD KillJobCgroup(const std::string& cg) {
    int err = WriteCgroupFile(cg + "/cgroup.kill", "1");
    return err == 0 ? ERROR_SUCCESS : ErrnoToWin32(err);
}

}  // namespace pal

using pal::Fail;

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES sa, LPCWSTR name) {
    HANDLE h = nullptr;
    DWORD rc = pal::MakeJob(sa, name, false, JOB_OBJECT_ALL_ACCESS, h);
    SetLastError(rc);
    return h;
}

HANDLE OpenJobObjectW(DWORD access, BOOL, LPCWSTR name) {
    HANDLE h = nullptr;
    DWORD rc = pal::MakeJob(nullptr, name, true, access, h);
    if (h == nullptr) SetLastError(rc);
    return h;
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_ASSIGN_PROCESS, err));
    if (!j) return Fail(err);
    pal::ObjRef<pal::ProcessObject> p(pal::LookupProcess(process));
    if (!p) return Fail(ERROR_INVALID_HANDLE);
    pal::ServiceIdentityScope own;  // the handles' rights were checked; cgroup work is the service's
    err = pal::InternalAssign(j.p, p.p);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length,
                               LPDWORD returnLength) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_QUERY, err));
    if (!j) return Fail(err);
    if (info == nullptr) return Fail(ERROR_NOACCESS);
    DWORD written = 0;
    pal::ServiceIdentityScope own;  // members' /proc files are read as the service
    err = pal::InternalQuery(j.p, infoClass, info, length, written);
    if (returnLength != nullptr) *returnLength = written;
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_SET_ATTRIBUTES, err));
    if (!j) return Fail(err);
    if (info == nullptr) return Fail(ERROR_NOACCESS);
    pal::ServiceIdentityScope own;
    err = pal::InternalSet(j.p, infoClass, info, length);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL TerminateJobObject(HANDLE job, UINT) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_TERMINATE, err));
    if (!j) return Fail(err);
    pal::ServiceIdentityScope own;  // cgroup.kill is written as the service
    err = pal::InternalTerminate(j.p);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL PalQueryJobLostMessages(HANDLE job, LPDWORD lost) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_QUERY, err));
    if (!j) return Fail(err);
    if (lost == nullptr) return Fail(ERROR_NOACCESS);
    pal::JobShared s;
    err = pal::ReadShared(j->state.get(), s);
    if (err != ERROR_SUCCESS) return Fail(err);
    *lost = s.lostMessages;
    return TRUE;
}
