// The headers of delivered frames, with and without a reference clock.
#include "streaming_fixture.h"

namespace cameratest {
namespace {

using StreamHeaders = StreamingTest;

TEST_F(StreamHeaders, FramesCarryTheirSizeDurationAndIncreasingClockTimes)
{
    StartStreaming(true);
    std::vector<std::uint8_t> frame;
    LONGLONG previous = -1;
    for (int i = 0; i < 5; ++i) {
        KSSTREAM_HEADER header{};
        ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
        EXPECT_EQ(header.DataUsed, 1443840u);
        EXPECT_EQ(header.Duration, 333333);
        EXPECT_EQ(header.OptionsFlags, 0x110u);
        EXPECT_EQ(header.PresentationTime.Numerator, 1u);
        EXPECT_EQ(header.PresentationTime.Denominator, 1u);
        EXPECT_GT(header.PresentationTime.Time, previous);
        previous = header.PresentationTime.Time;
    }
}

TEST_F(StreamHeaders, WithoutAClockTimeIsZeroAndFlagsAreLeftAlone)
{
    StartStreaming(false);
    std::vector<std::uint8_t> frame(FrameBytes());
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = static_cast<ULONG>(frame.size());
    header.Data = frame.data();
    header.OptionsFlags = 0x8000;
    header.PresentationTime.Time = 1234;
    ASSERT_EQ(KsReadStream(pin_.Get(), &header, 5000), STATUS_SUCCESS);
    EXPECT_EQ(header.PresentationTime.Time, 0);
    EXPECT_EQ(header.OptionsFlags, 0x8000u);
    EXPECT_EQ(header.DataUsed, 1443840u);
}

TEST_F(StreamHeaders, FrameSmallerThanTheImageIsNeverOverrun)
{
    StartStreaming(true);
    std::vector<std::uint8_t> frame(FrameBytes() + 64, 0xEE);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = FrameBytes() / 2;  // the client offers only half a frame
    header.Data = frame.data();
    ASSERT_EQ(KsReadStream(pin_.Get(), &header, 5000), STATUS_SUCCESS);
    EXPECT_LE(header.DataUsed, FrameBytes() / 2);
    for (std::size_t i = FrameBytes() / 2; i < frame.size(); ++i) {
        ASSERT_EQ(frame[i], 0xEE) << "byte " << i;
    }
}

}  // namespace
}  // namespace cameratest
