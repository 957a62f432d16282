// Pool tags of the USB host stack (platform-internal).
#pragma once

#include <ntoskrnl/host/verifier.h>

namespace usbd {

// Everything the library routines allocate on a client driver's behalf.
constexpr ULONG kUsbdTag = vf::TagFromText("USBD");

}  // namespace usbd
