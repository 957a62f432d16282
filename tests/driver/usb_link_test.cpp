// The USB link's transfer checks and the mapping of the host stack's results.
#include "camera_fixture.h"

#include "device/pool_tags.h"

#include <array>
#include <chrono>
#include <thread>

namespace cameratest {
namespace {

class UsbLinkTest : public OneCameraTest {
protected:
    void SetUp() override
    {
        OneCameraTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_NE(device_->Link.InterfaceInfo, nullptr);
    }

    std::array<UCHAR, 4096> buffer_{};
};

TEST_F(UsbLinkTest, ConfigurationKeepsTheFirstInterfacesThreePipes)
{
    PUSBD_INTERFACE_INFORMATION info = device_->Link.InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[CommandPipe].EndpointAddress, 0x01);
    EXPECT_EQ(info->Pipes[ReplyPipe].EndpointAddress, 0x82);
    EXPECT_EQ(info->Pipes[FramePipe].EndpointAddress, 0x83);
    EXPECT_EQ(info->Pipes[FramePipe].MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_NE(device_->Link.PipeInUse, nullptr);
    EXPECT_NE(device_->Link.ConfigurationDescriptor, nullptr);
}

TEST_F(UsbLinkTest, BadPipeIndexesAndLengthsAreRefusedBeforeAnythingIsSent)
{
    ULONG moved = 99;
    EXPECT_EQ(PipeTransfer(&device_->Link, 3, 64, buffer_.data(), &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    plugged_->port->ClearPacketLog();
    device_->Link.InterfaceInfo->Pipes[CommandPipe].MaximumTransferSize = 64;
    EXPECT_EQ(PipeTransfer(&device_->Link, CommandPipe, 65, buffer_.data(), &moved),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(plugged_->port->PacketLog().empty());
}

TEST_F(UsbLinkTest, UrbErrorBecomesUnsuccessfulWithNothingMoved)
{
    plugged_->camera->FailNextIn(0x82, usbd::EndpointResult::Error);
    ULONG moved = 99;
    // A read's first reply transfer fails.
    std::array<UCHAR, 64> packet{};
    packet[0] = 0x0C;
    ASSERT_TRUE(SendPacket(device_, packet.data(), 64));
    NTSTATUS status = PipeTransfer(&device_->Link, ReplyPipe, 64, buffer_.data(), &moved, 1000);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(moved, 0u);
}

TEST_F(UsbLinkTest, ShortTransferSucceedsWithTheSmallerCount)
{
    SetRegionOfInterest(device_, 0, 0, 64, 32, 0);
    device_->StartSensor();
    plugged_->camera->ShortenFrames(1, 100);
    std::array<UCHAR, 64> request{};
    request[0] = 0x02;
    ASSERT_TRUE(SendPacket(device_, request.data(), 64));
    ULONG moved = 0;
    EXPECT_EQ(PipeTransfer(&device_->Link, FramePipe, 4096, buffer_.data(), &moved, 1000),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 100u);
}

TEST_F(UsbLinkTest, UnconfiguredLinkFailsTransfersAndStillSendsTheNullConfiguration)
{
    ASSERT_EQ(UnconfigureDevice(&device_->Link), STATUS_SUCCESS);
    EXPECT_FALSE(plugged_->camera->Configured());
    ULONG moved = 0;
    EXPECT_EQ(PipeTransfer(&device_->Link, CommandPipe, 64, buffer_.data(), &moved),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(UnconfigureDevice(&device_->Link), STATUS_SUCCESS);
    EXPECT_EQ(ConfigureDevice(&device_->Link), STATUS_SUCCESS);
    EXPECT_TRUE(plugged_->camera->Configured());
}

TEST_F(UsbLinkTest, AbortPipesSendsNothingWithoutMarks)
{
    plugged_->port->ClearPacketLog();
    EXPECT_EQ(AbortPipes(&device_->Link), STATUS_SUCCESS);
    EXPECT_TRUE(plugged_->port->PacketLog().empty());
}

TEST_F(UsbLinkTest, PortRecoveryResetsADisabledPort)
{
    plugged_->port->Disable();
    EXPECT_FALSE(plugged_->port->Enabled());
    RecoverPort(&device_->Link);
    EXPECT_TRUE(plugged_->port->Enabled());
    ULONG status = 0;
    EXPECT_EQ(GetPortStatus(&device_->Link, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(UsbLinkTest, ConfiguringAgainReplacesTheStoredConfiguration)
{
    auto linkBlocks = [] {
        std::size_t count = 0;
        for (const vf::PoolBlock& block : vf::OutstandingBlocks()) {
            count += block.tag == UsbPoolTag ? 1 : 0;
        }
        return count;
    };
    std::size_t before = linkBlocks();
    ASSERT_EQ(ConfigureDevice(&device_->Link), STATUS_SUCCESS);
    EXPECT_EQ(linkBlocks(), before);
    EXPECT_NE(device_->Link.InterfaceInfo, nullptr);
}

// Frame reads once the capture is stopped: whatever the order of the stop and the read, a
// read that begins after the stop sends nothing and ends at once, until reads are allowed.
class StoppedFrameReads : public UsbLinkTest {
protected:
    void SetUp() override
    {
        UsbLinkTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        SetRegionOfInterest(device_, 0, 0, 64, 32, 0);
        device_->StartSensor();
        raw_.assign(device_->Geometry.TransferSize, 0);
        // A camera that sends no frames: a read that waited would wait the whole time-out.
        plugged_->camera->DropFrames(sim::kAlways);
        plugged_->camera->Log().Clear();
    }

    void TearDown() override
    {
        AllowFrameReads(device_);
        UsbLinkTest::TearDown();
    }

    std::vector<UCHAR> raw_;
};

TEST_F(StoppedFrameReads, ReadBegunAfterTheStopEndsAtOnceWithoutSendingAnything)
{
    StopFrameReads(device_);
    EXPECT_EQ(ChunkedRead(device_, FramePipe, static_cast<ULONG>(raw_.size()), raw_.data()),
              STATUS_CANCELLED);
    BOOLEAN read = TRUE;
    EXPECT_FALSE(device_->ReadFrame(raw_.data(), &read));
    EXPECT_FALSE(read);
    EXPECT_TRUE(plugged_->camera->Log().Commands().empty());

    AllowFrameReads(device_);
    plugged_->camera->ClearFaults();
    EXPECT_TRUE(device_->ReadFrame(raw_.data(), &read));
}

TEST_F(StoppedFrameReads, FramePacketsWaitForTheCommandChannel)
{
    plugged_->camera->ClearFaults();
    AcquireCommandChannel(&device_->Channel);
    BOOLEAN read = FALSE;
    std::thread reader([&] { device_->ReadFrame(raw_.data(), &read); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // Held by another operation: the frame request is not sent in the middle of it.
    EXPECT_TRUE(plugged_->camera->Log().Commands().empty());
    ReleaseCommandChannel(&device_->Channel);
    reader.join();
    EXPECT_TRUE(read);
}

TEST_F(StoppedFrameReads, StopEndsAFramePacketWaitingForTheCommandChannel)
{
    AcquireCommandChannel(&device_->Channel);
    BOOLEAN read = TRUE;
    std::thread reader([&] { device_->ReadFrame(raw_.data(), &read); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    StopFrameReads(device_);
    reader.join();  // returns while the channel is still held
    ReleaseCommandChannel(&device_->Channel);
    EXPECT_FALSE(read);
    EXPECT_TRUE(plugged_->camera->Log().Commands().empty());
}

}  // namespace
}  // namespace cameratest
