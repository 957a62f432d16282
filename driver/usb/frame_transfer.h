// Reading one raw frame from the frame pipe: all 64 KiB chunks of the frame outstanding at
// once, each mapped by a partial MDL straight into the caller's buffer, and a wait for all of
// them bounded by the driver-wide frame time-out.
#pragma once

#include <wdm.h>
#include <usb.h>

class CaptureDevice;
struct FrameTransfer;

constexpr ULONG ChunkSize = 0x10000;

struct ChunkRequest {
    FrameTransfer* Transfer;  // set when the chunk is prepared; null in an empty entry
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    LONG volatile DoneCount;
    ULONG Length;    // bytes the chunk asks for
    BOOLEAN Issued;  // passed to the lower driver
};

struct FrameTransfer {
    KEVENT FrameDoneEvent;  // set when the last chunk of the frame has completed
    ChunkRequest* ChunkTable;
    LONG volatile CompletedChunks;
    LONG volatile ChunkCount;
    KSPIN_LOCK ChunkLock;
    PMDL FrameMdl;
    ULONG TableBytes;  // size of ChunkTable as allocated
    ULONG FrameLength;
    ULONG BufferBytes;
    ULONG RequestStackSize;
    // Chunks of the current frame that failed or moved fewer bytes than they asked for.
    LONG volatile IncompleteChunks;
    // Chunks of the current frame whose transfer ended in an error other than a cancellation.
    LONG volatile FailedChunks;
    // Nonzero from a stop of the frame reads until the capture thread starts again; set and
    // cleared under ChunkLock, so a read either sees it before issuing or has its chunks
    // cancelled by the stop.
    LONG volatile ReadsStopped;
    // Frames that came back incomplete (some chunk short or failed) or not at all in time.
    LONG volatile IncompleteFrames;
    LONG volatile TimedOutFrames;
    // The link's PortResets the camera's registers were last programmed for (capture thread).
    LONG PortResetsProgrammed;
};

void InitializeFrameTransfer(FrameTransfer* transfer);
// Frees the chunk table kept between frames.
void ReleaseFrameTransfer(FrameTransfer* transfer);
// Ends a frame read in progress (its chunks and frame packets are cancelled) and makes every
// later read end at once without sending anything, until AllowFrameReads.
void StopFrameReads(CaptureDevice* device);
void AllowFrameReads(CaptureDevice* device);
// The stream start is about to program the camera's registers: port resets before it need no
// reprogramming by the frame reads (with no capture thread running).
void NoteCameraProgrammed(CaptureDevice* device);

NTSTATUS ChunkedRead(CaptureDevice* device, ULONG pipeIndex, ULONG length, UCHAR* buffer);
// Sends a frame packet (request or bracket) from `buffer` on the command pipe under the command
// channel, unless the frame reads are stopped; false when it was not sent whole.
BOOLEAN SendFramePacket(CaptureDevice* device, UCHAR* buffer);
void SendFrameBracket(CaptureDevice* device, bool end);
NTSTATUS NTAPI OnChunkComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
void CancelChunks(FrameTransfer* transfer);
void ReleaseChunks(FrameTransfer* transfer);
