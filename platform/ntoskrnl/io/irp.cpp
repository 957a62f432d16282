// Request packets: allocation, passing down the device stack and completion back up it.
//
// A packet of N stack locations starts at CurrentLocation N + 1 (no location is current).
// IofCallDriver moves one location down before calling the next driver; completion walks back up,
// calling each completion routine its owner set in the location below its own. A routine that
// returns STATUS_MORE_PROCESSING_REQUIRED stops the walk and keeps the packet at its level. A
// fully completed packet ends at CurrentLocation N + 2, which is how a second completion is told.
#include "io/io_internal.h"

#include <ntoskrnl/host/verifier.h>

namespace {

void CheckIrqlAtMostDispatch(PIRP irp, const char* what)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        vf::Stop(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(irp), irql, 0, 0,
                 std::string(what) + " above DISPATCH_LEVEL");
    }
}

bool ShouldInvoke(PIRP irp, UCHAR control)
{
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
           (irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0);
}

}  // namespace

extern "C" void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    RtlZeroMemory(Irp, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->ThreadListEntry.Flink = &Irp->ThreadListEntry;
    Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    io::TrackIrp(Irp);
}

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (StackSize < 0) {
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, io::kIrpTag));
    if (irp == nullptr) {
        return nullptr;
    }
    IoInitializeIrp(irp, size, StackSize);
    if (ChargeQuota) {
        irp->AllocationFlags |= IRP_QUOTA_CHARGED;
    }
    return irp;
}

extern "C" void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    io::ReleaseIrp(Irp, "IoReuseIrp");
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

extern "C" void NTAPI IoFreeIrp(PIRP Irp)
{
    if (io::IsKnownIrp(Irp) && Irp->Type != IO_TYPE_IRP) {
        vf::Stop(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IoFreeIrp on a packet that is not an IRP");
    }
    io::ReleaseIrp(Irp, "IoFreeIrp");
    Irp->Type = 0;
    ExFreePoolWithTag(Irp, io::kIrpTag);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrqlAtMostDispatch(Irp, "IofCallDriver");
    CHAR callerLevel = Irp->CurrentLocation;
    if (callerLevel <= 1) {
        vf::Stop(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IofCallDriver on an IRP with no stack location left for the next driver");
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    io::NoteCallDriver(Irp, callerLevel);

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (location->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    }
    if (dispatch == nullptr) {
        // What the I/O manager installs for functions a driver does not handle.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(DeviceObject, Irp);
}

extern "C" void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    CheckIrqlAtMostDispatch(Irp, "IofCompleteRequest");
    if (!io::IsKnownIrp(Irp) || Irp->Type != IO_TYPE_IRP ||
        Irp->CurrentLocation > Irp->StackCount + 1) {
        vf::Stop(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IRP completed again after its completion had finished (or not a live IRP)");
    }

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
         Irp->CurrentLocation <= Irp->StackCount + 1;
         location++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        io::NoteCompletedTo(Irp, Irp->CurrentLocation);
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;

        bool invoke = ShouldInvoke(Irp, location->Control);
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        location->Control = 0;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;

        if (invoke && routine != nullptr) {
            // The routine's owner is the driver of the location now current; the packet's
            // creator, above the top location, has no device object.
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                        : nullptr;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;  // the routine's driver owns the packet again; it may be gone already
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    io::ThreadedInfo threaded = io::ThreadedInfoOf(Irp);
    if (threaded.threaded) {
        io::FinishThreadedRequest(Irp, threaded.outputLength);
    }
}

extern "C" NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PIO_COMPLETION_ROUTINE CompletionRoutine,
                                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError,
                           InvokeOnCancel);
    return STATUS_SUCCESS;
}
