// Pool allocation, tag checks, leak reports and low-resource simulation.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <cstdint>
#include <vector>

namespace {

const ULONG kTagA = vf::TagFromText("TstA");
const ULONG kTagB = vf::TagFromText("TstB");

TEST(Pool, BlocksAreAlignedDistinctAndNotZeroed)
{
    auto* first = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTagA));
    auto* second = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTagA));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 16, 0u);
    // Fresh pool is never zeroed: code that forgets to clear its blocks must see garbage.
    EXPECT_NE(first[0], 0);
    EXPECT_NE(first[99], 0);
    ExFreePoolWithTag(first, kTagA);
    ExFreePool(second);
}

TEST(Pool, OutstandingBlocksAreGroupedByTagAndSize)
{
    std::uint64_t epoch = vf::MarkPoolEpoch();
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
    void* a2 = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 32, kTagB);
    std::vector<vf::PoolUsage> usage = vf::OutstandingPool(epoch);
    ASSERT_EQ(usage.size(), 2u);
    SIZE_T countA = 0;
    for (const vf::PoolUsage& group : usage) {
        if (group.tag == kTagA) {
            EXPECT_EQ(group.size, 64u);
            countA = group.count;
        } else {
            EXPECT_EQ(group.tag, kTagB);
            EXPECT_EQ(group.count, 1u);
        }
    }
    EXPECT_EQ(countA, 2u);
    ExFreePoolWithTag(a1, kTagA);
    ExFreePoolWithTag(a2, kTagA);
    ExFreePoolWithTag(b, kTagB);
    EXPECT_TRUE(vf::OutstandingPool(epoch).empty());
}

TEST(PoolDeathTest, FreeUnderAnotherTagStops)
{
    EXPECT_DEATH(
        {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
            ExFreePoolWithTag(block, kTagB);
        },
        "allocated with tag 'TstA' freed with tag 'TstB'.*STOP: 0x000000C2 \\(0xA,");
}

TEST(PoolDeathTest, DoubleFreeStops)
{
    EXPECT_DEATH(
        {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
            ExFreePoolWithTag(block, kTagA);
            ExFreePoolWithTag(block, kTagA);
        },
        "STOP: 0x000000C2 \\(0x7,");
}

TEST(PoolDeathTest, ZeroByteAllocationStops)
{
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 0, kTagA), "STOP: 0x000000C4 \\(0x0,");
}

TEST(PoolDeathTest, LeakCheckListsTagSizeAndCount)
{
    EXPECT_DEATH(
        {
            std::uint64_t epoch = vf::MarkPoolEpoch();
            ExAllocatePoolWithTag(NonPagedPool, 48, kTagB);
            ExAllocatePoolWithTag(NonPagedPool, 48, kTagB);
            vf::CheckForLeaks("driver unload", epoch);
        },
        "pool still allocated at driver unload:\n    tag 'TstB' size 48 x 2.*"
        "STOP: 0x000000C4 \\(0x62, 0x2, 0x60,");
}

TEST(PoolFaultInjection, FailsEveryAllocationUnderTheChosenTagOnly)
{
    vf::FailAllocationsWithTag(kTagA);
    std::uint64_t before = vf::InjectedFailureCount();
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(other, nullptr);
    ExFreePoolWithTag(other, kTagB);
    EXPECT_EQ(vf::InjectedFailureCount() - before, 2u);
    vf::ClearFaultInjection();
    void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(again, nullptr);
    ExFreePoolWithTag(again, kTagA);
}

TEST(PoolFaultInjection, FailsEveryAllocationAfterTheGivenNumberOfCalls)
{
    vf::FailAllocationsAfter(3);
    std::vector<void*> granted;
    int failed = 0;
    for (int i = 0; i < 6; ++i) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
        if (block != nullptr) {
            EXPECT_EQ(failed, 0) << "an allocation succeeded after the first failure";
            granted.push_back(block);
        } else {
            ++failed;
        }
    }
    EXPECT_EQ(granted.size(), 3u);
    EXPECT_EQ(failed, 3);
    for (void* block : granted) {
        ExFreePoolWithTag(block, kTagA);
    }
}

std::vector<bool> RandomFailurePattern(std::uint32_t seed)
{
    vf::FailAllocationsRandomly(seed, 0.5);
    std::vector<bool> pattern;
    for (int i = 0; i < 64; ++i) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
        pattern.push_back(block == nullptr);
        if (block != nullptr) {
            ExFreePoolWithTag(block, kTagA);
        }
    }
    vf::ClearFaultInjection();
    return pattern;
}

TEST(PoolFaultInjection, RandomFailuresRepeatForTheSameSeed)
{
    std::vector<bool> first = RandomFailurePattern(1234);
    std::vector<bool> second = RandomFailurePattern(1234);
    std::vector<bool> other = RandomFailurePattern(99);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    int failures = 0;
    for (bool failed : first) {
        failures += failed ? 1 : 0;
    }
    EXPECT_GT(failures, 8);
    EXPECT_LT(failures, 56);
}

}  // namespace
