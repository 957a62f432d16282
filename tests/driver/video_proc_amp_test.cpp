// The standard video processing and camera control property sets, driven like a capture
// application drives them: requests on the capture filter of a plugged-in simulated camera,
// checked against the private set's items (the same settings), the sensor and the registry.
#include "camera_fixture.h"

#include "camera/row_time.h"
#include "control/camera_control.h"
#include "control/property_set.h"
#include "control/property_ranges.h"

#include <array>
#include <cstring>

namespace cameratest {
namespace {

constexpr LONG kSentinel = 0x5A5A5A5A;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
// Description (40) + range header and stepping (16 + 16) + default header and value (16 + 4).
constexpr ULONG kFullSupportSize = 92;

class VideoProcAmpTest : public OneCameraTest {
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
        CameraTest::TearDown();
    }

    // The record is both the property buffer (header first) and the data buffer.
    template <typename Record>
    ksclient::PropertyResult Request(ULONG id, ULONG flags, Record& record,
                                     const GUID& set = PROPSETID_VIDCAP_VIDEOPROCAMP)
    {
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        return ksclient::PropertyRequest(filter_.Get(), set, id, flags, tail, sizeof record,
                                         &record, sizeof record);
    }
    NTSTATUS Set(ULONG id, LONG value, ULONG flags = kManual)
    {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Value = value;
        record.Flags = flags;
        return Request(id, KSPROPERTY_TYPE_SET, record).status;
    }
    KSPROPERTY_VIDEOPROCAMP_S Get(ULONG id)
    {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Value = kSentinel;
        record.Flags = record.Capabilities = 0xA5A5A5A5;
        auto result = Request(id, KSPROPERTY_TYPE_GET, record);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << "item " << id;
        EXPECT_EQ(result.bytesReturned, sizeof record);
        return record;
    }
    // Basic support with a data buffer of `size` bytes (filled with 0xEE beforehand).
    ksclient::PropertyResult Support(ULONG id, std::vector<std::uint8_t>& data, ULONG size,
                                     const GUID& set = PROPSETID_VIDCAP_VIDEOPROCAMP)
    {
        data.assign(size, 0xEE);
        return ksclient::PropertyRequest(filter_.Get(), set, id,
                                         KSPROPERTY_TYPE_BASICSUPPORT, nullptr, sizeof(KSPROPERTY),
                                         size == 0 ? nullptr : data.data(), size);
    }

    // The private set's view of the same setting.
    LONG Private(ULONG id)
    {
        CameraPropertyValue record{};
        record.Value = kSentinel;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        EXPECT_EQ(ksclient::PropertyRequest(filter_.Get(), CameraPropertySet, id,
                                            KSPROPERTY_TYPE_GET, tail, sizeof record, &record,
                                            sizeof record)
                      .status,
                  STATUS_SUCCESS);
        return record.Value;
    }
    void SetPrivate(ULONG id, LONG value)
    {
        CameraPropertyValue record{};
        record.Value = value;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        ASSERT_EQ(ksclient::PropertyRequest(filter_.Get(), CameraPropertySet, id,
                                            KSPROPERTY_TYPE_SET, tail, sizeof record, &record,
                                            sizeof record)
                      .status,
                  STATUS_SUCCESS);
    }

    ksclient::Filter filter_;
};

// One single-value item: its standard id, the private item it shares its setting with, its
// published limits and default, and the registry value that keeps it.
struct ItemRow {
    const char* name;
    ULONG id;
    ULONG privateId;
    LONG minimum;
    LONG maximum;
    LONG defaultValue;
    const wchar_t* registryValue;
    ULONG capabilities;
};

std::ostream& operator<<(std::ostream& out, const ItemRow& row)
{
    return out << row.name;
}

const ItemRow kItems[] = {
    {"Brightness", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, CameraProperty::Brightness, 0, 510, 255,
     L"Brightness", kManual},
    {"Contrast", KSPROPERTY_VIDEOPROCAMP_CONTRAST, CameraProperty::Contrast, 0, 20, 10,
     L"Contrast", kManual},
    {"Hue", KSPROPERTY_VIDEOPROCAMP_HUE, CameraProperty::Hue, 0, 359, 0, L"Hue", kManual},
    {"Saturation", KSPROPERTY_VIDEOPROCAMP_SATURATION, CameraProperty::Saturation, 0, 20, 10,
     L"Saturation", kManual},
    {"ColorEnable", KSPROPERTY_VIDEOPROCAMP_COLORENABLE, CameraProperty::ColorEnable, 0, 1, 1,
     L"ColorEnable", kManual},
    {"Gain", KSPROPERTY_VIDEOPROCAMP_GAIN, CameraProperty::GlobalGain, 0, 63, 16, L"GlobalGain",
     kManual | kAuto},
};

class VideoProcAmpItem : public VideoProcAmpTest, public testing::WithParamInterface<ItemRow> {};

TEST_P(VideoProcAmpItem, BasicSupportDescribesTheRangeAndTheDefault)
{
    const ItemRow& row = GetParam();
    std::vector<std::uint8_t> data;
    auto result = Support(row.id, data, kFullSupportSize);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.bytesReturned, kFullSupportSize);

    PropertyRangeDescription answer{};
    std::memcpy(&answer, data.data(), kFullSupportSize);
    EXPECT_EQ(answer.Description.AccessFlags, ULONG{KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET});
    EXPECT_EQ(answer.Description.DescriptionSize, kFullSupportSize);
    EXPECT_TRUE(IsEqualGUID(answer.Description.PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(answer.Description.PropTypeSet.Id, ULONG{VT_I4});
    EXPECT_EQ(answer.Description.MembersListCount, 2u);
    EXPECT_EQ(answer.RangeHeader.MembersFlags, ULONG{KSPROPERTY_MEMBER_STEPPEDRANGES});
    EXPECT_EQ(answer.RangeHeader.MembersSize, sizeof(KSPROPERTY_STEPPING_LONG));
    EXPECT_EQ(answer.RangeHeader.MembersCount, 1u);
    EXPECT_EQ(answer.Range.SteppingDelta, 1u);
    EXPECT_EQ(answer.Range.Bounds.SignedMinimum, row.minimum);
    EXPECT_EQ(answer.Range.Bounds.SignedMaximum, row.maximum);
    EXPECT_EQ(answer.DefaultHeader.MembersFlags, ULONG{KSPROPERTY_MEMBER_VALUES});
    EXPECT_EQ(answer.DefaultHeader.MembersSize, sizeof(LONG));
    EXPECT_EQ(answer.DefaultHeader.MembersCount, 1u);
    EXPECT_EQ(answer.DefaultHeader.Flags, ULONG{KSPROPERTY_MEMBER_FLAG_DEFAULT});
    EXPECT_EQ(answer.Default, row.defaultValue);
}

TEST_P(VideoProcAmpItem, SetsAndGetsShareTheSettingWithThePrivateItem)
{
    const ItemRow& row = GetParam();
    for (LONG value : {row.minimum, row.maximum}) {
        SCOPED_TRACE(value);
        ASSERT_EQ(Set(row.id, value), STATUS_SUCCESS);
        EXPECT_EQ(Private(row.privateId), value);
        KSPROPERTY_VIDEOPROCAMP_S record = Get(row.id);
        EXPECT_EQ(record.Value, value);
        EXPECT_EQ(record.Flags, kManual);
        EXPECT_EQ(record.Capabilities, row.capabilities);
    }
    // The other way round, with flags left at zero (taken as manual) on the standard side.
    const LONG middle = (row.minimum + row.maximum + 1) / 2;
    SetPrivate(row.privateId, middle);
    EXPECT_EQ(Get(row.id).Value, middle);
    ASSERT_EQ(Set(row.id, row.minimum, 0), STATUS_SUCCESS);
    EXPECT_EQ(Private(row.privateId), row.minimum);
}

TEST_P(VideoProcAmpItem, RefusedSetsChangeNothing)
{
    const ItemRow& row = GetParam();
    const LONG middle = (row.minimum + row.maximum + 1) / 2;
    ASSERT_EQ(Set(row.id, middle), STATUS_SUCCESS);
    EXPECT_EQ(Set(row.id, row.maximum + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(row.id, row.minimum - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(row.id, LONG{INT32_MIN}), STATUS_INVALID_PARAMETER);
    // Automatic control only where the item offers it; flags other than the two modes mean
    // nothing.
    if ((row.capabilities & kAuto) == 0) {
        EXPECT_EQ(Set(row.id, row.minimum, kAuto), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Set(row.id, row.minimum, kAuto | kManual), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(row.id, row.minimum, 0x10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Private(row.privateId), middle);
    EXPECT_EQ(Get(row.id).Value, middle);
}

TEST_P(VideoProcAmpItem, StandardSetsAreSavedUnderThePrivateRegistryValue)
{
    const ItemRow& row = GetParam();
    const LONG value = row.maximum - 1 > row.defaultValue ? row.maximum - 1 : row.minimum;
    ASSERT_NE(value, row.defaultValue);
    ASSERT_EQ(Set(row.id, value), STATUS_SUCCESS);
    filter_.Close();  // closing a filter saves the settings
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), row.registryValue),
              static_cast<ULONG>(value));
}

INSTANTIATE_TEST_SUITE_P(Items, VideoProcAmpItem, testing::ValuesIn(kItems),
                         [](const auto& item) { return std::string(item.param.name); });

// Items whose auto flag is an automatic control of the camera's: the private item that switches
// it, the bits of the sensor's automatic-control register (0xAF) it sets, its registry value.
struct AutoItemRow {
    const char* name;
    ULONG id;
    ULONG privateId;
    ULONG autoPrivateId;
    std::uint16_t sensorBit;
    const wchar_t* registryValue;
    LONG manualValue;
};

std::ostream& operator<<(std::ostream& out, const AutoItemRow& row)
{
    return out << row.name;
}

class VideoProcAmpAutoItem : public VideoProcAmpTest,
                             public testing::WithParamInterface<AutoItemRow> {
protected:
    bool SensorAuto() const
    {
        return (plugged_->camera->PeekSensorRegister(0xAF) & GetParam().sensorBit) != 0;
    }
};

TEST_P(VideoProcAmpAutoItem, AutoFlagIsTheCamerasAutomaticControl)
{
    const AutoItemRow& row = GetParam();
    EXPECT_EQ(Get(row.id).Flags, kManual);
    EXPECT_EQ(Get(row.id).Capabilities, kManual | kAuto);

    ASSERT_EQ(Set(row.id, 0, kAuto), STATUS_SUCCESS);
    EXPECT_EQ(Private(row.autoPrivateId), 1);
    EXPECT_TRUE(SensorAuto());
    EXPECT_EQ(Get(row.id).Flags, kAuto);

    // A refused manual value leaves the automatic control running.
    EXPECT_EQ(Set(row.id, 1000, kManual), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Private(row.autoPrivateId), 1);

    // A manual set switches it off and applies the value.
    ASSERT_EQ(Set(row.id, row.manualValue, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Private(row.autoPrivateId), 0);
    EXPECT_FALSE(SensorAuto());
    EXPECT_EQ(Private(row.privateId), row.manualValue);
    EXPECT_EQ(Get(row.id).Flags, kManual);

    // The private item shows in the flag.
    SetPrivate(row.autoPrivateId, 1);
    EXPECT_EQ(Get(row.id).Flags, kAuto);
}

TEST_P(VideoProcAmpAutoItem, AutoFlagIsSavedUnderThePrivateRegistryValue)
{
    const AutoItemRow& row = GetParam();
    ASSERT_EQ(Set(row.id, 0, kAuto), STATUS_SUCCESS);
    filter_.Close();
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), row.registryValue), 1u);
}

INSTANTIATE_TEST_SUITE_P(Items, VideoProcAmpAutoItem,
                         testing::Values(AutoItemRow{"Gain", KSPROPERTY_VIDEOPROCAMP_GAIN,
                                                     CameraProperty::GlobalGain,
                                                     CameraProperty::AGC, 0x0002, L"AGC", 37}),
                         [](const auto& item) { return std::string(item.param.name); });

// Basic support by data buffer size, as applications probe it: nothing (the size), the access
// flags alone, the description alone, everything.
struct SupportSizeRow {
    ULONG size;
    NTSTATUS status;
    ULONG bytesReturned;
};

class VideoProcAmpSupportSize : public VideoProcAmpTest,
                                public testing::WithParamInterface<SupportSizeRow> {};

TEST_P(VideoProcAmpSupportSize, AnswerFollowsTheBufferSize)
{
    const SupportSizeRow& row = GetParam();
    std::vector<std::uint8_t> data;
    auto result = Support(KSPROPERTY_VIDEOPROCAMP_CONTRAST, data, row.size);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.bytesReturned, row.bytesReturned);
    // Nothing past what the answer reports is written.
    const ULONG written = NT_SUCCESS(row.status) ? row.bytesReturned : 0;
    for (ULONG i = written; i < row.size; ++i) {
        EXPECT_EQ(data[i], 0xEE) << "byte " << i;
    }
    if (row.status == STATUS_SUCCESS) {
        ULONG access = 0;
        std::memcpy(&access, data.data(), sizeof access);
        EXPECT_EQ(access, ULONG{KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET});
    }
    if (row.status == STATUS_SUCCESS && row.bytesReturned >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description{};
        std::memcpy(&description, data.data(), sizeof description);
        EXPECT_EQ(description.DescriptionSize, kFullSupportSize);
        EXPECT_EQ(description.MembersListCount, 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, VideoProcAmpSupportSize,
    testing::Values(SupportSizeRow{0, STATUS_BUFFER_OVERFLOW, kFullSupportSize},
                    SupportSizeRow{2, STATUS_BUFFER_TOO_SMALL, kFullSupportSize},
                    SupportSizeRow{4, STATUS_SUCCESS, 4},
                    SupportSizeRow{8, STATUS_BUFFER_TOO_SMALL, kFullSupportSize},
                    SupportSizeRow{39, STATUS_BUFFER_TOO_SMALL, kFullSupportSize},
                    SupportSizeRow{40, STATUS_SUCCESS, 40},
                    SupportSizeRow{91, STATUS_SUCCESS, 40},
                    SupportSizeRow{92, STATUS_SUCCESS, kFullSupportSize},
                    SupportSizeRow{200, STATUS_SUCCESS, kFullSupportSize}),
    [](const auto& item) { return "Bytes" + std::to_string(item.param.size); });

TEST_F(VideoProcAmpTest, WhiteBalanceModeIsTheAutomaticBalanceFlag)
{
    KSPROPERTY_VIDEOPROCAMP_S record = Get(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE);
    EXPECT_EQ(record.Flags, kManual);
    EXPECT_EQ(record.Capabilities, kManual | kAuto);

    ASSERT_EQ(Set(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, kAuto), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::WhiteBalance), 1);
    EXPECT_EQ(Get(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).Flags, kAuto);
    EXPECT_EQ(Get(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT).Flags, kAuto);

    // The item has no colour temperature: a manual set takes only 0.
    EXPECT_EQ(Set(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 6500, kManual), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Private(CameraProperty::WhiteBalance), 1);
    ASSERT_EQ(Set(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::WhiteBalance), 0);
    EXPECT_EQ(Get(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).Flags, kManual);

    SetPrivate(CameraProperty::WhiteBalance, 1);
    EXPECT_EQ(Get(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE).Flags, kAuto);
}

TEST_F(VideoProcAmpTest, WhiteBalanceComponentsAreTheRedAndBlueGains)
{
    auto get = [&] {
        KSPROPERTY_VIDEOPROCAMP_S2 record{};
        record.Value1 = record.Value2 = kSentinel;
        EXPECT_EQ(Request(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, KSPROPERTY_TYPE_GET,
                          record)
                      .status,
                  STATUS_SUCCESS);
        return record;
    };
    auto set = [&](LONG red, LONG blue, ULONG flags) {
        KSPROPERTY_VIDEOPROCAMP_S2 record{};
        record.Value1 = red;
        record.Value2 = blue;
        record.Flags = flags;
        return Request(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, KSPROPERTY_TYPE_SET,
                       record)
            .status;
    };
    KSPROPERTY_VIDEOPROCAMP_S2 initial = get();
    EXPECT_EQ(initial.Value1, 128);
    EXPECT_EQ(initial.Value2, 128);
    EXPECT_EQ(initial.Capabilities, kManual | kAuto);

    ASSERT_EQ(set(512, 1, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::RedGain), 512);
    EXPECT_EQ(Private(CameraProperty::BlueGain), 1);
    EXPECT_EQ(Private(CameraProperty::GreenGain), 128);

    // One component out of range refuses the pair.
    EXPECT_EQ(set(200, 513, kManual), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set(0, 200, kManual), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Private(CameraProperty::RedGain), 512);
    EXPECT_EQ(Private(CameraProperty::BlueGain), 1);

    SetPrivate(CameraProperty::RedGain, 77);
    EXPECT_EQ(get().Value1, 77);

    // Automatic through the components item; a manual set switches the balance off again.
    ASSERT_EQ(set(0, 0, kAuto), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::WhiteBalance), 1);
    EXPECT_EQ(get().Flags, kAuto);
    ASSERT_EQ(set(300, 40, kManual), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::WhiteBalance), 0);
    EXPECT_EQ(Private(CameraProperty::RedGain), 300);
    EXPECT_EQ(Private(CameraProperty::BlueGain), 40);
}

TEST_F(VideoProcAmpTest, ItemsTheCameraLacksAreNotFound)
{
    for (ULONG id : {ULONG{KSPROPERTY_VIDEOPROCAMP_SHARPNESS}, ULONG{KSPROPERTY_VIDEOPROCAMP_GAMMA},
                     ULONG{KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY}}) {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        EXPECT_EQ(Request(id, KSPROPERTY_TYPE_GET, record).status, STATUS_NOT_FOUND) << id;
    }
}

// Exposure in log2 seconds: rows for a row time, worked out by hand (rows = 2^n * clock / row
// clocks, rounded to the nearest row).
struct ExposureRowsRow {
    LONG log2Seconds;
    ULONG rowClocks;
    ULONG clockHz;
    ULONG rows;
};

class ExposureRows : public testing::TestWithParam<ExposureRowsRow> {};

TEST_P(ExposureRows, RoundToTheNearestRow)
{
    const ExposureRowsRow& row = GetParam();
    EXPECT_EQ(ExposureRowsFor(row.log2Seconds, row.rowClocks, row.clockHz), row.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExposureRows,
    testing::Values(ExposureRowsRow{-6, 816, 26666667, 511},   // 510.62
                    ExposureRowsRow{-7, 816, 26666667, 255},   // 255.31
                    ExposureRowsRow{0, 816, 26666667, 32680},  // 32679.74
                    ExposureRowsRow{-15, 816, 26666667, 1},    // 0.997
                    ExposureRowsRow{-16, 816, 26666667, 0},    // 0.499
                    ExposureRowsRow{3, 816, 2000000, 19608},   // 19607.84
                    ExposureRowsRow{-12, 816, 2000000, 1},     // 0.598
                    ExposureRowsRow{-2, 660, 8000000, 3030},   // 3030.30
                    ExposureRowsRow{4, 816, 26666667, 0},      // beyond the computed span
                    ExposureRowsRow{-21, 816, 26666667, 0}));

// Frame intervals (100 ns) worked out by hand: (rows + 45 blanking, or the exposure when
// longer) * (width + horizontal blanking) pixel clocks / pixel clock, rounded to the nearest.
struct FrameIntervalRow {
    ULONG width;
    ULONG height;
    ULONG exposure;
    LONG clock;
    LONGLONG interval;
};

class FrameIntervals : public testing::TestWithParam<FrameIntervalRow> {};

TEST_P(FrameIntervals, FollowTheSensorsRowsAndClock)
{
    const FrameIntervalRow& row = GetParam();
    EXPECT_EQ(FrameIntervalFor(row.width, row.height, row.exposure, row.clock), row.interval);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameIntervals,
    testing::Values(FrameIntervalRow{752, 480, 480, 0, 160650},     // 525 * 816 / 26.67 MHz
                    FrameIntervalRow{752, 480, 1000, 0, 306000},    // exposure: 1000 rows
                    FrameIntervalRow{752, 480, 0, 5, 2142000},      // 525 * 816 / 2 MHz
                    FrameIntervalRow{376, 240, 0, 0, 70537},        // 285 * 660 / 26.67 MHz
                    FrameIntervalRow{100, 100, 0, 2, 119625},       // 145 * 660 / 8 MHz
                    FrameIntervalRow{752, 480, 40000, 5, 133689360},  // exposure capped at 32767
                    FrameIntervalRow{752, 480, 0, 9, 160650}));     // unknown clock: selection 0

class CameraControlTest : public VideoProcAmpTest {
protected:
    NTSTATUS SetExposure(LONG value, ULONG flags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL)
    {
        KSPROPERTY_CAMERACONTROL_S record{};
        record.Value = value;
        record.Flags = flags;
        return Request(KSPROPERTY_CAMERACONTROL_EXPOSURE, KSPROPERTY_TYPE_SET, record,
                       PROPSETID_VIDCAP_CAMERACONTROL)
            .status;
    }
    KSPROPERTY_CAMERACONTROL_S GetExposure()
    {
        KSPROPERTY_CAMERACONTROL_S record{};
        record.Value = kSentinel;
        EXPECT_EQ(Request(KSPROPERTY_CAMERACONTROL_EXPOSURE, KSPROPERTY_TYPE_GET, record,
                          PROPSETID_VIDCAP_CAMERACONTROL)
                      .status,
                  STATUS_SUCCESS);
        return record;
    }
    PropertyRangeDescription ExposureSupport()
    {
        std::vector<std::uint8_t> data;
        auto result = Support(KSPROPERTY_CAMERACONTROL_EXPOSURE, data, kFullSupportSize,
                              PROPSETID_VIDCAP_CAMERACONTROL);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytesReturned, kFullSupportSize);
        PropertyRangeDescription answer{};
        std::memcpy(&answer, data.data(), kFullSupportSize);
        return answer;
    }
    std::uint16_t ExposureRegister() const { return plugged_->camera->PeekSensorRegister(0x0B); }
};

TEST_F(CameraControlTest, ExposureIsLog2SecondsOfTheSensorsRows)
{
    // Full window at the fastest clock: a row is 752 + 64 pixel clocks at 26.67 MHz (30.6 us).
    PropertyRangeDescription answer = ExposureSupport();
    EXPECT_EQ(answer.Range.Bounds.SignedMinimum, -15);  // 1 row
    EXPECT_EQ(answer.Range.Bounds.SignedMaximum, 0);    // 32680 rows
    EXPECT_EQ(answer.Default, -6);                      // 511 rows, nearest 480

    ASSERT_EQ(SetExposure(-6), STATUS_SUCCESS);
    EXPECT_EQ(ExposureRegister(), 511);
    EXPECT_EQ(Private(CameraProperty::Exposure), 511);
    KSPROPERTY_CAMERACONTROL_S record = GetExposure();
    EXPECT_EQ(record.Value, -6);
    EXPECT_EQ(record.Flags, ULONG{KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL});
    EXPECT_EQ(record.Capabilities,
              ULONG{KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL | KSPROPERTY_CAMERACONTROL_FLAGS_AUTO});

    // Private row counts read back as the nearest power of two.
    SetPrivate(CameraProperty::Exposure, 32767);
    EXPECT_EQ(GetExposure().Value, 0);
    SetPrivate(CameraProperty::Exposure, 380);  // 255 rows (-7) is nearer than 511 (-6)
    EXPECT_EQ(GetExposure().Value, -7);
    SetPrivate(CameraProperty::Exposure, 1);
    EXPECT_EQ(GetExposure().Value, -15);
}

TEST_F(CameraControlTest, RefusedExposureSetsChangeNothing)
{
    ASSERT_EQ(SetExposure(-8), STATUS_SUCCESS);
    const std::uint16_t rows = ExposureRegister();
    EXPECT_EQ(rows, 128);  // 127.66
    EXPECT_EQ(SetExposure(1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetExposure(-16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetExposure(-3, KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetExposure(-3, KSPROPERTY_CAMERACONTROL_FLAGS_AUTO |
                                  KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ExposureRegister(), rows);
    EXPECT_EQ(GetExposure().Value, -8);
}

TEST_F(CameraControlTest, AutoFlagIsTheSensorsAutomaticExposure)
{
    ASSERT_EQ(SetExposure(0, KSPROPERTY_CAMERACONTROL_FLAGS_AUTO), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::AEC), 1);
    EXPECT_EQ(GetExposure().Flags, ULONG{KSPROPERTY_CAMERACONTROL_FLAGS_AUTO});

    // A manual set switches it off and applies the value.
    ASSERT_EQ(SetExposure(-5), STATUS_SUCCESS);
    EXPECT_EQ(Private(CameraProperty::AEC), 0);
    EXPECT_EQ(ExposureRegister(), 1021);  // 1021.24
    EXPECT_EQ(GetExposure().Flags, ULONG{KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL});

    SetPrivate(CameraProperty::AEC, 1);
    EXPECT_EQ(GetExposure().Flags, ULONG{KSPROPERTY_CAMERACONTROL_FLAGS_AUTO});
}

TEST_F(CameraControlTest, RangeFollowsTheClock)
{
    SetPrivate(CameraProperty::Clock, 5);  // 2 MHz: a row takes 408 us
    PropertyRangeDescription answer = ExposureSupport();
    EXPECT_EQ(answer.Range.Bounds.SignedMinimum, -12);
    EXPECT_EQ(answer.Range.Bounds.SignedMaximum, 3);
    EXPECT_EQ(answer.Default, -2);  // 613 rows; 306 (-3) is further from 480
    ASSERT_EQ(SetExposure(3), STATUS_SUCCESS);
    EXPECT_EQ(ExposureRegister(), 19608);
    EXPECT_EQ(GetExposure().Value, 3);
}

TEST_F(CameraControlTest, ExposureIsSavedUnderThePrivateRegistryValue)
{
    ASSERT_EQ(SetExposure(-4), STATUS_SUCCESS);  // 2042.48 rows
    filter_.Close();
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), L"Exposure"), 2042u);
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), L"AEC"), 0u);
}

}  // namespace
}  // namespace cameratest
