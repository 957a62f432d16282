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

// The ranges the pin offers, in order, for a window: 32-bit RGB first (the default), then
// 24-bit RGB, YUY2, NV12 where the height is even, and the raw Bayer samples named by the
// order of the window's first 2 x 2 block. Every range is at the output size.
struct OfferCase {
    const char* Name;
    LONG X, Y, W, H;
    ULONG Mode;
    std::vector<ULONG> Fourccs;  // Data1 of each subtype; RGB by their bit count (32, 24)
};

void PrintTo(const OfferCase& row, std::ostream* out)
{
    *out << row.Name;
}

class OfferedRanges : public StreamingTest, public testing::WithParamInterface<OfferCase> {};

constexpr ULONG FourccOf(const char (&code)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(code[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(code[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(code[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(code[3])) << 24;
}

TEST_P(OfferedRanges, FollowTheWindow)
{
    const OfferCase& row = GetParam();
    SetRegionOfInterest(device_, row.X, row.Y, row.W, row.H, row.Mode);
    const ULONG width = device_->Geometry.OutputWidth;
    const ULONG height = device_->Geometry.OutputHeight;
    std::vector<std::vector<std::uint8_t>> ranges;
    ASSERT_EQ(filter_.DataRanges(0, ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), row.Fourccs.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "range " << i);
        ASSERT_EQ(ranges[i].size(), sizeof(KS_DATARANGE_VIDEO));
        KS_DATARANGE_VIDEO range;
        std::memcpy(&range, ranges[i].data(), sizeof range);
        const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
        ULONG format = FormatOfSubtype(range.DataRange.SubFormat);
        ASSERT_LT(format, static_cast<ULONG>(OutputFormatCount));
        ULONG code = row.Fourccs[i];
        if (code == 32 || code == 24) {
            EXPECT_TRUE(IsEqualGUID(range.DataRange.SubFormat, code == 32
                                                                   ? KSDATAFORMAT_SUBTYPE_RGB32
                                                                   : KSDATAFORMAT_SUBTYPE_RGB24));
            EXPECT_EQ(bitmap.biCompression, KS_BI_RGB);
            EXPECT_EQ(bitmap.biBitCount, code);
        } else {
            EXPECT_EQ(range.DataRange.SubFormat.Data1, code);
            EXPECT_EQ(static_cast<ULONG>(bitmap.biCompression), code);
        }
        EXPECT_EQ(bitmap.biWidth, static_cast<LONG>(width));
        EXPECT_EQ(bitmap.biHeight, static_cast<LONG>(height));  // positive: RGB bottom-up
        EXPECT_EQ(bitmap.biSizeImage, OutputFrameBytes(format, width, height));
        EXPECT_EQ(range.DataRange.SampleSize, bitmap.biSizeImage);
        EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cx, static_cast<LONG>(width));
        EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond,
                  static_cast<LONG>(width * height * 30 * bitmap.biBitCount));
        EXPECT_EQ(range.VideoInfoHeader.AvgTimePerFrame, 333333);
    }
}

const OfferCase OfferCases[] = {
    {"FullSensor", 0, 0, 752, 480, 0,
     {32, 24, FourccOf("YUY2"), FourccOf("NV12"), FourccOf("GBRG")}},
    {"OddColumn", 1, 0, 101, 64, 0,
     {32, 24, FourccOf("YUY2"), FourccOf("NV12"), FourccOf("BA81")}},
    {"OddRow", 0, 1, 96, 64, 0, {32, 24, FourccOf("YUY2"), FourccOf("NV12"), FourccOf("RGGB")}},
    {"OddColumnAndRow", 3, 5, 64, 40, 0,
     {32, 24, FourccOf("YUY2"), FourccOf("NV12"), FourccOf("GRBG")}},
    // NV12 needs whole 2 x 2 blocks: an odd height has none for its last row.
    {"OddHeightHasNoNv12", 0, 0, 96, 33, 0, {32, 24, FourccOf("YUY2"), FourccOf("GBRG")}},
    {"SubSampled", 0, 0, 752, 480, 2,
     {32, 24, FourccOf("YUY2"), FourccOf("NV12"), FourccOf("GBRG")}},
};

INSTANTIATE_TEST_SUITE_P(Rows, OfferedRanges, testing::ValuesIn(OfferCases),
                         [](const auto& row) { return std::string(row.param.Name); });

// Intersections with a range of another format than 32-bit RGB: the caller's header must
// describe that format at the offered size; anything else is refused and nothing written.
struct FormatRangeCase {
    const char* Name;
    ULONG Format;
    std::function<void(KS_BITMAPINFOHEADER&)> Change;
    NTSTATUS Expected;
};

void PrintTo(const FormatRangeCase& row, std::ostream* out)
{
    *out << row.Name;
}

class FormatRange : public StreamingTest, public testing::WithParamInterface<FormatRangeCase> {};

TEST_P(FormatRange, IsIntersectedOrRefused)
{
    const FormatRangeCase& row = GetParam();
    KS_DATARANGE_VIDEO range = OfferedRangeOfFormat(row.Format);
    ASSERT_EQ(FormatOfSubtype(range.DataRange.SubFormat), row.Format);
    row.Change(range.VideoInfoHeader.bmiHeader);
    std::vector<std::uint8_t> format;
    EXPECT_EQ(filter_.Intersect(0, &range, sizeof range, format), row.Expected);
    if (row.Expected != STATUS_SUCCESS) {
        EXPECT_TRUE(format.empty());
        return;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER video = AsVideoFormat(format);
    EXPECT_TRUE(IsEqualGUID(video.DataFormat.SubFormat, range.DataRange.SubFormat));
    EXPECT_EQ(video.DataFormat.SampleSize, OutputFrameBytes(row.Format, 752, 480));
    EXPECT_EQ(video.VideoInfoHeader.bmiHeader.biSizeImage, video.DataFormat.SampleSize);
}

const FormatRangeCase FormatRangeCases[] = {
    {"Rgb24", OutputFormatRgb24, [](KS_BITMAPINFOHEADER&) {}, STATUS_SUCCESS},
    {"Yuy2", OutputFormatYuy2, [](KS_BITMAPINFOHEADER&) {}, STATUS_SUCCESS},
    {"Nv12", OutputFormatNv12, [](KS_BITMAPINFOHEADER&) {}, STATUS_SUCCESS},
    {"Bayer8", OutputFormatBayer8, [](KS_BITMAPINFOHEADER&) {}, STATUS_SUCCESS},
    {"Yuy2TopDown", OutputFormatYuy2, [](KS_BITMAPINFOHEADER& h) { h.biHeight = -480; },
     STATUS_SUCCESS},
    {"Rgb24TopDown", OutputFormatRgb24, [](KS_BITMAPINFOHEADER& h) { h.biHeight = -480; },
     STATUS_NO_MATCH},
    {"Yuy2AsRgb", OutputFormatYuy2, [](KS_BITMAPINFOHEADER& h) { h.biCompression = KS_BI_RGB; },
     STATUS_NO_MATCH},
    {"Nv12OfSixteenBits", OutputFormatNv12, [](KS_BITMAPINFOHEADER& h) { h.biBitCount = 16; },
     STATUS_NO_MATCH},
    {"Rgb24OfThirtyTwoBits", OutputFormatRgb24, [](KS_BITMAPINFOHEADER& h) { h.biBitCount = 32; },
     STATUS_NO_MATCH},
    {"Yuy2OddWidth", OutputFormatYuy2, [](KS_BITMAPINFOHEADER& h) { h.biWidth = 751; },
     STATUS_NO_MATCH},
    {"Nv12OddHeight", OutputFormatNv12, [](KS_BITMAPINFOHEADER& h) { h.biHeight = 479; },
     STATUS_NO_MATCH},
    {"Bayer8Wider", OutputFormatBayer8, [](KS_BITMAPINFOHEADER& h) { h.biWidth = 760; },
     STATUS_NO_MATCH},
    {"Nv12HeaderOneByteShort", OutputFormatNv12, [](KS_BITMAPINFOHEADER& h) { h.biSize = 39; },
     STATUS_INVALID_PARAMETER},
};

INSTANTIATE_TEST_SUITE_P(Rows, FormatRange, testing::ValuesIn(FormatRangeCases),
                         [](const auto& row) { return std::string(row.param.Name); });

// Pins created with a format of any offered kind: every field of the bitmap header is checked
// against the offer, and a refused pin leaves nothing behind (no pin counted, no claim).
struct FormatCreationCase {
    const char* Name;
    ULONG Format;
    std::function<void(KS_DATAFORMAT_VIDEOINFOHEADER&)> Change;
    NTSTATUS Expected;
};

void PrintTo(const FormatCreationCase& row, std::ostream* out)
{
    *out << row.Name;
}

class FormatCreation : public StreamingTest,
                       public testing::WithParamInterface<FormatCreationCase> {};

TEST_P(FormatCreation, IsCheckedAgainstTheOffer)
{
    const FormatCreationCase& row = GetParam();
    KS_DATAFORMAT_VIDEOINFOHEADER format = AsVideoFormat(NegotiatedFormat(row.Format));
    row.Change(format);
    ksclient::Pin pin;
    EXPECT_EQ(CreatePin(Bytes(format), pin), row.Expected);
    EXPECT_EQ(InterlockedExchangeAdd(&device_->PinOpen, 0), row.Expected == STATUS_SUCCESS ? 1 : 0);
    EXPECT_EQ(InterlockedExchangeAdd(&device_->StreamClaimed, 0), 0);
}

void SetHeight(KS_DATAFORMAT_VIDEOINFOHEADER& f, LONG height)
{
    f.VideoInfoHeader.bmiHeader.biHeight = height;
}

const FormatCreationCase FormatCreationCases[] = {
    {"Rgb24", OutputFormatRgb24, [](auto&) {}, STATUS_SUCCESS},
    {"Yuy2", OutputFormatYuy2, [](auto&) {}, STATUS_SUCCESS},
    {"Nv12", OutputFormatNv12, [](auto&) {}, STATUS_SUCCESS},
    {"Bayer8", OutputFormatBayer8, [](auto&) {}, STATUS_SUCCESS},
    {"Nv12TopDown", OutputFormatNv12, [](auto& f) { SetHeight(f, -480); }, STATUS_SUCCESS},
    {"Rgb24TopDown", OutputFormatRgb24, [](auto& f) { SetHeight(f, -480); }, STATUS_NO_MATCH},
    // The RGB32 subtype with a 24-bit header used to pass until acquire; now it is no match.
    {"Rgb32OfTwentyFourBits", OutputFormatRgb32,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biBitCount = 24; }, STATUS_NO_MATCH},
    {"Rgb32WithYuy2Compression", OutputFormatRgb32,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biCompression = FourccOf("YUY2"); },
     STATUS_NO_MATCH},
    {"Yuy2WithRgbCompression", OutputFormatYuy2,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biCompression = KS_BI_RGB; }, STATUS_NO_MATCH},
    {"Yuy2OfTwelveBits", OutputFormatYuy2,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biBitCount = 12; }, STATUS_NO_MATCH},
    {"Yuy2Wider", OutputFormatYuy2,
     [](auto& f) {
         f.VideoInfoHeader.bmiHeader.biWidth = 800;
         f.VideoInfoHeader.bmiHeader.biSizeImage = 800 * 480 * 2;
     },
     STATUS_NO_MATCH},
    {"Yuy2ImageOneByteShort", OutputFormatYuy2,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biSizeImage -= 1; }, STATUS_INVALID_PARAMETER},
    {"Nv12ImageOfSixteenBits", OutputFormatNv12,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biSizeImage = 752 * 480 * 2; },
     STATUS_INVALID_PARAMETER},
    {"Rgb24ImageOfFourGigabytes", OutputFormatRgb24,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biSizeImage = 0xFFFFFFFF; },
     STATUS_INVALID_PARAMETER},
    {"Nv12OddHeight", OutputFormatNv12, [](auto& f) { SetHeight(f, 479); }, STATUS_NO_MATCH},
    {"Nv12MostNegativeHeight", OutputFormatNv12, [](auto& f) { SetHeight(f, INT_MIN); },
     STATUS_NO_MATCH},
    // The Bayer order of another window position.
    {"Bayer8OfAnotherOrder", OutputFormatBayer8,
     [](auto& f) {
         f.DataFormat.SubFormat.Data1 = FourccOf("RGGB");
         f.VideoInfoHeader.bmiHeader.biCompression = FourccOf("RGGB");
     },
     STATUS_NO_MATCH},
    {"Bayer8HeaderPastTheFormat", OutputFormatBayer8,
     [](auto& f) { f.VideoInfoHeader.bmiHeader.biSize = 41; }, STATUS_INVALID_PARAMETER},
};

INSTANTIATE_TEST_SUITE_P(Rows, FormatCreation, testing::ValuesIn(FormatCreationCases),
                         [](const auto& row) { return std::string(row.param.Name); });

}  // namespace
}  // namespace cameratest
