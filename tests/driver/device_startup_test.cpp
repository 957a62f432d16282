// Device start-up through the real path: the PnP manager loads the driver for a simulated
// camera behind a hub port, and the camera sees the initialisation sequence.
#include "camera_fixture.h"

#include <algorithm>

namespace cameratest {
namespace {

using sim::Packet;

// The sensor register writes of a run of command packets, as (register, value).
std::vector<std::pair<int, int>> SensorWrites(const std::vector<Packet>& packets, std::size_t from,
                                              std::size_t count)
{
    std::vector<std::pair<int, int>> writes;
    for (std::size_t i = from; i < packets.size() && writes.size() < count; ++i) {
        if (packets[i][0] == sim::opcode::kWriteSensor) {
            writes.emplace_back(packets[i][1], packets[i][2] * 256 + packets[i][3]);
        }
    }
    return writes;
}

const std::vector<std::pair<int, int>> k1313Table = {
    {0x07, 0x0388}, {0x0F, 0x0011}, {0x13, 0x2D32}, {0x31, 0x001F}, {0x32, 0x001A},
    {0x33, 0x0012}, {0xAF, 0x0000}, {0x2B, 0x0003}, {0x10, 0x0040}, {0x10, 0x0040},
    {0x20, 0x01D5}, {0x2B, 0x0000}, {0x48, 0x0000}, {0x70, 0x0004}, {0x73, 0x02F7},
    {0xAB, 0x0000}, {0xBF, 0x0014}, {0x15, 0x7F32}, {0x20, 0x01D1}, {0x1C, 0x0002},
    {0xC2, 0x0840}, {0x74, 0x0010},
};

const std::vector<std::pair<int, int>> k1324Table = {
    {0x07, 0x0388}, {0x1B, 0x0002}, {0x1C, 0x0002}, {0x31, 0x001F}, {0x32, 0x001A},
    {0x33, 0x0012}, {0xAF, 0x0000}, {0x72, 0x0010}, {0x0F, 0x0000},
};

using DeviceStartup = CameraTest;

TEST_F(DeviceStartup, CameraSeesInitialisationThenItsSensorTableThenTheClockFirst)
{
    PluggedCamera& plugged = Plug();
    ASSERT_EQ(plugged.port->ReportStatus(), STATUS_SUCCESS);
    std::vector<Packet> commands = plugged.camera->Log().Commands();
    ASSERT_GE(commands.size(), 30u);

    EXPECT_EQ(commands[0][0], sim::opcode::kDeviceInit);
    EXPECT_TRUE(std::all_of(commands[0].begin() + 1, commands[0].end(), [](auto b) { return b == 0; }));
    // Soft reset, chip version read, then the 0x1313 table.
    EXPECT_EQ(commands[1][0], sim::opcode::kWriteSensor);
    EXPECT_EQ(commands[1][1], 0x0C);
    EXPECT_EQ(commands[2][0], sim::opcode::kReadSensor);
    EXPECT_EQ(commands[2][1], 0x00);
    EXPECT_EQ(SensorWrites(commands, 3, k1313Table.size()), k1313Table);
    // The settings load asks for the camera's clock, then applies the clock before anything
    // else, which initialises the sensor again.
    std::size_t next = 3 + k1313Table.size();
    EXPECT_EQ(commands[next][0], sim::opcode::kReadBridge);
    EXPECT_EQ(commands[next][1], 0x0F);
    EXPECT_EQ(commands[next + 1][0], sim::opcode::kWriteBridge);
    EXPECT_EQ(commands[next + 1][1], 0x0F);
    EXPECT_EQ(commands[next + 2][0], sim::opcode::kWriteSensor);
    EXPECT_EQ(commands[next + 2][1], 0x0C);

    CaptureDevice* device = plugged.Device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->ChipVersion, 0x1313u);
    // A camera without saved settings gets the load defaults: exposure 1 on the sensor.
    EXPECT_EQ(plugged.camera->PeekSensorRegister(0x0B), 1);
    EXPECT_EQ(device->Settings.Exposure, 1u);
}

TEST_F(DeviceStartup, ChipVersion1324GetsItsOwnTable)
{
    sim::CameraOptions options;
    options.chipVersion = 0x1324;
    PluggedCamera& plugged = Plug(options);
    std::vector<Packet> commands = plugged.camera->Log().Commands();
    ASSERT_GT(commands.size(), 3 + k1324Table.size());
    EXPECT_EQ(SensorWrites(commands, 3, k1324Table.size()), k1324Table);
    EXPECT_EQ(plugged.Device()->ChipVersion, 0x1324u);
}

TEST_F(DeviceStartup, UnknownChipVersionGetsNoTable)
{
    sim::CameraOptions options;
    options.chipVersion = 0x1400;
    PluggedCamera& plugged = Plug(options);
    std::vector<Packet> commands = plugged.camera->Log().Commands();
    ASSERT_GT(commands.size(), 4u);
    // After the soft reset and the version read comes the settings load, not a table.
    EXPECT_EQ(commands[3][0], sim::opcode::kReadBridge);
    EXPECT_EQ(plugged.Device()->ChipVersion, 0x1400u);
}

TEST_F(DeviceStartup, AfterAddTheGeometryIsTheFullSensor)
{
    PluggedCamera& plugged = Plug();
    CaptureDevice* device = plugged.Device();
    EXPECT_EQ(device->Geometry.FrameWidth, 752u);
    EXPECT_EQ(device->Geometry.FrameHeight, 480u);
    EXPECT_EQ(device->Settings.BayerPhase, 3u);
    EXPECT_EQ(OfferedRangeOf(device).VideoInfoHeader.AvgTimePerFrame, 333333);
}

TEST_F(DeviceStartup, StopAndStartGiveTheCameraBackItsProcessor)
{
    PluggedCamera& plugged = Plug();
    ASSERT_NE(plugged.Device()->Processor, nullptr);
    ASSERT_EQ(pnp::StopDevice(plugged.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(plugged.Device()->Processor, nullptr);
    ASSERT_EQ(pnp::StartDevice(plugged.Pdo()), STATUS_SUCCESS);
    EXPECT_NE(plugged.Device()->Processor, nullptr);
}

TEST_F(DeviceStartup, DeviceThatNeverStartedReleasesEverythingAtRemoval)
{
    // No USB memory: the configuration fails, the start fails and the PnP manager removes the
    // device again; the unload check stops the test if anything stayed allocated.
    vf::FailAllocationsWithTag(vf::TagFromText("VUBA"));
    PluggedCamera& plugged = Plug();
    vf::ClearFaultInjection();
    EXPECT_EQ(plugged.port->ReportStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plugged.Device(), nullptr);
    EXPECT_FALSE(pnp::IsDriverLoaded(kServiceName));
}

// A camera whose configuration descriptor lies: the start fails with the status, the device is
// removed again and nothing the driver allocated is left (the unload check stops the test).
struct LyingConfiguration {
    const char* name;
    // The answers to the driver's configuration descriptor requests, in turn.
    std::vector<std::vector<std::uint8_t>> answers;
    NTSTATUS status;  // STATUS_SUCCESS: any failure will do (the host stack refuses it)
};

std::vector<std::uint8_t> ConfigurationWith(std::size_t totalLength, std::uint8_t endpoint0,
                                            std::uint8_t endpoint1)
{
    std::vector<std::uint8_t> descriptor = sim::BuildConfigurationDescriptor();
    descriptor[2] = static_cast<std::uint8_t>(totalLength & 0xFF);
    descriptor[3] = static_cast<std::uint8_t>(totalLength >> 8);
    descriptor[18 + 2] = endpoint0;  // the interface's first endpoint descriptor
    descriptor[25 + 2] = endpoint1;
    descriptor.resize(std::max(descriptor.size(), totalLength), 0);
    return descriptor;
}

std::vector<LyingConfiguration> LyingConfigurations()
{
    const std::size_t length = sim::kConfigurationDescriptorLength;
    const auto own = ConfigurationWith(length, sim::kCommandEndpoint, sim::kReplyEndpoint);
    auto fewerPipes = own;
    fewerPipes[9 + 4] = 2;  // the interface says two endpoints
    return {
        {"GrowsBetweenTheTwoReads", {own, ConfigurationWith(200, 0x01, 0x82)},
         STATUS_DEVICE_DATA_ERROR},
        {"SecondAnswerCutShort", {own, {own[0], own[1]}}, STATUS_DEVICE_DATA_ERROR},
        {"HeaderCutShort", {{own[0], own[1], own[2]}}, STATUS_DEVICE_DATA_ERROR},
        {"CommandPipeIsIn", {ConfigurationWith(length, 0x81, sim::kReplyEndpoint)},
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"ReplyPipeIsOut", {ConfigurationWith(length, sim::kCommandEndpoint, 0x02)},
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"TwoPipesOnly", {fewerPipes}, STATUS_SUCCESS},
    };
}

class LyingConfigurationStartup : public CameraTest,
                                  public testing::WithParamInterface<LyingConfiguration> {};

TEST_P(LyingConfigurationStartup, StartFailsAndLeavesNothing)
{
    sim::CameraOptions options;
    options.configurationDescriptors = GetParam().answers;
    PluggedCamera& plugged = Plug(options);
    if (GetParam().status == STATUS_SUCCESS) {
        EXPECT_FALSE(NT_SUCCESS(plugged.port->ReportStatus()));
    } else {
        EXPECT_EQ(plugged.port->ReportStatus(), GetParam().status);
    }
    EXPECT_EQ(plugged.Device(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Rows, LyingConfigurationStartup, testing::ValuesIn(LyingConfigurations()),
                         [](const testing::TestParamInfo<LyingConfiguration>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
}  // namespace cameratest
