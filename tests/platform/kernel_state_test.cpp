// Critical regions, floating-point and extended-state saves, and their balance checks; the
// verifier's check that vector code runs under an extended save covering its state.
#include <gtest/gtest.h>

#include <ntddk.h>
#include <ntoskrnl/host/extended_state.h>
#include <ntoskrnl/host/verifier.h>
#include <standin/extended_state_check.h>

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

// Extended-state saves use the x87 and SSE features where the host's state does not matter:
// every system enables both.
TEST(ExtendedState, SavesNestAndBalance)
{
    XSTATE_SAVE outer;
    XSTATE_SAVE inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY_SSE, &inner), STATUS_SUCCESS);
    EXPECT_EQ(ke::OutstandingExtendedSaves(), 2u);
    KeRestoreExtendedProcessorState(&inner);
    EXPECT_EQ(ke::OutstandingExtendedSaves(), 1u);
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(ke::OutstandingExtendedSaves(), 0u);
    vf::CheckThreadState("balanced extended saves");  // would stop if one were outstanding
}

// A refused save leaves nothing outstanding, and the refusals are the published ones.
struct RefusedSave {
    const char* name;
    void (*arrange)();
    ULONG64 mask;
    KIRQL irql;
    NTSTATUS expected;
};

const RefusedSave RefusedSaves[] = {
    {"FeatureTheSystemDisabled", [] { ke::DisableExtendedFeatures(XSTATE_MASK_AVX); },
     XSTATE_MASK_LEGACY | XSTATE_MASK_AVX, PASSIVE_LEVEL, STATUS_NOT_SUPPORTED},
    {"LegacyStateDisabled", [] { ke::DisableExtendedFeatures(XSTATE_MASK_LEGACY_SSE); },
     XSTATE_MASK_LEGACY_SSE, PASSIVE_LEVEL, STATUS_NOT_SUPPORTED},
    {"InjectedFailure", [] { ke::FailExtendedStateSaves(1); }, XSTATE_MASK_LEGACY, PASSIVE_LEVEL,
     STATUS_INSUFFICIENT_RESOURCES},
    {"AboveDispatchLevel", [] {}, XSTATE_MASK_LEGACY, HIGH_LEVEL, STATUS_ILLEGAL_FLOAT_CONTEXT},
};

class ExtendedStateRefusal : public testing::TestWithParam<RefusedSave> {};

TEST_P(ExtendedStateRefusal, ReturnsTheStatusAndRecordsNothing)
{
    const RefusedSave& row = GetParam();
    row.arrange();
    KIRQL old = PASSIVE_LEVEL;
    if (row.irql != PASSIVE_LEVEL) {
        KeRaiseIrql(row.irql, &old);
    }
    XSTATE_SAVE save;
    NTSTATUS status = KeSaveExtendedProcessorState(row.mask, &save);
    if (row.irql != PASSIVE_LEVEL) {
        KeLowerIrql(old);
    }
    EXPECT_EQ(status, row.expected);
    EXPECT_EQ(ke::OutstandingExtendedSaves(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, ExtendedStateRefusal, testing::ValuesIn(RefusedSaves),
                         [](const testing::TestParamInfo<RefusedSave>& rowInfo) {
                             return std::string(rowInfo.param.name);
                         });

TEST(ExtendedState, InjectedFailuresAreCountedOut)
{
    ke::FailExtendedStateSaves(2);
    XSTATE_SAVE save;
    EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save),
              STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&save);
}

// The vector-code check passes under any outstanding save whose mask covers what the code
// needs: the innermost or an outer one.
struct CoveredCheck {
    const char* name;
    ULONG64 outer;
    ULONG64 inner;  // 0: no inner save
    ULONG64 required;
};

const CoveredCheck CoveredChecks[] = {
    {"ExactMask", XSTATE_MASK_LEGACY_SSE, 0, XSTATE_MASK_LEGACY_SSE},
    {"WiderMask", XSTATE_MASK_LEGACY, 0, XSTATE_MASK_LEGACY_SSE},
    {"NothingRequired", XSTATE_MASK_LEGACY_FLOATING_POINT, 0, 0},
    {"OuterSaveCovers", XSTATE_MASK_LEGACY, XSTATE_MASK_LEGACY_FLOATING_POINT, XSTATE_MASK_LEGACY},
    {"InnerSaveCovers", XSTATE_MASK_LEGACY_FLOATING_POINT, XSTATE_MASK_LEGACY, XSTATE_MASK_LEGACY},
};

class ExtendedStateCoveredCheck : public testing::TestWithParam<CoveredCheck> {};

TEST_P(ExtendedStateCoveredCheck, Passes)
{
    const CoveredCheck& row = GetParam();
    XSTATE_SAVE outer;
    XSTATE_SAVE inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(row.outer, &outer), STATUS_SUCCESS);
    if (row.inner != 0) {
        ASSERT_EQ(KeSaveExtendedProcessorState(row.inner, &inner), STATUS_SUCCESS);
    }
    VfStandInRequireExtendedState(row.required);  // would stop the test program
    if (row.inner != 0) {
        KeRestoreExtendedProcessorState(&inner);
    }
    KeRestoreExtendedProcessorState(&outer);
}

INSTANTIATE_TEST_SUITE_P(Rows, ExtendedStateCoveredCheck, testing::ValuesIn(CoveredChecks),
                         [](const testing::TestParamInfo<CoveredCheck>& rowInfo) {
                             return std::string(rowInfo.param.name);
                         });

TEST(ExtendedState, AvxSaveCoversAvxCode)
{
    if (RtlGetEnabledExtendedFeatures(XSTATE_MASK_AVX) != XSTATE_MASK_AVX) {
        GTEST_SKIP() << "the host has not enabled the AVX state";
    }
    XSTATE_SAVE save;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS);
    VfStandInRequireExtendedState(XSTATE_MASK_AVX);
    KeRestoreExtendedProcessorState(&save);
}

// Each row stops the program with the verifier's report.
struct ExtendedStateStop {
    const char* name;
    void (*body)();
    const char* report;
};

const ExtendedStateStop ExtendedStateStops[] = {
    {"RestoreWithoutSave",
     [] {
         XSTATE_SAVE save{};
         KeRestoreExtendedProcessorState(&save);
     },
     "without the matching innermost save.*STOP: 0x000000C4 \\(0x38,"},
    {"RestoreOutOfOrder",
     [] {
         XSTATE_SAVE outer;
         XSTATE_SAVE inner;
         KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer);
         KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &inner);
         KeRestoreExtendedProcessorState(&outer);
     },
     "without the matching innermost save.*STOP: 0x000000C4 \\(0x38,"},
    {"RestoreTwice",
     [] {
         XSTATE_SAVE save;
         KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save);
         KeRestoreExtendedProcessorState(&save);
         KeRestoreExtendedProcessorState(&save);
     },
     "without the matching innermost save.*STOP: 0x000000C4 \\(0x38,"},
    {"SaveNeverRestored",
     [] {
         XSTATE_SAVE save;
         KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save);
         vf::CheckThreadState("end of test");
     },
     "extended processor state saved but not restored at end of test.*"
     "STOP: 0x000000C4 \\(0x38,"},
    {"VectorCodeWithoutSave", [] { VfStandInRequireExtendedState(XSTATE_MASK_AVX); },
     "needs extended state 0x4, but the thread's saves cover 0x0.*STOP: 0x000000C4 \\(0x39,"},
    {"VectorCodeUnderNarrowerSave",
     [] {
         XSTATE_SAVE save;
         KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY_FLOATING_POINT, &save);
         VfStandInRequireExtendedState(XSTATE_MASK_LEGACY);
     },
     "needs extended state 0x3, but the thread's saves cover 0x1.*STOP: 0x000000C4 \\(0x39,"},
    {"VectorCodeAfterRestore",
     [] {
         XSTATE_SAVE save;
         KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save);
         KeRestoreExtendedProcessorState(&save);
         VfStandInRequireExtendedState(XSTATE_MASK_LEGACY_SSE);
     },
     "needs extended state 0x2, but the thread's saves cover 0x0.*STOP: 0x000000C4 \\(0x39,"},
    {"FloatingPointSaveIsNoExtendedSave",
     [] {
         KFLOATING_SAVE save;
         KeSaveFloatingPointState(&save);
         VfStandInRequireExtendedState(XSTATE_MASK_LEGACY_SSE);
     },
     "needs extended state 0x2.*STOP: 0x000000C4 \\(0x39,"},
};

class ExtendedStateDeathTest : public testing::TestWithParam<ExtendedStateStop> {};

TEST_P(ExtendedStateDeathTest, Stops)
{
    const ExtendedStateStop& row = GetParam();
    EXPECT_DEATH(row.body(), row.report);
}

INSTANTIATE_TEST_SUITE_P(Rows, ExtendedStateDeathTest, testing::ValuesIn(ExtendedStateStops),
                         [](const testing::TestParamInfo<ExtendedStateStop>& rowInfo) {
                             return std::string(rowInfo.param.name);
                         });

}  // namespace
