// Layout probe: compiled for the 32-bit target once against platform/include and once against the
// cross toolchain's own kernel headers. Every item in layout_items.inc becomes an assembler comment
// line "#LAYOUT <value-low> <value-high> <item>" in the -S output; the two outputs are compared
// item by item (layout_compare.cpp). Nothing here is ever linked or run.
// The order of the includes matters.
// clang-format off
#if defined(LAYOUT_PROBE_TOOLCHAIN_HEADERS)
// The toolchain's headers, in the order a driver includes them, behind the workarounds for
// their own faults. ksmedia.h uses windef.h's BYTE/WORD/DWORD/FLOAT and TCHAR without including
// their headers, which can only come after wdm.h (before it they clash with it).
#include "mingw_ddk_compat.h"
#include <ntddk.h>
#include <wdm.h>
#include <windef.h>
#include <tchar.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
// A GUID is published as its STATIC_ initialiser parts.
#define LAYOUT_GUID_VALUE(name) GUID{STATIC_##name}
#else
#include <ntddk.h>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#define LAYOUT_GUID_VALUE(name) name
#endif
// clang-format on

// One item: a 64-bit value split in two 32-bit immediates, so that the 32-bit target can carry it.
#define LAYOUT_EMIT(text, value)                                                                   \
    asm volatile("#LAYOUT %c0 %c1 " text                                                           \
                 :                                                                                 \
                 : "i"((unsigned)((unsigned long long)(value) % 0x100000000u)),                    \
                   "i"((unsigned)((unsigned long long)(value) >> 32)))

#define PROBE_SIZE(type) LAYOUT_EMIT("sizeof(" #type ")", sizeof(type));
#define PROBE_ALIGN(type) LAYOUT_EMIT("alignof(" #type ")", alignof(type));
#define PROBE_OFFSET(type, member)                                                                 \
    LAYOUT_EMIT("offsetof(" #type ", " #member ")", __builtin_offsetof(type, member));
#define PROBE_VALUE(name) LAYOUT_EMIT(#name, (name));
#define PROBE_GUID(name)                                                                           \
    {                                                                                              \
        constexpr GUID guid = LAYOUT_GUID_VALUE(name);                                             \
        LAYOUT_EMIT(#name ".Data1", guid.Data1);                                                   \
        LAYOUT_EMIT(#name ".Data2", guid.Data2);                                                   \
        LAYOUT_EMIT(#name ".Data3", guid.Data3);                                                   \
        LAYOUT_EMIT(#name ".Data4[0..3]", guid.Data4[0] | guid.Data4[1] << 8 |                     \
                                              guid.Data4[2] << 16 | (ULONG)guid.Data4[3] << 24);   \
        LAYOUT_EMIT(#name ".Data4[4..7]", guid.Data4[4] | guid.Data4[5] << 8 |                     \
                                              guid.Data4[6] << 16 | (ULONG)guid.Data4[7] << 24);   \
    }

extern "C" void layout_probe()
{
#include "layout_items.inc"
}
