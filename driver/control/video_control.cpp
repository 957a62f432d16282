// The standard video control property set over the flip and trigger settings and the sensor's
// frame timing. Every handler that touches the device holds the device lock for the whole
// request, as the other property sets' handlers do.
#include "control/video_control.h"

#include "camera/row_time.h"
#include "control/property_ranges.h"
#include "device/capture_device.h"

static_assert(VideoControlFrameRateCount == ClockSelectionCount,
              "one frame interval per clock selection");

namespace {

constexpr ULONG FrameRatesAnswerSize =
    sizeof(KSMULTIPLE_ITEM) + VideoControlFrameRateCount * sizeof(LONGLONG);

// Whether a record's stream, range and size name what the capture pin delivers now; device
// lock held.
bool IsOfferedFrameSize(CaptureDevice* device, ULONG streamIndex, ULONG rangeIndex,
                        const SIZE& dimensions)
{
    if (streamIndex != VideoControlStreamIndex ||
        rangeIndex >= CurrentFormats(&device->Formats)->RangeCount) {
        return false;
    }
    // Every range of the pin is offered at the camera's one output size.
    return dimensions.cx >= 0 && dimensions.cy >= 0 &&
           static_cast<ULONG>(dimensions.cx) == device->Geometry.OutputWidth &&
           static_cast<ULONG>(dimensions.cy) == device->Geometry.OutputHeight;
}

NTSTATUS NTAPI GetCaps(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    if (irp == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* query = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_CAPS_S*>(request);
    if (query->StreamIndex != VideoControlStreamIndex) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* answer = static_cast<KSPROPERTY_VIDEOCONTROL_CAPS_S*>(data);
    answer->StreamIndex = VideoControlStreamIndex;
    answer->VideoControlCaps = VideoControlCaps;
    irp->IoStatus.Information = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetMode(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* query = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(request);
    if (query->StreamIndex != VideoControlStreamIndex) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG mode = 0;
    {
        DeviceLockGuard guard(&device->Lock);
        mode |= device->GetFlipH() != 0 ? KS_VideoControlFlag_FlipHorizontal : 0;
        mode |= device->GetFlipV() != 0 ? KS_VideoControlFlag_FlipVertical : 0;
        mode |= device->GetExTrigger() != 0 ? KS_VideoControlFlag_ExternalTriggerEnable : 0;
    }
    auto* answer = static_cast<KSPROPERTY_VIDEOCONTROL_MODE_S*>(data);
    answer->StreamIndex = VideoControlStreamIndex;
    answer->Mode = static_cast<LONG>(mode);
    irp->IoStatus.Information = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetMode(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* query = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(request);
    const auto* record = static_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(data);
    const ULONG mode = static_cast<ULONG>(record->Mode);
    if (query->StreamIndex != VideoControlStreamIndex || (mode & ~VideoControlCaps) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG flipH = (mode & KS_VideoControlFlag_FlipHorizontal) != 0 ? 1 : 0;
    const ULONG flipV = (mode & KS_VideoControlFlag_FlipVertical) != 0 ? 1 : 0;
    const ULONG trigger = (mode & KS_VideoControlFlag_ExternalTriggerEnable) != 0 ? 1 : 0;
    DeviceLockGuard guard(&device->Lock);
    device->SetFlips(flipH, flipV);
    // The trigger is reprogrammed only when it changes: flipping a running stream leaves the
    // trigger registers alone.
    if ((device->GetExTrigger() != 0 ? 1u : 0u) != trigger) {
        device->SetExTrigger(trigger);
    }
    const bool applied = device->Settings.FlipH == flipH && device->Settings.FlipV == flipV &&
                         (device->Settings.ExTrigger != 0 ? 1u : 0u) == trigger;
    return applied ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI GetFrameRates(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* query = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S*>(request);
    LONGLONG intervals[VideoControlFrameRateCount];
    {
        DeviceLockGuard guard(&device->Lock);
        if (!IsOfferedFrameSize(device, query->StreamIndex, query->RangeIndex,
                                query->Dimensions)) {
            return STATUS_INVALID_PARAMETER;
        }
        for (ULONG clock = 0; clock < VideoControlFrameRateCount; ++clock) {
            intervals[clock] = FrameIntervalFor(device->Geometry.FrameWidth,
                                                device->Geometry.FrameHeight, 0,
                                                static_cast<LONG>(clock));
        }
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length == 0) {
        irp->IoStatus.Information = FrameRatesAnswerSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length < FrameRatesAnswerSize) {
        irp->IoStatus.Information = FrameRatesAnswerSize;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (data == nullptr) {
        return STATUS_INVALID_USER_BUFFER;
    }
    KSMULTIPLE_ITEM header = {FrameRatesAnswerSize, VideoControlFrameRateCount};
    auto* bytes = static_cast<UCHAR*>(data);
    // The caller's buffer need not be 8-byte aligned: copied, not stored through a LONGLONG.
    RtlCopyMemory(bytes, &header, sizeof header);
    RtlCopyMemory(bytes + sizeof header, intervals, sizeof intervals);
    irp->IoStatus.Information = FrameRatesAnswerSize;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetActualFrameRate(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* query =
        reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S*>(request);
    const ULONG streamIndex = query->StreamIndex;
    const ULONG rangeIndex = query->RangeIndex;
    const SIZE dimensions = query->Dimensions;
    LONGLONG actual = 0;
    LONGLONG shortest = 0;
    {
        DeviceLockGuard guard(&device->Lock);
        if (!IsOfferedFrameSize(device, streamIndex, rangeIndex, dimensions)) {
            return STATUS_INVALID_PARAMETER;
        }
        // Asked on the filter, the rate is that of a stream: there must be a capture pin.
        if (KsGetPinFromIrp(irp) == nullptr && !device->PinExists()) {
            return STATUS_NOT_SUPPORTED;
        }
        const ULONG width = device->Geometry.FrameWidth;
        const ULONG height = device->Geometry.FrameHeight;
        // The exposure as the sensor has it (the automatic exposure's choice when that runs).
        actual = FrameIntervalFor(width, height, device->GetExposure(), device->Settings.Clock);
        shortest = FrameIntervalFor(width, height, 0, device->Settings.Clock);
    }
    auto* answer = static_cast<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S*>(data);
    answer->StreamIndex = streamIndex;
    answer->RangeIndex = rangeIndex;
    answer->Dimensions = dimensions;
    answer->CurrentActualFrameRate = actual;
    answer->CurrentMaxAvailableFrameRate = shortest;
    irp->IoStatus.Information = sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S);
    return STATUS_SUCCESS;
}

}  // namespace

// The framework refuses requests shorter than MinProperty and, but for the frame-rate list
// (which answers its own size queries), data buffers shorter than MinData.
const KSPROPERTY_ITEM VideoControlItems[VideoControlItemCount] = {
    {KSPROPERTY_VIDEOCONTROL_CAPS, {GetCaps}, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
     sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, {GetActualFrameRate},
     sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S),
     sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S), {nullptr}, nullptr, 0, nullptr, nullptr,
     0},
    {KSPROPERTY_VIDEOCONTROL_FRAME_RATES, {GetFrameRates},
     sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S), 0, {nullptr}, nullptr, 0, nullptr, nullptr,
     0},
    {KSPROPERTY_VIDEOCONTROL_MODE, {GetMode}, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
     sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), {SetMode}, nullptr, 0, nullptr, nullptr, 0},
};
