// The saves the vector kernels run under: which instruction set SaveVectorState grants as the
// system's extended state allows, the fallback to SSE2, nothing left outstanding after
// RestoreVectorState; and the instruction set chosen for the processor, which never exceeds
// what the system has enabled.
#include <gtest/gtest.h>

#include <ntoskrnl/host/extended_state.h>
#include <ntoskrnl/host/verifier.h>

#include <string>

#include "imaging/extended_state_check.h"
#include "imaging/imaging_isa.h"
#include "imaging/processor_isa.h"
#include "imaging/vector_state_save.h"

namespace {

const char* IsaName(ImagingIsa isa)
{
    switch (isa) {
    case ImagingIsaSse2: return "SSE2";
    case ImagingIsaAvx2: return "AVX2";
    case ImagingIsaAvx512: return "AVX-512";
    default: return "?";
    }
}

// The extended state each set uses, bit by bit: the YMM upper halves (XCR0 bit 2); for AVX-512
// also the opmask registers, ZMM0-15's upper halves and ZMM16-31 (bits 5, 6, 7).
TEST(ImagingIsaFeatureMask, NamesTheStateEachSetUses)
{
    EXPECT_EQ(ImagingIsaFeatureMask(ImagingIsaSse2), 0u);
    EXPECT_EQ(ImagingIsaFeatureMask(ImagingIsaAvx2), 1ULL << 2);
    EXPECT_EQ(ImagingIsaFeatureMask(ImagingIsaAvx512), (1ULL << 2) | (7ULL << 5));
    EXPECT_EQ(ImagingIsaFeatureMask(ImagingIsaCount), 0u);
}

// How the stand-in's system is set up for a row.
struct SystemSetup {
    ULONG64 disabled = 0;      // features the system does not enable
    bool olderSystem = false;  // no extended-state routines to look up
    ULONG failingSaves = 0;    // extended saves that fail next
};

void Apply(const SystemSetup& setup)
{
    ke::DisableExtendedFeatures(setup.disabled);
    ke::SetSystemWithoutExtendedState(setup.olderSystem);
    ke::FailExtendedStateSaves(setup.failingSaves);
}

// Whether the system as set up lets a driver save the state of `isa` at all (SSE2 needs only
// the floating-point save, which every system has).
bool SystemSavesStateOf(ImagingIsa isa, const SystemSetup& setup)
{
    ULONG64 needed = ImagingIsaFeatureMask(isa);
    if (needed == 0) {
        return true;
    }
    return !setup.olderSystem &&
           (ke::HostEnabledExtendedFeatures() & ~setup.disabled & needed) == needed;
}

struct SaveRow {
    const char* name;
    ImagingIsa wanted;
    SystemSetup setup;
    // The row shows its point only where the host has enabled this set's state (a host
    // without AVX grants SSE2 whatever the row sets up).
    ImagingIsa needsHost;
    ImagingIsa expected;  // when the host has what the row needs
};

const SaveRow SaveRows[] = {
    {"Sse2Wanted", ImagingIsaSse2, {}, ImagingIsaSse2, ImagingIsaSse2},
    {"Avx2Granted", ImagingIsaAvx2, {}, ImagingIsaAvx2, ImagingIsaAvx2},
    {"Avx512Granted", ImagingIsaAvx512, {}, ImagingIsaAvx512, ImagingIsaAvx512},
    {"Avx512MaskedGivesAvx2",
     ImagingIsaAvx512,
     {XSTATE_MASK_AVX512},
     ImagingIsaAvx2,
     ImagingIsaAvx2},
    {"AvxMaskedGivesSse2", ImagingIsaAvx2, {XSTATE_MASK_AVX}, ImagingIsaAvx2, ImagingIsaSse2},
    {"AvxMaskedUnderAvx512GivesSse2",
     ImagingIsaAvx512,
     {XSTATE_MASK_AVX},
     ImagingIsaAvx512,
     ImagingIsaSse2},
    {"OlderSystemGivesSse2", ImagingIsaAvx2, {0, true}, ImagingIsaAvx2, ImagingIsaSse2},
    {"OlderSystemUnderAvx512GivesSse2",
     ImagingIsaAvx512,
     {0, true},
     ImagingIsaAvx512,
     ImagingIsaSse2},
    {"FailedSaveGivesSse2", ImagingIsaAvx2, {0, false, 1}, ImagingIsaAvx2, ImagingIsaSse2},
    {"FailedAvx512SaveGivesSse2",
     ImagingIsaAvx512,
     {0, false, 1},
     ImagingIsaAvx512,
     ImagingIsaSse2},
};

class VectorStateSaveRow : public testing::TestWithParam<SaveRow> {};

TEST_P(VectorStateSaveRow, GrantsWhatTheSystemAllowsAndRestoresEverything)
{
    const SaveRow& row = GetParam();
    if (!SystemSavesStateOf(row.needsHost, SystemSetup{})) {
        GTEST_SKIP() << "the host has not enabled the state of " << IsaName(row.needsHost);
    }
    Apply(row.setup);

    VectorStateSave save;
    ImagingIsa granted = ImagingIsaCount;
    ASSERT_TRUE(SaveVectorState(row.wanted, &save, &granted));
    EXPECT_EQ(granted, row.expected) << "granted " << IsaName(granted);
    EXPECT_TRUE(SystemSavesStateOf(granted, row.setup)) << "granted a set the system cannot save";
    EXPECT_EQ(ke::OutstandingExtendedSaves(), granted == ImagingIsaSse2 ? 0u : 1u);
    // The granted set's kernels pass the verifier's check at their entry.
    ImagingRequireExtendedState(ImagingIsaFeatureMask(granted));

    RestoreVectorState(&save);
    EXPECT_EQ(ke::OutstandingExtendedSaves(), 0u);
    vf::CheckThreadState("after RestoreVectorState");  // stops on any outstanding save
    // A second restore gives back nothing twice.
    RestoreVectorState(&save);
}

INSTANTIATE_TEST_SUITE_P(Rows, VectorStateSaveRow, testing::ValuesIn(SaveRows),
                         [](const testing::TestParamInfo<SaveRow>& rowInfo) {
                             return std::string(rowInfo.param.name);
                         });

TEST(VectorStateSave, NothingIsSavedWhenTheFloatingPointSaveFails)
{
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);  // no save is possible above DISPATCH_LEVEL
    VectorStateSave save;
    ImagingIsa granted = ImagingIsaCount;
    BOOLEAN saved = SaveVectorState(ImagingIsaAvx2, &save, &granted);
    KeLowerIrql(old);
    EXPECT_FALSE(saved);
    EXPECT_EQ(granted, ImagingIsaSse2);
    EXPECT_EQ(ke::OutstandingExtendedSaves(), 0u);
    RestoreVectorState(&save);  // nothing to give back; the end-of-test check stays quiet
}

TEST(VectorStateSaveDeathTest, KernelRunningAfterTheRestoreStops)
{
    if (!SystemSavesStateOf(ImagingIsaAvx2, SystemSetup{})) {
        GTEST_SKIP() << "the host has not enabled the AVX state";
    }
    EXPECT_DEATH(
        {
            VectorStateSave save;
            ImagingIsa granted;
            SaveVectorState(ImagingIsaAvx2, &save, &granted);
            RestoreVectorState(&save);
            ImagingRequireExtendedState(ImagingIsaFeatureMask(ImagingIsaAvx2));
        },
        "STOP: 0x000000C4 \\(0x39,");
}

TEST(VectorStateSaveDeathTest, WiderKernelThanGrantedStops)
{
    if (!SystemSavesStateOf(ImagingIsaAvx2, SystemSetup{})) {
        GTEST_SKIP() << "the host has not enabled the AVX state";
    }
    EXPECT_DEATH(
        {
            VectorStateSave save;
            ImagingIsa granted;
            SaveVectorState(ImagingIsaAvx2, &save, &granted);
            ImagingRequireExtendedState(ImagingIsaFeatureMask(ImagingIsaAvx512));
        },
        "STOP: 0x000000C4 \\(0x39,");
}

TEST(VectorStateSaveDeathTest, Sse2GrantLeavesNoRoomForAvx2Kernels)
{
    EXPECT_DEATH(
        {
            ke::SetSystemWithoutExtendedState(true);
            VectorStateSave save;
            ImagingIsa granted;
            SaveVectorState(ImagingIsaAvx2, &save, &granted);
            ImagingRequireExtendedState(ImagingIsaFeatureMask(ImagingIsaAvx2));
        },
        "STOP: 0x000000C4 \\(0x39,");
}

// The processor's instruction set, from the compiler's own check of the processor (which also
// asks whether the operating system enabled the state), independent of the driver's CPUID code.
ImagingIsa HostProcessorIsa()
{
#if defined(__i386__) || defined(__x86_64__)
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2") != 0;
    if (avx2 && __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0) {
        return ImagingIsaAvx512;
    }
    return avx2 ? ImagingIsaAvx2 : ImagingIsaSse2;
#else
    return ImagingIsaSse2;
#endif
}

struct ProcessorRow {
    const char* name;
    SystemSetup setup;
};

const ProcessorRow ProcessorRows[] = {
    {"AllEnabled", {}},
    {"Avx512Masked", {XSTATE_MASK_AVX512}},
    {"AvxMasked", {XSTATE_MASK_AVX}},
    {"OlderSystem", {0, true}},
};

class ProcessorIsaRow : public testing::TestWithParam<ProcessorRow> {};

TEST_P(ProcessorIsaRow, IsTheWidestTheProcessorHasAndTheSystemEnabled)
{
    const ProcessorRow& row = GetParam();
    Apply(row.setup);
    ImagingIsa isa = ProcessorImagingIsa();
    EXPECT_LE(isa, HostProcessorIsa()) << IsaName(isa);
    EXPECT_TRUE(SystemSavesStateOf(isa, row.setup)) << IsaName(isa) << " exceeds the system";
    ImagingIsa expected = HostProcessorIsa();
    while (expected != ImagingIsaSse2 && !SystemSavesStateOf(expected, row.setup)) {
        expected = static_cast<ImagingIsa>(expected - 1);
    }
    EXPECT_EQ(isa, expected) << IsaName(isa) << " instead of " << IsaName(expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProcessorIsaRow, testing::ValuesIn(ProcessorRows),
                         [](const testing::TestParamInfo<ProcessorRow>& rowInfo) {
                             return std::string(rowInfo.param.name);
                         });

}  // namespace
