// Per-process settings on real processes, checked with ps and taskset:
// saved, applied, logged, restored; invalid values and failures once.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "manager/manager_support.h"
#include "pal/sysinfo.h"
#include "support/process_runner.h"

namespace mgrtest {
namespace {

class SettingsTest : public ManagerTest {
protected:
    std::string Nice(int pid) { return testsupport::CommandOutput("ps -o ni= -p " + std::to_string(pid)); }
    std::string Affinity(int pid) { return testsupport::CommandOutput("taskset -p " + std::to_string(pid)); }
    void Rule(DWORD flags, DWORD priority, ULONGLONG affinity = 0, ULONGLONG minWs = 0, ULONGLONG maxWs = 0) {
        std::vector<BYTE> bytes(kProcDetailFixedSize + 1, 0);
        auto* d = reinterpret_cast<ProcDetail*>(bytes.data());
        lstrcpynW(d->summary.name, u"zbset", 64);
        d->summary.mgmt.mgmtFlags = flags;
        d->summary.mgmt.priority = priority;
        d->summary.mgmt.affinity = affinity;
        d->summary.mgmt.minWorkingSet = minWs;
        d->summary.mgmt.maxWorkingSet = maxWs;
        if (db_->ProcCount() == 0) {
            ASSERT_EQ(db_->AddProcRule(d), 0u);
        } else {
            ASSERT_EQ(db_->ReplaceProcRule(d, db_->ProcStamp()), 0u);
        }
    }
};

// A lower priority is applied and logged from the old number to the new;
// when the rule drops it, the priority found first comes back.
TEST_F(SettingsTest, PrioritySavedAppliedRestored) {
    int pid = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbset"));
    Rule(ApplyPriority, 6);  // below normal
    Pass();
    EXPECT_EQ(Nice(pid), " 10\n");
    auto changed = Events("0x60000098");
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].strings[1], "zbset");
    EXPECT_EQ(changed[0].strings[2], std::to_string(pid));
    EXPECT_EQ(changed[0].strings[4], "8");
    EXPECT_EQ(changed[0].strings[5], "6");
    Pass();
    EXPECT_EQ(Events("0x60000098").size(), 1u) << "already in place: nothing logged";

    Rule(0, 0);
    Pass();
    EXPECT_EQ(Nice(pid), "  0\n");
    changed = Events("0x60000098");
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_EQ(changed[1].strings[4], "6");
    EXPECT_EQ(changed[1].strings[5], "8");
}

// A priority already in place changes nothing, and nothing is restored later.
TEST_F(SettingsTest, EqualPriorityIsLeftAlone) {
    int pid = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbset"));
    Rule(ApplyPriority, 9);  // normal, as the process already is
    Pass();
    Rule(0, 0);
    Pass();
    EXPECT_EQ(Events("0x60000098").size(), 0u);
    EXPECT_EQ(Nice(pid), "  0\n");
}

// Affinity is the rule's mask within the system's; a mask without any of
// the system's processors is refused once and never applied.
TEST_F(SettingsTest, AffinityAndItsValidation) {
    int pid = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbset"));
    std::string before = Affinity(pid);
    Rule(ApplyAffinity, 0, 1ULL << 40);  // no processor of ours
    Pass();
    Pass();
    EXPECT_EQ(Events("0xE0000132").size(), 1u);
    EXPECT_EQ(Affinity(pid), before);
    Rule(ApplyAffinity, 0, 1);
    Pass();
    EXPECT_NE(Affinity(pid).find(": 1\n"), std::string::npos) << Affinity(pid);
    auto changed = Events("0x60000099");
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].strings[5], "0x1");
    Rule(0, 0);
    Pass();
    EXPECT_EQ(Affinity(pid), before) << "restored";
}

// Working sets cannot be read here: a rule asking for one, even for the
// numbers Windows starts a process with, is logged as failed once per rule,
// and never as changed, saved or in force.
TEST_F(SettingsTest, WorkingSetFailsOnceAndNeverPretends) {
    int pid = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbset"));
    Rule(ApplyWorkingSet, 0, 0, 204800, 1413120);
    Pass();
    Pass();
    auto failed = Events("0xE00000C2");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings[2], std::to_string(pid));
    Rule(ApplyWorkingSet, 0, 0, 1 << 20, 2 << 20);
    Pass();
    Pass();
    EXPECT_EQ(Events("0xE00000C2").size(), 2u) << "once more for the new rule";
    EXPECT_EQ(Events("0x6000009A").size(), 0u);
    EnterCriticalSection(&Mgr().Lock());
    ASSERT_EQ(Mgr().ProcCount(), 1u);
    EXPECT_EQ(Mgr().Procs()->appliedFlags & ApplyWorkingSet, 0u);
    EXPECT_EQ(Mgr().Procs()->saved.mgmtFlags & ApplyWorkingSet, 0u);
    LeaveCriticalSection(&Mgr().Lock());
}

// A process that ends and starts again is a new record: its prior settings
// are saved afresh; the old record goes with the pass that misses it.
TEST_F(SettingsTest, ANewProcessIsANewRecord) {
    int first = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(first, "zbset"));
    Rule(ApplyPriority, 6);
    Pass();
    ASSERT_EQ(Mgr().ProcCount(), 1u);
    End(first);
    int second = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(second, "zbset"));
    Pass();
    EXPECT_EQ(Mgr().ProcCount(), 1u);
    EXPECT_EQ(Mgr().Procs()->pid, static_cast<ULONGLONG>(second));
    EXPECT_EQ(Mgr().Procs()->saved.priority, 8u);
    EXPECT_EQ(Nice(second), " 10\n");
}

// A process is named again after an exec, even one to a program whose command
// name (the first 15 bytes of its file name) is the same.
TEST_F(SettingsTest, AnExecIsNamedAgain) {
    std::string fifo = Fifo("go");
    std::string second = root_.path() + "/bin/zbexec_longnam_B";
    int pid = Start("zbexec_longnam_A", "read x < " + fifo + "; exec " + second + " -c 'sleep 30'");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbexec_longnam_A"));
    testsupport::CommandOutput("cp /bin/sh " + second);
    AddProcRule(u"zbexec_longnam_B", ApplyPriority, u"", 6);
    Pass();
    EXPECT_EQ(Mgr().ProcCount(), 0u);
    testsupport::WriteText(fifo, "go\n");
    std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    ASSERT_TRUE(testsupport::WaitUntil(10000, [&] {
        char target[512] = {};
        return readlink(exe.c_str(), target, sizeof(target) - 1) > 0 && second == target;
    }));
    Pass();
    EXPECT_EQ(Mgr().ProcCount(), 1u);
    EXPECT_EQ(Nice(pid), " 10\n");
}

// A record whose pid now belongs to a process with another creation time is
// another process: the pass makes a new record and drops the old one.
TEST_F(SettingsTest, ReusedPidIsANewProcess) {
    int pid = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbset"));
    Rule(ApplyPriority, 8);
    Pass();
    ASSERT_EQ(Mgr().ProcCount(), 1u);
    FILETIME real = Mgr().Procs()->creationTime;
    FILETIME older = real;
    older.dwLowDateTime -= 1;
    auto* stale = new ManagedProc(u"zbset", static_cast<ULONGLONG>(pid), older);
    EnterCriticalSection(&Mgr().Lock());
    InternalProcDef rule = Mgr().Procs()->rule;
    Mgr().DropStaleProcs();  // same generation: nothing goes
    Mgr().TrackProc(stale, rule, true);
    EXPECT_EQ(Mgr().FindProc(static_cast<ULONGLONG>(pid), real), nullptr) << "the first record of a pid decides";
    LeaveCriticalSection(&Mgr().Lock());
    Pass();
    ASSERT_EQ(Mgr().ProcCount(), 1u);
    EXPECT_EQ(memcmp(&Mgr().Procs()->creationTime, &real, sizeof(real)), 0);
}

// Rules replaced while passes run: each pass works on its own copies.
TEST_F(SettingsTest, RuleChangesDuringPasses) {
    int pid = Start("zbset", "sleep 30 & wait");
    ASSERT_TRUE(testsupport::WaitForExec(pid, "zbset"));
    Rule(ApplyPriority, 6);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; !done; ++i) {
            Rule(ApplyPriority, i % 2 == 0 ? 4 : 6);
            usleep(1000);
        }
    });
    for (int i = 0; i < 30; ++i) Pass();
    done = true;
    changer.join();
    Rule(ApplyPriority, 6);
    Pass();
    EXPECT_EQ(Nice(pid), " 10\n") << "the last rule holds";
    EXPECT_EQ(Mgr().ProcCount(), 1u);
}

}  // namespace
}  // namespace mgrtest
