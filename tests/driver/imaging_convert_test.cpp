// Geometry and working buffer, the raw frame load with its reflected border, and Convert's
// dispatch: skipped frames, phases, white balance, colour and plain paths.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <ntoskrnl/host/extended_state.h>
#include <ntoskrnl/host/verifier.h>

#include "imaging/processor_isa.h"
#include "imaging_test_support.h"

#include <algorithm>

namespace {

using imaging_test::Pixel;
using imaging_test::Processor;
using imaging_test::RawFrame;

// Byte `column` of buffer row `row` of the working buffer.
UCHAR WorkByte(const Processor& p, ULONG row, ULONG column)
{
    return p->WorkBuffer[static_cast<size_t>(row) * p->WorkStride + column];
}

// --- Geometry ---------------------------------------------------------------------------------

TEST(Geometry, StrideAndSizeFollowTheFrame)
{
    Processor p;
    p->SetGeometry(752, 480);
    EXPECT_EQ(p->WorkStride, 779);
    EXPECT_EQ(p->WorkSize, 779u * 484);
    EXPECT_EQ(p->WorkSize, 377036u);
    p->SetGeometry(20, 7);
    EXPECT_EQ(p->WorkStride, 43);
    EXPECT_EQ(p->WorkSize, 516u);
    p->SetGeometry(0, 0);
    EXPECT_EQ(p->WorkStride, 27);
    EXPECT_EQ(p->WorkSize, 108u);
}

TEST(Geometry, WorkBufferIsKeptWhileTheSizeStaysAndTaggedForFrames)
{
    Processor p;
    p->SetGeometry(188, 120);
    p->PrepareWorkBuffer();
    UCHAR* first = p->WorkBuffer;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(p->WorkCapacity, p->WorkSize);
    EXPECT_EQ(p->Frame.Pixels, first + 2 * p->WorkStride + 5);
    EXPECT_EQ(p->Frame.Stride, p->WorkStride);
    EXPECT_EQ(p->Frame.Width, 188u);
    EXPECT_EQ(p->Frame.Height, 120u);

    bool found = false;
    for (const vf::PoolBlock& block : vf::OutstandingBlocks()) {
        if (block.address == first) {
            found = true;
            EXPECT_EQ(block.tag, FrameBufferPoolTag);
            EXPECT_EQ(block.size, p->WorkSize);
        }
    }
    EXPECT_TRUE(found);

    // A new stream with the same geometry keeps the buffer; a different one replaces it.
    p->SetGeometry(188, 120);
    p->PrepareWorkBuffer();
    EXPECT_EQ(p->WorkBuffer, first);
    p->SetGeometry(189, 120);  // same stride (rounded to 16), same size
    p->PrepareWorkBuffer();
    EXPECT_EQ(p->WorkBuffer, first);
    EXPECT_EQ(p->Frame.Width, 189u);
    p->SetGeometry(376, 240);
    p->PrepareWorkBuffer();
    EXPECT_EQ(p->WorkCapacity, 395u * 244);  // 368 + 27 bytes per row
    EXPECT_EQ(p->Frame.Pixels, p->WorkBuffer + 2 * 395 + 5);
}

// Heights 479 and 480 share a working-buffer size, not a kept-frame size: the kept frame that
// white balance fills must follow the new height, and the frame must come out as a fresh
// processor makes it.
TEST(Geometry, KeptFrameFollowsTheHeightWhenTheWorkingBufferKeepsItsSize)
{
    std::mt19937 random(12);
    RawFrame raw(752, 480);
    raw.Randomize(random);
    Processor reused;
    reused.Prepare(752, 479);
    reused->SetWhiteBalance(1);
    UCHAR* workBuffer = reused->WorkBuffer;
    reused.Prepare(752, 480);
    EXPECT_EQ(reused->WorkBuffer, workBuffer);
    ASSERT_NE(reused->Frame.Kept, nullptr);
    EXPECT_GE(reused->KeptCapacity, reused->Frame.KeptStride * 480);
    reused.Convert(raw);

    Processor fresh;
    fresh.Prepare(752, 480);
    fresh->SetWhiteBalance(1);
    fresh.Convert(raw);
    EXPECT_EQ(reused.Output(), fresh.Output());
}

TEST(Geometry, FailedAllocationSkipsFramesUntilARetrySucceeds)
{
    Processor p;
    vf::FailAllocationsWithTag(FrameBufferPoolTag);
    p.Prepare(16, 8);
    vf::ClearFaultInjection();
    EXPECT_EQ(p->WorkBuffer, nullptr);
    EXPECT_EQ(p->Frame.Pixels, nullptr);
    p.Convert(RawFrame(16, 8, 100));
    for (UCHAR b : p.Output()) {
        ASSERT_EQ(b, imaging_test::OutputSentinel);
    }
    // The next stream start with the same geometry tries again.
    p->PrepareWorkBuffer();
    ASSERT_NE(p->WorkBuffer, nullptr);
    p.Convert(RawFrame(16, 8, 100));
    EXPECT_EQ(p.At(3, 3).Alpha, 255);
}

TEST(Geometry, ProcessorAllocationFailureGivesNull)
{
    vf::FailAllocationsWithTag(ImageProcessorPoolTag);
    EXPECT_EQ(ImageProcessor::Create(), nullptr);
}

// --- LoadRawFrame -----------------------------------------------------------------------------

RawFrame Numbered(ULONG width, ULONG height, ULONG pitch = 0)
{
    RawFrame raw(width, height, 0xCC, pitch);
    for (ULONG y = 0; y < height; ++y) {
        for (ULONG x = 0; x < width; ++x) {
            raw.At(x, y) = static_cast<UCHAR>(y * 16 + x);
        }
    }
    return raw;
}

TEST(LoadRawFrame, EightByEightGetsAReflectedBorder)
{
    Processor p;
    p.Prepare(8, 8);
    RawFrame raw = Numbered(8, 8);
    p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
    auto image = [&p](LONG y, LONG x) { return p->Frame.Pixels[y * p->WorkStride + x]; };
    for (LONG y = 0; y < 8; ++y) {
        for (LONG x = 0; x < 8; ++x) {
            ASSERT_EQ(image(y, x), raw.At(x, y));
        }
    }
    for (LONG x = 0; x < 8; ++x) {
        EXPECT_EQ(WorkByte(p, 0, 5 + x), raw.At(x, 2));  // buffer row 0 = image row 2
        EXPECT_EQ(WorkByte(p, 1, 5 + x), raw.At(x, 1));  // buffer row 1 = image row 1
        EXPECT_EQ(image(8, x), raw.At(x, 6));
        EXPECT_EQ(image(9, x), raw.At(x, 5));
    }
    for (ULONG row = 0; row < 12; ++row) {
        EXPECT_EQ(WorkByte(p, row, 4), WorkByte(p, row, 6)) << row;
        EXPECT_EQ(WorkByte(p, row, 3), WorkByte(p, row, 7)) << row;
        EXPECT_EQ(WorkByte(p, row, 13), WorkByte(p, row, 11)) << row;
        EXPECT_EQ(WorkByte(p, row, 14), WorkByte(p, row, 10)) << row;
    }
    // Corners come from the border rows: image (-2, -2) is image (2, 2).
    EXPECT_EQ(image(-2, -2), raw.At(2, 2));
    EXPECT_EQ(image(9, 9), raw.At(5, 5));
}

TEST(LoadRawFrame, NarrowFrameIsCopiedWithoutBorder)
{
    Processor p;
    p.Prepare(7, 9);
    std::memset(p->WorkBuffer, 0xEE, p->WorkSize);
    RawFrame raw = Numbered(7, 9);
    p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
    for (ULONG row = 0; row < p->WorkSize / p->WorkStride; ++row) {
        for (ULONG column = 0; column < static_cast<ULONG>(p->WorkStride); ++column) {
            bool image = row >= 2 && row < 11 && column >= 5 && column < 12;
            UCHAR expected = image ? raw.At(column - 5, row - 2) : 0xEE;
            ASSERT_EQ(WorkByte(p, row, column), expected) << row << ", " << column;
        }
    }
}

TEST(LoadRawFrame, RawPitchAndOffsetSelectTheImage)
{
    Processor p;
    p.Prepare(10, 8);
    // 10 image bytes per 16-byte line after a 32-byte header; the line ends hold 0xCC.
    RawFrame lines = Numbered(10, 8, 16);
    std::vector<UCHAR> raw(32 + lines.Bytes.size(), 0xCC);
    std::copy(lines.Bytes.begin(), lines.Bytes.end(), raw.begin() + 32);
    p->LoadRawFrame(raw.data(), 32, 16);
    for (LONG y = -2; y < 10; ++y) {
        for (LONG x = -2; x < 12; ++x) {
            UCHAR b = p->Frame.Pixels[y * p->WorkStride + x];
            ASSERT_NE(b, 0xCC) << y << ", " << x;
            LONG sy = y < 0 ? -y : (y > 7 ? 14 - y : y);
            LONG sx = x < 0 ? -x : (x > 9 ? 18 - x : x);
            ASSERT_EQ(b, lines.At(sx, sy)) << y << ", " << x;
        }
    }
}

// --- Convert ----------------------------------------------------------------------------------

TEST(Convert, SkipsFramesWithoutOutputOrRaw)
{
    Processor p;
    p.Prepare(16, 8);
    p->SetWhiteBalance(1);
    RawFrame raw(16, 8, 0);
    p->Convert(nullptr, 0, 16);
    p->OutputBuffer = nullptr;
    p.Convert(raw);
    for (UCHAR b : p.Output()) {
        ASSERT_EQ(b, imaging_test::OutputSentinel);
    }
    EXPECT_EQ(p->GetRedGain(), 128);  // white balance did not run
}

// Convert writes the connected format once, at the delivered width, into a buffer that must
// hold it: a buffer whose size is unknown or too small gets nothing for a format other than
// 32-bit RGB.
struct FormatConvertCase {
    const char* Name;
    ULONG Format;
    LONG BytesDelta;   // added to the format's image size for OutputBytes
    bool SizeUnknown;  // OutputBytes 0
    bool Converted;
};

void PrintTo(const FormatConvertCase& row, std::ostream* out)
{
    *out << row.Name;
}

class ConvertFormat : public testing::TestWithParam<FormatConvertCase> {};

TEST_P(ConvertFormat, WritesTheFormatAtTheDeliveredWidthOrNothing)
{
    const FormatConvertCase& row = GetParam();
    constexpr ULONG kWidth = 101, kDelivered = 96, kHeight = 34;
    std::mt19937 random(7);
    RawFrame raw(kWidth, kHeight);
    raw.Randomize(random);
    Processor live;
    live.Prepare(kWidth, kHeight);
    live->SetOutputWidth(kDelivered);
    live->SetOutputFormat(static_cast<LONG>(row.Format));
    live->SetBayerPhase(1);
    const ULONG bytes = live->OutputImageBytes(static_cast<LONG>(row.Format));
    ASSERT_EQ(bytes, OutputFrameBytes(row.Format, row.Format == OutputFormatRgb32 ? kWidth : kDelivered,
                                      kHeight));
    live->OutputBytes = row.SizeUnknown ? 0 : static_cast<ULONG>(static_cast<LONG>(bytes) + row.BytesDelta);
    EXPECT_EQ(live->Convert(raw.Data(), 0, raw.Pitch), row.Converted ? TRUE : FALSE);
    if (!row.Converted) {
        EXPECT_TRUE(live.UntouchedFrom(0));
        return;
    }
    EXPECT_TRUE(live.UntouchedFrom(bytes));
    Processor reference;
    reference.Prepare(kWidth, kHeight);
    reference->LoadRawFrame(raw.Data(), 0, raw.Pitch);
    if (row.Format != OutputFormatRgb32) {
        reference->Frame.Width = kDelivered;
    }
    ASSERT_TRUE(reference.RunFormat(PortableFormatKernels, row.Format, 1, true));
    EXPECT_TRUE(std::equal(live.Output().begin(), live.Output().begin() + bytes,
                           reference.Output().begin()));
}

const FormatConvertCase FormatConvertCases[] = {
    {"Rgb32", OutputFormatRgb32, 0, false, true},
    {"Rgb32OfUnknownSize", OutputFormatRgb32, 0, true, true},
    {"Rgb24", OutputFormatRgb24, 0, false, true},
    {"Yuy2", OutputFormatYuy2, 0, false, true},
    {"Nv12", OutputFormatNv12, 0, false, true},
    {"Bayer8", OutputFormatBayer8, 0, false, true},
    {"Nv12OneByteShort", OutputFormatNv12, -1, false, false},
    {"Rgb32OneByteShort", OutputFormatRgb32, -1, false, false},
    {"Yuy2OfUnknownSize", OutputFormatYuy2, 0, true, false},
};

INSTANTIATE_TEST_SUITE_P(Rows, ConvertFormat, testing::ValuesIn(FormatConvertCases),
                         [](const auto& row) { return std::string(row.param.Name); });

TEST(Convert, SkipsTheFrameWhenTheVectorStateCannotBeSaved)
{
    Processor p;
    p.Prepare(16, 8);
    p->SetWhiteBalance(1);
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    p.Convert(RawFrame(16, 8, 0));
    KeLowerIrql(old);
    for (UCHAR b : p.Output()) {
        ASSERT_EQ(b, imaging_test::OutputSentinel);
    }
    EXPECT_EQ(p->GetRedGain(), 128);
    EXPECT_EQ(p->GetBlueGain(), 128);
}

// Convert chooses its kernels from the processor's set and what each frame's save grants: every
// limit and every system (AVX-512 or all AVX state disabled, a system without the extended-state
// routines, a failing extended save) gives the portable reference's frame and gains, with and
// without white balance, and the verifier sees no vector code outside a save that covers it.
struct ConvertSystemRow {
    const char* Name;
    ImagingIsa Limit;
    ULONG64 DisabledFeatures;
    bool OlderSystem;
    ULONG FailedSaves;
};

void PrintTo(const ConvertSystemRow& row, std::ostream* out)
{
    *out << row.Name;
}

class ConvertOnEverySystem : public testing::TestWithParam<ConvertSystemRow> {
protected:
    void TearDown() override { LimitImagingIsa(ImagingIsaCount); }
};

TEST_P(ConvertOnEverySystem, GivesTheReferenceFrame)
{
    const ConvertSystemRow& row = GetParam();
    ke::DisableExtendedFeatures(row.DisabledFeatures);
    ke::SetSystemWithoutExtendedState(row.OlderSystem);
    LimitImagingIsa(row.Limit);
    std::mt19937 random(31);
    const ULONG width = 200;
    const ULONG height = 14;
    RawFrame raw(width, height);
    raw.Randomize(random);
    for (LONG balance : {0, 1}) {
        for (LONG color : {1, 0}) {
            SCOPED_TRACE(testing::Message() << "white balance " << balance << " colour " << color);
            Processor p;
            p.Prepare(width, height);
            EXPECT_LE(p->Isa, row.Limit);
            p->SetBayerPhase(1);
            p->SetWhiteBalance(balance);
            p->SetColorEnable(color);
            p->SetSaturation(15);
            ke::FailExtendedStateSaves(row.FailedSaves);
            p.Convert(raw);
            ke::FailExtendedStateSaves(0);
            EXPECT_EQ(ke::OutstandingExtendedSaves(), 0u);

            Processor reference;
            reference.Prepare(width, height);
            reference->SetSaturation(15);
            reference->LoadRawFrame(raw.Data(), 0, raw.Pitch);
            reference.RunColor(PortableKernelTable, 1);  // the frame snapshot
            reference.ClearOutput();
            FrameDescriptor frame = reference->Frame;
            LONG gains[3] = {128, 128, 128};
            if (balance != 0) {
                PortableKernelTable.BalancedConversion[1](reference.get(), &frame, color != 0,
                                                          &gains[0], &gains[1], &gains[2]);
            } else if (color != 0) {
                PortableKernelTable.ColorKernel[1](reference.get(), &frame);
            } else {
                PortableKernelTable.PlainKernel[1](&frame);
            }
            EXPECT_EQ(p.Output(), reference.Output());
            EXPECT_EQ(p->GetRedGain(), gains[0]);
            EXPECT_EQ(p->GetBlueGain(), gains[2]);
        }
    }
}

const ConvertSystemRow ConvertSystemRows[] = {
    {"Sse2", ImagingIsaSse2, 0, false, 0},
    {"Avx2", ImagingIsaAvx2, 0, false, 0},
    {"Widest", ImagingIsaCount, 0, false, 0},
    {"Avx512Disabled", ImagingIsaCount, XSTATE_MASK_AVX512, false, 0},
    {"AvxDisabled", ImagingIsaCount, XSTATE_MASK_AVX | XSTATE_MASK_AVX512, false, 0},
    {"OlderSystem", ImagingIsaCount, 0, true, 0},
    {"ExtendedSaveFails", ImagingIsaCount, 0, false, 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, ConvertOnEverySystem, testing::ValuesIn(ConvertSystemRows),
                         [](const testing::TestParamInfo<ConvertSystemRow>& row) {
                             return std::string(row.param.Name);
                         });

TEST(Convert, PhasesAboveTwoUseThePhaseThreeKernels)
{
    std::mt19937 random(5);
    RawFrame raw(32, 10);
    raw.Randomize(random);
    std::vector<std::vector<UCHAR>> outputs;
    for (LONG phase : {0, 1, 2, 3, 5, -1}) {
        Processor p;
        p.Prepare(32, 10);
        p->SetBayerPhase(phase);
        p.Convert(raw);
        outputs.push_back(p.Output());
    }
    EXPECT_EQ(outputs[4], outputs[3]);
    EXPECT_EQ(outputs[5], outputs[3]);  // negative values are outside 0..2 too
    for (int phase = 0; phase < 3; ++phase) {
        EXPECT_NE(outputs[phase], outputs[3]) << phase;
    }
}

TEST(Convert, WhiteBalanceGainsApplyToTheSameFrameAndBecomeTheSettings)
{
    std::mt19937 random(9);
    RawFrame raw(48, 12);
    for (ULONG y = 0; y < 12; ++y) {
        for (ULONG x = 0; x < 48; ++x) {
            // A warm cast: red sites bright, blue sites dark.
            int colour = imaging_test::SiteColour(2, x, y);
            raw.At(x, y) = static_cast<UCHAR>((colour == 0 ? 180 : colour == 1 ? 120 : 60) +
                                              random() % 8);
        }
    }
    Processor automatic;
    automatic.Prepare(48, 12);
    automatic->SetBayerPhase(2);
    automatic->SetWhiteBalance(1);
    automatic.Convert(raw);
    LONG red = automatic->GetRedGain();
    LONG green = automatic->GetGreenGain();
    LONG blue = automatic->GetBlueGain();
    EXPECT_EQ(green, 128);
    EXPECT_LT(red, 128);
    EXPECT_GT(blue, 128);

    // The same gains set by hand give the same picture.
    Processor manual;
    manual.Prepare(48, 12);
    manual->SetBayerPhase(2);
    manual.SetGains(red, green, blue);
    manual.Convert(raw);
    EXPECT_EQ(manual.Output(), automatic.Output());
    EXPECT_EQ(manual->GetRedGain(), red);  // without white balance the gains stay as set
}

TEST(Convert, ColourDisabledGivesGrey)
{
    Processor p;
    p.Prepare(16, 8);
    p->SetColorEnable(0);
    p.Convert(RawFrame(16, 8, 255));
    EXPECT_EQ(p.At(4, 4), (Pixel{253, 253, 253, 255}));
    p->SetColorEnable(1);
    p.Convert(RawFrame(16, 8, 255));
    EXPECT_EQ(p.At(4, 4), (Pixel{255, 255, 255, 255}));
}

TEST(Convert, ExtremeContrastAndSaturationKeepBrightPixelsBright)
{
    // Contrast 20 with Saturation 20 and colour correction: the transform's positive sums for a
    // bright pixel pass 65535. Grey stays grey through every matrix, and 255 becomes
    // 2 x 255 - 128 = 382, limited to 255; 16-bit sums would wrap to a dark value instead.
    Processor p;
    p.Prepare(32, 8);
    p->SetContrast(20);
    p->SetSaturation(20);
    LONG positive = 0;
    for (int i = 0; i < 3; ++i) {
        positive += p->FixedMatrix[i * 4] > 0 ? p->FixedMatrix[i * 4] * 255 : 0;
    }
    ASSERT_GT(positive, 65535);
    p.Convert(RawFrame(32, 8, 255));
    for (ULONG x = 0; x < 32; ++x) {
        ASSERT_EQ(p.At(x, 3), (Pixel{255, 255, 255, 255})) << x;
    }
    // Mid-grey 128 is the contrast pivot and stays where it is.
    p.Convert(RawFrame(32, 8, 128));
    Pixel grey = p.At(10, 4);
    EXPECT_NEAR(grey.Red, 128, 2);
    EXPECT_NEAR(grey.Green, 128, 2);
    EXPECT_NEAR(grey.Blue, 128, 2);
}

TEST(Convert, ParametersMayChangeWhileFramesAreConverted)
{
    // A property thread rebuilds the matrices while frames are converted; every frame uses one
    // consistent set of gains and stays opaque.
    Processor p;
    p.Prepare(64, 16);
    RawFrame raw(64, 16, 90);
    std::atomic<bool> done{false};
    std::thread settings([&p, &done] {
        for (LONG i = 0; !done.load(); ++i) {
            p->SetHue(i % 360);
            p->SetContrast(i % 21);
            p->SetRedGain(100 + i % 50);
        }
    });
    for (int frame = 0; frame < 200; ++frame) {
        p.Convert(raw);
        ASSERT_EQ(p.At(63, 15).Alpha, 255);
    }
    done = true;
    settings.join();
}

}  // namespace
