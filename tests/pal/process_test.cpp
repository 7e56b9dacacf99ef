// Process calls against real processes: children of this binary and of
// /bin/sleep, checked with ps, taskset and /proc. Every process is ended by its
// own pid at the end of its test.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pal/error.h"
#include "pal/job.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"
#include "pal/token.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

// A child that ends with the test, whatever happens.
struct Child {
    int pid = -1;
    explicit Child(int p) : pid(p) {}
    ~Child() { testsupport::KillChild(pid); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
};

int SpawnSleep() {
    char prog[] = "/bin/sleep";
    char arg[] = "1000";
    char* argv[] = {prog, arg, nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, prog, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}


std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        size_t a = line.find_first_not_of(' ');
        if (a != std::string::npos) out.push_back(line.substr(a));
        if (nl == std::string::npos) break;
        from = nl + 1;
    }
    return out;
}

std::vector<int> Tids(int pid) {
    std::vector<int> tids;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (d == nullptr) return tids;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') tids.push_back(atoi(e->d_name));
    closedir(d);
    return tids;
}

// Waits (bounded) until the process has `count` threads.
bool WaitForThreads(int pid, size_t count) {
    for (int i = 0; i < 500; ++i) {
        if (Tids(pid).size() == count) return true;
        usleep(10000);
    }
    return false;
}

uint64_t AsU64(const FILETIME& ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

uint64_t NowFileTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 10000000ull + uint64_t(ts.tv_nsec) / 100 + 116444736000000000ull;
}

std::u16string BaseName(HANDLE h) {
    WCHAR buf[MAX_PATH] = {};
    DWORD n = GetModuleBaseNameW(h, nullptr, buf, MAX_PATH);
    return std::u16string(buf, n);
}

}  // namespace

TEST_CHILD_MODE(proc_idle) {
    (void)arg;
    for (;;) pause();
}

// The main thread and two more, all idle.
TEST_CHILD_MODE(proc_threads) {
    (void)arg;
    for (int i = 0; i < 2; ++i) std::thread([] { for (;;) pause(); }).detach();
    for (;;) pause();
}

// Exits with the code before '|' once the file after it exists.
TEST_CHILD_MODE(proc_exit_when_told) {
    size_t bar = arg.find('|');
    std::string told = arg.substr(bar + 1);
    while (access(told.c_str(), F_OK) != 0) usleep(10000);
    return atoi(arg.substr(0, bar).c_str());
}

// Writes its argument vector, one per line, to the file named by arg.
TEST_CHILD_MODE(proc_args) {
    std::string cmdline = testsupport::ReadText("/proc/self/cmdline");
    for (char& c : cmdline)
        if (c == 0) c = '\n';
    testsupport::WriteText(arg, cmdline);
    return 0;
}

using ProcessTest = RootTest;

// EnumProcesses lists us and our child, and fills only what fits.
TEST_F(ProcessTest, EnumProcessesListsOwnAndChild) {
    Child child(SpawnSleep());
    ASSERT_GT(child.pid, 0);
    std::vector<DWORD> pids(65536);
    DWORD needed = 0;
    ASSERT_TRUE(EnumProcesses(pids.data(), DWORD(pids.size() * sizeof(DWORD)), &needed));
    pids.resize(needed / sizeof(DWORD));
    EXPECT_NE(std::find(pids.begin(), pids.end(), GetCurrentProcessId()), pids.end());
    EXPECT_NE(std::find(pids.begin(), pids.end(), DWORD(child.pid)), pids.end());
    DWORD two[2];
    ASSERT_TRUE(EnumProcesses(two, sizeof(two), &needed));
    EXPECT_EQ(needed, sizeof(two));
}

// A process id nobody has is ERROR_INVALID_PARAMETER, as on Windows.
TEST_F(ProcessTest, OpenMissingPidFails) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0x7FFFFFF0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// A handle keeps naming its process after it has ended and been reaped:
// signalled, times unchanged, and nothing acts on whatever gets the id next.
TEST_F(ProcessTest, HandleOutlivesReapedProcess) {
    int pid = SpawnSleep();
    ASSERT_GT(pid, 0);
    HANDLE h = OpenProcess(PROCESS_ALL_ACCESS, FALSE, DWORD(pid));
    ASSERT_NE(h, nullptr);
    FILETIME c1, e1, k1, u1, c2, e2, k2, u2;
    ASSERT_TRUE(GetProcessTimes(h, &c1, &e1, &k1, &u1));
    EXPECT_EQ(AsU64(e1), 0u);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    testsupport::KillChild(pid);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(TerminateProcess(h, 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(GetProcessTimes(h, &c2, &e2, &k2, &u2));
    EXPECT_EQ(AsU64(c1), AsU64(c2));
    EXPECT_NE(AsU64(e2), 0u);
    EXPECT_EQ(GetPriorityClass(h), 0u);
    EXPECT_FALSE(SetPriorityClass(h, IDLE_PRIORITY_CLASS));
    EXPECT_FALSE(SetProcessAffinityMask(h, 1));
    HMODULE mod;
    DWORD needed;
    EXPECT_FALSE(EnumProcessModules(h, &mod, sizeof(mod), &needed));
    EXPECT_EQ(GetLastError(), ERROR_PARTIAL_COPY);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 128u + SIGKILL);
    EXPECT_EQ(GetProcessId(h), DWORD(pid));
    EXPECT_TRUE(CloseHandle(h));
}

// Module names: the executable's path with '\', and the command name.
TEST_F(ProcessTest, ModuleNamesOfSleep) {
    Child child(SpawnSleep());
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(testsupport::WaitForExec(child.pid, "sleep"));
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    HMODULE mods[4] = {};
    DWORD needed = 0;
    ASSERT_TRUE(EnumProcessModules(h, mods, sizeof(mods), &needed));
    EXPECT_EQ(needed, sizeof(HMODULE));
    char real[PATH_MAX];
    ASSERT_NE(realpath("/bin/sleep", real), nullptr);
    std::string expect = real;
    for (char& c : expect)
        if (c == '/') c = '\\';
    WCHAR path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameExW(h, mods[0], path, MAX_PATH);
    EXPECT_EQ(pal::ToUtf8(std::u16string(path, n)), expect);
    EXPECT_EQ(BaseName(h), u"sleep");
    // A short buffer truncates and stays terminated.
    WCHAR small[4];
    EXPECT_EQ(GetModuleFileNameExW(h, nullptr, small, 4), 3u);
    EXPECT_EQ(small[3], 0);
    CloseHandle(h);
    // Names need PROCESS_VM_READ, as on Windows.
    h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(EnumProcessModules(h, mods, sizeof(mods), &needed));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
}

// Kernel threads and zombies have no executable: ERROR_PARTIAL_COPY.
TEST_F(ProcessTest, NoModulesForKernelThreadOrZombie) {
    HANDLE k = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 2);
    ASSERT_NE(k, nullptr);
    HMODULE mod;
    DWORD needed;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumProcessModules(k, &mod, sizeof(mod), &needed));
    EXPECT_EQ(GetLastError(), ERROR_PARTIAL_COPY);
    EXPECT_EQ(BaseName(k), u"kthreadd");
    CloseHandle(k);

    std::string told = root_.path() + ".exit";
    testsupport::WriteText(told, "");
    Child child(testsupport::SpawnChild("proc_exit_when_told", "3|" + told));
    ASSERT_GT(child.pid, 0);
    siginfo_t si{};
    ASSERT_EQ(waitid(P_PID, id_t(child.pid), &si, WEXITED | WNOWAIT), 0);  // a zombie now
    HANDLE z = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, DWORD(child.pid));
    ASSERT_NE(z, nullptr);
    EXPECT_FALSE(EnumProcessModules(z, &mod, sizeof(mod), &needed));
    EXPECT_EQ(GetLastError(), ERROR_PARTIAL_COPY);
    EXPECT_EQ(WaitForSingleObject(z, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(z, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(z);
}

// The creation time reads the same every time and lies within a second or
// so of when the child was started.
TEST_F(ProcessTest, CreationTimeIsStable) {
    uint64_t before = NowFileTime();
    Child child(SpawnSleep());
    uint64_t after = NowFileTime();
    ASSERT_GT(child.pid, 0);
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    FILETIME c, e, k, u;
    ASSERT_TRUE(GetProcessTimes(h, &c, &e, &k, &u));
    uint64_t first = AsU64(c);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(GetProcessTimes(h, &c, &e, &k, &u));
        ASSERT_EQ(AsU64(c), first);
    }
    EXPECT_GE(first + 11000000, before);
    EXPECT_LE(first, after + 11000000);
    CloseHandle(h);
}

// A class is applied to every thread (ps shows each one's nice) and read back.
TEST_F(ProcessTest, PriorityClassOnEveryThread) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to raise priority (negative nice)";
    Child child(testsupport::SpawnChild("proc_threads", ""));
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(WaitForThreads(child.pid, 3));
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetPriorityClass(h), NORMAL_PRIORITY_CLASS);
    std::string ps = "ps -L -o nice= -p " + std::to_string(child.pid);
    const std::pair<DWORD, const char*> cases[] = {{HIGH_PRIORITY_CLASS, "-10"},
                                                    {IDLE_PRIORITY_CLASS, "19"},
                                                    {ABOVE_NORMAL_PRIORITY_CLASS, "-5"},
                                                    {BELOW_NORMAL_PRIORITY_CLASS, "10"},
                                                    {NORMAL_PRIORITY_CLASS, "0"}};
    for (const auto& [cls, nice] : cases) {
        ASSERT_TRUE(SetPriorityClass(h, cls)) << cls;
        EXPECT_EQ(GetPriorityClass(h), cls);
        EXPECT_EQ(Lines(testsupport::CommandOutput(ps)), std::vector<std::string>(3, nice)) << cls;
    }
    ASSERT_TRUE(SetPriorityClass(h, REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(h), REALTIME_PRIORITY_CLASS);
    EXPECT_EQ(Lines(testsupport::CommandOutput("ps -L -o cls= -p " + std::to_string(child.pid))), std::vector<std::string>(3, "RR"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetPriorityClass(h, 0x12345));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(h);
    // Scheduling calls ignore the fsuid, so the handle's right is what guards them.
    h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(SetPriorityClass(h, IDLE_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetProcessAffinityMask(h, 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
}

// An affinity mask is applied to every thread (taskset shows each) and read back.
TEST_F(ProcessTest, AffinityOnEveryThread) {
    DWORD_PTR mine = 0, system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &mine, &system));
    if (system == 1) GTEST_SKIP() << "needs two CPUs";
    Child child(testsupport::SpawnChild("proc_threads", ""));
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(WaitForThreads(child.pid, 3));
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(SetProcessAffinityMask(h, 1));
    for (int tid : Tids(child.pid)) {
        std::string out = testsupport::CommandOutput("taskset -p " + std::to_string(tid));
        EXPECT_NE(out.find("affinity mask: 1\n"), std::string::npos) << out;
    }
    DWORD_PTR mask = 0, sys2 = 0;
    ASSERT_TRUE(GetProcessAffinityMask(h, &mask, &sys2));
    EXPECT_EQ(mask, 1u);
    EXPECT_EQ(sys2, system);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetProcessAffinityMask(h, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetProcessAffinityMask(h, system + 1 == 0 ? 0 : (system + 1)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(h);
}

// A process handle is signalled when the process ends; the exit code follows.
TEST_F(ProcessTest, WaitAndExitCode) {
    std::string told = root_.path() + ".exit";
    Child child(testsupport::SpawnChild("proc_exit_when_told", "7|" + told));
    ASSERT_GT(child.pid, 0);
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, DWORD(child.pid));
    ASSERT_NE(h, nullptr);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    testsupport::WriteText(told, "");
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 7u);
    // Once reaped the kernel still tells the code.
    EXPECT_NE(testsupport::WaitChild(child.pid, 5000), -1);
    child.pid = -1;
    code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(h);
}

// TerminateProcess needs PROCESS_TERMINATE and kills the process.
TEST_F(ProcessTest, TerminateNeedsRightAndKills) {
    Child child(SpawnSleep());
    ASSERT_GT(child.pid, 0);
    HANDLE q = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(q, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(TerminateProcess(q, 1067));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(WaitForSingleObject(q, 0), WAIT_TIMEOUT);
    HANDLE t = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, DWORD(child.pid));
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(TerminateProcess(t, 1067));
    EXPECT_EQ(WaitForSingleObject(q, 10000), WAIT_OBJECT_0);
    int status = testsupport::WaitChild(child.pid, 5000);
    child.pid = -1;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_FALSE(TerminateProcess(t, 1067));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(q);
    CloseHandle(t);
}

// A thread impersonating an ordinary user may query a root process but not
// open it for termination or settings.
TEST_F(ProcessTest, ImpersonatedUserCannotControlRootProcess) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to impersonate another user";
    Child child(SpawnSleep());
    ASSERT_GT(child.pid, 0);
    HANDLE term = nullptr, set = nullptr, query = nullptr;
    DWORD termErr = 0, setErr = 0;
    std::thread([&] {
        if (!PalImpersonateUser(65534, 65534, nullptr, 0)) return;
        term = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(child.pid));
        termErr = GetLastError();
        set = OpenProcess(PROCESS_SET_INFORMATION, FALSE, DWORD(child.pid));
        setErr = GetLastError();
        query = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, DWORD(child.pid));
        RevertToSelf();
    }).join();
    EXPECT_EQ(term, nullptr);
    EXPECT_EQ(termErr, ERROR_ACCESS_DENIED);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(setErr, ERROR_ACCESS_DENIED);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(WaitForSingleObject(query, 0), WAIT_TIMEOUT);
    CloseHandle(query);
    if (term != nullptr) CloseHandle(term);
    if (set != nullptr) CloseHandle(set);
}

// In 2000 supplementary groups as uid arg, with 24 MiB touched; idles.
TEST_CHILD_MODE(proc_many_groups) {
    uid_t uid = static_cast<uid_t>(atoi(arg.c_str()));
    std::vector<gid_t> groups;
    for (gid_t g = 100000; g < 102000; ++g) groups.push_back(g);
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return 2;
    volatile char* block = static_cast<char*>(malloc(24u << 20));
    if (block == nullptr) return 3;
    for (size_t i = 0; i < (24u << 20); i += 4096) block[i] = 1;
    for (;;) pause();
}

// A process in many groups has a long status file whose Groups line comes
// before the memory lines: its ids and its memory are still read whole,
// never cut short and taken as 0.
TEST_F(ProcessTest, ManyGroupsStillReadWhole) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to give a process many groups";
    auto start = [](const char* uid) {
        int pid = testsupport::SpawnChild("proc_many_groups", uid);
        const std::string status = "/proc/" + std::to_string(pid) + "/status";
        bool ready = pid > 0 && testsupport::WaitUntil(10000, [&] {
            std::string text = testsupport::ReadText(status);
            size_t hwm = text.find("\nVmHWM:");
            return text.find("\nUid:\t" + std::string(uid) + "\t") != std::string::npos && text.size() > 8192 &&
                   hwm != std::string::npos && strtoull(text.c_str() + hwm + 7, nullptr, 10) >= 24 * 1024;
        });
        EXPECT_TRUE(ready) << testsupport::ReadText(status);
        return pid;
    };
    // The access check reads the process's uids from that file.
    Child user(start("65534"));
    ASSERT_GT(user.pid, 0);
    HANDLE term = nullptr;
    DWORD termErr = 0;
    std::thread([&] {
        if (!PalImpersonateUser(65534, 65534, nullptr, 0)) return;
        term = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(user.pid));
        termErr = GetLastError();
        RevertToSelf();
    }).join();
    EXPECT_NE(term, nullptr) << "its own user may end it: " << termErr;
    if (term != nullptr) CloseHandle(term);

    // The job layer's sampling reads its memory from it.
    if (!testsupport::CanMakeJobs()) GTEST_SKIP() << "job objects need root and a writable cgroup2 tree";
    Child member(start("0"));
    ASSERT_GT(member.pid, 0);
    HANDLE job = CreateJobObjectW(nullptr, u"Kvjob_groups");
    ASSERT_NE(job, nullptr);
    HANDLE p = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(member.pid));
    EXPECT_TRUE(AssignProcessToJobObject(job, p)) << GetLastError();
    CloseHandle(p);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    bool sampled = testsupport::WaitUntil(10000, [&] {
        return QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &l, sizeof(l), nullptr) &&
               l.PeakProcessMemoryUsed >= (24u << 20);
    });
    testsupport::KillChild(member.pid);
    member.pid = -1;
    CloseHandle(job);
    EXPECT_TRUE(sampled) << "peak " << l.PeakProcessMemoryUsed;
}

// The pseudo-handle works with every call.
TEST_F(ProcessTest, CurrentProcessPseudoHandle) {
    HANDLE self = GetCurrentProcess();
    EXPECT_EQ(GetProcessId(self), GetCurrentProcessId());
    FILETIME c, e, k, u;
    ASSERT_TRUE(GetProcessTimes(self, &c, &e, &k, &u));
    EXPECT_NE(AsU64(c), 0u);
    EXPECT_EQ(AsU64(e), 0u);
    EXPECT_NE(GetPriorityClass(self), 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(self, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(BaseName(self), pal::ToUtf16(Lines(testsupport::ReadText("/proc/self/comm"))[0]));
    HMODULE mod;
    DWORD needed;
    EXPECT_TRUE(EnumProcessModules(self, &mod, sizeof(mod), &needed));
    EXPECT_TRUE(CloseHandle(self));
}

// Working sets: no bounds to read or set, except the "trim" request; never
// numbers that would pass for bounds in force.
TEST_F(ProcessTest, WorkingSet) {
    SIZE_T mn = 7, mx = 7;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetProcessWorkingSetSize(GetCurrentProcess(), &mn, &mx));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(mn + mx, 14u) << "nothing written";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetProcessWorkingSetSize(GetCurrentProcess(), 409600, 2000000));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(SetProcessWorkingSetSize(GetCurrentProcess(), SIZE_T(-1), SIZE_T(-1)));
}

// An image path ending in ".exe" names the file without the suffix; the
// child runs in a new session.
TEST_F(ProcessTest, CreateProcessExeSuffix) {
    WCHAR cmd[] = u"sleep.exe 1000";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(u"C:\\bin\\sleep.exe", cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        << GetLastError();
    Child child(int(pi.dwProcessId));
    EXPECT_EQ(pi.dwThreadId, pi.dwProcessId);
    ASSERT_TRUE(testsupport::WaitForExec(child.pid, "sleep"));
    EXPECT_EQ(BaseName(pi.hProcess), u"sleep");
    EXPECT_EQ(getsid(child.pid), child.pid);
    EXPECT_TRUE(TerminateProcess(pi.hProcess, 1067));
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 128u + SIGKILL);
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    // Closing the last handle reaped our child.
    EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), -1);
    child.pid = -1;

    WCHAR missing[] = u"no-such-program.exe";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateProcessW(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CreateProcessW(u"/bin/sleep", nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                                &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// The command line is split as the Windows C runtime splits it, and the
// environment block is the child's whole environment.
TEST_F(ProcessTest, CreateProcessCommandLineAndEnvironment) {
    std::string out = root_.path() + ".args";
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    std::u16string env = u"ZEMBRIK_TEST_CHILD=proc_args" + std::u16string(1, 0) + u"ZEMBRIK_TEST_ARG=" +
                         pal::ToUtf16(out) + std::u16string(2, 0);
    // The program as a Windows path; the child gets its Linux path as argv[0].
    std::u16string windowsSelf = u"C:" + pal::ToUtf16(self) + u".exe";
    std::replace(windowsSelf.begin(), windowsSelf.end(), u'/', u'\\');
    std::u16string line = u"\"" + windowsSelf + u"\" \"a b\" c\\\"d \"e\\\\\" f\\\\g";
    std::vector<WCHAR> cmd(line.begin(), line.end());
    cmd.push_back(0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                               u"\\tmp", &si, &pi))
        << GetLastError();
    Child child(int(pi.dwProcessId));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(testsupport::ReadText(out), std::string(self) + "\na b\nc\"d\ne\\\nf\\\\g\n");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    child.pid = -1;
    unlink(out.c_str());
}
