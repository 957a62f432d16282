// Bulk transfers through the host controller: OUT data to the function in order, IN transfers
// filled from the function's messages, chunked reads into partial MDLs, cancellation and abort.
#include "usbd_test_function.h"

#include <numeric>

namespace {

using usbdtest::PortTest;
using usbdtest::Transfer;

constexpr ULONG kTestTag = 0x74736554;  // "Test"
constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class UsbTransfer : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
    }
    void Send(UCHAR endpoint, std::vector<std::uint8_t> message)
    {
        function.Port()->SendIn(endpoint, std::move(message));
    }
};

TEST_F(UsbTransfer, OutTransfersReachTheFunctionInOrderAndAreLogged)
{
    std::vector<std::vector<std::uint8_t>> packets;
    Transfer transfers[5];
    for (int i = 0; i < 5; ++i) {
        packets.push_back(Pattern(64, static_cast<std::uint8_t>(i)));
    }
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(transfers[i].Start(pdo, CommandPipe(), 0, packets[i].data(), nullptr, 64),
                  STATUS_PENDING);
    }
    for (Transfer& transfer : transfers) {
        ASSERT_TRUE(transfer.Wait());
        EXPECT_EQ(transfer.Status(), STATUS_SUCCESS);
        EXPECT_EQ(transfer.UrbStatus(), USBD_STATUS_SUCCESS);
        EXPECT_EQ(transfer.Moved(), 64u);
        EXPECT_EQ(transfer.Completions(), 1);
    }
    auto outs = function.Outs();
    ASSERT_EQ(outs.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(outs[i].endpoint, usbdtest::kCommandOut);
        EXPECT_EQ(outs[i].data, packets[i]);
        EXPECT_LT(transfers[i].Sequence(), i < 4 ? transfers[i + 1].Sequence() : 0xFFFFFFFF);
    }
    auto log = port->PacketLog();
    ASSERT_EQ(log.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(log[i].endpointAddress, usbdtest::kCommandOut);
        EXPECT_FALSE(log[i].in);
        EXPECT_EQ(log[i].requested, 64u);
        EXPECT_EQ(log[i].moved, 64u);
        EXPECT_EQ(log[i].status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(log[i].data, packets[i]);
    }
    port->ClearPacketLog();
    EXPECT_TRUE(port->PacketLog().empty());
}

TEST_F(UsbTransfer, SharedMessageIsReadAcrossTransfersWithZeroFillerPastItsBytes)
{
    // 300 stored bytes sent as a 400-byte message, twice from the same buffer.
    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(Pattern(300, 5));
    std::vector<std::uint8_t> expected = *bytes;
    expected.resize(400, 0);
    for (int round = 0; round < 2; ++round) {
        std::vector<std::uint8_t> headBytes(256, 0xEE);
        std::vector<std::uint8_t> tailBytes(256, 0xEE);
        Transfer head;
        Transfer tail;
        ASSERT_EQ(head.Start(pdo, ReplyPipe(), kIn, headBytes.data(), nullptr, 256), STATUS_PENDING);
        ASSERT_EQ(tail.Start(pdo, ReplyPipe(), kIn, tailBytes.data(), nullptr, 256), STATUS_PENDING);
        function.Port()->SendIn(usbdtest::kReplyIn, usbd::InMessage{bytes, 400});
        ASSERT_TRUE(head.Wait());
        ASSERT_TRUE(tail.Wait());
        EXPECT_EQ(head.Moved(), 256u);
        EXPECT_EQ(tail.Moved(), 144u);  // the message's end is the short packet
        EXPECT_TRUE(std::equal(headBytes.begin(), headBytes.end(), expected.begin()));
        EXPECT_TRUE(std::equal(tailBytes.begin(), tailBytes.begin() + 144, expected.begin() + 256));
        EXPECT_EQ(tailBytes[144], 0xEE);  // nothing written past what moved
    }
    EXPECT_EQ(*bytes, Pattern(300, 5));  // the shared bytes are never written
}

TEST_F(UsbTransfer, CompletionRoutinesRunAtDispatchLevel)
{
    std::uint8_t packet[64] = {};
    Transfer out;
    ASSERT_EQ(out.Start(pdo, CommandPipe(), 0, packet, nullptr, 64), STATUS_PENDING);
    Transfer in;
    ASSERT_EQ(in.Start(pdo, ReplyPipe(), kIn, packet, nullptr, 64), STATUS_PENDING);
    Send(usbdtest::kReplyIn, Pattern(64, 1));
    ASSERT_TRUE(out.Wait());
    ASSERT_TRUE(in.Wait());
    EXPECT_EQ(out.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(in.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(in.Irp()->PendingReturned);
}

TEST_F(UsbTransfer, InTransferWaitsForDataThenTakesOneMessage)
{
    std::vector<std::uint8_t> buffer(512, 0xEE);
    Transfer transfer;
    ASSERT_EQ(transfer.Start(pdo, ReplyPipe(), kIn, buffer.data(), nullptr, 512), STATUS_PENDING);
    EXPECT_FALSE(transfer.Wait(50));  // nothing sent yet: still pending

    // Two messages queued at once: the transfer ends with the first (its short packet).
    std::vector<std::uint8_t> head = Pattern(100, 3);
    Send(usbdtest::kReplyIn, head);
    Send(usbdtest::kReplyIn, Pattern(30, 9));
    ASSERT_TRUE(transfer.Wait());
    EXPECT_EQ(transfer.Status(), STATUS_SUCCESS);
    EXPECT_EQ(transfer.Moved(), 100u);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), buffer.begin()));
    EXPECT_EQ(buffer[100], 0xEE);

    Transfer next;
    ASSERT_EQ(next.Start(pdo, ReplyPipe(), kIn, buffer.data(), nullptr, 512), STATUS_PENDING);
    ASSERT_TRUE(next.Wait());
    EXPECT_EQ(next.Moved(), 30u);
    EXPECT_EQ(buffer[0], Pattern(30, 9)[0]);
}

TEST_F(UsbTransfer, OneMessageSpansSeveralTransfers)
{
    std::vector<std::uint8_t> message = Pattern(1000, 5);
    Send(usbdtest::kFrameIn, message);
    std::vector<std::uint8_t> buffer(1200, 0);
    Transfer a, b, c;
    ASSERT_EQ(a.Start(pdo, FramePipe(), kIn, buffer.data(), nullptr, 400), STATUS_PENDING);
    ASSERT_EQ(b.Start(pdo, FramePipe(), kIn, buffer.data() + 400, nullptr, 400), STATUS_PENDING);
    ASSERT_EQ(c.Start(pdo, FramePipe(), kIn, buffer.data() + 800, nullptr, 400), STATUS_PENDING);
    ASSERT_TRUE(a.Wait() && b.Wait() && c.Wait());
    EXPECT_EQ(a.Moved(), 400u);
    EXPECT_EQ(b.Moved(), 400u);
    EXPECT_EQ(c.Moved(), 200u);  // the message ended: a short transfer, allowed by the flag
    EXPECT_EQ(c.Status(), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), buffer.begin()));
    EXPECT_LT(a.Sequence(), b.Sequence());
    EXPECT_LT(b.Sequence(), c.Sequence());

    auto log = port->PacketLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[2].in);
    EXPECT_EQ(log[2].endpointAddress, usbdtest::kFrameIn);
    EXPECT_EQ(log[2].requested, 400u);
    EXPECT_EQ(log[2].moved, 200u);
}

TEST_F(UsbTransfer, ShortTransferWithoutTheFlagFails)
{
    std::vector<std::uint8_t> buffer(64);
    Send(usbdtest::kReplyIn, Pattern(10, 1));
    Transfer strict;
    ASSERT_EQ(
        strict.Start(pdo, ReplyPipe(), USBD_TRANSFER_DIRECTION_IN, buffer.data(), nullptr, 64),
        STATUS_PENDING);
    ASSERT_TRUE(strict.Wait());
    EXPECT_EQ(strict.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.UrbStatus(), USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(strict.Moved(), 10u);  // what arrived still counts

    // A full transfer needs no flag; a zero-length message ends a transfer with nothing.
    Send(usbdtest::kReplyIn, Pattern(64, 2));
    Send(usbdtest::kReplyIn, {});
    Transfer full, empty;
    ASSERT_EQ(full.Start(pdo, ReplyPipe(), USBD_TRANSFER_DIRECTION_IN, buffer.data(), nullptr, 64),
              STATUS_PENDING);
    ASSERT_EQ(empty.Start(pdo, ReplyPipe(), kIn, buffer.data(), nullptr, 64), STATUS_PENDING);
    ASSERT_TRUE(full.Wait() && empty.Wait());
    EXPECT_EQ(full.Status(), STATUS_SUCCESS);
    EXPECT_EQ(full.Moved(), 64u);
    EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty.Moved(), 0u);
}

// The frame read of a capture driver: all 64 KiB chunks of one non-paged buffer outstanding at
// once, each through a partial MDL of the buffer's MDL.
TEST_F(UsbTransfer, ChunksIntoPartialMdlsCompleteInOrder)
{
    const ULONG length = 5 * 65536 + 34816;
    auto* frame = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kTestTag));
    ASSERT_NE(frame, nullptr);
    RtlZeroMemory(frame, length);
    PMDL frameMdl = IoAllocateMdl(frame, length, FALSE, FALSE, nullptr);
    ASSERT_NE(frameMdl, nullptr);
    MmBuildMdlForNonPagedPool(frameMdl);

    const int chunks = 6;
    Transfer transfers[chunks];
    PMDL partial[chunks] = {};
    for (int i = 0; i < chunks; ++i) {
        ULONG offset = i * 65536u;
        ULONG size = std::min<ULONG>(65536, length - offset);
        partial[i] = IoAllocateMdl(frame, length, FALSE, FALSE, nullptr);
        ASSERT_NE(partial[i], nullptr);
        IoBuildPartialMdl(frameMdl, partial[i], frame + offset, size);
        ASSERT_EQ(transfers[i].Start(pdo, FramePipe(), kIn, nullptr, partial[i], size),
                  STATUS_PENDING);
    }
    std::vector<std::uint8_t> image = Pattern(length, 11);
    Send(usbdtest::kFrameIn, image);
    for (int i = 0; i < chunks; ++i) {
        ASSERT_TRUE(transfers[i].Wait());
        EXPECT_EQ(transfers[i].Status(), STATUS_SUCCESS);
        EXPECT_EQ(transfers[i].Moved(), i < 5 ? 65536u : 34816u);
        EXPECT_EQ(transfers[i].CompletionIrql(), DISPATCH_LEVEL);
        if (i > 0) {
            EXPECT_LT(transfers[i - 1].Sequence(), transfers[i].Sequence());
        }
    }
    EXPECT_EQ(std::memcmp(frame, image.data(), length), 0);
    for (PMDL mdl : partial) {
        IoFreeMdl(mdl);
    }
    IoFreeMdl(frameMdl);
    ExFreePoolWithTag(frame, kTestTag);
}

TEST_F(UsbTransfer, CancelledTransferCompletesAndTheNextOneStillGetsTheData)
{
    std::vector<std::uint8_t> buffer(64);
    Transfer cancelled, next;
    ASSERT_EQ(cancelled.Start(pdo, ReplyPipe(), kIn, buffer.data(), nullptr, 64), STATUS_PENDING);
    ASSERT_EQ(next.Start(pdo, ReplyPipe(), kIn, buffer.data(), nullptr, 64), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(cancelled.Irp()));
    ASSERT_TRUE(cancelled.Wait());
    EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled.UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_EQ(cancelled.Moved(), 0u);
    EXPECT_EQ(cancelled.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(next.Done());

    Send(usbdtest::kReplyIn, Pattern(64, 4));
    ASSERT_TRUE(next.Wait());
    EXPECT_EQ(next.Status(), STATUS_SUCCESS);
    EXPECT_EQ(buffer, Pattern(64, 4));
}

TEST_F(UsbTransfer, PacketCancelledBeforeSubmissionEndsAtOnce)
{
    // The cancel flag is set before the port sees the packet (a cancel racing the submission).
    std::vector<std::uint8_t> buffer(64);
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
    ASSERT_NE(irp, nullptr);
    irp->Cancel = TRUE;
    URB request{};
    UsbBuildInterruptOrBulkTransferRequest(&request, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           ReplyPipe(), buffer.data(), nullptr, 64, kIn, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &request;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_CANCELED);
    IoFreeIrp(irp);
}

TEST_F(UsbTransfer, AbortPipeCancelsEveryPendingTransferOfThatPipeOnly)
{
    std::vector<std::uint8_t> buffer(3 * 64);
    Transfer frames[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(frames[i].Start(pdo, FramePipe(), kIn, buffer.data() + 64 * i, nullptr, 64),
                  STATUS_PENDING);
    }
    Transfer reply;
    ASSERT_EQ(reply.Start(pdo, ReplyPipe(), kIn, buffer.data(), nullptr, 64), STATUS_PENDING);

    USBD_STATUS urbStatus = 0;
    ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, FramePipe(), &urbStatus), STATUS_SUCCESS);
    EXPECT_EQ(urbStatus, USBD_STATUS_SUCCESS);
    for (Transfer& frame : frames) {
        EXPECT_TRUE(frame.Done());  // complete by the time the abort returns
        EXPECT_EQ(frame.Status(), STATUS_CANCELLED);
        EXPECT_EQ(frame.UrbStatus(), USBD_STATUS_CANCELED);
    }
    EXPECT_FALSE(reply.Done());

    // The pipe works on after the abort.
    Transfer after;
    ASSERT_EQ(after.Start(pdo, FramePipe(), kIn, buffer.data(), nullptr, 64), STATUS_PENDING);
    Send(usbdtest::kFrameIn, Pattern(64, 8));
    ASSERT_TRUE(after.Wait());
    EXPECT_EQ(after.Status(), STATUS_SUCCESS);
}

}  // namespace
