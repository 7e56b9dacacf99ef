// Runs a program of this project as a child process, for end-to-end tests.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills (SIGKILL) and reaps a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts path with args; extra environment entries override the inherited
    // ones. Standard output and error go to files in `outputDir` when given.
    bool Start(const std::string& path, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {}, const std::string& outputDir = "");
    int pid() const { return pid_; }
    bool Running();
    // Sends a signal to the child by its pid.
    void Signal(int sig);
    // Waits up to ms for the exit; true when it exited (status in exitStatus()).
    bool WaitExit(int ms);
    int exitStatus() const { return status_; }
    std::string Stdout() const;
    std::string Stderr() const;

private:
    int pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string outDir_;
};

// Polls cond every 20 ms for up to ms; true once it holds.
template <typename F>
bool WaitUntil(int ms, F cond);

}  // namespace testsupport

#include <chrono>
#include <thread>

template <typename F>
bool testsupport::WaitUntil(int ms, F cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
