// Stream start: the window, sub-sampling, blanking and transfer size the camera gets.
#include "camera_fixture.h"

namespace cameratest {
namespace {

class SensorStartTest : public OneCameraTest {
protected:
    void Start(LONG x, LONG y, LONG w, LONG h, ULONG mode)
    {
        SetRegionOfInterest(device_, x, y, w, h, mode);
        device_->StartSensor();
    }

    std::uint16_t Sensor(std::uint8_t reg) const { return plugged_->camera->PeekSensorRegister(reg); }
    std::uint32_t BridgeTransferSize() const
    {
        std::uint32_t size = 0;
        for (int i = 3; i >= 0; --i) {
            size = size << 8 | plugged_->camera->PeekBridgeRegister(static_cast<std::uint8_t>(i));
        }
        return size;
    }

};

TEST_F(SensorStartTest, FullFrame)
{
    Start(0, 0, 752, 480, 0);
    EXPECT_EQ(Sensor(0x0D) & 0xF, 0);
    EXPECT_EQ(Sensor(0x05), 64);
    EXPECT_EQ(Sensor(0x06), 45);
    EXPECT_EQ(Sensor(0x01), 0);
    EXPECT_EQ(Sensor(0x02), 4);
    EXPECT_EQ(Sensor(0x03), 480);
    EXPECT_EQ(Sensor(0x04), 752);
    EXPECT_EQ(device_->Geometry.TransferSize, 0x58800u);
    EXPECT_EQ(BridgeTransferSize(), 0x58800u);
    EXPECT_EQ(plugged_->camera->PeekBridgeRegister(0x01), 0x88);
    ULONG value = 0;
    device_->GetRawPitch(&value);
    EXPECT_EQ(value, 752u);
    device_->GetRawOffset(&value);
    EXPECT_EQ(value, 0u);
}

TEST_F(SensorStartTest, SubSamplingOne)
{
    Start(0, 0, 752, 480, 1);
    EXPECT_EQ(Sensor(0x0D) & 0xF, 0x5);
    EXPECT_EQ(Sensor(0x01), 0);
    EXPECT_EQ(Sensor(0x02), 2);
    EXPECT_EQ(Sensor(0x03), 480);
    EXPECT_EQ(Sensor(0x04), 752);
    EXPECT_EQ(Sensor(0x05), 284);
    EXPECT_EQ(BridgeTransferSize(), 92160u);
}

TEST_F(SensorStartTest, SubSamplingTwo)
{
    Start(0, 0, 752, 480, 2);
    EXPECT_EQ(Sensor(0x0D) & 0xF, 0xA);
    EXPECT_EQ(Sensor(0x02), 4);
    EXPECT_EQ(Sensor(0x05), 472);
    EXPECT_EQ(BridgeTransferSize(), 24576u);
}

TEST_F(SensorStartTest, HundredPixelWindow)
{
    Start(11, 7, 100, 50, 0);
    EXPECT_EQ(Sensor(0x05), 560);
    EXPECT_EQ(Sensor(0x01), 11);
    EXPECT_EQ(Sensor(0x02), 11);
    EXPECT_EQ(Sensor(0x03), 50);
    EXPECT_EQ(Sensor(0x04), 100);
    EXPECT_EQ(BridgeTransferSize(), 6144u);  // 5000 rounded up to 2048s
    EXPECT_EQ(device_->Settings.BayerPhase, 0u);
}

TEST_F(SensorStartTest, CachedSettingsAreAppliedAgain)
{
    device_->SetExposure(777);
    device_->SetGlobalGain(20);
    device_->SetFlipV(1);
    // Something else changed the sensor behind the driver's back.
    plugged_->camera->PokeSensorRegister(0x0B, 5);
    plugged_->camera->PokeSensorRegister(0x35, 16);
    plugged_->camera->PokeSensorRegister(0x0D, 0x0300);
    Start(0, 0, 752, 480, 0);
    EXPECT_EQ(Sensor(0x0B), 777);
    EXPECT_EQ(Sensor(0x35), 36);
    EXPECT_EQ(Sensor(0x0D) & 0x10, 0x10);
    // The stream preparation packet went out, followed by the frame counter reset.
    EXPECT_FALSE(plugged_->camera->Log().Commands(sim::opcode::kStreamPrepare).empty());
}

}  // namespace
}  // namespace cameratest
