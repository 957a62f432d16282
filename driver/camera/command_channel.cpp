// The packet protocol over the command and reply pipes.
#include "camera/command_channel.h"

#include "device/capture_device.h"
#include "usb/frame_timeout.h"

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

void ReleaseCommandChannel(CommandChannel* channel)
{
    CommandLock& lock = channel->Lock;
    if (--lock.Depth == 0) {
        InterlockedExchangePointer(&lock.Owner, nullptr);
        KeSetEvent(&lock.Free, IO_NO_INCREMENT, FALSE);
    }
}

namespace {

BOOLEAN TransferPacket(CaptureDevice* device, ULONG pipe, PVOID buffer, ULONG length)
{
    if (length == 0 || buffer == nullptr) {
        return FALSE;
    }
    ULONG moved = 0;
    NTSTATUS status = PipeTransfer(&device->Link, pipe, length, buffer, &moved,
                                   RegisterTransferTimeoutMs());
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

// Sends the register buffer, then reads the two replies into it; the second one counts.
BOOLEAN ExchangeForReply(CaptureDevice* device)
{
    UCHAR* packet = device->Channel.RegisterBuffer;
    return SendPacket(device, packet, PacketSize) && ReceivePacket(device, packet, PacketSize) &&
           ReceivePacket(device, packet, PacketSize);
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
