// The event-signalling completion routine of the platform's synchronous senders.
#include <ntoskrnl/host/io_wait.h>

namespace io {

NTSTATUS NTAPI SignalEventOnCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace io
