// Force-included (-include) in the windows-x86 cross build only. Each entry works around a
// fault of the cross toolchain's own kernel headers or libraries; the driver's sources are
// written in the published form and need nothing from here.
#pragma once

// The toolchain's wdm.h defines InterlockedBitTestAndSet/Reset as static inline functions,
// and its intrinsics header (reached through the same wdm.h) defines them a second time.
// Marking the intrinsic copies as already present keeps wdm.h's definitions only.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The toolchain's wdm.h tests NTDDI_WINVISTA (in IO_STACK_LOCATION's power parameters), a name
// its sdkddkver.h never defines (it has NTDDI_VISTA); undefined, the test would read it as 0.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif

// The toolchain's wdm.h declares the extended-state save but not the masks of the features to
// save (its ntddk.h has the older ones only, spelled with a suffix GCC does not accept). The
// values are the features' bits in XCR0.
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << 2)
#endif
#ifndef XSTATE_MASK_AVX512
#define XSTATE_MASK_AVX512 ((1ULL << 5) | (1ULL << 6) | (1ULL << 7))
#endif

// The toolchain's wdm.h lacks the 8-bit interlocked operations the published wdm.h declares.
static inline char InterlockedExchange8(char volatile* Target, char Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline char InterlockedOr8(char volatile* Destination, char Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

// The toolchain's ksmedia.h uses TCHAR (in its tape-transport structure), a user-mode type its
// kernel-mode headers never declare.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef wchar_t TCHAR, *PTCHAR;
#endif

// The toolchain's ksmedia.h has no RGB32, RGB24, YUY2 or NV12 video subtype.
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB32
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32                                                          \
    0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB24
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24                                                          \
    0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_YUY2
#define STATIC_KSDATAFORMAT_SUBTYPE_YUY2                                                           \
    0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_NV12
#define STATIC_KSDATAFORMAT_SUBTYPE_NV12                                                           \
    0x3231564E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#endif

// The toolchain's unknown.h uses DECLSPEC_NOVTABLE and DECLSPEC_NOTHROW, which only its
// user-mode winnt.h defines. The first is an optimisation hint GCC has no use for.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW __attribute__((nothrow))
#endif

// The toolchain's ks.h declares the framework's callback types without a calling convention
// (so as cdecl), while ks.sys calls every one of them as stdcall (the platform's compilers
// make stdcall the default for kernel code). Each name below is given the stdcall attribute
// wherever it is spelled, which puts it on the typedef's function type.
#define PFNALLOCATOR_ALLOCATEFRAME __attribute__((stdcall)) PFNALLOCATOR_ALLOCATEFRAME
#define PFNALLOCATOR_FREEFRAME __attribute__((stdcall)) PFNALLOCATOR_FREEFRAME
#define PFNDEREFERENCEDEVICEOBJECT __attribute__((stdcall)) PFNDEREFERENCEDEVICEOBJECT
#define PFNKSADDEVENT __attribute__((stdcall)) PFNKSADDEVENT
#define PFNKSALLOCATOR __attribute__((stdcall)) PFNKSALLOCATOR
#define PFNKSCANCELTIMER __attribute__((stdcall)) PFNKSCANCELTIMER
#define PFNKSCONTEXT_DISPATCH __attribute__((stdcall)) PFNKSCONTEXT_DISPATCH
#define PFNKSDEFAULTALLOCATE __attribute__((stdcall)) PFNKSDEFAULTALLOCATE
#define PFNKSDEFAULTFREE __attribute__((stdcall)) PFNKSDEFAULTFREE
#define PFNKSDELETEALLOCATOR __attribute__((stdcall)) PFNKSDELETEALLOCATOR
#define PFNKSDEVICE __attribute__((stdcall)) PFNKSDEVICE
#define PFNKSDEVICECREATE __attribute__((stdcall)) PFNKSDEVICECREATE
#define PFNKSDEVICEIRP __attribute__((stdcall)) PFNKSDEVICEIRP
#define PFNKSDEVICEIRPVOID __attribute__((stdcall)) PFNKSDEVICEIRPVOID
#define PFNKSDEVICEPNPSTART __attribute__((stdcall)) PFNKSDEVICEPNPSTART
#define PFNKSDEVICEQUERYCAPABILITIES __attribute__((stdcall)) PFNKSDEVICEQUERYCAPABILITIES
#define PFNKSDEVICEQUERYPOWER __attribute__((stdcall)) PFNKSDEVICEQUERYPOWER
#define PFNKSDEVICESETPOWER __attribute__((stdcall)) PFNKSDEVICESETPOWER
#define PFNKSFASTHANDLER __attribute__((stdcall)) PFNKSFASTHANDLER
#define PFNKSFILTERFACTORYPOWER __attribute__((stdcall)) PFNKSFILTERFACTORYPOWER
#define PFNKSFILTERFACTORYVOID __attribute__((stdcall)) PFNKSFILTERFACTORYVOID
#define PFNKSFILTERIRP __attribute__((stdcall)) PFNKSFILTERIRP
#define PFNKSFILTERPOWER __attribute__((stdcall)) PFNKSFILTERPOWER
#define PFNKSFILTERPROCESS __attribute__((stdcall)) PFNKSFILTERPROCESS
#define PFNKSFILTERVOID __attribute__((stdcall)) PFNKSFILTERVOID
#define PFNKSFREE __attribute__((stdcall)) PFNKSFREE
#define PFNKSGENERATEEVENTCALLBACK __attribute__((stdcall)) PFNKSGENERATEEVENTCALLBACK
#define PFNKSHANDLER __attribute__((stdcall)) PFNKSHANDLER
#define PFNKSINITIALIZEALLOCATOR __attribute__((stdcall)) PFNKSINITIALIZEALLOCATOR
#define PFNKSINTERSECTHANDLER __attribute__((stdcall)) PFNKSINTERSECTHANDLER
#define PFNKSINTERSECTHANDLEREX __attribute__((stdcall)) PFNKSINTERSECTHANDLEREX
#define PFNKSIRPLISTCALLBACK __attribute__((stdcall)) PFNKSIRPLISTCALLBACK
#define PFNKSITEMFREECALLBACK __attribute__((stdcall)) PFNKSITEMFREECALLBACK
#define PFNKSPIN __attribute__((stdcall)) PFNKSPIN
#define PFNKSPINCANCELTIMER __attribute__((stdcall)) PFNKSPINCANCELTIMER
#define PFNKSPINFRAMERETURN __attribute__((stdcall)) PFNKSPINFRAMERETURN
#define PFNKSPINHANDSHAKE __attribute__((stdcall)) PFNKSPINHANDSHAKE
#define PFNKSPININITIALIZEALLOCATOR __attribute__((stdcall)) PFNKSPININITIALIZEALLOCATOR
#define PFNKSPINIRP __attribute__((stdcall)) PFNKSPINIRP
#define PFNKSPINIRPCOMPLETION __attribute__((stdcall)) PFNKSPINIRPCOMPLETION
#define PFNKSPINPOWER __attribute__((stdcall)) PFNKSPINPOWER
#define PFNKSPINRESOLUTION __attribute__((stdcall)) PFNKSPINRESOLUTION
#define PFNKSPINSETDATAFORMAT __attribute__((stdcall)) PFNKSPINSETDATAFORMAT
#define PFNKSPINSETDEVICESTATE __attribute__((stdcall)) PFNKSPINSETDEVICESTATE
#define PFNKSPINSETTIMER __attribute__((stdcall)) PFNKSPINSETTIMER
#define PFNKSPINVOID __attribute__((stdcall)) PFNKSPINVOID
#define PFNKSREMOVEEVENT __attribute__((stdcall)) PFNKSREMOVEEVENT
#define PFNKSSETTIMER __attribute__((stdcall)) PFNKSSETTIMER
#define PFNKSSTREAMPOINTER __attribute__((stdcall)) PFNKSSTREAMPOINTER
#define PFNQUERYMEDIUMSLIST __attribute__((stdcall)) PFNQUERYMEDIUMSLIST
#define PFNQUERYREFERENCESTRING __attribute__((stdcall)) PFNQUERYREFERENCESTRING
#define PFNREFERENCEDEVICEOBJECT __attribute__((stdcall)) PFNREFERENCEDEVICEOBJECT

// The toolchain's usbdlib.h declares the USBD routines without extern "C", so C++ callers
// would look for mangled names usbd.sys does not export. Declaring the routines the driver
// calls with C linkage first makes usbdlib.h's later declarations keep that linkage.
#ifdef __cplusplus
struct _USB_CONFIGURATION_DESCRIPTOR;
struct _USB_INTERFACE_DESCRIPTOR;
struct _USBD_INTERFACE_LIST_ENTRY;
struct _URB;
extern "C" {
__declspec(dllimport) struct _USB_INTERFACE_DESCRIPTOR* __attribute__((stdcall))
USBD_ParseConfigurationDescriptorEx(struct _USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor,
                                    void* StartPosition, long InterfaceNumber,
                                    long AlternateSetting, long InterfaceClass,
                                    long InterfaceSubClass, long InterfaceProtocol);
__declspec(dllimport) struct _URB* __attribute__((stdcall))
USBD_CreateConfigurationRequestEx(struct _USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor,
                                  struct _USBD_INTERFACE_LIST_ENTRY* InterfaceList);
}
#endif
