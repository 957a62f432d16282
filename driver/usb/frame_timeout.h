// The driver-wide frame time-out in milliseconds, shared by every camera: the wait for a frame,
// and the bound on a single register transfer.
#pragma once

#include <wdm.h>

extern LONG volatile FrameTimeout;

// The bound on one register transfer: the frame time-out, at least 1 ms and at most 10 s, so a
// camera that stops answering cannot hold a property request or a device start for long.
ULONG RegisterTransferTimeoutMs();
