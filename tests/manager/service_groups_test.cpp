// The real service with rules in its registry: a named process is grouped by
// the first pass; across a restart, with the mediator holding the group, it
// stays grouped and the group is adopted, not created again.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/manager_support.h"
#include "pal/job.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"

namespace mgrtest {
namespace {

class ServiceGroupsTest : public ManagerTest {
protected:
    void TearDown() override {
        testsupport::EndMediator();
        ManagerTest::TearDown();
        // The mediator died holding the group: taking it and letting go as
        // the last holder removes it.
        HANDLE h = CreateJobObjectW(nullptr, u"Kvjob_Svc");
        if (h != nullptr) CloseHandle(h);
    }
    bool StartService(testsupport::ChildProcess& p) {
        std::string out = root_.path() + "-out" + std::to_string(runs_++);
        mkdir(out.c_str(), 0755);
        return p.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, out);
    }
    int runs_ = 0;
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

}  // namespace
}  // namespace mgrtest
