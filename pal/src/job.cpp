// Job objects. A job is a named object (run/jobs/<name>/, existing while some
// process holds it) plus one cgroup v2 directory of the same name under this
// state root's parent cgroup. The object directory holds `state` (limits,
// counters and the port association, shared by every holder), `signal` (a
// FIFO holding one byte while the job is signalled) and `monitor` (whose
// exclusive flock names the one process whose monitor acts for the job).
// Limits with a kernel controller use it (v1 memory and cpu on hybrid hosts);
// priority, affinity and the process memory limit are set on each member; the
// rest is the monitor's (job_monitor.cpp).
// Known gaps: no jobs without a writable cgroup hierarchy; no silent
// breakaway; page faults and I/O of ended members are not counted; the job
// messages reach the port only while the process whose monitor acts for the
// job holds a handle of that port (or the job's association was made there).
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

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

std::string V1Dir(const char* controller, const JobObject* job) {
    std::string mount = V1Mount(controller);
    return mount.empty() ? std::string() : mount + job->layout.parentRel + "/" + job->name;
}

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

// Removes the cgroups under `parent` whose job no longer exists (no object
// directory in `area`) and the set-aside ones, each once empty.
void SweepCgroups(const std::string& parent, const std::string& area) {
    DIR* d = opendir(parent.c_str());
    if (d == nullptr) return;
    while (struct dirent* e = readdir(d)) {
        if (e->d_type != DT_DIR || e->d_name[0] == '.') continue;
        struct stat st;
        if (strstr(e->d_name, ".orphan.") != nullptr || stat((area + "/" + e->d_name).c_str(), &st) != 0)
            rmdir((parent + "/" + e->d_name).c_str());
    }
    closedir(d);
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

bool WaitEmpty(const std::string& cg, int ms) {
    uint64_t deadline = MonotonicMs() + static_cast<uint64_t>(ms);
    while (!CgroupProcs(cg).empty()) {
        if (MonotonicMs() >= deadline) return false;
        usleep(5000);
    }
    return true;
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
            RemoveCgroup(V1Dir("memory", job));
            RemoveCgroup(V1Dir("cpu", job));
        };
    }
    job->hold.reset();
    delete job;
}

DWORD InitObject(const std::string& dir, const JobObject* job) {
    JobShared s{};
    s.magic = kJobSharedMagic;
    s.endOfJobAction = JOB_OBJECT_TERMINATE_AT_END_OF_JOB;
    // Inside the creation lock: no job comes or goes while we sweep.
    std::string area = dir.substr(0, dir.find_last_of('/'));
    int err = FreshCgroup(job->cg, area);
    if (err == 0) {
        for (const char* c : {"memory", "cpu"}) {
            std::string v1 = V1Dir(c, job);
            struct stat st;
            if (v1.empty()) continue;
            SweepCgroups(v1.substr(0, v1.find_last_of('/')), area);
            if (stat(v1.c_str(), &st) == 0) FreshCgroup(v1);
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
    int err = MakeDirs(area, 0755);
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
    for (const char* c : {"memory", "cpu"}) {
        std::string dir = V1Dir(c, job);
        struct stat st;
        if (dir.empty() || stat(dir.c_str(), &st) != 0) continue;
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
    if (rc == ERROR_SUCCESS) {
        ApplyMemberLimits(proc->pid, s.limits);
        AssignedEntry& e = s.assigned[s.assignedNext++ % (sizeof(s.assigned) / sizeof(s.assigned[0]))];
        e.pid = proc->pid;
        e.start = proc->startTicks;
        e.noticed = 0;
        ++s.totalProcesses;
    }
    DWORD wr = UnlockShared(job->state.get(), rc == ERROR_SUCCESS ? &s : nullptr);
    if (rc == ERROR_SUCCESS) MonitorKick();
    return rc != ERROR_SUCCESS ? rc : wr;
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
        l.PeakProcessMemoryUsed = s.peakProcess;
        l.PeakJobMemoryUsed = s.peakJob;
        std::string mem = V1Dir("memory", job);
        if (!mem.empty()) {
            uint64_t peak = CgroupNumber(mem + "/memory.max_usage_in_bytes");
            if (peak > l.PeakJobMemoryUsed) l.PeakJobMemoryUsed = peak;
        }
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

// The v1 side of the limits: memory (job limit, working-set maximum) and cpu
// (scheduling class). A hierarchy is joined when a limit first needs it.
DWORD ApplyV1(JobObject* job, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l) {
    const JOBOBJECT_BASIC_LIMIT_INFORMATION& b = l.BasicLimitInformation;
    std::vector<pid_t> members = CgroupProcs(job->cg);
    struct Setting {
        const char* controller;
        bool wanted;
        const char* file;
        std::string value;
    };
    Setting settings[] = {
        {"memory", (b.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0, "memory.limit_in_bytes",
         (b.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0 ? std::to_string(l.JobMemoryLimit) : "-1"},
        {"memory", (b.LimitFlags & JOB_OBJECT_LIMIT_WORKINGSET) != 0, "memory.soft_limit_in_bytes",
         (b.LimitFlags & JOB_OBJECT_LIMIT_WORKINGSET) != 0 ? std::to_string(b.MaximumWorkingSetSize) : "-1"},
        {"cpu", (b.LimitFlags & JOB_OBJECT_LIMIT_SCHEDULING_CLASS) != 0, "cpu.shares",
         std::to_string((b.LimitFlags & JOB_OBJECT_LIMIT_SCHEDULING_CLASS) != 0 ? kShares[b.SchedulingClass % 10]
                                                                                  : 1024u)},
    };
    for (const Setting& st : settings) {
        std::string dir = V1Dir(st.controller, job);
        struct stat sb;
        bool exists = !dir.empty() && stat(dir.c_str(), &sb) == 0;
        if (!st.wanted && !exists) continue;
        if (!exists) {
            int err = FreshCgroup(dir);
            if (err != 0) return ErrnoToWin32(err);
            for (pid_t pid : members) {
                err = WriteCgroupFile(dir + "/cgroup.procs", std::to_string(pid));
                if (err != 0 && err != ESRCH) return ErrnoToWin32(err);
            }
        }
        int err = WriteCgroupFile(dir + "/" + st.file, st.value);
        // The kernel refuses a memory limit below what the group already uses.
        if (err == EBUSY) return ERROR_NOT_ENOUGH_QUOTA;
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
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME) == 0) b.PerJobUserTimeLimit.QuadPart = 0;
    if ((b.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_TIME) == 0) b.PerProcessUserTimeLimit.QuadPart = 0;
    rc = ApplyV1(job, l);
    if (rc == ERROR_SUCCESS) {
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
        for (pid_t pid : CgroupProcs(job->cg)) ApplyMemberLimits(pid, l);
    }
    DWORD wr = UnlockShared(job->state.get(), rc == ERROR_SUCCESS ? &s : nullptr);
    MonitorKick();
    return rc != ERROR_SUCCESS ? rc : wr;
}

DWORD Associate(JobObject* job, const JOBOBJECT_ASSOCIATE_COMPLETION_PORT& a) {
    ObjRef<Object> port(LookupHandle(a.CompletionPort, ObjType::Port));
    if (!port) return ERROR_INVALID_HANDLE;
    int fd = DescriptorOfHandleValue(HandleToULong(a.CompletionPort));
    if (fd < 0) return ERROR_INVALID_HANDLE;
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

DWORD ApplyMemberLimits(pid_t pid, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l) {
    DWORD flags = l.BasicLimitInformation.LimitFlags;
    DWORD rc = ERROR_SUCCESS;
    if ((flags & (JOB_OBJECT_LIMIT_PRIORITY_CLASS | JOB_OBJECT_LIMIT_AFFINITY)) != 0) {
        ObjRef<ProcessObject> p(OpenProcessObject(pid));
        if (!p) return ERROR_ACCESS_DENIED;
        if ((flags & JOB_OBJECT_LIMIT_PRIORITY_CLASS) != 0)
            rc = ApplyPriorityClass(p.p, l.BasicLimitInformation.PriorityClass);
        if ((flags & JOB_OBJECT_LIMIT_AFFINITY) != 0 && rc == ERROR_SUCCESS)
            rc = ApplyAffinity(p.p, l.BasicLimitInformation.Affinity);
    }
    // Per-process committed memory: the soft address-space limit (a hard one
    // we could not raise again); without the limit the soft value goes back
    // up to the hard one.
    struct rlimit cur;
    if (prlimit(pid, RLIMIT_AS, nullptr, &cur) == 0) {
        struct rlimit want = cur;
        if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) {
            want.rlim_cur = l.ProcessMemoryLimit < cur.rlim_max ? l.ProcessMemoryLimit : cur.rlim_max;
        } else {
            want.rlim_cur = cur.rlim_max;
        }
        if (want.rlim_cur != cur.rlim_cur && prlimit(pid, RLIMIT_AS, &want, nullptr) != 0 && rc == ERROR_SUCCESS &&
            errno != ESRCH)
            rc = ErrnoToWin32(errno);
    }
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
    err = pal::InternalQuery(j.p, infoClass, info, length, written);
    if (returnLength != nullptr) *returnLength = written;
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_SET_ATTRIBUTES, err));
    if (!j) return Fail(err);
    if (info == nullptr) return Fail(ERROR_NOACCESS);
    err = pal::InternalSet(j.p, infoClass, info, length);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL TerminateJobObject(HANDLE job, UINT) {
    DWORD err;
    pal::ObjRef<pal::JobObject> j(pal::LookupJob(job, JOB_OBJECT_TERMINATE, err));
    if (!j) return Fail(err);
    err = pal::InternalTerminate(j.p);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}
