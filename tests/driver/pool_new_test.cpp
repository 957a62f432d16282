// The driver's pool-backed object allocation.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>

#include "device/pool_new.h"

namespace {

constexpr ULONG kTag = PoolTag("KCNw");

struct Tracked {
    explicit Tracked(int* destroyed) : destroyedCount(destroyed), value(7) {}
    ~Tracked() { ++*destroyedCount; }
    int* destroyedCount;
    int value;
    int untouched;
};

TEST(PoolNew, TagBytesAreInMemoryOrder)
{
    EXPECT_EQ(kTag, vf::TagFromText("KCNw"));
    EXPECT_EQ(kTag & 0xFF, static_cast<ULONG>('K'));
}

TEST(PoolNew, ConstructsInZeroedPoolAndDestroysUnderTheSameTag)
{
    int destroyed = 0;
    std::uint64_t epoch = vf::MarkPoolEpoch();
    Tracked* object = new (NonPagedPool, kTag) Tracked(&destroyed);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->value, 7);
    EXPECT_EQ(object->untouched, 0);  // fresh pool is patterned; the helper zero-fills
    auto usage = vf::OutstandingPool(epoch);
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(usage[0].tag, kTag);
    EXPECT_EQ(usage[0].size, sizeof(Tracked));
    PoolDelete(object, kTag);
    EXPECT_EQ(destroyed, 1);
}

TEST(PoolNew, ExhaustedPoolGivesNullWithoutConstructing)
{
    int destroyed = 0;
    vf::FailAllocationsWithTag(kTag);
    Tracked* object = new (NonPagedPool, kTag) Tracked(&destroyed);
    EXPECT_EQ(object, nullptr);
    PoolDelete<Tracked>(nullptr, kTag);
    EXPECT_EQ(destroyed, 0);
}

}  // namespace
