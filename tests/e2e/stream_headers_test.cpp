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

// Each frame's information names its picture and the pictures dropped up to it, as the pin's
// dropped-frame property does once it is delivered; times grow with every frame.
TEST_F(StreamHeaders, FramesCarryTheirPictureNumberAndDropCount)
{
    StartStreaming(true);
    std::vector<std::uint8_t> frame;
    LONGLONG previousTime = -1;
    LONGLONG previousPicture = 0;
    LONGLONG pictures = 0;
    for (int i = 0; i < 6; ++i) {
        KSSTREAM_HEADER header{};
        KS_FRAME_INFO info{};
        ASSERT_EQ(ReadFrame(frame, header, info), STATUS_SUCCESS);
        EXPECT_EQ(header.DataUsed, FrameBytes());
        EXPECT_EQ(header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                                                          KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
        EXPECT_GT(header.PresentationTime.Time, previousTime);
        previousTime = header.PresentationTime.Time;
        EXPECT_EQ(info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
        EXPECT_EQ(info.dwFrameFlags, static_cast<DWORD>(KS_VIDEO_FLAG_FRAME));
        EXPECT_GE(info.PictureNumber, previousPicture);
        if (info.PictureNumber > previousPicture) {
            ++pictures;
        }
        previousPicture = info.PictureNumber;
        EXPECT_EQ(info.PictureNumber - info.DropCount, pictures);
        // No frame is queued now, so nothing is delivered before the property is read.
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S current{};
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&current) + sizeof(KSPROPERTY);
        ASSERT_EQ(ksclient::GetProperty(pin_.Get(), PROPSETID_VIDCAP_DROPPEDFRAMES,
                                        KSPROPERTY_DROPPEDFRAMES_CURRENT, &current,
                                        sizeof current, tail, sizeof current - sizeof(KSPROPERTY))
                      .status,
                  STATUS_SUCCESS);
        EXPECT_EQ(current.PictureNumber, info.PictureNumber);
        EXPECT_EQ(current.DropCount, info.DropCount);
    }
    EXPECT_GT(pictures, 0);
}

// A client header without room for the frame information gets the frame without it.
TEST_F(StreamHeaders, AShortHeaderGetsTheFrameWithoutItsInformation)
{
    StartStreaming(true);
    std::vector<std::uint8_t> frame(FrameBytes());
    struct {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO info;
    } request{};
    std::memset(&request.info, 0xA5, sizeof request.info);
    request.header.Size = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO) - 1;
    request.header.FrameExtent = static_cast<ULONG>(frame.size());
    request.header.Data = frame.data();
    ASSERT_EQ(KsReadStream(pin_.Get(), &request.header, 5000), STATUS_SUCCESS);
    EXPECT_EQ(request.header.DataUsed, FrameBytes());
    EXPECT_EQ(request.info.ExtendedHeaderSize, 0xA5A5A5A5u);
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

// Client frames around the image's size: one that holds the image gets it and DataUsed says
// exactly its size; a smaller one gets nothing, comes back too small with DataUsed 0, and is
// counted as dropped rather than delivered.
struct ExtentCase {
    const char* Name;
    LONG ExtentBeyondImage;  // the client's FrameExtent minus the image size
    NTSTATUS Expected;
};

void PrintTo(const ExtentCase& row, std::ostream* out)
{
    *out << row.Name;
}

class FrameExtent : public StreamingTest, public testing::WithParamInterface<ExtentCase> {};

TEST_P(FrameExtent, DataUsedNeverExceedsTheImageWritten)
{
    const ExtentCase& row = GetParam();
    StartStreaming(true);
    CapturePin& pin = *device_->StreamOwner;
    ULONG extent = FrameBytes() + row.ExtentBeyondImage;
    std::vector<std::uint8_t> frame(FrameBytes() + 64, 0xEE);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = extent;
    header.Data = frame.data();
    header.DataUsed = 0x5A5A5A5A;
    ASSERT_EQ(KsReadStream(pin_.Get(), &header, 5000), row.Expected);
    bool delivered = NT_SUCCESS(row.Expected);
    EXPECT_EQ(header.DataUsed, delivered ? FrameBytes() : 0u);
    EXPECT_EQ(InterlockedExchangeAdd(&pin.FramesDelivered, 0), delivered ? 1 : 0);
    EXPECT_EQ(InterlockedExchangeAdd(&pin.DroppedFrames, 0), delivered ? 0 : 1);
    // Nothing of a dropped frame is written, nothing past the image of a delivered one.
    std::size_t untouchedFrom = delivered ? FrameBytes() : 0;
    for (std::size_t i = untouchedFrom; i < frame.size(); ++i) {
        ASSERT_EQ(frame[i], 0xEE) << "byte " << i;
    }
    // The stream goes on with the next frame that fits.
    std::vector<std::uint8_t> next;
    ASSERT_EQ(ReadFrame(next, header), STATUS_SUCCESS);
    EXPECT_EQ(header.DataUsed, FrameBytes());
}

const ExtentCase ExtentCases[] = {
    {"HalfTheImage", -static_cast<LONG>(752 * 480 * 2), STATUS_BUFFER_TOO_SMALL},
    {"OneByteShort", -1, STATUS_BUFFER_TOO_SMALL},
    {"ExactlyTheImage", 0, STATUS_SUCCESS},
    {"LargerThanTheImage", 64, STATUS_SUCCESS},
};

INSTANTIATE_TEST_SUITE_P(Rows, FrameExtent, testing::ValuesIn(ExtentCases),
                         [](const auto& row) { return std::string(row.param.Name); });

}  // namespace
}  // namespace cameratest
