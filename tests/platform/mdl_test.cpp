// Memory descriptor lists: whole buffers, partial ranges, MDLs on request packets, mapping and
// allocation failure.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

namespace {

const ULONG kBufferTag = vf::TagFromText("MdlT");

class Mdl : public testing::Test {
protected:
    void SetUp() override
    {
        buffer_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kLength, kBufferTag));
        ASSERT_NE(buffer_, nullptr);
    }
    void TearDown() override { ExFreePoolWithTag(buffer_, kBufferTag); }

    // A whole-buffer MDL as a driver builds it for a frame buffer.
    PMDL DescribeBuffer()
    {
        PMDL mdl = IoAllocateMdl(buffer_, kLength, FALSE, FALSE, nullptr);
        if (mdl != nullptr) {
            MmBuildMdlForNonPagedPool(mdl);
        }
        return mdl;
    }

    static constexpr ULONG kLength = 5 * PAGE_SIZE + 123;
    PUCHAR buffer_ = nullptr;
};

TEST_F(Mdl, WholeBufferIsDescribedPageByPage)
{
    PUCHAR start = buffer_ + 100;
    ULONG length = 3 * PAGE_SIZE;
    PMDL mdl = IoAllocateMdl(start, length, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->Next, nullptr);
    EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(start));
    EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(start));
    EXPECT_EQ(MmGetMdlByteCount(mdl), length);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, length);
    EXPECT_EQ(pages, BYTE_OFFSET(start) + 100 > PAGE_SIZE ? 4u : 3u + (BYTE_OFFSET(start) != 0));
    EXPECT_EQ(static_cast<SIZE_T>(mdl->Size), MmSizeOfMdl(start, length));
    EXPECT_NE(mdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE, 0);
    EXPECT_EQ(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);

    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_NE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute), start);
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    for (ULONG i = 1; i < pages; ++i) {
        EXPECT_EQ(frames[i], frames[0] + i);
    }
    IoFreeMdl(mdl);
}

TEST_F(Mdl, PartialMdlsDescribeByteRangesOfTheSource)
{
    PMDL source = DescribeBuffer();
    ASSERT_NE(source, nullptr);
    struct Range {
        ULONG offset;
        ULONG length;
    };
    const Range ranges[] = {{0, PAGE_SIZE}, {5000, 3000}, {PAGE_SIZE - 1, 2}, {2 * PAGE_SIZE, 1}};
    for (const Range& range : ranges) {
        SCOPED_TRACE(range.offset);
        PUCHAR va = buffer_ + range.offset;
        PMDL partial = IoAllocateMdl(va, range.length, FALSE, FALSE, nullptr);
        ASSERT_NE(partial, nullptr);
        IoBuildPartialMdl(source, partial, va, range.length);
        EXPECT_EQ(MmGetMdlVirtualAddress(partial), va);
        EXPECT_EQ(MmGetMdlByteCount(partial), range.length);
        EXPECT_EQ(MmGetMdlByteOffset(partial), BYTE_OFFSET(va));
        EXPECT_NE(partial->MdlFlags & MDL_PARTIAL, 0);
        EXPECT_NE(partial->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), va);
        // The partial's pages are the source's pages at the same place.
        ULONG firstPage = static_cast<ULONG>((reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(va)) -
                                              reinterpret_cast<ULONG_PTR>(source->StartVa)) /
                                             PAGE_SIZE);
        for (ULONG i = 0; i < ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, range.length); ++i) {
            EXPECT_EQ(MmGetMdlPfnArray(partial)[i], MmGetMdlPfnArray(source)[firstPage + i]);
        }
        IoFreeMdl(partial);
    }
    IoFreeMdl(source);
}

TEST_F(Mdl, PartialOfLengthZeroRunsToTheEndOfTheSource)
{
    PMDL source = DescribeBuffer();
    ASSERT_NE(source, nullptr);
    PMDL partial = IoAllocateMdl(buffer_, kLength, FALSE, FALSE, nullptr);
    ASSERT_NE(partial, nullptr);
    IoBuildPartialMdl(source, partial, buffer_ + 4321, 0);
    EXPECT_EQ(MmGetMdlVirtualAddress(partial), buffer_ + 4321);
    EXPECT_EQ(MmGetMdlByteCount(partial), kLength - 4321);
    // Reused for another range: the fixed-size flag survives, the range is replaced.
    IoBuildPartialMdl(source, partial, buffer_ + 10, 20);
    EXPECT_EQ(MmGetMdlByteCount(partial), 20u);
    EXPECT_NE(partial->MdlFlags & MDL_ALLOCATED_FIXED_SIZE, 0);
    IoFreeMdl(partial);
    IoFreeMdl(source);
}

TEST_F(Mdl, LockedBufferIsMappedOnDemand)
{
    PMDL source = IoAllocateMdl(buffer_, kLength, FALSE, FALSE, nullptr);
    ASSERT_NE(source, nullptr);
    MmProbeAndLockPages(source, KernelMode, IoWriteAccess);
    EXPECT_NE(source->MdlFlags & MDL_PAGES_LOCKED, 0);
    EXPECT_EQ(source->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);

    PMDL partial = IoAllocateMdl(buffer_ + PAGE_SIZE, 100, FALSE, FALSE, nullptr);
    ASSERT_NE(partial, nullptr);
    IoBuildPartialMdl(source, partial, buffer_ + PAGE_SIZE, 100);
    EXPECT_EQ(partial->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, HighPagePriority), buffer_ + PAGE_SIZE);
    EXPECT_NE(partial->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    EXPECT_NE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED, 0);
    IoFreeMdl(partial);  // unmaps first

    EXPECT_EQ(MmGetSystemAddressForMdlSafe(source, LowPagePriority), buffer_);
    MmUnlockPages(source);
    EXPECT_EQ(source->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    IoFreeMdl(source);
}

TEST_F(Mdl, MdlsAttachToAndChainOnARequestPacket)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    PMDL first = IoAllocateMdl(buffer_, 100, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer_ + 100, 100, TRUE, FALSE, irp);
    PMDL third = IoAllocateMdl(buffer_ + 200, 100, TRUE, FALSE, irp);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    EXPECT_EQ(second->Next, third);
    EXPECT_EQ(third->Next, nullptr);

    // A primary MDL replaces the packet's MDL; the caller still owns the old chain.
    PMDL replacement = IoAllocateMdl(buffer_, 10, FALSE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, replacement);
    for (PMDL mdl = first; mdl != nullptr;) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
    IoFreeMdl(replacement);
    IoFreeIrp(irp);
}

TEST_F(Mdl, AllocationFailsUnderInjectedPoolFailureAndForHugeBuffers)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    vf::FailAllocationsWithTag(vf::TagFromText("Mdl "));
    EXPECT_EQ(IoAllocateMdl(buffer_, kLength, FALSE, FALSE, irp), nullptr);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    vf::ClearFaultInjection();

    // Larger than an MDL's 16-bit size can describe.
    EXPECT_EQ(IoAllocateMdl(buffer_, 0x7FFFF000, FALSE, FALSE, nullptr), nullptr);

    std::uint64_t epoch = vf::MarkPoolEpoch();
    PMDL mdl = IoAllocateMdl(buffer_, kLength, FALSE, FALSE, irp);
    ASSERT_NE(mdl, nullptr);
    std::vector<vf::PoolUsage> usage = vf::OutstandingPool(epoch);
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(vf::TagText(usage[0].tag), "Mdl ");
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
}

TEST_F(Mdl, LargeBufferGetsAnMdlOfItsOwnSize)
{
    constexpr ULONG kLarge = 64 * PAGE_SIZE;
    auto large = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kLarge, kBufferTag));
    ASSERT_NE(large, nullptr);
    PMDL mdl = IoAllocateMdl(large, kLarge, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE, 0);
    EXPECT_EQ(static_cast<SIZE_T>(mdl->Size), MmSizeOfMdl(large, kLarge));
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), large);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(large, kBufferTag);
}

TEST_F(Mdl, PartialLargerThanItsTargetStops)
{
    EXPECT_DEATH(
        {
            PMDL source = DescribeBuffer();
            PMDL target = IoAllocateMdl(buffer_, 30 * PAGE_SIZE, FALSE, FALSE, nullptr);
            target->Size = static_cast<CSHORT>(MmSizeOfMdl(buffer_, 10));
            IoBuildPartialMdl(source, target, buffer_, 3 * PAGE_SIZE);
        },
        "STOP: 0x00000040");
}

}  // namespace
