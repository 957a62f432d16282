// Stalls, bus errors, port status and reset, refused submissions, a disabled port and the
// device going away with transfers outstanding.
#include "usbd_test_function.h"

namespace {

using usbd::EndpointResult;
using usbdtest::PortTest;
using usbdtest::Transfer;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class UsbFault : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
    }
    void Send(UCHAR endpoint, std::size_t size)
    {
        function.Port()->SendIn(endpoint, std::vector<std::uint8_t>(size, 0x5A));
    }
    std::uint8_t buffer[512] = {};
};

TEST_F(UsbFault, InStallHaltsThePipeUntilItIsReset)
{
    Transfer stalled, queued;
    ASSERT_EQ(stalled.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_EQ(queued.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);
    function.Port()->FailNextIn(usbdtest::kReplyIn, EndpointResult::Stall);
    ASSERT_TRUE(stalled.Wait());
    EXPECT_EQ(stalled.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.UrbStatus(), USBD_STATUS_STALL_PID);
    // What was queued behind it and what comes later fails on the halted pipe.
    ASSERT_TRUE(queued.Wait());
    EXPECT_EQ(queued.UrbStatus(), USBD_STATUS_ENDPOINT_HALTED);
    Transfer later;
    EXPECT_EQ(later.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(later.UrbStatus(), USBD_STATUS_ENDPOINT_HALTED);
    // Other pipes are not affected.
    Transfer command;
    ASSERT_EQ(command.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(command.Wait());
    EXPECT_EQ(command.Status(), STATUS_SUCCESS);

    ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, ReplyPipe()),
              STATUS_SUCCESS);
    EXPECT_EQ(function.ClearedHalts(), std::vector<std::uint8_t>{usbdtest::kReplyIn});
    Send(usbdtest::kReplyIn, 64);
    Transfer recovered;
    ASSERT_EQ(recovered.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(recovered.Wait());
    EXPECT_EQ(recovered.Status(), STATUS_SUCCESS);
    EXPECT_EQ(recovered.Moved(), 64u);
}

TEST_F(UsbFault, ClearStallAloneLeavesTheHostSideHalted)
{
    function.QueueOutResult(EndpointResult::Stall);
    Transfer stalled;
    ASSERT_EQ(stalled.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(stalled.Wait());
    EXPECT_EQ(stalled.UrbStatus(), USBD_STATUS_STALL_PID);
    EXPECT_TRUE(function.Outs().empty());

    ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_CLEAR_STALL, CommandPipe()), STATUS_SUCCESS);
    EXPECT_EQ(function.ClearedHalts(), std::vector<std::uint8_t>{usbdtest::kCommandOut});
    Transfer still;
    EXPECT_EQ(still.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_UNSUCCESSFUL);

    ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, CommandPipe()), STATUS_SUCCESS);
    EXPECT_EQ(function.ClearedHalts().size(), 1u);  // the host-side reset sends nothing
    Transfer works;
    ASSERT_EQ(works.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(works.Wait());
    EXPECT_EQ(works.Status(), STATUS_SUCCESS);
}

TEST_F(UsbFault, BusErrorFailsJustThatTransfer)
{
    function.Port()->FailNextIn(usbdtest::kFrameIn, EndpointResult::Error);
    Send(usbdtest::kFrameIn, 100);
    Transfer failed, next;
    ASSERT_EQ(failed.Start(pdo, FramePipe(), kIn, buffer, nullptr, 512), STATUS_PENDING);
    ASSERT_EQ(next.Start(pdo, FramePipe(), kIn, buffer, nullptr, 512), STATUS_PENDING);
    ASSERT_TRUE(failed.Wait() && next.Wait());
    EXPECT_EQ(failed.UrbStatus(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(failed.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(next.Status(), STATUS_SUCCESS);
    EXPECT_EQ(next.Moved(), 100u);  // the message was not consumed by the failed transfer

    function.QueueOutResult(EndpointResult::Error);
    Transfer outFailed, outNext;
    ASSERT_EQ(outFailed.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_EQ(outNext.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(outFailed.Wait() && outNext.Wait());
    EXPECT_EQ(outFailed.UrbStatus(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(outNext.Status(), STATUS_SUCCESS);
}

TEST_F(UsbFault, PortStatusAndResetKeepTheConfiguration)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(PortStatus(&status), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    EXPECT_EQ(status, STATUS_SUCCESS);

    // A halted pipe and unread data are gone after the reset; the handles stay valid.
    function.Port()->FailNextIn(usbdtest::kReplyIn, EndpointResult::Stall);
    Transfer stalled;
    ASSERT_EQ(stalled.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(stalled.Wait());
    Send(usbdtest::kFrameIn, 64);

    EXPECT_EQ(usbdtest::SendInternal(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(function.PortResets(), 1);
    EXPECT_EQ(function.Configurations(), (std::vector<std::uint8_t>{1, 1}));
    Send(usbdtest::kReplyIn, 10);
    Transfer reply, frame;
    ASSERT_EQ(reply.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(reply.Wait());
    EXPECT_EQ(reply.Status(), STATUS_SUCCESS);
    EXPECT_EQ(reply.Moved(), 10u);
    ASSERT_EQ(frame.Start(pdo, FramePipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);
    EXPECT_FALSE(frame.Wait(50));  // the frame data sent before the reset was lost
}

TEST_F(UsbFault, RefusedSubmissionsFailAtOnce)
{
    port->RefuseSubmissions(STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED, 2);
    Transfer one, two, third;
    EXPECT_EQ(one.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(one.UrbStatus(), USBD_STATUS_REQUEST_FAILED);
    EXPECT_EQ(one.Completions(), 1);
    EXPECT_EQ(two.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(third.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(third.Wait());
    EXPECT_EQ(function.Outs().size(), 1u);

    port->RefuseSubmissions(STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, CommandPipe()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, CommandPipe()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    port->AcceptSubmissions();
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, CommandPipe()), STATUS_SUCCESS);
}

TEST_F(UsbFault, DisabledPortFailsTransfersUntilReset)
{
    Transfer pending;
    ASSERT_EQ(pending.Start(pdo, FramePipe(), kIn, buffer, nullptr, 512), STATUS_PENDING);
    port->Disable();
    ASSERT_TRUE(pending.Wait());
    EXPECT_EQ(pending.UrbStatus(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(pending.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(PortStatus(), ULONG{USBD_PORT_CONNECTED});

    Transfer refused;
    EXPECT_EQ(refused.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, CommandPipe()),
              STATUS_UNSUCCESSFUL);

    EXPECT_EQ(usbdtest::SendInternal(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    Transfer works;
    ASSERT_EQ(works.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(works.Wait());
    EXPECT_EQ(works.Status(), STATUS_SUCCESS);
}

TEST_F(UsbFault, UnplugCompletesEverythingPendingAndFailsLaterRequests)
{
    Transfer frames[3];
    for (Transfer& frame : frames) {
        ASSERT_EQ(frame.Start(pdo, FramePipe(), kIn, buffer, nullptr, 512), STATUS_PENDING);
    }
    Transfer reply;
    ASSERT_EQ(reply.Start(pdo, ReplyPipe(), kIn, buffer, nullptr, 64), STATUS_PENDING);

    port->Unplug();
    for (Transfer* transfer : {&frames[0], &frames[1], &frames[2], &reply}) {
        EXPECT_TRUE(transfer->Done());
        EXPECT_EQ(transfer->Status(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(transfer->UrbStatus(), USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(transfer->CompletionIrql(), DISPATCH_LEVEL);
    }
    EXPECT_EQ(function.DetachedCount(), 1);
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(PortStatus(), 0u);

    Transfer later;
    EXPECT_EQ(later.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(later.UrbStatus(), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(usbdtest::SendInternal(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
    function.Port()->SendIn(usbdtest::kReplyIn, {1, 2, 3});  // ignored on an empty port
}

TEST_F(UsbFault, RemovalInTheMiddleOfATransfer)
{
    port->UnplugDuringNextTransfer();
    Transfer command;
    ASSERT_EQ(command.Start(pdo, CommandPipe(), 0, buffer, nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(command.Wait());
    EXPECT_EQ(command.Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(command.UrbStatus(), USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(function.Outs().empty());  // the command never reached the device
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(function.DetachedCount(), 1);

    Transfer frame;
    EXPECT_EQ(frame.Start(pdo, FramePipe(), kIn, buffer, nullptr, 512),
              STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
