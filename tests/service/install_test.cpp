// -install, -remove and -reinstall of the real program on a fresh state
// root: the exact lines, the registry they leave, a running service stopped
// first, rules kept or reset as the options say, and the unit file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/texts.h"
#include "db/zembrik_db.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "support/event_log_reader.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

const char* kInstalled =
    "Zembrik service installed.\n"
    "Zembrik server application control registry entry created.\n"
    "Zembrik EventLog registry entries created.\n"
    "Zembrik registry parameter data created.\n";
const char* kRemoved =
    "Zembrik service registry entries removed.\n"
    "Zembrik server application control registry entry deleted.\n"
    "Zembrik EventLog registry entries deleted.\n"
    "Zembrik parameter data registry entries deleted.\n";

class InstallTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        RegisterProgramResources();
        LoadTexts();
        units_ = root_.path() + "-units";
        mkdir(units_.c_str(), 0755);
    }
    void TearDown() override {
        testsupport::EndMediator();
        testsupport::RemoveTree(units_);
        for (int i = 0; i < runs_; ++i) testsupport::RemoveTree(root_.path() + "-out" + std::to_string(i));
    }
    // Runs the program with `args`; its standard output.
    std::string Run(const std::vector<std::string>& args, ChildProcess* keep = nullptr) {
        ChildProcess local;
        ChildProcess& p = keep != nullptr ? *keep : local;
        std::string out = root_.path() + "-out" + std::to_string(runs_++);
        mkdir(out.c_str(), 0755);
        if (!p.Start(ZEMBRIK_SERVICE_PATH, args, {{"ZEMBRIK_SYSROOT", root_.path()}, {"ZEMBRIK_UNIT_DIR", units_}},
                     out))
            return "(not started)";
        if (keep != nullptr) return "";
        if (!p.WaitExit(60000)) return "(did not end)";
        return p.Stdout();
    }
    bool KeyExists(const std::u16string& path) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != 0) return false;
        RegCloseKey(k);
        return true;
    }
    std::u16string StringValue(const std::u16string& path, const char16_t* name) {
        WCHAR buf[512] = {};
        DWORD size = sizeof(buf) - 2;
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != 0) return u"(no key)";
        LONG rc = RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(k);
        return rc == 0 ? std::u16string(buf) : u"(no value)";
    }
    std::string units_;
    int runs_ = 0;
};

const std::u16string kService = u"SYSTEM\\CurrentControlSet\\Services\\Zembrik";
const std::u16string kParameters = kService + u"\\Parameters";

// Install writes every entry and prints its four lines; remove takes them
// away again; options match whatever their case and lead character.
TEST_F(InstallTest, InstallAndRemove) {
    EXPECT_EQ(Run({"-install"}), kInstalled);
    EXPECT_EQ(StringValue(kService, u"Description"), u"Provides control and grouping of running processes.");
    EXPECT_EQ(StringValue(kService, u"DisplayName"), u"Zembrik");
    EXPECT_EQ(StringValue(kService, u"ObjectName"), u"LocalSystem");
    EXPECT_EQ(StringValue(u"SYSTEM\\CurrentControlSet\\Control\\Server Applications",
                          u"{7cfc9f00-0641-11d2-8014-00104b9a3106}"),
              u"Zembrik");
    EXPECT_NE(StringValue(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Zembrik", u"EventMessageFile"),
              u"(no value)");
    for (const WCHAR* k : kAccessKeys) EXPECT_TRUE(KeyExists(kParameters + u"\\" + k)) << pal::ToUtf8(k);
    struct stat st;
    EXPECT_EQ(stat((units_ + "/Zembrik.service").c_str(), &st), 0) << "the unit file";

    EXPECT_EQ(Run({"/INSTALL"}),
              "Zembrik CreateService failed - The specified service already exists.\n");
    EXPECT_EQ(Run({"-Remove"}), kRemoved);
    EXPECT_FALSE(KeyExists(kParameters));
    EXPECT_NE(stat((units_ + "/Zembrik.service").c_str(), &st), 0);
    EXPECT_EQ(Run({"-remove"}),
              "OpenService failed - The specified service does not exist as an installed service.\n"
              "Zembrik parameter data registry entries deleted.\n");
    EXPECT_EQ(Run({"-frob"}),
              "Unknown command '-frob':\n   use '-install [user password]', '-reinstall [user password]' or "
              "'-remove'.\n");
}

// Installing over a service changes no rule; reinstall starts from empty
// rules; one word after the option is the account.
TEST_F(InstallTest, RulesAcrossInstalls) {
    ASSERT_EQ(Run({"-install"}), kInstalled);
    {
        ZembrikDb db;
        ASSERT_EQ(db.LoadRules(7), 0u);
        std::vector<BYTE> b(kProcDetailFixedSize + 1, 0);
        auto* d = reinterpret_cast<ProcDetail*>(b.data());
        lstrcpynW(d->summary.name, u"Kept", 64);
        d->summary.mgmt.mgmtFlags = ApplyPriority;
        d->summary.mgmt.priority = 6;
        ASSERT_EQ(db.AddProcRule(d), 0u);
    }
    Run({"-install"});
    EXPECT_TRUE(KeyExists(kParameters + u"\\ProcessRules\\Kept"));
    EXPECT_EQ(Run({"-reinstall", "zbuser"}), std::string(kRemoved) + kInstalled);
    EXPECT_FALSE(KeyExists(kParameters + u"\\ProcessRules\\Kept"));
    EXPECT_EQ(StringValue(kService, u"ObjectName"), u"zbuser");
    std::string unit = testsupport::ReadText(units_ + "/Zembrik.service");
    EXPECT_NE(unit.find("User=zbuser\n"), std::string::npos);
    EXPECT_NE(unit.find("KillMode=process\n"), std::string::npos);
    EXPECT_NE(unit.find("Delegate=yes\n"), std::string::npos);
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
}

// A Parameters key left by hand without a service: install resets the
// alias list and leaves the other rules.
TEST_F(InstallTest, LeftoverParametersKey) {
    {
        ZembrikDb db;
        ASSERT_EQ(db.LoadRules(7), 0u);
        std::vector<BYTE> b(kProcDetailFixedSize + 1, 0);
        auto* d = reinterpret_cast<ProcDetail*>(b.data());
        lstrcpynW(d->summary.name, u"Left", 64);
        ASSERT_EQ(db.AddProcRule(d), 0u);
        NameRule alias{};
        alias.matchType = u'P';
        lstrcpynW(alias.match, u"x*", 64);
        lstrcpynW(alias.name, u"X", 64);
        ASSERT_EQ(db.InsertNameRule(&alias, 0, db.NameStamp()), 0u);
    }
    EXPECT_EQ(Run({"-install"}), kInstalled);
    EXPECT_TRUE(KeyExists(kParameters + u"\\ProcessRules\\Left"));
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    EXPECT_EQ(db.AliasCount(), 1u) << "only the default rule";
}

// Removing a running service stops it first, a dot a second while it stops.
TEST_F(InstallTest, RemoveStopsTheRunningService) {
    ASSERT_EQ(Run({"-install"}), kInstalled);
    ChildProcess service;
    Run({}, &service);
    ASSERT_TRUE(WaitUntil(15000, [] { return !testsupport::EventsWithId("0x60000096").empty(); }));
    std::string out = Run({"-remove"});
    // "Stopping Zembrik." and a dot a second, then the stop on a line of its own.
    const std::string head = "Stopping Zembrik.";
    size_t stopped = out.find("\nZembrik stopped.\n");
    EXPECT_EQ(out.rfind(head, 0), 0u) << out;
    ASSERT_NE(stopped, std::string::npos) << out;
    EXPECT_EQ(out.find_first_not_of('.', head.size()), stopped) << "only dots in between: " << out;
    EXPECT_NE(out.find(kRemoved), std::string::npos) << out;
    EXPECT_TRUE(service.WaitExit(10000));
    // Gone for good: the stopped service's last status went with it.
    EXPECT_EQ(Run({"-remove"}).rfind("OpenService failed - ", 0), 0u);
}

// The unit file passes systemd's own check where the tool exists.
TEST_F(InstallTest, UnitFileVerifies) {
    if (testsupport::CommandOutput("command -v systemd-analyze").empty()) GTEST_SKIP() << "no systemd-analyze";
    ASSERT_EQ(Run({"-install"}), kInstalled);
    std::string result =
        testsupport::CommandOutput("systemd-analyze verify " + units_ + "/Zembrik.service 2>&1; echo rc=$?");
    EXPECT_NE(result.find("rc=0"), std::string::npos) << result;
}

}  // namespace
