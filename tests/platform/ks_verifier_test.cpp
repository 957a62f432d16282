// The verifier's rules for minidriver callbacks: a callback returns at the IRQL it was called at
// and within its time budget, and no stream pointer is left locked when its pin stops. Each
// broken rule stops the program with DRIVER_VERIFIER_DETECTED_VIOLATION.
#include "ks_test_fixture.h"

#include <ks/host/ks_host.h>

namespace kstest {
namespace {

using ksclient::Filter;
using ksclient::Pin;

using KsVerifierDeathTest = KsFrameworkTest;

TEST_F(KsVerifierDeathTest, CallbackReturningAtARaisedIrqlStops)
{
    Config config = CurrentConfig();
    config.filterCreateRaisesIrql = true;
    SetConfig(config);
    EXPECT_DEATH(
        {
            Filter filter;
            Filter::OpenFirst(KSCATEGORY_VIDEO, filter);
        },
        "IRQL.*STOP: 0x000000C4");
}

TEST_F(KsVerifierDeathTest, CallbackOverrunningItsBudgetStops)
{
    Config config = CurrentConfig();
    config.filterCreateDelayMs = 300;
    SetConfig(config);
    EXPECT_DEATH(
        {
            ks::SetCallbackBudgetMs(50);
            Filter filter;
            Filter::OpenFirst(KSCATEGORY_VIDEO, filter);
        },
        "budget.*STOP: 0x000000C4");
}

TEST_F(KsVerifierDeathTest, CallbackWithinItsBudgetIsAccepted)
{
    // The same slow callback under a budget it fits in: no stop.
    Config config = CurrentConfig();
    config.filterCreateDelayMs = 20;
    SetConfig(config);
    unsigned saved = ks::CallbackBudgetMs();
    ks::SetCallbackBudgetMs(2000);
    {
        Filter filter;
        EXPECT_EQ(Filter::OpenFirst(KSCATEGORY_VIDEO, filter), STATUS_SUCCESS);
    }
    ks::SetCallbackBudgetMs(saved);
    EXPECT_EQ(Observed().filterCreates, 1);
}

TEST_F(KsVerifierDeathTest, StreamPointerLeftLockedAtStopStops)
{
    Config config = CurrentConfig();
    config.leaveStreamPointerLocked = true;
    SetConfig(config);
    EXPECT_DEATH(
        {
            Filter filter;
            Filter::OpenFirst(KSCATEGORY_VIDEO, filter);
            Pin pin;
            CreateVideoPin(filter, pin);
            pin.SetState(KSSTATE_RUN);
            std::vector<std::uint8_t> buffer(FrameBytes);
            KSSTREAM_HEADER header{};
            header.Size = sizeof(header);
            header.FrameExtent = FrameBytes;
            header.Data = buffer.data();
            HANDLE request = nullptr;
            KsQueueFrame(pin.Get(), &header, &request);
            RequestProcessing();
            // The pass took the frame and kept it locked; only then is the pin stopped.
            if (WaitUntil([](const Counters& c) { return c.processPasses >= 1; })) {
                pin.SetState(KSSTATE_STOP);
            }
        },
        "locked.*STOP: 0x000000C4");
}

}  // namespace
}  // namespace kstest
