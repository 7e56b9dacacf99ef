#include "support/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"

extern char** environ;

namespace testsupport {

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& outputDir) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string s = *e;
        size_t eq = s.find('=');
        if (eq != std::string::npos) merged[s.substr(0, eq)] = s.substr(eq + 1);
    }
    for (auto& [k, v] : env) merged[k] = v;
    std::vector<std::string> envStrings;
    for (auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    outDir_ = outputDir;
    if (!outDir_.empty()) {
        posix_spawn_file_actions_addopen(&fa, 1, (outDir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, (outDir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    pid_ = pid;
    reaped_ = false;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_) return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = st;
        return false;
    }
    return true;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool ChildProcess::WaitExit(int ms) {
    return WaitUntil(ms, [this] { return !Running(); });
}

std::string ChildProcess::Stdout() const { return outDir_.empty() ? "" : ReadText(outDir_ + "/stdout"); }
std::string ChildProcess::Stderr() const { return outDir_.empty() ? "" : ReadText(outDir_ + "/stderr"); }

}  // namespace testsupport
