// Device-control requests built by the I/O manager for a waiting thread, and their final
// completion: status to the caller's IO_STATUS_BLOCK, buffered output copied back, the caller's
// event set, and the packet with its buffers freed.
#include "io/io_internal.h"

#include <algorithm>

namespace {

// The system buffer of a buffered request, holding the input and, on the way back, the output.
bool AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG outputLength)
{
    ULONG length = std::max(inputLength, outputLength);
    if (length == 0) {
        return true;
    }
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, io::kSystemBufferTag);
    if (buffer == nullptr) {
        return false;
    }
    if (input != nullptr && inputLength != 0) {
        RtlCopyMemory(buffer, input, inputLength);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

void ReleaseBuffers(PIRP irp)
{
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, io::kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    PMDL mdl = irp->MdlAddress;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

}  // namespace

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                    PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                    ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    location->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    location->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    location->Parameters.DeviceIoControl.IoControlCode = IoControlCode;

    ULONG copyBackLength = 0;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
        if (!AttachSystemBuffer(irp, InputBuffer, InputBufferLength, OutputBufferLength)) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = OutputBuffer;
            copyBackLength = OutputBufferLength;
        }
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (!AttachSystemBuffer(irp, InputBuffer, InputBufferLength, InputBufferLength)) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                ReleaseBuffers(irp);
                IoFreeIrp(irp);
                return nullptr;
            }
            MmProbeAndLockPages(mdl, KernelMode,
                                METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT
                                    ? IoReadAccess
                                    : IoWriteAccess);
        }
        break;
    default:  // METHOD_NEITHER: the buffers go down as they are
        irp->UserBuffer = OutputBuffer;
        location->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        // The USB host stack takes its request block from the first argument.
        if (InternalDeviceIoControl && InputBuffer != nullptr) {
            location->Parameters.Others.Argument1 = InputBuffer;
        }
        break;
    }

    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    io::MarkThreaded(irp, copyBackLength);
    return irp;
}

namespace io {

void FinishThreadedRequest(PIRP irp, ULONG outputLength)
{
    IO_STATUS_BLOCK status = irp->IoStatus;
    if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && irp->UserBuffer != nullptr &&
        irp->AssociatedIrp.SystemBuffer != nullptr && !NT_ERROR(status.Status)) {
        SIZE_T length = std::min<SIZE_T>(status.Information, outputLength);
        RtlCopyMemory(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, length);
    }
    ReleaseBuffers(irp);

    // The waiter may run as soon as the event is set, so the packet is gone before that.
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    FreeIrpStorage(irp);
    if (iosb != nullptr) {
        *iosb = status;
    }
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace io
