// Region of interest, sub-sampling, Bayer phase and the offered format that follows them.
#include "camera_fixture.h"

namespace cameratest {
namespace {

class FrameGeometryTest : public OneCameraTest {
protected:
    void Roi(LONG x, LONG y, LONG w, LONG h, ULONG mode) { SetRegionOfInterest(device_, x, y, w, h, mode); }

    void ExpectWindow(LONG x, LONG y, LONG w, LONG h) const
    {
        EXPECT_EQ(device_->GetRoiX(), x);
        EXPECT_EQ(device_->GetRoiY(), y);
        EXPECT_EQ(device_->GetRoiW(), w);
        EXPECT_EQ(device_->GetRoiH(), h);
    }

};

TEST_F(FrameGeometryTest, WindowsAreCorrectedNeverRefused)
{
    Roi(700, 0, 100, 480, 0);
    ExpectWindow(700, 0, 52, 480);
    Roi(720, 10, 100, 100, 0);
    ExpectWindow(0, 10, 100, 100);
    Roi(0, 0, 10, 10, 0);
    ExpectWindow(0, 0, 32, 32);
    Roi(-5, -5, 752, 480, 0);
    ExpectWindow(0, 0, 752, 480);
    Roi(0, 448, 100, 100, 0);
    ExpectWindow(0, 0, 100, 100);
    // Sizes near the largest value: the edge is compared without forming origin + size.
    Roi(1, 0, 2147483647, 480, 0);
    ExpectWindow(1, 0, 751, 480);
    Roi(0, 1, 752, 2147483647, 0);
    ExpectWindow(0, 1, 752, 479);
    Roi(719, 447, 2147483647 - 100, 2147483647 - 10, 0);
    ExpectWindow(719, 447, 33, 33);
    EXPECT_EQ(device_->Geometry.FrameWidth, 33u);
    EXPECT_EQ(device_->Geometry.FrameHeight, 33u);
}

TEST_F(FrameGeometryTest, OutputWidthIsRoundedDownToEight)
{
    Roi(0, 0, 100, 60, 0);
    EXPECT_EQ(device_->Geometry.FrameWidth, 100u);
    EXPECT_EQ(device_->Geometry.OutputWidth, 96u);
    EXPECT_EQ(device_->Geometry.OutputHeight, 60u);
    const KS_DATARANGE_VIDEO& range = OfferedRangeOf(device_);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, 96);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biHeight, 60);
    EXPECT_EQ(range.DataRange.SampleSize, 96u * 60u * 4u);
    EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cx, 96);
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 96u * 60u * 120u);
    EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond, 96 * 60 * 30 * 32);
}

TEST_F(FrameGeometryTest, SubSamplingModesHaveFixedSizesAndTheFullWindow)
{
    Roi(10, 20, 100, 100, 1);
    EXPECT_EQ(device_->Geometry.FrameWidth, 376u);
    EXPECT_EQ(device_->Geometry.FrameHeight, 240u);
    ExpectWindow(0, 0, 752, 480);
    EXPECT_EQ(device_->GetSubSample(), 1u);
    Roi(0, 0, 752, 480, 2);
    EXPECT_EQ(device_->Geometry.OutputWidth, 184u);
    EXPECT_EQ(device_->Geometry.OutputHeight, 120u);
    EXPECT_EQ(OfferedRangeOf(device_).DataRange.SampleSize, 88320u);
}

TEST_F(FrameGeometryTest, FullSensorFormatAdvertisesThirtyFramesPerSecond)
{
    Roi(0, 0, 752, 480, 0);
    const KS_DATARANGE_VIDEO& range = OfferedRangeOf(device_);
    EXPECT_EQ(range.ConfigCaps.MinFrameInterval, 333333);
    EXPECT_EQ(range.ConfigCaps.MaxFrameInterval, 333333);
    EXPECT_EQ(range.VideoInfoHeader.AvgTimePerFrame, 333333);
    EXPECT_EQ(range.DataRange.SampleSize, 1443840u);
    EXPECT_EQ(range.ConfigCaps.MaxBitsPerSecond, 346521600);
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 43315200u);
    // Fields the geometry does not own keep their first values.
    EXPECT_EQ(range.ConfigCaps.CropGranularityX, 8);
    EXPECT_TRUE(IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_RGB32));
}

TEST_F(FrameGeometryTest, BayerPhaseFollowsTheParityOfTheOrigin)
{
    const struct {
        LONG x, y;
        ULONG phase;
    } cases[] = {{0, 0, 3}, {1, 0, 1}, {0, 1, 2}, {1, 1, 0}, {2, 2, 3}};
    for (const auto& c : cases) {
        Roi(c.x, c.y, 100, 100, 0);
        UpdateBayerPhase(device_);
        EXPECT_EQ(device_->Settings.BayerPhase, c.phase) << c.x << "," << c.y;
    }
    // The flips leave the phase alone.
    Roi(1, 0, 100, 100, 0);
    device_->SetFlipH(1);
    device_->SetFlipV(1);
    EXPECT_EQ(device_->Settings.BayerPhase, 1u);
}

TEST_F(FrameGeometryTest, RegionIsFrozenWhileAPinExists)
{
    Roi(8, 8, 200, 100, 0);
    InterlockedExchange(&device_->PinOpen, 1);
    Roi(0, 0, 752, 480, 1);
    InterlockedExchange(&device_->PinOpen, 0);
    ExpectWindow(8, 8, 200, 100);
    EXPECT_EQ(device_->GetSubSample(), 0u);
}

TEST_F(FrameGeometryTest, TwoCamerasAdvertiseTheirOwnSizes)
{
    CaptureDevice* second = Plug().Device();
    ASSERT_NE(second, nullptr);
    SetRegionOfInterest(device_, 0, 0, 320, 240, 0);
    SetRegionOfInterest(second, 0, 0, 752, 480, 2);
    EXPECT_EQ(OfferedRangeOf(device_).VideoInfoHeader.bmiHeader.biWidth, 320);
    EXPECT_EQ(OfferedRangeOf(second).VideoInfoHeader.bmiHeader.biWidth, 184);

    // Each camera's filter offers its own range to applications.
    std::vector<rtl::WideString> links = KsEnumerateFilters(KSCATEGORY_VIDEO);
    ASSERT_EQ(links.size(), 2u);
    std::vector<LONG> widths;
    for (const rtl::WideString& link : links) {
        ksclient::Filter filter;
        ASSERT_EQ(ksclient::Filter::Open(link, filter), STATUS_SUCCESS);
        std::vector<std::vector<std::uint8_t>> ranges;
        ASSERT_EQ(filter.DataRanges(0, ranges), STATUS_SUCCESS);
        // 32-bit RGB first, then 24-bit RGB, YUY2, NV12 (both heights are even) and Bayer.
        ASSERT_EQ(ranges.size(), 5u);
        ASSERT_EQ(ranges[0].size(), sizeof(KS_DATARANGE_VIDEO));
        KS_DATARANGE_VIDEO range;
        std::memcpy(&range, ranges[0].data(), sizeof range);
        widths.push_back(range.VideoInfoHeader.bmiHeader.biWidth);
    }
    std::sort(widths.begin(), widths.end());
    EXPECT_EQ(widths, (std::vector<LONG>{184, 320}));
}

}  // namespace
}  // namespace cameratest
