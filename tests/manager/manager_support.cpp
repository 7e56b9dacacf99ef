#include "manager/manager_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "common/messages.h"
#include "common/texts.h"
#include "pal/iocp.h"
#include "pal/job.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "support/process_runner.h"

namespace mgrtest {

void ManagerTest::SetUp() {
    // Grandchildren (the shells' own children) come back to us to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    RegisterProgramResources();
    LoadTexts();
    db_ = std::make_unique<ZembrikDb>();
    ASSERT_TRUE(db_->IsReady());
    ASSERT_EQ(db_->LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules), 0u);
}

void ManagerTest::TearDown() {
    for (int pid : started_) End(pid);
    started_.clear();
    DropManager();
    if (keptPort_ != nullptr) CloseHandle(keptPort_);
    keptPort_ = nullptr;
    db_.reset();
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

bool ManagerTest::CanMakeGroups() { return testsupport::CanMakeJobs(); }

ZembrikMgr& ManagerTest::Mgr() {
    if (!mgr_) {
        context_ = ManagerContext{};
        context_.database = db_.get();
        context_.completionPort =
            keptPort_ != nullptr ? keptPort_ : CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        keptPort_ = nullptr;
        mgr_ = std::make_unique<ZembrikMgr>(&context_);
        db_->SetLiveLists(ZembrikMgr::LiveListsOf(mgr_.get()));
    }
    return *mgr_;
}

void ManagerTest::DropManager() {
    if (db_) db_->SetLiveLists(LiveLists{});
    mgr_.reset();  // the reporter closes the port as it ends
}

HANDLE ManagerTest::DropManagerKeepingPort() {
    HANDLE port = nullptr;
    if (mgr_ && !DuplicateHandle(GetCurrentProcess(), Mgr().CompletionPort(), GetCurrentProcess(), &port, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
        port = nullptr;
    DropManager();
    keptPort_ = port;
    return port;
}

void ManagerTest::Pass() {
    Mgr().Discover();
    Mgr().ApplyRules();
}

void ManagerTest::AddProcRule(const char16_t* name, DWORD flags, const char16_t* memberOf, DWORD priority,
                              ULONGLONG affinity, ULONGLONG minWs, ULONGLONG maxWs) {
    std::vector<BYTE> bytes(kProcDetailFixedSize + 1, 0);
    auto* d = reinterpret_cast<ProcDetail*>(bytes.data());
    lstrcpynW(d->summary.name, name, 64);
    lstrcpynW(d->summary.memberOf, memberOf, 64);
    d->summary.mgmt.mgmtFlags = flags;
    d->summary.mgmt.priority = priority;
    d->summary.mgmt.affinity = affinity;
    d->summary.mgmt.minWorkingSet = minWs;
    d->summary.mgmt.maxWorkingSet = maxWs;
    ASSERT_EQ(db_->AddProcRule(d), 0u);
}

void ManagerTest::ReplaceGroupRule(const char16_t* name, DWORD flags, const MgmtData& limits) {
    std::vector<BYTE> bytes(kJobDetailFixedSize + 1, 0);
    auto* d = reinterpret_cast<JobDetail*>(bytes.data());
    lstrcpynW(d->summary.name, name, 64);
    d->summary.mgmt = limits;
    d->summary.mgmt.mgmtFlags = flags;
    ASSERT_EQ(db_->ReplaceGroupRule(d, db_->GroupStamp()), 0u);
}

void ManagerTest::GrantAllRights() {
    for (const WCHAR* k : kAccessKeys) {
        std::u16string path = std::u16string(kParametersKeyPath) + u"\\" + k;
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr), 0);
        RegCloseKey(h);
    }
}

int ManagerTest::Start(const std::string& name, const std::string& script) {
    std::string bin = root_.path() + "/bin";
    mkdir(root_.path().c_str(), 0755);
    mkdir(bin.c_str(), 0755);
    std::string path = bin + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::ifstream in("/bin/sh", std::ios::binary);
        std::ofstream out(path, std::ios::binary);
        out << in.rdbuf();
        out.close();
        chmod(path.c_str(), 0755);
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execl(path.c_str(), name.c_str(), "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) started_.push_back(pid);
    return pid;
}

void ManagerTest::End(int pid) {
    if (pid <= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string ManagerTest::CgroupOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    return "";
}

bool ManagerTest::WaitEvents(const char* id, size_t n, int ms) {
    return testsupport::WaitUntil(ms, [&] { return Events(id).size() >= n; });
}

std::string ManagerTest::Fifo(const std::string& name) {
    mkdir(root_.path().c_str(), 0755);
    std::string path = root_.path() + "/" + name;
    mkfifo(path.c_str(), 0600);
    return path;
}

}  // namespace mgrtest
