// Entry point of every test program: installs the simulated sensor into
// the Wine prefix and starts it before any test runs (not when the tests
// are only listed).
#include <cstdio>

#include "tests/test_support.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const std::string driver = testing_support::ProgramFolder() + SIM_DRIVER_FILE;
    if (!::testing::GTEST_FLAG(list_tests) && !(sim::Install(driver.c_str()) && sim::Start())) {
        std::fprintf(stderr, "the simulated sensor (%s) does not install or start\n", driver.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
