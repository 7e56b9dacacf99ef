// Service control against real processes: every service runs in a child
// process of this binary (the dispatcher blocks SIGTERM/SIGINT), the test
// process plays the administrator.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "internal/service.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/registry.h"
#include "pal/security.h"
#include "pal/service.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

// ---------------------------------------------------------------------------
// The test service. Argument: "<name>|<tag>|<options>", options among
// gate (wait for event <name>Gate before RUNNING), stopgate (wait for
// <name>StopGate before STOPPED), noreg (return without registering).
// Every report and control goes to <root>/trace.<tag>, one line each.

struct TestService {
    std::mutex lock;
    std::u16string name;
    std::string tag;
    std::string options;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    HANDLE stopEvent = nullptr;
};
TestService g_svc;

std::string TracePath(const std::string& tag) { return std::string(getenv("ZEMBRIK_SYSROOT")) + "/trace." + tag; }

void Trace(const std::string& line) {
    int fd = open(TracePath(g_svc.tag).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string l = line + "\n";
    if (fd >= 0 && write(fd, l.data(), l.size()) < 0) {
    }
    if (fd >= 0) close(fd);
}

bool Has(const std::string& opt) { return g_svc.options.find(opt) != std::string::npos; }

void Report(DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint) {
    std::lock_guard<std::mutex> g(g_svc.lock);
    g_svc.status.dwCurrentState = state;
    g_svc.status.dwControlsAccepted = accepted;
    g_svc.status.dwCheckPoint = checkPoint;
    g_svc.status.dwWaitHint = waitHint;
    // Traced first: what the report sets off (a held STOP) comes after it.
    Trace("S" + std::to_string(state));
    if (!SetServiceStatus(g_svc.handle, &g_svc.status)) Trace("E" + std::to_string(GetLastError()));
}

HANDLE OpenGate(const char* suffix) {
    std::u16string n = g_svc.name + pal::ToUtf16(suffix);
    return OpenEventW(EVENT_ALL_ACCESS, FALSE, n.c_str());
}

void TestHandler(DWORD control) {
    Trace("C" + std::to_string(control));
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING, 0, 3, 0);
        SetEvent(g_svc.stopEvent);
        return;
    }
    if (control == 200) Sleep(1500);  // a slow control
    if (control >= 128) {
        std::lock_guard<std::mutex> g(g_svc.lock);
        g_svc.status.dwServiceSpecificExitCode = control;
    }
    DWORD state;
    DWORD accepted;
    {
        std::lock_guard<std::mutex> g(g_svc.lock);
        state = g_svc.status.dwCurrentState;
        accepted = g_svc.status.dwControlsAccepted;
    }
    Report(state, accepted, 0, 0);
}

void ServiceMain(DWORD argc, LPWSTR* argv) {
    Trace("A" + std::to_string(argc) + " " + pal::ToUtf8(argv[0]) + (argv[1] == nullptr ? "" : " +"));
    if (Has("noreg")) return;
    g_svc.handle = RegisterServiceCtrlHandlerW(g_svc.name.c_str(), TestHandler);
    if (g_svc.handle == nullptr) {
        Trace("E" + std::to_string(GetLastError()));
        return;
    }
    g_svc.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_svc.status.dwServiceSpecificExitCode = static_cast<DWORD>(std::stoul(g_svc.tag));
    Report(SERVICE_START_PENDING, 0, 1, 3000);
    if (Has("gate")) {
        HANDLE gate = OpenGate("Gate");
        if (gate == nullptr || WaitForSingleObject(gate, 20000) != WAIT_OBJECT_0) Trace("gate-failed");
        CloseHandle(gate);
    }
    Report(SERVICE_START_PENDING, 0, 2, 3000);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    if (WaitForSingleObject(g_svc.stopEvent, 30000) != WAIT_OBJECT_0) Trace("stop-timeout");
    if (Has("stopgate")) {
        HANDLE gate = OpenGate("StopGate");
        if (gate == nullptr || WaitForSingleObject(gate, 20000) != WAIT_OBJECT_0) Trace("stopgate-failed");
        CloseHandle(gate);
    }
    Report(SERVICE_STOPPED, 0, 0, 0);
}

void ParseArg(const std::string& arg) {
    size_t a = arg.find('|');
    size_t b = arg.find('|', a + 1);
    g_svc.name = pal::ToUtf16(arg.substr(0, a));
    g_svc.tag = arg.substr(a + 1, b - a - 1);
    g_svc.options = arg.substr(b + 1);
}

TEST_CHILD_MODE(test_service) {
    ParseArg(arg);
    g_svc.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::u16string name = g_svc.name;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    BOOL ok = StartServiceCtrlDispatcherW(table);
    Trace(ok ? "R1" : "R0 " + std::to_string(GetLastError()));
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------
// API rules checked inside a child: each check writes "ok <what>" or
// "fail <what>" to the trace.

void Check(bool cond, const char* what) { Trace(std::string(cond ? "ok " : "fail ") + what); }

int CountEntries(const char* dir) {
    int n = 0;
    DIR* d = opendir(dir);
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

void RulesMain(DWORD, LPWSTR*) {
    SetLastError(0);
    Check(RegisterServiceCtrlHandlerW(u"SomeOtherService", TestHandler) == nullptr &&
              GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST,
          "register-unknown-name");
    std::u16string lower = u"zbrules";
    g_svc.handle = RegisterServiceCtrlHandlerW(lower.c_str(), TestHandler);
    Check(g_svc.handle != nullptr, "register-case-insensitive");
    SERVICE_STATUS st{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
    Check(!SetServiceStatus(g_svc.handle, &st) && GetLastError() == ERROR_INVALID_DATA, "state-0");
    st.dwCurrentState = 8;
    Check(!SetServiceStatus(g_svc.handle, &st) && GetLastError() == ERROR_INVALID_DATA, "state-8");
    st.dwCurrentState = SERVICE_RUNNING;
    Check(!SetServiceStatus(ULongToHandle(0x1234), &st) && GetLastError() == ERROR_INVALID_HANDLE, "bad-handle");
    SERVICE_TABLE_ENTRYW again[] = {{g_svc.name.data(), RulesMain}, {nullptr, nullptr}};
    Check(!StartServiceCtrlDispatcherW(again) && GetLastError() == ERROR_SERVICE_ALREADY_RUNNING, "dispatcher-once");
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    Check(sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGINT) == 1, "service-thread-blocks-signals");
    st.dwCurrentState = SERVICE_STOPPED;
    Check(SetServiceStatus(g_svc.handle, &st) != FALSE, "report-stopped");
}

TEST_CHILD_MODE(dispatcher_rules) {
    ParseArg(arg);
    SetLastError(0);
    Check(RegisterServiceCtrlHandlerW(g_svc.name.c_str(), TestHandler) == nullptr &&
              GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST,
          "register-outside");
    // The wait engine keeps one descriptor per waiting thread; take ours first.
    HANDLE warm = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    WaitForSingleObject(warm, 0);
    CloseHandle(warm);
    int fds = CountEntries("/proc/self/fd");
    int threads = CountEntries("/proc/self/task");
    std::u16string name = g_svc.name;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), RulesMain}, {nullptr, nullptr}};
    Check(StartServiceCtrlDispatcherW(table) != FALSE, "dispatcher-returns-true");
    Check(CountEntries("/proc/self/fd") == fds, "no-descriptor-left");
    Check(CountEntries("/proc/self/task") == threads, "no-thread-left");
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    Check(sigismember(&mask, SIGTERM) == 0, "mask-restored");
    SERVICE_STATUS st{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    Check(!SetServiceStatus(g_svc.handle, &st) && GetLastError() == ERROR_INVALID_HANDLE, "handle-dead-after-return");
    SERVICE_TABLE_ENTRYW again[] = {{name.data(), RulesMain}, {nullptr, nullptr}};
    Check(!StartServiceCtrlDispatcherW(again) && GetLastError() == ERROR_SERVICE_ALREADY_RUNNING, "once-per-process");
    return 0;
}

// ---------------------------------------------------------------------------
// The administrator's side.

struct Child {
    int pid = -1;
    Child() = default;
    Child(const Child&) = delete;
    ~Child() { testsupport::KillChild(pid); }
    // Wait status, or -1 on time-out.
    int Wait(int ms) {
        int st = testsupport::WaitChild(pid, ms);
        if (st != -1) pid = -1;
        return st;
    }
};

struct ScHandle {
    SC_HANDLE h;
    explicit ScHandle(SC_HANDLE x) : h(x) {}
    ~ScHandle() { if (h != nullptr) CloseServiceHandle(h); }
    operator SC_HANDLE() const { return h; }
};

struct Gate {
    HANDLE h;
    explicit Gate(const std::string& name) : h(CreateEventW(nullptr, TRUE, FALSE, pal::ToUtf16(name).c_str())) {}
    ~Gate() { CloseHandle(h); }
};

bool WaitUntil(const std::function<bool()>& cond, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (cond()) return true;
        Sleep(10);
    }
    return cond();
}

class ServiceTest : public RootTest {
protected:
    void SetUp() override { ASSERT_EQ(pal::EnsureStateRoot(), ERROR_SUCCESS); }
    std::string ServicePath(const std::string& name, const char* suffix) {
        return root_.path() + "/run/services/" + name + suffix;
    }
    // The status file as last written; false while there is none.
    bool ReadStatus(const std::string& name, SERVICE_STATUS& st, uint32_t& pid) {
        return pal::svc::ParseStatus(testsupport::ReadText(ServicePath(name, ".status")), st, pid);
    }
    bool WaitForState(const std::string& name, DWORD state, SERVICE_STATUS* out = nullptr) {
        SERVICE_STATUS st{};
        uint32_t pid = 0;
        bool ok = WaitUntil([&] { return ReadStatus(name, st, pid) && st.dwCurrentState == state; });
        if (out != nullptr) *out = st;
        return ok;
    }
    std::string TraceOf(const std::string& tag) { return testsupport::ReadText(root_.path() + "/trace." + tag); }
    bool WaitForTrace(const std::string& tag, const std::string& line) {
        return WaitUntil([&] { return TraceOf(tag).find(line + "\n") != std::string::npos; });
    }
    void Start(Child& c, const std::string& name, const std::string& tag, const std::string& options) {
        c.pid = testsupport::SpawnChild("test_service", name + "|" + tag + "|" + options);
        ASSERT_GT(c.pid, 0);
    }
    DWORD Control(const std::string& name, DWORD control, SERVICE_STATUS& st, DWORD access = SERVICE_ALL_ACCESS) {
        ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle svc(OpenServiceW(scm, pal::ToUtf16(name).c_str(), access));
        if (svc.h == nullptr) return GetLastError();
        SetLastError(0xdeadbeef);
        BOOL ok = ControlService(svc, control, &st);
        return ok ? ERROR_SUCCESS : GetLastError();
    }
    DWORD Query(const std::string& name, SERVICE_STATUS& st) {
        ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle svc(OpenServiceW(scm, pal::ToUtf16(name).c_str(), SERVICE_QUERY_STATUS));
        if (svc.h == nullptr) return GetLastError();
        return QueryServiceStatus(svc, &st) ? ERROR_SUCCESS : GetLastError();
    }
};

bool ExitedCleanly(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

}  // namespace

// The status file walks START_PENDING -> RUNNING -> STOP_PENDING -> STOPPED;
// controls are refused or passed by the last reported state.
TEST_F(ServiceTest, LifecycleAndStopControl) {
    Gate gate("ZbSvcGate");
    Gate stopGate("ZbSvcStopGate");
    testsupport::WriteText(ServicePath("ZbSvc", ".lock"), "");
    ASSERT_EQ(chmod(ServicePath("ZbSvc", ".lock").c_str(), 0644), 0);
    Child c;
    Start(c, "ZbSvc", "7", "gate,stopgate");
    SERVICE_STATUS st{};
    uint32_t pid = 0;
    ASSERT_TRUE(WaitUntil([&] { return ReadStatus("ZbSvc", st, pid) && st.dwCheckPoint == 1; }));
    EXPECT_EQ(st.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(st.dwWaitHint, 3000u);
    EXPECT_EQ(st.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(pid, static_cast<uint32_t>(c.pid));
    std::string text = testsupport::ReadText(ServicePath("ZbSvc", ".status"));
    EXPECT_NE(text.find("\"name\":\"ZbSvc\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"stateName\":\"START_PENDING\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"time\":\"20"), std::string::npos) << text;

    // Controls and the owner's lock are the service user's alone; the status is everyone's.
    struct stat sb;
    ASSERT_EQ(lstat(ServicePath("ZbSvc", ".ctl").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISSOCK(sb.st_mode));
    EXPECT_EQ(sb.st_mode & 07777, 0600u);
    EXPECT_EQ(sb.st_uid, geteuid());
    ASSERT_EQ(lstat(ServicePath("ZbSvc", ".lock").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISREG(sb.st_mode));
    EXPECT_EQ(sb.st_mode & 07777, 0600u) << "also when an older copy left it open";
    EXPECT_EQ(sb.st_uid, geteuid());
    ASSERT_EQ(lstat(ServicePath("ZbSvc", ".status").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0644, 0644u);

    // STOP is not accepted while starting.
    EXPECT_EQ(Control("ZbSvc", SERVICE_CONTROL_STOP, st), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(st.dwCurrentState, SERVICE_START_PENDING);
    SetEvent(gate.h);
    ASSERT_TRUE(WaitForState("ZbSvc", SERVICE_RUNNING));

    // INTERROGATE passes; the reply carries the status the handler reported.
    EXPECT_EQ(Control("zbsvc", SERVICE_CONTROL_INTERROGATE, st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(st.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(st.dwCheckPoint, 0u);
    // PAUSE was never announced.
    EXPECT_EQ(Control("ZbSvc", SERVICE_CONTROL_PAUSE, st), ERROR_INVALID_SERVICE_CONTROL);

    EXPECT_EQ(Control("ZbSvc", SERVICE_CONTROL_STOP, st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOP_PENDING);
    ASSERT_TRUE(WaitForState("ZbSvc", SERVICE_STOP_PENDING));
    // A second STOP while stopping is refused; a SIGTERM now is dropped.
    EXPECT_EQ(Control("ZbSvc", SERVICE_CONTROL_STOP, st), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    kill(c.pid, SIGTERM);
    Sleep(100);
    SetEvent(stopGate.h);
    EXPECT_TRUE(ExitedCleanly(c.Wait(10000))) << "a late SIGTERM must not kill the process";

    ASSERT_TRUE(ReadStatus("ZbSvc", st, pid));
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_NE(stat(ServicePath("ZbSvc", ".ctl").c_str(), &sb), 0) << "the endpoint goes with the dispatcher";
    EXPECT_EQ(Control("ZbSvc", SERVICE_CONTROL_STOP, st), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(Query("ZbSvc", st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);

    EXPECT_EQ(TraceOf("7"), "A1 ZbSvc\nS2\nS2\nS4\nC4\nS4\nC1\nS3\nS1\nR1\n");
}

// SIGTERM becomes STOP; one that arrives while starting waits for RUNNING.
TEST_F(ServiceTest, SigtermStopsTheService) {
    {
        Child c;
        Start(c, "ZbTerm", "1", "");
        ASSERT_TRUE(WaitForState("ZbTerm", SERVICE_RUNNING));
        kill(c.pid, SIGTERM);
        EXPECT_TRUE(ExitedCleanly(c.Wait(10000)));
        EXPECT_EQ(TraceOf("1"), "A1 ZbTerm\nS2\nS2\nS4\nC1\nS3\nS1\nR1\n");
    }
    Gate gate("ZbEarlyGate");
    Child c;
    Start(c, "ZbEarly", "2", "gate");
    ASSERT_TRUE(WaitForState("ZbEarly", SERVICE_START_PENDING));
    ASSERT_TRUE(WaitForTrace("2", "S2"));
    kill(c.pid, SIGINT);
    kill(c.pid, SIGTERM);
    Sleep(100);
    EXPECT_EQ(TraceOf("2").find("C1"), std::string::npos) << "no STOP before it is accepted";
    SetEvent(gate.h);
    EXPECT_TRUE(ExitedCleanly(c.Wait(10000)));
    EXPECT_EQ(TraceOf("2"), "A1 ZbEarly\nS2\nS2\nS4\nC1\nS3\nS1\nR1\n");
}

// Controls of the service's own range pass; the handle's rights and the
// code are checked first; a handler slower than the caller's wait times out.
TEST_F(ServiceTest, OwnControlsRightsAndTimeout) {
    // Long enough that the endpoint path does not fit a socket address.
    std::string name = "ZbLong" + std::string(90, 'x');
    Child c;
    Start(c, name, "3", "");
    ASSERT_TRUE(WaitForState(name, SERVICE_RUNNING));
    SERVICE_STATUS st{};
    EXPECT_EQ(Control(name, 130, st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwServiceSpecificExitCode, 130u) << "the reply is sent after the handler";
    EXPECT_EQ(Control(name, 50, st), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Control(name, SERVICE_CONTROL_STOP, st, SERVICE_QUERY_STATUS | SERVICE_INTERROGATE),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Control(name, SERVICE_CONTROL_INTERROGATE, st, GENERIC_READ), ERROR_SUCCESS);

    EXPECT_EQ(pal::svc::InternalControlService(pal::ToUtf16(name), 200, st, 200), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
    // The dispatcher finishes the slow control, then serves the next one.
    EXPECT_EQ(Control(name, SERVICE_CONTROL_INTERROGATE, st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwServiceSpecificExitCode, 200u);
    EXPECT_EQ(Control(name, SERVICE_CONTROL_STOP, st), ERROR_SUCCESS);
    EXPECT_TRUE(ExitedCleanly(c.Wait(10000)));
}

// A service killed without reporting STOPPED reads as STOPPED with
// ERROR_PROCESS_ABORTED, through its stale endpoint too.
TEST_F(ServiceTest, KilledServiceReportsAborted) {
    Child c;
    Start(c, "ZbKilled", "4", "");
    ASSERT_TRUE(WaitForState("ZbKilled", SERVICE_RUNNING));
    SERVICE_STATUS st{};
    EXPECT_EQ(Query("ZbKilled", st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
    testsupport::KillChild(c.pid);
    c.pid = -1;
    EXPECT_EQ(Query("ZbKilled", st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(st.dwControlsAccepted, 0u);
    EXPECT_EQ(Control("ZbKilled", SERVICE_CONTROL_INTERROGATE, st), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(st.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

// A live pid alone does not make a recorded service alive: the dispatcher's
// lock must be held too (a reused pid has none).
TEST_F(ServiceTest, ReusedPidIsNotMistakenForTheService) {
    SERVICE_STATUS running{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    testsupport::WriteText(ServicePath("ZbReused", ".status"),
                           pal::svc::FormatStatus("ZbReused", running, static_cast<uint32_t>(getpid())));
    testsupport::WriteText(ServicePath("ZbReused", ".lock"), "");
    SERVICE_STATUS st{};
    EXPECT_EQ(Query("ZbReused", st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

// Unknown names give ERROR_SERVICE_DOES_NOT_EXIST; an installed service that
// never ran is STOPPED and not active.
TEST_F(ServiceTest, OpenAndQueryWithoutARunningService) {
    ScHandle scm(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    ASSERT_NE(scm.h, nullptr);
    SetLastError(0);
    EXPECT_EQ(OpenServiceW(scm, u"ZbNobody", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(OpenServiceW(scm, u"a/b", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(OpenServiceW(ULongToHandle(0x7ffffff0), u"ZbNobody", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\ZbInstalled", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD type = SERVICE_WIN32_OWN_PROCESS;  // what makes the key a service
    ASSERT_EQ(RegSetValueExW(key, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof(type)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ScHandle svc(OpenServiceW(scm, u"zbINSTALLED", SERVICE_ALL_ACCESS));
    ASSERT_NE(svc.h, nullptr) << "service names are case-insensitive";
    SERVICE_STATUS st{1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(QueryServiceStatus(svc, &st));
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_EQ(st.dwCheckPoint, 0u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);

    ScHandle queryOnly(OpenServiceW(scm, u"ZbInstalled", SERVICE_STOP));
    EXPECT_FALSE(QueryServiceStatus(queryOnly, &st));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(QueryServiceStatus(scm, &st)) << "a manager handle is not a service handle";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Manager handles: local machine only, the active database only; handles are
// closed once and only service handles are accepted.
TEST_F(ServiceTest, ManagerHandleRules) {
    SetLastError(0);
    EXPECT_EQ(OpenSCManagerW(u"\\\\elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(OpenSCManagerW(nullptr, u"ServicesFailedX", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DATABASE_DOES_NOT_EXIST);
    SC_HANDLE scm = OpenSCManagerW(u"", u"servicesactive", SC_MANAGER_CONNECT);
    ASSERT_NE(scm, nullptr);
    EXPECT_TRUE(CloseServiceHandle(scm));
    EXPECT_FALSE(CloseServiceHandle(scm));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(CloseServiceHandle(ev));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SetEvent(ev)) << "a refused close leaves the event open";
    CloseHandle(ev);

    // Outside a dispatcher there is nothing to register with or report to.
    EXPECT_EQ(RegisterServiceCtrlHandlerW(u"Zembrik", TestHandler), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    SERVICE_STATUS st{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(nullptr, &st));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SERVICE_TABLE_ENTRYW empty[] = {{nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(empty));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// arg "<group or -1> <name>": as uid 65534 (in that group), opens the
// service's lock and sends it INTERROGATE and STOP. 0 when both are refused.
TEST_CHILD_MODE(service_outsider) {
    int group = -1;
    char name[300];
    if (sscanf(arg.c_str(), "%d %299s", &group, name) != 2) return 90;
    gid_t groups[1] = {static_cast<gid_t>(group)};
    if (setgroups(group >= 0 ? 1 : 0, groups) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 91;
    std::string lock = std::string(getenv("ZEMBRIK_SYSROOT")) + "/run/services/" + name + ".lock";
    int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return 1;  // could hold the dispatcher's lock
    if (errno != EACCES) return 2;
    for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_STOP)}) {
        SERVICE_STATUS st{};
        DWORD rc = pal::svc::InternalControlService(pal::ToUtf16(name), control, st, 5000);
        if (rc != ERROR_ACCESS_DENIED) return 10 + static_cast<int>(control);
    }
    return 0;
}

// Installing needs write access to the Services key under the thread's own
// filesystem identity; controls need access to the endpoint, which only the
// service's user has: neither an outsider nor an administrator may stop it
// or hold its lock.
TEST_F(ServiceTest, AccessFollowsTheCallersIdentity) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to take on another identity";
    ScHandle admin(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(admin.h, nullptr);
    struct stat sb;
    EXPECT_EQ(stat((root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services").c_str(), &sb), 0);

    Child c;
    Start(c, "ZbGuarded", "5", "");
    ASSERT_TRUE(WaitForState("ZbGuarded", SERVICE_RUNNING));
    // Let the outsider reach the root; the files' own modes then decide.
    std::string top = root_.path().substr(0, root_.path().size() - 5);
    chmod(top.c_str(), 0755);
    DWORD createRc = 0, connectRc = 0, controlRc = 0;
    std::thread outsider([&] {
        // Credentials set by raw system calls change this thread only.
        syscall(SYS_setgroups, 0, nullptr);
        syscall(SYS_setfsgid, 65534);
        syscall(SYS_setfsuid, 65534);
        SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        createRc = h == nullptr ? GetLastError() : 0;
        h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        connectRc = h == nullptr ? GetLastError() : 0;
        SC_HANDLE svc = OpenServiceW(h, u"ZbGuarded", SERVICE_ALL_ACCESS);
        SERVICE_STATUS st{};
        controlRc = ControlService(svc, SERVICE_CONTROL_INTERROGATE, &st) ? 0 : GetLastError();
        CloseServiceHandle(svc);
        CloseServiceHandle(h);
    });
    outsider.join();
    EXPECT_EQ(createRc, ERROR_ACCESS_DENIED);
    EXPECT_EQ(connectRc, ERROR_SUCCESS);
    EXPECT_EQ(controlRc, ERROR_ACCESS_DENIED);
    // Whole processes of uid 65534, alone and in the administrators' group.
    testsupport::AdminGroup admins;
    std::vector<int> groups{-1};
    if (admins.gid() >= 0) groups.push_back(admins.gid());
    for (int group : groups) {
        Child attacker;
        attacker.pid = testsupport::SpawnChild("service_outsider", std::to_string(group) + " ZbGuarded");
        ASSERT_GT(attacker.pid, 0);
        int status = attacker.Wait(20000);
        ASSERT_TRUE(status != -1 && WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "as uid 65534 in group " << group;
    }
    SERVICE_STATUS running{};
    EXPECT_EQ(Query("ZbGuarded", running), ERROR_SUCCESS);
    EXPECT_EQ(running.dwCurrentState, SERVICE_RUNNING);
    SERVICE_STATUS st{};
    EXPECT_EQ(Control("ZbGuarded", SERVICE_CONTROL_STOP, st), ERROR_SUCCESS);
    EXPECT_TRUE(ExitedCleanly(c.Wait(10000)));
}

// A second copy started by hand runs its ServiceMain but leaves the first
// copy's endpoint and status file alone.
TEST_F(ServiceTest, SecondCopyDoesNotDisturbTheFirst) {
    Child first;
    Start(first, "ZbTwice", "1", "");
    ASSERT_TRUE(WaitForState("ZbTwice", SERVICE_RUNNING));
    Child second;
    Start(second, "ZbTwice", "2", "");
    ASSERT_TRUE(WaitForTrace("2", "S4")) << "the second copy's reports succeed";
    SERVICE_STATUS st{};
    uint32_t pid = 0;
    ASSERT_TRUE(ReadStatus("ZbTwice", st, pid));
    EXPECT_EQ(pid, static_cast<uint32_t>(first.pid));
    EXPECT_EQ(st.dwServiceSpecificExitCode, 1u);

    kill(second.pid, SIGTERM);
    EXPECT_TRUE(ExitedCleanly(second.Wait(10000)));
    EXPECT_EQ(TraceOf("2"), "A1 ZbTwice\nS2\nS2\nS4\nC1\nS3\nS1\nR1\n");
    ASSERT_TRUE(ReadStatus("ZbTwice", st, pid));
    EXPECT_EQ(pid, static_cast<uint32_t>(first.pid));
    EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(Control("ZbTwice", SERVICE_CONTROL_INTERROGATE, st), ERROR_SUCCESS);
    EXPECT_EQ(st.dwServiceSpecificExitCode, 1u) << "the first copy answers";
    EXPECT_EQ(Control("ZbTwice", SERVICE_CONTROL_STOP, st), ERROR_SUCCESS);
    EXPECT_TRUE(ExitedCleanly(first.Wait(10000)));
}

// Under systemd the reports also go to $NOTIFY_SOCKET, by path or abstract name.
TEST_F(ServiceTest, NotifySocketGetsTheReports) {
    for (bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract" : "path");
        std::string where = abstract ? "@zembrik-notify-" + std::to_string(getpid()) : root_.path() + "/notify";
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(s, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, where.c_str(), where.size());
        if (abstract) addr.sun_path[0] = 0;
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where.size() + (abstract ? 0 : 1));
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), len), 0) << strerror(errno);

        setenv("NOTIFY_SOCKET", where.c_str(), 1);
        Child c;
        Start(c, "ZbNotify", abstract ? "2" : "1", "");
        unsetenv("NOTIFY_SOCKET");
        std::vector<std::string> got;
        auto receive = [&](const std::string& until) {
            while (got.empty() || got.back() != until) {
                struct pollfd p{s, POLLIN, 0};
                if (poll(&p, 1, 10000) != 1) return false;
                char buf[512];
                ssize_t n = recv(s, buf, sizeof(buf), 0);
                if (n <= 0) return false;
                got.emplace_back(buf, static_cast<size_t>(n));
            }
            return true;
        };
        std::string ready = "READY=1\nSTATUS=Running\nMAINPID=" + std::to_string(c.pid);
        ASSERT_TRUE(receive(ready));
        SERVICE_STATUS st{};
        EXPECT_EQ(Control("ZbNotify", SERVICE_CONTROL_STOP, st), ERROR_SUCCESS);
        ASSERT_TRUE(receive("STATUS=Stopped"));
        EXPECT_TRUE(ExitedCleanly(c.Wait(10000)));
        std::vector<std::string> want = {"STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000",
                                         "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000", ready,
                                         "STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"};
        EXPECT_EQ(got, want);
        close(s);
        if (!abstract) unlink(where.c_str());
    }
}

// Dispatcher rules seen from inside a service process.
TEST_F(ServiceTest, DispatcherRulesInsideTheService) {
    Child c;
    c.pid = testsupport::SpawnChild("dispatcher_rules", "ZbRules|9|");
    ASSERT_GT(c.pid, 0);
    EXPECT_TRUE(ExitedCleanly(c.Wait(10000)));
    std::string trace = TraceOf("9");
    EXPECT_EQ(trace.find("fail"), std::string::npos) << trace;
    size_t oks = 0;
    for (size_t at = trace.find("ok "); at != std::string::npos; at = trace.find("ok ", at + 1)) ++oks;
    EXPECT_EQ(oks, 15u) << trace;

    // A ServiceMain that never registers still ends the dispatcher.
    Child noreg;
    Start(noreg, "ZbNoReg", "10", "noreg");
    EXPECT_TRUE(ExitedCleanly(noreg.Wait(10000)));
    EXPECT_EQ(TraceOf("10"), "A1 ZbNoReg\nR1\n");
}
