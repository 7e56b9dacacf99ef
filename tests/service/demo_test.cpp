// The README's walk-through as a user runs it: scripts/demo drives the real
// programs and checks each step's effect (grouping, priority, affinity,
// events, the kill, the stop and removal).
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

TEST(DemoTest, WalkThroughWorks) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "process groups need root (cgroups)";
    if (!testsupport::CanMakeJobs()) GTEST_SKIP() << "no writable cgroup2 tree";
    std::string bin = ZEMBRIK_SERVICE_PATH;
    bin = bin.substr(0, bin.find_last_of('/'));
    std::string out = testsupport::CommandOutput("timeout 180 " ZEMBRIK_SOURCE_DIR "/scripts/demo " + bin +
                                                 " 2>&1; echo \"exit=$?\"");
    EXPECT_NE(out.find("demo: every step worked"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
}
