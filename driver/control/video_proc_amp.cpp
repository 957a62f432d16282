// The standard video processing property set, mapped onto the camera's settings record.
//
// Every handler that touches the device holds the device lock for the whole request, as the
// private set's handlers do.
#include "control/video_proc_amp.h"

#include "device/capture_device.h"

namespace {

constexpr ULONG Manual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
constexpr ULONG ManualOrAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL |
                               KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;

const VideoProcAmpControl* FindControl(ULONG id)
{
    for (const VideoProcAmpControl& control : VideoProcAmpControls) {
        if (control.Id == id) {
            return &control;
        }
    }
    return nullptr;
}

bool IsWhiteBalanceItem(ULONG id)
{
    return id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE ||
           id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT;
}

// The value of a single-value item, read through the device's getters.
LONG ReadValue(CaptureDevice* device, ULONG id)
{
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: return device->GetBrightness();
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: return device->GetContrast();
    case KSPROPERTY_VIDEOPROCAMP_HUE: return device->GetHue();
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: return device->GetSaturation();
    // The private item stores any value; everything but 0 is colour.
    case KSPROPERTY_VIDEOPROCAMP_COLORENABLE: return device->GetColorEnable() != 0 ? 1 : 0;
    case KSPROPERTY_VIDEOPROCAMP_GAIN: return static_cast<LONG>(device->GetGlobalGain());
    // The white balance is not a colour temperature here: the item carries only its mode.
    default: return 0;
    }
}

// Applies a checked single value; false when the camera refused it.
bool WriteValue(CaptureDevice* device, ULONG id, LONG value)
{
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: device->SetBrightness(value); return true;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: device->SetContrast(value); return true;
    case KSPROPERTY_VIDEOPROCAMP_HUE: device->SetHue(value); return true;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: device->SetSaturation(value); return true;
    case KSPROPERTY_VIDEOPROCAMP_COLORENABLE:
        device->SetColorEnable(static_cast<ULONG>(value));
        return true;
    case KSPROPERTY_VIDEOPROCAMP_GAIN:
        return device->SetGlobalGain(static_cast<ULONG>(value)) != FALSE;
    default: return true;
    }
}

// Whether a set's Flags ask for automatic control; false with *valid cleared when the flags
// are not a mode the item offers.
bool RequestsAuto(ULONG flags, ULONG capabilities, bool* valid)
{
    *valid = true;
    if (flags == 0 || flags == KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) {
        return false;
    }
    if (flags == KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO &&
        (capabilities & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0) {
        return true;
    }
    *valid = false;
    return false;
}

}  // namespace

const VideoProcAmpControl VideoProcAmpControls[VideoProcAmpItemCount] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, {0, 510, 1, 255}, Manual},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, {0, 20, 1, 10}, Manual},
    {KSPROPERTY_VIDEOPROCAMP_HUE, {0, 359, 1, 0}, Manual},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, {0, 20, 1, 10}, Manual},
    {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, {0, 1, 1, 1}, Manual},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, {0, 0, 1, 0}, ManualOrAuto},
    {KSPROPERTY_VIDEOPROCAMP_GAIN,
     {static_cast<LONG>(GlobalGainMinimum), static_cast<LONG>(GlobalGainMaximum), 1,
      static_cast<LONG>(GlobalGainDefault)},
     ManualOrAuto},
    // Both components (red in Value1, blue in Value2) share the range and the default.
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, {1, 512, 1, 128}, ManualOrAuto},
};

NTSTATUS NTAPI VideoProcAmpGetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    const VideoProcAmpControl* control = request == nullptr ? nullptr : FindControl(request->Id);
    if (device == nullptr || control == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    DeviceLockGuard guard(&device->Lock);
    ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    if (IsWhiteBalanceItem(control->Id) && device->GetWhiteBalance() != 0) {
        flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
    }
    if (control->Id == KSPROPERTY_VIDEOPROCAMP_GAIN && device->GetAGC() != 0) {
        flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
    }
    if (control->Id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT) {
        auto* record = static_cast<KSPROPERTY_VIDEOPROCAMP_S2*>(data);
        record->Value1 = device->GetRedGain();
        record->Value2 = device->GetBlueGain();
        record->Flags = flags;
        record->Capabilities = control->Capabilities;
    } else {
        auto* record = static_cast<KSPROPERTY_VIDEOPROCAMP_S*>(data);
        record->Value = ReadValue(device, control->Id);
        record->Flags = flags;
        record->Capabilities = control->Capabilities;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI VideoProcAmpSetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    const VideoProcAmpControl* control = request == nullptr ? nullptr : FindControl(request->Id);
    if (device == nullptr || control == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    // Both record forms start alike; the second value exists only in the components' record.
    const auto* record = static_cast<const KSPROPERTY_VIDEOPROCAMP_S*>(data);
    const bool components = control->Id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT;
    bool valid = true;
    const bool automatic = RequestsAuto(record->Flags, control->Capabilities, &valid);
    if (!valid) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceLockGuard guard(&device->Lock);
    if (automatic) {
        // The white-balance items and the gain offer automatic control; their values are then
        // the automatic control's own and a set's values are not read.
        if (control->Id == KSPROPERTY_VIDEOPROCAMP_GAIN) {
            device->SetAGC(1);
            return device->Settings.AGC != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        }
        device->SetWhiteBalance(1);
        return STATUS_SUCCESS;
    }
    if (components) {
        const auto* pair = static_cast<const KSPROPERTY_VIDEOPROCAMP_S2*>(data);
        if (!IsInRange(control->Range, pair->Value1) || !IsInRange(control->Range, pair->Value2)) {
            return STATUS_INVALID_PARAMETER;
        }
        device->SetWhiteBalance(0);
        device->SetRedGain(pair->Value1);
        device->SetBlueGain(pair->Value2);
        return STATUS_SUCCESS;
    }
    if (!IsInRange(control->Range, record->Value)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (control->Id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE) {
        device->SetWhiteBalance(0);
        return STATUS_SUCCESS;
    }
    if (control->Id == KSPROPERTY_VIDEOPROCAMP_GAIN) {
        // A manual gain switches the sensor's automatic gain off before writing the value.
        device->SetAGC(0);
        if (device->Settings.AGC != 0) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    return WriteValue(device, control->Id, record->Value) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI VideoProcAmpSupportHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    const VideoProcAmpControl* control = request == nullptr ? nullptr : FindControl(request->Id);
    if (control == nullptr) {
        return STATUS_NOT_FOUND;
    }
    // Answers from the table alone, so it works even when the camera is gone.
    return AnswerRangeSupport(irp, data, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
                              control->Range);
}

#define VIDEO_PROC_AMP_ITEM(id, record)                                                            \
    {                                                                                              \
        (id), {VideoProcAmpGetHandler}, sizeof(KSPROPERTY), sizeof(record),                        \
            {VideoProcAmpSetHandler}, nullptr, 0, nullptr, VideoProcAmpSupportHandler, 0           \
    }

const KSPROPERTY_ITEM VideoProcAmpItems[VideoProcAmpItemCount] = {
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_GAIN, KSPROPERTY_VIDEOPROCAMP_S),
    VIDEO_PROC_AMP_ITEM(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
                        KSPROPERTY_VIDEOPROCAMP_S2),
};

#undef VIDEO_PROC_AMP_ITEM
