// A colour chart seen through the whole path: sensor, USB, capture thread, conversion and the
// pin. With colour correction off, neutral settings and unity gains, every patch comes back in
// its true colour, for every Bayer phase, the sub-sampling modes and both flips.
#include "streaming_fixture.h"

#include <cstdlib>

namespace cameratest {
namespace {

constexpr int kTolerance = 12;

struct Window {
    LONG x, y, w, h;
    ULONG mode;
    bool flipH, flipV;
};

class PictureTest : public StreamingTest, public testing::WithParamInterface<Window> {};

sim::Rgb AverageAround(const std::vector<std::uint8_t>& frame, ULONG width, ULONG height,
                       ULONG x, ULONG y)
{
    int sums[3] = {0, 0, 0};
    int count = 0;
    for (ULONG dy = 0; dy < 5; ++dy) {
        for (ULONG dx = 0; dx < 5; ++dx) {
            sim::Rgb pixel = PixelAt(frame, height, width * 4, x + dx - 2, y + dy - 2);
            sums[0] += pixel.r;
            sums[1] += pixel.g;
            sums[2] += pixel.b;
            ++count;
        }
    }
    return sim::Rgb{static_cast<std::uint8_t>(sums[0] / count),
                    static_cast<std::uint8_t>(sums[1] / count),
                    static_cast<std::uint8_t>(sums[2] / count)};
}

TEST_P(PictureTest, ChartPatchesComeBackInTheirColours)
{
    const Window window = GetParam();
    SetRegionOfInterest(device_, window.x, window.y, window.w, window.h, window.mode);
    device_->SetColorCorrection(0);
    device_->SetFlipH(window.flipH ? 1 : 0);
    device_->SetFlipV(window.flipV ? 1 : 0);
    StartStreaming();
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    // The first frames after the start may still be converting; take a later one.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    }
    ASSERT_EQ(header.DataUsed, FrameBytes());

    const ULONG width = device_->Geometry.OutputWidth;
    const ULONG height = device_->Geometry.OutputHeight;
    const double scale = window.mode == 1 ? 2.0 : (window.mode == 2 ? 4.0 : 1.0);
    const LONG originX = window.mode == 0 ? window.x : 0;
    const LONG originY = window.mode == 0 ? window.y : 0;
    const LONG spanX = window.mode == 0 ? window.w : 752;
    const LONG spanY = window.mode == 0 ? window.h : 480;
    int checked = 0;
    for (int index = 0; index < sim::Scene::kChartColumns * sim::Scene::kChartRows; ++index) {
        sim::SceneRect patch = sim::Scene::ChartPatch(index);
        LONG cx = patch.x + patch.width / 2 - originX;
        LONG cy = patch.y + patch.height / 2 - originY;
        if (window.flipH) {
            cx = spanX - 1 - cx;
        }
        if (window.flipV) {
            cy = spanY - 1 - cy;
        }
        auto ox = static_cast<LONG>(cx / scale);
        auto oy = static_cast<LONG>(cy / scale);
        if (ox < 4 || oy < 4 || ox >= static_cast<LONG>(width) - 4 ||
            oy >= static_cast<LONG>(height) - 4) {
            continue;  // outside the window
        }
        sim::Rgb expected = sim::Scene::ChartColours()[index];
        sim::Rgb seen = AverageAround(frame, width, height, static_cast<ULONG>(ox),
                                      static_cast<ULONG>(oy));
        EXPECT_NEAR(seen.r, expected.r, kTolerance) << "patch " << index;
        EXPECT_NEAR(seen.g, expected.g, kTolerance) << "patch " << index;
        EXPECT_NEAR(seen.b, expected.b, kTolerance) << "patch " << index;
        ++checked;
    }
    EXPECT_GE(checked, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PictureTest,
    testing::Values(Window{0, 0, 752, 480, 0, false, false}, Window{1, 0, 720, 464, 0, false, false},
                    Window{0, 1, 720, 464, 0, false, false}, Window{1, 1, 720, 464, 0, false, false},
                    Window{0, 0, 752, 480, 1, false, false}, Window{0, 0, 752, 480, 2, false, false},
                    Window{0, 0, 752, 480, 0, true, false}, Window{0, 0, 752, 480, 0, false, true}));

using PictureRows = StreamingTest;

TEST_F(PictureRows, FirstDeliveredRowIsTheLastRowOfThePicture)
{
    sim::Scene gradient = sim::Scene::Gradient();  // green rises from top to bottom
    plugged_->camera->SetScene(gradient);
    device_->SetColorCorrection(0);
    StartStreaming();
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    // Memory row 0 holds the picture's bottom: greener than the top.
    const ULONG stride = device_->Geometry.OutputWidth * 4;
    int bottomGreen = frame[10 * 4 + 1];
    int topGreen = frame[(device_->Geometry.OutputHeight - 1) * stride + 10 * 4 + 1];
    EXPECT_GT(bottomGreen, topGreen + 100);
}

TEST_F(PictureRows, SubSampledFrameDeliversRowsOfTheOutputWidth)
{
    SetRegionOfInterest(device_, 0, 0, 752, 480, 2);
    ASSERT_EQ(device_->Geometry.FrameWidth, 188u);
    ASSERT_EQ(device_->Geometry.OutputWidth, 184u);
    StartStreaming();
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    EXPECT_EQ(header.DataUsed, 184u * 120u * 4u);
}

}  // namespace
}  // namespace cameratest
