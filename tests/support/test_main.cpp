// Test main for every group: runs the verifier's checks after each test, as the platform's
// verifier would at driver unload.
#include <gtest/gtest.h>

#include <ntoskrnl/host/extended_state.h>
#include <ntoskrnl/host/verifier.h>

namespace {

class VerifierChecks : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo&) override { epoch_ = vf::MarkPoolEpoch(); }

    void OnTestEnd(const testing::TestInfo& info) override
    {
        vf::ClearFaultInjection();
        ke::ResetExtendedStateControls();
        vf::WaitForSystemThreads();
        std::string when = std::string("end of test ") + info.test_suite_name() + "." + info.name();
        vf::CheckThreadState(when.c_str());
        vf::CheckForLeaks(when.c_str(), epoch_);
    }

private:
    std::uint64_t epoch_ = 0;
};

// Death tests run the statement in a child process: "threadsafe" starts the test program anew,
// "fast" forks. A 32-bit build may run under qemu-i386, whose children only stay emulated when
// they fork; such builds pick "fast" (tests/CMakeLists.txt).
#ifndef USBCAM_DEATH_TEST_STYLE
#define USBCAM_DEATH_TEST_STYLE "threadsafe"
#endif

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, USBCAM_DEATH_TEST_STYLE);
    testing::UnitTest::GetInstance()->listeners().Append(new VerifierChecks);
    return RUN_ALL_TESTS();
}
