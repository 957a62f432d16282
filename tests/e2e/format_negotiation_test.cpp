// Format negotiation through the pin: intersection, formats the client sets, and the claim
// made at acquire.
#include "streaming_fixture.h"

#include <climits>
#include <functional>

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

// The negotiated 752 × 480 format made `width` pixels wide, with the matching image size.
KS_DATAFORMAT_VIDEOINFOHEADER WithWidth(KS_DATAFORMAT_VIDEOINFOHEADER format, LONG width)
{
    format.VideoInfoHeader.bmiHeader.biWidth = width;
    format.VideoInfoHeader.bmiHeader.biSizeImage = static_cast<ULONG>(width) * 480 * 4;
    return format;
}

NTSTATUS SetFormat(const ksclient::Pin& pin, const KS_DATAFORMAT_VIDEOINFOHEADER& format)
{
    return ksclient::SetProperty(pin.Get(), KSPROPSETID_Connection,
                                 KSPROPERTY_CONNECTION_DATAFORMAT, &format, sizeof format)
        .status;
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

// Intersection of a range whose bitmap header is malformed: the size query and the answer
// both refuse it, and nothing is written for it.
struct RangeCase {
    const char* Name;
    std::function<void(KS_BITMAPINFOHEADER&)> Change;
};

void PrintTo(const RangeCase& row, std::ostream* out)
{
    *out << row.Name;
}

class MalformedRange : public StreamingTest, public testing::WithParamInterface<RangeCase> {};

TEST_P(MalformedRange, IsRefusedAsAnInvalidParameter)
{
    KS_DATARANGE_VIDEO range = OfferedRange();
    GetParam().Change(range.VideoInfoHeader.bmiHeader);
    std::vector<std::uint8_t> format;
    EXPECT_EQ(filter_.Intersect(0, &range, sizeof range, format), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(format.empty());
}

const RangeCase RangeCases[] = {
    // The answer would be biSize + 112 bytes, too short for the image size written into it.
    {"HeaderOfEightBytes", [](KS_BITMAPINFOHEADER& h) { h.biSize = 8; }},
    {"HeaderOfTwentyFourBytes", [](KS_BITMAPINFOHEADER& h) { h.biSize = 24; }},
    {"HeaderOneByteShort", [](KS_BITMAPINFOHEADER& h) { h.biSize = 39; }},
    // Image sizes beyond 32 bits.
    {"MostNegativeHeight", [](KS_BITMAPINFOHEADER& h) { h.biHeight = INT_MIN; }},
    {"WidestWidth", [](KS_BITMAPINFOHEADER& h) { h.biWidth = INT_MAX; }},
    {"ImageBeyond32Bits", [](KS_BITMAPINFOHEADER& h) { h.biHeight = 1 << 21; }},
};

INSTANTIATE_TEST_SUITE_P(Rows, MalformedRange, testing::ValuesIn(RangeCases),
                         [](const auto& row) { return std::string(row.param.Name); });

// Raw intersection requests whose range list is malformed: sizes that reach past the request
// or wrap around 32 bits are refused before the driver sees the range.
struct RangeListCase {
    const char* Name;
    ULONG Count;
    ULONG FormatSize;
    ULONG BitmapHeaderSize;
    bool ForeignSpecifier;  // a range the pin cannot serve, so the walk goes on
};

void PrintTo(const RangeListCase& row, std::ostream* out)
{
    *out << row.Name;
}

class MalformedRangeList : public StreamingTest,
                           public testing::WithParamInterface<RangeListCase> {};

TEST_P(MalformedRangeList, IsRefusedAsAnInvalidBufferSize)
{
    const RangeListCase& row = GetParam();
    struct {
        ULONG PinId;
        ULONG Reserved;
        KSMULTIPLE_ITEM Items;
        KS_DATARANGE_VIDEO Range;
    } request{
        0, 0, {sizeof(KSMULTIPLE_ITEM) + sizeof(KS_DATARANGE_VIDEO), row.Count}, OfferedRange()};
    request.Range.DataRange.FormatSize = row.FormatSize;
    request.Range.VideoInfoHeader.bmiHeader.biSize = row.BitmapHeaderSize;
    if (row.ForeignSpecifier) {
        request.Range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    }
    // Room for whatever the header claims, so that only the request's own bytes limit it.
    std::vector<std::uint8_t> answer(sizeof(KSDATAFORMAT) + 48 + row.BitmapHeaderSize);
    ksclient::PropertyResult result = ksclient::GetProperty(
        filter_.Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, answer.data(),
        static_cast<ULONG>(answer.size()), &request, sizeof request);
    EXPECT_EQ(result.status, STATUS_INVALID_BUFFER_SIZE);
}

const RangeListCase RangeListCases[] = {
    // Offset 8 + 0xFFFFFFF8 is 0 in 32 bits: the driver would copy 4,048 header bytes out of
    // a 336-byte request.
    {"FormatSizeWrapsToZero", 1, 0xFFFFFFF8, 4000, false},
    // Offset 8 + 0xFFFFFFFF is 7: the walk would come back to the same range for every count.
    {"FormatSizeWrapsBackToTheSameRange", 3, 0xFFFFFFFF, 40, true},
    {"FormatSizeOneBytePastTheList", 1, sizeof(KS_DATARANGE_VIDEO) + 1, 40, false},
    {"CountTheListCannotHold", 0xFFFFFFFF, sizeof(KS_DATARANGE_VIDEO), 40, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, MalformedRangeList, testing::ValuesIn(RangeListCases),
                         [](const auto& row) { return std::string(row.param.Name); });

// Formats given at pin creation: what the driver accepts, and how it refuses the rest.
struct CreationCase {
    const char* Name;
    std::function<void(KS_BITMAPINFOHEADER&)> Change;
    NTSTATUS Expected;
};

void PrintTo(const CreationCase& row, std::ostream* out)
{
    *out << row.Name;
}

class PinCreationFormat : public StreamingTest, public testing::WithParamInterface<CreationCase> {};

TEST_P(PinCreationFormat, IsCheckedAtCreation)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format = AsVideoFormat(NegotiatedFormat());
    GetParam().Change(format.VideoInfoHeader.bmiHeader);
    ksclient::Pin pin;
    EXPECT_EQ(CreatePin(Bytes(format), pin), GetParam().Expected);
}

const CreationCase CreationCases[] = {
    {"Negotiated", [](KS_BITMAPINFOHEADER&) {}, STATUS_SUCCESS},
    {"TopDown", [](KS_BITMAPINFOHEADER& h) { h.biHeight = -480; }, STATUS_SUCCESS},
    {"Wider",
     [](KS_BITMAPINFOHEADER& h) {
         h.biWidth = 800;
         h.biSizeImage = 1536000;
     },
     STATUS_SUCCESS},
    {"Narrower",
     [](KS_BITMAPINFOHEADER& h) {
         h.biWidth = 744;
         h.biSizeImage = 744 * 480 * 4;
     },
     STATUS_NO_MATCH},
    {"MostNegativeHeight", [](KS_BITMAPINFOHEADER& h) { h.biHeight = INT_MIN; }, STATUS_NO_MATCH},
    {"ImageOneByteShort", [](KS_BITMAPINFOHEADER& h) { h.biSizeImage = 1443839; },
     STATUS_INVALID_PARAMETER},
    {"ImageOnePixelLong", [](KS_BITMAPINFOHEADER& h) { h.biSizeImage = 1443844; },
     STATUS_INVALID_PARAMETER},
    {"ImageOfFourGigabytes", [](KS_BITMAPINFOHEADER& h) { h.biSizeImage = 0xFFFFFFFF; },
     STATUS_INVALID_PARAMETER},
    {"HeaderOfTwelveBytes", [](KS_BITMAPINFOHEADER& h) { h.biSize = 12; },
     STATUS_INVALID_PARAMETER},
    {"HeaderOneByteShort", [](KS_BITMAPINFOHEADER& h) { h.biSize = 39; }, STATUS_INVALID_PARAMETER},
    {"HeaderPastTheFormat", [](KS_BITMAPINFOHEADER& h) { h.biSize = 41; },
     STATUS_INVALID_PARAMETER},
};

INSTANTIATE_TEST_SUITE_P(Rows, PinCreationFormat, testing::ValuesIn(CreationCases),
                         [](const auto& row) { return std::string(row.param.Name); });

// Where the rows of a delivered frame land: at the pitch of the pin's accepted format, from
// its creation or a later change on a stopped pin; a refused change leaves it as it was.
struct LayoutCase {
    const char* Name;
    LONG CreationWidth;
    LONG ChangeWidth;       // 0: no change
    LONG ChangeImageDelta;  // added to the change's image size
    bool ChangeWhileRunning;
    NTSTATUS ChangeStatus;
    ULONG Stride;
};

void PrintTo(const LayoutCase& row, std::ostream* out)
{
    *out << row.Name;
}

class DeliveredLayout : public StreamingTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(DeliveredLayout, RowsLandAtTheAcceptedFormatsPitch)
{
    const LayoutCase& row = GetParam();
    KS_DATAFORMAT_VIDEOINFOHEADER base = AsVideoFormat(NegotiatedFormat());
    ASSERT_EQ(CreatePin(Bytes(WithWidth(base, row.CreationWidth)), pin_), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER change = WithWidth(base, row.ChangeWidth);
    change.VideoInfoHeader.bmiHeader.biSizeImage += row.ChangeImageDelta;
    if (row.ChangeWidth != 0 && !row.ChangeWhileRunning) {
        EXPECT_EQ(SetFormat(pin_, change), row.ChangeStatus);
    }
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    if (row.ChangeWidth != 0 && row.ChangeWhileRunning) {
        EXPECT_EQ(SetFormat(pin_, change), row.ChangeStatus);
    }

    std::vector<std::uint8_t> frame(row.Stride * 480, 0xEE);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = static_cast<ULONG>(frame.size());
    header.Data = frame.data();
    ASSERT_EQ(KsReadStream(pin_.Get(), &header, 5000), STATUS_SUCCESS);
    EXPECT_EQ(header.DataUsed, row.Stride * 480);
    // Every row holds 752 opaque pixels; the bytes after them up to the pitch are untouched.
    for (ULONG y = 0; y < 480; ++y) {
        const std::uint8_t* line = frame.data() + y * row.Stride;
        for (ULONG x = 0; x < 752; ++x) {
            ASSERT_EQ(line[x * 4 + 3], 255) << "row " << y << " pixel " << x;
        }
        for (ULONG i = 3008; i < row.Stride; ++i) {
            ASSERT_EQ(line[i], 0xEE) << "row " << y << " byte " << i;
        }
    }
}

const LayoutCase LayoutCases[] = {
    {"Negotiated", 752, 0, 0, false, STATUS_SUCCESS, 3008},
    {"CreatedWider", 800, 0, 0, false, STATUS_SUCCESS, 3200},
    {"ChangedWiderWhileStopped", 752, 800, 0, false, STATUS_SUCCESS, 3200},
    {"WiderRefusedWhileRunning", 752, 800, 0, true, STATUS_INVALID_DEVICE_STATE, 3008},
    {"NarrowerRefusedWhileStopped", 800, 744, 0, false, STATUS_NO_MATCH, 3200},
    {"ShortImageRefusedWhileStopped", 800, 800, -1, false, STATUS_INVALID_PARAMETER, 3200},
};

INSTANTIATE_TEST_SUITE_P(Rows, DeliveredLayout, testing::ValuesIn(LayoutCases),
                         [](const auto& row) { return std::string(row.param.Name); });

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
