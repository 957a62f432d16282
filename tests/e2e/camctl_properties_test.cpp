// camctl's property commands end to end: names, values, clamps, persistence between runs,
// the window and the service items, and the refusals.
#include "camctl_test_support.h"

#include <algorithm>

namespace camctltest {
namespace {

using CamctlProperties = CamctlTest;

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(CamctlProperties, FirstRunGivesTheDefaultExposureAndSavesIt)
{
    RunResult first = Run({"get", "Exposure"});
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(first.out, "Exposure: 480\n");
    EXPECT_TRUE(Contains(first.err, "no saved settings")) << first.err;
    // The driver saved it when the device stopped: 480 = 0x1e0.
    EXPECT_TRUE(Contains(RegistryText(), "\"Exposure\"=dword:000001e0")) << RegistryText();

    RunResult second = Run({"get", "Exposure"});
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, "Exposure: 480\n");
    EXPECT_EQ(second.err, "");
}

TEST_F(CamctlProperties, SavedExposureOfOneIsKept)
{
    ASSERT_EQ(Run({"set", "Exposure=1"}).code, 0);
    RunResult next = Run({"get", "Exposure"});
    ASSERT_EQ(next.code, 0) << next.err;
    EXPECT_EQ(next.out, "Exposure: 1\n");
    EXPECT_FALSE(Contains(next.err, "no saved settings"));
}

TEST_F(CamctlProperties, SetReportsClampsAndReadsBack)
{
    RunResult result = Run({"set", "RedGain=600", "Exposure=0", "Hue=-5", "Hue=360",
                            "Timeout=500", "Brightness=300", "FlipH=5", "Exposure=0x7fff"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out,
              "RedGain: 600 clamped to 512\n"
              "Exposure: 0 clamped to 1\n"
              "Hue: -5 clamped to 0\n"
              "Hue: 360 clamped to 359\n"
              "Timeout: 500 reads back as 3000\n"
              "Brightness: 300\n"
              "FlipH: 5 reads back as 1\n"
              "Exposure: 32767\n");
}

TEST_F(CamctlProperties, WriteOnlyItemIsSetWithoutReadBack)
{
    RunResult result = Run({"set", "Reserved47=9"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "Reserved47: 9 (write-only, not read back)\n");
}

TEST_F(CamctlProperties, SettingsPersistBetweenRuns)
{
    ASSERT_EQ(Run({"set", "Hue=200", "Saturation=3", "GlobalGain=20", "Timeout=4000"}).code, 0);
    RunResult result = Run({"get", "hue", "SATURATION", "GlobalGain", "timeout"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "Hue: 200\nSaturation: 3\nGlobalGain: 20\nTimeout: 4000\n");
    EXPECT_TRUE(Contains(RegistryText(), "\"Hue\"=dword:000000c8"));
}

TEST_F(CamctlProperties, PropsListsEveryItemWithRanges)
{
    RunResult result = Run({"props"});
    ASSERT_EQ(result.code, 0) << result.err;
    // A header and one row per item.
    EXPECT_EQ(Count(result.out, "\n"), 71u);
    EXPECT_TRUE(Contains(result.out, "\nExposure                 480       1   32767      480\n"))
        << result.out;
    EXPECT_TRUE(Contains(result.out, "\nRedGain                  128       1     512      128\n"));
    EXPECT_TRUE(Contains(result.out, "\nHue                        0       0     359        0\n"));
    EXPECT_TRUE(Contains(result.out, "\nReserved47            (write-only)\n"));
    EXPECT_TRUE(Contains(result.out, "\nWindow                (write-only; service item: camctl window)\n"));
}

TEST_F(CamctlProperties, PropsJsonHasOneObjectPerItem)
{
    ASSERT_EQ(Run({"set", "Contrast=7"}).code, 0);
    RunResult result = Run({"props", "--json"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(Count(result.out, "{\"id\": "), 70u);
    EXPECT_EQ(result.out.front(), '[');
    EXPECT_TRUE(Contains(result.out, "{\"id\": 24, \"name\": \"Contrast\", \"access\": "
                                     "\"read-write\", \"value\": 7, \"min\": 0, \"max\": 20, "
                                     "\"default\": 10}"))
        << result.out;
    EXPECT_TRUE(Contains(result.out, "{\"id\": 47, \"name\": \"Reserved47\", \"access\": "
                                     "\"write-only\"}"));
    EXPECT_TRUE(Contains(result.out, "{\"id\": 4, \"name\": \"ExposureMax\", \"access\": "
                                     "\"read-only\", \"value\": 32767}"));
}

TEST_F(CamctlProperties, PropsStandardListsEachItemWithRangeStepDefaultAndAuto)
{
    ASSERT_EQ(Run({"set", "WhiteBalance=1"}).code, 0);
    RunResult result = Run({"props", "--standard"});
    ASSERT_EQ(result.code, 0) << result.err;
    // A header and one row per standard item the camera answers.
    EXPECT_EQ(Count(result.out, "\n"), 10u) << result.out;
    const char* rows[] = {
        "\nstd.brightness                     255       0     510     1      255  -\n",
        "\nstd.contrast                        10       0      20     1       10  -\n",
        "\nstd.hue                              0       0     359     1        0  -\n",
        "\nstd.gain                             0       0      63     1       16  off\n",
        "\nstd.white-balance                    0       0       0     1        0  on\n",
        "\nstd.white-balance-component    128,128       1     512     1      128  on\n",
        "\nstd.exposure                        -6     -15       0     1       -6  off\n",
    };
    for (const char* row : rows) {
        EXPECT_TRUE(Contains(result.out, row)) << row << "in\n" << result.out;
    }
}

// A value set through a standard name in one camctl run reads back through the private name
// in the next run, and the other way round: both reach the one settings record the driver
// saves.
struct SharedValueRow {
    const char* name;
    std::vector<std::string> set;
    std::vector<std::string> get;
    std::string expected;
};

class CamctlSharedValues : public CamctlTest, public testing::WithParamInterface<SharedValueRow> {};

TEST_P(CamctlSharedValues, ReadBackThroughTheOtherNameInTheNextRun)
{
    const SharedValueRow& row = GetParam();
    std::vector<std::string> set = {"set"};
    set.insert(set.end(), row.set.begin(), row.set.end());
    RunResult first = Run(set);
    ASSERT_EQ(first.code, 0) << first.err;
    std::vector<std::string> get = {"get"};
    get.insert(get.end(), row.get.begin(), row.get.end());
    RunResult second = Run(get);
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CamctlSharedValues,
    testing::Values(
        // Standard names set, private names read. Exposure: 2^-5 s over rows of 816 pixel
        // clocks at 26.67 MHz is 1021 rows.
        SharedValueRow{"StandardToPrivate",
                       {"std.brightness=300", "std.contrast=7", "std.saturation=3",
                        "std.color-enable=0", "std.gain=20", "std.white-balance-component=200,300",
                        "std.exposure=-5"},
                       {"Brightness", "Contrast", "Saturation", "ColorEnable", "GlobalGain",
                        "RedGain", "BlueGain", "WhiteBalance", "Exposure", "AEC"},
                       "Brightness: 300\nContrast: 7\nSaturation: 3\nColorEnable: 0\n"
                       "GlobalGain: 20\nRedGain: 200\nBlueGain: 300\nWhiteBalance: 0\n"
                       "Exposure: 1021\nAEC: 0\n"},
        // Private names set, standard names read. 60 rows lie nearest 2^-9 s (64 rows).
        SharedValueRow{"PrivateToStandard",
                       {"Brightness=120", "Hue=200", "GlobalGain=33", "RedGain=90", "BlueGain=140",
                        "Exposure=60"},
                       {"std.brightness", "std.hue", "std.gain", "std.white-balance-component",
                        "std.exposure"},
                       "std.brightness: 120\nstd.hue: 200\nstd.gain: 33\n"
                       "std.white-balance-component: 90,140\nstd.exposure: -9\n"},
        // Automatic control, both ways.
        SharedValueRow{"AutoStandardToPrivate",
                       {"std.white-balance=auto", "std.exposure=auto"},
                       {"WhiteBalance", "AEC"},
                       "WhiteBalance: 1\nAEC: 1\n"},
        SharedValueRow{"AutoPrivateToStandard",
                       {"WhiteBalance=1", "AEC=1"},
                       {"std.white-balance", "std.white-balance-component", "std.exposure"},
                       "std.white-balance: 0 (auto)\nstd.white-balance-component: 128,128 (auto)\n"
                       "std.exposure: -6 (auto)\n"}),
    [](const testing::TestParamInfo<SharedValueRow>& row) { return std::string(row.param.name); });

TEST_F(CamctlProperties, StandardSetsOutsideTheRangeAreRefusedAndChangeNothing)
{
    RunResult result = Run({"set", "std.brightness=600", "std.exposure=3", "std.hue=20"});
    EXPECT_EQ(result.code, camctl::kExitFailure);
    EXPECT_TRUE(Contains(result.err, "std.brightness: ")) << result.err;
    EXPECT_TRUE(Contains(result.err, "std.exposure: ")) << result.err;
    EXPECT_EQ(result.out, "std.hue: 20\n");
    RunResult after = Run({"get", "Brightness", "Exposure", "Hue"});
    ASSERT_EQ(after.code, 0) << after.err;
    EXPECT_EQ(after.out, "Brightness: 255\nExposure: 480\nHue: 20\n");
}

TEST_F(CamctlProperties, WindowIsSetShownAndKept)
{
    RunResult set = Run({"window", "8", "4", "100", "50"});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_EQ(set.out, "window: 8,4 100x50, sub-sampling 0\noutput: 96x50\n");

    RunResult list = Run({"list"});
    ASSERT_EQ(list.code, 0) << list.err;
    EXPECT_TRUE(Contains(list.out, "  window: 8,4 100x50, sub-sampling 0\n  output: 96x50\n"))
        << list.out;

    RunResult binned = Run({"window", "0", "0", "752", "480", "--subsample", "2"});
    ASSERT_EQ(binned.code, 0) << binned.err;
    EXPECT_TRUE(Contains(binned.out, "output: 184x120\n")) << binned.out;
}

TEST_F(CamctlProperties, WindowOutsideTheSensorIsAdjustedAndSaid)
{
    RunResult result = Run({"window", "700", "0", "200", "480"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_FALSE(Contains(result.out, "200x480")) << result.out;
    EXPECT_TRUE(Contains(result.err, "adjusted the window")) << result.err;
}

TEST_F(CamctlProperties, ListShowsEveryCamera)
{
    RunResult result = Run({"--cameras", "2", "list"});
    ASSERT_EQ(result.code, 0) << result.err;
    std::size_t first = result.out.find("camera 0: \\\\?\\");
    std::size_t second = result.out.find("camera 1: \\\\?\\");
    ASSERT_NE(first, std::string::npos) << result.out;
    ASSERT_NE(second, std::string::npos) << result.out;
    EXPECT_EQ(Count(result.out, "  window: 0,0 752x480, sub-sampling 0\n  output: 752x480\n"), 2u);
    // Each camera has its own filter.
    std::string link0 = result.out.substr(first + 10, result.out.find('\n', first) - first - 10);
    std::string link1 = result.out.substr(second + 10, result.out.find('\n', second) - second - 10);
    EXPECT_NE(link0, link1);
    EXPECT_EQ(Count(result.err, "no saved settings"), 2u);
}

TEST_F(CamctlProperties, EachCameraKeepsItsOwnSettings)
{
    ASSERT_EQ(Run({"--cameras", "2", "--camera", "1", "set", "Hue=77"}).code, 0);
    RunResult zero = Run({"--cameras", "2", "--camera", "0", "get", "Hue"});
    RunResult one = Run({"--cameras", "2", "--camera", "1", "get", "Hue"});
    EXPECT_EQ(zero.out, "Hue: 0\n");
    EXPECT_EQ(one.out, "Hue: 77\n");
}

TEST_F(CamctlProperties, RegisterReadShowsTheSavedExposureRegister)
{
    ASSERT_EQ(Run({"set", "Exposure=300"}).code, 0);
    RunResult result = Run({"reg-read", "0x0B"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "register 0x0B: 0x012C (300)\n");
}

TEST_F(CamctlProperties, ChipVersionReachesTheSensor)
{
    RunResult standard = Run({"reg-read", "0"});
    EXPECT_EQ(standard.out, "register 0x00: 0x1313 (4883)\n");
    RunResult other = Run({"--chip-version", "0x1324", "reg-read", "0"});
    EXPECT_EQ(other.out, "register 0x00: 0x1324 (4900)\n");
}

TEST_F(CamctlProperties, DataStoreCommandsReachTheBridge)
{
    // 0x51: the data store; two address bytes; one byte to 0x0010.
    RunResult write = Run({"data-write", "51", "02", "01", "0010", "0xab"});
    ASSERT_EQ(write.code, 0) << write.err;
    EXPECT_EQ(write.out, "sent 6 bytes to the data store\n");
    // A new run has a new camera; an unwritten address reads as erased.
    RunResult read = Run({"data-read", "0x0010"});
    ASSERT_EQ(read.code, 0) << read.err;
    EXPECT_EQ(read.out, "data 0x0010: 0xFF (255)\n");
}

TEST_F(CamctlProperties, UnknownNamesAreRefusedBeforeAnythingRuns)
{
    RunResult result = Run({"get", "Exposure", "Exposur"});
    EXPECT_EQ(result.code, camctl::kExitUsage);
    EXPECT_TRUE(Contains(result.err, "unknown property 'Exposur'")) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(std::filesystem::exists(Registry()));

    EXPECT_EQ(Run({"set", "Nope=1"}).code, camctl::kExitUsage);
}

TEST_F(CamctlProperties, MalformedValuesAreRefused)
{
    const std::vector<std::vector<std::string>> lines = {
        {"set", "Exposure=12abc"},   {"set", "Exposure"},          {"set", "=5"},
        {"set", "Exposure="},        {"set", "Hue=0x1ffffffff"},   {"set", "ExposureMax=5"},
        {"get", "Reserved47"},       {"get", "Window"},            {"set", "RawRead=1"},
        {"reg-read", "0x100"},       {"reg-write", "0x0B", "70000"},
        {"data-read", "0x10000"},    {"data-write", "zz"},         {"data-write", "abc"},
        {"window", "0", "0", "10"},  {"window", "0", "0", "10", "x"},
        {"window", "0", "0", "8", "8", "--subsample", "3"},
        {"--chip-version", "0x10000", "list"},
        {"capture", "-n", "0"},      {"frobnicate"},
        {"capture", "-o", ""},       {"capture", "-o", "shots/"},
        {"set", "std.exposure=abc"}, {"set", "std.white-balance-component=5"},
        {"set", "std.hue"},          {"get", "std.sharpness"},
        {"set", "FramesRead=1"},     {"stats", "-n", "0"},
    };
    for (const auto& line : lines) {
        RunResult result = Run(line);
        std::string joined;
        for (const auto& arg : line) {
            joined += arg + " ";
        }
        EXPECT_EQ(result.code, camctl::kExitUsage) << joined << "\n" << result.err;
        EXPECT_TRUE(Contains(result.err, "camctl: ")) << joined;
    }
    EXPECT_FALSE(std::filesystem::exists(Registry()));
}

TEST_F(CamctlProperties, DataWriteRefusesMoreThanACommandHolds)
{
    std::vector<std::string> line = {"data-write"};
    for (int i = 0; i < 64; ++i) {
        line.push_back("00");
    }
    RunResult result = Run(line);
    EXPECT_EQ(result.code, camctl::kExitUsage);
    EXPECT_TRUE(Contains(result.err, "at most 63 bytes")) << result.err;
}

TEST_F(CamctlProperties, MissingCameraIsAnError)
{
    RunResult result = Run({"--camera", "3", "get", "Exposure"});
    EXPECT_EQ(result.code, camctl::kExitFailure);
    EXPECT_TRUE(Contains(result.err, "no camera 3")) << result.err;

    RunResult none = Run({"--cameras", "0", "capture"});
    EXPECT_EQ(none.code, camctl::kExitFailure);
    EXPECT_TRUE(Contains(none.err, "no camera 0")) << none.err;

    RunResult list = Run({"--cameras", "0", "list"});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, "no cameras\n");
}

TEST_F(CamctlProperties, MalformedRegistryIsRefusedAndLeftAlone)
{
    // A file camctl wrote itself, then cut inside its last value line: "...=dword:0000" still
    // reads as a value, but not as the one saved.
    ASSERT_EQ(Run({"set", "Hue=5"}).code, 0);
    const std::string saved = RegistryText();
    const std::size_t lastValue = saved.rfind("=dword:");
    ASSERT_NE(lastValue, std::string::npos);
    const std::string cut = saved.substr(0, lastValue + 11);
    const unsigned cutLine = static_cast<unsigned>(std::count(cut.begin(), cut.end(), '\n')) + 1;

    struct Malformed {
        std::string content;
        unsigned line;
        std::string fault;
    };
    const std::vector<Malformed> files = {
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\System]\n"
         "this line is not a value\n",
         4, "expected a key section"},
        {cut, cutLine, "no line end"},
    };
    for (const Malformed& malformed : files) {
        SCOPED_TRACE(malformed.content);
        {
            std::ofstream file(Registry(), std::ios::binary | std::ios::trunc);
            file << malformed.content;
        }
        RunResult result = Run({"set", "Hue=5"});
        EXPECT_EQ(result.code, camctl::kExitFailure);
        EXPECT_TRUE(Contains(result.err, Registry())) << result.err;
        EXPECT_TRUE(Contains(result.err, "line " + std::to_string(malformed.line) + ":"))
            << result.err;
        EXPECT_TRUE(Contains(result.err, malformed.fault)) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(RegistryText(), malformed.content);
    }
}

TEST_F(CamctlProperties, DefaultRegistryFollowsXdgStateHome)
{
    const char* saved = std::getenv("XDG_STATE_HOME");
    std::string previous = saved != nullptr ? saved : "";
    setenv("XDG_STATE_HOME", Path("state").c_str(), 1);
    RunResult result = RunRaw({"get", "Hue"});
    if (saved != nullptr) {
        setenv("XDG_STATE_HOME", previous.c_str(), 1);
    } else {
        unsetenv("XDG_STATE_HOME");
    }
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_TRUE(std::filesystem::exists(Path("state/usbcam/registry.reg")));
}

}  // namespace
}  // namespace camctltest
