// The vector kernels of every instruction set against the portable reference: byte-for-byte
// equal output and equal gains on random frames with random parameters, every phase, widths
// around each block size, and on the patterns that push every stage to its limits. A form the
// processor here cannot run is reported as skipped.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "imaging/kernel_support.h"
#include "imaging_test_support.h"

#ifdef IMAGING_HAVE_SSE2

namespace {

using imaging_test::Processor;
using imaging_test::RawFrame;

const ULONG Widths[] = {0, 1, 7, 8, 15, 16, 17, 20, 31, 32, 33, 63, 64, 65, 94, 100, 376, 752};

// One vector form under test and whether this processor can run it.
struct VectorForm {
    const char* Name;
    const ConversionKernels* Kernels;
    const FormatKernels* Formats;
    bool (*Runnable)();
    ImagingIsa Isa;
};

void PrintTo(const VectorForm& form, std::ostream* out)
{
    *out << form.Name;
}

bool Always()
{
    return true;
}

#ifdef IMAGING_HAVE_AVX2
bool HasAvx2()
{
    return __builtin_cpu_supports("avx2");
}

bool HasAvx512()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}
#endif

const VectorForm VectorForms[] = {
    {"Sse2", &Sse2KernelTable, &Sse2FormatKernels, Always, ImagingIsaSse2},
#ifdef IMAGING_HAVE_AVX2
    {"Avx2", &Avx2KernelTable, &Avx2FormatKernels, HasAvx2, ImagingIsaAvx2},
    {"Avx512", &Avx512KernelTable, &Avx512FormatKernels, HasAvx512, ImagingIsaAvx512},
#endif
};

// Runs the test under the saves Convert would take for the form; a form the processor lacks,
// or whose state the system does not let a driver save, is skipped.
class VectorFormScope {
public:
    // Empty when the form can run here, else why not.
    std::string Enter(const VectorForm& form)
    {
        if (!form.Runnable()) {
            return std::string("this processor lacks ") + form.Name;
        }
        scope_.emplace(form.Isa);
        if (!scope_->Covers(form.Isa)) {
            return std::string("the system does not save the state of ") + form.Name;
        }
        return "";
    }

private:
    std::optional<VectorStateScope> scope_;
};

class VectorMatchesPortable : public testing::TestWithParam<VectorForm> {
protected:
    void SetUp() override
    {
        std::string skip = scope_.Enter(GetParam());
        if (!skip.empty()) {
            GTEST_SKIP() << skip;
        }
    }
    const ConversionKernels& Kernels() const { return *GetParam().Kernels; }

private:
    VectorFormScope scope_;
};

// Random parameters: settings the device can forward, and now and then a coefficient table
// or gains no setting produces (large magnitudes, values beyond 16 bits).
void RandomParameters(std::mt19937& random, Processor& p)
{
    std::uniform_int_distribution<int> coin(0, 3);
    auto pick = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    if (coin(random) == 0) {
        LONG table[16];
        for (LONG& k : table) {
            k = pick(0, 2) == 0 ? pick(-200000, 200000) : pick(-300, 300);
        }
        p.SetFixedMatrix(table);
    } else {
        p->SetColorCorrection(pick(0, 1));
        p->SetBrightness(pick(0, 510));
        p->SetContrast(pick(0, 20));
        p->SetSaturation(pick(0, 20));
        p->SetHue(pick(0, 359));
    }
    switch (coin(random)) {
    case 0:
        p.SetGains(128, 128, 128);
        break;
    case 1:
        p.SetGains(pick(-100000, 100000), pick(0, 70000), pick(30000, 140000));
        break;
    default:
        p.SetGains(pick(0, 600), pick(0, 600), pick(0, 600));
        break;
    }
}

struct Outcome {
    std::vector<UCHAR> Output;
    bool GuardIntact;
    LONG Gains[3];
};

// The balanced paths run white balance and the conversion as one call (the vector forms keep
// the demosaiced frame between them); "unkept" runs it without room to keep the frame.
enum class Path {
    Color,
    Plain,
    WhiteBalance,
    BalancedColor,
    BalancedPlain,
    BalancedColorUnkept,
};

// "equal", or the first pixel where the outputs differ.
std::string Difference(const std::vector<UCHAR>& vector, const std::vector<UCHAR>& reference,
                       ULONG width)
{
    if (vector.size() != reference.size()) {
        return "sizes differ";
    }
    for (size_t i = 0; i < vector.size(); ++i) {
        if (vector[i] != reference[i]) {
            size_t pixel = i / 4;
            return (testing::Message() << "pixel " << (width ? pixel % width : pixel) << ", "
                                       << (width ? pixel / width : 0) << " byte " << i % 4 << ": "
                                       << int(vector[i]) << " vs reference " << int(reference[i]))
                .GetString();
        }
    }
    return "equal";
}

Outcome RunKernels(Processor& p, const ConversionKernels& kernels, int phase, Path path)
{
    p.ClearOutput();
    Outcome outcome{};
    if (path == Path::WhiteBalance) {
        FrameDescriptor* frame = &p->Frame;
        outcome.Gains[0] = outcome.Gains[1] = outcome.Gains[2] = -7;
        kernels.AutoWhiteBalance[phase](frame, &outcome.Gains[0], &outcome.Gains[1],
                                        &outcome.Gains[2]);
    } else if (path == Path::BalancedColor || path == Path::BalancedPlain ||
               path == Path::BalancedColorUnkept) {
        p.RunColor(PortableKernelTable, phase);  // the frame snapshot; output cleared below
        p.ClearOutput();
        FrameDescriptor frame = p->Frame;
        if (path == Path::BalancedColorUnkept) {
            frame.Kept = nullptr;
        }
        outcome.Gains[0] = frame.RedGain;
        outcome.Gains[1] = frame.GreenGain;
        outcome.Gains[2] = frame.BlueGain;
        kernels.BalancedConversion[phase](p.get(), &frame, path != Path::BalancedPlain,
                                          &outcome.Gains[0], &outcome.Gains[1],
                                          &outcome.Gains[2]);
    } else if (path == Path::Color) {
        p.RunColor(kernels, phase);
    } else {
        p.RunPlain(kernels, phase);
    }
    outcome.Output = p.Output();
    outcome.GuardIntact = p.GuardIntact();
    return outcome;
}

// Compares every phase and path of the frame loaded in `p`.
void ExpectAllPathsMatch(Processor& p, const ConversionKernels& kernels, ULONG width, ULONG height)
{
    for (int phase = 0; phase < 4; ++phase) {
        for (Path path : {Path::Color, Path::Plain, Path::WhiteBalance, Path::BalancedColor,
                          Path::BalancedPlain, Path::BalancedColorUnkept}) {
            Outcome reference = RunKernels(p, PortableKernelTable, phase, path);
            Outcome vector = RunKernels(p, kernels, phase, path);
            SCOPED_TRACE(testing::Message() << "width " << width << " height " << height
                                            << " phase " << phase << " path "
                                            << static_cast<int>(path));
            ASSERT_TRUE(reference.GuardIntact);
            ASSERT_TRUE(vector.GuardIntact);
            ASSERT_EQ(Difference(vector.Output, reference.Output, width), "equal");
            ASSERT_EQ(vector.Gains[0], reference.Gains[0]);
            ASSERT_EQ(vector.Gains[1], reference.Gains[1]);
            ASSERT_EQ(vector.Gains[2], reference.Gains[2]);
        }
    }
}

TEST_P(VectorMatchesPortable, RandomFramesAllPhasesAllWidths)
{
    std::mt19937 random(20240611);
    int frames = 0;
    for (ULONG width : Widths) {
        for (int round = 0; round < 17; ++round) {
            // Odd and even heights, small ones included; the big widths get fewer rows.
            ULONG height = width >= 376 ? 1 + static_cast<ULONG>(round)
                                        : static_cast<ULONG>(std::uniform_int_distribution<int>(0, 23)(random));
            Processor p;
            p.Prepare(width, height);
            RawFrame raw(width, height);
            raw.Randomize(random);
            // The slack past the border holds whatever the working buffer held before.
            for (ULONG i = 0; i < p->WorkSize; ++i) {
                p->WorkBuffer[i] = static_cast<UCHAR>(random());
            }
            p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
            RandomParameters(random, p);
            ExpectAllPathsMatch(p, Kernels(), width, height);
            if (HasFatalFailure()) {
                return;
            }
            ++frames;
        }
    }
    EXPECT_EQ(frames, 306);
}

// Frames that drive the filters to both ends of their range and the gains and transform to
// saturation: flat black and white, 0/255 checkerboards of single pixels and of 2 x 2 blocks,
// and alternating columns and rows.
TEST_P(VectorMatchesPortable, AdversarialPatterns)
{
    struct Pattern {
        const char* Name;
        UCHAR (*At)(ULONG x, ULONG y);
    };
    const Pattern patterns[] = {
        {"black", [](ULONG, ULONG) -> UCHAR { return 0; }},
        {"white", [](ULONG, ULONG) -> UCHAR { return 255; }},
        {"checkerboard", [](ULONG x, ULONG y) -> UCHAR { return ((x ^ y) & 1) ? 255 : 0; }},
        {"block checkerboard",
         [](ULONG x, ULONG y) -> UCHAR { return (((x >> 1) ^ (y >> 1)) & 1) ? 255 : 0; }},
        {"columns", [](ULONG x, ULONG) -> UCHAR { return (x & 1) ? 255 : 0; }},
        {"rows", [](ULONG, ULONG y) -> UCHAR { return (y & 1) ? 0 : 255; }},
    };
    std::mt19937 random(99);
    for (const Pattern& pattern : patterns) {
        for (ULONG width : {17u, 65u, 94u, 752u}) {
            const ULONG height = 9;
            Processor p;
            p.Prepare(width, height);
            RawFrame raw(width, height);
            for (ULONG y = 0; y < height; ++y) {
                for (ULONG x = 0; x < width; ++x) {
                    raw.At(x, y) = pattern.At(x, y);
                }
            }
            p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
            for (int round = 0; round < 3; ++round) {
                SCOPED_TRACE(testing::Message() << pattern.Name << " round " << round);
                RandomParameters(random, p);
                if (round == 0) {
                    p.SetGains(1 << 15, 1 << 15, 1 << 15);  // every non-zero value to 255
                }
                ExpectAllPathsMatch(p, Kernels(), width, height);
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

TEST_P(VectorMatchesPortable, FullFramesWithSettingsAtTheirExtremes)
{
    // Every form of the transform: the default settings (diagonal shape, no offsets), a
    // brightness (diagonal with offsets), hue rotations (positive cross terms, masked sums) and
    // extreme contrast and saturation (32-bit sums).
    std::mt19937 random(7);
    Processor p;
    p.Prepare(752, 480);
    RawFrame raw(752, 480);
    raw.Randomize(random);
    p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
    const LONG settings[][5] = {
        {1, 255, 10, 10, 0}, {1, 300, 10, 10, 0}, {1, 510, 20, 20, 0},
        {1, 0, 20, 20, 200}, {0, 510, 0, 20, 45}, {1, 255, 10, 10, 120},
    };
    bool wide = false, masked = false, diagonal = false, diagonalWithoutOffsets = false;
    for (const auto& s : settings) {
        p->SetColorCorrection(s[0]);
        p->SetBrightness(s[1]);
        p->SetContrast(s[2]);
        p->SetSaturation(s[3]);
        p->SetHue(s[4]);
        for (int phase = 0; phase < 4; ++phase) {
            Outcome reference = RunKernels(p, PortableKernelTable, phase, Path::Color);
            Outcome vector = RunKernels(p, Kernels(), phase, Path::Color);
            ASSERT_EQ(Difference(vector.Output, reference.Output, 752), "equal") << "phase " << phase;
        }
        KernelSupport::TransformTable table;
        KernelSupport::PrepareTransform(p->Frame.Coefficients, p->PositiveFlags, &table);
        if (!KernelSupport::TransformFitsSixteenBits(&table)) {
            wide = true;
        } else if (!KernelSupport::TransformIsDiagonal(&table)) {
            masked = true;
        } else if (KernelSupport::TransformHasOffsets(&table)) {
            diagonal = true;
        } else {
            diagonalWithoutOffsets = true;
        }
    }
    EXPECT_TRUE(wide);
    EXPECT_TRUE(masked);
    EXPECT_TRUE(diagonal);
    EXPECT_TRUE(diagonalWithoutOffsets);
}

// A wider kernel entered with only the floating-point save (as SSE2 needs) stops the system:
// the verifier's extended-state rule, checked at every kernel's entry.
class WiderKernelDeathTest : public testing::TestWithParam<VectorForm> {};

TEST_P(WiderKernelDeathTest, WithoutAnExtendedSaveStops)
{
    const VectorForm& form = GetParam();
    if (!form.Runnable()) {
        GTEST_SKIP() << "this processor lacks " << form.Name;
    }
    struct Entry {
        const char* Name;
        void (*Run)(const VectorForm& form, Processor& p);
    };
    const Entry entries[] = {
        {"colour", [](const VectorForm& f, Processor& p) { p.RunColor(*f.Kernels, 0); }},
        {"plain", [](const VectorForm& f, Processor& p) { p.RunPlain(*f.Kernels, 0); }},
        {"YUY2", [](const VectorForm& f, Processor& p) {
             p.RunFormat(*f.Formats, OutputFormatYuy2, 0, true);
         }},
        // Frames narrower than a block go to the SSE2 form, after the check.
        {"narrow", [](const VectorForm& f, Processor& p) {
             p.Prepare(8, 8);
             p.RunColor(*f.Kernels, 0);
         }},
    };
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.Name);
        EXPECT_DEATH(
            {
                Processor p;
                p.Prepare(96, 6);
                VectorStateScope floatingOnly(ImagingIsaSse2);
                entry.Run(form, p);
            },
            "STOP: 0x000000C4 \\(0x39,");
    }
}

std::string VectorFormName(const testing::TestParamInfo<VectorForm>& form)
{
    return form.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Forms, VectorMatchesPortable, testing::ValuesIn(VectorForms),
                         VectorFormName);

#ifdef IMAGING_HAVE_AVX2
INSTANTIATE_TEST_SUITE_P(Forms, WiderKernelDeathTest,
                         testing::Values(VectorForms[1], VectorForms[2]), VectorFormName);
#endif

// The output format kernels: SSE2 against portable on random frames and parameters, every
// phase, colour and plain, widths around the block size (the even ones for the YUV formats,
// even heights for NV12), and nothing written past the format's frame.
struct FormatSizes {
    const char* Name;
    ULONG Format;
    bool EvenWidth;
    bool EvenHeight;
};

void PrintTo(const FormatSizes& row, std::ostream* out)
{
    *out << row.Name;
}

class VectorFormatMatchesPortable
    : public testing::TestWithParam<std::tuple<VectorForm, FormatSizes>> {
protected:
    void SetUp() override
    {
        std::string skip = scope_.Enter(std::get<0>(GetParam()));
        if (!skip.empty()) {
            GTEST_SKIP() << skip;
        }
    }

private:
    VectorFormScope scope_;
};

TEST_P(VectorFormatMatchesPortable, RandomFramesAllPhases)
{
    const VectorForm& form = std::get<0>(GetParam());
    const FormatSizes& row = std::get<1>(GetParam());
    std::mt19937 random(20261207 + row.Format);
    const ULONG widths[] = {1, 2, 7, 8, 15, 16, 17, 18, 20, 30, 31, 32, 33, 34, 62, 64, 66, 94, 100, 376, 752};
    int frames = 0;
    for (ULONG width : widths) {
        if (row.EvenWidth && (width & 1) != 0) {
            continue;
        }
        for (int round = 0; round < 6; ++round) {
            ULONG height = width >= 376 ? 2 + static_cast<ULONG>(round)
                                        : static_cast<ULONG>(std::uniform_int_distribution<int>(1, 23)(random));
            if (row.EvenHeight) {
                height += height & 1;
            }
            Processor p;
            p.Prepare(width, height);
            RawFrame raw(width, height);
            raw.Randomize(random);
            for (ULONG i = 0; i < p->WorkSize; ++i) {
                p->WorkBuffer[i] = static_cast<UCHAR>(random());
            }
            p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
            RandomParameters(random, p);
            const size_t bytes = OutputFrameBytes(row.Format, width, height);
            ASSERT_NE(bytes, 0u);
            for (int phase = 0; phase < 4; ++phase) {
                for (bool color : {true, false}) {
                    SCOPED_TRACE(testing::Message() << "width " << width << " height " << height
                                                    << " phase " << phase << " colour " << color);
                    p.ClearOutput();
                    ASSERT_TRUE(p.RunFormat(PortableFormatKernels, row.Format, phase, color));
                    std::vector<UCHAR> reference = p.Output();
                    ASSERT_TRUE(p.UntouchedFrom(bytes));
                    p.ClearOutput();
                    ASSERT_TRUE(p.RunFormat(*form.Formats, row.Format, phase, color));
                    ASSERT_TRUE(p.UntouchedFrom(bytes));
                    ASSERT_EQ(Difference(p.Output(), reference, 0), "equal");
                }
            }
            ++frames;
        }
    }
    EXPECT_GT(frames, 40);
}

// Every form of the transform the format kernels choose: the default settings (diagonal, no
// offsets), a brightness (diagonal with offsets), a hue (masked sums) and extreme contrast and
// saturation (32-bit sums), with and without gains.
TEST_P(VectorFormatMatchesPortable, EveryTransformShape)
{
    const VectorForm& form = std::get<0>(GetParam());
    const FormatSizes& row = std::get<1>(GetParam());
    std::mt19937 random(77);
    const ULONG width = 94;
    const ULONG height = 10;
    Processor p;
    p.Prepare(width, height);
    RawFrame raw(width, height);
    raw.Randomize(random);
    p->LoadRawFrame(raw.Data(), 0, raw.Pitch);
    const LONG settings[][5] = {
        {1, 255, 10, 10, 0}, {1, 300, 10, 10, 0}, {1, 510, 20, 20, 0}, {1, 255, 10, 10, 120},
    };
    const size_t bytes = OutputFrameBytes(row.Format, width, height);
    for (const auto& setting : settings) {
        for (LONG gain : {128, 150}) {
            p->SetColorCorrection(setting[0]);
            p->SetBrightness(setting[1]);
            p->SetContrast(setting[2]);
            p->SetSaturation(setting[3]);
            p->SetHue(setting[4]);
            p.SetGains(gain, 128, gain);
            for (int phase = 0; phase < 4; ++phase) {
                SCOPED_TRACE(testing::Message() << "brightness " << setting[1] << " hue "
                                                << setting[4] << " gain " << gain << " phase "
                                                << phase);
                p.ClearOutput();
                ASSERT_TRUE(p.RunFormat(PortableFormatKernels, row.Format, phase, true));
                std::vector<UCHAR> reference = p.Output();
                p.ClearOutput();
                ASSERT_TRUE(p.RunFormat(*form.Formats, row.Format, phase, true));
                ASSERT_TRUE(p.UntouchedFrom(bytes));
                ASSERT_EQ(Difference(p.Output(), reference, 0), "equal");
            }
        }
    }
}

const FormatSizes FormatSizeRows[] = {
    {"Rgb24", OutputFormatRgb24, false, false},
    {"Yuy2", OutputFormatYuy2, true, false},
    {"Nv12", OutputFormatNv12, true, true},
    {"Bayer8", OutputFormatBayer8, false, false},
};

std::string FormatSizesName(
    const testing::TestParamInfo<std::tuple<VectorForm, FormatSizes>>& param)
{
    return std::string(std::get<0>(param.param).Name) + "_" + std::get<1>(param.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Formats, VectorFormatMatchesPortable,
                         testing::Combine(testing::ValuesIn(VectorForms),
                                          testing::ValuesIn(FormatSizeRows)),
                         FormatSizesName);

}  // namespace

#endif  // IMAGING_HAVE_SSE2
