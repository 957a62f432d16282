// Saving the extended processor state (the AVX and AVX-512 registers and whatever else XSAVE
// covers) around kernel-mode use of it. The floating-point save covers only the x87 and SSE
// state. Both routines exist from Windows 7 on: a driver that must also load on older
// systems looks them up with MmGetSystemRoutineAddress instead of importing them.
#pragma once

#include "../ntdef.h"

// State components, by their bit in the XSAVE feature mask (XCR0).
#define XSTATE_LEGACY_FLOATING_POINT 0
#define XSTATE_LEGACY_SSE 1
#define XSTATE_GSSE 2
#define XSTATE_AVX XSTATE_GSSE
#define XSTATE_AVX512_KMASK 5
#define XSTATE_AVX512_ZMM_H 6
#define XSTATE_AVX512_ZMM 7

#define XSTATE_MASK_LEGACY_FLOATING_POINT (1ULL << (XSTATE_LEGACY_FLOATING_POINT))
#define XSTATE_MASK_LEGACY_SSE (1ULL << (XSTATE_LEGACY_SSE))
#define XSTATE_MASK_LEGACY (XSTATE_MASK_LEGACY_FLOATING_POINT | XSTATE_MASK_LEGACY_SSE)
#define XSTATE_MASK_GSSE (1ULL << (XSTATE_GSSE))
#define XSTATE_MASK_AVX XSTATE_MASK_GSSE
#define XSTATE_MASK_AVX512                                                                         \
    ((1ULL << (XSTATE_AVX512_KMASK)) | (1ULL << (XSTATE_AVX512_ZMM_H)) |                           \
     (1ULL << (XSTATE_AVX512_ZMM)))

// The save area the kernel allocates for a save; drivers only carry the pointer.
typedef struct _XSAVE_AREA XSAVE_AREA, *PXSAVE_AREA;

// Where a save keeps its state. On the 32-bit target each pointer is padded to 64 bits, so the
// structure has one layout on both targets' kernels.
typedef struct _XSTATE_CONTEXT {
    ULONG64 Mask DECLSPEC_ALIGN8;
    ULONG Length;
    ULONG Reserved1;
    PXSAVE_AREA Area;
#if defined(__i386__)
    ULONG Reserved2;
#endif
    PVOID Buffer;
#if defined(__i386__)
    ULONG Reserved3;
#endif
} XSTATE_CONTEXT, *PXSTATE_CONTEXT;

struct _KTHREAD;

// One extended-state save, filled by KeSaveExtendedProcessorState and read back by
// KeRestoreExtendedProcessorState; its contents belong to the kernel. Small (32 bytes on the
// 32-bit target): the state itself lives in a save area the kernel allocates.
typedef struct _XSTATE_SAVE {
#if defined(__i386__)
    union {
        struct {
            LONGLONG Reserved1 DECLSPEC_ALIGN8;
            ULONG Reserved2;
            struct _XSTATE_SAVE* Prev;
            PXSAVE_AREA Reserved3;
            struct _KTHREAD* Thread;
            PVOID Reserved4;
            UCHAR Level;
        };
        XSTATE_CONTEXT XStateContext;
    };
#else
    struct _XSTATE_SAVE* Prev;
    struct _KTHREAD* Thread;
    UCHAR Level;
    XSTATE_CONTEXT XStateContext;
#endif
} XSTATE_SAVE, *PXSTATE_SAVE;

#if defined(__i386__)
static_assert(sizeof(XSTATE_CONTEXT) == 32, "XSTATE_CONTEXT layout");
static_assert(sizeof(XSTATE_SAVE) == 32 && alignof(XSTATE_SAVE) == 8, "XSTATE_SAVE layout");
#endif

// Saves the state components of Mask, which must all be enabled by the system
// (RtlGetEnabledExtendedFeatures). At IRQL <= DISPATCH_LEVEL.
NTKERNELAPI NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave);
// Restores what the matching save saved; saves of a thread are restored innermost first.
NTKERNELAPI VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave);
