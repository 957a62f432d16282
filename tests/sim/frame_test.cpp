// Frames on the frame endpoint: size and filler, geometry and colour phase, flips,
// sub-sampling, exposure and gain, noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "sim_test_support.h"

namespace {

using simtest::Bytes;
using simtest::TestHost;

constexpr sim::Rgb kFlat{200, 100, 30};

sim::CameraOptions FlatScene()
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Flat(kFlat);
    return options;
}

// Colour at (x, y) of the four mosaic phases: 0 = G R / B G, 1 = B G / G R, 2 = R G / G B,
// 3 = G B / R G.
std::uint8_t ExpectedLevel(int phase, int x, int y)
{
    static const char layouts[4][5] = {"GRBG", "BGGR", "RGGB", "GBRG"};
    char colour = layouts[phase][(y & 1) * 2 + (x & 1)];
    return colour == 'R' ? kFlat.r : colour == 'G' ? kFlat.g : kFlat.b;
}

struct Geometry {
    int x, y, w, h, subSample;
    int frameWidth, frameHeight;
    int phase;
};

class SimFrameGeometry : public testing::TestWithParam<Geometry> {};

TEST_P(SimFrameGeometry, FrameHasTransferSizeWindowPixelsAndPhaseOfOrigin)
{
    const Geometry& g = GetParam();
    TestHost host(FlatScene());
    host.ProgramWindow(g.x, g.y, g.w, g.h, g.subSample);
    std::uint32_t transferSize = host.camera.TransferSize();
    ASSERT_EQ(transferSize % 2048, 0u);

    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->size(), transferSize);
    auto pixels = static_cast<std::size_t>(g.frameWidth) * g.frameHeight;
    ASSERT_LE(pixels, frame->size());
    int wrong = 0;
    for (int y = 0; y < g.frameHeight; ++y) {
        for (int x = 0; x < g.frameWidth; ++x) {
            if ((*frame)[static_cast<std::size_t>(y) * g.frameWidth + x] !=
                ExpectedLevel(g.phase, x, y)) {
                ++wrong;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(std::all_of(frame->begin() + static_cast<std::ptrdiff_t>(pixels), frame->end(),
                            [](std::uint8_t b) { return b == 0; }))
        << "filler after the last line";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimFrameGeometry,
    testing::Values(Geometry{0, 0, 752, 480, 0, 752, 480, 3},
                    Geometry{0, 0, 752, 480, 1, 376, 240, 3},
                    Geometry{0, 0, 752, 480, 2, 188, 120, 3},
                    Geometry{700, 0, 52, 480, 0, 52, 480, 3},
                    Geometry{0, 10, 100, 100, 0, 100, 100, 3},
                    Geometry{0, 0, 32, 32, 0, 32, 32, 3},
                    Geometry{1, 0, 100, 64, 0, 100, 64, 1},
                    Geometry{0, 1, 100, 64, 0, 100, 64, 2},
                    Geometry{1, 1, 100, 64, 0, 100, 64, 0},
                    Geometry{719, 447, 33, 33, 0, 33, 33, 0},
                    Geometry{123, 200, 201, 99, 0, 201, 99, 1}));

TEST(SimFrame, FullFrameIsSixChunksOfTheDriversRead)
{
    TestHost host;
    host.ProgramWindow(0, 0, 752, 480, 0);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 362'496u);
    auto frames = host.camera.Log().Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size, 362'496u);
    EXPECT_EQ(frames[0].frame, 1u);
}

TEST(SimFrame, TransferSizeSmallerThanTheWindowCutsTheFrame)
{
    TestHost host;
    host.WriteBridge(0x00, 0x00);
    host.WriteBridge(0x01, 0x10);
    host.WriteBridge(0x02, 0x00);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 0x1000u);
}

// Red of the gradient scene rises left to right, green top to bottom.
struct Ramp {
    bool redRises;
    bool greenRises;
};

Ramp RampsOf(const Bytes& frame, int width, int height)
{
    // Phase 3: red at odd rows and even columns; green at even rows and even columns.
    auto at = [&](int x, int y) { return frame[static_cast<std::size_t>(y) * width + x]; };
    return {at(width - 2, 1) > at(0, 1), at(0, height - 2) > at(0, 0)};
}

TEST(SimFrame, FlipsMirrorThePictureButKeepThePhase)
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Gradient();
    TestHost host(options);
    host.ProgramWindow(0, 0, 752, 480, 0);
    for (bool flipH : {false, true}) {
        for (bool flipV : {false, true}) {
            host.SetFlips(flipH, flipV);
            auto frame = host.ReadFrame();
            ASSERT_TRUE(frame);
            Ramp ramp = RampsOf(*frame, 752, 480);
            EXPECT_EQ(ramp.redRises, !flipH) << flipH << flipV;
            EXPECT_EQ(ramp.greenRises, !flipV) << flipH << flipV;
            // The blue sites (odd column of an even row) still see the constant blue.
            EXPECT_EQ((*frame)[1], 128);
            EXPECT_EQ((*frame)[752 * 100 + 301], 128);
        }
    }
}

TEST(SimFrame, FlipOfAFlatSceneChangesNothing)
{
    TestHost host(FlatScene());
    host.ProgramWindow(3, 5, 64, 64, 0);
    auto plain = host.ReadFrame();
    host.SetFlips(true, true);
    auto flipped = host.ReadFrame();
    ASSERT_TRUE(plain && flipped);
    EXPECT_EQ(*plain, *flipped);
}

TEST(SimFrame, SubSamplingKeepsPairsAcrossTheWholeSensor)
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Gradient();
    TestHost host(options);
    host.ProgramWindow(0, 0, 752, 480, 0);
    auto full = host.ReadFrame();
    host.ProgramWindow(0, 0, 752, 480, 2);
    auto quarter = host.ReadFrame();
    ASSERT_TRUE(full && quarter);
    // Red sites of row 1: the quarter frame's column x sees about column 4x of the sensor,
    // so its right edge still reaches the sensor's right edge.
    for (int x : {0, 40, 100, 186}) {
        int fullColumn = (x / 2) * 8 + x % 2;
        EXPECT_EQ((*quarter)[188 + static_cast<std::size_t>(x)],
                  (*full)[752 + static_cast<std::size_t>(fullColumn)])
            << x;
    }
    EXPECT_GT((*quarter)[188 + 186], 240) << "the last kept pair is near the right edge";
}

TEST(SimFrame, ColourBarsAppearInOrderAcrossTheFrame)
{
    sim::CameraOptions options;
    options.scene = sim::Scene::ColourBars();
    TestHost host(options);
    host.ProgramWindow(0, 0, 752, 480, 1);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    const auto& bars = sim::Scene::BarColours();
    for (int bar = 0; bar < sim::Scene::kBarCount; ++bar) {
        int x = (bar * 376 / 8 + 376 / 16) & ~1;  // an even column: green on row 0, red on row 1
        EXPECT_EQ((*frame)[static_cast<std::size_t>(x)], bars[bar].g) << bar;
        EXPECT_EQ((*frame)[376 + static_cast<std::size_t>(x)], bars[bar].r) << bar;
        EXPECT_EQ((*frame)[static_cast<std::size_t>(x) + 1], bars[bar].b) << bar;
    }
}

TEST(SimFrame, ColourChartPatchesHaveTheirKnownColours)
{
    TestHost host;  // the chart is the default scene
    host.ProgramWindow(0, 0, 752, 480, 0);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    for (int i = 0; i < 24; ++i) {
        sim::SceneRect patch = sim::Scene::ChartPatch(i);
        int x = (patch.x + patch.width / 2) & ~1;
        int y = (patch.y + patch.height / 2) & ~1;
        const sim::Rgb& colour = sim::Scene::ChartColours()[static_cast<std::size_t>(i)];
        auto at = [&](int dx, int dy) {
            return (*frame)[static_cast<std::size_t>(y + dy) * 752 + x + dx];
        };
        EXPECT_EQ(at(0, 0), colour.g) << i;
        EXPECT_EQ(at(1, 0), colour.b) << i;
        EXPECT_EQ(at(0, 1), colour.r) << i;
    }
}

TEST(SimFrame, CallersImageIsScaledToTheSensor)
{
    std::vector<sim::Rgb> image = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}, {100, 110, 120}};
    sim::CameraOptions options;
    options.scene = sim::Scene::FromImage(2, 2, image);
    TestHost host(options);
    host.ProgramWindow(0, 0, 752, 480, 0);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[0], 20) << "top-left green";
    EXPECT_EQ((*frame)[751], 60) << "top-right blue";
    EXPECT_EQ((*frame)[479 * 752], 70) << "bottom-left red";
}

TEST(SimFrame, SceneChangesFromTheNextFrame)
{
    TestHost host(FlatScene());
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.camera.SetScene(sim::Scene::Flat({0, 0, 0}));
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[0], 0);
}

double MeanOfPixels(const Bytes& frame, std::size_t pixels)
{
    double sum = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        sum += frame[i];
    }
    return sum / static_cast<double>(pixels);
}

TEST(SimFrame, BrightnessRisesMonotonicallyWithExposureAndSaturates)
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Gradient();
    TestHost host(options);
    host.ProgramWindow(300, 200, 64, 64, 0);  // every channel of the gradient is lit here
    double previous = -1;
    for (std::uint16_t exposure : {1, 60, 240, 480, 960, 4000, 0x7FFF}) {
        host.WriteSensor(0x0B, exposure);
        auto frame = host.ReadFrame();
        ASSERT_TRUE(frame);
        double mean = MeanOfPixels(*frame, 64 * 64);
        if (previous < 255) {
            EXPECT_GT(mean, previous) << exposure;
        } else {
            EXPECT_EQ(mean, 255) << "saturated stays saturated";
        }
        previous = mean;
        if (exposure == 0x7FFF) {
            EXPECT_TRUE(std::all_of(frame->begin(), frame->begin() + 64 * 64,
                                    [](std::uint8_t b) { return b == 255; }));
        }
    }
}

TEST(SimFrame, BrightnessRisesMonotonicallyWithGain)
{
    TestHost host(FlatScene());
    host.ProgramWindow(0, 0, 64, 64, 0);
    double previous = -1;
    for (std::uint16_t gain : {16, 17, 32, 48, 64, 79}) {
        host.WriteSensor(0x35, gain);
        auto frame = host.ReadFrame();
        ASSERT_TRUE(frame);
        double mean = MeanOfPixels(*frame, 64 * 64);
        EXPECT_GT(mean, previous) << gain;
        previous = mean;
    }
    // At the highest gain red saturates (255), green reaches 247 and blue 74.
    EXPECT_DOUBLE_EQ(previous, 0.5 * 247 + 0.25 * 255 + 0.25 * 74);
}

TEST(SimFrame, NominalExposureAndGainReproduceTheScene)
{
    EXPECT_EQ(sim::ExposedLevel(123, 480, 32), 123);
    EXPECT_EQ(sim::ExposedLevel(123, 960, 32), 246);
    EXPECT_EQ(sim::ExposedLevel(123, 480, 64), 246);
    EXPECT_EQ(sim::ExposedLevel(200, 960, 64), 255);
    EXPECT_EQ(sim::ExposedLevel(200, 0, 32), 0);
}

TEST(SimFrame, NoiseIsSeededAndBounded)
{
    auto capture = [](std::uint32_t seed) {
        sim::CameraOptions options = FlatScene();
        options.noiseAmplitude = 4;
        options.noiseSeed = seed;
        TestHost host(options);
        host.ProgramWindow(0, 0, 64, 64, 0);
        return host.ReadFrame().value_or(Bytes{});
    };
    Bytes a = capture(7);
    Bytes b = capture(7);
    Bytes c = capture(8);
    ASSERT_EQ(a.size(), 4096u);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    int differing = 0;
    for (int i = 0; i < 4096; ++i) {
        int clean = ExpectedLevel(3, i % 64, i / 64);
        EXPECT_LE(std::abs(a[static_cast<std::size_t>(i)] - clean), 4);
        differing += a[static_cast<std::size_t>(i)] != clean;
    }
    EXPECT_GT(differing, 1000);
}

}  // namespace
