// The reference clock: a default clock object given to a pin as its master clock, read by the
// driver through KsPinGetReferenceClockInterface for the frames' presentation times.
#include "ks_test_fixture.h"

#include <chrono>
#include <thread>

namespace kstest {
namespace {

using ksclient::Filter;
using ksclient::Handle;
using ksclient::Pin;

class KsReferenceClock : public KsOpenPinTest {
protected:
    void TearDown() override
    {
        pin_.Close();
        clock_.Close();
        KsOpenPinTest::TearDown();
    }

    void GiveThePinAClock()
    {
        HANDLE clock = nullptr;
        ASSERT_EQ(KsCreateDefaultClock(&clock), STATUS_SUCCESS);
        ASSERT_NE(clock, nullptr);
        clock_ = Handle(clock);
        ASSERT_EQ(pin_.SetMasterClock(clock_.Get()), STATUS_SUCCESS);
    }

    // Queues a frame, asks for a pass and returns the header as delivered.
    KSSTREAM_HEADER DeliverFrame()
    {
        std::vector<std::uint8_t> buffer(FrameBytes);
        KSSTREAM_HEADER header{};
        header.Size = sizeof(header);
        header.FrameExtent = FrameBytes;
        header.Data = buffer.data();
        HANDLE request = nullptr;
        EXPECT_EQ(KsQueueFrame(pin_.Get(), &header, &request), STATUS_SUCCESS);
        EXPECT_TRUE(RequestProcessing());
        EXPECT_EQ(KsWaitFrame(request, 5000), STATUS_SUCCESS);
        KsCancelFrame(request);
        KsCloseHandle(request);
        return header;
    }

    Handle clock_;
};

TEST_F(KsReferenceClock, PinWithoutAClockHasNoInterface)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSSTREAM_HEADER header = DeliverFrame();
    EXPECT_EQ(Observed().clockSuccesses, 0);
    EXPECT_GE(Observed().clockFailures, 1);
    EXPECT_EQ(header.PresentationTime.Time, 0);
    EXPECT_EQ(header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
}

TEST_F(KsReferenceClock, FramesCarryTheClocksTime)
{
    GiveThePinAClock();
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSSTREAM_HEADER first = DeliverFrame();
    EXPECT_EQ(Observed().clockFailures, 0);
    EXPECT_EQ(Observed().clockSuccesses, 1);
    EXPECT_NE(first.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
    EXPECT_GE(first.PresentationTime.Time, 0);
}

TEST_F(KsReferenceClock, TimeIsMonotonicIn100NanosecondUnits)
{
    GiveThePinAClock();
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    LONGLONG previous = DeliverFrame().PresentationTime.Time;
    for (int i = 0; i < 5; ++i) {
        LONGLONG now = DeliverFrame().PresentationTime.Time;
        EXPECT_GE(now, previous);
        previous = now;
    }

    // Across a pause of the test thread the clock advances by at least that much counted in
    // 100 ns units; a clock counting milliseconds or microseconds falls short.
    constexpr int waitMs = 40;
    LONGLONG before = DeliverFrame().PresentationTime.Time;
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    LONGLONG after = DeliverFrame().PresentationTime.Time;
    EXPECT_GE(after - before, static_cast<LONGLONG>(waitMs) * 10000);
}

TEST_F(KsReferenceClock, RemovingTheClockTakesTheInterfaceAway)
{
    GiveThePinAClock();
    ASSERT_EQ(pin_.SetMasterClock(nullptr), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSSTREAM_HEADER header = DeliverFrame();
    EXPECT_EQ(Observed().clockSuccesses, 0);
    EXPECT_EQ(header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
}

TEST_F(KsReferenceClock, ClockHandleMayCloseBeforeThePin)
{
    GiveThePinAClock();
    ASSERT_EQ(clock_.Close(), STATUS_SUCCESS);
    // The pin keeps its own reference: the interface still works.
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSSTREAM_HEADER header = DeliverFrame();
    EXPECT_EQ(Observed().clockSuccesses, 1);
    EXPECT_NE(header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
}

}  // namespace
}  // namespace kstest
