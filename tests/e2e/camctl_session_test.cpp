// camctl's library pieces with the camera in reach: the session's bookkeeping of saved settings
// and the service items, checked against what the simulated camera saw.
#include "camctl_test_support.h"

#include "camera_control.h"
#include "commands.h"
#include "frame_stream.h"
#include "session.h"
#include "text.h"

namespace camctltest {
namespace {

class CamctlSession : public CamctlTest {
protected:
    void SetUp() override
    {
        CamctlTest::SetUp();
        std::string error;
        ASSERT_TRUE(camctl::UseRegistryFile(Registry(), error)) << error;
    }
    void TearDown() override
    {
        session_.Stop();
        CamctlTest::TearDown();
    }

    camctl::Session session_;
};

TEST_F(CamctlSession, KnowsWhetherSettingsWereSaved)
{
    std::string error;
    ASSERT_TRUE(session_.Start({}, error)) << error;
    ASSERT_EQ(session_.CameraCount(), 1u);
    EXPECT_FALSE(session_.Camera(0).hadSavedSettings);
    session_.Stop();

    ASSERT_TRUE(session_.Start({}, error)) << error;
    EXPECT_TRUE(session_.Camera(0).hadSavedSettings);
}

TEST_F(CamctlSession, StartingExposureGoesThroughTheCamera)
{
    std::string error;
    ASSERT_TRUE(session_.Start({}, error)) << error;
    sim::Camera& camera = *session_.Camera(0).camera;
    EXPECT_EQ(camera.PeekSensorRegister(0x0B), 1);
    std::ostringstream err;
    camctl::GiveStartingExposure(session_.Camera(0), 0, err);
    EXPECT_EQ(camera.PeekSensorRegister(0x0B), 480);
    EXPECT_TRUE(Contains(err.str(), "exposure set to 480"));
}

TEST_F(CamctlSession, RegisterWriteReachesTheSensor)
{
    std::string error;
    ASSERT_TRUE(session_.Start({}, error)) << error;
    camctl::CameraControl control;
    ASSERT_TRUE(NT_SUCCESS(control.Open(session_.Camera(0).link)));
    ASSERT_TRUE(NT_SUCCESS(control.WriteRegister(0x0B, 300)));
    EXPECT_EQ(session_.Camera(0).camera->PeekSensorRegister(0x0B), 300);
    std::uint16_t value = 0;
    ASSERT_TRUE(NT_SUCCESS(control.ReadRegister(0x0B, value)));
    EXPECT_EQ(value, 300);
    LONG exposure = 0;
    ASSERT_TRUE(NT_SUCCESS(control.Get(CameraProperty::Exposure, exposure)));
    EXPECT_EQ(exposure, 300);
}

TEST_F(CamctlSession, DataStoreWriteThenRead)
{
    std::string error;
    ASSERT_TRUE(session_.Start({}, error)) << error;
    camctl::CameraControl control;
    ASSERT_TRUE(NT_SUCCESS(control.Open(session_.Camera(0).link)));
    ASSERT_TRUE(NT_SUCCESS(control.SendRawCommand({0x51, 0x02, 0x01, 0x01, 0x23, 0x5A})));
    EXPECT_EQ(session_.Camera(0).camera->PeekDataStore(0x0123), 0x5A);
    session_.Camera(0).camera->PokeDataStore(0x0456, 0xC3);
    std::uint8_t value = 0;
    ASSERT_TRUE(NT_SUCCESS(control.ReadDataByte(0x0456, value)));
    EXPECT_EQ(value, 0xC3);
    ASSERT_TRUE(NT_SUCCESS(control.ReadDataByte(0x0123, value)));
    EXPECT_EQ(value, 0x5A);
}

TEST_F(CamctlSession, FrameStreamDeliversTheOfferedFormat)
{
    std::string error;
    ASSERT_TRUE(session_.Start({}, error)) << error;
    camctl::CameraControl control;
    ASSERT_TRUE(NT_SUCCESS(control.Open(session_.Camera(0).link)));
    camctl::FrameStream stream;
    ASSERT_TRUE(stream.Open(control.Filter(), error)) << error;
    EXPECT_EQ(stream.Format().width, 752);
    EXPECT_EQ(stream.Format().height, 480);
    EXPECT_TRUE(stream.Format().bottomUp);
    LONG pinOpen = 0;
    ASSERT_TRUE(NT_SUCCESS(control.Get(CameraProperty::PinOpen, pinOpen)));
    EXPECT_EQ(pinOpen, 1);

    camctl::FrameStatistics statistics;
    std::vector<std::uint64_t> seen;
    ASSERT_TRUE(stream.Read(
        2, 5000, 3,
        [&](const camctl::Frame& frame) {
            seen.push_back(frame.index);
            EXPECT_EQ(frame.bgra.size(), 752u * 480u * 4u);
            EXPECT_TRUE(frame.complete);
            return true;
        },
        nullptr, statistics, error))
        << error;
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(statistics.delivered, 2u);
    stream.Close();
    ASSERT_TRUE(NT_SUCCESS(control.Get(CameraProperty::PinOpen, pinOpen)));
    EXPECT_EQ(pinOpen, 0);
}

TEST(CamctlFrames, TopDownTurnsBottomUpRowsAround)
{
    camctl::FrameFormat format;
    format.width = 2;
    format.height = 3;
    format.bottomUp = true;
    // Rows of 8 bytes with a 12-byte pitch; the first row in memory is the bottom one.
    std::vector<std::uint8_t> data(36, 0);
    for (int row = 0; row < 3; ++row) {
        for (int i = 0; i < 8; ++i) {
            data[row * 12 + i] = static_cast<std::uint8_t>(10 * row + i);
        }
    }
    std::vector<std::uint8_t> out = camctl::TopDown(data.data(), data.size(), format, 12);
    ASSERT_EQ(out.size(), 24u);
    EXPECT_EQ(out[0], 20);   // top row = last in memory
    EXPECT_EQ(out[8], 10);
    EXPECT_EQ(out[16], 0);
    EXPECT_EQ(out[23], 7);

    // A short frame leaves the rows it did not reach black.
    std::vector<std::uint8_t> partial = camctl::TopDown(data.data(), 12, format, 12);
    EXPECT_EQ(partial[0], 0);
    EXPECT_EQ(partial[8], 0);
    EXPECT_EQ(partial[17], 1);

    format.bottomUp = false;
    std::vector<std::uint8_t> same = camctl::TopDown(data.data(), data.size(), format, 12);
    EXPECT_EQ(same[0], 0);
    EXPECT_EQ(same[16], 20);
}

TEST(CamctlFrames, BgraToRgbSwapsAndDropsAlpha)
{
    std::vector<std::uint8_t> rgb = camctl::BgraToRgb({1, 2, 3, 255, 4, 5, 6, 255});
    EXPECT_EQ(rgb, (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4}));
}

TEST(CamctlText, ParsesValues)
{
    EXPECT_EQ(camctl::ParseValue("480"), 480);
    EXPECT_EQ(camctl::ParseValue("-5"), -5);
    EXPECT_EQ(camctl::ParseValue("0x1F"), 31);
    EXPECT_EQ(camctl::ParseValue("0xFFFFFFFF"), -1);
    EXPECT_EQ(camctl::ParseValue("-2147483648"), INT32_MIN);
    EXPECT_FALSE(camctl::ParseValue("-2147483649"));
    EXPECT_FALSE(camctl::ParseValue("0x100000000"));
    EXPECT_FALSE(camctl::ParseValue("12abc"));
    EXPECT_FALSE(camctl::ParseValue(""));
    EXPECT_FALSE(camctl::ParseValue("-"));
    EXPECT_FALSE(camctl::ParseValue("0x"));
}

TEST(CamctlText, DescribesWhatASetDid)
{
    EXPECT_EQ(camctl::DescribeSet("RedGain", 600, 512, 1, 512), "RedGain: 600 clamped to 512");
    EXPECT_EQ(camctl::DescribeSet("RedGain", 0, 1, 1, 512), "RedGain: 0 clamped to 1");
    EXPECT_EQ(camctl::DescribeSet("RedGain", 200, 200, 1, 512), "RedGain: 200");
    // Automatic exposure may move a value that was inside the range.
    EXPECT_EQ(camctl::DescribeSet("Exposure", 300, 1, 1, 32767), "Exposure: 300 reads back as 1");
    EXPECT_EQ(camctl::DescribeSet("Timeout", 500, 3000, std::nullopt, std::nullopt),
              "Timeout: 500 reads back as 3000");
    EXPECT_EQ(camctl::DescribeSet("Reserved47", 1, std::nullopt, std::nullopt, std::nullopt),
              "Reserved47: 1 (write-only, not read back)");
}

}  // namespace
}  // namespace camctltest
