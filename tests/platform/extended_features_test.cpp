// The extended processor features the stand-in's system reports (RtlGetEnabledExtendedFeatures)
// under the host controls, and the routines a driver finds by name (MmGetSystemRoutineAddress),
// on a current system and on one from before the extended-state routines.
#include <gtest/gtest.h>

#include <ntddk.h>
#include <ntoskrnl/host/extended_state.h>

#include <string>

namespace {

constexpr ULONG64 EveryFeature = ~0ULL;

TEST(EnabledExtendedFeatures, HostReportsTheLegacyStateAndWhatTheProcessorOffers)
{
    ULONG64 host = ke::HostEnabledExtendedFeatures();
    EXPECT_EQ(host & XSTATE_MASK_LEGACY, XSTATE_MASK_LEGACY);
#if defined(__i386__) || defined(__x86_64__)
    // The compiler's own check asks the processor and the operating system (XCR0) as well.
    __builtin_cpu_init();
    EXPECT_EQ((host & XSTATE_MASK_AVX) != 0, __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ((host & XSTATE_MASK_AVX512) == XSTATE_MASK_AVX512,
              __builtin_cpu_supports("avx512f") != 0);
#endif
}

struct FeatureQuery {
    const char* name;
    ULONG64 disabled;
    ULONG64 query;
};

const FeatureQuery FeatureQueries[] = {
    {"Everything", 0, EveryFeature},
    {"LegacyOnly", 0, XSTATE_MASK_LEGACY},
    {"NothingAsked", 0, 0},
    {"AvxDisabled", XSTATE_MASK_AVX, EveryFeature},
    {"Avx512Disabled", XSTATE_MASK_AVX512, XSTATE_MASK_AVX | XSTATE_MASK_AVX512},
    {"AvxAndAvx512Disabled", XSTATE_MASK_AVX | XSTATE_MASK_AVX512, EveryFeature},
    {"AskedFeatureDisabled", XSTATE_MASK_AVX, XSTATE_MASK_AVX},
};

class EnabledExtendedFeaturesRow : public testing::TestWithParam<FeatureQuery> {};

TEST_P(EnabledExtendedFeaturesRow, AreTheHostsLessTheDisabledOnesWithinTheQuery)
{
    const FeatureQuery& row = GetParam();
    ke::DisableExtendedFeatures(row.disabled);
    ULONG64 enabled = RtlGetEnabledExtendedFeatures(row.query);
    EXPECT_EQ(enabled & ~row.query, 0u) << "reported a feature not asked for";
    EXPECT_EQ(enabled & row.disabled, 0u) << "reported a disabled feature";
    EXPECT_EQ(enabled, ke::HostEnabledExtendedFeatures() & row.query & ~row.disabled);
    // What it reports can be saved; a disabled feature cannot.
    XSTATE_SAVE save;
    ASSERT_EQ(KeSaveExtendedProcessorState(enabled, &save), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&save);
    if (row.disabled != 0) {
        EXPECT_EQ(KeSaveExtendedProcessorState(row.disabled, &save), STATUS_NOT_SUPPORTED);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, EnabledExtendedFeaturesRow, testing::ValuesIn(FeatureQueries),
                         [](const testing::TestParamInfo<FeatureQuery>& rowInfo) {
                             return std::string(rowInfo.param.name);
                         });

TEST(EnabledExtendedFeatures, ResetBringsBackTheHostsFeatures)
{
    ke::DisableExtendedFeatures(EveryFeature);
    EXPECT_EQ(RtlGetEnabledExtendedFeatures(EveryFeature), 0u);
    ke::ResetExtendedStateControls();
    EXPECT_EQ(RtlGetEnabledExtendedFeatures(EveryFeature), ke::HostEnabledExtendedFeatures());
}

// MmGetSystemRoutineAddress: each row a name, the routine it must find on a current system
// (null: none), and whether a system from before Windows 7 exports it.
struct RoutineLookup {
    const char* testName;
    const WCHAR* routineName;
    PVOID routine;
    bool onOlderSystems;
};

const RoutineLookup RoutineLookups[] = {
    {"KeSaveExtendedProcessorState", L"KeSaveExtendedProcessorState",
     reinterpret_cast<PVOID>(&KeSaveExtendedProcessorState), false},
    {"KeRestoreExtendedProcessorState", L"KeRestoreExtendedProcessorState",
     reinterpret_cast<PVOID>(&KeRestoreExtendedProcessorState), false},
    {"RtlGetEnabledExtendedFeatures", L"RtlGetEnabledExtendedFeatures",
     reinterpret_cast<PVOID>(&RtlGetEnabledExtendedFeatures), false},
    {"KeSaveFloatingPointState", L"KeSaveFloatingPointState",
     reinterpret_cast<PVOID>(&KeSaveFloatingPointState), true},
    {"UnknownName", L"KeSaveExtendedProcessorStateEx", nullptr, true},
    {"NamePrefix", L"KeSaveExtendedProcessor", nullptr, true},
    {"OtherCase", L"kesaveextendedprocessorstate", nullptr, true},
    {"EmptyName", L"", nullptr, true},
};

class SystemRoutineAddress
    : public testing::TestWithParam<std::tuple<RoutineLookup, bool /* older system */>> {};

TEST_P(SystemRoutineAddress, FindsExactlyTheExportedRoutines)
{
    const auto& [row, olderSystem] = GetParam();
    ke::SetSystemWithoutExtendedState(olderSystem);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, row.routineName);
    PVOID expected = olderSystem && !row.onOlderSystems ? nullptr : row.routine;
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SystemRoutineAddress,
    testing::Combine(testing::ValuesIn(RoutineLookups), testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<RoutineLookup, bool>>& rowInfo) {
        return std::string(std::get<0>(rowInfo.param).testName) +
               (std::get<1>(rowInfo.param) ? "_OlderSystem" : "_CurrentSystem");
    });

}  // namespace
