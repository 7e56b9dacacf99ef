// Helpers shared by the tests: a temporary state root per test, child
// processes of the test binary itself.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// Creates a fresh state root, points ZEMBRIK_SYSROOT at it, removes it at the end.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    const std::string& path() const { return path_; }
private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// Fixture: every test in it runs in its own state root.
class RootTest : public ::testing::Test {
protected:
    TempRoot root_;
};

// Removes a directory tree; returns true when it is gone.
bool RemoveTree(const std::string& path);
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
bool IsRoot();
// Whether job objects can be made here (root and a writable cgroup2 tree).
bool CanMakeJobs();
// Standard output of a shell command (an outside tool such as ps or taskset).
std::string CommandOutput(const std::string& cmd);
// Waits up to ms until the process runs a program whose command name is
// `name` (the kernel keeps its first 15 bytes): the exec has happened.
bool WaitForExec(int pid, const std::string& name, int ms = 10000);

// The administrators' group `zembrik`, made for the test when the machine
// has none, and removed again at the end; gid() is -1 when it cannot be had.
class AdminGroup {
public:
    AdminGroup();
    ~AdminGroup();
    int gid() const { return gid_; }
private:
    bool made_ = false;
    int gid_ = -1;
};
// Lets others pass through the state root and the directory above it, as
// through /var/lib/zembrik, so that they reach its socket.
void OpenRootToOthers(const std::string& root);

}  // namespace testsupport

namespace testsupport {

// A child mode of a test binary: the binary re-runs itself with
// ZEMBRIK_TEST_CHILD=<name> and runs the function instead of the tests.
using ChildMain = int (*)(const std::string& arg);
struct ChildMode {
    ChildMode(const char* name, ChildMain fn);
};
#define TEST_CHILD_MODE(name) \
    static int name##_child(const std::string& arg); \
    static ::testsupport::ChildMode name##_mode(#name, name##_child); \
    static int name##_child(const std::string& arg)

// Starts this binary in a child mode; returns its pid (or -1).
int SpawnChild(const std::string& mode, const std::string& arg);
// Waits for a child up to ms; returns its wait status, or -1 on time-out.
int WaitChild(int pid, int ms);
// Kills (SIGKILL) and reaps a child by its pid.
void KillChild(int pid);
// Runs the child mode named by the environment, if any; returns -1 if none.
int RunChildModeIfAsked();

}  // namespace testsupport
