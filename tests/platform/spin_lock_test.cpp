// IRQL tracking and spin locks, with the verifier's rules on their use.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <thread>

namespace {

TEST(SpinLock, RaisesToDispatchAndRestoresThePreviousLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLock, NestedLocksAtDpcLevel)
{
    KSPIN_LOCK outer;
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KIRQL old = KfAcquireSpinLock(&outer);
    KeAcquireSpinLockAtDpcLevel(&inner);
    KeReleaseSpinLockFromDpcLevel(&inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&outer, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLock, ExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // A non-atomic read-modify-write with a yield inside: without mutual exclusion the
    // increments of the two threads would interleave and get lost.
    volatile LONG counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            KIRQL old = KfAcquireSpinLock(&lock);
            LONG value = counter;
            if (i % 64 == 0) {
                std::this_thread::yield();
            }
            counter = value + 1;
            KfReleaseSpinLock(&lock, old);
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(counter, 4000);
}

TEST(SpinLockDeathTest, ReleaseBelowDispatchLevelStops)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KfAcquireSpinLock(&lock);
            KeLowerIrql(old);
            KfReleaseSpinLock(&lock, old);
        },
        "released while not at DISPATCH_LEVEL.*STOP: 0x000000C4 \\(0x32, 0x0,");
}

TEST(SpinLockDeathTest, RecursiveAcquireStops)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KfAcquireSpinLock(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "STOP: 0x0000000F");
}

TEST(SpinLockDeathTest, ReleaseOfALockNotHeldStops)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLockFromDpcLevel(&lock);
        },
        "STOP: 0x00000010");
}

TEST(SpinLockDeathTest, LockNeverReleasedIsCaughtAtTheEndCheck)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KfAcquireSpinLock(&lock);
            vf::CheckThreadState("end of test");
        },
        "spin lock still held at end of test.*STOP: 0x000000C4 \\(0x33,");
}

TEST(IrqlDeathTest, RaisingToALowerLevelStops)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "STOP: 0x00000009 \\(0x2, 0x1,");
}

TEST(Irql, EachThreadHasItsOwnLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL seenByOtherThread = HIGH_LEVEL;
    std::thread([&] { seenByOtherThread = KeGetCurrentIrql(); }).join();
    KeLowerIrql(old);
    EXPECT_EQ(seenByOtherThread, PASSIVE_LEVEL);
}

}  // namespace
