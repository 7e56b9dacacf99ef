#include <gtest/gtest.h>

#include "support/test_support.h"

int main(int argc, char** argv) {
    int rc = testsupport::RunChildModeIfAsked();
    if (rc >= 0) return rc;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
