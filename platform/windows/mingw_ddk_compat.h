// Workarounds for faults in the mingw-w64 cross toolchain's own kernel headers (ddk/wdm.h, ks.h,
// ksmedia.h, ...). Included before those headers by whatever builds against them. Only faults
// of the toolchain's headers belong here; each line names the fault it covers.
#pragma once

// ddk/wdm.h tests NTDDI_WINVISTA, which no toolchain header defines (sdkddkver.h: NTDDI_VISTA).
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif

// ddk/wdm.h defines InterlockedBitTestAndSet/Reset inline again after psdk_inc/intrin-impl.h.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// ksmedia.h lacks the RGB32 video subtype; its published value.
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB32
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32                                                          \
    0xE436EB7EL, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif
