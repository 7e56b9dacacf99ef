// Process groups with real processes: membership, the job messages the
// reporter logs, limits acting on members, removal, kills and adoption.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "manager/manager_support.h"
#include "pal/iocp.h"
#include "pal/job.h"
#include "pal/process.h"
#include "wire/result_codes.h"
#include "support/process_runner.h"

using testsupport::WaitUntil;

namespace mgrtest {
namespace {

class GroupsTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        if (!CanMakeGroups()) GTEST_SKIP() << "job objects need root and a writable cgroup2 tree";
    }
    bool InGroup(int pid, const std::string& group) {
        return CgroupOf(pid).find("/Kvjob_" + group) != std::string::npos;
    }
    // The v1 pids cgroup of a process, when the host has that hierarchy.
    std::string PidsCgroupOf(int pid) {
        std::string text = testsupport::ReadText("/proc/" + std::to_string(pid) + "/cgroup");
        size_t at = text.find(":pids:");
        if (at == std::string::npos) return "";
        std::string rel = text.substr(at + 6, text.find('\n', at) - at - 6);
        return rel == "/" ? "" : "/sys/fs/cgroup/pids" + rel;
    }
    ManagedJob* Job(const char16_t* group) {
        EnterCriticalSection(&Mgr().Lock());
        ManagedJob* j = Mgr().FindJob(group);
        LeaveCriticalSection(&Mgr().Lock());
        return j;
    }
};

// A named process joins its group, logged once; a child it starts later is
// in the group too and is reported with its own name.
TEST_F(GroupsTest, MembersAndTheirChildren) {
    AddGroupRule(u"Crew", LimitProcessCount, [](MgmtData& m) { m.processCount = 5; });
    AddProcRule(u"zbworker", JoinGroup, u"Crew");
    std::string go = Fifo("go");
    int pid = Start("zbworker", "read x < " + go + "; sleep 30 & wait");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbworker"));
    Pass();
    EXPECT_TRUE(InGroup(pid, "Crew")) << CgroupOf(pid);
    auto created = Events("0x600000A0");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].strings[1], "Kvjob_Crew");
    auto added = Events("0x600000A1");
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].strings[1], "zbworker");
    EXPECT_EQ(added[0].strings[2], std::to_string(pid));
    EXPECT_NE(added[0].strings[3].find("zbworker"), std::string::npos);
    EXPECT_EQ(added[0].strings[4], "Kvjob_Crew");
    EXPECT_EQ(Events("0x600000A8").size(), 1u) << "the process count limit was set and logged";

    Pass();
    EXPECT_EQ(Events("0x600000A0").size(), 1u) << "logged once";
    EXPECT_EQ(Events("0x600000A1").size(), 1u);
    EXPECT_EQ(Events("0x600000A8").size(), 1u) << "nothing differs, nothing logged";

    testsupport::WriteText(go, "1\n");
    ASSERT_TRUE(WaitEvents("0x600000D0", 1));
    auto born = Events("0x600000D0");
    EXPECT_EQ(born[0].strings[1], "Kvjob_Crew");
    EXPECT_EQ(born[0].strings[2], "sleep");
    int child = std::stoi(born[0].strings[3]);
    EXPECT_NE(child, pid);
    EXPECT_TRUE(InGroup(child, "Crew"));
}

// Beyond its process count the group loses its newest process (205); a
// process over its user time is killed and logged with its pid (204).
TEST_F(GroupsTest, CountAndProcessTimeLimits) {
    AddGroupRule(u"Few", LimitProcessCount | LimitProcTime, [](MgmtData& m) {
        m.processCount = 1;
        m.procTimeLimit = 10000000;  // one second, the least accepted
    });
    AddProcRule(u"zbcount", JoinGroup, u"Few");
    AddProcRule(u"zbburn", JoinGroup, u"Few");
    std::string go = Fifo("go");
    int counter = Start("zbcount", "read x < " + go + "; sleep 30 & wait");
    ASSERT_GT(counter, 0);
    ASSERT_TRUE(testsupport::WaitForExec(counter, "zbcount"));
    Pass();
    ASSERT_TRUE(InGroup(counter, "Few"));
    testsupport::WriteText(go, "1\n");
    ASSERT_TRUE(WaitEvents("0x600000CD", 1));
    EXPECT_EQ(Events("0x600000CD")[0].strings[2], "1");
    EXPECT_EQ(kill(counter, 0), 0) << "the older member stays";
    End(counter);

    ASSERT_TRUE(WaitUntil(5000, [&] {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION a{};
        ManagedJob* j = Job(u"Few");
        return j != nullptr && QueryInformationJobObject(j->handle, JobObjectBasicAccountingInformation, &a,
                                                         sizeof(a), nullptr) && a.ActiveProcesses == 0;
    }));
    int burner = Start("zbburn", "while :; do :; done");
    ASSERT_TRUE(testsupport::WaitForExec(burner, "zbburn"));
    Pass();
    ASSERT_TRUE(InGroup(burner, "Few"));
    ASSERT_TRUE(WaitEvents("0x600000CC", 1, 15000));
    auto hit = Events("0x600000CC");
    EXPECT_EQ(hit[0].strings[2], "1000");
    EXPECT_EQ(hit[0].strings[3], std::to_string(burner));
    EXPECT_EQ(testsupport::WaitChild(burner, 5000) != -1, true) << "killed";
}

// A group at its group time is terminated, and the limit is set again and
// logged as changed from 0 ms; with PostAtEndOfJob it goes on, and the same
// limit is not set again.
TEST_F(GroupsTest, GroupTimeEndsOrContinues) {
    AddGroupRule(u"Timed", LimitGroupTime, [](MgmtData& m) { m.groupTimeLimit = 10000000; });
    AddProcRule(u"zbtimed", JoinGroup, u"Timed");
    int a = Start("zbtimed", "while :; do :; done");
    ASSERT_TRUE(testsupport::WaitForExec(a, "zbtimed"));
    Pass();
    ASSERT_TRUE(WaitEvents("0x600000CB", 1, 15000));
    EXPECT_EQ(Events("0x600000CB")[0].strings[2], "1000");
    EXPECT_NE(testsupport::WaitChild(a, 5000), -1) << "terminated";
    ASSERT_TRUE(WaitEvents("0x600000A7", 2));
    auto changed = Events("0x600000A7");
    EXPECT_EQ(changed[1].strings[2], "0");
    EXPECT_EQ(changed[1].strings[3], "1000");

    AddGroupRule(u"Going", LimitGroupTime | PostAtEndOfJob, [](MgmtData& m) { m.groupTimeLimit = 10000000; });
    AddProcRule(u"zbgoing", JoinGroup, u"Going");
    int b = Start("zbgoing", "while :; do :; done");
    ASSERT_TRUE(testsupport::WaitForExec(b, "zbgoing"));
    Pass();
    ASSERT_TRUE(WaitEvents("0x600000CA", 1, 15000));
    EXPECT_EQ(Events("0x600000CA")[0].strings[2], "1000") << "the limit the group hit, not the cleared field";
    EXPECT_EQ(kill(b, 0), 0) << "the group continues";
    size_t before = Events("0x600000A7").size();
    Pass();
    EXPECT_EQ(Events("0x600000A7").size(), before) << "the same group time is not set again";
    EXPECT_TRUE(Job(u"Going")->timeLimitHit);
}

// Priority and affinity limits reach every member (ps, taskset); invalid
// values are refused once; removing a limit logs its old value.
TEST_F(GroupsTest, PriorityAffinityAndValidation) {
    AddGroupRule(u"Nice", ApplyPriority | ApplyAffinity | LimitGroupMemory | LimitProcTime, [](MgmtData& m) {
        m.priority = 4;  // idle
        m.affinity = 1;
        m.groupMemoryLimit = 0;     // invalid
        m.procTimeLimit = 9999999;  // below one second
    });
    AddProcRule(u"zbnice", JoinGroup, u"Nice");
    int pid = Start("zbnice", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbnice"));
    Pass();
    ASSERT_TRUE(InGroup(pid, "Nice"));
    EXPECT_EQ(testsupport::CommandOutput("ps -o ni= -p " + std::to_string(pid)), " 19\n");
    EXPECT_NE(testsupport::CommandOutput("taskset -p " + std::to_string(pid)).find(": 1\n"), std::string::npos);
    EXPECT_EQ(Events("0xE0000130").size(), 1u);
    EXPECT_EQ(Events("0xE0000136").size(), 1u);
    auto prio = Events("0x600000A2");
    ASSERT_EQ(prio.size(), 1u);
    EXPECT_EQ(prio[0].strings[2], "0");
    EXPECT_EQ(prio[0].strings[3], "4");
    EXPECT_EQ(Events("0x600000A3")[0].strings[3], "0x1");
    Pass();
    EXPECT_EQ(Events("0xE0000130").size(), 1u) << "reported once";

    // The rule drops the affinity: its removal names the old mask.
    MgmtData m{};
    m.priority = 4;
    ReplaceGroupRule(u"Nice", ApplyPriority, m);
    Pass();
    auto removed = Events("0x60000107");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].strings[2], "0x1");
    EXPECT_EQ(Events("0x600000A2").size(), 1u) << "the unchanged priority is not logged again";
    std::vector<JobListEntry> groups(4);
    WORD size = 0, count = 0;
    db_->ListGroups(u"Nice", ListExact, groups.data(), 4, &size, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(groups[0].priority, 4u);
    EXPECT_EQ(groups[0].affinity, 0u) << "a removed limit is not listed";

    // A time limit removed and set again starts from the value it had.
    m.procTimeLimit = 20000000;
    ReplaceGroupRule(u"Nice", ApplyPriority | LimitProcTime, m);
    Pass();
    ReplaceGroupRule(u"Nice", ApplyPriority, m);
    Pass();
    m.procTimeLimit = 30000000;
    ReplaceGroupRule(u"Nice", ApplyPriority | LimitProcTime, m);
    Pass();
    auto times = Events("0x600000A6");
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[0].strings[2], "0");
    EXPECT_EQ(times[1].strings[2], "2000") << "the job keeps a cleared limit's value";
    EXPECT_EQ(times[1].strings[3], "3000");
    // A new group's scheduling class is the default one.
    m.schedClass = 7;
    ReplaceGroupRule(u"Nice", ApplyPriority | LimitSchedClass, m);
    Pass();
    ASSERT_EQ(Events("0x600000A5").size(), 1u);
    EXPECT_EQ(Events("0x600000A5")[0].strings[2], "5");
}

// Kills: a pid with another creation time is another process; the group
// kill ends every member; both need their access key.
TEST_F(GroupsTest, Kills) {
    AddGroupRule(u"Doomed", LimitProcessCount, [](MgmtData& m) { m.processCount = 10; });
    AddProcRule(u"zbdoomed", JoinGroup, u"Doomed");
    int a = Start("zbdoomed", "sleep 30 & wait");
    int b = Start("zbdoomed", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(a, "zbdoomed"));
    ASSERT_TRUE(testsupport::WaitForExec(b, "zbdoomed"));
    Pass();
    EXPECT_EQ(Mgr().KillGroup(u"Doomed"), 5u) << "no access key, no kill";
    EXPECT_EQ(Mgr().KillProcess(static_cast<DWORD>(a), AnyCreationTime), 5u);
    GrantAllRights();
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(a));
    FILETIME c{}, e{}, k{}, u{};
    ASSERT_TRUE(GetProcessTimes(h, &c, &e, &k, &u));
    CloseHandle(h);
    ULONGLONG created = (static_cast<ULONGLONG>(c.dwHighDateTime) << 32) | c.dwLowDateTime;
    EXPECT_EQ(Mgr().KillProcess(static_cast<DWORD>(a), created - 1), ResultNotFound);
    EXPECT_EQ(kill(a, 0), 0) << "an older creation time kills nothing";
    EXPECT_EQ(Mgr().KillGroup(u"Nobody"), ResultNotFound);
    EXPECT_EQ(Mgr().KillGroup(u"doomed"), 0u);
    EXPECT_NE(testsupport::WaitChild(a, 5000), -1);
    EXPECT_NE(testsupport::WaitChild(b, 5000), -1);
    auto killed = Events("0x600000C9");
    ASSERT_EQ(killed.size(), 1u);
    EXPECT_EQ(killed[0].strings[1], "doomed");

    int c2 = Start("zbdoomed", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(c2, "zbdoomed"));
    EXPECT_EQ(Mgr().KillProcess(static_cast<DWORD>(c2), AnyCreationTime), 0u);
    EXPECT_NE(testsupport::WaitChild(c2, 5000), -1);
    EXPECT_EQ(Events("0x600000C8")[0].strings[1], std::to_string(c2));
}

// Memory-limit messages share one stamp per group: one event in any 10 s;
// a message whose key names no group is ignored.
TEST_F(GroupsTest, MemoryEventsAtMostEveryTenSeconds) {
    AddGroupRule(u"Mem", LimitProcMemory | LimitGroupMemory, [](MgmtData& m) {
        m.procMemoryLimit = 1;  // a page
        m.groupMemoryLimit = 256 << 20;
    });
    AddProcRule(u"zbmem", JoinGroup, u"Mem");
    int pid = Start("zbmem", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbmem"));
    Pass();
    ASSERT_NE(Job(u"Mem"), nullptr);
    auto limit = Events("0x600000A9");
    ASSERT_EQ(limit.size(), 1u);
    EXPECT_EQ(limit[0].strings[3], "4096") << "rounded up to a page";
    DWORD key = Job(u"Mem")->completionKey;
    for (int i = 0; i < 20; ++i) {
        Mgr().HandleJobMessage(JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT, key, static_cast<ULONG_PTR>(pid));
        Mgr().HandleJobMessage(JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, key, static_cast<ULONG_PTR>(pid));
    }
    Mgr().HandleJobMessage(JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT, key + 100, static_cast<ULONG_PTR>(pid));
    auto hit = Events("0x600000CF");
    ASSERT_EQ(hit.size(), 1u);
    EXPECT_EQ(hit[0].strings[2], "4096");
    EXPECT_EQ(hit[0].strings[3], std::to_string(pid));
    EXPECT_EQ(Events("0x600000CE").size(), 0u) << "the group memory message shares the stamp";
}

// The database's merged lists carry the live part: the grouped process is
// running and in its group; the group exists and has its rule.
TEST_F(GroupsTest, ClientListsShowTheLiveState) {
    AddGroupRule(u"Seen", LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
    AddProcRule(u"zbseen", JoinGroup, u"Seen");
    int pid = Start("zbseen", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbseen"));
    Pass();
    ProcListEntry key{};
    lstrcpynW(key.name, u"zbseen", 64);
    std::vector<ProcListEntry> procs(8);
    WORD size = 0, count = 0;
    db_->ListProcesses(&key, ListFromKey | ListExact, procs.data(), 8, &size, &count);
    ASSERT_GE(count, 1);
    const ProcListEntry& p = procs[0];
    EXPECT_EQ(p.pid, static_cast<ULONGLONG>(pid));
    EXPECT_EQ(p.listFlags & (RunningNow | InManagedGroup | HasRule), RunningNow | InManagedGroup | HasRule);
    EXPECT_EQ(std::u16string(p.groupName), u"Seen");
    std::vector<JobListEntry> groups(8);
    db_->ListGroups(u"", 0, groups.data(), 8, &size, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::u16string(groups[0].name), u"Seen");
    EXPECT_EQ(groups[0].listFlags & (RunningNow | HasRule), RunningNow | HasRule);
    EXPECT_EQ(groups[0].activeProcesses, 1u);
}

// Client lists share one discovery and never wait for a pass: sixteen lists
// asked at once while the manager lock is held (as a pass holds it), after
// the last list went stale, are all answered alike, with a process started
// since and with the member still shown in its group.
TEST_F(GroupsTest, ListsShareADiscoveryAndNeverWaitForAPass) {
    AddGroupRule(u"Shared", LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
    AddProcRule(u"zbshared", JoinGroup, u"Shared");
    int member = Start("zbshared", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(member, "zbshared"));
    Pass();
    ULONGLONG passed = GetTickCount64();
    int late = Start("zblate", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(late, "zblate"));
    ASSERT_TRUE(WaitUntil(5000, [&] { return GetTickCount64() - passed > kListFreshMs; }));
    ULONGLONG walks = Mgr().Walks();

    constexpr size_t kClients = 16;
    std::vector<std::vector<ProcListEntry>> lists(kClients);
    std::atomic<size_t> ready{0}, answered{0};
    std::atomic<bool> go{false};
    EnterCriticalSection(&Mgr().Lock());
    std::vector<std::thread> clients;
    for (size_t c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            ++ready;
            while (!go) std::this_thread::yield();
            ProcListEntry* entries = nullptr;
            ULONGLONG version = 0;
            DWORD n = Mgr().AllocExportProcList(&entries, &version);
            lists[c].assign(entries, entries + n);
            delete[] entries;
            ++answered;
        });
    }
    ASSERT_TRUE(WaitUntil(10000, [&] { return ready == kClients; }));
    go = true;
    bool allAnswered = WaitUntil(30000, [&] { return answered == kClients; });
    LeaveCriticalSection(&Mgr().Lock());
    for (auto& t : clients) t.join();
    ASSERT_TRUE(allAnswered) << "a list waited for the lock a pass holds";
    ULONGLONG made = Mgr().Walks() - walks;
    EXPECT_LT(made, kClients) << "concurrent lists share their discoveries";

    auto find = [](const std::vector<ProcListEntry>& list, int pid) -> const ProcListEntry* {
        for (const ProcListEntry& e : list)
            if (e.pid == static_cast<ULONGLONG>(pid)) return &e;
        return nullptr;
    };
    for (const auto& list : lists) {
        for (size_t i = 1; i < list.size(); ++i) ASSERT_LT(list[i - 1].pid, list[i].pid);
        const ProcListEntry* m = find(list, member);
        const ProcListEntry* l = find(list, late);
        ASSERT_NE(m, nullptr);
        ASSERT_NE(l, nullptr) << "a process started since the pass";
        EXPECT_EQ(std::u16string(l->name), u"zblate");
        EXPECT_EQ(m->listFlags & InManagedGroup, InManagedGroup);
        EXPECT_EQ(std::u16string(m->groupName), u"Shared");
        if (made != 1) continue;  // lists of different walks may differ in other processes
        ASSERT_EQ(list.size(), lists[0].size());
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(list[i].pid, lists[0][i].pid);
            EXPECT_EQ(std::u16string(list[i].name), std::u16string(lists[0][i].name));
            EXPECT_EQ(std::u16string(list[i].groupName), std::u16string(lists[0][i].groupName));
        }
    }
}

// A group that removes itself when empty goes with its last process; one
// without the flag stays.
TEST_F(GroupsTest, RemoveWhenEmpty) {
    AddGroupRule(u"Brief", RemoveWhenEmpty | LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
    AddGroupRule(u"Lasting", LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
    AddProcRule(u"zbbrief", JoinGroup, u"Brief");
    AddProcRule(u"zblasting", JoinGroup, u"Lasting");
    int a = Start("zbbrief", "sleep 30 & wait");
    int b = Start("zblasting", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(a, "zbbrief"));
    ASSERT_TRUE(testsupport::WaitForExec(b, "zblasting"));
    Pass();
    ASSERT_EQ(Mgr().JobCount(), 2u);
    End(a);
    End(b);
    EXPECT_TRUE(WaitUntil(5000, [&] { return Job(u"Brief") == nullptr; })) << "removed on its last exit";
    EXPECT_NE(Job(u"Lasting"), nullptr);
    Pass();
    EXPECT_NE(Job(u"Lasting"), nullptr);
    EXPECT_EQ(Mgr().JobCount(), 1u);
}

// A manager made anew (a service restart) finds the group that another
// holder kept alive: no "has created", and the members stay grouped.
TEST_F(GroupsTest, AdoptsAKeptGroup) {
    AddGroupRule(u"Kept", LimitProcessCount, [](MgmtData& m) { m.processCount = 4; });
    AddProcRule(u"zbkept", JoinGroup, u"Kept");
    int pid = Start("zbkept", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbkept"));
    Pass();
    ASSERT_TRUE(InGroup(pid, "Kept"));
    HANDLE keeper = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_Kept");  // as the mediator does
    ASSERT_NE(keeper, nullptr);
    DropManager();
    Pass();
    EXPECT_EQ(Events("0x600000A0").size(), 1u) << "adopted, not created";
    EXPECT_TRUE(InGroup(pid, "Kept"));
    ASSERT_NE(Job(u"Kept"), nullptr);
    // The shell only: its sleep started before it joined, so it stayed out.
    EXPECT_EQ(Job(u"Kept")->accounting.BasicInfo.ActiveProcesses, 1u);
    CloseHandle(keeper);
}

// A fork storm inside a small group, passes meanwhile and processes ending
// at any point: nothing crashes, no stale record survives a pass.
TEST_F(GroupsTest, ForkStormAndEndings) {
    AddGroupRule(u"Storm", LimitProcessCount, [](MgmtData& m) { m.processCount = 3; });
    AddProcRule(u"zbstorm", JoinGroup, u"Storm");
    AddProcRule(u"zbshort", ApplyPriority, u"", 6);
    std::string go = Fifo("go");
    int storm = Start("zbstorm", "read x < " + go + "; i=0; while [ $i -lt 100 ]; do sleep 5 & i=$((i+1)); done; wait");
    ASSERT_TRUE(testsupport::WaitForExec(storm, "zbstorm"));
    Pass();
    ASSERT_TRUE(InGroup(storm, "Storm"));
    testsupport::WriteText(go, "1\n");
    for (int i = 0; i < 10; ++i) {
        int brief = Start("zbshort", "exit 0");
        Pass();
        End(brief);
    }
    Pass();
    EXPECT_TRUE(InGroup(storm, "Storm"));
    EXPECT_TRUE(WaitEvents("0x600000CD", 1, 30000)) << "the storm hit the process count";
    // The kernel's own record: never more tasks in the group than its limit.
    std::string pids = PidsCgroupOf(storm);
    if (!pids.empty()) {
        EXPECT_EQ(testsupport::ReadText(pids + "/pids.peak"), "3\n") << pids;
        EXPECT_NE(testsupport::ReadText(pids + "/pids.events"), "max 0\n") << "forks were refused";
    }
    EXPECT_EQ(Events("0x600000CD").size(), 1u) << "one event a burst";
    End(storm);
    Pass();
    EnterCriticalSection(&Mgr().Lock());
    for (ManagedProc* p = Mgr().Procs(); p != nullptr; p = p->next) {
        EXPECT_EQ(kill(static_cast<pid_t>(p->pid), 0), 0) << "a record of an ended process survived";
        EXPECT_EQ(p->stamp, Mgr().Generation());
    }
    LeaveCriticalSection(&Mgr().Lock());
}

// Limits are in force and held: a realtime group runs its members SCHED_RR;
// a member that widens its affinity, drops its priority or raises its memory
// limit is brought back within a look of the monitor.
TEST_F(GroupsTest, LimitsHeldAgainstTheMembers) {
    GrantAllRights();  // realtime needs its right
    AddGroupRule(u"Rt", ApplyPriority | LimitSchedClass, [](MgmtData& m) {
        m.priority = 24;  // realtime
        m.schedClass = 7;
    });
    AddProcRule(u"zbrt", JoinGroup, u"Rt");
    AddGroupRule(u"Held", ApplyPriority | ApplyAffinity | LimitProcMemory, [](MgmtData& m) {
        m.priority = 4;  // idle
        m.affinity = 1;
        m.procMemoryLimit = 256 << 20;
    });
    AddProcRule(u"zbheld", JoinGroup, u"Held");
    int rt = Start("zbrt", "sleep 30 & wait");
    int held = Start("zbheld", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(rt, "zbrt"));
    ASSERT_TRUE(testsupport::WaitForExec(held, "zbheld"));
    Pass();
    ASSERT_TRUE(InGroup(rt, "Rt"));
    EXPECT_EQ(testsupport::CommandOutput("ps -o cls= -p " + std::to_string(rt)), " RR\n");
    EXPECT_EQ(Events("0x600000A2")[0].strings[3], "24");
    EXPECT_EQ(Events("0xE00000B9").size(), 0u) << "every limit was applied";

    std::string p = std::to_string(held);
    std::string limits = "/proc/" + p + "/limits";
    auto softMemory = [&] {
        std::string text = testsupport::ReadText(limits);
        size_t at = text.find("Max address space");
        return at == std::string::npos ? std::string() : text.substr(at + 26, 20);
    };
    ASSERT_EQ(softMemory().find(std::to_string(256 << 20)), 0u) << softMemory();
    testsupport::CommandOutput("taskset -p 3 " + p + "; renice -n 0 -p " + p + "; prlimit --pid " + p +
                               " --as=unlimited: 2>&1");
    EXPECT_TRUE(WaitUntil(3000, [&] {
        return testsupport::CommandOutput("ps -o ni= -p " + p) == " 19\n" &&
               testsupport::CommandOutput("taskset -p " + p).find(": 1\n") != std::string::npos &&
               softMemory().find(std::to_string(256 << 20)) == 0;
    })) << testsupport::CommandOutput("ps -o ni= -p " + p) << testsupport::CommandOutput("taskset -p " + p)
        << softMemory();
}

// A limit this host cannot have (silent breakaway) is refused alone and
// said once; the group's other limits are in force.
TEST_F(GroupsTest, UnsupportedLimitAloneIsRefused) {
    AddGroupRule(u"Loose", SilentBreakawayOk | LimitProcessCount, [](MgmtData& m) { m.processCount = 5; });
    AddProcRule(u"zbloose", JoinGroup, u"Loose");
    int pid = Start("zbloose", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbloose"));
    Pass();
    Pass();
    EXPECT_TRUE(InGroup(pid, "Loose"));
    auto failed = Events("0xE00000B9");
    ASSERT_EQ(failed.size(), 1u) << "said once";
    EXPECT_EQ(failed[0].strings[0], "Kvjob_Loose");
    EXPECT_EQ(failed[0].strings[1], "SetJobObjLimitInfo");
    EXPECT_EQ(failed[0].data, "32000000") << "ERROR_NOT_SUPPORTED";
    EXPECT_EQ(Events("0x600000AC").size(), 0u) << "not claimed";
    EXPECT_EQ(Events("0x600000A8").size(), 1u) << "the count limit is in force";
    JOBOBJECT_BASIC_LIMIT_INFORMATION b{};
    ASSERT_TRUE(QueryInformationJobObject(Job(u"Loose")->handle, JobObjectBasicLimitInformation, &b, sizeof(b), nullptr));
    EXPECT_EQ(b.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS, JOB_OBJECT_LIMIT_ACTIVE_PROCESS);
}

// What a stopped manager leaves in the port the mediator keeps (member
// messages and stop packets, this build's and older ones'), twice over:
// the next reporter still reports a new member.
TEST_F(GroupsTest, ReporterOutlivesWhatEarlierManagersLeft) {
    AddGroupRule(u"Left", LimitProcessCount, [](MgmtData& m) { m.processCount = 8; });
    AddProcRule(u"zbleft", JoinGroup, u"Left");
    std::string go = Fifo("go");
    int pid = Start("zbleft", "read x < " + go + "; sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbleft"));
    Pass();
    ASSERT_TRUE(InGroup(pid, "Left"));
    HANDLE keeper = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_Left");  // as the mediator does
    ASSERT_NE(keeper, nullptr);
    ULONG_PTR key = Job(u"Left")->completionKey;
    for (int round = 0; round < 2; ++round) {
        HANDLE port = DropManagerKeepingPort();
        ASSERT_NE(port, nullptr);
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(PostQueuedCompletionStatus(port, JOB_OBJECT_MSG_NEW_PROCESS, key, reinterpret_cast<LPOVERLAPPED>(static_cast<ULONG_PTR>(pid))));
        ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 0, nullptr));
        ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 0, reinterpret_cast<LPOVERLAPPED>(static_cast<ULONG_PTR>(77))));
        Pass();
    }
    testsupport::WriteText(go, "1\n");
    ASSERT_TRUE(WaitEvents("0x600000D0", 1)) << "the reporter still reports" << testsupport::ReadText(root_.path() + "/eventlog/System.log");
    EXPECT_EQ(Events("0x600000D0")[0].strings[2], "sleep");
    EXPECT_EQ(Events("0xE00000B9").size(), 0u) << "no reporter failure";
    CloseHandle(keeper);
}

}  // namespace
}  // namespace mgrtest
