// The bridge firmware through the command endpoint: exact packet bytes, register reads from the
// second reply, bridge registers, the data store and the frame sequence.
#include <gtest/gtest.h>

#include "sim_test_support.h"

namespace {

using simtest::Bytes;
using simtest::MakePacket;
using simtest::TestHost;

TEST(SimRegisters, SensorWriteDecodesTheDriversExactBytes)
{
    TestHost host;
    Bytes bytes = {0x04, 0x20, 0x01, 0xD5};
    bytes.resize(64, 0);
    ASSERT_EQ(host.camera.OutTransfer(0x01, bytes.data(), bytes.size()), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x20), 0x01D5);
    auto commands = host.camera.Log().Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), commands[0].begin()));
    EXPECT_EQ(host.port.Queued(0x82), 0u) << "writes are not answered";
}

TEST(SimRegisters, SensorReadAnswersTwoRepliesWithValueInSecond)
{
    TestHost host;
    ASSERT_EQ(host.Send(MakePacket({0x0C, 0x00})), usbd::EndpointResult::Ok);
    auto first = host.port.Take(0x82);
    auto second = host.port.Take(0x82);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), 64u);
    EXPECT_EQ(second->size(), 64u);
    EXPECT_EQ((*second)[0], 0x13);
    EXPECT_EQ((*second)[1], 0x13);
    EXPECT_EQ((*first)[0], 0x0C) << "the first reply acknowledges the command";
    EXPECT_EQ(host.port.Queued(0x82), 0u) << "exactly two replies";
}

TEST(SimRegisters, ChipVersionFollowsOptionsAndIsReadOnly)
{
    sim::CameraOptions options;
    options.chipVersion = 0x1324;
    TestHost host(options);
    EXPECT_EQ(host.ReadSensor(0x00), 0x1324);
    host.WriteSensor(0x00, 0x1313);
    EXPECT_EQ(host.ReadSensor(0x00), 0x1324);
}

TEST(SimRegisters, PowerOnValuesOfTheSensor)
{
    TestHost host;
    EXPECT_EQ(host.ReadSensor(0x01), 0);
    EXPECT_EQ(host.ReadSensor(0x02), 4);
    EXPECT_EQ(host.ReadSensor(0x03), 480);
    EXPECT_EQ(host.ReadSensor(0x04), 752);
    EXPECT_EQ(host.ReadSensor(0x07), 0x0388);
    EXPECT_EQ(host.ReadSensor(0x0B), 480);
    EXPECT_EQ(host.ReadSensor(0x0D).value_or(0) & 0x3F, 0) << "no sub-sampling, no flips";
    EXPECT_EQ(host.ReadSensor(0x35), 32);
}

TEST(SimRegisters, SoftResetRestoresPowerOnValues)
{
    TestHost host;
    host.WriteSensor(0x0B, 1234);
    host.WriteSensor(0x35, 70);
    host.WriteSensor(0x0C, 1);
    EXPECT_EQ(host.ReadSensor(0x0B), 480);
    EXPECT_EQ(host.ReadSensor(0x35), 32);
    EXPECT_EQ(host.ReadSensor(0x0C), 0) << "the reset bit clears itself";
}

TEST(SimRegisters, EveryRegisterKeepsAWrittenValue)
{
    TestHost host;
    host.WriteSensor(0xC2, 0x0840);
    host.WriteSensor(0x73, 0x02F7);
    EXPECT_EQ(host.ReadSensor(0xC2), 0x0840);
    EXPECT_EQ(host.ReadSensor(0x73), 0x02F7);
}

TEST(SimRegisters, BridgeWriteAndReadUseByteTwoAndSecondReplyByteZero)
{
    TestHost host;
    ASSERT_EQ(host.Send(MakePacket({0x25, 0x0F, 0x02})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekBridgeRegister(0x0F), 2);
    EXPECT_EQ(host.ReadBridge(0x0F), 2);
}

TEST(SimRegisters, TransferSizeComesFromBridgeRegistersLeastSignificantFirst)
{
    TestHost host;
    EXPECT_EQ(host.camera.TransferSize(), 0x58800u) << "power-on: full frame";
    host.WriteBridge(0x00, 0x00);
    host.WriteBridge(0x01, 0x68);
    host.WriteBridge(0x02, 0x01);
    host.WriteBridge(0x03, 0x00);
    EXPECT_EQ(host.camera.TransferSize(), 0x16800u);
    EXPECT_EQ(host.ReadBridge(0x01), 0x68);
}

TEST(SimRegisters, FrameCounterCountsFramesAndCanBeCleared)
{
    TestHost host;
    host.WriteBridge(0x0E, 0);
    ASSERT_TRUE(host.ReadFrame());
    ASSERT_TRUE(host.ReadFrame());
    EXPECT_EQ(host.ReadBridge(0x0E), 2);
    host.WriteBridge(0x0E, 0);
    EXPECT_EQ(host.ReadBridge(0x0E), 0);
}

TEST(SimRegisters, UnknownOpcodesAreIgnored)
{
    TestHost host;
    ASSERT_EQ(host.Send(MakePacket({0x77, 0x0B, 0x12, 0x34})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.port.Queued(0x82), 0u);
    EXPECT_EQ(host.port.Queued(0x83), 0u);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 480);
    EXPECT_EQ(host.camera.Statistics().unknownCommands, 1u);
    EXPECT_EQ(host.ReadSensor(0x00), 0x1313) << "the firmware still answers afterwards";
}

TEST(SimRegisters, LongTransferCarriesOneCommandPerSixtyFourBytes)
{
    TestHost host;
    Bytes bytes(128, 0);
    bytes[0] = 0x04, bytes[1] = 0x0B, bytes[2] = 0x01, bytes[3] = 0x00;
    bytes[64] = 0x25, bytes[65] = 0x0F, bytes[66] = 0x03;
    ASSERT_EQ(host.camera.OutTransfer(0x01, bytes.data(), bytes.size()), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 0x100);
    EXPECT_EQ(host.camera.PeekBridgeRegister(0x0F), 3);
}

TEST(SimRegisters, TransfersToOtherEndpointsStall)
{
    TestHost host;
    sim::Packet packet = MakePacket({0x04, 0x0B, 0, 5});
    EXPECT_EQ(host.camera.OutTransfer(0x02, packet.data(), packet.size()),
              usbd::EndpointResult::Stall);
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 480);
}

TEST(SimRegisters, PortResetReturnsToPowerOnButKeepsTheDataStore)
{
    TestHost host;
    host.WriteSensor(0x0B, 99);
    host.WriteBridge(0x0F, 4);
    host.camera.PokeDataStore(0x10, 0x42);
    host.camera.PortReset();
    EXPECT_FALSE(host.camera.Configured());
    EXPECT_EQ(host.camera.PeekSensorRegister(0x0B), 480);
    EXPECT_EQ(host.camera.PeekBridgeRegister(0x0F), 0);
    EXPECT_EQ(host.camera.PeekDataStore(0x10), 0x42);
}

TEST(SimDataStore, BlockWriteThenByteReads)
{
    TestHost host;
    // 40 51 02 n AH AL data...
    ASSERT_EQ(host.Send(MakePacket({0x40, 0x51, 0x02, 3, 0x01, 0x20, 0xAA, 0xBB, 0xCC})),
              usbd::EndpointResult::Ok);
    EXPECT_EQ(host.port.Queued(0x82), 0u);
    for (std::uint16_t i = 0; i < 3; ++i) {
        auto reply = host.ReadReply(
            MakePacket({0x41, 0x51, 0x02, 0x01, 0x01, static_cast<std::uint8_t>(0x20 + i)}));
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)[0], 0xAA + 0x11 * i);
    }
    EXPECT_EQ(host.camera.PeekDataStore(0x0123), 0xFF) << "beyond the block: erased";
}

TEST(SimDataStore, ReadOfSeveralBytesFillsTheSecondReply)
{
    TestHost host;
    host.camera.PokeDataStore(0x0300, 1);
    host.camera.PokeDataStore(0x0301, 2);
    auto reply = host.ReadReply(MakePacket({0x41, 0x51, 0x02, 0x02, 0x03, 0x00}));
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[0], 1);
    EXPECT_EQ((*reply)[1], 2);
}

TEST(SimDataStore, OneByteAddressForm)
{
    TestHost host;
    ASSERT_EQ(host.Send(MakePacket({0x40, 0x51, 0x01, 1, 0x44, 0x99})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekDataStore(0x44), 0x99);
}

TEST(SimDataStore, BlockIsLimitedToThePacket)
{
    TestHost host;
    sim::Packet packet{};
    packet[0] = 0x40, packet[1] = 0x51, packet[2] = 0x02, packet[3] = 200;
    for (std::size_t i = 6; i < 64; ++i) {
        packet[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_EQ(host.Send(packet), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekDataStore(57), 63) << "last payload byte";
    EXPECT_EQ(host.camera.PeekDataStore(58), 0xFF) << "nothing past the packet";
}

TEST(SimDataStore, OtherSelectorsWriteNothingAndReadFF)
{
    TestHost host;
    ASSERT_EQ(host.Send(MakePacket({0x40, 0x52, 0x02, 1, 0x00, 0x00, 0x12})),
              usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekDataStore(0), 0xFF);
    host.camera.PokeDataStore(0, 0x10);
    auto reply = host.ReadReply(MakePacket({0x41, 0x33, 0x02, 0x01, 0x00, 0x00}));
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[0], 0xFF);
}

TEST(SimDataStore, EmptyBlockFromTheDriverIsHarmless)
{
    TestHost host;
    ASSERT_EQ(host.Send(MakePacket({0x40})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.camera.PeekDataStore(0), 0xFF);
    EXPECT_EQ(host.camera.Statistics().unknownCommands, 0u);
}

TEST(SimFrameSequence, RequestBeginEndBrackets)
{
    TestHost host;
    EXPECT_EQ(host.camera.FrameSequenceState(), sim::FrameState::Idle);
    host.Send(MakePacket({0x02}));
    EXPECT_EQ(host.camera.FrameSequenceState(), sim::FrameState::Requested);
    EXPECT_EQ(host.port.Queued(0x83), 1u) << "the request starts the frame";
    host.Send(MakePacket({0x02}));
    EXPECT_EQ(host.camera.FrameSequenceState(), sim::FrameState::Open);
    EXPECT_EQ(host.port.Queued(0x83), 1u) << "the begin bracket asks for nothing more";
    host.Send(MakePacket({0x03}));
    EXPECT_EQ(host.camera.FrameSequenceState(), sim::FrameState::Idle);
    EXPECT_EQ(host.camera.Statistics().frameRequests, 1u);
}

TEST(SimFrameSequence, RequestAfterLostEndBracketStartsTheNextFrame)
{
    TestHost host;
    host.Send(MakePacket({0x02}));
    host.Send(MakePacket({0x02}));
    host.Send(MakePacket({0x02}));  // the end bracket never came
    EXPECT_EQ(host.camera.Statistics().frameRequests, 2u);
}

TEST(SimFrameSequence, StreamPreparationFlushesStaleFrameData)
{
    TestHost host;
    int before = host.port.Flushes(0x83);
    ASSERT_EQ(host.Send(MakePacket({0x0A, 0x01})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.port.Flushes(0x83), before + 1);
    ASSERT_EQ(host.Send(MakePacket({0x06})), usbd::EndpointResult::Ok);
    EXPECT_EQ(host.port.Flushes(0x83), before + 2);
}

}  // namespace
