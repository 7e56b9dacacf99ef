// Job objects against real cgroups and real processes (children of this
// binary), checked with /proc, ps and taskset. Root only; every process is
// ended by its pid and every cgroup is removed by the end of its test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "internal/job.h"
#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/job.h"
#include "pal/process.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

TEST_CHILD_MODE(job_sleep) {
    (void)arg;
    for (;;) pause();
}

// Spins user time until killed.
TEST_CHILD_MODE(job_burn) {
    (void)arg;
    volatile unsigned long x = 0;
    for (;;) x = x + 1;
}

// After arg ms starts one child of its own (which dies with it), then sleeps.
TEST_CHILD_MODE(job_fork) {
    usleep(static_cast<useconds_t>(atoi(arg.c_str())) * 1000);
    if (fork() == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
    }
    for (;;) pause();
}

// Two extra threads, then sleeps.
TEST_CHILD_MODE(job_threads) {
    (void)arg;
    std::thread([] { for (;;) pause(); }).detach();
    std::thread([] { for (;;) pause(); }).detach();
    for (;;) pause();
}

// arg "<ms>:<MiB>": waits, then allocates and touches MiB, 1 MiB at a time,
// until refused; then sleeps.
TEST_CHILD_MODE(job_alloc) {
    usleep(static_cast<useconds_t>(atoi(arg.c_str())) * 1000);
    int mib = atoi(arg.c_str() + arg.find(':') + 1);
    for (int i = 0; i < mib; ++i) {
        char* p = static_cast<char*>(malloc(1 << 20));
        if (p == nullptr) break;
        memset(p, 1, 1 << 20);
    }
    for (;;) pause();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Waits (bounded) until a file exists.
bool WaitFile(const std::string& path, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (FileExists(path)) return true;
        usleep(10000);
    }
    return FileExists(path);
}

// Idles until the file arg exists, then spins user time until killed.
TEST_CHILD_MODE(job_burn_later) {
    while (!FileExists(arg)) usleep(10000);
    volatile unsigned long x = 0;
    for (;;) x = x + 1;
}

constexpr ULONG_PTR kHandoverKey = 31;

// arg "<member pid> <dir>": makes the job with its port, limit and member,
// publishes the port's handle value in <dir>/port, ends once <dir>/go exists.
TEST_CHILD_MODE(job_port_owner) {
    int member = 0;
    char dir[512] = {};
    if (sscanf(arg.c_str(), "%d %511s", &member, dir) != 2) return 2;
    HANDLE job = CreateJobObjectW(nullptr, u"Kvjob_handover");
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (job == nullptr || port == nullptr) return 3;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT a{reinterpret_cast<PVOID>(kHandoverKey), port};
    if (!SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &a, sizeof(a))) return 4;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_TIME;
    l.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = 3000000;  // 0.3 s
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &l, sizeof(l))) return 5;
    HANDLE p = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(member));
    if (p == nullptr || !AssignProcessToJobObject(job, p)) return 6;
    CloseHandle(p);
    std::string d = dir;
    testsupport::WriteText(d + "/port.tmp", std::to_string(HandleToULong(port)));
    if (rename((d + "/port.tmp").c_str(), (d + "/port").c_str()) != 0) return 7;
    if (!WaitFile(d + "/go", 20000)) return 8;
    CloseHandle(port);
    CloseHandle(job);
    return 0;
}

// arg "<owner pid> <port value> <member pid> <dir>": pulls the owner's port,
// keeps the job open, says so in <dir>/ready and waits for the member's
// END_OF_PROCESS_TIME.
TEST_CHILD_MODE(job_port_keeper) {
    DWORD owner = 0, value = 0;
    int member = 0;
    char dir[512] = {};
    if (sscanf(arg.c_str(), "%u %u %d %511s", &owner, &value, &member, dir) != 4) return 2;
    HANDLE proc = OpenProcess(PROCESS_DUP_HANDLE, FALSE, owner);
    if (proc == nullptr) return 3;
    HANDLE port = nullptr;
    if (!DuplicateHandle(proc, ULongToHandle(value), GetCurrentProcess(), &port, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 4;
    CloseHandle(proc);
    HANDLE job = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_handover");
    if (job == nullptr) return 5;
    testsupport::WriteText(std::string(dir) + "/ready", "1");
    int result = 10;  // no message
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED ov = nullptr;
        if (!GetQueuedCompletionStatus(port, &bytes, &key, &ov, 30000)) break;
        if (bytes != JOB_OBJECT_MSG_END_OF_PROCESS_TIME) continue;
        long pid = static_cast<long>(reinterpret_cast<uintptr_t>(ov));
        result = key != kHandoverKey ? 11 : pid != member ? 12 : 0;
        break;
    }
    // The cgroup goes with our close once the killed member has left it.
    for (int i = 0; i < 500; ++i) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION acc{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &acc, sizeof(acc), nullptr) ||
            acc.ActiveProcesses == 0)
            break;
        usleep(10000);
    }
    CloseHandle(job);
    CloseHandle(port);
    return result;
}

struct Child {
    int pid = -1;
    explicit Child(int p) : pid(p) {}
    ~Child() { testsupport::KillChild(pid); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
};

// A job handle that kills what is left in its cgroup before closing.
struct Job {
    HANDLE h = nullptr;
    std::string cg;
    ~Job() {
        if (h == nullptr) return;
        if (!cg.empty()) {
            testsupport::WriteText(cg + "/cgroup.kill", "1");
            for (int i = 0; i < 200 && !pal::CgroupProcs(cg).empty(); ++i) usleep(10000);
        }
        CloseHandle(h);
    }
};


bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class JobTest : public RootTest {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "job objects need root (cgroup writes)";
        if (pal::FindCgroupLayout(layout_) != ERROR_SUCCESS) GTEST_SKIP() << "no cgroup2 mount";
        if (access(layout_.v2Mount.c_str(), W_OK) != 0) GTEST_SKIP() << "cgroup2 hierarchy not writable";
    }
    void TearDown() override {
        if (layout_.v2Mount.empty()) return;
        // Everything we created is gone once every handle is closed.
        EXPECT_FALSE(Exists(layout_.parent()));
        for (const std::string& v1 : layout_.v1Parent) {
            if (!v1.empty()) {
                EXPECT_FALSE(Exists(v1)) << v1;
            }
        }
    }
    void Make(Job& job, const char16_t* name) {
        job.h = CreateJobObjectW(nullptr, name);
        ASSERT_NE(job.h, nullptr) << GetLastError();
        job.cg = layout_.parent() + "/" + pal::EncodeName(name);
    }
    HANDLE OpenForJob(int pid) { return OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, pid); }
    void Assign(Job& job, int pid) {
        HANDLE p = OpenForJob(pid);
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(AssignProcessToJobObject(job.h, p)) << GetLastError();
        CloseHandle(p);
    }
    std::string CgroupOf(int pid) { return pal::ProcessCgroup(pid); }
    std::string Rel(const char16_t* name) { return layout_.parentRel + "/" + pal::EncodeName(name); }
    std::string V1(pal::V1Controller c, const char16_t* name) {
        return layout_.v1Parent[c] + "/" + pal::EncodeName(name);
    }
    // Waits until the cgroup has n members.
    bool WaitMembers(const std::string& cg, size_t n) {
        for (int i = 0; i < 300; ++i) {
            if (pal::CgroupProcs(cg).size() == n) return true;
            usleep(10000);
        }
        return false;
    }
    pal::CgroupLayout layout_;
};

// The next packet with message `msg` (others are skipped); its pid, or -1.
long WaitMessage(HANDLE port, DWORD msg, ULONG_PTR wantKey, int ms = 5000) {
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED ov = nullptr;
        if (!GetQueuedCompletionStatus(port, &bytes, &key, &ov, static_cast<DWORD>(ms))) return -1;
        if (bytes == msg) {
            EXPECT_EQ(key, wantKey);
            return static_cast<long>(reinterpret_cast<uintptr_t>(ov));
        }
    }
}

HANDLE Associate(HANDLE job, ULONG_PTR key) {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT a{reinterpret_cast<PVOID>(key), port};
    EXPECT_TRUE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &a, sizeof(a)));
    return port;
}

bool SetLimits(HANDLE job, const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& l) {
    auto copy = l;
    return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &copy, sizeof(copy)) != FALSE;
}

JOBOBJECT_BASIC_ACCOUNTING_INFORMATION Accounting(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION a{};
    EXPECT_TRUE(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &a, sizeof(a), nullptr));
    return a;
}

// Named jobs exist while held: a second create opens with ERROR_ALREADY_EXISTS,
// and once the last handle is closed the name and the cgroup are gone.
TEST_F(JobTest, CreateOpenAndLifetime) {
    {
        Job a, b;
        SetLastError(0xdeadbeef);
        Make(a, u"Kvjob_web/1");
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        EXPECT_TRUE(Exists(a.cg));
        b.h = CreateJobObjectW(nullptr, u"Kvjob_web/1");
        ASSERT_NE(b.h, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        HANDLE c = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_web/1");
        ASSERT_NE(c, nullptr);
        // Rights come from the open: a query-only handle may not terminate.
        EXPECT_FALSE(TerminateJobObject(c, 1));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        CloseHandle(c);
        EXPECT_EQ(OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_none"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_web/1"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A member's children land in the job; the id list follows the Windows buffer protocol.
TEST_F(JobTest, ChildrenJoinAndIdList) {
    Job job;
    Make(job, u"Kvjob_fork");
    HANDLE port = Associate(job.h, 5);
    Child child(testsupport::SpawnChild("job_fork", "300"));
    // A handle without PROCESS_SET_QUOTA|PROCESS_TERMINATE may not be assigned.
    HANDLE weak = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.pid);
    EXPECT_FALSE(AssignProcessToJobObject(job.h, weak));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(weak);
    Assign(job, child.pid);
    EXPECT_EQ(CgroupOf(child.pid), Rel(u"Kvjob_fork"));
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 5), child.pid);
    long grandchild = WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 5);
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(CgroupOf(static_cast<int>(grandchild)), Rel(u"Kvjob_fork"));

    JOBOBJECT_BASIC_PROCESS_ID_LIST small{};
    DWORD ret = 0;
    EXPECT_FALSE(QueryInformationJobObject(job.h, JobObjectBasicProcessIdList, &small, sizeof(small), &ret));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(small.NumberOfAssignedProcesses, 2u);
    EXPECT_EQ(small.NumberOfProcessIdsInList, 1u);
    EXPECT_EQ(ret, sizeof(small));
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[4];
    } big{};
    ASSERT_TRUE(QueryInformationJobObject(job.h, JobObjectBasicProcessIdList, &big, sizeof(big), &ret));
    EXPECT_EQ(big.list.NumberOfProcessIdsInList, 2u);
    EXPECT_EQ(ret, 8 + 2 * sizeof(ULONG_PTR));
    std::vector<ULONG_PTR> ids{big.list.ProcessIdList[0], big.more[0]};
    EXPECT_TRUE((ids[0] == static_cast<ULONG_PTR>(child.pid) && ids[1] == static_cast<ULONG_PTR>(grandchild)) ||
                (ids[1] == static_cast<ULONG_PTR>(child.pid) && ids[0] == static_cast<ULONG_PTR>(grandchild)));
    // Children seen by the monitor count in TotalProcesses.
    EXPECT_EQ(Accounting(job.h).TotalProcesses, 2u);
    CloseHandle(port);
}

// A process already in another of our jobs cannot move (no nested jobs);
// assigning it to its own job again succeeds.
TEST_F(JobTest, NoSecondJob) {
    Job a, b;
    Make(a, u"Kvjob_a");
    Make(b, u"Kvjob_b");
    Child child(testsupport::SpawnChild("job_sleep", ""));
    Assign(a, child.pid);
    HANDLE p = OpenForJob(child.pid);
    EXPECT_FALSE(AssignProcessToJobObject(b.h, p));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(AssignProcessToJobObject(a.h, p));
    EXPECT_EQ(CgroupOf(child.pid), Rel(u"Kvjob_a"));
    CloseHandle(p);
}

// User time of the job comes from cpu.stat and agrees with /proc.
TEST_F(JobTest, AccountingCountsUserTime) {
    Job job;
    Make(job, u"Kvjob_burn");
    Child child(testsupport::SpawnChild("job_burn", ""));
    Assign(job, child.pid);
    usleep(400000);
    kill(child.pid, SIGSTOP);
    usleep(50000);
    pal::ProcSample ps;
    ASSERT_TRUE(pal::SampleProcess(child.pid, ps, false));
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION a = Accounting(job.h);
    LONGLONG procUser = static_cast<LONGLONG>(pal::JobTicksTo100ns(ps.utime));
    EXPECT_GT(a.TotalUserTime.QuadPart, 0);
    // Time spent before the move is not the job's: at most the process's own.
    EXPECT_LE(a.TotalUserTime.QuadPart, procUser + 200000);
    EXPECT_GE(a.TotalUserTime.QuadPart, 1000000);  // over 0.1 s of a 0.4 s spin
    EXPECT_EQ(a.ActiveProcesses, 1u);
    EXPECT_EQ(a.TotalProcesses, 1u);
    EXPECT_EQ(a.TotalTerminatedProcesses, 0u);
    JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION io{};
    EXPECT_TRUE(QueryInformationJobObject(job.h, JobObjectBasicAndIoAccountingInformation, &io, sizeof(io), nullptr));
    EXPECT_EQ(io.BasicInfo.ActiveProcesses, 1u);
    // A record of the wrong size is refused.
    EXPECT_FALSE(QueryInformationJobObject(job.h, JobObjectBasicAccountingInformation, &io, sizeof(io), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
}

// TerminateJobObject kills every member and descendant and signals the job.
TEST_F(JobTest, TerminateKillsAllAndSignals) {
    Job job;
    Make(job, u"Kvjob_term");
    Child a(testsupport::SpawnChild("job_sleep", ""));
    Child b(testsupport::SpawnChild("job_sleep", ""));
    Assign(job, a.pid);
    Assign(job, b.pid);
    EXPECT_EQ(WaitForSingleObject(job.h, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(TerminateJobObject(job.h, 3));
    int st = testsupport::WaitChild(a.pid, 3000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    st = testsupport::WaitChild(b.pid, 3000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    a.pid = b.pid = -1;
    EXPECT_EQ(WaitForSingleObject(job.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Accounting(job.h).TotalTerminatedProcesses, 2u);
    EXPECT_TRUE(WaitMembers(job.cg, 0));
}

// Priority and affinity limits reach every thread of every member, at once and on joining.
TEST_F(JobTest, PriorityAndAffinityOnEveryThread) {
    DWORD_PTR mine = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &mine, &system);
    if (system < 3) GTEST_SKIP() << "needs two CPUs";
    Job job;
    Make(job, u"Kvjob_prio");
    Child before(testsupport::SpawnChild("job_threads", ""));
    usleep(100000);
    Assign(job, before.pid);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PRIORITY_CLASS | JOB_OBJECT_LIMIT_AFFINITY;
    l.BasicLimitInformation.PriorityClass = BELOW_NORMAL_PRIORITY_CLASS;
    l.BasicLimitInformation.Affinity = 2;
    ASSERT_TRUE(SetLimits(job.h, l));
    Child after(testsupport::SpawnChild("job_threads", ""));
    usleep(100000);
    Assign(job, after.pid);
    for (int pid : {before.pid, after.pid}) {
        std::string nice = testsupport::CommandOutput("ps -L -o nice= -p " + std::to_string(pid));
        int threads = 0;
        for (size_t at = 0; (at = nice.find("10", at)) != std::string::npos; at += 2) ++threads;
        EXPECT_EQ(threads, 3) << nice;
        DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
        ASSERT_NE(d, nullptr);
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string out = testsupport::CommandOutput(std::string("taskset -p ") + e->d_name);
            EXPECT_NE(out.find("mask: 2"), std::string::npos) << out;
        }
        closedir(d);
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION back{};
    ASSERT_TRUE(QueryInformationJobObject(job.h, JobObjectExtendedLimitInformation, &back, sizeof(back), nullptr));
    EXPECT_EQ(back.BasicLimitInformation.PriorityClass, BELOW_NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(back.BasicLimitInformation.Affinity, 2u);
}

// The port gets NEW_PROCESS, EXIT_PROCESS and ACTIVE_PROCESS_ZERO with the
// association's key and the pid; one association per job.
TEST_F(JobTest, PortGetsMembershipMessages) {
    Job job;
    Make(job, u"Kvjob_port");
    HANDLE port = Associate(job.h, 42);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT again{reinterpret_cast<PVOID>(43), port};
    EXPECT_FALSE(SetInformationJobObject(job.h, JobObjectAssociateCompletionPortInformation, &again, sizeof(again)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(QueryInformationJobObject(job.h, JobObjectAssociateCompletionPortInformation, &again, sizeof(again),
                                           nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Child child(testsupport::SpawnChild("job_sleep", ""));
    Child second(testsupport::SpawnChild("job_sleep", ""));
    Assign(job, child.pid);
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 42), child.pid);
    Assign(job, second.pid);
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 42), second.pid);
    // One of two leaving changes nothing in cgroup.events: the monitor hears
    // of it from the process's exit.
    int pid = second.pid;
    testsupport::KillChild(second.pid);
    second.pid = -1;
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_EXIT_PROCESS, 42), pid);
    pid = child.pid;
    testsupport::KillChild(child.pid);
    child.pid = -1;
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_EXIT_PROCESS, 42), pid);
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 42), 0);
    EXPECT_EQ(Accounting(job.h).TotalProcesses, 2u);

    // A port with no room left loses messages, and the job counts them.
    DWORD lost = 7;
    ASSERT_TRUE(PalQueryJobLostMessages(job.h, &lost));
    EXPECT_EQ(lost, 0u);
    while (PostQueuedCompletionStatus(port, 1, 1, nullptr)) {
    }
    ASSERT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    Child late(testsupport::SpawnChild("job_sleep", ""));
    Assign(job, late.pid);
    EXPECT_TRUE(testsupport::WaitUntil(5000, [&] { return PalQueryJobLostMessages(job.h, &lost) && lost >= 1; }));
    CloseHandle(port);
}

// Beyond the active-process limit the newest process is killed and reported;
// an assignment to a full job is refused with ERROR_NOT_ENOUGH_QUOTA.
TEST_F(JobTest, ActiveProcessLimit) {
    Job job;
    Make(job, u"Kvjob_count");
    HANDLE port = Associate(job.h, 7);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
    l.BasicLimitInformation.ActiveProcessLimit = 1;
    ASSERT_TRUE(SetLimits(job.h, l));
    Child a(testsupport::SpawnChild("job_fork", "300"));
    Child b(testsupport::SpawnChild("job_sleep", ""));
    Assign(job, a.pid);
    HANDLE pb = OpenForJob(b.pid);
    EXPECT_FALSE(AssignProcessToJobObject(job.h, pb));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    CloseHandle(pb);
    // The member's fork is one too many: the kernel refuses it where the
    // pids controller is, else the newer process, its child, goes.
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, 7), 0);
    EXPECT_TRUE(WaitMembers(job.cg, 1));
    EXPECT_EQ(pal::CgroupProcs(job.cg), std::vector<pid_t>{a.pid});
    std::string pids = V1(pal::kV1Pids, u"Kvjob_count");
    if (!layout_.v1Parent[pal::kV1Pids].empty()) {
        EXPECT_EQ(Accounting(job.h).TotalTerminatedProcesses, 0u) << "refused, not ended";
        EXPECT_EQ(testsupport::ReadText(pids + "/pids.events"), "max 1\n");
        EXPECT_EQ(testsupport::ReadText(pids + "/pids.max"), "1\n");
    } else {
        EXPECT_EQ(Accounting(job.h).TotalTerminatedProcesses, 1u);
    }
    CloseHandle(port);
}

// A member over its per-process user time is killed and reported with its pid.
TEST_F(JobTest, ProcessTimeLimit) {
    Job job;
    Make(job, u"Kvjob_ptime");
    HANDLE port = Associate(job.h, 9);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_TIME;
    l.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = 3000000;  // 0.3 s
    ASSERT_TRUE(SetLimits(job.h, l));
    mkdir(root_.path().c_str(), 0755);
    std::string start = root_.path() + "/burn";
    Child idle(testsupport::SpawnChild("job_sleep", ""));
    Child burn(testsupport::SpawnChild("job_burn_later", start));
    Assign(job, idle.pid);
    Assign(job, burn.pid);
    // Both seen while idle: the monitor now sleeps until the time the
    // limit could be reached at the earliest, and must still catch it.
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 9), idle.pid);
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 9), burn.pid);
    testsupport::WriteText(start, "1");
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_END_OF_PROCESS_TIME, 9), burn.pid);
    int st = testsupport::WaitChild(burn.pid, 3000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    burn.pid = -1;
    EXPECT_EQ(kill(idle.pid, 0), 0);  // the idle member stays
    CloseHandle(port);
}

// At its job time a job is terminated and signalled, refuses new members until
// the limit is set again; with POST_AT_END_OF_JOB it is only reported and the
// limit is cleared.
TEST_F(JobTest, JobTimeLimit) {
    Job job;
    Make(job, u"Kvjob_jtime");
    HANDLE port = Associate(job.h, 11);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_JOB_TIME;
    l.BasicLimitInformation.PerJobUserTimeLimit.QuadPart = 3000000;
    ASSERT_TRUE(SetLimits(job.h, l));
    {
        Child burn(testsupport::SpawnChild("job_burn", ""));
        Assign(job, burn.pid);
        EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_END_OF_JOB_TIME, 11), 0);
        int st = testsupport::WaitChild(burn.pid, 3000);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
        burn.pid = -1;
        EXPECT_EQ(WaitForSingleObject(job.h, 0), WAIT_OBJECT_0);
        Child late(testsupport::SpawnChild("job_sleep", ""));
        HANDLE p = OpenForJob(late.pid);
        EXPECT_FALSE(AssignProcessToJobObject(job.h, p));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
        CloseHandle(p);
    }
    JOBOBJECT_END_OF_JOB_TIME_INFORMATION post{JOB_OBJECT_POST_AT_END_OF_JOB};
    ASSERT_TRUE(SetInformationJobObject(job.h, JobObjectEndOfJobTimeInformation, &post, sizeof(post)));
    ASSERT_TRUE(SetLimits(job.h, l));  // set again: a new period, no longer signalled
    EXPECT_EQ(WaitForSingleObject(job.h, 0), WAIT_TIMEOUT);
    // Seen idle first, so the monitor sleeps by the job time's deadline.
    mkdir(root_.path().c_str(), 0755);
    std::string start = root_.path() + "/burn";
    Child burn(testsupport::SpawnChild("job_burn_later", start));
    Assign(job, burn.pid);
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_NEW_PROCESS, 11), burn.pid);
    testsupport::WriteText(start, "1");
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_END_OF_JOB_TIME, 11), 0);
    EXPECT_EQ(kill(burn.pid, 0), 0);
    EXPECT_EQ(WaitForSingleObject(job.h, 0), WAIT_TIMEOUT);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION back{};
    ASSERT_TRUE(QueryInformationJobObject(job.h, JobObjectExtendedLimitInformation, &back, sizeof(back), nullptr));
    EXPECT_EQ(back.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME, 0u);
    CloseHandle(port);
}

// The process memory limit is each member's soft RLIMIT_AS; reaching it is reported.
TEST_F(JobTest, ProcessMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an address-space limit "
                    "on an instrumented member cannot be tested under it";
#endif
    Job job;
    Make(job, u"Kvjob_pmem");
    HANDLE port = Associate(job.h, 13);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    l.ProcessMemoryLimit = 128u << 20;
    ASSERT_TRUE(SetLimits(job.h, l));
    Child child(testsupport::SpawnChild("job_sleep", ""));
    Assign(job, child.pid);
    std::string limits = testsupport::ReadText("/proc/" + std::to_string(child.pid) + "/limits");
    EXPECT_NE(limits.find(std::to_string(128u << 20)), std::string::npos) << limits;
    Child hog(testsupport::SpawnChild("job_alloc", "0:1024"));
    Assign(job, hog.pid);
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT, 13), hog.pid);
    EXPECT_EQ(kill(hog.pid, 0), 0);  // refused, not killed
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION back{};
    ASSERT_TRUE(QueryInformationJobObject(job.h, JobObjectExtendedLimitInformation, &back, sizeof(back), nullptr));
    EXPECT_GT(back.PeakProcessMemoryUsed, 100u << 20);
    EXPECT_LE(back.PeakProcessMemoryUsed, 128u << 20);
    CloseHandle(port);
}

// The job memory limit is the v1 memory controller's; crossing it is reported.
TEST_F(JobTest, JobMemoryLimit) {
    if (pal::V1Mount("memory").empty()) GTEST_SKIP() << "no v1 memory controller";
    Job job;
    Make(job, u"Kvjob_jmem");
    HANDLE port = Associate(job.h, 17);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_JOB_MEMORY;
    l.JobMemoryLimit = 32u << 20;
    ASSERT_TRUE(SetLimits(job.h, l));
    std::string v1 = V1(pal::kV1Memory, u"Kvjob_jmem");
    EXPECT_EQ(testsupport::ReadText(v1 + "/memory.limit_in_bytes"), std::to_string(32u << 20) + "\n");
    // Memory taken after joining is charged: the member is stopped at the limit.
    Child hog(testsupport::SpawnChild("job_alloc", "200:128"));
    Assign(job, hog.pid);
    EXPECT_EQ(CgroupOf(hog.pid), Rel(u"Kvjob_jmem"));
    // Below our own memory cgroup, so that a limit enclosing us encloses the job.
    auto memoryLine = [](const std::string& pid) {
        std::string text = testsupport::ReadText("/proc/" + pid + "/cgroup");
        size_t at = text.find(":memory:");
        return at == std::string::npos ? std::string() : text.substr(at + 8, text.find('\n', at) - at - 8);
    };
    std::string own = memoryLine("self");
    EXPECT_EQ(memoryLine(std::to_string(hog.pid)).rfind((own == "/" ? "" : own) + "/zembrik-", 0), 0u)
        << memoryLine(std::to_string(hog.pid)) << " not below " << own;
    EXPECT_EQ(WaitMessage(port, JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, 17), hog.pid);
    int st = testsupport::WaitChild(hog.pid, 5000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    hog.pid = -1;
    // Ended by a limit; the group's peak is its memory use, within the limit.
    EXPECT_EQ(Accounting(job.h).TotalTerminatedProcesses, 1u);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION back{};
    ASSERT_TRUE(QueryInformationJobObject(job.h, JobObjectExtendedLimitInformation, &back, sizeof(back), nullptr));
    EXPECT_EQ(std::to_string(back.PeakJobMemoryUsed) + "\n", testsupport::ReadText(v1 + "/memory.max_usage_in_bytes"));
    EXPECT_LE(back.PeakJobMemoryUsed, 32u << 20);
    CloseHandle(port);
}

// The job messages outlive the process that made the association: another
// holder of the job posts them to its own descriptor of the same port.
TEST_F(JobTest, PortAssociationOutlivesItsMaker) {
    std::string dir = root_.path() + "/handover";
    mkdir(root_.path().c_str(), 0755);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno) << " " << dir;
    Child member(testsupport::SpawnChild("job_burn_later", dir + "/burn"));
    ASSERT_GT(member.pid, 0);
    Child owner(testsupport::SpawnChild("job_port_owner", std::to_string(member.pid) + " " + dir));
    ASSERT_GT(owner.pid, 0);
    ASSERT_TRUE(WaitFile(dir + "/port", 10000));
    std::string value = testsupport::ReadText(dir + "/port");
    Child keeper(testsupport::SpawnChild(
        "job_port_keeper", std::to_string(owner.pid) + " " + value + " " + std::to_string(member.pid) + " " + dir));
    ASSERT_GT(keeper.pid, 0);
    ASSERT_TRUE(WaitFile(dir + "/ready", 10000));
    testsupport::WriteText(dir + "/go", "1");
    int st = testsupport::WaitChild(owner.pid, 10000);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "owner status " << st;
    owner.pid = -1;
    testsupport::WriteText(dir + "/burn", "1");
    st = testsupport::WaitChild(keeper.pid, 40000);
    ASSERT_TRUE(WIFEXITED(st)) << "keeper status " << st;
    EXPECT_EQ(WEXITSTATUS(st), 0) << "10: no message, 11: wrong key, 12: wrong pid";
    keeper.pid = -1;
    st = testsupport::WaitChild(member.pid, 5000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "the member was killed at its limit";
    member.pid = -1;
}

// Processes left at the last close stay in the job's cgroup; a new job of
// the same name starts empty (they are set aside); cgroups of ended jobs go
// with the next create once empty.
TEST_F(JobTest, LeftoverCgroupsGoOnceEmpty) {
    auto leave = [&](const char16_t* name, int pid) {
        HANDLE h = CreateJobObjectW(nullptr, name);
        ASSERT_NE(h, nullptr);
        HANDLE p = OpenForJob(pid);
        EXPECT_TRUE(AssignProcessToJobObject(h, p));
        CloseHandle(p);
        CloseHandle(h);
    };
    Child a(testsupport::SpawnChild("job_sleep", ""));
    Child b(testsupport::SpawnChild("job_sleep", ""));
    leave(u"Kvjob_left", a.pid);
    EXPECT_EQ(CgroupOf(a.pid), Rel(u"Kvjob_left")) << "still under the job's limits";
    {
        Job again;
        Make(again, u"Kvjob_left");
        EXPECT_TRUE(pal::CgroupProcs(again.cg).empty()) << "a new job starts empty";
        EXPECT_NE(CgroupOf(a.pid).find(".orphan."), std::string::npos) << CgroupOf(a.pid);
    }
    leave(u"Kvjob_stay", b.pid);
    EXPECT_EQ(CgroupOf(b.pid), Rel(u"Kvjob_stay"));
    testsupport::KillChild(a.pid);
    a.pid = -1;
    testsupport::KillChild(b.pid);
    b.pid = -1;
    Job next;
    Make(next, u"Kvjob_next");
    std::vector<std::string> left;
    if (DIR* d = opendir(layout_.parent().c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_type == DT_DIR && e->d_name[0] != '.') left.push_back(e->d_name);
        closedir(d);
    }
    EXPECT_EQ(left, std::vector<std::string>{"Kvjob_next"}) << "the emptied cgroups went with the next create";
}

}  // namespace
