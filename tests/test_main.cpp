// Entry point of every test program: installs the simulated sensor into
// the Wine prefix and starts it before any test runs.
#include "tests/test_support.h"

namespace {

class SimSensorEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const std::string driver = testing_support::ProgramFolder() + SIM_DRIVER_FILE;
        ASSERT_TRUE(sim::Install(driver.c_str())) << "installing " << driver;
        ASSERT_TRUE(sim::Start()) << "starting the simulated sensor";
    }
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SimSensorEnvironment);
    return RUN_ALL_TESTS();
}
