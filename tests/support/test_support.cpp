#include "support/test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <grp.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include "internal/job.h"
#include "pal/job.h"
#include "pal/sync.h"
#include "support/process_runner.h"

namespace testsupport {

TempRoot::TempRoot() {
    const char* prev = getenv("ZEMBRIK_SYSROOT");
    if (prev != nullptr) {
        hadPrevious_ = true;
        previous_ = prev;
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "zembrik-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (made == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    path_ = std::string(made) + "/root";
    setenv("ZEMBRIK_SYSROOT", path_.c_str(), 1);
}

namespace {

// The cgroups the jobs of the current state root left behind (a member still
// dying at the last close, a mediator ended while it held its groups) go
// with the root: their processes are killed by pid, then the groups removed.
void RemoveRootCgroups() {
    pal::CgroupLayout layout;
    if (!IsRoot() || pal::FindCgroupLayout(layout) != ERROR_SUCCESS) return;
    std::vector<std::string> parents{layout.parent()};
    for (const std::string& v1 : layout.v1Parent)
        if (!v1.empty()) parents.push_back(v1);
    std::error_code ec;
    for (const std::string& parent : parents) {
        if (!std::filesystem::is_directory(parent, ec)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
            if (!entry.is_directory(ec)) continue;
            // A member may still be on its way out: busy until it has gone.
            std::string dir = entry.path().string();
            for (int round = 0; round < 100 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++round) {
                for (pid_t pid : pal::CgroupProcs(dir)) kill(pid, SIGKILL);
                usleep(20000);
            }
        }
        rmdir(parent.c_str());
    }
}

}  // namespace

TempRoot::~TempRoot() {
    RemoveRootCgroups();
    if (!path_.empty()) RemoveTree(path_.substr(0, path_.size() - 5));
    if (hadPrevious_) setenv("ZEMBRIK_SYSROOT", previous_.c_str(), 1);
    else unsetenv("ZEMBRIK_SYSROOT");
}

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return !std::filesystem::exists(path, ec);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool IsRoot() { return geteuid() == 0; }

bool CanMakeJobs() {
    HANDLE probe = CreateJobObjectW(nullptr, u"Kvjob_probe");
    if (probe == nullptr) return false;
    CloseHandle(probe);
    return true;
}

std::string CommandOutput(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (f == nullptr) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
}

AdminGroup::AdminGroup() {
    if (!IsRoot()) return;
    if (getgrnam("zembrik") == nullptr) {
        CommandOutput("groupadd zembrik 2>&1");
        made_ = getgrnam("zembrik") != nullptr;
    }
    struct group* g = getgrnam("zembrik");
    if (g != nullptr) gid_ = static_cast<int>(g->gr_gid);
}

AdminGroup::~AdminGroup() {
    if (made_) CommandOutput("groupdel zembrik 2>&1");
}

void OpenRootToOthers(const std::string& root) {
    std::string top = root.substr(0, root.find_last_of('/'));
    chmod(top.c_str(), 0711);
    chmod(root.c_str(), 0711);
}

bool WaitForExec(int pid, const std::string& name, int ms) {
    std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    std::string want = name.substr(0, 15) + "\n";
    return WaitUntil(ms, [&] { return ReadText(comm) == want; });
}

}  // namespace testsupport

#include <map>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

namespace testsupport {

static std::map<std::string, ChildMain>& Modes() {
    static std::map<std::string, ChildMain> m;
    return m;
}

ChildMode::ChildMode(const char* name, ChildMain fn) { Modes()[name] = fn; }

int RunChildModeIfAsked() {
    const char* mode = getenv("ZEMBRIK_TEST_CHILD");
    if (mode == nullptr) return -1;
    auto it = Modes().find(mode);
    if (it == Modes().end()) return 127;
    const char* arg = getenv("ZEMBRIK_TEST_ARG");
    std::string a = arg ? arg : "";
    unsetenv("ZEMBRIK_TEST_CHILD");
    unsetenv("ZEMBRIK_TEST_ARG");
    return it->second(a);
}

int SpawnChild(const std::string& mode, const std::string& arg) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string s = *e;
        if (s.rfind("ZEMBRIK_TEST_", 0) != 0) env.push_back(s);
    }
    env.push_back("ZEMBRIK_TEST_CHILD=" + mode);
    env.push_back("ZEMBRIK_TEST_ARG=" + arg);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return pid;
}

int WaitChild(int pid, int ms) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 || waited >= ms) return -1;
        struct timespec ts{0, 10 * 1000000L};
        nanosleep(&ts, nullptr);
    }
}

void KillChild(int pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
}

}  // namespace testsupport
