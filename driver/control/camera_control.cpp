// The standard camera control property set: the exposure in log2 seconds over the sensor's
// exposure in rows. 32-bit arithmetic only: the bounds below keep every operand in range.
#include "control/camera_control.h"

#include "camera/row_time.h"
#include "device/capture_device.h"

static_assert(26666667ull << ExposureLog2Highest < 0x80000000ull,
              "2^n times the fastest pixel clock fits 32 bits");
static_assert(static_cast<unsigned long long>(RowClocksLimit) << -ExposureLog2Lowest <
                  0x80000000ull,
              "a row's clocks times 2^-n fits 32 bits");

namespace {

constexpr ULONG Both = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO | KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;

ULONG Distance(ULONG a, ULONG b)
{
    return a > b ? a - b : b - a;
}

// The row time of the camera as it is now; device lock held.
void CurrentRowTime(CaptureDevice* device, ULONG* rowClocks, ULONG* clockHz)
{
    *rowClocks = RowClocksFor(device->Geometry.FrameWidth);
    *clockHz = PixelClockOf(device->Settings.Clock);
}

}  // namespace

ULONG ExposureRowsFor(LONG log2Seconds, ULONG rowClocks, ULONG clockHz)
{
    if (rowClocks == 0 || rowClocks > RowClocksLimit || clockHz > PixelClockHz[0] ||
        log2Seconds < ExposureLog2Lowest || log2Seconds > ExposureLog2Highest) {
        return 0;
    }
    ULONG numerator = clockHz;
    ULONG denominator = rowClocks;
    if (log2Seconds >= 0) {
        numerator <<= log2Seconds;
    } else {
        denominator <<= -log2Seconds;
    }
    return (numerator + denominator / 2) / denominator;
}

PropertyRange ExposureRange(ULONG rowClocks, ULONG clockHz)
{
    PropertyRange range = {ExposureLog2Highest, ExposureLog2Lowest, 1, 0};
    for (LONG n = ExposureLog2Lowest; n <= ExposureLog2Highest; ++n) {
        ULONG rows = ExposureRowsFor(n, rowClocks, clockHz);
        if (rows >= ExposureMinimum && rows <= ExposureMaximum) {
            range.Minimum = n < range.Minimum ? n : range.Minimum;
            range.Maximum = n > range.Maximum ? n : range.Maximum;
        }
    }
    if (range.Minimum > range.Maximum) {
        // No row time of the camera gets here; a one-value range keeps the answer well formed.
        range.Minimum = range.Maximum = ExposureLog2Lowest;
    }
    range.Default = NearestExposureLog2(ExposureDefault, range, rowClocks, clockHz);
    return range;
}

LONG NearestExposureLog2(ULONG rows, const PropertyRange& range, ULONG rowClocks, ULONG clockHz)
{
    LONG best = range.Minimum;
    ULONG bestDistance = Distance(ExposureRowsFor(best, rowClocks, clockHz), rows);
    for (LONG n = range.Minimum + 1; n <= range.Maximum; ++n) {
        ULONG distance = Distance(ExposureRowsFor(n, rowClocks, clockHz), rows);
        if (distance < bestDistance) {
            best = n;
            bestDistance = distance;
        }
    }
    return best;
}

NTSTATUS NTAPI CameraControlGetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr ||
        request->Id != KSPROPERTY_CAMERACONTROL_EXPOSURE) {
        return STATUS_UNSUCCESSFUL;
    }
    DeviceLockGuard guard(&device->Lock);
    ULONG rowClocks = 0;
    ULONG clockHz = 0;
    CurrentRowTime(device, &rowClocks, &clockHz);
    PropertyRange range = ExposureRange(rowClocks, clockHz);
    auto* record = static_cast<KSPROPERTY_CAMERACONTROL_S*>(data);
    record->Flags = device->GetAEC() != 0 ? KSPROPERTY_CAMERACONTROL_FLAGS_AUTO
                                          : KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
    record->Value = NearestExposureLog2(device->GetExposure(), range, rowClocks, clockHz);
    record->Capabilities = Both;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CameraControlSetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr || data == nullptr ||
        request->Id != KSPROPERTY_CAMERACONTROL_EXPOSURE) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* record = static_cast<const KSPROPERTY_CAMERACONTROL_S*>(data);
    DeviceLockGuard guard(&device->Lock);
    if (record->Flags == KSPROPERTY_CAMERACONTROL_FLAGS_AUTO) {
        device->SetAEC(1);
        return STATUS_SUCCESS;
    }
    if (record->Flags != 0 && record->Flags != KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG rowClocks = 0;
    ULONG clockHz = 0;
    CurrentRowTime(device, &rowClocks, &clockHz);
    if (!IsInRange(ExposureRange(rowClocks, clockHz), record->Value)) {
        return STATUS_INVALID_PARAMETER;
    }
    device->SetAEC(0);
    return device->SetExposure(ExposureRowsFor(record->Value, rowClocks, clockHz))
               ? STATUS_SUCCESS
               : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI CameraControlSupportHandler(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    CaptureDevice* device = CaptureDeviceFromIrp(irp);
    if (device == nullptr || request == nullptr ||
        request->Id != KSPROPERTY_CAMERACONTROL_EXPOSURE) {
        return STATUS_UNSUCCESSFUL;
    }
    PropertyRange range;
    {
        DeviceLockGuard guard(&device->Lock);
        ULONG rowClocks = 0;
        ULONG clockHz = 0;
        CurrentRowTime(device, &rowClocks, &clockHz);
        range = ExposureRange(rowClocks, clockHz);
    }
    return AnswerRangeSupport(irp, data, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, range);
}

const KSPROPERTY_ITEM CameraControlItems[CameraControlItemCount] = {
    {KSPROPERTY_CAMERACONTROL_EXPOSURE, {CameraControlGetHandler}, sizeof(KSPROPERTY),
     sizeof(KSPROPERTY_CAMERACONTROL_S), {CameraControlSetHandler}, nullptr, 0, nullptr,
     CameraControlSupportHandler, 0},
};
