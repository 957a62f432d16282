// The private property set, driven like an application drives it: property requests on the
// capture filter of a plugged-in simulated camera, checked against what the camera saw.
#include "camera_fixture.h"

#include "control/filter_automation.h"
#include "control/property_set.h"
#include "device/descriptor_tables.h"
#include "usb/frame_timeout.h"

#include <array>
#include <set>

namespace cameratest {
namespace {

constexpr LONG kSentinel = 0x5A5A5A5A;

// The item table's handler availability, written out independently of the driver's tables.
const std::set<ULONG> kSetOnly = {44, 47};
const std::set<ULONG> kGetAndSet = {0,  1,  2,  6,  10, 11, 12, 13, 14, 15, 16, 20, 24, 28,
                                    32, 48, 49, 55, 56, 57, 58, 59, 60};

ULONG RecordSize(ULONG id)
{
    return id == 44 ? 48 : (id == 59 || id == 60 ? 96 : 32);
}

class PropertySetTest : public OneCameraTest {
protected:
    void SetUp() override
    {
        OneCameraTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        filter_.Close();
        // The frame time-out is one value for the whole driver; leave it as loaded.
        InterlockedExchange(&FrameTimeout, 3000);
        CameraTest::TearDown();
    }

    // A request as applications send it: the record is both the property buffer (header first)
    // and the data buffer. `propertyCut` and `dataCut` shorten either buffer.
    NTSTATUS Request(ULONG id, ULONG flags, void* record, ULONG size, ULONG propertyCut = 0,
                     ULONG dataCut = 0)
    {
        const auto* tail = static_cast<const std::uint8_t*>(record) + sizeof(KSPROPERTY);
        return ksclient::PropertyRequest(filter_.Get(), CameraPropertySet, id, flags, tail,
                                         size - propertyCut, record, size - dataCut)
            .status;
    }
    template <typename Record>
    NTSTATUS Request(ULONG id, ULONG flags, Record& record)
    {
        return Request(id, flags, &record, sizeof record);
    }

    NTSTATUS Set(ULONG id, LONG value, LONG value2 = 0)
    {
        CameraPropertyValue record{};
        record.Value = value;
        record.Value2 = value2;
        return Request(id, KSPROPERTY_TYPE_SET, record);
    }
    // A get that must succeed; Value starts as a sentinel so an unwritten result shows.
    LONG Get(ULONG id)
    {
        CameraPropertyValue record{};
        record.Value = kSentinel;
        EXPECT_EQ(Request(id, KSPROPERTY_TYPE_GET, record), STATUS_SUCCESS) << "item " << id;
        return record.Value;
    }
    NTSTATUS SetWindow(ULONG subSample, LONG x, LONG y, LONG w, LONG h)
    {
        CameraWindowRequest window{{}, subSample, x, y, w, h, 0};
        return Request(CameraProperty::Window, KSPROPERTY_TYPE_SET, window);
    }
    std::array<LONG, 5> Region()
    {
        return {Get(CameraProperty::SubSample), Get(CameraProperty::RoiX), Get(CameraProperty::RoiY),
                Get(CameraProperty::RoiW), Get(CameraProperty::RoiH)};
    }

    sim::Camera& Camera() { return *plugged_->camera; }
    std::uint16_t Sensor(std::uint8_t reg) const { return plugged_->camera->PeekSensorRegister(reg); }

    ksclient::Filter filter_;
};

TEST_F(PropertySetTest, FrameworkOffersExactlyTheHandlersOfTheItemTable)
{
    EXPECT_EQ(FilterDescriptorTemplate.AutomationTable, &FilterAutomationTable);
    for (ULONG id = 0; id < CameraPropertyCount; ++id) {
        SCOPED_TRACE(testing::Message() << "item " << id);
        const bool canSet = kSetOnly.count(id) != 0 || kGetAndSet.count(id) != 0;
        const bool canGet = kSetOnly.count(id) == 0;
        const ULONG size = RecordSize(id);
        // The tools' table tells the same story.
        EXPECT_EQ(CameraPropertyTable[id].Id, id);
        EXPECT_EQ(CameraPropertyTable[id].CanGet != 0, canGet);
        EXPECT_EQ(CameraPropertyTable[id].CanSet != 0, canSet);
        EXPECT_EQ(CameraPropertyTable[id].Record,
                  size == 48 ? CameraWindowRecord : (size == 96 ? CameraRawRecord : CameraValueRecord));

        for (ULONG flags : {ULONG{KSPROPERTY_TYPE_GET}, ULONG{KSPROPERTY_TYPE_SET}}) {
            const bool offered = flags == KSPROPERTY_TYPE_GET ? canGet : canSet;
            alignas(8) std::uint8_t record[96] = {};
            if (!offered) {
                EXPECT_EQ(Request(id, flags, record, size), STATUS_INVALID_DEVICE_REQUEST);
                continue;
            }
            // Buffers one byte short of the item's minimums never reach a handler.
            EXPECT_EQ(Request(id, flags, record, size, 1, 0), STATUS_INVALID_BUFFER_SIZE);
            EXPECT_EQ(Request(id, flags, record, size, 0, 1), STATUS_BUFFER_TOO_SMALL);
            EXPECT_NE(Request(id, flags, record, size), STATUS_INVALID_DEVICE_REQUEST);
        }
    }
    CameraPropertyValue record{};
    EXPECT_EQ(Request(CameraPropertyCount, KSPROPERTY_TYPE_GET, record), STATUS_NOT_FOUND);
    // A header alone is shorter than every item's property minimum.
    EXPECT_EQ(ksclient::GetProperty(filter_.Get(), CameraPropertySet, CameraProperty::HueMax,
                                    &record, sizeof record)
                  .status,
              STATUS_INVALID_BUFFER_SIZE);
}

TEST_F(PropertySetTest, ConstantsAnswerWithoutTalkingToTheCamera)
{
    const std::vector<std::pair<ULONG, LONG>> constants = {
        {3, 1},   {4, 32767}, {5, 480}, {7, 0},   {8, 63},  {9, 16},  {17, 1},   {18, 512},
        {19, 128}, {21, 0},   {22, 510}, {23, 255}, {25, 0}, {26, 20}, {27, 10}, {29, 0},
        {30, 20}, {31, 10},   {33, 0},  {34, 359}, {35, 0}, {36, 2},  {38, 752}, {39, 480},
        {46, 1},  {50, 1},    {51, 1},  {52, 1},   {53, 1}, {54, 1}};
    Camera().Log().Clear();
    for (auto [id, value] : constants) {
        EXPECT_EQ(Get(id), value) << "item " << id;
    }
    EXPECT_TRUE(Camera().Log().Commands().empty());
}

TEST_F(PropertySetTest, WithoutTheDeviceOnlyTheConstantHandlersAnswer)
{
    // The framework device loses its CaptureDevice: every handler that needs it refuses and
    // leaves the record alone; the constant handlers still answer.
    PKSDEVICE ksDevice = device_->Device;
    const LONG roiW = device_->Settings.RoiW;
    ksDevice->Context = nullptr;
    CameraPropertyValue record{};
    record.Value = kSentinel;
    EXPECT_EQ(Request(CameraProperty::BrightnessMax, KSPROPERTY_TYPE_GET, record), STATUS_SUCCESS);
    EXPECT_EQ(record.Value, 510);
    EXPECT_EQ(Request(CameraProperty::HueMax, KSPROPERTY_TYPE_GET, record), STATUS_SUCCESS);
    EXPECT_EQ(record.Value, 359);
    for (ULONG id : {CameraProperty::ExposureMax, CameraProperty::Exposure, CameraProperty::Brightness,
                     CameraProperty::RegisterRead}) {
        record.Value = kSentinel;
        EXPECT_EQ(Request(id, KSPROPERTY_TYPE_GET, record), STATUS_UNSUCCESSFUL) << "item " << id;
        EXPECT_EQ(record.Value, kSentinel);
    }
    EXPECT_EQ(Set(CameraProperty::Contrast, 3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Set(CameraProperty::RegisterWrite, 0x35, 40), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetWindow(0, 0, 0, 64, 64), STATUS_UNSUCCESSFUL);
    CameraRawRequest raw{};
    EXPECT_EQ(Request(CameraProperty::RawRead, KSPROPERTY_TYPE_SET, raw), STATUS_UNSUCCESSFUL);
    ksDevice->Context = device_;
    EXPECT_EQ(device_->Settings.Contrast, 10);
    EXPECT_EQ(device_->Settings.RoiW, roiW);
}

// The conversion time is reported in whole microseconds of the performance counter's ticks,
// limited to what the item's signed value holds.
struct ConversionTimeRow {
    LONGLONG ticks;
    LONGLONG frequency;
    LONG microseconds;
};

class ConversionTime : public PropertySetTest,
                       public testing::WithParamInterface<ConversionTimeRow> {};

TEST_P(ConversionTime, IsReportedInMicroseconds)
{
    const ConversionTimeRow& row = GetParam();
    device_->Statistics.CountConversion(row.ticks, row.frequency);
    EXPECT_EQ(Get(CameraProperty::LastConversionTime), row.microseconds);
    EXPECT_EQ(Get(CameraProperty::FramesConverted), 1);
    // Nothing else moved.
    for (ULONG id = CameraProperty::FramesRead; id <= CameraProperty::UsbErrors; ++id) {
        if (id != CameraProperty::FramesConverted) {
            EXPECT_EQ(Get(id), 0) << "item " << id;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ConversionTime,
                         testing::Values(ConversionTimeRow{25000, 10'000'000, 2500},
                                         ConversionTimeRow{3, 1'000'000, 3},
                                         ConversionTimeRow{7, 10'000'000, 0},
                                         ConversionTimeRow{3'579'545, 3'579'545, 1'000'000},
                                         ConversionTimeRow{0x7FFFFFFFFFFFFFFF, 1, 0x7FFFFFFF},
                                         ConversionTimeRow{-5, 10'000'000, 0},
                                         ConversionTimeRow{5, 0, 0}));

TEST_F(PropertySetTest, SensorValuesAreClampedWrittenAndReadBack)
{
    EXPECT_EQ(Set(CameraProperty::Exposure, 0), STATUS_SUCCESS);
    EXPECT_EQ(Sensor(0x0B), 1);
    EXPECT_EQ(device_->Settings.Exposure, 1u);
    for (LONG tooLong : {40000, -1}) {
        EXPECT_EQ(Set(CameraProperty::Exposure, tooLong), STATUS_SUCCESS);
        EXPECT_EQ(Sensor(0x0B), 32767);
        EXPECT_EQ(device_->Settings.Exposure, 32767u);
    }
    Camera().PokeSensorRegister(0x0B, 0x8123);
    EXPECT_EQ(Get(CameraProperty::Exposure), 0x0123);

    EXPECT_EQ(Set(CameraProperty::GlobalGain, 20), STATUS_SUCCESS);
    EXPECT_EQ(Sensor(0x35), 36);
    EXPECT_EQ(Get(CameraProperty::GlobalGain), 20);
    Camera().PokeSensorRegister(0x35, 16);
    EXPECT_EQ(Get(CameraProperty::GlobalGain), 0);

    // A write the camera refuses is still a success for the application; the cache stays.
    Camera().FailNextCommands(1);
    EXPECT_EQ(Set(CameraProperty::Exposure, 700), STATUS_SUCCESS);
    EXPECT_EQ(device_->Settings.Exposure, 0x0123u);

    // The other register-backed items reach their registers too.
    EXPECT_EQ(Set(CameraProperty::FlipH, 5), STATUS_SUCCESS);
    EXPECT_EQ(Sensor(0x0D) & 0x30, 0x20);
    Camera().PokeSensorRegister(0x0D, 0x10);
    EXPECT_EQ(Get(CameraProperty::FlipH), 0);
    EXPECT_EQ(Get(CameraProperty::FlipV), 1);
    EXPECT_EQ(Set(CameraProperty::AEC, 1), STATUS_SUCCESS);
    EXPECT_EQ(Sensor(0xAF) & 0x03, 0x01);
    EXPECT_EQ(Set(CameraProperty::Clock, 3), STATUS_SUCCESS);
    EXPECT_EQ(Camera().PeekBridgeRegister(0x0F), 3);
    EXPECT_EQ(Set(CameraProperty::Clock, 9), STATUS_SUCCESS);  // out of range: clock 0
    EXPECT_EQ(Camera().PeekBridgeRegister(0x0F), 0);
}

TEST_F(PropertySetTest, ProcessorValuesAreClampedAndReachTheProcessor)
{
    const std::vector<std::tuple<ULONG, LONG, LONG>> cases = {
        {CameraProperty::RedGain, 0, 1},     {CameraProperty::RedGain, 600, 512},
        {CameraProperty::BlueGain, -3, 1},   {CameraProperty::GreenGain, 300, 300},
        {CameraProperty::Hue, 360, 359},     {CameraProperty::Hue, -5, 0},
        {CameraProperty::Brightness, 511, 510}, {CameraProperty::Brightness, -1, 0},
        {CameraProperty::Contrast, 21, 20},  {CameraProperty::Saturation, -3, 0},
        {CameraProperty::ColorEnable, 7, 7}, {CameraProperty::ColorCorrection, 0, 0},
    };
    for (auto [id, value, stored] : cases) {
        EXPECT_EQ(Set(id, value), STATUS_SUCCESS);
        EXPECT_EQ(Get(id), stored) << "item " << id << " set to " << value;
    }
    EXPECT_EQ(device_->Processor->GetHue(), 0);
    EXPECT_EQ(device_->Processor->GetBrightness(), 0);
    EXPECT_EQ(device_->Processor->GetRedGain(), 512);
    EXPECT_EQ(device_->Processor->GetColorEnable(), 7);
}

TEST_F(PropertySetTest, SwitchingWhiteBalanceOffKeepsTheAutomaticGains)
{
    ASSERT_EQ(Set(CameraProperty::WhiteBalance, 1), STATUS_SUCCESS);
    // One conversion of a strongly tinted frame lets the automatic balance move the gains.
    ImageProcessor* processor = device_->Processor;
    constexpr ULONG kSide = 32;
    std::vector<UCHAR> raw(kSide * kSide), output(kSide * kSide * 4);
    for (ULONG y = 0; y < kSide; ++y) {
        for (ULONG x = 0; x < kSide; ++x) {
            raw[y * kSide + x] = (y % 2 == 0) ? (x % 2 == 0 ? 60 : 120) : (x % 2 == 0 ? 120 : 230);
        }
    }
    processor->SetGeometry(kSide, kSide);
    processor->PrepareWorkBuffer();
    processor->OutputBuffer = output.data();
    processor->Convert(raw.data(), 0, kSide);
    processor->OutputBuffer = nullptr;
    const LONG red = processor->GetRedGain(), green = processor->GetGreenGain(),
               blue = processor->GetBlueGain();
    ASSERT_FALSE(red == 128 && green == 128 && blue == 128) << "the balance did not run";

    EXPECT_EQ(Set(CameraProperty::WhiteBalance, 0), STATUS_SUCCESS);
    EXPECT_EQ(Get(CameraProperty::WhiteBalance), 0);
    EXPECT_EQ(Get(CameraProperty::RedGain), red);
    EXPECT_EQ(Get(CameraProperty::GreenGain), green);
    EXPECT_EQ(Get(CameraProperty::BlueGain), blue);
    EXPECT_EQ(device_->Settings.RedGain, red);
    EXPECT_EQ(device_->Settings.BlueGain, blue);
}

TEST_F(PropertySetTest, TimeoutAbove500MillisecondsIsTaken)
{
    EXPECT_EQ(Set(CameraProperty::Timeout, 500), STATUS_SUCCESS);
    EXPECT_EQ(Get(CameraProperty::Timeout), 3000);
    EXPECT_EQ(InterlockedExchangeAdd(&FrameTimeout, 0), 3000);
    for (LONG accepted : {501, 100000}) {
        EXPECT_EQ(Set(CameraProperty::Timeout, accepted), STATUS_SUCCESS);
        EXPECT_EQ(Get(CameraProperty::Timeout), accepted);
        EXPECT_EQ(InterlockedExchangeAdd(&FrameTimeout, 0), accepted);
    }
}

TEST_F(PropertySetTest, WindowAndClockChangeOnlyWithoutAPin)
{
    EXPECT_EQ(SetWindow(0, 100, 50, 320, 240), STATUS_SUCCESS);
    EXPECT_EQ(Region(), (std::array<LONG, 5>{0, 100, 50, 320, 240}));
    // Binned modes use the whole sensor.
    EXPECT_EQ(SetWindow(2, 100, 50, 320, 240), STATUS_SUCCESS);
    EXPECT_EQ(Region(), (std::array<LONG, 5>{2, 0, 0, 752, 480}));
    // Unknown modes (also 3, which the geometry itself would take) are the plain window.
    for (ULONG unknown : {3u, 7u, 0xFFFFFFFFu}) {
        EXPECT_EQ(SetWindow(unknown, 10, 20, 64, 700), STATUS_SUCCESS);
        EXPECT_EQ(Region(), (std::array<LONG, 5>{0, 10, 20, 64, 460}));
        EXPECT_EQ(device_->Geometry.FrameWidth, 64u);
    }

    // Pins of two filters: the item says whether any exists, not how many.
    for (LONG pins : {1, 2}) {
        InterlockedExchange(&device_->PinOpen, pins);
        EXPECT_EQ(Get(CameraProperty::PinOpen), 1);
        EXPECT_EQ(SetWindow(1, 0, 0, 752, 480), STATUS_SUCCESS);
        EXPECT_EQ(Region(), (std::array<LONG, 5>{0, 10, 20, 64, 460}));
        // A clock change would restart the sensor under the stream.
        EXPECT_EQ(Set(CameraProperty::Clock, 4), STATUS_SUCCESS);
        EXPECT_EQ(Camera().PeekBridgeRegister(0x0F), 0);
    }
    InterlockedExchange(&device_->PinOpen, 0);
    EXPECT_EQ(Get(CameraProperty::PinOpen), 0);
    EXPECT_EQ(Set(CameraProperty::Clock, 4), STATUS_SUCCESS);
    EXPECT_EQ(Camera().PeekBridgeRegister(0x0F), 4);
}

TEST_F(PropertySetTest, RegisterItemsReachTheSensorDirectly)
{
    CameraPropertyValue record{};
    EXPECT_EQ(Request(CameraProperty::RegisterWrite, KSPROPERTY_TYPE_GET, record),
              STATUS_UNSUCCESSFUL);
    // Low 8 bits of Value select the register, low 16 bits of Value2 are written.
    EXPECT_EQ(Set(CameraProperty::RegisterWrite, 0x135, 0x12345), STATUS_SUCCESS);
    EXPECT_EQ(Sensor(0x35), 0x2345);
    Camera().FailNextCommands(1);
    EXPECT_EQ(Set(CameraProperty::RegisterWrite, 0x35, 0x40), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sensor(0x35), 0x2345);

    EXPECT_EQ(Set(CameraProperty::RegisterRead, 0x235), STATUS_SUCCESS);
    EXPECT_EQ(device_->Channel.RegisterAddress, 0x235);
    EXPECT_EQ(Get(CameraProperty::RegisterRead), 0x2345);
    Camera().FailNextCommands(1);
    EXPECT_EQ(Get(CameraProperty::RegisterRead), 0);
}

TEST_F(PropertySetTest, RawCommandSendsAtMost63PayloadBytes)
{
    CameraRawRequest raw{};
    for (int i = 0; i < 64; ++i) {
        raw.Payload[i] = static_cast<UCHAR>(0x80 + i);
    }
    Camera().Log().Clear();
    EXPECT_EQ(Request(CameraProperty::RawCommand, KSPROPERTY_TYPE_GET, raw), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Camera().Log().Commands().empty());

    for (LONG length : {200, 5, -1}) {
        SCOPED_TRACE(testing::Message() << "Length " << length);
        raw.Length = length;
        Camera().Log().Clear();
        EXPECT_EQ(Request(CameraProperty::RawCommand, KSPROPERTY_TYPE_SET, raw), STATUS_SUCCESS);
        auto commands = Camera().Log().Commands();
        ASSERT_EQ(commands.size(), 1u);
        sim::Packet expected{};
        expected[0] = 0x40;
        for (LONG i = 0; i < std::min<LONG>(length, 63); ++i) {
            expected[1 + i] = raw.Payload[i];
        }
        EXPECT_EQ(commands[0], expected);
    }
}

TEST_F(PropertySetTest, RawReadSendsTheSelectedAddressAndReturnsOneByte)
{
    Camera().PokeDataStore(0x1234, 0xA7);
    CameraRawRequest raw{};
    raw.Address = 0x1234;
    ASSERT_EQ(Request(CameraProperty::RawRead, KSPROPERTY_TYPE_SET, raw), STATUS_SUCCESS);
    std::memset(raw.Payload, 0xEE, sizeof raw.Payload);
    Camera().Log().Clear();
    EXPECT_EQ(Request(CameraProperty::RawRead, KSPROPERTY_TYPE_GET, raw), STATUS_SUCCESS);
    auto commands = Camera().Log().Commands();
    ASSERT_EQ(commands.size(), 1u);
    sim::Packet expected{0x41, 0x51, 0x02, 0x01, 0x12, 0x34};
    EXPECT_EQ(commands[0], expected);
    EXPECT_EQ(raw.Payload[0], 0xA7);
    for (int i = 1; i < 64; ++i) {
        EXPECT_EQ(raw.Payload[i], 0xEE) << "payload byte " << i;
    }
    // Item 58 reads from the same selected address.
    EXPECT_EQ(device_->Channel.RegisterAddress, 0x1234);

    std::memset(raw.Payload, 0xEE, sizeof raw.Payload);
    Camera().FailNextCommands(1);
    EXPECT_EQ(Request(CameraProperty::RawRead, KSPROPERTY_TYPE_GET, raw), STATUS_SUCCESS);
    EXPECT_EQ(raw.Payload[0], 0xEE);
}

TEST_F(PropertySetTest, SetCombinedWithAnotherFlagIsAnsweredAsAGet)
{
    ASSERT_EQ(Set(CameraProperty::Exposure, 300), STATUS_SUCCESS);
    for (ULONG flags : {ULONG{KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_GET},
                        ULONG{KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY}}) {
        CameraPropertyValue record{};
        record.Value = 900;
        EXPECT_EQ(Request(CameraProperty::Exposure, flags, record), STATUS_SUCCESS);
        EXPECT_EQ(record.Value, 300);
        EXPECT_EQ(Sensor(0x0B), 300);

        record.Value = 0x35;
        EXPECT_EQ(Request(CameraProperty::RegisterWrite, flags, record), STATUS_UNSUCCESSFUL);
        record.Value = 15;
        EXPECT_EQ(Request(CameraProperty::Hue, flags, record), STATUS_SUCCESS);
        EXPECT_EQ(record.Value, 0);
    }
}

}  // namespace
}  // namespace cameratest
