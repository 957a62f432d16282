// The image processor's parameters and colour matrix: defaults, the quantised coefficient
// tables, the unchanged-value test and the floating-point save.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <new>

#include "imaging_test_support.h"

namespace {

using imaging_test::Processor;
using Table = std::array<LONG, 16>;

Table FixedOf(const Processor& p)
{
    Table t;
    std::copy(std::begin(p->FixedMatrix), std::end(p->FixedMatrix), t.begin());
    return t;
}

// Makes KeSaveFloatingPointState fail for the scope: it refuses above DISPATCH_LEVEL.
class FloatingPointUnavailable {
public:
    FloatingPointUnavailable() { KeRaiseIrql(HIGH_LEVEL, &old_); }
    ~FloatingPointUnavailable() { KeLowerIrql(old_); }

private:
    KIRQL old_ = 0;
};

TEST(ImageProcessorDefaults, ParametersAndGeometryStartNeutral)
{
    Processor p;
    ASSERT_NE(p.get(), nullptr);
    EXPECT_EQ(p->GetColorEnable(), 1);
    EXPECT_EQ(p->GetWhiteBalance(), 0);
    EXPECT_EQ(p->GetRedGain(), 128);
    EXPECT_EQ(p->GetGreenGain(), 128);
    EXPECT_EQ(p->GetBlueGain(), 128);
    EXPECT_EQ(p->GetColorCorrection(), 1);
    EXPECT_EQ(p->GetBrightness(), 255);
    EXPECT_EQ(p->GetContrast(), 10);
    EXPECT_EQ(p->GetSaturation(), 10);
    EXPECT_EQ(p->GetHue(), 0);
    EXPECT_EQ(p->BayerPhase, 0);
    EXPECT_EQ(p->WorkBuffer, nullptr);
    EXPECT_EQ(p->OutputBuffer, nullptr);
    EXPECT_EQ(p->WorkCapacity, 0u);
}

TEST(ImageProcessorDefaults, PlainSettersStoreWithoutTouchingTheCoefficients)
{
    Processor p;
    Table before = FixedOf(p);
    p->SetRedGain(300);
    p->SetGreenGain(1);
    p->SetBlueGain(512);
    p->SetColorEnable(0);
    p->SetWhiteBalance(7);
    p->SetBayerPhase(2);
    EXPECT_EQ(p->GetRedGain(), 300);
    EXPECT_EQ(p->GetGreenGain(), 1);
    EXPECT_EQ(p->GetBlueGain(), 512);
    EXPECT_EQ(p->GetColorEnable(), 0);
    EXPECT_EQ(p->GetWhiteBalance(), 7);
    EXPECT_EQ(p->BayerPhase, 2);
    EXPECT_EQ(FixedOf(p), before);
}

// FixedMatrix for one setting, everything else neutral.
struct MatrixCase {
    const char* Name;
    LONG Correction;
    LONG Brightness;
    LONG Contrast;
    LONG Saturation;
    LONG Hue;
    Table Expected;
};

class FixedMatrixTable : public testing::TestWithParam<MatrixCase> {};

TEST_P(FixedMatrixTable, QuantisesTheCombinedMatrix)
{
    const MatrixCase& c = GetParam();
    Processor p;
    p->SetColorCorrection(c.Correction);
    p->SetBrightness(c.Brightness);
    p->SetContrast(c.Contrast);
    p->SetSaturation(c.Saturation);
    p->SetHue(c.Hue);
    EXPECT_EQ(FixedOf(p), c.Expected);
}

const MatrixCase MatrixCases[] = {
    {"Defaults", 1, 255, 10, 10, 0,
     {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}},
    {"Identity", 0, 255, 10, 10, 0, {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64}},
    {"Saturation0", 0, 255, 10, 0, 0,
     {20, 20, 20, 0, 39, 39, 39, 0, 5, 5, 5, 0, 0, 0, 0, 64}},
    {"Contrast20", 0, 255, 20, 10, 0,
     {128, 0, 0, 0, 0, 128, 0, 0, 0, 0, 128, 0, -8192, -8192, -8192, 64}},
    {"Contrast0", 0, 255, 0, 10, 0,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8192, 8192, 8192, 64}},
    {"Brightness510", 0, 510, 10, 10, 0,
     {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 16320, 16320, 16320, 64}},
    {"BrightnessAbove510ActsAs510", 0, 4000, 10, 10, 0,
     {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 16320, 16320, 16320, 64}},
    {"Brightness0", 0, 0, 10, 10, 0,
     {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, -16320, -16320, -16320, 64}},
    {"Hue180", 0, 255, 10, 10, 180,
     {-24, 40, 40, 0, 78, 14, 78, 0, 10, 10, -54, 0, 0, 0, 0, 64}},
    {"Hue120", 0, 255, 10, 10, 120,
     {-19, 45, -19, 0, 34, 34, 98, 0, 49, -15, -15, 0, 0, 0, 0, 64}},
};

std::string MatrixCaseName(const testing::TestParamInfo<MatrixCase>& info)
{
    return info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, FixedMatrixTable, testing::ValuesIn(MatrixCases),
                         MatrixCaseName);

TEST(FixedMatrixTable, EveryHueKeepsGreyGrey)
{
    // A rotation about the grey axis: each of the first three columns sums to 64 (within the
    // rounding of its three entries), and the offsets stay zero.
    Processor p;
    p->SetColorCorrection(0);
    for (LONG hue = 0; hue < 360; hue += 7) {
        p->SetHue(hue);
        for (int c = 0; c < 3; ++c) {
            LONG sum = p->FixedMatrix[c] + p->FixedMatrix[4 + c] + p->FixedMatrix[8 + c];
            EXPECT_NEAR(sum, 64, 1) << "hue " << hue << " column " << c;
            EXPECT_EQ(p->FixedMatrix[12 + c], 0);
        }
    }
}

TEST(FixedMatrixTable, RotationBySameAngleModuloFullTurn)
{
    Processor a, b;
    a->SetHue(90);
    b->SetHue(450);
    EXPECT_EQ(FixedOf(a), FixedOf(b));
    b->SetHue(-270);
    EXPECT_EQ(FixedOf(a), FixedOf(b));
}

TEST(FixedMatrixTable, RoundsHalfAwayFromZero)
{
    Processor p;
    // Brightness offsets are whole pixel units times 64; build entries that sit exactly on a
    // half step through the matrices directly.
    KFLOATING_SAVE save;
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    MatrixIdentity(&p->CombinedMatrix);
    p->CombinedMatrix.M[0][0] = 2.5 / 64;
    p->CombinedMatrix.M[0][1] = -2.5 / 64;
    p->CombinedMatrix.M[0][2] = 0.49 / 64;
    p->CombinedMatrix.M[1][0] = -0.49 / 64;
    p->CombinedMatrix.M[1][1] = 1e12;  // out of the 32-bit range: saturates, no undefined cast
    p->QuantizeCoefficients();
    KeRestoreFloatingPointState(&save);
    EXPECT_EQ(p->FixedMatrix[0], 3);
    EXPECT_EQ(p->FixedMatrix[1], -3);
    EXPECT_EQ(p->FixedMatrix[2], 0);
    EXPECT_EQ(p->FixedMatrix[4], 0);
    EXPECT_EQ(p->FixedMatrix[5], 2147483647);
}

TEST(MatrixSinCos, MatchesTheLibraryToSinglePrecisionForEveryDegree)
{
    for (int degrees = -720; degrees <= 720; ++degrees) {
        float angle = static_cast<float>(degrees * static_cast<double>(3.14159265358979f) / 180.0);
        double s, c;
        MatrixSinCos(angle, &s, &c);
        EXPECT_EQ(static_cast<float>(s), static_cast<float>(std::sin(static_cast<double>(angle))))
            << degrees;
        EXPECT_EQ(static_cast<float>(c), static_cast<float>(std::cos(static_cast<double>(angle))))
            << degrees;
    }
}

TEST(RebuildingSetters, UnchangedValueRebuildsNothing)
{
    Processor p;
    const Table defaults = FixedOf(p);
    {
        // Stored, but the save fails: the tables keep their state.
        FloatingPointUnavailable noFloat;
        p->SetContrast(20);
    }
    EXPECT_EQ(p->GetContrast(), 20);
    EXPECT_EQ(FixedOf(p), defaults);

    // The same value again is recognised as unchanged: still no rebuild.
    p->SetContrast(20);
    EXPECT_EQ(FixedOf(p), defaults);

    // A different value rebuilds with that value.
    p->SetContrast(19);
    EXPECT_EQ(p->GetContrast(), 19);
    EXPECT_NE(FixedOf(p), defaults);
    EXPECT_EQ(p->FixedMatrix[0], 165);  // 1.9 x 1.36 x 64 = 165.4
}

TEST(RebuildingSetters, EachSettingRebuildsOnlyItsOwnMatrix)
{
    Processor p;
    p->SetColorCorrection(0);
    p->SetSaturation(0);
    p->SetBrightness(300);
    // Brightness changed only the offsets: the saturation rows are still those of s = 0.
    EXPECT_EQ(p->FixedMatrix[0], 20);
    EXPECT_EQ(p->FixedMatrix[4], 39);
    EXPECT_EQ(p->FixedMatrix[12], 45 * 64);
    p->SetSaturation(10);
    EXPECT_EQ(p->FixedMatrix[0], 64);
    EXPECT_EQ(p->FixedMatrix[12], 45 * 64);
}

TEST(RebuildingSetters, ConstructionWithoutFloatingPointLeavesZeroTables)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(ImageProcessor), ImageProcessorPoolTag);
    ASSERT_NE(memory, nullptr);
    std::memset(memory, 0, sizeof(ImageProcessor));
    ImageProcessor* p;
    {
        FloatingPointUnavailable noFloat;
        p = new (memory) ImageProcessor();
    }
    for (LONG k : p->FixedMatrix) {
        EXPECT_EQ(k, 0);
    }
    EXPECT_EQ(p->CorrectionMatrix.M[0][0], 0.0);
    EXPECT_EQ(p->GetBrightness(), 255);
    // A rebuild now multiplies with the other, still-zero matrices.
    p->SetHue(30);
    for (LONG k : p->FixedMatrix) {
        EXPECT_EQ(k, 0);
    }
    ImageProcessor::Destroy(p);
}

TEST(RebuildingSetters, ColorCorrectionTogglesTheCorrectionTable)
{
    Processor p;
    const Table corrected = FixedOf(p);
    p->SetColorCorrection(0);
    EXPECT_EQ(p->FixedMatrix[0], 64);
    p->SetColorCorrection(5);  // any non-zero value switches it on
    EXPECT_EQ(FixedOf(p), corrected);
}

}  // namespace
