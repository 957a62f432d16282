// Test main for every group: runs the verifier's checks after each test, as the platform's
// verifier would at driver unload.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>

namespace {

class VerifierChecks : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo&) override { epoch_ = vf::MarkPoolEpoch(); }

    void OnTestEnd(const testing::TestInfo& info) override
    {
        vf::ClearFaultInjection();
        vf::WaitForSystemThreads();
        std::string when = std::string("end of test ") + info.test_suite_name() + "." + info.name();
        vf::CheckThreadState(when.c_str());
        vf::CheckForLeaks(when.c_str(), epoch_);
    }

private:
    std::uint64_t epoch_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::UnitTest::GetInstance()->listeners().Append(new VerifierChecks);
    return RUN_ALL_TESTS();
}
