// The packet protocol: exact bytes, replies, the shared channel under concurrent callers and a
// camera that stops answering.
#include "camera_fixture.h"

#include <atomic>
#include <thread>

namespace cameratest {
namespace {

class CommandChannelTest : public OneCameraTest {
protected:
    void SetUp() override
    {
        OneCameraTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        plugged_->camera->Log().Clear();
    }

    static sim::Packet PacketOf(std::initializer_list<int> head)
    {
        sim::Packet packet{};
        std::size_t i = 0;
        for (int byte : head) {
            packet[i++] = static_cast<std::uint8_t>(byte);
        }
        return packet;
    }

};

TEST_F(CommandChannelTest, PacketsCarryExactlyTheirBytes)
{
    ASSERT_TRUE(WriteSensorRegister(device_, 0x20, 0x1D5));
    ASSERT_TRUE(WriteBridgeRegister(device_, 0x0F, 0x102));
    UCHAR block[100];
    for (int i = 0; i < 100; ++i) {
        block[i] = static_cast<UCHAR>(i + 1);
    }
    ASSERT_TRUE(WriteDataBlock(device_, 100, block));
    ASSERT_TRUE(WriteDataBlock(device_, 0, block));
    SetRegisterAddress(device_, 0x1234);
    UCHAR byte = 0;
    ReadDataByte(device_, &byte);

    std::vector<sim::Packet> commands = plugged_->camera->Log().Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0], PacketOf({0x04, 0x20, 0x01, 0xD5}));
    EXPECT_EQ(commands[1], PacketOf({0x25, 0x0F, 0x02}));
    EXPECT_EQ(commands[2][0], 0x40);
    EXPECT_EQ(commands[2][63], 63);  // only the first 63 bytes of the block
    EXPECT_EQ(commands[3], PacketOf({0x40}));
    EXPECT_EQ(commands[4], PacketOf({0x41, 0x51, 0x02, 0x01, 0x12, 0x34}));
}

TEST_F(CommandChannelTest, ReadsTakeTheValueFromTheSecondReply)
{
    ULONG value = 0;
    ASSERT_TRUE(ReadSensorRegister(device_, 0x00, &value));
    EXPECT_EQ(value, 0x1313u);
    plugged_->camera->PokeDataStore(0x0042, 0x5A);
    SetRegisterAddress(device_, 0x42);
    UCHAR byte = 0;
    ReadDataByte(device_, &byte);
    EXPECT_EQ(byte, 0x5A);
    ASSERT_TRUE(ReadBridgeRegister(device_, 0x0F, &value));
    EXPECT_EQ(value, plugged_->camera->PeekBridgeRegister(0x0F));
}

TEST_F(CommandChannelTest, FailedReplyLeavesTheOutputAsItWas)
{
    device_->SetTimeout(100);
    plugged_->camera->LoseReplies(1);
    ULONG value = 0xABCD;
    EXPECT_FALSE(ReadSensorRegister(device_, 0x00, &value));
    EXPECT_EQ(value, 0xABCDu);
    device_->SetTimeout(3000);
}

TEST_F(CommandChannelTest, CameraThatStopsAnsweringFailsTheReadWithinTheBound)
{
    // The replies never come: the read is cancelled after the frame time-out instead of
    // blocking the caller for ever, and the getter answers from the cache.
    device_->SetTimeout(200);
    device_->SetExposure(321);
    plugged_->camera->LoseReplies(sim::kAlways);
    EXPECT_EQ(device_->GetExposure(), 321u);
    plugged_->camera->ClearFaults();
    device_->SetTimeout(3000);
}

TEST_F(CommandChannelTest, ConcurrentCallersNeverMixTheirPackets)
{
    std::atomic<bool> mismatch{false};
    std::thread flipper([&] {
        for (int i = 0; i < 60; ++i) {
            device_->SetFlipH(static_cast<ULONG>(i & 1));
            if (device_->GetFlipH() != static_cast<ULONG>(i & 1)) {
                mismatch = true;
            }
        }
    });
    std::thread exposer([&] {
        for (int i = 0; i < 60; ++i) {
            device_->SetExposure(static_cast<ULONG>(100 + i));
            if (device_->GetExposure() != static_cast<ULONG>(100 + i)) {
                mismatch = true;
            }
        }
    });
    flipper.join();
    exposer.join();
    EXPECT_FALSE(mismatch);
    // Every packet the camera saw is whole: nothing but zeros after each opcode's parameters.
    for (const sim::Packet& packet : plugged_->camera->Log().Commands()) {
        std::size_t used = packet[0] == 0x04 ? 4 : (packet[0] == 0x0C ? 2 : 64);
        for (std::size_t i = used; i < packet.size(); ++i) {
            ASSERT_EQ(packet[i], 0) << "opcode " << int(packet[0]);
        }
    }
    EXPECT_EQ(plugged_->camera->PeekSensorRegister(0x0B), 159);
}

// Faults that make a read fail while its replies still come, or stay queued: later reads must
// take their own replies, not the abandoned ones.
struct AbandonedReadCase {
    const char* name;
    void (*inject)(sim::Camera& camera);
    bool firstReadFails;  // false: the read that meets the fault recovers by itself
};

class AbandonedRead : public CommandChannelTest,
                      public testing::WithParamInterface<AbandonedReadCase> {};

TEST_P(AbandonedRead, LaterReadsTakeTheirOwnReplies)
{
    device_->SetTimeout(50);
    const std::uint8_t registers[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0B, 0x35, 0x0D};
    for (std::uint8_t reg : registers) {
        plugged_->camera->PokeSensorRegister(reg, static_cast<std::uint16_t>(0x100 + reg));
    }
    GetParam().inject(*plugged_->camera);
    ULONG value = 0;
    // The read that meets the fault reads the register the next read asks for too.
    EXPECT_EQ(ReadSensorRegister(device_, registers[0], &value) != FALSE,
              !GetParam().firstReadFails);
    plugged_->camera->WaitIdle();  // replies that come late are queued by now
    for (std::uint8_t reg : registers) {
        value = 0;
        EXPECT_TRUE(ReadSensorRegister(device_, reg, &value));
        EXPECT_EQ(value, 0x100u + reg) << "register " << int(reg);
    }
    ASSERT_TRUE(ReadBridgeRegister(device_, 0x0F, &value));
    EXPECT_EQ(value, plugged_->camera->PeekBridgeRegister(0x0F));
    device_->SetTimeout(3000);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AbandonedRead,
    testing::Values(
        AbandonedReadCase{"LateReplies",
                          [](sim::Camera& camera) {
                              camera.DelayReplies(1, std::chrono::milliseconds(120));
                          },
                          true},
        AbandonedReadCase{"FailedReplyTransfer",
                          [](sim::Camera& camera) {
                              camera.FailNextIn(0x82, usbd::EndpointResult::Error);
                          },
                          false}),
    [](const testing::TestParamInfo<AbandonedReadCase>& cell) { return cell.param.name; });

// A stalled pipe is reset and the packet sent again: the operation that met the stall and
// every later one succeed.
struct StallCase {
    const char* name;
    std::uint8_t endpoint;
};

class StalledPipe : public CommandChannelTest, public testing::WithParamInterface<StallCase> {};

TEST_P(StalledPipe, IsResetAndTheOperationsGoOn)
{
    plugged_->camera->StallEndpoint(GetParam().endpoint);
    ULONG value = 0;
    EXPECT_TRUE(ReadSensorRegister(device_, 0x00, &value));
    EXPECT_EQ(value, 0x1313u);
    EXPECT_TRUE(WriteSensorRegister(device_, 0x0B, 0x123));
    EXPECT_EQ(plugged_->camera->PeekSensorRegister(0x0B), 0x123);
    EXPECT_TRUE(ReadSensorRegister(device_, 0x0B, &value));
    EXPECT_EQ(value, 0x123u);
    EXPECT_GE(plugged_->camera->Statistics().haltsCleared, 1u);
}

INSTANTIATE_TEST_SUITE_P(Pipes, StalledPipe,
                         testing::Values(StallCase{"Command", 0x01}, StallCase{"Reply", 0x82}),
                         [](const testing::TestParamInfo<StallCase>& cell) {
                             return cell.param.name;
                         });

}  // namespace
}  // namespace cameratest
