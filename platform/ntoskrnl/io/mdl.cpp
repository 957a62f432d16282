// Memory descriptor lists. Memory is mapped one to one here, so a page frame number is the
// page's virtual page number and the system address of a buffer is its own address.
#include "io/io_internal.h"

#include <ntoskrnl/host/verifier.h>

namespace {

// MDLs for up to this many pages come in one fixed size, as from the I/O manager's lookaside.
constexpr ULONG kFixedSizeMdlPages = 23;
// The Size field is 16 bits wide.
constexpr SIZE_T kLargestMdlSize = 0xFFFF;

ULONG PageCapacity(PMDL mdl)
{
    return static_cast<ULONG>((static_cast<USHORT>(mdl->Size) - sizeof(MDL)) / sizeof(PFN_NUMBER));
}

void FillPageFrames(PMDL mdl)
{
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    ULONG_PTR first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
    for (ULONG i = 0; i < pages; ++i) {
        frames[i] = first + i;
    }
}

}  // namespace

extern "C" SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length)
{
    return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (Length == 0 || MmSizeOfMdl(VirtualAddress, Length) > kLargestMdlSize) {
        return nullptr;
    }
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    bool fixedSize = pages <= kFixedSizeMdlPages;
    SIZE_T size = sizeof(MDL) + sizeof(PFN_NUMBER) * (fixedSize ? kFixedSizeMdlPages : pages);
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, io::kMdlTag));
    if (mdl == nullptr) {
        return nullptr;
    }
    MmInitializeMdl(mdl, VirtualAddress, Length);
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    if (fixedSize) {
        mdl->MdlFlags |= MDL_ALLOCATED_FIXED_SIZE;
    }

    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) {
                last = last->Next;
            }
            last->Next = mdl;
        }
    }
    return mdl;
}

extern "C" void NTAPI IoFreeMdl(PMDL Mdl)
{
    MmPrepareMdlForReuse(Mdl);
    ExFreePoolWithTag(Mdl, io::kMdlTag);
}

extern "C" void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    FillPageFrames(MemoryDescriptorList);
    MemoryDescriptorList->Process = nullptr;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation)
{
    UNREFERENCED_PARAMETER(AccessMode);
    FillPageFrames(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) {
        MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
    }
}

extern "C" void NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    if ((MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        MmUnmapLockedPages(MemoryDescriptorList->MappedSystemVa, MemoryDescriptorList);
    }
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                    KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType,
                                                    PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                                    ULONG Priority)
{
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return mdl->MappedSystemVa;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if ((mdl->MdlFlags & MDL_PARTIAL) != 0) {
        mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    }
    return mdl->MappedSystemVa;
}

extern "C" void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    UNREFERENCED_PARAMETER(BaseAddress);
    MemoryDescriptorList->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" void NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                        ULONG Length)
{
    auto sourceStart = static_cast<PUCHAR>(MmGetMdlVirtualAddress(SourceMdl));
    auto offset = static_cast<ULONG>(static_cast<PUCHAR>(VirtualAddress) - sourceStart);
    if (Length == 0) {
        Length = SourceMdl->ByteCount - offset;
    }

    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    if (PageCapacity(TargetMdl) < pages) {
        vf::Stop(io::kTargetMdlTooSmall, reinterpret_cast<ULONG_PTR>(SourceMdl),
                 reinterpret_cast<ULONG_PTR>(TargetMdl),
                 reinterpret_cast<ULONG_PTR>(VirtualAddress), Length,
                 "IoBuildPartialMdl: the target MDL cannot describe the range");
    }

    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;

    constexpr CSHORT kInherited = MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA |
                                  MDL_IO_PAGE_READ | MDL_WRITE_OPERATION | MDL_IO_SPACE |
                                  MDL_NETWORK_HEADER;
    TargetMdl->MdlFlags &= (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
    TargetMdl->MdlFlags |= (SourceMdl->MdlFlags & kInherited) | MDL_PARTIAL;
    TargetMdl->MappedSystemVa =
        (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0
            ? static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + offset
            : nullptr;

    ULONG firstPage = static_cast<ULONG>((reinterpret_cast<ULONG_PTR>(TargetMdl->StartVa) -
                                          reinterpret_cast<ULONG_PTR>(SourceMdl->StartVa)) >>
                                         PAGE_SHIFT);
    PPFN_NUMBER source = MmGetMdlPfnArray(SourceMdl) + firstPage;
    PPFN_NUMBER target = MmGetMdlPfnArray(TargetMdl);
    for (ULONG i = 0; i < pages; ++i) {
        target[i] = source[i];
    }
}
