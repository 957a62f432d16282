// Cancellation: the system-wide cancel spin lock and IoCancelIrp.
#include "io/io_internal.h"

#include <ntoskrnl/host/verifier.h>

#include <mutex>

namespace {

PKSPIN_LOCK CancelSpinLock()
{
    static KSPIN_LOCK lock;
    static std::once_flag initialized;
    std::call_once(initialized, [] { KeInitializeSpinLock(&lock); });
    return &lock;
}

}  // namespace

extern "C" void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = KfAcquireSpinLock(CancelSpinLock());
}

extern "C" void NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KfReleaseSpinLock(CancelSpinLock(), Irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        vf::Stop(io::kCancelStateInCompletedIrp, reinterpret_cast<ULONG_PTR>(Irp),
                 reinterpret_cast<ULONG_PTR>(routine), 0, 0,
                 "IRP with a cancel routine is not held by any driver (already completed?)");
    }
    // The routine releases the cancel spin lock with Irp->CancelIrql.
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}
