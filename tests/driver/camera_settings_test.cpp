// The settings record's clamps, and camera-side settings reaching the sensor and the bridge.
#include "camera_fixture.h"

namespace cameratest {
namespace {

class CameraSettingsTest : public OneCameraTest {
protected:
    std::uint16_t Sensor(std::uint8_t reg) const { return plugged_->camera->PeekSensorRegister(reg); }

};

TEST_F(CameraSettingsTest, ProcessorSideValuesAreClampedAndReachTheProcessor)
{
    device_->SetRedGain(0);
    EXPECT_EQ(device_->GetRedGain(), 1);
    device_->SetRedGain(600);
    EXPECT_EQ(device_->GetRedGain(), 512);
    device_->SetRedGain(-5);
    EXPECT_EQ(device_->GetRedGain(), 1);
    device_->SetHue(360);
    EXPECT_EQ(device_->GetHue(), 359);
    device_->SetBrightness(-1);
    EXPECT_EQ(device_->GetBrightness(), 0);
    device_->SetBrightness(511);
    EXPECT_EQ(device_->GetBrightness(), 510);
    device_->SetContrast(21);
    EXPECT_EQ(device_->GetContrast(), 20);
    device_->SetSaturation(-3);
    EXPECT_EQ(device_->GetSaturation(), 0);
    // The getters refresh from the processor, which holds the clamped values too.
    EXPECT_EQ(device_->Processor->GetBrightness(), 510);
}

TEST_F(CameraSettingsTest, SwitchingWhiteBalanceOffKeepsTheProcessorsGains)
{
    device_->SetWhiteBalance(1);
    device_->Processor->SetRedGain(200);
    device_->Processor->SetBlueGain(90);
    EXPECT_EQ(device_->GetRedGain(), 200);  // read from the processor while automatic
    device_->SetWhiteBalance(0);
    EXPECT_EQ(device_->Settings.RedGain, 200);
    EXPECT_EQ(device_->Settings.BlueGain, 90);
}

TEST_F(CameraSettingsTest, ExposureAndGainAreClampedOnTheSensor)
{
    device_->SetExposure(0);
    EXPECT_EQ(Sensor(0x0B), 1);
    device_->SetExposure(40000);
    EXPECT_EQ(Sensor(0x0B), 0x7FFF);
    EXPECT_EQ(device_->Settings.Exposure, 0x7FFFu);
    device_->SetGlobalGain(63);
    EXPECT_EQ(Sensor(0x35), 79);
    device_->SetGlobalGain(100);
    EXPECT_EQ(Sensor(0x35), 79);
    EXPECT_EQ(device_->Settings.GlobalGain, 63u);
}

TEST_F(CameraSettingsTest, GainReadBackSubtractsTheOffset)
{
    plugged_->camera->PokeSensorRegister(0x35, 16);
    EXPECT_EQ(device_->GetGlobalGain(), 0u);
    plugged_->camera->PokeSensorRegister(0x35, 79);
    EXPECT_EQ(device_->GetGlobalGain(), 63u);
    plugged_->camera->PokeSensorRegister(0x35, 10);
    EXPECT_EQ(device_->GetGlobalGain(), 10u);
}

TEST_F(CameraSettingsTest, ClockOutsideItsRangeSelectsClockZeroAndReprogramsTheSensor)
{
    device_->SetClock(3);
    EXPECT_EQ(plugged_->camera->PeekBridgeRegister(0x0F), 3);
    plugged_->camera->Log().Clear();
    device_->SetClock(6);
    EXPECT_EQ(plugged_->camera->PeekBridgeRegister(0x0F), 0);
    EXPECT_EQ(device_->GetClock(), 0);
    // The sensor was initialised again: its soft reset is among the packets.
    bool reset = false;
    for (const sim::Packet& packet : plugged_->camera->Log().Commands(sim::opcode::kWriteSensor)) {
        reset = reset || (packet[1] == 0x0C && packet[3] == 1);
    }
    EXPECT_TRUE(reset);
}

TEST_F(CameraSettingsTest, FlipsAndAutomaticControlsAreReadModifyWrite)
{
    plugged_->camera->PokeSensorRegister(0x0D, 0x0305);
    device_->SetFlipH(7);
    EXPECT_EQ(Sensor(0x0D), 0x0325);
    EXPECT_EQ(device_->Settings.FlipH, 1u);
    device_->SetFlipV(1);
    device_->SetFlipH(0);
    EXPECT_EQ(Sensor(0x0D), 0x0315);
    EXPECT_EQ(device_->GetFlipV(), 1u);
    EXPECT_EQ(device_->GetFlipH(), 0u);

    plugged_->camera->PokeSensorRegister(0xAF, 0x00F0);
    device_->SetAGC(5);
    EXPECT_EQ(Sensor(0xAF), 0x00F2);
    EXPECT_EQ(device_->Settings.AGC, 5u);  // stored as given
    device_->SetAGC(0);
    EXPECT_EQ(Sensor(0xAF), 0x0000);  // switching off also clears bits 15..4
    device_->SetAEC(1);
    EXPECT_EQ(Sensor(0xAF), 0x0001);
    EXPECT_EQ(device_->GetAEC(), 1u);
    EXPECT_EQ(device_->GetAGC(), 0u);
}

TEST_F(CameraSettingsTest, SwitchingAutomaticExposureOffReadsTheExposureBack)
{
    device_->SetExposure(300);
    device_->SetAEC(1);
    plugged_->camera->PokeSensorRegister(0x0B, 0x8123);  // what the automatic control chose
    device_->SetAEC(0);
    EXPECT_EQ(device_->Settings.Exposure, 0x0123u);
}

TEST_F(CameraSettingsTest, ExternalTriggerProgramsBridgeAndSensor)
{
    ASSERT_TRUE(device_->ApplyExTrigger(true));
    EXPECT_EQ(plugged_->camera->PeekBridgeRegister(0x0B), 1);
    EXPECT_EQ(Sensor(0x07), 0x0398);
    EXPECT_EQ(Sensor(0x20) & 0x0204, 0x0204);
    EXPECT_EQ(Sensor(0x47) & 1, 1);
    EXPECT_EQ(device_->GetExTrigger(), 1u);
    device_->SetExTrigger(0);
    EXPECT_EQ(Sensor(0x07), 0x0388);
    EXPECT_EQ(Sensor(0x20) & 0x0204, 0);
    EXPECT_EQ(device_->GetExTrigger(), 0u);
}

TEST_F(CameraSettingsTest, FailedCameraWriteLeavesTheCachedValue)
{
    device_->SetExposure(200);
    plugged_->camera->FailNextCommands(1);
    EXPECT_FALSE(device_->SetExposure(900));
    EXPECT_EQ(device_->Settings.Exposure, 200u);
    EXPECT_EQ(Sensor(0x0B), 200);

    plugged_->camera->FailNextCommands(1);
    device_->SetClock(2);
    EXPECT_EQ(device_->Settings.Clock, 0);

    // A failed read keeps the cached flag (a short frame time-out bounds the lost reply).
    device_->SetFlipH(1);
    device_->SetTimeout(100);
    plugged_->camera->LoseReplies(1);
    EXPECT_EQ(device_->GetFlipH(), 1u);
    device_->SetTimeout(3000);
}

TEST_F(CameraSettingsTest, TimeoutIsStoredAsGiven)
{
    device_->SetTimeout(1234);
    EXPECT_EQ(device_->GetTimeout(), 1234u);
    device_->SetTimeout(3000);
}

}  // namespace
}  // namespace cameratest
