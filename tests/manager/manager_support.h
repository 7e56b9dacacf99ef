// A manager on a database of its own, and programs started under chosen
// names (a copy of the shell, so the alias rules name them from their path).
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/zembrik_db.h"
#include "manager/zembrik_mgr.h"
#include "pal/strings.h"
#include "support/event_log_reader.h"
#include "support/test_support.h"

namespace mgrtest {

class ManagerTest : public testsupport::RootTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A job-object test needs root and a writable cgroup2 tree.
    bool CanMakeGroups();
    // The manager, made on first use, with a completion port and its reporter.
    ZembrikMgr& Mgr();
    void DropManager();
    // Drops the manager but keeps its port for the next one, as the
    // mediator keeps it across a service restart.
    HANDLE DropManagerKeepingPort();
    // One discovery and one rule pass.
    void Pass();

    // Rules.
    void AddProcRule(const char16_t* name, DWORD flags, const char16_t* memberOf = u"", DWORD priority = 0,
                     ULONGLONG affinity = 0, ULONGLONG minWs = 0, ULONGLONG maxWs = 0);
    // A group rule; `set` fills the limit fields of the management block.
    template <typename F>
    void AddGroupRule(const char16_t* name, DWORD flags, F set);
    void AddGroupRule(const char16_t* name, DWORD flags) {
        AddGroupRule(name, flags, [](MgmtData&) {});
    }
    void ReplaceGroupRule(const char16_t* name, DWORD flags, const MgmtData& limits);
    void GrantAllRights();

    // Starts `script` under the shell copied to bin/<name>; the process leads
    // a process group of its own, which End kills whole.
    int Start(const std::string& name, const std::string& script);
    void End(int pid);
    // The v2 cgroup path of a process ("" when gone).
    std::string CgroupOf(int pid);
    // Events of one id, and their inserts after the display name.
    std::vector<testsupport::LoggedEvent> Events(const char* id) { return testsupport::EventsWithId(id); }
    bool WaitEvents(const char* id, size_t n, int ms = 10000);
    std::string Fifo(const std::string& name);

    std::unique_ptr<ZembrikDb> db_;
    std::unique_ptr<ZembrikMgr> mgr_;
    ManagerContext context_{};
    HANDLE keptPort_ = nullptr;  // the next manager's port, when kept
    std::vector<int> started_;
};

template <typename F>
void ManagerTest::AddGroupRule(const char16_t* name, DWORD flags, F set) {
    std::vector<BYTE> bytes(kJobDetailFixedSize + 1, 0);
    auto* d = reinterpret_cast<JobDetail*>(bytes.data());
    lstrcpynW(d->summary.name, name, 64);
    d->summary.mgmt.mgmtFlags = flags;
    set(d->summary.mgmt);
    ASSERT_EQ(db_->AddGroupRule(d), 0u);
}

}  // namespace mgrtest
