// Installs the platform's seam, then runs every test of the robustness suite.
#include <gtest/gtest.h>

#include "tests/support/test_platform.h"

int main(int argc, char** argv) {
    kzp::SetOs(&kzp::test::BaseOs());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
