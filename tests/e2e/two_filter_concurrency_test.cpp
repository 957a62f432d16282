// Two filters open on one camera and used at once, as two applications would: one walks its pin
// through random state changes and reads frames, the other keeps creating and closing pins of
// its own, and property requests (clock, window, flips, gains, exposure, colour parameters,
// service items) arrive through both filters from two more threads. Each seed is one fixed
// walk. Under the thread sanitizer nothing may be reported; under every preset nothing may
// crash, the verifier stays quiet, and the window and clock a pin was created under stay as
// they were for as long as it exists.
#include "streaming_fixture.h"

#include "camera_control.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <tuple>

namespace cameratest {
namespace {

constexpr int kWalkSteps = 20;
constexpr int kOtherPinRounds = 6;
// Requests each traffic thread sends at most; it stops early when both pins' walks are done.
constexpr int kRequestsPerThread = 80;
constexpr ULONG kFrameWaitMs = 3000;

using Random = std::mt19937;

int Pick(Random& random, int count)
{
    return std::uniform_int_distribution<int>(0, count - 1)(random);
}

LONG Between(Random& random, LONG low, LONG high)
{
    return std::uniform_int_distribution<LONG>(low, high)(random);
}

// The format a filter's pin range intersects to, or an empty one.
std::vector<std::uint8_t> Negotiate(const ksclient::Filter& filter)
{
    std::vector<std::vector<std::uint8_t>> ranges;
    std::vector<std::uint8_t> format;
    if (!NT_SUCCESS(filter.DataRanges(0, ranges)) || ranges.empty() ||
        !NT_SUCCESS(filter.Intersect(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()),
                                     format))) {
        format.clear();
    }
    return format;
}

// Queues one client frame of the format's image size and waits for it; the frame's header.
NTSTATUS ReadOneFrame(const ksclient::Pin& pin, const std::vector<std::uint8_t>& format,
                      KSSTREAM_HEADER& header)
{
    KS_DATAFORMAT_VIDEOINFOHEADER video{};
    std::memcpy(&video, format.data(), std::min(format.size(), sizeof video));
    std::vector<std::uint8_t> frame(video.VideoInfoHeader.bmiHeader.biSizeImage);
    return pin.ReadFrame(frame, header, kFrameWaitMs);
}

// One random property request through `control`. Items that would stop the frames for good
// (external trigger) or rewrite the sensor's window behind the driver (arbitrary register
// writes) are left out; everything else a control panel does is in.
void SendRandomRequest(const camctl::CameraControl& control, Random& random)
{
    using namespace CameraProperty;
    LONG value = 0;
    switch (Pick(random, 14)) {
    case 0: control.Set(Clock, Between(random, -1, 6)); break;
    case 1: {
        // Sizes up to the largest LONG: the window check must not overflow.
        LONG huge = 2147483647;
        camctl::Window window{Between(random, 0, 2), Between(random, -8, 760),
                              Between(random, -8, 500),
                              Pick(random, 4) == 0 ? huge : Between(random, 0, 800),
                              Pick(random, 4) == 0 ? huge : Between(random, 0, 500)};
        control.SetWindow(window);
        break;
    }
    case 2: control.Set(Pick(random, 2) == 0 ? FlipH : FlipV, Pick(random, 2)); break;
    case 3: {
        const ULONG gains[] = {RedGain, GreenGain, BlueGain};
        control.Set(gains[Pick(random, 3)], Between(random, 0, 600));
        break;
    }
    case 4: control.Set(WhiteBalance, Pick(random, 2)); break;
    case 5: control.Set(Exposure, Between(random, 1, 900)); break;
    case 6: control.Set(GlobalGain, Between(random, 0, 70)); break;
    case 7: {
        // Each of these rebuilds the colour matrix.
        const ULONG rebuilding[] = {Contrast, Brightness, Saturation, Hue, ColorCorrection};
        control.Set(rebuilding[Pick(random, 5)], Between(random, 0, 400));
        break;
    }
    case 8: control.Set(Timeout, Pick(random, 2) == 0 ? 3000 : 4000); break;
    case 9: control.Set(Pick(random, 2) == 0 ? AGC : AEC, Pick(random, 2)); break;
    case 10: {
        std::uint16_t registerValue = 0;
        control.ReadRegister(static_cast<std::uint8_t>(Pick(random, 2) == 0 ? 0x0B : 0x35),
                             registerValue);
        break;
    }
    case 11: {
        std::uint8_t byte = 0;
        control.ReadDataByte(static_cast<std::uint16_t>(Between(random, 0, 0x40)), byte);
        break;
    }
    case 12: control.Set(ColorEnable, Pick(random, 2)); break;
    default: {
        const ULONG readable[] = {Exposure, GlobalGain, FlipH,    FlipV,      RedGain, Contrast,
                                  Hue,      Clock,      AGC,      AEC,        RoiW,    SubSample,
                                  PinOpen,  Timeout,    WhiteBalance, BlueGain};
        control.Get(readable[Pick(random, 16)], value);
        break;
    }
    }
}

class TwoFilterCampaign : public StreamingTest, public testing::WithParamInterface<unsigned> {
protected:
    // The first filter's pin: random steps between the four states, reads while running,
    // closing and creating again; each pin's window and clock are checked while it lives.
    void WalkFirstPin(const camctl::CameraControl& first, Random random)
    {
        ksclient::Pin pin;
        std::vector<std::uint8_t> format;
        camctl::Window created;
        LONG createdClock = 0;
        KSSTATE state = KSSTATE_STOP;
        for (int step = 0; step < kWalkSteps; ++step) {
            if (!pin) {
                format = Negotiate(first.Filter());
                if (format.empty() || !NT_SUCCESS(first.Filter().CreatePin(0, format.data(),
                                                         static_cast<ULONG>(format.size()), pin))) {
                    continue;
                }
                state = KSSTATE_STOP;
                EXPECT_EQ(first.GetWindow(created), STATUS_SUCCESS);
                EXPECT_EQ(first.Get(CameraProperty::Clock, createdClock), STATUS_SUCCESS);
                continue;
            }
            switch (Pick(random, 8)) {
            case 0: pin.Close(); continue;
            case 1:
            case 2: {
                if (state != KSSTATE_RUN) {
                    break;
                }
                KSSTREAM_HEADER header{};
                if (ReadOneFrame(pin, format, header) == STATUS_SUCCESS) {
                    EXPECT_LE(header.DataUsed, header.FrameExtent);
                }
                break;
            }
            default: {
                const KSSTATE states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE,
                                          KSSTATE_RUN};
                NTSTATUS status = pin.SetState(states[Pick(random, 4)]);
                // The other filter's pin may hold the stream.
                EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_SHARING_VIOLATION) << status;
                pin.GetState(state);
                break;
            }
            }
            camctl::Window now;
            LONG clock = 0;
            LONG pinOpen = 0;
            EXPECT_EQ(first.GetWindow(now), STATUS_SUCCESS);
            EXPECT_EQ(first.Get(CameraProperty::Clock, clock), STATUS_SUCCESS);
            EXPECT_EQ(first.Get(CameraProperty::PinOpen, pinOpen), STATUS_SUCCESS);
            EXPECT_EQ(pinOpen, 1) << "step " << step;
            EXPECT_EQ(std::make_tuple(now.subSample, now.x, now.y, now.width, now.height),
                      std::make_tuple(created.subSample, created.x, created.y, created.width,
                                      created.height))
                << "the window changed under the pin at step " << step;
            EXPECT_EQ(clock, createdClock) << "the clock changed under the pin at step " << step;
        }
        pin.Close();
    }

    // The second filter's pin: created, sometimes taken as far as a frame, and closed again.
    static void CycleOtherPin(const camctl::CameraControl& second, Random random)
    {
        for (int round = 0; round < kOtherPinRounds; ++round) {
            std::vector<std::uint8_t> format = Negotiate(second.Filter());
            ksclient::Pin pin;
            if (format.empty() || !NT_SUCCESS(second.Filter().CreatePin(0, format.data(),
                                                      static_cast<ULONG>(format.size()), pin))) {
                continue;
            }
            if (Pick(random, 3) == 0 && pin.SetState(KSSTATE_RUN) == STATUS_SUCCESS) {
                KSSTREAM_HEADER header{};
                ReadOneFrame(pin, format, header);
            }
            pin.Close();
        }
    }
};

TEST_P(TwoFilterCampaign, RandomWalkWithPropertyTrafficThroughBothFilters)
{
    std::vector<rtl::WideString> links = KsEnumerateFilters(KSCATEGORY_CAPTURE);
    ASSERT_EQ(links.size(), 1u);
    camctl::CameraControl first;
    camctl::CameraControl second;
    ASSERT_EQ(first.Open(links[0]), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(links[0]), STATUS_SUCCESS);

    const unsigned seed = GetParam();
    std::atomic<int> walking{2};
    auto traffic = [&walking](const camctl::CameraControl& control, Random random) {
        for (int sent = 0; sent < kRequestsPerThread && walking.load() != 0; ++sent) {
            SendRandomRequest(control, random);
        }
    };
    std::thread firstTraffic(traffic, std::cref(first), Random(seed * 4 + 1));
    std::thread secondTraffic(traffic, std::cref(second), Random(seed * 4 + 2));
    std::thread otherPin([&] {
        CycleOtherPin(second, Random(seed * 4 + 3));
        --walking;
    });
    WalkFirstPin(first, Random(seed * 4));
    --walking;
    otherPin.join();
    firstTraffic.join();
    secondTraffic.join();

    // Nothing is left open and the window is free again.
    LONG pinOpen = 1;
    ASSERT_EQ(first.Get(CameraProperty::PinOpen, pinOpen), STATUS_SUCCESS);
    EXPECT_EQ(pinOpen, 0);
    ASSERT_EQ(first.SetWindow({0, 8, 8, 64, 64}), STATUS_SUCCESS);
    camctl::Window window;
    ASSERT_EQ(first.GetWindow(window), STATUS_SUCCESS);
    EXPECT_EQ(window.width, 64);
}

INSTANTIATE_TEST_SUITE_P(FixedSeeds, TwoFilterCampaign, testing::Values(1u, 2u, 3u));

using TwoFilterRanges = StreamingTest;

// The offered ranges are read by the framework on one filter's request thread while a window
// set through the other filter publishes those of a new size. Every list read is one size's
// whole set: each range at one width and height, its image size the format's, NV12 only for
// an even height. (Under the thread sanitizer a range rewritten in place is also reported.)
TEST_F(TwoFilterRanges, RangesReadThroughOneFilterWhileTheOtherSetsWindows)
{
    std::vector<rtl::WideString> links = KsEnumerateFilters(KSCATEGORY_CAPTURE);
    ASSERT_EQ(links.size(), 1u);
    camctl::CameraControl setter;
    ASSERT_EQ(setter.Open(links[0]), STATUS_SUCCESS);
    std::atomic<bool> done{false};
    std::thread windows([&] {
        // Sizes that differ in width, height (odd and even) and Bayer order; enough rounds for
        // the thread sanitizer to see a rewrite overlap a read.
        const camctl::Window sizes[] = {{0, 0, 0, 752, 480}, {0, 1, 0, 96, 33},
                                        {0, 0, 1, 160, 64},  {0, 3, 3, 64, 41},
                                        {1, 0, 0, 752, 480}, {0, 8, 8, 200, 100}};
        for (int round = 0; round < 600; ++round) {
            for (const camctl::Window& window : sizes) {
                setter.SetWindow(window);
            }
        }
        done = true;
    });
    int lists = 0;
    auto readLists = [&] {
        while (!done.load() || lists == 0) {
            std::vector<std::vector<std::uint8_t>> ranges;
            NTSTATUS status = filter_.DataRanges(0, ranges);
            if (status == STATUS_BUFFER_TOO_SMALL) {
                continue;  // the list grew between the size query and the read: ask again
            }
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_FALSE(ranges.empty());
            KS_DATARANGE_VIDEO first;
            ASSERT_EQ(ranges[0].size(), sizeof first);
            std::memcpy(&first, ranges[0].data(), sizeof first);
            const LONG width = first.VideoInfoHeader.bmiHeader.biWidth;
            const LONG height = first.VideoInfoHeader.bmiHeader.biHeight;
            ASSERT_EQ(ranges.size(), (height & 1) == 0 ? 5u : 4u) << width << "x" << height;
            for (const auto& bytes : ranges) {
                KS_DATARANGE_VIDEO range;
                ASSERT_EQ(bytes.size(), sizeof range);
                std::memcpy(&range, bytes.data(), sizeof range);
                const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
                ULONG format = FormatOfSubtype(range.DataRange.SubFormat);
                ASSERT_EQ(bitmap.biWidth, width);
                ASSERT_EQ(bitmap.biHeight, height);
                ASSERT_EQ(range.ConfigCaps.MaxOutputSize.cx, width);
                ASSERT_EQ(range.ConfigCaps.MaxOutputSize.cy, height);
                ASSERT_EQ(bitmap.biSizeImage, OutputFrameBytes(format, static_cast<ULONG>(width),
                                                               static_cast<ULONG>(height)));
                ASSERT_EQ(range.DataRange.SampleSize, bitmap.biSizeImage);
            }
            ++lists;
        }
    };
    readLists();  // returns at the first inconsistent list
    windows.join();
}

}  // namespace
}  // namespace cameratest
