// Format negotiation through the pin: intersection, formats the client sets, and the claim
// made at acquire.
#include "streaming_fixture.h"

namespace cameratest {
namespace {

using FormatNegotiation = StreamingTest;

KS_DATAFORMAT_VIDEOINFOHEADER AsVideoFormat(const std::vector<std::uint8_t>& bytes)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    std::memcpy(&format, bytes.data(), std::min(bytes.size(), sizeof format));
    return format;
}

std::vector<std::uint8_t> Bytes(const KS_DATAFORMAT_VIDEOINFOHEADER& format)
{
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&format);
    return std::vector<std::uint8_t>(begin, begin + sizeof format);
}

TEST_F(FormatNegotiation, SizeQueryThenAFormatForTheWholeImage)
{
    KS_DATARANGE_VIDEO range = OfferedRange();
    range.VideoInfoHeader.bmiHeader.biHeight = -480;
    std::vector<std::uint8_t> format;
    ASSERT_EQ(filter_.Intersect(0, &range, sizeof range, format), STATUS_SUCCESS);
    ASSERT_EQ(format.size(), 152u);  // the size query answered 40 + 112
    KS_DATAFORMAT_VIDEOINFOHEADER video = AsVideoFormat(format);
    EXPECT_EQ(video.DataFormat.SampleSize, 1443840u);
    EXPECT_EQ(video.VideoInfoHeader.bmiHeader.biSizeImage, 1443840u);
    EXPECT_EQ(video.VideoInfoHeader.bmiHeader.biHeight, -480);
}

TEST_F(FormatNegotiation, RangeWithDifferentCapabilitiesIsNoMatch)
{
    KS_DATARANGE_VIDEO range = OfferedRange();
    range.ConfigCaps.CropAlignY += 1;
    std::vector<std::uint8_t> format;
    EXPECT_EQ(filter_.Intersect(0, &range, sizeof range, format), STATUS_NO_MATCH);
}

TEST_F(FormatNegotiation, SetFormatChecksWidthHeightAndImageSize)
{
    KS_DATAFORMAT_VIDEOINFOHEADER base = AsVideoFormat(NegotiatedFormat());
    ksclient::Pin pin;

    KS_DATAFORMAT_VIDEOINFOHEADER narrower = base;
    narrower.VideoInfoHeader.bmiHeader.biWidth = 744;
    EXPECT_EQ(CreatePin(Bytes(narrower), pin), STATUS_NO_MATCH);

    KS_DATAFORMAT_VIDEOINFOHEADER shortImage = base;
    shortImage.VideoInfoHeader.bmiHeader.biSizeImage = 1443839;
    EXPECT_EQ(CreatePin(Bytes(shortImage), pin), STATUS_INVALID_PARAMETER);

    KS_DATAFORMAT_VIDEOINFOHEADER topDown = base;
    topDown.VideoInfoHeader.bmiHeader.biHeight = -480;
    ASSERT_EQ(CreatePin(Bytes(topDown), pin), STATUS_SUCCESS);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
}

TEST_F(FormatNegotiation, WiderFormatDeliversWiderRowsAndLeavesTheRestAlone)
{
    KS_DATAFORMAT_VIDEOINFOHEADER base = AsVideoFormat(NegotiatedFormat());
    ASSERT_EQ(CreatePin(Bytes(base), pin_), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER wider = base;
    wider.VideoInfoHeader.bmiHeader.biWidth = 800;
    wider.VideoInfoHeader.bmiHeader.biSizeImage = 1536000;
    ksclient::PropertyResult result = ksclient::SetProperty(
        pin_.Get(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &wider, sizeof wider);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);

    std::vector<std::uint8_t> frame(1536000, 0xEE);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = static_cast<ULONG>(frame.size());
    header.Data = frame.data();
    ASSERT_EQ(KsReadStream(pin_.Get(), &header, 5000), STATUS_SUCCESS);
    // Rows 3,200 bytes apart; the 192 bytes after each 3,008-byte row are untouched.
    for (ULONG row = 0; row < 480; ++row) {
        EXPECT_EQ(frame[row * 3200 + 3007], 255) << "row " << row;  // alpha of the last pixel
        for (ULONG i = 3008; i < 3200; ++i) {
            ASSERT_EQ(frame[row * 3200 + i], 0xEE) << "row " << row;
        }
    }
}

TEST_F(FormatNegotiation, TwentyFourBitsIsRefusedAtAcquireAndTheClaimIsReleased)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format = AsVideoFormat(NegotiatedFormat());
    format.VideoInfoHeader.bmiHeader.biBitCount = 24;
    ASSERT_EQ(CreatePin(Bytes(format), pin_), STATUS_SUCCESS);
    EXPECT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(InterlockedExchangeAdd(&device_->StreamClaimed, 0), 0);
    ASSERT_EQ(pin_.Close(), STATUS_SUCCESS);
    StartStreaming();
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    EXPECT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cameratest
