// A colour chart seen through the whole path: sensor, USB, capture thread, conversion and the
// pin. With colour correction off, neutral settings and unity gains, every patch comes back in
// its true colour, for every Bayer phase, the sub-sampling modes and both flips.
#include "streaming_fixture.h"

#include "driver/imaging_test_support.h"

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

// Every offered format streamed through the pin: the delivered frame is, byte for byte, the
// image the portable kernel of that format makes from the camera's raw frame with the stream's
// parameters, converted once at the delivered size (32-bit RGB: the whole frame, delivered
// bottom-up and cut to the output width).
struct FormatPictureCase {
    const char* Name;
    ULONG Format;
    LONG X, Y, W, H;
    ULONG Mode;
    bool Color;
    bool WhiteBalance;
};

void PrintTo(const FormatPictureCase& row, std::ostream* out)
{
    *out << row.Name;
}

class FormatPicture : public StreamingTest,
                      public testing::WithParamInterface<FormatPictureCase> {};

TEST_P(FormatPicture, IsThePortableKernelsImageOfTheRawFrame)
{
    const FormatPictureCase& row = GetParam();
    SetRegionOfInterest(device_, row.X, row.Y, row.W, row.H, row.Mode);
    device_->SetColorEnable(row.Color ? 1 : 0);
    device_->SetWhiteBalance(row.WhiteBalance ? 1 : 0);
    const LONG gains[3] = {device_->GetRedGain(), device_->GetGreenGain(), device_->GetBlueGain()};
    std::vector<std::uint8_t> negotiated = NegotiatedFormat(row.Format);
    KS_DATAFORMAT_VIDEOINFOHEADER video{};
    ASSERT_GE(negotiated.size(), sizeof video);
    std::memcpy(&video, negotiated.data(), sizeof video);
    const ULONG frameWidth = device_->Geometry.FrameWidth;
    const ULONG width = device_->Geometry.OutputWidth;
    const ULONG height = device_->Geometry.OutputHeight;
    const ULONG bytes = OutputFrameBytes(row.Format, width, height);
    ASSERT_NE(bytes, 0u);
    ASSERT_EQ(video.VideoInfoHeader.bmiHeader.biSizeImage, bytes);

    ASSERT_EQ(CreatePin(negotiated, pin_), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<std::uint8_t> frame(bytes);
    KSSTREAM_HEADER header{};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(pin_.ReadFrame(frame, header, 5000), STATUS_SUCCESS);
    }
    ASSERT_EQ(header.DataUsed, bytes);

    // The scene is still and the camera adds no noise: every raw frame is the last one.
    sim::RawFrame raw = plugged_->camera->LastFrame();
    ASSERT_EQ(raw.width, static_cast<int>(frameWidth));
    ASSERT_EQ(raw.height, static_cast<int>(height));
    ImageProcessor* live = device_->Processor;
    ASSERT_NE(live, nullptr);
    imaging_test::Processor reference;
    reference.Prepare(frameWidth, height);
    reference.SetGains(live->GetRedGain(), live->GetGreenGain(), live->GetBlueGain());
    LONG matrix[16];
    for (int k = 0; k < 16; ++k) {
        matrix[k] = InterlockedExchangeAdd(&live->FixedMatrix[k], 0);
    }
    reference.SetFixedMatrix(matrix);
    reference->LoadRawFrame(raw.pixels.data(), 0, static_cast<ULONG>(raw.width));
    if (row.Format != OutputFormatRgb32) {
        reference->Frame.Width = width;
    }
    const int phase = static_cast<int>(device_->Settings.BayerPhase);
    ASSERT_TRUE(reference.RunFormat(PortableFormatKernels, row.Format, phase, row.Color));

    const std::vector<UCHAR>& expected = reference.Output();
    if (row.Format == OutputFormatRgb32) {
        for (ULONG y = 0; y < height; ++y) {
            const UCHAR* want = expected.data() + static_cast<size_t>(height - 1 - y) * frameWidth * 4;
            ASSERT_EQ(std::memcmp(frame.data() + static_cast<size_t>(y) * width * 4, want, width * 4), 0)
                << "delivered row " << y;
        }
    } else {
        for (ULONG i = 0; i < bytes; ++i) {
            ASSERT_EQ(frame[i], expected[i]) << "byte " << i;
        }
    }
    if (row.Format == OutputFormatBayer8) {
        // Raw samples take no gains: white balance left them alone.
        EXPECT_EQ(device_->GetRedGain(), gains[0]);
        EXPECT_EQ(device_->GetGreenGain(), gains[1]);
        EXPECT_EQ(device_->GetBlueGain(), gains[2]);
    }
}

const FormatPictureCase FormatPictureCases[] = {
    {"Rgb32FullSensor", OutputFormatRgb32, 0, 0, 752, 480, 0, true, false},
    {"Rgb32Cut", OutputFormatRgb32, 1, 0, 101, 64, 0, true, false},
    {"Rgb24OddColumn", OutputFormatRgb24, 1, 0, 101, 64, 0, true, false},
    {"Rgb24Plain", OutputFormatRgb24, 0, 0, 96, 48, 0, false, false},
    {"Yuy2OddRow", OutputFormatYuy2, 0, 1, 101, 64, 0, true, false},
    {"Yuy2Plain", OutputFormatYuy2, 2, 2, 160, 40, 0, false, false},
    {"Nv12OddOrigin", OutputFormatNv12, 1, 1, 96, 64, 0, true, false},
    {"Nv12SubSampled", OutputFormatNv12, 0, 0, 752, 480, 2, true, false},
    {"Bayer8WithWhiteBalance", OutputFormatBayer8, 1, 0, 100, 50, 0, true, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, FormatPicture, testing::ValuesIn(FormatPictureCases),
                         [](const auto& row) { return std::string(row.param.Name); });

}  // namespace
}  // namespace cameratest
