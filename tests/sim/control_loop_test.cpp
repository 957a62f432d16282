// Automatic exposure and gain, external trigger and frame timing.
#include <gtest/gtest.h>

#include "sim/timing.h"
#include "sim_test_support.h"

namespace {

using simtest::TestHost;

sim::CameraOptions DarkScene()
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Flat({30, 30, 30});
    return options;
}

TEST(SimAutoExposure, ExposureClimbsTowardTheTargetAndReadBacksSeeIt)
{
    TestHost host(DarkScene());
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0xAF, 0x0001);
    std::uint16_t previous = host.ReadSensor(0x0B).value_or(0);
    ASSERT_EQ(previous, 480);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(host.ReadFrame());
        std::uint16_t now = host.ReadSensor(0x0B).value_or(0);
        EXPECT_GT(now, previous) << "frame " << i;
        previous = now;
    }
    EXPECT_EQ(host.ReadSensor(0x35), 32) << "gain stays while only exposure is automatic";
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(host.ReadFrame());
    }
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_NEAR((*frame)[0], sim::kDefaultBrightnessTarget, 6) << "settled near the target";
    EXPECT_GT(host.camera.Statistics().autoExposureSteps, 4u);
}

TEST(SimAutoExposure, ExposureFallsForABrightScene)
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Flat({250, 250, 250});
    TestHost host(options);
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0xAF, 0x0001);
    ASSERT_TRUE(host.ReadFrame());
    EXPECT_LT(host.ReadSensor(0x0B).value_or(0xFFFF), 480);
}

TEST(SimAutoExposure, GainMovesWhenOnlyGainIsAutomatic)
{
    TestHost host(DarkScene());
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0xAF, 0x0002);
    ASSERT_TRUE(host.ReadFrame());
    ASSERT_TRUE(host.ReadFrame());
    EXPECT_GT(host.ReadSensor(0x35).value_or(0), 32);
    EXPECT_EQ(host.ReadSensor(0x0B), 480);
}

TEST(SimAutoExposure, GainTakesOverWhenExposureIsAtItsLimit)
{
    sim::CameraOptions options;
    options.scene = sim::Scene::Flat({2, 2, 2});
    TestHost host(options);
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0xAF, 0x0003);
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(host.ReadFrame());
    }
    EXPECT_EQ(host.ReadSensor(0x0B), sim::kAutoExposureMax);
    EXPECT_GT(host.ReadSensor(0x35).value_or(0), 32);
}

TEST(SimAutoExposure, OffLeavesTheRegistersAlone)
{
    TestHost host(DarkScene());
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0xAF, 0x0000);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(host.ReadFrame());
    }
    EXPECT_EQ(host.ReadSensor(0x0B), 480);
    EXPECT_EQ(host.ReadSensor(0x35), 32);
}

TEST(SimAutoExposure, PowerOnHasBothLoopsOn)
{
    TestHost host;
    EXPECT_EQ(host.ReadSensor(0xAF).value_or(0) & 0x3, 0x3);
}

void EnterTriggerMode(TestHost& host)
{
    host.WriteBridge(0x0B, 1);
    host.WriteSensor(0x07, 0x0398);
}

TEST(SimTrigger, FramesComeOnlyWhenTriggered)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    EnterTriggerMode(host);
    EXPECT_FALSE(host.ReadFrame()) << "no trigger, no frame";
    host.camera.Trigger();
    auto frame = host.port.Take(0x83);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 4096u);
    EXPECT_FALSE(host.ReadFrame());
    EXPECT_EQ(host.camera.Statistics().framesSent, 1u);
}

TEST(SimTrigger, TriggerBeforeTheRequestIsHeldByTheBridge)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    EnterTriggerMode(host);
    host.camera.Trigger();
    host.camera.Trigger();  // one frame deep: the second pulse replaces the first
    EXPECT_EQ(host.port.Queued(0x83), 0u);
    EXPECT_TRUE(host.ReadFrame());
    EXPECT_FALSE(host.ReadFrame());
}

TEST(SimTrigger, PulsesAreIgnoredUnlessTheBridgeForwardsThemToASnapshotSensor)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0x07, 0x0398);  // sensor waits, bridge does not forward
    host.camera.Trigger();
    EXPECT_FALSE(host.ReadFrame());
    host.camera.Trigger();
    EXPECT_EQ(host.port.Queued(0x83), 0u);
    EXPECT_EQ(host.camera.Statistics().triggersIgnored, 2u);
}

TEST(SimTrigger, LeavingTriggerModeServesTheWaitingRequest)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    EnterTriggerMode(host);
    EXPECT_FALSE(host.ReadFrame());
    host.WriteSensor(0x07, 0x0388);
    EXPECT_TRUE(host.port.Take(0x83));
}

TEST(SimTiming, FrameTimeFollowsClockWindowBlankingAndExposure)
{
    sim::SensorRegisters sensor;
    sensor.Write(0x05, 94);
    sensor.Write(0x06, 45);
    // (752 + 94) clocks x (480 + 45) rows at clock 0.
    auto full = sim::FrameTime(sensor, 0);
    EXPECT_EQ(full.count(), 846LL * 525 * 1'000'000'000 / sim::kPixelClockHz[0]);
    EXPECT_GT(sim::FrameTime(sensor, 1), full) << "slower clock";
    EXPECT_EQ(sim::FrameTime(sensor, 9), full) << "unknown selections run at clock 0";
    sensor.Write(0x06, 200);
    EXPECT_GT(sim::FrameTime(sensor, 0), full) << "more vertical blanking";
    sensor.Write(0x06, 45);
    sensor.Write(0x0D, 0x000A);
    EXPECT_LT(sim::FrameTime(sensor, 0), full) << "sub-sampled read-out";
    sensor.Write(0x0D, 0);
    sensor.Write(0x0B, 2000);
    EXPECT_EQ(sim::FrameRows(sensor), 2000u) << "a long exposure stretches the frame";
}

TEST(SimTiming, RealTimeCameraDeliversRequestedFrames)
{
    sim::CameraOptions options;
    options.timing = sim::Timing::RealTime;
    TestHost host(options);
    host.ProgramWindow(0, 0, 64, 64, 0);
    for (int i = 0; i < 3; ++i) {
        auto frame = host.ReadFrame(std::chrono::seconds(5));
        ASSERT_TRUE(frame) << i;
        EXPECT_EQ(frame->size(), 4096u);
    }
    EXPECT_EQ(host.camera.Statistics().framesSent, 3u);
}

TEST(SimTiming, RealTimeTriggeredFrameComesAfterTheTrigger)
{
    sim::CameraOptions options;
    options.timing = sim::Timing::RealTime;
    TestHost host(options);
    host.ProgramWindow(0, 0, 64, 64, 0);
    EnterTriggerMode(host);
    EXPECT_FALSE(host.ReadFrame(std::chrono::milliseconds(50)));
    host.camera.Trigger();
    EXPECT_TRUE(host.port.Take(0x83, std::chrono::seconds(5)));
}

TEST(SimTiming, DetachStopsPendingRealTimeFrames)
{
    sim::CameraOptions options;
    options.timing = sim::Timing::RealTime;
    TestHost host(options);
    host.WriteBridge(0x0F, 5);     // slowest clock
    host.WriteSensor(0x0B, 30000);  // a long exposure: the frame is far away
    host.ReadFrame();
    host.camera.Detached();
    EXPECT_FALSE(host.camera.IsAttached());
    EXPECT_EQ(host.port.Queued(0x83), 0u);
    EXPECT_EQ(host.camera.Statistics().framesSent, 0u);
}

}  // namespace
