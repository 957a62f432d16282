// The private property set: its handlers, its item table and the filter's automation table.
//
// The framework calls the handlers one at a time per filter only, and any number of filters may
// be open on one camera: every handler that touches the device holds the device lock for the
// whole request. Settings, their processor mirror, the geometry and the selected data-store
// address then change one request at a time, a read-modify-write of a register is not split by
// another filter's request, and none of it overlaps the stream start (which holds the lock too).
#include "control/property_set.h"

#include "camera/command_channel.h"
#include "camera/frame_geometry.h"
#include "control/property_ranges.h"
#include "device/capture_device.h"

namespace {

bool IsSet(const KSIDENTIFIER* request)
{
    return request->Flags == KSPROPERTY_TYPE_SET;
}

// Item 58 and item 60 share the selected address; it lives with the command channel.
LONG SelectedAddress(CaptureDevice* device)
{
    return device->Channel.RegisterAddress;
}

// A get of one of the items of the shared handler.
void GetCameraProperty(CaptureDevice* device, ULONG id, CameraPropertyValue* record)
{
    LONG& value = record->Value;
    switch (id) {
    case CameraProperty::ExTrigger: value = device->GetExTrigger() != 0 ? 1 : 0; break;
    case CameraProperty::Timeout: value = static_cast<LONG>(device->GetTimeout()); break;
    case CameraProperty::Exposure: value = static_cast<LONG>(device->GetExposure()); break;
    case CameraProperty::ExposureMin: value = static_cast<LONG>(ExposureMinimum); break;
    case CameraProperty::ExposureMax: value = static_cast<LONG>(ExposureMaximum); break;
    case CameraProperty::ExposureDefault: value = static_cast<LONG>(::ExposureDefault); break;
    case CameraProperty::GlobalGain: value = static_cast<LONG>(device->GetGlobalGain()); break;
    case CameraProperty::GlobalGainMin: value = static_cast<LONG>(GlobalGainMinimum); break;
    case CameraProperty::GlobalGainMax: value = static_cast<LONG>(GlobalGainMaximum); break;
    case CameraProperty::GlobalGainDefault: value = static_cast<LONG>(::GlobalGainDefault); break;
    case CameraProperty::FlipH: value = static_cast<LONG>(device->GetFlipH()); break;
    case CameraProperty::FlipV: value = static_cast<LONG>(device->GetFlipV()); break;
    case CameraProperty::ColorEnable: value = static_cast<LONG>(device->GetColorEnable()); break;
    case CameraProperty::WhiteBalance: value = static_cast<LONG>(device->GetWhiteBalance()); break;
    case CameraProperty::RedGain: value = device->GetRedGain(); break;
    case CameraProperty::GreenGain: value = device->GetGreenGain(); break;
    case CameraProperty::BlueGain: value = device->GetBlueGain(); break;
    case CameraProperty::SubSampleMax: value = static_cast<LONG>(LargestSubSample); break;
    case CameraProperty::SubSample: value = static_cast<LONG>(device->GetSubSample()); break;
    case CameraProperty::SensorWidth: value = static_cast<LONG>(::SensorWidth); break;
    case CameraProperty::SensorHeight: value = static_cast<LONG>(::SensorHeight); break;
    case CameraProperty::RoiX: value = device->GetRoiX(); break;
    case CameraProperty::RoiY: value = device->GetRoiY(); break;
    case CameraProperty::RoiW: value = device->GetRoiW(); break;
    case CameraProperty::RoiH: value = device->GetRoiH(); break;
    // Pins are counted; the item reports whether any exists.
    case CameraProperty::PinOpen: value = device->PinExists() ? 1 : 0; break;
    case CameraProperty::Reserved46:
    case CameraProperty::Reserved50:
    case CameraProperty::Reserved51:
    case CameraProperty::Reserved52:
    case CameraProperty::Reserved53:
    case CameraProperty::Reserved54: value = 1; break;
    case CameraProperty::ColorCorrection:
        value = static_cast<LONG>(device->GetColorCorrection());
        break;
    case CameraProperty::Clock: value = device->GetClock(); break;
    case CameraProperty::AGC: value = static_cast<LONG>(device->GetAGC()); break;
    case CameraProperty::AEC: value = static_cast<LONG>(device->GetAEC()); break;
    case CameraProperty::RegisterRead: {
        ULONG registerValue = 0;
        ULONG reg = static_cast<ULONG>(SelectedAddress(device)) & 0xFF;
        value = ReadSensorRegister(device, reg, &registerValue)
                    ? static_cast<LONG>(registerValue & 0xFFFF)
                    : 0;
        break;
    }
    default: break;  // no get action
    }
}

// A set of one of the items of the shared handler.
void SetCameraProperty(CaptureDevice* device, ULONG id, const CameraPropertyValue* record)
{
    LONG value = record->Value;
    ULONG unsignedValue = static_cast<ULONG>(value);
    switch (id) {
    case CameraProperty::ExTrigger: device->SetExTrigger(value != 0 ? 1 : 0); break;
    case CameraProperty::Timeout:
        // Short waits would fail frames that are merely slow; anything up to 500 ms is ignored.
        if (unsignedValue > 500) {
            device->SetTimeout(unsignedValue);
        }
        break;
    case CameraProperty::Exposure: device->SetExposure(unsignedValue); break;
    case CameraProperty::GlobalGain: device->SetGlobalGain(unsignedValue); break;
    case CameraProperty::FlipH: device->SetFlipH(unsignedValue); break;
    case CameraProperty::FlipV: device->SetFlipV(unsignedValue); break;
    case CameraProperty::ColorEnable: device->SetColorEnable(unsignedValue); break;
    case CameraProperty::WhiteBalance: device->SetWhiteBalance(unsignedValue); break;
    case CameraProperty::RedGain: device->SetRedGain(value); break;
    case CameraProperty::GreenGain: device->SetGreenGain(value); break;
    case CameraProperty::BlueGain: device->SetBlueGain(value); break;
    case CameraProperty::ColorCorrection: device->SetColorCorrection(unsignedValue); break;
    case CameraProperty::Clock: device->SetClock(value); break;
    case CameraProperty::AGC: device->SetAGC(unsignedValue); break;
    case CameraProperty::AEC: device->SetAEC(unsignedValue); break;
    case CameraProperty::RegisterRead: SetRegisterAddress(device, value); break;
    default: break;  // Reserved47 and items without a set action: accepted, nothing changes
    }
}

// Brightness, contrast, saturation and hue: stored and clamped by the device's setter, which
// hands the value to the image processor.
template <void (CaptureDevice::*Set)(LONG), LONG (CaptureDevice::*Get)()>
NTSTATUS NTAPI ImageParameterPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    if (data == nullptr || request == nullptr || irp == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* record = static_cast<CameraPropertyValue*>(data);
    DeviceLockGuard guard(&device->Lock);
    if (IsSet(request)) {
        (device->*Set)(record->Value);
    } else {
        record->Value = (device->*Get)();
    }
    return STATUS_SUCCESS;
}

// A fixed limit or default; answers without the device, so it works even when the camera is gone.
template <LONG Constant>
NTSTATUS NTAPI ConstantPropertyHandler(PIRP, PKSIDENTIFIER, PVOID data)
{
    if (data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    static_cast<CameraPropertyValue*>(data)->Value = Constant;
    return STATUS_SUCCESS;
}

constexpr ULONG ValueSize = sizeof(CameraPropertyValue);
constexpr ULONG WindowSize = sizeof(CameraWindowRequest);
constexpr ULONG RawSize = sizeof(CameraRawRequest);

constexpr PFNKSHANDLER Shared = CameraPropertyHandler;

#define CAMERA_PROPERTY_ITEM(id, get, set, size)                                                   \
    {                                                                                              \
        (id), {(get)}, (size), (size), {(set)}, nullptr, 0, nullptr, nullptr, 0                    \
    }
#define VALUE_ITEM(id, get, set) CAMERA_PROPERTY_ITEM(CameraProperty::id, get, set, ValueSize)
#define CONSTANT_ITEM(id, constant) VALUE_ITEM(id, ConstantPropertyHandler<(constant)>, nullptr)
#define IMAGE_PARAMETER_ITEM(id)                                                                   \
    VALUE_ITEM(id, (ImageParameterPropertyHandler<&CaptureDevice::Set##id, &CaptureDevice::Get##id>), \
               (ImageParameterPropertyHandler<&CaptureDevice::Set##id, &CaptureDevice::Get##id>))

}  // namespace

NTSTATUS NTAPI CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* record = static_cast<CameraPropertyValue*>(data);
    DeviceLockGuard guard(&device->Lock);
    if (IsSet(request)) {
        SetCameraProperty(device, request->Id, record);
    } else {
        GetCameraProperty(device, request->Id, record);
    }
    // What the camera answered is not reported; an application reads the item back.
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WindowPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (IsSet(request)) {
        DeviceLockGuard guard(&device->Lock);
        const auto* window = static_cast<const CameraWindowRequest*>(data);
        // The same rule as the settings load: an unknown mode is the plain window.
        ULONG subSample = window->SubSample > LargestSubSample ? 0 : window->SubSample;
        // Ignored while a capture pin exists; the caller reads the region back to find out.
        SetRegionOfInterest(device, window->RoiX, window->RoiY, window->RoiW, window->RoiH,
                            subSample);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RegisterWritePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!IsSet(request)) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* record = static_cast<const CameraPropertyValue*>(data);
    ULONG reg = static_cast<ULONG>(record->Value) & 0xFF;
    ULONG value = static_cast<ULONG>(record->Value2) & 0xFFFF;
    DeviceLockGuard guard(&device->Lock);
    return WriteSensorRegister(device, reg, value) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI RawPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* raw = static_cast<CameraRawRequest*>(data);
    DeviceLockGuard guard(&device->Lock);
    switch (request->Id) {
    case CameraProperty::RawCommand:
        if (!IsSet(request)) {
            return STATUS_UNSUCCESSFUL;
        }
        // Whether the camera took the packet is not reported; no reply is read.
        WriteDataBlock(device, raw->Length, raw->Payload);
        return STATUS_SUCCESS;
    case CameraProperty::RawRead:
        if (IsSet(request)) {
            SetRegisterAddress(device, raw->Address);
        } else {
            // Byte 0 of the payload receives the byte; a failed exchange leaves the record.
            ReadDataByte(device, &raw->Payload[0]);
        }
        return STATUS_SUCCESS;
    default: return STATUS_UNSUCCESSFUL;
    }
}

// The statistics are counted under their own lock (capture/stream_statistics.h); no device
// lock is needed, so a read never waits for a stream start.
NTSTATUS NTAPI StatisticsPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    StreamCounts counts = device->Statistics.Read();
    ULONG value = 0;
    switch (request->Id) {
    case CameraProperty::FramesRead: value = counts.FramesRead; break;
    case CameraProperty::FramesConverted: value = counts.FramesConverted; break;
    case CameraProperty::FramesDelivered: value = counts.FramesDelivered; break;
    case CameraProperty::FramesRepeated: value = counts.FramesRepeated; break;
    case CameraProperty::FramesDropped: value = counts.FramesDropped; break;
    case CameraProperty::IncompleteFrames: value = counts.IncompleteFrames; break;
    case CameraProperty::TimedOutFrames: value = counts.TimedOutFrames; break;
    case CameraProperty::UsbErrors: value = counts.UsbErrors; break;
    case CameraProperty::LastConversionTime: value = counts.LastConversionMicroseconds; break;
    default: return STATUS_UNSUCCESSFUL;
    }
    static_cast<CameraPropertyValue*>(data)->Value = static_cast<LONG>(value);
    return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM CameraPropertyItems[CameraPropertyCount] = {
    VALUE_ITEM(ExTrigger, Shared, Shared),
    VALUE_ITEM(Timeout, Shared, Shared),
    VALUE_ITEM(Exposure, Shared, Shared),
    VALUE_ITEM(ExposureMin, Shared, nullptr),
    VALUE_ITEM(ExposureMax, Shared, nullptr),
    VALUE_ITEM(ExposureDefault, Shared, nullptr),
    VALUE_ITEM(GlobalGain, Shared, Shared),
    VALUE_ITEM(GlobalGainMin, Shared, nullptr),
    VALUE_ITEM(GlobalGainMax, Shared, nullptr),
    VALUE_ITEM(GlobalGainDefault, Shared, nullptr),
    VALUE_ITEM(FlipH, Shared, Shared),
    VALUE_ITEM(FlipV, Shared, Shared),
    VALUE_ITEM(ColorEnable, Shared, Shared),
    VALUE_ITEM(WhiteBalance, Shared, Shared),
    VALUE_ITEM(RedGain, Shared, Shared),
    VALUE_ITEM(GreenGain, Shared, Shared),
    VALUE_ITEM(BlueGain, Shared, Shared),
    CONSTANT_ITEM(ColorGainMin, 1),
    CONSTANT_ITEM(ColorGainMax, 512),
    CONSTANT_ITEM(ColorGainDefault, 128),
    IMAGE_PARAMETER_ITEM(Brightness),
    CONSTANT_ITEM(BrightnessMin, 0),
    CONSTANT_ITEM(BrightnessMax, 510),
    CONSTANT_ITEM(BrightnessDefault, 255),
    IMAGE_PARAMETER_ITEM(Contrast),
    CONSTANT_ITEM(ContrastMin, 0),
    CONSTANT_ITEM(ContrastMax, 20),
    CONSTANT_ITEM(ContrastDefault, 10),
    IMAGE_PARAMETER_ITEM(Saturation),
    CONSTANT_ITEM(SaturationMin, 0),
    CONSTANT_ITEM(SaturationMax, 20),
    CONSTANT_ITEM(SaturationDefault, 10),
    IMAGE_PARAMETER_ITEM(Hue),
    CONSTANT_ITEM(HueMin, 0),
    CONSTANT_ITEM(HueMax, 359),
    CONSTANT_ITEM(HueDefault, 0),
    VALUE_ITEM(SubSampleMax, Shared, nullptr),
    VALUE_ITEM(SubSample, Shared, nullptr),
    VALUE_ITEM(SensorWidth, Shared, nullptr),
    VALUE_ITEM(SensorHeight, Shared, nullptr),
    VALUE_ITEM(RoiX, Shared, nullptr),
    VALUE_ITEM(RoiY, Shared, nullptr),
    VALUE_ITEM(RoiW, Shared, nullptr),
    VALUE_ITEM(RoiH, Shared, nullptr),
    CAMERA_PROPERTY_ITEM(CameraProperty::Window, nullptr, WindowPropertyHandler, WindowSize),
    VALUE_ITEM(PinOpen, Shared, nullptr),
    VALUE_ITEM(Reserved46, Shared, nullptr),
    VALUE_ITEM(Reserved47, nullptr, Shared),
    VALUE_ITEM(ColorCorrection, Shared, Shared),
    VALUE_ITEM(Clock, Shared, Shared),
    VALUE_ITEM(Reserved50, Shared, nullptr),
    VALUE_ITEM(Reserved51, Shared, nullptr),
    VALUE_ITEM(Reserved52, Shared, nullptr),
    VALUE_ITEM(Reserved53, Shared, nullptr),
    VALUE_ITEM(Reserved54, Shared, nullptr),
    VALUE_ITEM(AGC, Shared, Shared),
    VALUE_ITEM(AEC, Shared, Shared),
    VALUE_ITEM(RegisterWrite, RegisterWritePropertyHandler, RegisterWritePropertyHandler),
    VALUE_ITEM(RegisterRead, Shared, Shared),
    CAMERA_PROPERTY_ITEM(CameraProperty::RawCommand, RawPropertyHandler, RawPropertyHandler,
                         RawSize),
    CAMERA_PROPERTY_ITEM(CameraProperty::RawRead, RawPropertyHandler, RawPropertyHandler, RawSize),
    VALUE_ITEM(FramesRead, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(FramesConverted, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(FramesDelivered, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(FramesRepeated, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(FramesDropped, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(IncompleteFrames, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(TimedOutFrames, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(UsbErrors, StatisticsPropertyHandler, nullptr),
    VALUE_ITEM(LastConversionTime, StatisticsPropertyHandler, nullptr),
};

#undef IMAGE_PARAMETER_ITEM
#undef CONSTANT_ITEM
#undef VALUE_ITEM
#undef CAMERA_PROPERTY_ITEM

const KSPROPERTY_SET CameraPropertySets[1] = {
    {&CameraPropertySet, CameraPropertyCount, CameraPropertyItems, 0, nullptr},
};
