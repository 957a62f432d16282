// The chunked frame read.
#include "usb/frame_transfer.h"

#include "camera/sensor_programming.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "usb/frame_timeout.h"

#include <usbdlib.h>
#include <usbioctl.h>

namespace {

constexpr USHORT BulkUrbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

LONG ReadCounter(LONG volatile* counter)
{
    return InterlockedExchangeAdd(counter, 0);
}

// Makes the frame event follow the number of chunks actually issued: the wait then ends when
// those have completed, even if fewer than the frame needs were issued.
void SettleIssuedCount(FrameTransfer* transfer, ULONG issued)
{
    InterlockedExchange(&transfer->ChunkCount, static_cast<LONG>(issued));
    if (ReadCounter(&transfer->CompletedChunks) >= static_cast<LONG>(issued)) {
        KeSetEvent(&transfer->FrameDoneEvent, 1, FALSE);
    }
}

// Prepares and issues chunk `index`; false when issuing has to stop. `status` receives
// STATUS_INSUFFICIENT_RESOURCES when the chunk could not be built or was refused.
bool IssueChunk(CaptureDevice* device, FrameTransfer* transfer, ULONG index, ULONG offset,
                ULONG length, const USBD_PIPE_INFORMATION& pipe, NTSTATUS* status)
{
    UsbLink& link = device->Link;
    ChunkRequest& entry = transfer->ChunkTable[index];
    ULONG chunkLength = offset + ChunkSize > length ? length - offset : ChunkSize;
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(transfer->RequestStackSize), FALSE);
    PMDL partial = irp == nullptr ? nullptr
                                  : IoAllocateMdl(MmGetMdlVirtualAddress(transfer->FrameMdl),
                                                  MmGetMdlByteCount(transfer->FrameMdl), FALSE,
                                                  FALSE, irp);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, BulkUrbSize, UsbPoolTag));
    if (irp == nullptr || partial == nullptr || urb == nullptr) {
        if (urb != nullptr) {
            ExFreePoolWithTag(urb, UsbPoolTag);
        }
        if (partial != nullptr) {
            irp->MdlAddress = nullptr;
            IoFreeMdl(partial);
        }
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return false;
    }
    IoBuildPartialMdl(transfer->FrameMdl, partial,
                      static_cast<UCHAR*>(MmGetMdlVirtualAddress(transfer->FrameMdl)) + offset,
                      chunkLength);
    BuildPipeTransfer(urb, pipe, nullptr, partial, MmGetMdlByteCount(partial));
    entry.Transfer = transfer;
    entry.PartialMdl = partial;
    entry.Urb = urb;
    entry.Irp = irp;
    entry.Length = chunkLength;
    if (irp->CurrentLocation < 2 || irp->StackCount < 2) {
        return false;  // no stack location left for the lower driver
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, OnChunkComplete, &entry, TRUE, TRUE, TRUE);
    entry.Issued = TRUE;
    if (!NT_SUCCESS(IoCallDriver(link.LowerDevice, irp))) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return false;
    }
    return true;
}

}  // namespace

void InitializeFrameTransfer(FrameTransfer* transfer)
{
    KeInitializeSpinLock(&transfer->ChunkLock);
    KeInitializeEvent(&transfer->FrameDoneEvent, NotificationEvent, FALSE);
}

void ReleaseFrameTransfer(FrameTransfer* transfer)
{
    if (transfer->ChunkTable != nullptr) {
        ExFreePoolWithTag(transfer->ChunkTable, UsbPoolTag);
        transfer->ChunkTable = nullptr;
        transfer->TableBytes = 0;
    }
}

void StopFrameReads(CaptureDevice* device)
{
    FrameTransfer* transfer = &device->Transfer;
    KIRQL irql = KfAcquireSpinLock(&transfer->ChunkLock);
    InterlockedExchange(&transfer->ReadsStopped, 1);
    // Chunks issued before the flag was set are cancelled here; a read that has not issued
    // yet sees the flag under this lock and issues nothing. The reading thread collects them.
    if (transfer->ChunkTable != nullptr) {
        LONG count = ReadCounter(&transfer->ChunkCount);
        for (LONG i = 0; i < count; ++i) {
            ChunkRequest& entry = transfer->ChunkTable[i];
            if (entry.Issued && ReadCounter(&entry.DoneCount) == 0) {
                IoCancelIrp(entry.Irp);
            }
        }
    }
    KfReleaseSpinLock(&transfer->ChunkLock, irql);
    // A frame packet on its way to the camera.
    AbortPipes(&device->Link);
}

void NoteCameraProgrammed(CaptureDevice* device)
{
    device->Transfer.PortResetsProgrammed = InterlockedExchangeAdd(&device->Link.PortResets, 0);
}

void AllowFrameReads(CaptureDevice* device)
{
    FrameTransfer* transfer = &device->Transfer;
    KIRQL irql = KfAcquireSpinLock(&transfer->ChunkLock);
    InterlockedExchange(&transfer->ReadsStopped, 0);
    KfReleaseSpinLock(&transfer->ChunkLock, irql);
}

BOOLEAN SendFramePacket(CaptureDevice* device, UCHAR* buffer)
{
    FrameTransfer* transfer = &device->Transfer;
    if (!AcquireCommandChannelUnless(&device->Channel, &transfer->ReadsStopped)) {
        return FALSE;
    }
    BOOLEAN sent = FALSE;
    // Marked while it is sent, so that a stop aborts it instead of waiting for it.
    MarkPipeInUse(&device->Link, CommandPipe, true);
    if (ReadCounter(&transfer->ReadsStopped) == 0) {
        sent = SendPacket(device, buffer, PacketSize);
    }
    MarkPipeInUse(&device->Link, CommandPipe, false);
    ReleaseCommandChannel(&device->Channel);
    return sent;
}

void SendFrameBracket(CaptureDevice* device, bool end)
{
    RtlZeroMemory(device->Channel.FrameBracketBuffer, PacketSize);
    device->Channel.FrameBracketBuffer[0] = end ? FrameEndOpcode : FrameBeginOpcode;
    SendFramePacket(device, device->Channel.FrameBracketBuffer);
}

NTSTATUS NTAPI OnChunkComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp == nullptr) {
        return STATUS_SUCCESS;
    }
    auto* entry = static_cast<ChunkRequest*>(context);
    if (entry == nullptr || entry->Transfer == nullptr || entry->Irp != irp) {
        return irp->IoStatus.Status;
    }
    FrameTransfer* transfer = entry->Transfer;
    // The counts below tell the reading thread that this chunk is done, after which it may
    // free the packet and the URB at once: everything that reads or writes them comes first.
    if (entry->Urb != nullptr) {
        ULONG moved = 0;
        if (NT_SUCCESS(irp->IoStatus.Status)) {
            moved = entry->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            irp->IoStatus.Information = moved;
        } else {
            irp->IoStatus.Information = 0;
        }
        bool failed = !NT_SUCCESS(irp->IoStatus.Status) || USBD_ERROR(entry->Urb->UrbHeader.Status);
        if (failed || moved != entry->Length) {
            InterlockedIncrement(&transfer->IncompleteChunks);
        }
        // A chunk the driver cancelled (at a stop or a time-out) is no error of the transfer.
        if (failed && irp->IoStatus.Status != STATUS_CANCELLED) {
            InterlockedIncrement(&transfer->FailedChunks);
        }
    }
    InterlockedIncrement(&entry->DoneCount);
    LONG completed = InterlockedIncrement(&transfer->CompletedChunks);
    if (completed >= ReadCounter(&transfer->ChunkCount)) {
        KeSetEvent(&transfer->FrameDoneEvent, 1, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelChunks(FrameTransfer* transfer)
{
    KIRQL irql = KfAcquireSpinLock(&transfer->ChunkLock);
    if (transfer->ChunkTable == nullptr) {
        KfReleaseSpinLock(&transfer->ChunkLock, irql);
        return;
    }
    ULONG cancelled = 0;
    LONG count = ReadCounter(&transfer->ChunkCount);
    for (LONG i = 0; i < count; ++i) {
        ChunkRequest& entry = transfer->ChunkTable[i];
        if (entry.Issued && ReadCounter(&entry.DoneCount) == 0) {
            IoCancelIrp(entry.Irp);
            ++cancelled;
        }
    }
    KfReleaseSpinLock(&transfer->ChunkLock, irql);
    if (cancelled != 0) {
        KeWaitForSingleObject(&transfer->FrameDoneEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

void ReleaseChunks(FrameTransfer* transfer)
{
    // Under the lock: a stop may be looking through the table for chunks to cancel.
    KIRQL irql = KfAcquireSpinLock(&transfer->ChunkLock);
    ULONG entries = transfer->TableBytes / sizeof(ChunkRequest);
    for (ULONG i = 0; i < entries; ++i) {
        ChunkRequest& entry = transfer->ChunkTable[i];
        if (entry.Irp != nullptr) {
            entry.Irp->MdlAddress = nullptr;
            IoFreeIrp(entry.Irp);
        }
        if (entry.PartialMdl != nullptr) {
            IoFreeMdl(entry.PartialMdl);
        }
        if (entry.Urb != nullptr) {
            ExFreePoolWithTag(entry.Urb, UsbPoolTag);
        }
        RtlZeroMemory(&entry, sizeof entry);
    }
    if (transfer->FrameMdl != nullptr) {
        IoFreeMdl(transfer->FrameMdl);
        transfer->FrameMdl = nullptr;
    }
    KfReleaseSpinLock(&transfer->ChunkLock, irql);
}

NTSTATUS ChunkedRead(CaptureDevice* device, ULONG pipeIndex, ULONG length, UCHAR* buffer)
{
    UsbLink& link = device->Link;
    FrameTransfer* transfer = &device->Transfer;
    const USBD_PIPE_INFORMATION* checked = nullptr;
    NTSTATUS valid = ValidateTransferPipe(&link, pipeIndex, &checked);
    if (!NT_SUCCESS(valid)) {
        return valid;
    }
    const USBD_PIPE_INFORMATION& pipe = *checked;
    if (length == 0 || buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG chunks = length / ChunkSize + (length % ChunkSize != 0 ? 1 : 0);
    ULONG tableBytes = (chunks + 1) * sizeof(ChunkRequest);

    KIRQL irql = KfAcquireSpinLock(&transfer->ChunkLock);
    if (transfer->ChunkTable == nullptr || transfer->TableBytes != tableBytes) {
        ReleaseFrameTransfer(transfer);
        transfer->ChunkTable = static_cast<ChunkRequest*>(
            ExAllocatePoolWithTag(NonPagedPool, tableBytes, UsbPoolTag));
        if (transfer->ChunkTable == nullptr) {
            KfReleaseSpinLock(&transfer->ChunkLock, irql);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        transfer->TableBytes = tableBytes;
    }
    RtlZeroMemory(transfer->ChunkTable, tableBytes);
    InterlockedExchange(&transfer->CompletedChunks, 0);
    InterlockedExchange(&transfer->ChunkCount, static_cast<LONG>(chunks));
    InterlockedExchange(&transfer->IncompleteChunks, 0);
    InterlockedExchange(&transfer->FailedChunks, 0);
    transfer->FrameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (transfer->FrameMdl == nullptr) {
        ReleaseFrameTransfer(transfer);
        KfReleaseSpinLock(&transfer->ChunkLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(transfer->FrameMdl);
    transfer->FrameLength = length;
    transfer->BufferBytes = length;
    transfer->RequestStackSize = static_cast<ULONG>(link.LowerDevice->StackSize) + 1;
    KeResetEvent(&transfer->FrameDoneEvent);
    KfReleaseSpinLock(&transfer->ChunkLock, irql);

    SendFrameBracket(device, false);

    // The frame pipe is marked in use while chunks are outstanding, so that a stop aborts it.
    MarkPipeInUse(&link, pipeIndex, true);
    irql = KfAcquireSpinLock(&transfer->ChunkLock);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG issued = 0;
    // Checked under the lock the stop takes to set it: a stop either comes before and nothing
    // is issued, or after and cancels what was.
    bool stopped = ReadCounter(&transfer->ReadsStopped) != 0;
    for (ULONG offset = 0; !stopped && offset < length; offset += ChunkSize) {
        if (!IssueChunk(device, transfer, issued, offset, length, pipe, &status)) {
            if (transfer->ChunkTable[issued].Issued) {
                ++issued;  // a refused chunk completes through its completion routine
            }
            break;
        }
        ++issued;
    }
    KfReleaseSpinLock(&transfer->ChunkLock, irql);
    SendFrameBracket(device, true);

    NTSTATUS result;
    if (!NT_SUCCESS(status) || issued < chunks || stopped) {
        if (!NT_SUCCESS(status) && !NT_SUCCESS(ResetPipe(&link, pipeIndex))) {
            RecoverPort(&link);
        }
        // Collect what was issued before the table or the buffer is used again.
        SettleIssuedCount(transfer, issued);
        CancelChunks(transfer);
        KeWaitForSingleObject(&transfer->FrameDoneEvent, Executive, KernelMode, FALSE, nullptr);
        result = NT_SUCCESS(status) ? STATUS_CANCELLED : status;
    } else {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(static_cast<ULONG>(ReadCounter(&FrameTimeout))) *
                           10000;
        if (KeWaitForSingleObject(&transfer->FrameDoneEvent, Executive, KernelMode, FALSE,
                                  &timeout) == STATUS_TIMEOUT) {
            // A chunk that already came back short explains the missing rest: the frame was
            // cut off rather than never sent.
            bool cut = ReadCounter(&transfer->IncompleteChunks) != 0;
            CancelChunks(transfer);
            InterlockedIncrement(cut ? &transfer->IncompleteFrames : &transfer->TimedOutFrames);
            if (cut) {
                device->Statistics.CountIncompleteFrame();
            } else {
                device->Statistics.CountTimedOutFrame();
            }
            result = STATUS_TIMEOUT;
        } else if (ReadCounter(&transfer->ReadsStopped) != 0) {
            result = STATUS_CANCELLED;  // the stop cancelled the chunks: not a broken frame
        } else if (ReadCounter(&transfer->IncompleteChunks) != 0) {
            // A chunk failed or came back short: the buffer does not hold a whole frame.
            InterlockedIncrement(&transfer->IncompleteFrames);
            device->Statistics.CountIncompleteFrame();
            result = STATUS_UNSUCCESSFUL;
        } else {
            result = STATUS_SUCCESS;
        }
    }
    // Every issued chunk has completed by now.
    device->Statistics.CountUsbErrors(static_cast<ULONG>(ReadCounter(&transfer->FailedChunks)));
    MarkPipeInUse(&link, pipeIndex, false);
    ReleaseChunks(transfer);
    return result;
}

BOOLEAN CaptureDevice::ReadFrame(UCHAR* buffer, BOOLEAN* read)
{
    *read = TRUE;
    ULONG length = Geometry.TransferSize;
    if (InterlockedExchangeAdd(&Transfer.ReadsStopped, 0) != 0) {
        *read = FALSE;
        return FALSE;
    }
    LONG portResets = InterlockedExchangeAdd(&Link.PortResets, 0);
    if (portResets != Transfer.PortResetsProgrammed) {
        // A reset of a disabled port put the camera back to its power-on registers: program
        // it for the stream again, or its frames would not be the stream's.
        Transfer.PortResetsProgrammed = portResets;
        SendCommand(this, DeviceInitializeOpcode, 0);
        InitializeSensor(this);
        StartSensor();
    }
    RtlZeroMemory(Channel.FrameRequestBuffer, PacketSize);
    Channel.FrameRequestBuffer[0] = FrameBeginOpcode;
    SendFramePacket(this, Channel.FrameRequestBuffer);
    // Only STATUS_SUCCESS is a whole frame: STATUS_TIMEOUT passes NT_SUCCESS too.
    *read = ChunkedRead(this, FramePipe, length, buffer) == STATUS_SUCCESS ? TRUE : FALSE;
    return *read;
}
