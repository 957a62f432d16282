// Memory descriptor lists: a buffer described page by page, whole or as a byte range of another.
#pragma once

#include "../ntdef.h"
#include "io.h"
#include "pool.h"

#ifndef PAGE_SHIFT
#define PAGE_SHIFT 12L
#endif

#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~((ULONG_PTR)PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~((ULONG_PTR)PAGE_SIZE - 1))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)                                                   \
    ((ULONG)((((ULONG_PTR)BYTE_OFFSET(Va)) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))
#define COMPUTE_PAGES_SPANNED(Va, Size) ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

// The header is followed by one page frame number per page the buffer spans. In the stand-in a
// page frame number is the page's virtual page number: memory is mapped one to one.
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#if defined(__i386__)
static_assert(sizeof(MDL) == 0x1c, "MDL layout");
#elif defined(__x86_64__)
static_assert(sizeof(MDL) == 0x30, "MDL layout");
#endif

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_PARENT_MAPPED_SYSTEM_VA MDL_LOCKED_PAGE_TABLES
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_ALLOCATED_MUST_SUCCEED MDL_PAGE_CONTENTS_INVARIANT
#define MDL_INTERNAL 0x8000
#define MDL_MAPPING_FLAGS                                                                          \
    (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL |                    \
     MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_PARENT_MAPPED_SYSTEM_VA | MDL_IO_SPACE)

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

// Flags that may be or-ed into a mapping priority.
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType
} MEMORY_CACHING_TYPE;

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

// Allocates an MDL for the buffer. With Irp: the MDL becomes Irp->MdlAddress, or with
// SecondaryBuffer it is appended to the IRP's MDL chain. NULL when the pool is exhausted or the
// buffer is too long to describe.
NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                     BOOLEAN ChargeQuota, PIRP Irp);
NTKERNELAPI void NTAPI IoFreeMdl(PMDL Mdl);
// Makes TargetMdl describe Length bytes of SourceMdl's buffer from VirtualAddress; Length 0
// means the rest of the source buffer.
NTKERNELAPI void NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                         ULONG Length);

NTKERNELAPI SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length);
NTKERNELAPI void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
NTKERNELAPI void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation);
NTKERNELAPI void NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                     KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType,
                                                     PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority);
NTKERNELAPI void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                                      \
    do {                                                                                           \
        (MemoryDescriptorList)->Next = (PMDL)NULL;                                                 \
        (MemoryDescriptorList)->Size =                                                             \
            (CSHORT)(sizeof(MDL) +                                                                 \
                     (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((BaseVa), (Length))));   \
        (MemoryDescriptorList)->MdlFlags = 0;                                                      \
        (MemoryDescriptorList)->StartVa = (PVOID)PAGE_ALIGN((BaseVa));                             \
        (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET((BaseVa));                                \
        (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                       \
    } while (0)

#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)

#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                                \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                   \
         ? ((Mdl)->MappedSystemVa)                                                                 \
         : MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE, (Priority)))

// Undoes the mapping of a partial MDL before it describes another range.
#define MmPrepareMdlForReuse(Mdl)                                                                  \
    do {                                                                                           \
        if (((Mdl)->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0)                                  \
            MmUnmapLockedPages((Mdl)->MappedSystemVa, (Mdl));                                      \
    } while (0)
