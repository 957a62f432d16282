// camctl capture and stream end to end: frames from a known scene through the whole driver,
// checked for size, orientation and colour, and the statistics and messages around them.
#include "camctl_test_support.h"

#include "png_io.h"

#include "imaging/output_formats.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace camctltest {
namespace {

using CamctlCapture = CamctlTest;

struct Mean {
    double r = 0, g = 0, b = 0;
};

// Mean colour of a rectangle of an RGB picture.
Mean MeanOf(const camctl::RgbImage& image, int x0, int y0, int x1, int y1)
{
    Mean mean;
    double n = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const std::uint8_t* p = &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 3];
            mean.r += p[0];
            mean.g += p[1];
            mean.b += p[2];
            ++n;
        }
    }
    mean.r /= n;
    mean.g /= n;
    mean.b /= n;
    return mean;
}

camctl::RgbImage Load(const std::string& path)
{
    camctl::RgbImage image;
    std::string error;
    EXPECT_TRUE(camctl::ReadPng(path, image, error)) << error;
    return image;
}

TEST_F(CamctlCapture, CapturesTopDownPicturesOfTheScene)
{
    RunResult result = Run({"--scene", "gradient", "capture", "-n", "3", "-o", Path("f")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "camera 0: 3 frames of 752x480 in ")) << result.out;
    EXPECT_TRUE(Contains(result.out, "frames: 3 delivered, 0 timed out, 0 incomplete\n"));
    // Then the driver's counts of the stream.
    EXPECT_TRUE(Contains(result.out, "\n  FramesDelivered: 3\n")) << result.out;
    EXPECT_TRUE(
        Contains(result.out, "\n  IncompleteFrames: 0\n  TimedOutFrames: 0\n  UsbErrors: 0\n"));
    EXPECT_TRUE(Contains(result.out, "\ndropped frames: PictureNumber ")) << result.out;
    EXPECT_TRUE(Contains(result.out, "saved " + Path("f-0000.png") + " ... " + Path("f-0002.png")));
    EXPECT_FALSE(std::filesystem::exists(Path("f-0003.png")));

    camctl::RgbImage image = Load(Path("f-0002.png"));
    ASSERT_EQ(image.width, 752);
    ASSERT_EQ(image.height, 480);
    // Red rises to the right, green to the bottom, blue stays in the middle.
    Mean topLeft = MeanOf(image, 20, 20, 60, 60);
    Mean topRight = MeanOf(image, 692, 20, 732, 60);
    Mean bottomLeft = MeanOf(image, 20, 420, 60, 460);
    EXPECT_GT(topRight.r, topLeft.r + 100);
    EXPECT_GT(bottomLeft.g, topLeft.g + 100);
    EXPECT_LT(std::abs(topRight.g - topLeft.g), 40);
    EXPECT_LT(std::abs(bottomLeft.r - topLeft.r), 40);
}

TEST_F(CamctlCapture, FirstCaptureIsNotBlack)
{
    RunResult result = Run({"--scene", "bars", "capture", "-o", Path("bars")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(Contains(result.err, "exposure set to 480")) << result.err;
    camctl::RgbImage image = Load(Path("bars-0000.png"));
    ASSERT_EQ(image.width, 752);
    // The first bar is white, the last black.
    Mean white = MeanOf(image, 20, 100, 70, 380);
    Mean black = MeanOf(image, 680, 100, 730, 380);
    // Exposure 1 would leave even the white bar below 5.
    EXPECT_GT(white.r + white.g + white.b, 3 * 60);
    EXPECT_LT(black.r + black.g + black.b, 3 * 20);
    EXPECT_NEAR(white.r, white.g, 25);
    EXPECT_NEAR(white.b, white.g, 25);
}

TEST_F(CamctlCapture, PngSceneIsSeenTheRightWayUp)
{
    // Red above, blue below, and a green left quarter.
    camctl::RgbImage scene;
    scene.width = 64;
    scene.height = 40;
    scene.pixels.resize(64 * 40 * 3);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 64; ++x) {
            std::uint8_t* p = &scene.pixels[(static_cast<std::size_t>(y) * 64 + x) * 3];
            if (x < 16) {
                p[1] = 220;
            } else if (y < 20) {
                p[0] = 220;
            } else {
                p[2] = 220;
            }
        }
    }
    std::string error;
    ASSERT_TRUE(camctl::WritePng(Path("scene.png"), scene, error)) << error;

    RunResult result = Run({"--scene", Path("scene.png"), "capture", "-o", Path("s")});
    ASSERT_EQ(result.code, 0) << result.err;
    camctl::RgbImage image = Load(Path("s-0000.png"));
    Mean top = MeanOf(image, 400, 40, 700, 200);
    Mean bottom = MeanOf(image, 400, 280, 700, 440);
    Mean left = MeanOf(image, 20, 100, 150, 380);
    EXPECT_GT(top.r, top.b + 80);
    EXPECT_GT(bottom.b, bottom.r + 80);
    EXPECT_GT(left.g, left.r + 80);
    EXPECT_GT(left.g, left.b + 80);
}

TEST_F(CamctlCapture, CaptureFollowsTheWindow)
{
    ASSERT_EQ(Run({"window", "0", "0", "752", "480", "--subsample", "1"}).code, 0);
    RunResult result = Run({"capture", "-o", Path("w")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "frames of 376x240")) << result.out;
    camctl::RgbImage image = Load(Path("w-0000.png"));
    EXPECT_EQ(image.width, 376);
    EXPECT_EQ(image.height, 240);
}

TEST_F(CamctlCapture, ProgressBarOnlyOnATerminal)
{
    camctl::Console terminal;
    terminal.progressBar = true;
    RunResult shown = Run({"capture", "-n", "2", "-o", Path("p")}, terminal);
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_TRUE(Contains(shown.err, "\rcapturing [")) << shown.err;
    EXPECT_TRUE(Contains(shown.err, "] 2/2")) << shown.err;

    RunResult plain = Run({"capture", "-n", "2", "-o", Path("q")});
    ASSERT_EQ(plain.code, 0) << plain.err;
    EXPECT_FALSE(Contains(plain.err, "capturing ["));
}

TEST_F(CamctlCapture, UnwritableOutputIsAnError)
{
    RunResult result = Run({"capture", "-o", Path("no/such/dir/f")});
    EXPECT_EQ(result.code, camctl::kExitFailure);
    EXPECT_TRUE(Contains(result.err, "no/such/dir/f-0000.png")) << result.err;
}

TEST_F(CamctlCapture, InterruptedCaptureStopsCleanly)
{
    std::atomic<bool> interrupted{true};
    camctl::Console console;
    console.interrupted = &interrupted;
    RunResult result = Run({"capture", "-n", "5", "-o", Path("i")}, console);
    EXPECT_EQ(result.code, camctl::kExitFailure);
    EXPECT_TRUE(Contains(result.err, "interrupted after 0 of 5 frames")) << result.err;
    // The device still stopped and saved its settings.
    EXPECT_TRUE(Contains(RegistryText(), "\"Exposure\"=dword:000001e0"));
}

TEST_F(CamctlCapture, StreamWritesRawTopDownFrames)
{
    RunResult result = Run({"--scene", "gradient", "stream", "-n", "2"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(Contains(result.err,
                         "ffplay -f rawvideo -pixel_format bgra -video_size 752x480 -i -"))
        << result.err;
    EXPECT_TRUE(Contains(result.err, "frames: 2 delivered, 0 timed out, 0 incomplete"));
    const std::size_t frameBytes = 752u * 480u * 4u;
    ASSERT_EQ(result.out.size(), 2 * frameBytes);

    auto pixel = [&](std::size_t frame, int x, int y) {
        return reinterpret_cast<const std::uint8_t*>(result.out.data()) + frame * frameBytes +
               (static_cast<std::size_t>(y) * 752 + x) * 4;
    };
    for (int x = 0; x < 752; x += 97) {
        EXPECT_EQ(pixel(1, x, 5)[3], 255);
    }
    // B, G, R order; green rises from the top row down, red from left to right.
    EXPECT_LT(pixel(1, 300, 10)[1] + 100, pixel(1, 300, 470)[1]);
    EXPECT_LT(pixel(1, 10, 240)[2] + 100, pixel(1, 740, 240)[2]);
}

// "  Name: N" of the statistics report, or -1.
long long Reported(const std::string& text, const std::string& name)
{
    std::string key = "\n  " + name + ": ";
    std::size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + key.size()));
}

TEST_F(CamctlCapture, StatsStreamsAndShowsTheDriversCounts)
{
    RunResult result = Run({"stats", "-n", "4"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "frames: 4 delivered, 0 timed out, 0 incomplete\n"))
        << result.out;
    EXPECT_EQ(Reported(result.out, "FramesDelivered"), 4) << result.out;
    EXPECT_GE(Reported(result.out, "FramesRead"), Reported(result.out, "FramesConverted"));
    EXPECT_GE(Reported(result.out, "FramesConverted"), 1);
    EXPECT_EQ(Reported(result.out, "IncompleteFrames"), 0);
    EXPECT_EQ(Reported(result.out, "TimedOutFrames"), 0);
    EXPECT_EQ(Reported(result.out, "UsbErrors"), 0);
    // The pin's counts agree: pictures delivered = frames delivered less repeats.
    long long picture = 0, drops = 0, average = 0;
    std::size_t at = result.out.find("\ndropped frames: ");
    ASSERT_NE(at, std::string::npos) << result.out;
    ASSERT_EQ(std::sscanf(result.out.c_str() + at,
                          "\ndropped frames: PictureNumber %lld, DropCount %lld, "
                          "AverageFrameSize %lld",
                          &picture, &drops, &average),
              3);
    EXPECT_EQ(picture - drops, 4 - Reported(result.out, "FramesRepeated"));
    EXPECT_EQ(drops, Reported(result.out, "FramesDropped"));
    EXPECT_EQ(average, 752 * 480 * 4);
    // Nothing saved as files.
    EXPECT_TRUE(std::filesystem::is_empty(directory_) ||
                !std::filesystem::exists(Path("frame-0000.png")));
}

std::vector<std::uint8_t> LoadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

// capture --format: each offered format is captured; RGB formats as PNG pictures (24-bit RGB
// the right way up, the same picture as 32-bit RGB), the others as raw files named by the
// format whose luma is that of the 32-bit picture.
struct FormatCaptureCase {
    const char* Name;
    const char* Format;
    const char* File;
    std::size_t Bytes;  // raw files; 0 for PNG
    std::size_t LumaStep;  // bytes from one luma sample to the next in a row; 0: no luma
};

void PrintTo(const FormatCaptureCase& row, std::ostream* out)
{
    *out << row.Name;
}

class CamctlFormatCapture : public CamctlTest,
                            public testing::WithParamInterface<FormatCaptureCase> {};

TEST_P(CamctlFormatCapture, WritesTheFormatsFile)
{
    const FormatCaptureCase& row = GetParam();
    ASSERT_EQ(Run({"--scene", "gradient", "capture", "-o", Path("ref")}).code, 0);
    RunResult result =
        Run({"--scene", "gradient", "capture", "--format", row.Format, "-o", Path("f")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "saved " + Path(row.File))) << result.out;
    camctl::RgbImage reference = Load(Path("ref-0000.png"));
    ASSERT_EQ(reference.width, 752);
    if (row.Bytes == 0) {
        camctl::RgbImage image = Load(Path(row.File));
        ASSERT_EQ(image.width, 752);
        ASSERT_EQ(image.height, 480);
        EXPECT_TRUE(image.pixels == reference.pixels);
        return;
    }
    std::vector<std::uint8_t> bytes = LoadBytes(Path(row.File));
    ASSERT_EQ(bytes.size(), row.Bytes);
    if (row.LumaStep == 0) {
        // Raw Bayer of the gradient: green sites rise towards the bottom.
        EXPECT_TRUE(Contains(result.out, "GBRG order")) << result.out;
        EXPECT_GT(bytes[470 * 752 + 10], bytes[10 * 752 + 10] + 100);  // G at even row, even column
        return;
    }
    for (std::size_t y = 0; y < 480; ++y) {
        for (std::size_t x = 0; x < 752; ++x) {
            const std::uint8_t* p = &reference.pixels[(y * 752 + x) * 3];
            ASSERT_EQ(bytes[(y * 752 + x) * row.LumaStep], Bt601Luma(p[0], p[1], p[2]))
                << "pixel " << x << ", " << y;
        }
    }
}

const FormatCaptureCase FormatCaptureCases[] = {
    {"Rgb32", "rgb32", "f-0000.png", 0, 0},
    {"Rgb24", "rgb24", "f-0000.png", 0, 0},
    {"Yuy2", "yuy2", "f-0000.yuy2", 752 * 480 * 2, 2},
    {"Nv12", "nv12", "f-0000.nv12", 752 * 480 * 3 / 2, 1},
    {"Bayer8", "bayer8", "f-0000.bayer8", 752 * 480, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, CamctlFormatCapture, testing::ValuesIn(FormatCaptureCases),
                         [](const auto& row) { return std::string(row.param.Name); });

TEST_F(CamctlCapture, FormatNotOfferedIsRefusedWithTheOfferedOnes)
{
    RunResult unknown = Run({"capture", "--format", "mjpeg", "-o", Path("u")});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_TRUE(Contains(unknown.err, "does not offer the format 'mjpeg'; it offers rgb32, "
                                      "rgb24, yuy2, nv12, bayer8"))
        << unknown.err;
    // An odd height has no whole NV12 blocks.
    ASSERT_EQ(Run({"window", "0", "0", "752", "479"}).code, 0);
    RunResult odd = Run({"stream", "-n", "1", "--format", "nv12"});
    EXPECT_EQ(odd.code, 2);
    EXPECT_TRUE(Contains(odd.err, "it offers rgb32, rgb24, yuy2, bayer8\n")) << odd.err;
    EXPECT_TRUE(odd.out.empty());
}

TEST_F(CamctlCapture, StreamWritesFramesOfTheChosenFormat)
{
    RunResult result = Run({"stream", "-n", "2", "--format", "nv12"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out.size(), 2u * 752 * 480 * 3 / 2);
    EXPECT_TRUE(Contains(result.err, "-pixel_format nv12 -video_size 752x480")) << result.err;
}

}  // namespace
}  // namespace camctltest
