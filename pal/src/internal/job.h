// Job objects inside the layer: the cgroup helpers, the state every process
// holding a job shares, and the job monitor.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "internal/named.h"
#include "internal/object.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/job.h"

namespace pal {

// ---- cgroups (job_cgroup.cpp) ----

// The v1 hierarchies a job's limits may use.
enum V1Controller { kV1Memory, kV1Cpu, kV1Cpuset, kV1Pids, kV1Count };
const char* V1Name(V1Controller c);

// Where the jobs of this state root live. Worked example on a hybrid host
// where the service runs in the v2 root and in "/process_api/7" of the v1
// memory hierarchy:
//   /proc/self/mountinfo: "... /sys/fs/cgroup/unified ... - cgroup2 cgroup2 rw"
//   /proc/self/cgroup:    "0::/", "5:memory:/process_api/7", "3:cpu,cpuacct:/"
//   state root /tmp/r1 -> parent "zembrik-3f2a9c01d4e7" (hash of the root path)
//   job "Kvjob_web"     -> /sys/fs/cgroup/unified/zembrik-3f2a9c01d4e7/Kvjob_web
//   its memory limit    -> /sys/fs/cgroup/memory/process_api/7/zembrik-3f2a9c01d4e7/Kvjob_web
//   its cpu weight      -> /sys/fs/cgroup/cpu/zembrik-3f2a9c01d4e7/Kvjob_web
// Under systemd the service runs in its unit's delegated cgroup
// ("0::/system.slice/zembrik.service"), and the parent goes below it.
struct CgroupLayout {
    std::string v2Mount;    // empty when the host has no cgroup2 mount
    std::string parentRel;  // "/<own v2 path>/zembrik-<hash>", relative to the mount
    std::string parent() const { return v2Mount + parentRel; }
    // Absolute parent of the jobs in each v1 hierarchy; empty where the
    // host does not mount that controller.
    std::string v1Parent[kV1Count];
};
// Returns ERROR_NOT_SUPPORTED without a cgroup2 mount.
DWORD FindCgroupLayout(CgroupLayout& out);
// The v1 mount of a controller ("memory", "cpu"), or empty.
std::string V1Mount(const char* controller);

// 0 or errno.
int WriteCgroupFile(const std::string& path, const std::string& value);
bool CgroupExists(const std::string& dir);  // false for an empty path
// A cgroup file's text without its line end; empty when unreadable.
std::string CgroupText(const std::string& path);
// Members of a cgroup (cgroup.procs), ascending.
std::vector<pid_t> CgroupProcs(const std::string& dir);
// A "name value" line of a flat-keyed file (cpu.stat, memory.stat); 0 when absent.
uint64_t CgroupKeyValue(const std::string& path, const char* key);
uint64_t CgroupNumber(const std::string& path);
// The v2 cgroup path of a process relative to the mount ("" when unreadable).
std::string ProcessCgroup(pid_t pid);
// The v1 pids controller counts tasks, not processes: sets pids.max of a
// job's pids cgroup (when it has one) to its process limit plus every
// member's threads beyond its first. The monitor keeps it so as threads come
// and go.
DWORD SyncPidsMax(const std::string& dir, DWORD limit);

// ---- per-process numbers from /proc (job_cgroup.cpp) ----
struct ProcSample {
    uint64_t start = 0;          // start time in ticks: with the pid, the identity
    uint64_t utime = 0, stime = 0;  // ticks
    uint64_t faults = 0;         // minor + major
    long nice = 0;               // of the main thread
    unsigned policy = 0;
    uint64_t vmSize = 0, vmPeak = 0, rss = 0, rssPeak = 0;  // bytes
};
bool SampleProcess(pid_t pid, ProcSample& s, bool memory);
bool ReadProcIo(pid_t pid, IO_COUNTERS& io);
uint64_t JobTicksTo100ns(uint64_t ticks);

// ---- state shared by every process holding the job (job.cpp) ----

struct AssignedEntry {
    int32_t pid;
    uint32_t noticed;  // the monitor has seen it
    uint64_t start;
};

// The `state` file of the job's object directory, read and written whole
// under an exclusive flock on it.
struct JobShared {
    uint32_t magic;
    uint32_t endOfJobAction;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    uint64_t jobTimeBaseUsec;     // cpu.stat user_usec when the job-time period began
    uint64_t kernelBaseUsec;
    uint32_t portSet;
    uint32_t jobTimeHit;          // terminated at its job time: signalled, closed to new members
    uint64_t portInode;           // the port's queue: every process holding it posts there
    uint64_t portKey;
    uint32_t totalProcesses;
    uint32_t totalTerminated;
    uint64_t peakProcess;
    uint64_t peakJob;
    uint32_t assignedNext;
    uint32_t lostMessages;        // job messages the port had no room for
    AssignedEntry assigned[32];  // recent assignments, so the monitor counts each process once
};
constexpr uint32_t kJobSharedMagic = 0x4A4F4232;  // "JOB2"

struct JobObject : Object {
    explicit JobObject(const ObjectOps* o) : Object(ObjType::Job, o) {}
    std::unique_ptr<NamedHold> hold;
    std::string name;      // encoded job name: the cgroup directory
    CgroupLayout layout;
    std::string cg;        // v2 cgroup directory
    DWORD access = 0;
    ScopedFd state;        // the state file
    ScopedFd signal;       // FIFO: one byte while signalled
    ScopedFd port;         // our copy of the associated port's queue (registered by inode)
};

// Runs fn(JobShared&) under the state lock; writes it back when fn returns true.
template <typename Fn>
DWORD WithShared(int stateFd, Fn fn);
DWORD ReadShared(int stateFd, JobShared& s);
DWORD LockShared(int stateFd, JobShared& s);    // takes the lock and reads
DWORD UnlockShared(int stateFd, const JobShared* s);  // writes back when s, unlocks

template <typename Fn>
DWORD WithShared(int stateFd, Fn fn) {
    JobShared s;
    DWORD rc = LockShared(stateFd, s);
    if (rc != ERROR_SUCCESS) return rc;
    bool write = fn(s);
    return UnlockShared(stateFd, write ? &s : nullptr);
}

void SetJobSignal(int fifo, bool on);
// Applies the limits that act on each process (priority, affinity, process
// memory) to one member. `lastProcessLimit` is the process memory limit the
// job had before (0 for none): a hard limit of exactly that value is ours
// to lift. A member that has ended is not an error. Returns a Win32 code.
DWORD ApplyMemberLimits(pid_t pid, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l, uint64_t lastProcessLimit);
// Whether the process may raise hard resource limits (CAP_SYS_RESOURCE):
// then the process memory limit is a hard one that members cannot lift.
bool HardMemoryLimits();
// Kills every member (cgroup.kill).
DWORD KillJobCgroup(const std::string& cg);

// ---- the monitor (job_monitor.cpp) ----

// The monitor watches a job while at least one object of this process names
// it and no other process monitors it (an exclusive flock on `monitor`).
void MonitorAttach(const JobObject* job);
void MonitorDetach(const JobObject* job);
// Makes the monitor look at the job now (after an assignment or new limits;
// other processes' changes reach it through the `state` file).
void MonitorKick(const JobObject* job);

}  // namespace pal
