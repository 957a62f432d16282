// The standard video control property set, asked through the client calls on the capture pin and
// on the capture filter (StreamIndex naming the pin): the flip and trigger mode over the private
// items' settings, and frame rates checked against the simulated sensor's own frame time. Then
// the standard sets changed while the pin streams.
#include "streaming_fixture.h"

#include "control/property_set.h"

#include <cstdlib>

namespace cameratest {
namespace {

enum class Target { Filter, Pin };

std::string TargetName(Target target)
{
    return target == Target::Filter ? "Filter" : "Pin";
}

std::ostream& operator<<(std::ostream& out, Target target)
{
    return out << TargetName(target);
}

constexpr ULONG kFlipH = KS_VideoControlFlag_FlipHorizontal;
constexpr ULONG kFlipV = KS_VideoControlFlag_FlipVertical;
constexpr ULONG kTrigger = KS_VideoControlFlag_ExternalTriggerEnable;
// KSMULTIPLE_ITEM and one interval per clock selection.
constexpr ULONG kFrameRatesSize = 8 + 6 * 8;

class VideoControlTest : public StreamingTest {
protected:
    HANDLE Handle(Target target) const { return target == Target::Filter ? filter_.Get() : pin_.Get(); }

    // The record is both the property buffer (header first) and the data buffer.
    template <typename Record>
    ksclient::PropertyResult Request(HANDLE object, ULONG id, ULONG flags, Record& record,
                                     const GUID& set = PROPSETID_VIDCAP_VIDEOCONTROL)
    {
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        return ksclient::PropertyRequest(object, set, id, flags, tail, sizeof record, &record,
                                         sizeof record);
    }

    NTSTATUS SetMode(HANDLE object, LONG mode, ULONG streamIndex = 0)
    {
        KSPROPERTY_VIDEOCONTROL_MODE_S record{};
        record.StreamIndex = streamIndex;
        record.Mode = mode;
        return Request(object, KSPROPERTY_VIDEOCONTROL_MODE, KSPROPERTY_TYPE_SET, record).status;
    }
    LONG GetMode(HANDLE object)
    {
        KSPROPERTY_VIDEOCONTROL_MODE_S record{};
        record.Mode = -1;
        EXPECT_EQ(Request(object, KSPROPERTY_VIDEOCONTROL_MODE, KSPROPERTY_TYPE_GET, record).status,
                  STATUS_SUCCESS);
        return record.Mode;
    }

    // The frame-rate list for a request, with a data buffer of `size` bytes (0xEE beforehand).
    ksclient::PropertyResult FrameRates(HANDLE object, std::vector<std::uint8_t>& data, ULONG size,
                                        ULONG streamIndex, ULONG rangeIndex, LONG width,
                                        LONG height)
    {
        KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S query{};
        query.StreamIndex = streamIndex;
        query.RangeIndex = rangeIndex;
        query.Dimensions = {width, height};
        data.assign(size, 0xEE);
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&query) + sizeof(KSPROPERTY);
        return ksclient::PropertyRequest(object, PROPSETID_VIDCAP_VIDEOCONTROL,
                                         KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET,
                                         tail, sizeof query, size == 0 ? nullptr : data.data(),
                                         size);
    }
    // The intervals of a successful list at the camera's output size.
    std::vector<LONGLONG> FrameRateList(HANDLE object)
    {
        std::vector<std::uint8_t> data;
        auto result = FrameRates(object, data, kFrameRatesSize, 0, 0, OutputWidth(), OutputHeight());
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytesReturned, kFrameRatesSize);
        KSMULTIPLE_ITEM header{};
        std::memcpy(&header, data.data(), sizeof header);
        EXPECT_EQ(header.Size, kFrameRatesSize);
        EXPECT_EQ(header.Count, 6u);
        std::vector<LONGLONG> intervals(6);
        std::memcpy(intervals.data(), data.data() + sizeof header, 6 * sizeof(LONGLONG));
        return intervals;
    }

    ksclient::PropertyResult ActualFrameRate(HANDLE object,
                                             KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S& record)
    {
        return Request(object, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, KSPROPERTY_TYPE_GET,
                       record);
    }
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S ActualRecord(ULONG streamIndex = 0,
                                                             ULONG rangeIndex = 0)
    {
        KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S record{};
        record.StreamIndex = streamIndex;
        record.RangeIndex = rangeIndex;
        record.Dimensions = {OutputWidth(), OutputHeight()};
        record.CurrentActualFrameRate = record.CurrentMaxAvailableFrameRate = -1;
        return record;
    }

    LONG OutputWidth() const { return static_cast<LONG>(device_->Geometry.OutputWidth); }
    LONG OutputHeight() const { return static_cast<LONG>(device_->Geometry.OutputHeight); }

    // The private set's view of a setting.
    LONG Private(ULONG id)
    {
        CameraPropertyValue record{};
        record.Value = 0x5A5A5A5A;
        EXPECT_EQ(Request(filter_.Get(), id, KSPROPERTY_TYPE_GET, record, CameraPropertySet).status,
                  STATUS_SUCCESS);
        return record.Value;
    }
    void SetPrivate(ULONG id, LONG value)
    {
        CameraPropertyValue record{};
        record.Value = value;
        ASSERT_EQ(Request(filter_.Get(), id, KSPROPERTY_TYPE_SET, record, CameraPropertySet).status,
                  STATUS_SUCCESS);
    }
    void SetWindow(ULONG subSample, LONG x, LONG y, LONG width, LONG height)
    {
        CameraWindowRequest window{};
        window.SubSample = subSample;
        window.RoiX = x;
        window.RoiY = y;
        window.RoiW = width;
        window.RoiH = height;
        ASSERT_EQ(Request(filter_.Get(), CameraProperty::Window, KSPROPERTY_TYPE_SET, window,
                          CameraPropertySet)
                      .status,
                  STATUS_SUCCESS);
    }

    // The read-mode register's flip bits as a mode.
    ULONG SensorFlips() const
    {
        std::uint16_t readMode = plugged_->camera->PeekSensorRegister(0x0D);
        return ((readMode & 0x20) != 0 ? kFlipH : 0) | ((readMode & 0x10) != 0 ? kFlipV : 0);
    }

    // Creates the pin (stopped) with the negotiated format.
    void OpenPin() { ASSERT_EQ(CreatePin(NegotiatedFormat(), pin_), STATUS_SUCCESS); }
};

// Requests addressed to the pin and to the filter.
class VideoControlOn : public VideoControlTest, public testing::WithParamInterface<Target> {
protected:
    void SetUp() override
    {
        VideoControlTest::SetUp();
        if (!HasFatalFailure()) {
            OpenPin();
        }
    }
    HANDLE Object() const { return Handle(GetParam()); }
};

TEST_P(VideoControlOn, CapsOfferTheFlipsAndTheExternalTrigger)
{
    KSPROPERTY_VIDEOCONTROL_CAPS_S record{};
    record.VideoControlCaps = 0xA5A5A5A5;
    auto result = Request(Object(), KSPROPERTY_VIDEOCONTROL_CAPS, KSPROPERTY_TYPE_GET, record);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytesReturned, sizeof record);
    EXPECT_EQ(record.StreamIndex, 0u);
    EXPECT_EQ(record.VideoControlCaps, kFlipH | kFlipV | kTrigger);

    record.StreamIndex = 1;  // the filter has one pin factory
    EXPECT_EQ(Request(Object(), KSPROPERTY_VIDEOCONTROL_CAPS, KSPROPERTY_TYPE_GET, record).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request(Object(), KSPROPERTY_VIDEOCONTROL_CAPS, KSPROPERTY_TYPE_SET, record).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_P(VideoControlOn, ModeIsTheFlipAndTriggerSettings)
{
    for (ULONG mode : {kFlipH, kFlipV, kFlipH | kFlipV, kTrigger, kFlipH | kFlipV | kTrigger,
                       ULONG{0}}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(SetMode(Object(), static_cast<LONG>(mode)), STATUS_SUCCESS);
        EXPECT_EQ(Private(CameraProperty::FlipH), (mode & kFlipH) != 0 ? 1 : 0);
        EXPECT_EQ(Private(CameraProperty::FlipV), (mode & kFlipV) != 0 ? 1 : 0);
        EXPECT_EQ(Private(CameraProperty::ExTrigger), (mode & kTrigger) != 0 ? 1 : 0);
        EXPECT_EQ(SensorFlips(), mode & (kFlipH | kFlipV));
        EXPECT_EQ(plugged_->camera->PeekBridgeRegister(0x0B), (mode & kTrigger) != 0 ? 1 : 0);
        EXPECT_EQ(GetMode(Object()), static_cast<LONG>(mode));
    }
    // The other way round: the private items show in the mode.
    SetPrivate(CameraProperty::FlipV, 1);
    SetPrivate(CameraProperty::ExTrigger, 1);
    EXPECT_EQ(GetMode(Object()), static_cast<LONG>(kFlipV | kTrigger));
}

TEST_P(VideoControlOn, RefusedModesChangeNothing)
{
    ASSERT_EQ(SetMode(Object(), static_cast<LONG>(kFlipH | kTrigger)), STATUS_SUCCESS);
    // The programmatic trigger, the obsolete flags, unknown bits, a stream that is not there.
    for (LONG mode : {0x8, 0x10, 0x20, 0x40, 0x1 | 0x8, -1}) {
        EXPECT_EQ(SetMode(Object(), mode), STATUS_INVALID_PARAMETER) << mode;
    }
    EXPECT_EQ(SetMode(Object(), static_cast<LONG>(kFlipV), 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Private(CameraProperty::FlipH), 1);
    EXPECT_EQ(Private(CameraProperty::FlipV), 0);
    EXPECT_EQ(Private(CameraProperty::ExTrigger), 1);
    EXPECT_EQ(GetMode(Object()), static_cast<LONG>(kFlipH | kTrigger));
    // A request shorter than the record never reaches the driver.
    KSPROPERTY_VIDEOCONTROL_MODE_S record{};
    const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
    EXPECT_EQ(ksclient::PropertyRequest(Object(), PROPSETID_VIDCAP_VIDEOCONTROL,
                                        KSPROPERTY_VIDEOCONTROL_MODE, KSPROPERTY_TYPE_SET, tail,
                                        sizeof record - 4, &record, sizeof record)
                  .status,
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(GetMode(Object()), static_cast<LONG>(kFlipH | kTrigger));
}

TEST_P(VideoControlOn, ModeIsSavedUnderThePrivateRegistryValues)
{
    ASSERT_EQ(SetMode(Object(), static_cast<LONG>(kFlipV | kTrigger)), STATUS_SUCCESS);
    pin_.Close();
    filter_.Close();  // closing a filter saves the settings
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), L"FlipH"), 0u);
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), L"FlipV"), 1u);
    EXPECT_EQ(reg::ReadDword(plugged_->DriverKey(), L"ExTrigger"), 1u);
}

TEST_P(VideoControlOn, ActualFrameRateIsTheSensorsFrameTime)
{
    // Read-out limited (480 rows of exposure < 480 + 45 rows), then exposure limited.
    for (LONG exposure : {480, 2000}) {
        SCOPED_TRACE(exposure);
        SetPrivate(CameraProperty::Exposure, exposure);
        auto record = ActualRecord();
        auto result = ActualFrameRate(Object(), record);
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytesReturned, sizeof record);
        const auto frameTime = plugged_->camera->FrameTime().count();
        EXPECT_LE(std::llabs(record.CurrentActualFrameRate * 100 - frameTime), 100)
            << record.CurrentActualFrameRate;
        EXPECT_EQ(record.CurrentMaxAvailableFrameRate, FrameRateList(Object())[0]);
        EXPECT_EQ(record.StreamIndex, 0u);
        EXPECT_EQ(record.Dimensions.cx, 752);
        EXPECT_EQ(record.Dimensions.cy, 480);
    }
}

// A record that names no stream, range or size the pin delivers.
struct BadFrameRequestRow {
    const char* name;
    ULONG streamIndex;
    ULONG rangeIndex;
    LONG width;  // 0: the output width
    LONG height; // 0: the output height
};

const BadFrameRequestRow kBadFrameRequests[] = {
    {"Stream1", 1, 0, 0, 0},         {"RangeBeyondTheFive", 0, 5, 0, 0},
    {"RangeHuge", 0, 0xFFFFFFFF, 0, 0}, {"Narrower", 0, 0, 744, 0},
    {"Taller", 0, 0, 0, 481},        {"Negative", 0, 0, -752, -480},
};

TEST_P(VideoControlOn, RequestsForAnotherStreamRangeOrSizeAreRefused)
{
    for (const BadFrameRequestRow& row : kBadFrameRequests) {
        SCOPED_TRACE(row.name);
        const LONG width = row.width != 0 ? row.width : OutputWidth();
        const LONG height = row.height != 0 ? row.height : OutputHeight();
        std::vector<std::uint8_t> data;
        auto result = FrameRates(Object(), data, kFrameRatesSize, row.streamIndex, row.rangeIndex,
                                 width, height);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(data[0], 0xEE);
        auto record = ActualRecord(row.streamIndex, row.rangeIndex);
        record.Dimensions = {width, height};
        EXPECT_EQ(ActualFrameRate(Object(), record).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(record.CurrentActualFrameRate, -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, VideoControlOn, testing::Values(Target::Filter, Target::Pin),
                         [](const auto& item) { return TargetName(item.param); });

// The frame-rate list by data buffer size: the size query, too small, enough.
struct FrameRatesSizeRow {
    ULONG size;
    NTSTATUS status;
    ULONG bytesReturned;
};

std::ostream& operator<<(std::ostream& out, const FrameRatesSizeRow& row)
{
    return out << row.size << " bytes";
}

class VideoControlFrameRatesSize : public VideoControlTest,
                                   public testing::WithParamInterface<FrameRatesSizeRow> {};

TEST_P(VideoControlFrameRatesSize, AnswerFollowsTheBufferSize)
{
    ASSERT_NO_FATAL_FAILURE(OpenPin());
    const FrameRatesSizeRow& row = GetParam();
    std::vector<std::uint8_t> data;
    auto result = FrameRates(pin_.Get(), data, row.size, 0, 0, OutputWidth(), OutputHeight());
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.bytesReturned, row.bytesReturned);
    const ULONG written = NT_SUCCESS(row.status) ? row.bytesReturned : 0;
    for (ULONG i = written; i < row.size; ++i) {
        EXPECT_EQ(data[i], 0xEE) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, VideoControlFrameRatesSize,
    testing::Values(FrameRatesSizeRow{0, STATUS_BUFFER_OVERFLOW, kFrameRatesSize},
                    FrameRatesSizeRow{8, STATUS_BUFFER_TOO_SMALL, 0},
                    FrameRatesSizeRow{kFrameRatesSize - 1, STATUS_BUFFER_TOO_SMALL, 0},
                    FrameRatesSizeRow{kFrameRatesSize, STATUS_SUCCESS, kFrameRatesSize},
                    FrameRatesSizeRow{kFrameRatesSize + 9, STATUS_SUCCESS, kFrameRatesSize}),
    [](const auto& item) { return "Bytes" + std::to_string(item.param.size); });

// The list at a frame size is the sensor's frame time at each clock selection, fastest first.
struct GeometryRow {
    const char* name;
    ULONG subSample;
    LONG x, y, width, height;
};

std::ostream& operator<<(std::ostream& out, const GeometryRow& row)
{
    return out << row.name;
}

class VideoControlFrameRates : public VideoControlTest,
                               public testing::WithParamInterface<GeometryRow> {};

TEST_P(VideoControlFrameRates, AreTheSensorsFrameTimeAtEachClock)
{
    const GeometryRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(SetWindow(row.subSample, row.x, row.y, row.width, row.height));
    SetPrivate(CameraProperty::Exposure, 1);  // the read-out sets the pace
    // Asked on the filter: the clock changes only while there is no pin.
    std::vector<LONGLONG> intervals = FrameRateList(filter_.Get());
    for (LONG clock = 0; clock < 6; ++clock) {
        SCOPED_TRACE(clock);
        SetPrivate(CameraProperty::Clock, clock);  // reprograms the sensor
        const auto frameTime = plugged_->camera->FrameTime().count();
        EXPECT_LE(std::llabs(intervals[clock] * 100 - frameTime), 100) << intervals[clock];
        if (clock > 0) {
            EXPECT_GT(intervals[clock], intervals[clock - 1]);
        }
        // The list does not depend on the clock now selected.
        EXPECT_EQ(FrameRateList(filter_.Get()), intervals);
    }
    // Without a pin there is no stream whose actual rate could be told.
    auto record = ActualRecord();
    EXPECT_EQ(ActualFrameRate(filter_.Get(), record).status, STATUS_NOT_SUPPORTED);
}

INSTANTIATE_TEST_SUITE_P(Geometries, VideoControlFrameRates,
                         testing::Values(GeometryRow{"FullWindow", 0, 0, 0, 752, 480},
                                         GeometryRow{"SubSample1", 1, 0, 0, 752, 480},
                                         GeometryRow{"SubSample2", 2, 0, 0, 752, 480},
                                         GeometryRow{"Window100", 0, 10, 20, 100, 100}),
                         [](const auto& item) { return std::string(item.param.name); });

// The standard items changed while the pin runs: each lands in the setting the private item
// shows, and frames keep coming with new pictures.
struct LiveChangeRow {
    const char* name;
    const GUID* set;
    ULONG id;
    LONG value;
    ULONG flags;  // the video control mode item takes `value` as its mode
    ULONG privateId;
    LONG privateValue;
};

const LiveChangeRow kLiveChanges[] = {
    {"Brightness", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 400,
     KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, CameraProperty::Brightness, 400},
    {"Saturation", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, 3,
     KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, CameraProperty::Saturation, 3},
    {"GainManual", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 40,
     KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, CameraProperty::GlobalGain, 40},
    {"GainAuto", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 0,
     KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO, CameraProperty::AGC, 1},
    {"WhiteBalanceAuto", &PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0,
     KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO, CameraProperty::WhiteBalance, 1},
    {"Exposure", &PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, -7,
     KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL, CameraProperty::Exposure, 255},
    {"ExposureAuto", &PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, 0,
     KSPROPERTY_CAMERACONTROL_FLAGS_AUTO, CameraProperty::AEC, 1},
    {"FlipHorizontal", &PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE,
     static_cast<LONG>(kFlipH), 0, CameraProperty::FlipH, 1},
    {"FlipVertical", &PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE,
     static_cast<LONG>(kFlipV), 0, CameraProperty::FlipV, 1},
};

std::ostream& operator<<(std::ostream& out, const LiveChangeRow& row)
{
    return out << row.name;
}

class StandardPropertiesWhileStreaming : public VideoControlTest,
                                         public testing::WithParamInterface<LiveChangeRow> {
protected:
    // Reads a frame; its picture number.
    LONGLONG NextPicture()
    {
        std::vector<std::uint8_t> frame;
        KSSTREAM_HEADER header{};
        KS_FRAME_INFO info{};
        EXPECT_EQ(ReadFrame(frame, header, info), STATUS_SUCCESS);
        EXPECT_EQ(header.DataUsed, FrameBytes());
        return info.PictureNumber;
    }
};

TEST_P(StandardPropertiesWhileStreaming, ValuesLandAndFramesKeepComing)
{
    const LiveChangeRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    LONGLONG picture = NextPicture();
    ASSERT_NE(Private(row.privateId), row.privateValue);

    NTSTATUS status;
    if (row.id == KSPROPERTY_VIDEOCONTROL_MODE && IsEqualGUID(*row.set, PROPSETID_VIDCAP_VIDEOCONTROL)) {
        status = SetMode(pin_.Get(), row.value);
    } else {
        // The camera control record has the video processing record's layout.
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Value = row.value;
        record.Flags = row.flags;
        status = Request(filter_.Get(), row.id, KSPROPERTY_TYPE_SET, record, *row.set).status;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Private(row.privateId), row.privateValue);
    // A frame may repeat the last picture when the client is quicker than the camera; within
    // a bounded number of frames three new pictures come, never an older one.
    int newPictures = 0;
    for (int i = 0; i < 100 && newPictures < 3 && !HasFailure(); ++i) {
        LONGLONG next = NextPicture();
        EXPECT_GE(next, picture);
        newPictures += next > picture ? 1 : 0;
        picture = next;
    }
    EXPECT_EQ(newPictures, 3);
    EXPECT_EQ(Private(row.privateId), row.privateValue);
    KSSTATE state = KSSTATE_STOP;
    EXPECT_EQ(pin_.GetState(state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
}

INSTANTIATE_TEST_SUITE_P(Changes, StandardPropertiesWhileStreaming, testing::ValuesIn(kLiveChanges),
                         [](const auto& item) { return std::string(item.param.name); });

}  // namespace
}  // namespace cameratest
