// Critical regions and floating-point state saves, and their balance checks.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <cfenv>

namespace {

TEST(CriticalRegion, NestsAndBalances)
{
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    vf::CheckThreadState("balanced regions");  // would stop if still entered
    SUCCEED();
}

TEST(CriticalRegionDeathTest, LeaveWithoutEnterStops)
{
    EXPECT_DEATH(KeLeaveCriticalRegion(), "STOP: 0x000000C4 \\(0x36,");
}

TEST(CriticalRegionDeathTest, RegionLeftEnteredIsCaughtAtTheEndCheck)
{
    EXPECT_DEATH(
        {
            KeEnterCriticalRegion();
            vf::CheckThreadState("end of test");
        },
        "critical region still entered at end of test.*STOP: 0x00000020");
}

TEST(FloatingPointState, RestoreBringsBackTheSavedRoundingMode)
{
    KFLOATING_SAVE save;
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    std::fesetround(FE_UPWARD);
    ASSERT_EQ(KeRestoreFloatingPointState(&save), STATUS_SUCCESS);
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
}

TEST(FloatingPointState, SavesNest)
{
    KFLOATING_SAVE outer;
    KFLOATING_SAVE inner;
    ASSERT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(KeRestoreFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(KeRestoreFloatingPointState(&outer), STATUS_SUCCESS);
}

TEST(FloatingPointStateDeathTest, RestoreOutOfOrderStops)
{
    EXPECT_DEATH(
        {
            KFLOATING_SAVE outer;
            KFLOATING_SAVE inner;
            KeSaveFloatingPointState(&outer);
            KeSaveFloatingPointState(&inner);
            KeRestoreFloatingPointState(&outer);
        },
        "without the matching innermost save.*STOP: 0x000000C4 \\(0x37,");
}

TEST(FloatingPointStateDeathTest, SaveNeverRestoredIsCaughtAtTheEndCheck)
{
    EXPECT_DEATH(
        {
            KFLOATING_SAVE save;
            KeSaveFloatingPointState(&save);
            vf::CheckThreadState("end of test");
        },
        "saved but not restored at end of test.*STOP: 0x000000C4 \\(0x37,");
}

}  // namespace
