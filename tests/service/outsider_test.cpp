// Local attacks on the real service by uid 65534, once as an outsider and
// once as an administrator of rules (group `zembrik`): every lock it can
// open held while the service answers, stops and starts; the service's names
// taken before it starts; links planted where root writes rules; the shared
// job table written. The service must be unaffected, and nothing outside the
// state root touched.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <string>
#include <vector>

#include "client/ctl_runner.h"
#include "pal/stateroot.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

constexpr int kOutsider = 65534;

// Takes on uid 65534 (gid 65534), with `group` as its one supplementary
// group unless it is -1; false when the kernel refuses.
bool BecomeOutsider(int group) {
    gid_t groups[1] = {static_cast<gid_t>(group)};
    return setgroups(group >= 0 ? 1 : 0, groups) == 0 && setgid(kOutsider) == 0 && setuid(kOutsider) == 0;
}

// Every file below dir that we can open, never through a link.
void OpenEverything(const std::string& dir, std::vector<int>& fds) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        if (e->d_type == DT_DIR) {
            int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) fds.push_back(fd);
            OpenEverything(path, fds);
        } else if (e->d_type == DT_REG || e->d_type == DT_FIFO) {
            int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) fds.push_back(fd);
        }
    }
    closedir(d);
}

// arg "<group or -1> <state root> <report file>": holds, as 65534, an
// exclusive (else shared) lock on everything it can open under the root,
// writes how many to the report file, and waits to be killed.
TEST_CHILD_MODE(outsider_hold_locks) {
    int group = -1;
    char root[512] = {}, report[512] = {};
    if (sscanf(arg.c_str(), "%d %511s %511s", &group, root, report) != 3 || !BecomeOutsider(group)) return 2;
    std::vector<int> fds;
    OpenEverything(root, fds);
    int held = 0;
    for (int fd : fds)
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || flock(fd, LOCK_SH | LOCK_NB) == 0) ++held;
    FILE* f = fopen(report, "w");
    if (f == nullptr) return 3;
    fprintf(f, "%d\n", held);
    fclose(f);
    for (;;) pause();
}

// arg "<group or -1> <state root>": tries, as 65534, to make entries where
// the service makes its names; exits with how many it could make.
TEST_CHILD_MODE(outsider_squat) {
    int group = -1;
    char root[512] = {};
    if (sscanf(arg.c_str(), "%d %511s", &group, root) != 2 || !BecomeOutsider(group)) return 200;
    int made = 0;
    const std::string r = root;
    for (const char* dir : {"run/objects/ZembrikSvcOnlyMe", "run/objects/ZembrikMD8OnlyMe", "run/shm/ZembrikMD8Jobs",
                            "run/jobs/Kvjob_Any", "run/services/Zembrik.lock.d", "run"})
        made += mkdir((r + "/" + dir).c_str(), 0777) == 0;
    for (const char* file : {"run/pipe/ZembrikPip", "run/pipe/%lock", "run/objects/.lock", "run/services/Zembrik.lock",
                             "run/shm/.lock", "eventlog/System.log"})
        made += open((r + "/" + file).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666) >= 0;
    return made;
}

// arg "<group> <key directory> <victim file> <victim directory>": plants, as
// an administrator, links to the victims where root writes a key's values
// and its subkeys; exits with how many links it could plant.
TEST_CHILD_MODE(outsider_plant_links) {
    int group = -1;
    char key[512] = {}, file[512] = {}, dir[512] = {};
    if (sscanf(arg.c_str(), "%d %511s %511s %511s", &group, key, file, dir) != 4 || !BecomeOutsider(group)) return 200;
    const std::string k = key;
    int planted = 0;
    unlink((k + "/.values").c_str());
    planted += symlink(file, (k + "/.values").c_str()) == 0;
    planted += symlink(dir, (k + "/zbevil").c_str()) == 0;
    for (int i = 0; i < 64; ++i)  // names a temporary might have
        planted += symlink(file, (k + "/.values.tmp." + std::to_string(i)).c_str()) == 0;
    return planted;
}

// arg "<group or -1> <path>": exits 0 when 65534 cannot open the file for writing.
TEST_CHILD_MODE(outsider_write_file) {
    int group = -1;
    char path[512] = {};
    if (sscanf(arg.c_str(), "%d %511s", &group, path) != 2 || !BecomeOutsider(group)) return 2;
    return open(path, O_RDWR | O_CLOEXEC) < 0 ? 0 : 1;
}

class OutsiderTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to act as other users";
        if (admins_.gid() < 0) GTEST_SKIP() << "no group 'zembrik' (the administrators' group) and none can be made";
        scratch_ = root_.path() + "-scratch";
        ASSERT_EQ(mkdir(scratch_.c_str(), 0777), 0);
        ASSERT_EQ(chmod(scratch_.c_str(), 0777), 0);
        testsupport::OpenRootToOthers(root_.path());
        ASSERT_EQ(PalEnsureStateRoot(), 0u);
    }
    void TearDown() override {
        for (int pid : holders_) testsupport::KillChild(pid);
        if (service_.pid() > 0 && service_.Running()) {
            service_.Signal(SIGTERM);
            service_.WaitExit(35000);
        }
        testsupport::EndMediator();
    }
    void StartService() {
        // The service's output apart from the commands': it shows its errors there.
        ASSERT_TRUE(mkdir((scratch_ + "/service").c_str(), 0700) == 0 || errno == EEXIST);
        ASSERT_TRUE(
            service_.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, scratch_ + "/service"));
        ASSERT_TRUE(WaitUntil(30000, [&] { return Ctl({"info"}).status == 0; })) << "the service does not answer";
    }
    // Stops the service (SIGTERM); true when it ended in time.
    bool StopService() {
        service_.Signal(SIGTERM);
        return service_.WaitExit(35000) && WIFEXITED(service_.exitStatus()) && WEXITSTATUS(service_.exitStatus()) == 0;
    }
    ctltest::Result Ctl(const std::vector<std::string>& args) {
        return ctltest::RunProgram(ZEMBRIKCTL_PATH, args, scratch_);
    }
    int Run(const char* mode, const std::string& arg) {
        int pid = testsupport::SpawnChild(mode, arg);
        int st = testsupport::WaitChild(pid, 20000);
        if (st == -1) testsupport::KillChild(pid);
        return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // Starts a holder of every lock 65534 can take; the number it holds.
    int HoldLocks(int group) {
        std::string report = scratch_ + "/held" + std::to_string(holders_.size());
        holders_.push_back(testsupport::SpawnChild("outsider_hold_locks",
                                                   std::to_string(group) + " " + root_.path() + " " + report));
        EXPECT_TRUE(WaitUntil(10000, [&] { return !testsupport::ReadText(report).empty(); }));
        return atoi(testsupport::ReadText(report).c_str());
    }
    testsupport::AdminGroup admins_;
    std::string scratch_;
    ChildProcess service_;
    std::vector<int> holders_;
};

// Whatever 65534 can lock, with and without the administrators' group, the
// service starts, answers, changes rules, stops in time and starts again.
TEST_F(OutsiderTest, LocksHeldByOthersHangNothing) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    HoldLocks(-1);
    HoldLocks(admins_.gid());
    EXPECT_EQ(Ctl({"info"}).status, 0);
    ctltest::Result r = Ctl({"group-rules", "add", "Locked", "--max-procs", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(StopService()) << "the stop waited on a lock of another user";
    HoldLocks(-1);  // now the files of the stopped service too
    HoldLocks(admins_.gid());
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_EQ(Ctl({"group-rules", "get", "Locked"}).status, 0);
    EXPECT_TRUE(StopService());
}

// Before the service starts, 65534 can make no entry where the service makes
// its names, and cannot write the table the mediator trusts once it runs.
TEST_F(OutsiderTest, NamesCannotBeTakenNorTheTableWritten) {
    EXPECT_EQ(Run("outsider_squat", "-1 " + root_.path()), 0);
    EXPECT_EQ(Run("outsider_squat", std::to_string(admins_.gid()) + " " + root_.path()), 0);
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::string table = root_.path() + "/run/shm/ZembrikMD8Jobs/memory";
    struct stat st;
    ASSERT_EQ(stat(table.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Run("outsider_write_file", "-1 " + table), 0);
    EXPECT_EQ(Run("outsider_write_file", std::to_string(admins_.gid()) + " " + table), 0);
    EXPECT_TRUE(StopService());
}

// An administrator plants links where root writes rules; root adds rules and
// follows none of them: the files they point at stay as they were.
TEST_F(OutsiderTest, PlantedLinksAreNotFollowed) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_EQ(Ctl({"rules", "add", "zbfirst"}).status, 0);
    std::string victim = scratch_ + "/victim", victimDir = scratch_ + "/victimdir";
    testsupport::WriteText(victim, "untouched\n");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(victimDir.c_str(), 0700), 0);
    std::string key = root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services/Zembrik/Parameters/ProcessRules";
    EXPECT_GT(Run("outsider_plant_links", std::to_string(admins_.gid()) + " " + key + " " + victim + " " + victimDir), 0)
        << "the administrators may write the rule keys";
    Ctl({"rules", "add", "zbevil"});
    Ctl({"rules", "add", "zbsecond"});
    Ctl({"rules", "delete", "zbfirst"});
    EXPECT_EQ(testsupport::ReadText(victim), "untouched\n");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(stat(victimDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(testsupport::CommandOutput("ls -A " + victimDir), "") << "root made entries through a link";
    EXPECT_EQ(Ctl({"info"}).status, 0);
    EXPECT_TRUE(StopService());
}

}  // namespace
