// The packet protocol over the command and reply pipes.
#include "camera/command_channel.h"

#include "device/capture_device.h"
#include "usb/frame_timeout.h"

namespace {

// How often a wait for the channel that may be abandoned looks at its abandon flag.
constexpr ULONG AbandonCheckIntervalMs = 5;

}  // namespace

void InitializeCommandChannel(CommandChannel* channel)
{
    RtlZeroMemory(channel->RegisterBuffer, PacketSize);
    RtlZeroMemory(channel->FrameRequestBuffer, PacketSize);
    RtlZeroMemory(channel->FrameBracketBuffer, PacketSize);
    RtlZeroMemory(channel->DiscardBuffer, PacketSize);
    channel->RegisterAddress = 0;
    channel->StaleReplies = 0;
    KeInitializeEvent(&channel->Lock.Free, SynchronizationEvent, TRUE);
    channel->Lock.Owner = nullptr;
    channel->Lock.Depth = 0;
}

void AcquireCommandChannel(CommandChannel* channel)
{
    CommandLock& lock = channel->Lock;
    PVOID self = KeGetCurrentThread();
    if (InterlockedCompareExchangePointer(&lock.Owner, nullptr, nullptr) != self) {
        KeWaitForSingleObject(&lock.Free, Executive, KernelMode, FALSE, nullptr);
        InterlockedExchangePointer(&lock.Owner, self);
    }
    ++lock.Depth;
}

BOOLEAN AcquireCommandChannelUnless(CommandChannel* channel, LONG volatile* abandon)
{
    CommandLock& lock = channel->Lock;
    PVOID self = KeGetCurrentThread();
    if (InterlockedCompareExchangePointer(&lock.Owner, nullptr, nullptr) != self) {
        LARGE_INTEGER slice;
        slice.QuadPart = -static_cast<LONGLONG>(AbandonCheckIntervalMs) * 10000;
        while (KeWaitForSingleObject(&lock.Free, Executive, KernelMode, FALSE, &slice) ==
               STATUS_TIMEOUT) {
            if (InterlockedExchangeAdd(abandon, 0) != 0) {
                return FALSE;
            }
        }
        InterlockedExchangePointer(&lock.Owner, self);
    }
    ++lock.Depth;
    return TRUE;
}

void ReleaseCommandChannel(CommandChannel* channel)
{
    CommandLock& lock = channel->Lock;
    if (--lock.Depth == 0) {
        InterlockedExchangePointer(&lock.Owner, nullptr);
        KeSetEvent(&lock.Free, IO_NO_INCREMENT, FALSE);
    }
}

namespace {

// Bytes of a read command that its acknowledgement (the first reply) echoes.
constexpr ULONG AcknowledgedBytes = 8;
// Replies a read skips while looking for its acknowledgement: what reads given up on may have
// left behind, bounded so that a camera that keeps talking cannot hold the read for ever.
constexpr ULONG MostSkippedReplies = 32;

// How long a read waits for each reply an earlier read gave up on before it sends its command.
constexpr ULONG StaleReplyWaitMs = 5;

// Whether a failed transfer is worth a reset of its pipe and a second attempt. A stalled
// endpoint stays halted, and the host stack refuses every later transfer on its pipe, until the
// pipe is reset. A reply that failed on the bus is still in the camera, so reading again gets
// it; a command that failed is not sent again (the camera may have acted on it) unless the
// endpoint refused it with a stall.
bool WorthRetrying(ULONG pipe, NTSTATUS status, USBD_STATUS urbStatus)
{
    if (urbStatus == USBD_STATUS_STALL_PID || urbStatus == USBD_STATUS_ENDPOINT_HALTED) {
        return true;
    }
    return pipe == ReplyPipe && USBD_ERROR(urbStatus) && status != STATUS_IO_TIMEOUT &&
           status != STATUS_CANCELLED && status != STATUS_DEVICE_NOT_CONNECTED &&
           urbStatus != USBD_STATUS_DEVICE_GONE && urbStatus != USBD_STATUS_CANCELED;
}

BOOLEAN TransferPacket(CaptureDevice* device, ULONG pipe, PVOID buffer, ULONG length)
{
    if (length == 0 || buffer == nullptr) {
        return FALSE;
    }
    ULONG moved = 0;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
    NTSTATUS status = PipeTransfer(&device->Link, pipe, length, buffer, &moved,
                                   RegisterTransferTimeoutMs(), &urbStatus);
    if (!NT_SUCCESS(status) && WorthRetrying(pipe, status, urbStatus)) {
        // Reset the pipe, clearing a stall, and transfer once more.
        RecoverPipe(&device->Link, pipe);
        status = PipeTransfer(&device->Link, pipe, length, buffer, &moved,
                              RegisterTransferTimeoutMs());
    }
    return NT_SUCCESS(status) && moved >= length;
}

// Zeroes the register buffer and fills the command bytes.
UCHAR* StartCommand(CaptureDevice* device, UCHAR opcode, UCHAR reg)
{
    UCHAR* packet = device->Channel.RegisterBuffer;
    RtlZeroMemory(packet, PacketSize);
    packet[0] = opcode;
    packet[1] = reg;
    return packet;
}

bool Acknowledges(const UCHAR* reply, const UCHAR* command)
{
    for (ULONG i = 0; i < AcknowledgedBytes; ++i) {
        if (reply[i] != command[i]) {
            return false;
        }
    }
    return true;
}

void AddStaleReplies(CommandChannel& channel, LONG count)
{
    channel.StaleReplies += count;
    if (channel.StaleReplies > static_cast<LONG>(MostSkippedReplies)) {
        channel.StaleReplies = static_cast<LONG>(MostSkippedReplies);
    }
}

// Reads and drops the replies that reads given up on left behind, as far as they have come:
// one that has not come within a short wait is taken as lost (should it come later, the read
// that meets it skips it, see ExchangeForReply).
void DiscardStaleReplies(CaptureDevice* device)
{
    CommandChannel& channel = device->Channel;
    while (channel.StaleReplies > 0) {
        ULONG moved = 0;
        NTSTATUS status = PipeTransfer(&device->Link, ReplyPipe, PacketSize,
                                       channel.DiscardBuffer, &moved, StaleReplyWaitMs);
        if (!NT_SUCCESS(status)) {
            channel.StaleReplies = 0;
            return;
        }
        --channel.StaleReplies;
    }
}

// Sends the register buffer, then reads the replies into it: the first that acknowledges this
// command (echoes its opcode, register and parameters), then the value after it. Replies
// before the acknowledgement belong to reads that were given up on (their replies came late,
// or a failed transfer left them queued) and are skipped, so one failed read never shifts the
// replies of every later one.
BOOLEAN ExchangeForReply(CaptureDevice* device)
{
    CommandChannel& channel = device->Channel;
    UCHAR* packet = channel.RegisterBuffer;
    UCHAR command[AcknowledgedBytes];
    RtlCopyMemory(command, packet, AcknowledgedBytes);
    DiscardStaleReplies(device);
    if (!SendPacket(device, packet, PacketSize)) {
        return FALSE;  // the camera did not take the command: it owes no reply
    }
    for (ULONG skipped = 0; skipped <= MostSkippedReplies; ++skipped) {
        if (!ReceivePacket(device, packet, PacketSize)) {
            AddStaleReplies(channel, 2);  // the acknowledgement and the value may still come
            return FALSE;
        }
        if (Acknowledges(packet, command)) {
            if (!ReceivePacket(device, packet, PacketSize)) {
                AddStaleReplies(channel, 1);
                return FALSE;
            }
            return TRUE;
        }
        if (channel.StaleReplies > 0) {
            --channel.StaleReplies;
        }
    }
    return FALSE;
}

}  // namespace

BOOLEAN SendPacket(CaptureDevice* device, PVOID buffer, ULONG length)
{
    CommandChannelGuard guard(&device->Channel);
    return TransferPacket(device, CommandPipe, buffer, length);
}

BOOLEAN ReceivePacket(CaptureDevice* device, PVOID buffer, ULONG length)
{
    CommandChannelGuard guard(&device->Channel);
    return TransferPacket(device, ReplyPipe, buffer, length);
}

BOOLEAN SendCommand(CaptureDevice* device, UCHAR opcode, UCHAR parameter)
{
    UCHAR packet[PacketSize];
    RtlZeroMemory(packet, PacketSize);
    packet[0] = opcode;
    packet[1] = parameter;
    return SendPacket(device, packet, PacketSize);
}

BOOLEAN WriteSensorRegister(CaptureDevice* device, ULONG reg, ULONG value)
{
    CommandChannelGuard guard(&device->Channel);
    UCHAR* packet = StartCommand(device, WriteSensorOpcode, static_cast<UCHAR>(reg));
    packet[2] = static_cast<UCHAR>(value >> 8);
    packet[3] = static_cast<UCHAR>(value);
    return SendPacket(device, packet, PacketSize);
}

BOOLEAN ReadSensorRegister(CaptureDevice* device, ULONG reg, ULONG* value)
{
    CommandChannelGuard guard(&device->Channel);
    UCHAR* packet = StartCommand(device, ReadSensorOpcode, static_cast<UCHAR>(reg));
    if (!ExchangeForReply(device)) {
        return FALSE;
    }
    *value = static_cast<ULONG>(packet[0]) * 256 + packet[1];
    return TRUE;
}

BOOLEAN WriteBridgeRegister(CaptureDevice* device, ULONG reg, ULONG value)
{
    CommandChannelGuard guard(&device->Channel);
    UCHAR* packet = StartCommand(device, WriteBridgeOpcode, static_cast<UCHAR>(reg));
    packet[2] = static_cast<UCHAR>(value);
    return SendPacket(device, packet, PacketSize);
}

BOOLEAN ReadBridgeRegister(CaptureDevice* device, ULONG reg, ULONG* value)
{
    CommandChannelGuard guard(&device->Channel);
    UCHAR* packet = StartCommand(device, ReadBridgeOpcode, static_cast<UCHAR>(reg));
    if (!ExchangeForReply(device)) {
        return FALSE;
    }
    *value = packet[0];
    return TRUE;
}

BOOLEAN WriteDataBlock(CaptureDevice* device, LONG length, const void* data)
{
    CommandChannelGuard guard(&device->Channel);
    UCHAR* packet = StartCommand(device, WriteDataBlockOpcode, 0);
    LONG count = length > 63 ? 63 : length;
    if (count > 0) {
        RtlCopyMemory(packet + 1, data, static_cast<SIZE_T>(count));
    }
    return SendPacket(device, packet, PacketSize);
}

void ReadDataByte(CaptureDevice* device, UCHAR* byte)
{
    CommandChannelGuard guard(&device->Channel);
    LONG address = device->Channel.RegisterAddress;
    UCHAR* packet = StartCommand(device, ReadDataByteOpcode, 0x51);
    packet[2] = 0x02;
    packet[3] = 0x01;
    packet[4] = static_cast<UCHAR>(address >> 8);
    packet[5] = static_cast<UCHAR>(address);
    if (ExchangeForReply(device) && byte != nullptr) {
        *byte = packet[0];
    }
}

void SetRegisterAddress(CaptureDevice* device, LONG address)
{
    CommandChannelGuard guard(&device->Channel);
    device->Channel.RegisterAddress = address;
}
