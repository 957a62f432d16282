// The colour, plain and white-balance kernels on frames with known answers, for each kernel
// form (portable reference and SSE2) and each Bayer phase.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "imaging_test_support.h"

namespace {

using imaging_test::KernelForm;
using imaging_test::Pixel;
using imaging_test::Processor;
using imaging_test::RawFrame;
using imaging_test::SiteColour;

const LONG IdentityTable[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};

class KernelTest : public testing::TestWithParam<std::tuple<KernelForm, int>> {
protected:
    const ConversionKernels& Kernels() const { return *std::get<0>(GetParam()).Kernels; }
    int Phase() const { return std::get<1>(GetParam()); }

    // Loads the frame and runs the colour kernel of the test's phase.
    void Color(Processor& p, const RawFrame& raw, int phase = -1)
    {
        p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
        p.RunColor(Kernels(), phase < 0 ? Phase() : phase);
    }
    void Plain(Processor& p, const RawFrame& raw)
    {
        p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
        p.RunPlain(Kernels(), Phase());
    }
    void Balance(Processor& p, const RawFrame& raw, LONG gains[3])
    {
        p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
        Kernels().AutoWhiteBalance[Phase()](&p->Frame, &gains[0], &gains[1], &gains[2]);
    }

    // Every pixel of the image equals `expected`, and nothing past it was written.
    static void ExpectEveryPixel(const Processor& p, Pixel expected)
    {
        for (ULONG y = 0; y < p->Height; ++y) {
            for (ULONG x = 0; x < p->Width; ++x) {
                ASSERT_EQ(p.At(x, y), expected) << "at " << x << ", " << y;
            }
        }
        EXPECT_TRUE(p.GuardIntact());
    }
};

std::string KernelTestName(const testing::TestParamInfo<std::tuple<KernelForm, int>>& info)
{
    return std::string(std::get<0>(info.param).Name) + "Phase" +
           std::to_string(std::get<1>(info.param));
}

// --- Colour kernels ---------------------------------------------------------------------------

TEST_P(KernelTest, ColourFlatGreyStaysGrey)
{
    Processor p;
    p->SetColorCorrection(0);
    p.Prepare(20, 9);
    Color(p, RawFrame(20, 9, 100));
    // Width 20: a block of 16 and one of 4 per row; every row follows the previous one.
    ExpectEveryPixel(p, {100, 100, 100, 255});
}

TEST_P(KernelTest, ColourCorrectionOfWhiteClampsAt255)
{
    Processor p;
    p.Prepare(16, 8);
    Color(p, RawFrame(16, 8, 255));
    // The blue column (-6, -20, 91) gives 362 - 103 = 259.
    ExpectEveryPixel(p, {255, 255, 255, 255});
}

TEST_P(KernelTest, ColourRedSitesOnlyGiveRed)
{
    Processor p;
    p->SetColorCorrection(0);
    p.Prepare(24, 10);
    RawFrame raw(24, 10);
    for (ULONG y = 0; y < 10; ++y) {
        for (ULONG x = 0; x < 24; ++x) {
            raw.At(x, y) = SiteColour(Phase(), x, y) == 0 ? 200 : 0;
        }
    }
    Color(p, raw);
    ExpectEveryPixel(p, {0, 0, 200, 255});

    // Read with a phase whose red sites lie elsewhere, the picture is not a red field.
    Color(p, raw, Phase() ^ 2);
    EXPECT_NE(p.At(5, 5), (Pixel{0, 0, 200, 255}));
}

TEST_P(KernelTest, ColourSingleBrightPixelNeverGoesNegative)
{
    Processor p;
    p->SetColorCorrection(0);
    p.Prepare(32, 12);
    RawFrame raw(32, 12);
    // A red site near the middle.
    ULONG x0 = 10, y0 = 6;
    while (SiteColour(Phase(), x0, y0) != 0) {
        ++x0;
        if (x0 == 12) {
            x0 = 10;
            ++y0;
        }
    }
    raw.At(x0, y0) = 255;
    Color(p, raw);
    // Two sites away every filter sees only negative taps of the bright pixel: black, not a
    // wrapped-around bright value.
    for (auto [x, y] : {std::pair{x0 + 2, y0}, {x0 - 2, y0}, {x0, y0 + 2}, {x0, y0 - 2}}) {
        EXPECT_EQ(p.At(x, y), (Pixel{0, 0, 0, 255})) << x << ", " << y;
    }
    // The green neighbour to the right interpolates red from 8 x 255: (2040 + 8) >> 4.
    EXPECT_EQ(p.At(x0 + 1, y0), (Pixel{0, 0, 128, 255}));
    // The bright site itself: green (4 x 255 + 4) >> 3, blue (12 x 255 + 8) >> 4.
    EXPECT_EQ(p.At(x0, y0), (Pixel{191, 128, 255, 255}));
    EXPECT_TRUE(p.GuardIntact());
}

TEST_P(KernelTest, ColourGainsScaleSaturateAndRemove)
{
    Processor p;
    p->SetColorCorrection(0);
    p.Prepare(17, 8);
    RawFrame raw(17, 8, 128);
    p.SetGains(512, 128, 128);  // 128 x 512 / 128 = 512: the product 65536 saturates
    Color(p, raw);
    ExpectEveryPixel(p, {128, 128, 255, 255});
    p.SetGains(64, 128, 128);
    Color(p, raw);
    ExpectEveryPixel(p, {128, 128, 64, 255});
    p.SetGains(0, 128, 128);
    Color(p, raw);
    ExpectEveryPixel(p, {128, 128, 0, 255});
    // Only the low 16 bits count: 65536 + 64 acts as 64.
    p.SetGains(128, 65536 + 64, 128);
    Color(p, raw);
    ExpectEveryPixel(p, {128, 64, 128, 255});
}

TEST_P(KernelTest, ColourCoefficientsAloneDecideTheOutput)
{
    std::mt19937 random(3);
    Processor p;
    p.Prepare(40, 9);
    RawFrame raw(40, 9);
    raw.Randomize(random);
    const LONG zero[16] = {};
    p.SetFixedMatrix(zero);
    Color(p, raw);
    ExpectEveryPixel(p, {0, 0, 0, 255});
    const LONG offsetOnly[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8192, 8192, 8192, 0};
    p.SetFixedMatrix(offsetOnly);
    Color(p, raw);
    ExpectEveryPixel(p, {128, 128, 128, 255});
}

TEST_P(KernelTest, ColourTransformSumsDoNotWrap)
{
    // Coefficients whose sums pass 65535 for bright input: 3 x 255 x 200 = 153000. With
    // 16-bit sums these would wrap to a dark value; exact sums saturate to white.
    Processor p;
    p.Prepare(16, 8);
    const LONG large[16] = {200, 0, 0, 0, 200, 0, 0, 0, 200, 0, 0, 0, 0, 0, 0, 64};
    p.SetFixedMatrix(large);
    Color(p, RawFrame(16, 8, 255));
    ExpectEveryPixel(p, {0, 0, 255, 255});
    // And a large negative sum against a large positive one: 255 x 300 - 255 x 299 - 64.
    const LONG balanced[16] = {300, 0, 0, 0, -299, 0, 0, 0, 0, 0, 0, 0, -64, 0, 0, 64};
    p.SetFixedMatrix(balanced);
    Color(p, RawFrame(16, 8, 255));
    ExpectEveryPixel(p, {0, 0, (76500 >> 6) - ((76245 + 64) >> 6), 255});
}

TEST_P(KernelTest, ColourPhasesReadTheMosaicDifferently)
{
    std::mt19937 random(11);
    Processor p;
    p.Prepare(16, 8);
    RawFrame raw(16, 8);
    raw.Randomize(random);
    Color(p, raw, 0);
    std::vector<UCHAR> phase0 = p.Output();
    Color(p, raw, 2);
    EXPECT_NE(p.Output(), phase0);
}

TEST_P(KernelTest, ColourEmptyFramesWriteNothing)
{
    for (auto [w, h] : {std::pair<ULONG, ULONG>{0, 5}, {16, 0}}) {
        Processor p;
        p.Prepare(w, h);
        p.ClearOutput();
        Color(p, RawFrame(w, h, 77));
        for (UCHAR b : p.Output()) {
            ASSERT_EQ(b, imaging_test::OutputSentinel);
        }
    }
}

// --- Plain kernels ----------------------------------------------------------------------------

TEST_P(KernelTest, PlainUniformFrameGivesItsLuminance)
{
    for (int v : {0, 1, 100, 128, 254, 255}) {
        Processor p;
        p.Prepare(16, 8);
        Plain(p, RawFrame(16, 8, static_cast<UCHAR>(v)));
        UCHAR y = static_cast<UCHAR>((v * 77 >> 8) + (v * 150 >> 8) + (v * 29 >> 8));
        ExpectEveryPixel(p, {y, y, y, 255});
    }
    Processor white;
    white.Prepare(8, 8);
    Plain(white, RawFrame(8, 8, 255));
    EXPECT_EQ(white.At(0, 0), (Pixel{253, 253, 253, 255}));
}

TEST_P(KernelTest, PlainGainsActBeforeTheLuminance)
{
    Processor p;
    p.Prepare(16, 8);
    p.SetGains(256, 256, 256);  // 200 becomes 400, limited to 255
    Plain(p, RawFrame(16, 8, 200));
    ExpectEveryPixel(p, {253, 253, 253, 255});

    p.SetGains(0, 128, 128);  // no red contribution: 58 + 11
    Plain(p, RawFrame(16, 8, 100));
    ExpectEveryPixel(p, {69, 69, 69, 255});

    p.SetGains(512, 128, 128);  // red 255, green and blue 64: 76 + 37 + 7
    Plain(p, RawFrame(16, 8, 64));
    ExpectEveryPixel(p, {120, 120, 120, 255});
}

TEST_P(KernelTest, PlainRowsOfWidth94FollowEachOther)
{
    Processor p;
    p.Prepare(94, 11);
    Plain(p, RawFrame(94, 11, 100));
    ExpectEveryPixel(p, {99, 99, 99, 255});  // 30 + 58 + 11
}

TEST_P(KernelTest, PlainEmptyFramesWriteNothing)
{
    for (auto [w, h] : {std::pair<ULONG, ULONG>{0, 8}, {94, 0}}) {
        Processor p;
        p.Prepare(w, h);
        p.ClearOutput();
        Plain(p, RawFrame(w, h, 90));
        for (UCHAR b : p.Output()) {
            ASSERT_EQ(b, imaging_test::OutputSentinel);
        }
    }
}

// --- White balance ----------------------------------------------------------------------------

TEST_P(KernelTest, BalanceOfUniformFrameIsUnity)
{
    for (int v : {1, 37, 255}) {
        Processor p;
        p.Prepare(32, 8);
        LONG gains[3] = {0, 0, 0};
        Balance(p, RawFrame(32, 8, static_cast<UCHAR>(v)), gains);
        EXPECT_EQ(gains[0], 128) << v;
        EXPECT_EQ(gains[1], 128) << v;
        EXPECT_EQ(gains[2], 128) << v;
    }
}

TEST_P(KernelTest, BalanceOfBlackFrameIsZeroForRedAndBlue)
{
    Processor p;
    p.Prepare(20, 9);
    LONG gains[3] = {5, 5, 5};
    Balance(p, RawFrame(20, 9, 0), gains);
    EXPECT_EQ(gains[0], 0);
    EXPECT_EQ(gains[1], 128);
    EXPECT_EQ(gains[2], 0);
}

TEST_P(KernelTest, BalanceCountsOnlyPixelsInsideTheWidth)
{
    // A uniform image whose slack bytes hold junk. Widths that are not a multiple of 16 make
    // the last block reach past the image; none of that may enter the sums.
    for (ULONG width : {376u, 94u, 9u, 752u}) {
        Processor p;
        p.Prepare(width, 8);
        std::mt19937 random(width);
        for (ULONG i = 0; i < p->WorkSize; ++i) {
            p->WorkBuffer[i] = static_cast<UCHAR>(random() | 0x80);
        }
        LONG gains[3] = {0, 0, 0};
        Balance(p, RawFrame(width, 8, 10), gains);
        EXPECT_EQ(gains[0], 128) << width;
        EXPECT_EQ(gains[1], 128) << width;
        EXPECT_EQ(gains[2], 128) << width;
    }
}

TEST_P(KernelTest, BalanceWithoutFloatingPointLeavesTheGains)
{
    Processor p;
    p.Prepare(16, 8);
    LONG gains[3] = {11, 22, 33};
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);  // the save is refused above DISPATCH_LEVEL
    Balance(p, RawFrame(16, 8, 0), gains);
    KeLowerIrql(old);
    EXPECT_EQ(gains[0], 11);
    EXPECT_EQ(gains[1], 22);
    EXPECT_EQ(gains[2], 33);
}

INSTANTIATE_TEST_SUITE_P(Forms, KernelTest,
                         testing::Combine(testing::ValuesIn(imaging_test::KernelForms()),
                                          testing::Values(0, 1, 2, 3)),
                         KernelTestName);

// --- Gain formula -----------------------------------------------------------------------------

TEST(WhiteBalanceGains, GreyWorldRatios)
{
    LONG r = 0, g = 0, b = 0;
    ComputeWhiteBalanceGains(1000000, 2000000, 4000000, &r, &g, &b);
    EXPECT_EQ(r, 256);
    EXPECT_EQ(g, 128);
    EXPECT_EQ(b, 64);
}

TEST(WhiteBalanceGains, ZeroSumsGiveZeroWithoutUndefinedConversions)
{
    LONG r = -1, g = -1, b = -1;
    ComputeWhiteBalanceGains(0, 500, 700, &r, &g, &b);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(g, 128);
    EXPECT_EQ(b, 91);  // 128 x 500 / 700 = 91.4
    ComputeWhiteBalanceGains(300, 0, 700, &r, &g, &b);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(b, 0);
    ComputeWhiteBalanceGains(300, 600, 0, &r, &g, &b);
    EXPECT_EQ(r, 256);
    EXPECT_EQ(b, 0);
    ComputeWhiteBalanceGains(0, 0, 0, &r, &g, &b);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(g, 128);
    EXPECT_EQ(b, 0);
}

TEST(WhiteBalanceGains, HugeRatiosKeepTheLow32Bits)
{
    LONG r = 0, g = 0, b = 0;
    // 128 x 4e9 / 3 = 170666666666.67, truncated, low 32 bits as a signed value.
    ComputeWhiteBalanceGains(3, 4000000000u, 5, &r, &g, &b);
    EXPECT_EQ(r, -1132025174);
    EXPECT_EQ(b, -679215104);  // 128 x 4e9 / 5 = 102400000000 = 23 x 2^32 + 3615752192
}

// --- Output formats ---------------------------------------------------------------------------

// A kernel form with its output format kernels.
struct FormatForm {
    const char* Name;
    const ConversionKernels* Kernels;
    const FormatKernels* Formats;
};

std::vector<FormatForm> FormatForms()
{
    std::vector<FormatForm> forms = {{"Portable", &PortableKernelTable, &PortableFormatKernels}};
#ifdef IMAGING_HAVE_SSE2
    forms.push_back({"Sse2", &Sse2KernelTable, &Sse2FormatKernels});
#endif
    return forms;
}

void PrintTo(const FormatForm& form, std::ostream* out)
{
    *out << form.Name;
}

// One format: the sizes it is checked at, and the sizes it must refuse.
struct FormatRow {
    const char* Name;
    ULONG Format;
    std::vector<std::pair<ULONG, ULONG>> Sizes;
    std::vector<std::pair<ULONG, ULONG>> RefusedSizes;
};

void PrintTo(const FormatRow& row, std::ostream* out)
{
    *out << row.Name;
}

const FormatRow FormatRows[] = {
    {"Rgb24", OutputFormatRgb24, {{17, 9}, {38, 12}, {20, 8}, {1, 8}, {752, 3}}, {}},
    {"Yuy2", OutputFormatYuy2, {{38, 12}, {20, 9}, {2, 8}, {752, 3}}, {{17, 8}, {1, 9}}},
    {"Nv12", OutputFormatNv12, {{38, 12}, {20, 8}, {2, 2}, {752, 4}}, {{17, 8}, {20, 9}, {21, 9}}},
    {"Bayer8", OutputFormatBayer8, {{17, 9}, {38, 12}, {5, 8}}, {}},
};

// BT.601 limited range as the formulas read: the fixed-point weights with the floor of the
// rounded sum, and the textbook real-valued weights, which the fixed-point result must stay
// within 1 of.
int FixedY(int r, int g, int b)
{
    return 16 + static_cast<int>(std::floor((66.0 * r + 129.0 * g + 25.0 * b + 128.0) / 256.0));
}
int FixedCb(int r, int g, int b)
{
    return 128 + static_cast<int>(std::floor((-38.0 * r - 74.0 * g + 112.0 * b + 128.0) / 256.0));
}
int FixedCr(int r, int g, int b)
{
    return 128 + static_cast<int>(std::floor((112.0 * r - 94.0 * g - 18.0 * b + 128.0) / 256.0));
}
void ExpectLumaNearBt601(int y, double r, double g, double b)
{
    EXPECT_LE(std::fabs(y - (16 + 219 * (0.299 * r + 0.587 * g + 0.114 * b) / 255)), 1.0);
}
void ExpectChromaNearBt601(int cb, int cr, double r, double g, double b)
{
    EXPECT_LE(std::fabs(cb - (128 + 224 * (-0.168736 * r - 0.331264 * g + 0.5 * b) / 255)), 1.0);
    EXPECT_LE(std::fabs(cr - (128 + 224 * (0.5 * r - 0.418688 * g - 0.081312 * b) / 255)), 1.0);
}

// The frame a format should hold, built pixel by pixel from the 32-bit output and the raw frame.
std::vector<UCHAR> ExpectedFrame(ULONG format, const Processor& rgb32, RawFrame& raw)
{
    const ULONG w = rgb32->Width;
    const ULONG h = rgb32->Height;
    std::vector<UCHAR> out;
    auto pixel = [&rgb32](ULONG x, ULONG y) { return rgb32.At(x, y); };
    if (format == OutputFormatRgb24) {
        ULONG row = (w * 3 + 3) / 4 * 4;
        out.assign(static_cast<size_t>(row) * h, 0);
        for (ULONG y = 0; y < h; ++y) {
            for (ULONG x = 0; x < w; ++x) {
                Pixel p = pixel(x, y);
                UCHAR* o = &out[static_cast<size_t>(h - 1 - y) * row + x * 3];
                o[0] = p.Blue;
                o[1] = p.Green;
                o[2] = p.Red;
            }
        }
    } else if (format == OutputFormatYuy2) {
        for (ULONG y = 0; y < h; ++y) {
            for (ULONG x = 0; x < w; x += 2) {
                Pixel a = pixel(x, y), b = pixel(x + 1, y);
                int r = (a.Red + b.Red + 1) / 2, g = (a.Green + b.Green + 1) / 2,
                    bl = (a.Blue + b.Blue + 1) / 2;
                int y0 = FixedY(a.Red, a.Green, a.Blue), y1 = FixedY(b.Red, b.Green, b.Blue);
                ExpectLumaNearBt601(y0, a.Red, a.Green, a.Blue);
                ExpectChromaNearBt601(FixedCb(r, g, bl), FixedCr(r, g, bl), r, g, bl);
                out.insert(out.end(), {UCHAR(y0), UCHAR(FixedCb(r, g, bl)), UCHAR(y1),
                                       UCHAR(FixedCr(r, g, bl))});
            }
        }
    } else if (format == OutputFormatNv12) {
        for (ULONG y = 0; y < h; ++y) {
            for (ULONG x = 0; x < w; ++x) {
                Pixel p = pixel(x, y);
                ExpectLumaNearBt601(FixedY(p.Red, p.Green, p.Blue), p.Red, p.Green, p.Blue);
                out.push_back(UCHAR(FixedY(p.Red, p.Green, p.Blue)));
            }
        }
        for (ULONG y = 0; y < h; y += 2) {
            for (ULONG x = 0; x < w; x += 2) {
                Pixel a = pixel(x, y), b = pixel(x + 1, y), c = pixel(x, y + 1),
                      d = pixel(x + 1, y + 1);
                int r = (a.Red + b.Red + c.Red + d.Red + 2) / 4;
                int g = (a.Green + b.Green + c.Green + d.Green + 2) / 4;
                int bl = (a.Blue + b.Blue + c.Blue + d.Blue + 2) / 4;
                ExpectChromaNearBt601(FixedCb(r, g, bl), FixedCr(r, g, bl), r, g, bl);
                out.push_back(UCHAR(FixedCb(r, g, bl)));
                out.push_back(UCHAR(FixedCr(r, g, bl)));
            }
        }
    } else {
        for (ULONG y = 0; y < h; ++y) {
            for (ULONG x = 0; x < w; ++x) {
                out.push_back(raw.At(x, y));
            }
        }
    }
    return out;
}

class FormatTest : public testing::TestWithParam<std::tuple<FormatForm, FormatRow>> {
protected:
    const FormatForm& Form() const { return std::get<0>(GetParam()); }
    const FormatRow& Row() const { return std::get<1>(GetParam()); }
};

std::string FormatTestName(const testing::TestParamInfo<std::tuple<FormatForm, FormatRow>>& info)
{
    return std::string(std::get<0>(info.param).Name) + std::get<1>(info.param).Name;
}

TEST_P(FormatTest, MadeFromTheRgb32PixelsOfEveryPhase)
{
    std::mt19937 random(99);
    for (auto [width, height] : Row().Sizes) {
        Processor p;
        p.Prepare(width, height);
        RawFrame raw(width, height);
        raw.Randomize(random);
        p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
        p->SetSaturation(14);
        p.SetGains(150, 128, 170);
        for (int phase = 0; phase < 4; ++phase) {
            for (bool color : {true, false}) {
                SCOPED_TRACE(testing::Message() << width << " x " << height << " phase " << phase
                                                << (color ? " colour" : " plain"));
                p.ClearOutput();
                if (color) {
                    p.RunColor(*Form().Kernels, phase);
                } else {
                    p.RunPlain(*Form().Kernels, phase);
                }
                std::vector<UCHAR> expected = ExpectedFrame(Row().Format, p, raw);
                ASSERT_EQ(expected.size(), OutputFrameBytes(Row().Format, width, height));
                p.ClearOutput();
                ASSERT_TRUE(p.RunFormat(*Form().Formats, Row().Format, phase, color));
                std::vector<UCHAR> actual(p.Output().begin(), p.Output().begin() + expected.size());
                ASSERT_EQ(actual, expected);
                EXPECT_TRUE(p.UntouchedFrom(expected.size()));
            }
        }
    }
}

TEST_P(FormatTest, SizesWithoutWholeChromaBlocksAreRefusedUntouched)
{
    for (auto [width, height] : Row().RefusedSizes) {
        Processor p;
        p.Prepare(width, height);
        p->LoadRawFrame(RawFrame(width, height, 90).Data(), 0, width);
        EXPECT_EQ(OutputFrameBytes(Row().Format, width, height), 0u) << width << " x " << height;
        for (int phase = 0; phase < 4; ++phase) {
            EXPECT_FALSE(p.RunFormat(*Form().Formats, Row().Format, phase, true));
            EXPECT_TRUE(p.UntouchedFrom(0)) << width << " x " << height;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatTest,
                         testing::Combine(testing::ValuesIn(FormatForms()),
                                          testing::ValuesIn(FormatRows)),
                         FormatTestName);

TEST(OutputFormatSizes, LayoutsOfTheFullFrame)
{
    EXPECT_EQ(OutputFrameBytes(OutputFormatRgb32, 752, 480), 752u * 480 * 4);
    EXPECT_EQ(OutputFrameBytes(OutputFormatRgb24, 752, 480), 752u * 480 * 3);
    EXPECT_EQ(OutputRowBytes(OutputFormatRgb24, 375), 1128u);  // 1125 padded to 4 bytes
    EXPECT_EQ(OutputFrameBytes(OutputFormatYuy2, 752, 480), 752u * 480 * 2);
    EXPECT_EQ(OutputFrameBytes(OutputFormatNv12, 752, 480), 752u * 480 * 3 / 2);
    EXPECT_EQ(OutputFrameBytes(OutputFormatBayer8, 752, 480), 752u * 480);
    EXPECT_EQ(OutputFrameBytes(OutputFormatCount, 752, 480), 0u);
    EXPECT_EQ(OutputFrameBytes(OutputFormatRgb32, 0x40000000u, 2), 0u);  // past 32 bits
}

}  // namespace
