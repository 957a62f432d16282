// For the platform's own callers that send a request and wait for it: a completion routine
// that sets the KEVENT passed as its context and keeps the request for the sender
// (STATUS_MORE_PROCESSING_REQUIRED), who reads its status and frees or completes it.
#pragma once

#include <wdm.h>

namespace io {

NTSTATUS NTAPI SignalEventOnCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

}  // namespace io
