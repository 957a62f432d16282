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
    channel->RegisterAddress = 0;
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

// A stalled endpoint stays halted, and the host stack refuses every later transfer on its pipe,
// until the pipe is reset.
bool StalledPipe(USBD_STATUS urbStatus)
{
    return urbStatus == USBD_STATUS_STALL_PID || urbStatus == USBD_STATUS_ENDPOINT_HALTED;
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
    if (!NT_SUCCESS(status) && StalledPipe(urbStatus)) {
        // Reset the pipe, clearing the stall, and send once more.
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

// Sends the register buffer, then reads the replies into it: the first that acknowledges this
// command (echoes its opcode, register and parameters), then the value after it. Replies
// before the acknowledgement belong to reads that were given up on (their replies came late,
// or a failed transfer left them queued) and are skipped, so one failed read never shifts the
// replies of every later one.
BOOLEAN ExchangeForReply(CaptureDevice* device)
{
    UCHAR* packet = device->Channel.RegisterBuffer;
    UCHAR command[AcknowledgedBytes];
    RtlCopyMemory(command, packet, AcknowledgedBytes);
    if (!SendPacket(device, packet, PacketSize)) {
        return FALSE;
    }
    for (ULONG skipped = 0; skipped <= MostSkippedReplies; ++skipped) {
        if (!ReceivePacket(device, packet, PacketSize)) {
            return FALSE;
        }
        if (Acknowledges(packet, command)) {
            return ReceivePacket(device, packet, PacketSize);
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
