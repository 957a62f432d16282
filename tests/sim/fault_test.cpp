// Faults switched on at run time, the packet log and the statistics.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "sim_test_support.h"

namespace {

using simtest::MakePacket;
using simtest::TestHost;

TEST(SimFaults, FailedCommandsAreNotProcessed)
{
    TestHost host;
    host.camera.FailNextCommands(1);
    EXPECT_EQ(host.Send(MakePacket({0x04, 0x0B, 0x00, 0x10})), usbd::EndpointResult::Error);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 480);
    EXPECT_EQ(host.Send(MakePacket({0x04, 0x0B, 0x00, 0x10})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 0x10);
    EXPECT_EQ(host.camera.Log().Count(sim::LogKind::Refused), 1u);
    EXPECT_EQ(host.camera.Statistics().refusedCommands, 1u);
}

TEST(SimFaults, StalledCommandPipeStaysHaltedUntilCleared)
{
    TestHost host;
    host.camera.StallEndpoint(0x01);
    EXPECT_EQ(host.Send(MakePacket({0x04, 0x0B, 0x00, 0x10})), usbd::EndpointResult::Stall);
    EXPECT_EQ(host.Send(MakePacket({0x04, 0x0B, 0x00, 0x10})), usbd::EndpointResult::Stall);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 480);
    host.camera.ClearHalt(0x01);
    EXPECT_EQ(host.Send(MakePacket({0x04, 0x0B, 0x00, 0x10})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 0x10);
}

TEST(SimFaults, FailedCommandAsStallHaltsThePipe)
{
    TestHost host;
    host.camera.FailNextCommands(1, usbd::EndpointResult::Stall);
    EXPECT_EQ(host.Send(MakePacket({0x06})), usbd::EndpointResult::Stall);
    EXPECT_EQ(host.Send(MakePacket({0x06})), usbd::EndpointResult::Stall) << "halted";
    host.camera.ClearHalt(0x01);
    EXPECT_EQ(host.Send(MakePacket({0x06})), usbd::EndpointResult::Ok);
}

TEST(SimFaults, InEndpointFailuresGoToThePortInOrder)
{
    TestHost host;
    host.camera.StallEndpoint(0x83);
    host.camera.FailNextIn(0x82, usbd::EndpointResult::Error);
    auto failures = host.port.Failures();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0], std::make_pair(std::uint8_t{0x83}, usbd::EndpointResult::Stall));
    EXPECT_EQ(failures[1], std::make_pair(std::uint8_t{0x82}, usbd::EndpointResult::Error));
}

TEST(SimFaults, LostRepliesNeverComeThenReadsWorkAgain)
{
    TestHost host;
    host.camera.LoseReplies(1);
    host.Send(MakePacket({0x0C, 0x00}));
    EXPECT_EQ(host.port.Queued(0x82), 0u);
    EXPECT_EQ(host.ReadSensor(0x00), 0x1313);
    EXPECT_EQ(host.camera.Statistics().repliesLost, 2u);
}

TEST(SimFaults, LostSecondReplyLeavesOnlyTheAcknowledgement)
{
    TestHost host;
    host.camera.LoseReplies(1, sim::ReplyLoss::Second);
    host.Send(MakePacket({0x26, 0x0F}));
    auto only = host.port.Take(0x82);
    ASSERT_TRUE(only);
    EXPECT_EQ((*only)[0], 0x26);
    EXPECT_EQ(host.port.Queued(0x82), 0u);
}

TEST(SimFaults, RewrittenRepliesReachThePortForEveryKindOfRead)
{
    // Each read's two replies go through the rewriter, which sees the command; writes, which
    // have no replies, never reach it.
    struct Read {
        sim::Packet command;
    };
    const std::vector<Read> reads = {
        {MakePacket({0x0C, 0x00})},
        {MakePacket({0x26, 0x0F})},
        {MakePacket({0x41, 0x51, 0x02, 0x01, 0x00, 0x10})},
    };
    for (const Read& read : reads) {
        SCOPED_TRACE(static_cast<int>(read.command[0]));
        TestHost host;
        std::vector<std::uint8_t> seen;
        host.camera.RewriteReplies(
            [&seen](const sim::Packet& command, sim::Packet& first, sim::Packet& second) {
                seen.push_back(command[0]);
                first.fill(0xA1);
                second.fill(0xB2);
            });
        host.WriteSensor(0x0B, 0x10);
        ASSERT_EQ(host.Send(read.command), usbd::EndpointResult::Ok);
        auto first = host.port.Take(sim::kReplyEndpoint);
        auto second = host.port.Take(sim::kReplyEndpoint);
        ASSERT_TRUE(first && second);
        EXPECT_EQ(*first, simtest::Bytes(sim::kPacketSize, 0xA1));
        EXPECT_EQ(*second, simtest::Bytes(sim::kPacketSize, 0xB2));
        EXPECT_EQ(seen, std::vector<std::uint8_t>{read.command[0]});

        host.camera.RewriteReplies(nullptr);
        EXPECT_EQ(host.ReadSensor(0x0B), 0x10) << "the firmware's own replies again";
    }
}

TEST(SimFaults, LateRepliesComeAfterTheDelay)
{
    TestHost host;
    host.camera.DelayReplies(1, std::chrono::milliseconds(30));
    host.Send(MakePacket({0x0C, 0x00}));
    host.camera.WaitIdle();
    auto first = host.port.Take(0x82);
    auto second = host.port.Take(0x82);
    ASSERT_TRUE(first && second);
    EXPECT_EQ((*second)[0], 0x13);
    EXPECT_EQ(host.camera.Statistics().repliesDelayed, 2u);
}

TEST(SimFaults, DroppedFrameNeverComes)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.camera.DropFrames(1);
    EXPECT_FALSE(host.ReadFrame());
    EXPECT_TRUE(host.ReadFrame());
    auto frames = host.camera.Log().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].kind, sim::LogKind::FrameDropped);
    EXPECT_EQ(frames[1].kind, sim::LogKind::Frame);
    EXPECT_EQ(frames[1].frame, 2u);
}

TEST(SimFaults, ShortFrameEndsEarly)
{
    TestHost host;
    host.ProgramWindow(0, 0, 752, 480, 0);
    host.camera.ShortenFrames(1, 100'000);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 100'000u);
    EXPECT_EQ(host.ReadFrame().value_or(simtest::Bytes{}).size(), 362'496u);
    EXPECT_EQ(host.camera.Statistics().framesShortened, 1u);
}

TEST(SimFaults, AlwaysOnFaultLastsUntilCleared)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.camera.DropFrames(sim::kAlways);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(host.ReadFrame());
    }
    host.camera.ClearFaults();
    EXPECT_TRUE(host.ReadFrame());
}

TEST(SimFaults, LateFrameComesAfterTheDelay)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.camera.DelayFrames(1, std::chrono::milliseconds(30));
    EXPECT_FALSE(host.ReadFrame());
    host.camera.WaitIdle();
    EXPECT_TRUE(host.port.Take(0x83));
}

TEST(SimFaults, NextRequestFlushesAStaleLateFrame)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.WriteSensor(0x0B, 1);  // a dark frame, to tell the two apart
    host.camera.DelayFrames(1, std::chrono::milliseconds(10));
    host.ReadFrame();
    host.camera.WaitIdle();
    ASSERT_EQ(host.port.Queued(0x83), 1u);
    host.WriteSensor(0x0B, 480);
    auto frame = host.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_GT((*frame)[0], 10) << "the new frame, not the stale one";
    EXPECT_EQ(host.port.Queued(0x83), 0u);
}

TEST(SimFaults, AFrameRequestFlushesBeforeItsTransferCompletesWhileALateFrameIsBeingSent)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.camera.DelayFrames(1, std::chrono::milliseconds(20));
    host.port.HoldNextSend();
    // The held send goes 50 ms after it is held, on whichever thread it is held: on a slow
    // machine the late frame can leave while this thread is still sending its requests.
    std::thread release([&] {
        host.port.WaitForHeldSend(std::chrono::seconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        host.port.ReleaseHeldSend();
    });
    host.ReadFrame();  // the late frame leaves on the camera's own thread...
    EXPECT_TRUE(host.port.WaitForHeldSend(std::chrono::seconds(5)));
    // ...and is still in the port call when the next request comes. The request's flush must
    // be done when its transfer completes, or the late bytes would fill the next reads.
    const int flushesBefore = host.port.Flushes(sim::kFrameEndpoint);
    host.Send(MakePacket({0x02}));
    const int flushesAfter = host.port.Flushes(sim::kFrameEndpoint);
    release.join();
    EXPECT_EQ(flushesAfter, flushesBefore + 1);
    host.camera.WaitIdle();
    EXPECT_EQ(host.port.Queued(sim::kFrameEndpoint), 1u) << "only the new frame";
}

TEST(SimFaults, RemovalInTheMiddleOfAFrame)
{
    TestHost host;
    host.ProgramWindow(0, 0, 752, 480, 0);
    std::promise<std::thread::id> unplugged;
    host.camera.RemoveDuringNextFrame(131'072, [&] {
        host.port.Note("unplug");
        host.camera.Detached();  // what the hub does when the device is pulled
        unplugged.set_value(std::this_thread::get_id());
    });
    host.ReadFrame();
    auto future = unplugged.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_NE(future.get(), std::this_thread::get_id()) << "not inside a call from the host";
    auto events = host.port.Events();
    auto partial = std::find(events.begin(), events.end(), "send 131 131072");
    auto unplug = std::find(events.begin(), events.end(), "unplug");
    ASSERT_NE(partial, events.end());
    ASSERT_NE(unplug, events.end());
    EXPECT_LT(partial, unplug) << "the partial frame is on the bus before the device goes";
    EXPECT_FALSE(host.camera.IsAttached());
    EXPECT_EQ(host.camera.Statistics().framesCutByRemoval, 1u);
}

TEST(SimFaults, ReattachAfterRemovalWorks)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    std::promise<void> unplugged;
    host.camera.RemoveDuringNextFrame(0, [&] {
        host.camera.Detached();
        unplugged.set_value();
    });
    host.ReadFrame();
    ASSERT_EQ(unplugged.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    simtest::FakePort second;
    host.camera.Attached(&second);
    host.camera.SetConfiguration(1);
    host.camera.Log().Clear();
    host.Send(MakePacket({0x02}));
    auto frame = second.Take(0x83);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 0x58800u) << "power-on transfer size after the new attach";
    host.camera.Detached();
}

TEST(SimPacketLog, RecordsCommandsRepliesAndFramesInOrder)
{
    TestHost host;
    host.ProgramWindow(0, 0, 64, 64, 0);
    host.camera.Log().Clear();
    host.WriteSensor(0x35, 40);
    host.ReadSensor(0x35);
    host.ReadFrame();
    auto entries = host.camera.Log().Entries();
    std::vector<sim::LogKind> kinds;
    for (const auto& e : entries) {
        kinds.push_back(e.kind);
    }
    using K = sim::LogKind;
    std::vector<K> expected = {K::Command, K::Command, K::Reply, K::Reply,
                               K::Command, K::Frame,   K::Command, K::Command};
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(entries[0].bytes.size(), 64u);
    EXPECT_EQ(entries[0].bytes[0], 0x04);
    EXPECT_EQ(entries[0].bytes[3], 40);
    EXPECT_EQ(entries[5].size, 4096u);
    EXPECT_EQ(host.camera.Log().Commands(0x02).size(), 2u);
    auto stats = host.camera.Statistics();
    EXPECT_EQ(stats.commandsByOpcode[0x0C], 2u) << "the window programming read 0x0D once";
    EXPECT_EQ(stats.framesSent, 1u);
}

}  // namespace
