// The service program end to end: start, stop, refusals, in a state root of
// its own, checked through the event log, the status file and the process.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pal/error.h"
#include "pal/json.h"
#include "pal/registry.h"
#include "pal/stateroot.h"
#include "pal/service.h"
#include "support/event_log_reader.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::ChildProcess;
using testsupport::EventsWithId;
using testsupport::WaitUntil;

namespace {

const char* kStarted = "0x60000096";
const char* kStopped = "0x60000097";

class ServiceRunTest : public testsupport::RootTest {
protected:
    // The service leaves its mediator running, as it should; the test ends it.
    void TearDown() override { testsupport::EndMediator(); }
    bool StartService(ChildProcess& p) {
        return p.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, OutDir());
    }
    std::string OutDir() {
        std::string d = root_.path() + "-out" + std::to_string(outCount_++);
        mkdir(d.c_str(), 0755);
        return d;
    }
    bool WaitForEvent(const char* id, size_t count = 1, int ms = 15000) {
        return WaitUntil(ms, [&] { return EventsWithId(id).size() >= count; });
    }
    pal::json::Value Status() {
        pal::json::Value v;
        pal::json::Parse(testsupport::ReadText(root_.path() + "/run/services/Zembrik.status"), v);
        return v;
    }
    int64_t StatusField(const char* name) {
        int64_t n = -1;
        pal::json::Value v = Status();
        if (const pal::json::Value* f = v.Find(name)) f->AsInt64(n);
        return n;
    }
    int outCount_ = 0;
};

}  // namespace

// Started without an option the service runs in the foreground, logs that it
// started, and a SIGTERM stops it through the stop sequence.
TEST_F(ServiceRunTest, StartsAndStopsOnSigterm) {
    ChildProcess svc;
    ASSERT_TRUE(StartService(svc));
    ASSERT_TRUE(WaitForEvent(kStarted)) << svc.Stderr();
    EXPECT_EQ(EventsWithId(kStarted)[0].message, "Zembrik has started.");
    EXPECT_EQ(StatusField("state"), 4);
    EXPECT_EQ(StatusField("checkPoint"), 0);
    EXPECT_EQ(StatusField("controlsAccepted"), 1);
    EXPECT_EQ(StatusField("pid"), svc.pid());
    svc.Signal(SIGTERM);
    ASSERT_TRUE(svc.WaitExit(35000));
    EXPECT_TRUE(WIFEXITED(svc.exitStatus()));
    EXPECT_EQ(WEXITSTATUS(svc.exitStatus()), 0);
    auto stopped = EventsWithId(kStopped);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].message, "Zembrik has stopped.");
    EXPECT_EQ(StatusField("state"), 1);
    EXPECT_EQ(StatusField("win32ExitCode"), 0);
    // The reports walked START_PENDING (check point 1, hint 3000), RUNNING
    // (0, STOP accepted), STOP_PENDING (2), STOPPED (0).
    std::vector<std::vector<int64_t>> walk;
    pal::json::Value status = Status();
    const pal::json::Value* history = status.Find("history");
    ASSERT_NE(history, nullptr);
    for (const pal::json::Value& h : history->items) {
        std::vector<int64_t> row;
        for (const char* f : {"state", "checkPoint", "waitHint", "controlsAccepted"}) {
            int64_t n = -1;
            h.Find(f)->AsInt64(n);
            row.push_back(n);
        }
        walk.push_back(row);
    }
    std::vector<std::vector<int64_t>> expected{{2, 1, 3000, 0}, {4, 0, 0, 1}, {3, 2, 0, 0}, {1, 0, 0, 0}};
    EXPECT_EQ(walk, expected);
}

// A STOP from another process goes through the control endpoint; once the
// service is gone, a second STOP finds it not running.
TEST_F(ServiceRunTest, StopControlFromAnotherProcess) {
    ChildProcess svc;
    ASSERT_TRUE(StartService(svc));
    ASSERT_TRUE(WaitForEvent(kStarted));
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(scm, nullptr);
    SC_HANDLE h = OpenServiceW(scm, u"zembrik", SERVICE_ALL_ACCESS);
    ASSERT_NE(h, nullptr) << GetLastError();
    SERVICE_STATUS st{};
    ASSERT_TRUE(QueryServiceStatus(h, &st));
    EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &st)) << GetLastError();
    EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(st.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st)) << GetLastError();
    ASSERT_TRUE(svc.WaitExit(35000));
    EXPECT_EQ(EventsWithId(kStopped).size(), 1u);
    ASSERT_TRUE(QueryServiceStatus(h, &st));
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    SetLastError(0);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    CloseServiceHandle(h);
    CloseServiceHandle(scm);
}

// A stop that arrives while the worker threads are still in their start
// sleep waits for them and completes.
TEST_F(ServiceRunTest, StopDuringWorkerStartSleep) {
    ChildProcess svc;
    ASSERT_TRUE(StartService(svc));
    ASSERT_TRUE(WaitForEvent(kStarted, 1, 15000));
    svc.Signal(SIGINT);
    ASSERT_TRUE(svc.WaitExit(35000));
    EXPECT_EQ(EventsWithId(kStopped).size(), 1u);
}

// A second copy logs that it is already running and stops; the first copy,
// its status and its control endpoint are untouched.
TEST_F(ServiceRunTest, SecondCopyRefusesToStart) {
    ChildProcess first;
    ASSERT_TRUE(StartService(first));
    ASSERT_TRUE(WaitForEvent(kStarted));
    ChildProcess second;
    ASSERT_TRUE(StartService(second));
    ASSERT_TRUE(second.WaitExit(15000));
    EXPECT_EQ(WEXITSTATUS(second.exitStatus()), 1);
    EXPECT_NE(second.Stderr().find("Zembrik not started because it is already running."), std::string::npos)
        << second.Stderr();
    auto refused = EventsWithId("0xE00000C4");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].pid, second.pid());
    EXPECT_EQ(refused[0].message, "Zembrik not started because it is already running.");
    ASSERT_EQ(refused[0].strings.size(), 2u);
    EXPECT_EQ(refused[0].strings[1], "Cannot create a file when that file already exists.");
    EXPECT_EQ(EventsWithId(kStarted).size(), 1u);
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(StatusField("pid"), first.pid());
    EXPECT_EQ(StatusField("state"), 4);
    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitExit(35000));
    EXPECT_EQ(EventsWithId(kStopped).size(), 1u);
}

// Without the Datacenter suite the service logs the OS refusal, says it,
// exits with 1 and creates nothing else.
TEST_F(ServiceRunTest, RefusesWithoutDatacenterSuite) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const WCHAR suite[] = u"Enterprise\0";
    ASSERT_EQ(RegSetValueExW(key, u"ProductSuite", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(suite),
                             sizeof(suite)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ChildProcess svc;
    ASSERT_TRUE(StartService(svc));
    ASSERT_TRUE(svc.WaitExit(15000));
    EXPECT_EQ(WEXITSTATUS(svc.exitStatus()), 1);
    EXPECT_NE(svc.Stderr().find("the only supported OS"), std::string::npos) << svc.Stderr();
    auto ev = EventsWithId("0xE00000B7");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].message, "For the \"Zembrik\", the only supported OS is Windows 2000 Datacenter Server.");
    EXPECT_EQ(EventsWithId(kStarted).size(), 0u);
    EXPECT_EQ(EventsWithId(kStopped).size(), 0u) << "no control asked for the stop";
    struct stat st;
    EXPECT_NE(stat((root_.path() + "/run/objects/ZembrikSvcOnlyMe").c_str(), &st), 0);
    EXPECT_NE(stat((root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services/Zembrik").c_str(), &st), 0)
        << "the rule database was never made";
    EXPECT_EQ(StatusField("state"), 1);
}

// When the database cannot open its key the initialisation failure is logged
// twice (by the core and by the start-up) and the service stops.
TEST_F(ServiceRunTest, DatabaseFailureStopsTheService) {
    // The service's own key is a file: its Parameters key cannot be made.
    std::string service = root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services/Zembrik";
    ASSERT_EQ(PalEnsureStateRoot(), 0u);
    ASSERT_EQ(system(("mkdir -p " + service.substr(0, service.rfind('/'))).c_str()), 0);
    testsupport::WriteText(service, "not a key");
    ChildProcess svc;
    ASSERT_TRUE(StartService(svc));
    ASSERT_TRUE(svc.WaitExit(15000));
    EXPECT_EQ(EventsWithId("0xE00000BC").size(), 2u);
    EXPECT_EQ(EventsWithId("0xE00000BF").size(), 1u);
    EXPECT_EQ(EventsWithId(kStarted).size(), 0u);
}

// When the manager cannot load the rules, its thread stops the service on its
// own: about 32 s after start (2 s sleep, then a stop sequence that waits
// 30 s for the manager thread itself); no control asked, so "has stopped" is
// not logged and the status goes from RUNNING straight to STOPPED.
TEST_F(ServiceRunTest, BrokenRulesStopTheService) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Zembrik\\Parameters", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const WCHAR broken[] = u"{P,unclosed\0";
    ASSERT_EQ(RegSetValueExW(key, u"NameRules", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(broken), sizeof(broken)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ChildProcess svc;
    ASSERT_TRUE(StartService(svc));
    ASSERT_TRUE(WaitForEvent(kStarted));
    ASSERT_TRUE(WaitForEvent("0xE00000BE", 1, 10000));
    EXPECT_TRUE(svc.Running());
    ASSERT_TRUE(svc.WaitExit(45000));
    EXPECT_EQ(WEXITSTATUS(svc.exitStatus()), 0);
    EXPECT_EQ(EventsWithId(kStopped).size(), 0u);
    std::vector<int64_t> states;
    pal::json::Value status = Status();
    for (const pal::json::Value& h : status.Find("history")->items) {
        int64_t n = -1;
        h.Find("state")->AsInt64(n);
        states.push_back(n);
    }
    EXPECT_EQ(states, (std::vector<int64_t>{2, 4, 1}));
}

// A state root that cannot be used gives a clear error on standard error.
TEST_F(ServiceRunTest, UnusableStateRoot) {
    std::string file = root_.path() + "-file";
    testsupport::WriteText(file, "x");
    ChildProcess svc;
    std::string out = OutDir();
    ASSERT_TRUE(svc.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", file}}, out));
    ASSERT_TRUE(svc.WaitExit(10000));
    EXPECT_EQ(WEXITSTATUS(svc.exitStatus()), 1);
    EXPECT_NE(svc.Stderr().find("cannot use the state root " + file), std::string::npos) << svc.Stderr();
    unlink(file.c_str());
}

// Unknown options print the usage text with the whole option word.
TEST_F(ServiceRunTest, UnknownOptionPrintsUsage) {
    ChildProcess svc;
    std::string out = OutDir();
    ASSERT_TRUE(svc.Start(ZEMBRIK_SERVICE_PATH, {"/Bogus"}, {{"ZEMBRIK_SYSROOT", root_.path()}}, out));
    ASSERT_TRUE(svc.WaitExit(10000));
    EXPECT_EQ(svc.Stdout(), "Unknown command '/Bogus':\n   use '-install [user password]', '-reinstall [user "
                            "password]' or '-remove'.\n");
    // A word without its lead character starts nothing: the dispatch fails.
    ChildProcess stray;
    ASSERT_TRUE(stray.Start(ZEMBRIK_SERVICE_PATH, {"install"}, {{"ZEMBRIK_SYSROOT", root_.path()}}, out));
    ASSERT_TRUE(stray.WaitExit(10000));
    EXPECT_EQ(WEXITSTATUS(stray.exitStatus()), 1);
    EXPECT_NE(stray.Stderr().find("Usage: ZembrikService"), std::string::npos) << stray.Stderr();
    auto failed = EventsWithId("0xE00000B5");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].pid, stray.pid());
    EXPECT_EQ(EventsWithId(kStarted).size(), 0u);
}
