// The driver-wide frame time-out.
#include "usb/frame_timeout.h"

LONG volatile FrameTimeout = 3000;

ULONG RegisterTransferTimeoutMs()
{
    ULONG timeout = static_cast<ULONG>(InterlockedExchangeAdd(&FrameTimeout, 0));
    if (timeout == 0) {
        return 1;
    }
    return timeout > 10000 ? 10000 : timeout;
}
