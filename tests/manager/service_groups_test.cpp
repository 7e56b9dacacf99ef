// The real service with rules in its registry: a named process is grouped by
// the first pass; across a restart, with the mediator holding the group, it
// stays grouped and the group is adopted, not created again; a mediator
// restarted on request takes every group over, chained blocks included.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "client/ctl_runner.h"
#include "manager/manager_support.h"
#include "pal/job.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"

namespace mgrtest {
namespace {

class ServiceGroupsTest : public ManagerTest {
protected:
    void TearDown() override {
        for (int pid : testsupport::LiveMediators()) kill(pid, SIGKILL);
        testsupport::WaitUntil(5000, [] { return testsupport::LiveMediators().empty(); });
        ManagerTest::TearDown();
        // The mediator died holding the groups: taking each and letting go
        // as the last holder removes it.
        jobs_.push_back(u"Kvjob_Svc");
        for (const std::u16string& name : jobs_) {
            HANDLE h = CreateJobObjectW(nullptr, name.c_str());
            if (h != nullptr) CloseHandle(h);
        }
    }
    bool StartService(testsupport::ChildProcess& p) {
        std::string out = root_.path() + "-out" + std::to_string(runs_++);
        mkdir(out.c_str(), 0755);
        return p.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, out);
    }
    int runs_ = 0;
    std::vector<std::u16string> jobs_;  // job names to drop at the end
};

TEST_F(ServiceGroupsTest, RestartAdoptsTheGroup) {
    if (!CanMakeGroups()) GTEST_SKIP() << "job objects need root and a writable cgroup2 tree";
    AddGroupRule(u"Svc", LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
    AddProcRule(u"zbsvc", JoinGroup, u"Svc");
    int pid = Start("zbsvc", "sleep 60 & wait");
    ASSERT_GT(pid, 0);
    {
        testsupport::ChildProcess service;
        ASSERT_TRUE(StartService(service));
        ASSERT_TRUE(WaitEvents("0x600000A1", 1, 20000));
        EXPECT_NE(CgroupOf(pid).find("/Kvjob_Svc"), std::string::npos);
        EXPECT_EQ(Events("0x600000A0").size(), 1u);
        service.Signal(SIGTERM);
        ASSERT_TRUE(service.WaitExit(35000));
    }
    EXPECT_NE(CgroupOf(pid).find("/Kvjob_Svc"), std::string::npos) << "the mediator keeps the group";
    int late = Start("zbsvc", "sleep 60 & wait");
    ASSERT_GT(late, 0);
    {
        testsupport::ChildProcess service;
        ASSERT_TRUE(StartService(service));
        // The pass that adds the newcomer recognises the member it already had.
        ASSERT_TRUE(WaitEvents("0x600000A1", 2, 20000));
        auto added = Events("0x600000A1");
        EXPECT_EQ(added[1].strings[2], std::to_string(late)) << "no second \"has added\" for the kept member";
        EXPECT_EQ(Events("0x600000A0").size(), 1u) << "adopted without \"has created\"";
        EXPECT_NE(CgroupOf(pid).find("/Kvjob_Svc"), std::string::npos);
        service.Signal(SIGTERM);
        ASSERT_TRUE(service.WaitExit(35000));
    }
    EXPECT_EQ(Events("0x600000A1").size(), 2u);
}

namespace {

std::string TwoDigits(int i) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02d", i);
    return text;
}

}  // namespace

// Restart requests, one after another: each answers only once exactly one
// new mediator runs for the state root, which takes over every group (30, so
// the chain has a second block) from the running service; the service keeps
// no descriptor of the mediators it ended. The groups then outlive the
// service, and the next service adopts them all from the last mediator.
TEST_F(ServiceGroupsTest, MediatorRestartsHoldEveryGroup) {
    if (!CanMakeGroups()) GTEST_SKIP() << "job objects need root and a writable cgroup2 tree";
    GrantAllRights();
    constexpr int kGroups = 30;
    std::vector<int> members;
    for (int i = 0; i < kGroups; ++i) {
        std::u16string group = pal::ToUtf16("G" + TwoDigits(i));
        std::string program = "zbg" + TwoDigits(i);
        AddGroupRule(group.c_str(), LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
        AddProcRule(pal::ToUtf16(program).c_str(), JoinGroup, group.c_str());
        jobs_.push_back(u"Kvjob_" + group);
        members.push_back(Start(program, "sleep 600 & wait"));
        ASSERT_GT(members.back(), 0);
    }
    auto holdsAll = [&](int mediator) {
        for (int i = 0; i < kGroups; ++i)
            if (!testsupport::HoldsPath(mediator, "/run/jobs/Kvjob_G" + TwoDigits(i) + "/")) return false;
        return true;
    };

    testsupport::ChildProcess service;
    ASSERT_TRUE(StartService(service));
    ASSERT_TRUE(WaitEvents("0x600000A1", kGroups, 30000)) << "every member grouped";
    EXPECT_EQ(Events("0x600000A0").size(), static_cast<size_t>(kGroups));
    std::vector<int> live = testsupport::LiveMediators();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_TRUE(testsupport::WaitUntil(15000, [&] { return holdsAll(live[0]); }));

    std::string scratch = root_.path() + "-ctl";
    mkdir(scratch.c_str(), 0755);
    std::vector<int> ended;
    for (int round = 0; round < 4; ++round) {
        int before = live[0];
        ctltest::Result r = ctltest::RunProgram(ZEMBRIKCTL_PATH, {"mediator", "restart"}, scratch);
        EXPECT_EQ(r.status, 0) << "round " << round << ": " << r.err;
        ended.push_back(before);
        live = testsupport::LiveMediators();
        ASSERT_EQ(live.size(), 1u) << "round " << round << ": exactly one mediator once the request answered";
        EXPECT_NE(live[0], before);
        EXPECT_TRUE(testsupport::WaitUntil(15000, [&] { return holdsAll(live[0]); }))
            << "round " << round << ": the new mediator holds every group";
    }
    // The service holds the current mediator's process and none of the ended ones'.
    EXPECT_TRUE(testsupport::WaitUntil(5000, [&] {
        std::vector<int> targets = testsupport::PidfdTargets(service.pid());
        for (int pid : ended)
            if (std::count(targets.begin(), targets.end(), pid) != 0) return false;
        return std::count(targets.begin(), targets.end(), live[0]) == 1;
    })) << "descriptors of ended mediators are closed";

    service.Signal(SIGTERM);
    ASSERT_TRUE(service.WaitExit(35000));
    for (int i = 0; i < kGroups; ++i)
        EXPECT_NE(CgroupOf(members[static_cast<size_t>(i)]).find("/Kvjob_G" + TwoDigits(i)), std::string::npos)
            << "the mediator keeps group " << i;
    int late = Start("zbg00", "sleep 600 & wait");
    ASSERT_GT(late, 0);
    testsupport::ChildProcess next;
    ASSERT_TRUE(StartService(next));
    // The pass that adds the newcomer finds every kept member where it was.
    ASSERT_TRUE(WaitEvents("0x600000A1", kGroups + 1, 30000)) << "the newcomer grouped";
    EXPECT_EQ(testsupport::LiveMediators(), live) << "the next service adopts the mediator";
    EXPECT_EQ(Events("0x600000A0").size(), static_cast<size_t>(kGroups)) << "every group adopted, none made anew";
    EXPECT_EQ(Events("0x600000A1").size(), static_cast<size_t>(kGroups + 1)) << "kept members are not added again";
    for (int i = 0; i < kGroups; ++i)
        EXPECT_NE(CgroupOf(members[static_cast<size_t>(i)]).find("/Kvjob_G" + TwoDigits(i)), std::string::npos);
    next.Signal(SIGTERM);
    ASSERT_TRUE(next.WaitExit(35000));
    testsupport::RemoveTree(scratch);
}

// Every sample of a metrics file as "name{label=value,...} value" (labels
// sorted), as the Prometheus client library parses it; "" when it cannot.
const char kParseMetrics[] =
    "import sys\n"
    "from prometheus_client.parser import text_string_to_metric_families as parse\n"
    "for f in parse(open(sys.argv[1]).read()):\n"
    "    for s in f.samples:\n"
    "        labels = ','.join(k + '=' + v for k, v in sorted(s.labels.items()))\n"
    "        print(s.name + '{' + labels + '} ' + repr(float(s.value)))\n";

// The value of one sample in the parser's output, or -1 when missing.
double SampleValue(const std::string& parsed, const std::string& sample) {
    std::string line = "\n" + sample + " ";
    size_t at = ("\n" + parsed).find(line);
    return at == std::string::npos ? -1 : std::stod(parsed.substr(at + line.size() - 1));
}

// After a pass the service's metrics file holds the group as it is: its
// members, its limit, the client's request; a real Prometheus parser reads it.
TEST_F(ServiceGroupsTest, MetricsFileDescribesTheGroups) {
    if (!CanMakeGroups()) GTEST_SKIP() << "job objects need root and a writable cgroup2 tree";
    if (testsupport::CommandOutput("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null && echo yes") != "yes\n")
        GTEST_SKIP() << "Debian's python3 (/usr/bin/python3) or its python3-prometheus-client is missing";
    GrantAllRights();
    ASSERT_EQ(db_->SetPollSeconds(2), 0u);
    AddGroupRule(u"Met", LimitProcessCount, [](MgmtData& m) { m.processCount = 5; });
    AddProcRule(u"zbmet", JoinGroup, u"Met");
    jobs_.push_back(u"Kvjob_Met");
    ASSERT_GT(Start("zbmet", "sleep 60 & wait"), 0);
    ASSERT_GT(Start("zbmet", "sleep 60 & wait"), 0);
    std::string scratch = root_.path() + "-ctl";
    mkdir(scratch.c_str(), 0755);
    std::string file = root_.path() + "/run/metrics/zembrik.prom";
    ctltest::Result none = ctltest::RunProgram(ZEMBRIKCTL_PATH, {"metrics"}, scratch);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("has not finished a pass yet or is not running"), std::string::npos) << none.err;

    testsupport::ChildProcess service;
    ASSERT_TRUE(StartService(service));
    ASSERT_TRUE(WaitEvents("0x600000A1", 2, 20000));
    EXPECT_EQ(ctltest::RunProgram(ZEMBRIKCTL_PATH, {"info"}, scratch).status, 0);
    const std::string counted = "zembrik_requests_total{type=\"service_info\",result=\"ok\"} 1\n";
    EXPECT_TRUE(testsupport::WaitUntil(15000, [&] {
        return testsupport::ReadText(file).find(counted) != std::string::npos;
    })) << "a pass after the request counts it";
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);

    std::string script = scratch + "/parse.py";
    testsupport::WriteText(script, kParseMetrics);
    std::string parsed = testsupport::CommandOutput("/usr/bin/python3 " + script + " " + file);
    EXPECT_EQ(SampleValue(parsed, "zembrik_group_processes{group=Met}"), 2);
    EXPECT_EQ(SampleValue(parsed, "zembrik_group_processes_started_total{group=Met}"), 2);
    EXPECT_EQ(SampleValue(parsed, "zembrik_group_limit_processes{group=Met}"), 5);
    EXPECT_EQ(SampleValue(parsed, "zembrik_group_limit_hits_total{group=Met,kind=process_count}"), 0);
    EXPECT_GE(SampleValue(parsed, "zembrik_group_cpu_seconds_total{group=Met,mode=user}"), 0);
    EXPECT_GE(SampleValue(parsed, "zembrik_managed_processes{}"), 2);
    EXPECT_GE(SampleValue(parsed, "zembrik_discovered_processes{}"), 2);
    EXPECT_GT(SampleValue(parsed, "zembrik_pass_duration_seconds{}"), 0);
    EXPECT_EQ(SampleValue(parsed, "zembrik_requests_total{result=ok,type=service_info}"), 1);
    EXPECT_EQ(SampleValue(parsed, "zembrik_mediator_running{}"), 1);
    ctltest::Result shown = ctltest::RunProgram(ZEMBRIKCTL_PATH, {"metrics"}, scratch);
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("# TYPE zembrik_requests_total counter"), std::string::npos);

    service.Signal(SIGTERM);
    ASSERT_TRUE(service.WaitExit(35000));
    testsupport::RemoveTree(scratch);
}

}  // namespace
}  // namespace mgrtest
