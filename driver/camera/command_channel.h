// The camera's packet protocol: 64-byte command packets on the command pipe, 64-byte replies on
// the reply pipe, sensor and bridge register access and the data store. Every operation of one
// camera holds its command channel, so packets and replies of two callers never interleave; a
// caller that needs several operations to stay together (a read-modify-write) holds it across
// them with CommandChannelGuard.
#pragma once

#include <wdm.h>

class CaptureDevice;

constexpr ULONG PacketSize = 64;

// Opcodes of the command packets.
enum CommandOpcode : UCHAR {
    FrameBeginOpcode = 0x02,  // also the frame request
    FrameEndOpcode = 0x03,
    WriteSensorOpcode = 0x04,
    DeviceInitializeOpcode = 0x06,
    StreamPrepareOpcode = 0x0A,
    ReadSensorOpcode = 0x0C,
    WriteBridgeOpcode = 0x25,
    ReadBridgeOpcode = 0x26,
    WriteDataBlockOpcode = 0x40,
    ReadDataByteOpcode = 0x41,
};

// A lock the same thread may take again; held across one camera's packet exchanges.
struct CommandLock {
    KEVENT Free;            // synchronization event: signalled while nobody holds the lock
    PVOID volatile Owner;   // the holding thread
    LONG Depth;             // how often the owner holds it
};

struct CommandChannel {
    UCHAR RegisterBuffer[PacketSize];
    UCHAR FrameRequestBuffer[PacketSize];
    UCHAR FrameBracketBuffer[PacketSize];
    UCHAR DiscardBuffer[PacketSize];  // receives replies that belong to reads given up on
    LONG RegisterAddress;  // data-store address for ReadDataByte
    // Replies of reads given up on that the camera may still send; guarded by Lock.
    LONG StaleReplies;
    CommandLock Lock;
};

void InitializeCommandChannel(CommandChannel* channel);
void AcquireCommandChannel(CommandChannel* channel);
// Takes the channel as AcquireCommandChannel does, but gives up (false) once `abandon` is
// nonzero, which it checks every few milliseconds while the channel is held by another thread.
BOOLEAN AcquireCommandChannelUnless(CommandChannel* channel, LONG volatile* abandon);
void ReleaseCommandChannel(CommandChannel* channel);

class CommandChannelGuard {
public:
    explicit CommandChannelGuard(CommandChannel* channel) : channel_(channel)
    {
        AcquireCommandChannel(channel_);
    }
    ~CommandChannelGuard() { ReleaseCommandChannel(channel_); }
    CommandChannelGuard(const CommandChannelGuard&) = delete;
    CommandChannelGuard& operator=(const CommandChannelGuard&) = delete;

private:
    CommandChannel* channel_;
};

BOOLEAN SendPacket(CaptureDevice* device, PVOID buffer, ULONG length);
BOOLEAN ReceivePacket(CaptureDevice* device, PVOID buffer, ULONG length);
// Sends a zeroed packet of its own with the opcode and one parameter byte.
BOOLEAN SendCommand(CaptureDevice* device, UCHAR opcode, UCHAR parameter);

BOOLEAN WriteSensorRegister(CaptureDevice* device, ULONG reg, ULONG value);
BOOLEAN ReadSensorRegister(CaptureDevice* device, ULONG reg, ULONG* value);
BOOLEAN WriteBridgeRegister(CaptureDevice* device, ULONG reg, ULONG value);
BOOLEAN ReadBridgeRegister(CaptureDevice* device, ULONG reg, ULONG* value);
BOOLEAN WriteDataBlock(CaptureDevice* device, LONG length, const void* data);
void ReadDataByte(CaptureDevice* device, UCHAR* byte);
void SetRegisterAddress(CaptureDevice* device, LONG address);
