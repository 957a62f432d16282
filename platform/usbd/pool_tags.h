// Pool tags of the USB host stack (platform-internal), as their bytes in memory order.
#pragma once

#include <wdm.h>

namespace usbd {

constexpr ULONG MakeTag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<unsigned char>(a)) |
           static_cast<ULONG>(static_cast<unsigned char>(b)) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(c)) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(d)) << 24;
}

// Everything the library routines allocate on a client driver's behalf.
constexpr ULONG kUsbdTag = MakeTag('U', 'S', 'B', 'D');

}  // namespace usbd
