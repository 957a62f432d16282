// Region of interest, sub-sampling and the Bayer phase of the first raw pixel.
#include "camera/frame_geometry.h"

#include "device/capture_device.h"

namespace {

struct SubSampledSize {
    ULONG Width;
    ULONG Height;
};

// Raw frame sizes of the sub-sampling modes 1 to 3.
constexpr SubSampledSize SubSampledSizes[] = {{376, 240}, {188, 120}, {94, 60}};

}  // namespace

void SetRegionOfInterest(CaptureDevice* device, LONG x, LONG y, LONG width, LONG height,
                         ULONG subSample)
{
    if (device->PinExists()) {
        return;
    }
    // Modes without a fixed size of their own take the window as given, so it is checked too.
    if (subSample < 1 || subSample > 3) {
        if (x >= 720) {
            x = 0;
        }
        if (y >= 448) {
            y = 0;
        }
        if (x < 0) {
            x = 0;
        }
        if (y < 0) {
            y = 0;
        }
        if (width < 32) {
            width = 32;
        }
        if (height < 32) {
            height = 32;
        }
        // 0 <= x <= 719 and 0 <= y <= 447 here: the room left is positive and the window is
        // compared with it, never summed with its origin (a size near the largest LONG would
        // overflow the sum).
        LONG roomRight = static_cast<LONG>(SensorWidth) - x;
        LONG roomBelow = static_cast<LONG>(SensorHeight) - y;
        if (width > roomRight) {
            width = roomRight;
        }
        if (height > roomBelow) {
            height = roomBelow;
        }
    }
    CameraSettings& settings = device->Settings;
    FrameGeometry& geometry = device->Geometry;
    settings.SubSample = subSample;
    settings.RoiX = x;
    settings.RoiY = y;
    settings.RoiW = width;
    settings.RoiH = height;
    geometry.FrameWidth = static_cast<ULONG>(width);
    geometry.FrameHeight = static_cast<ULONG>(height);
    if (subSample >= 1 && subSample <= 3) {
        geometry.FrameWidth = SubSampledSizes[subSample - 1].Width;
        geometry.FrameHeight = SubSampledSizes[subSample - 1].Height;
        settings.RoiX = 0;
        settings.RoiY = 0;
        settings.RoiW = SensorWidth;
        settings.RoiH = SensorHeight;
    }
    geometry.OutputHeight = geometry.FrameHeight;
    geometry.OutputWidth = geometry.FrameWidth - geometry.FrameWidth % 8;
    // The raw Bayer range names the sample order of the new window.
    PublishVideoFormats(&device->Formats, geometry.OutputWidth, geometry.OutputHeight,
                        WindowBayerPhase(device), OfferedFrameRate);
}

bool RefreshVideoFormats(CaptureDevice* device)
{
    const FrameGeometry& geometry = device->Geometry;
    const OfferedFormats* set = CurrentFormats(&device->Formats);
    ULONG phase = WindowBayerPhase(device);
    if (set->Width != geometry.OutputWidth || set->Height != geometry.OutputHeight ||
        set->BayerPhase != phase) {
        PublishVideoFormats(&device->Formats, geometry.OutputWidth, geometry.OutputHeight, phase,
                            OfferedFrameRate);
        set = CurrentFormats(&device->Formats);
    }
    return set->Width == geometry.OutputWidth && set->Height == geometry.OutputHeight &&
           set->BayerPhase == phase;
}

ULONG WindowBayerPhase(const CaptureDevice* device)
{
    ULONG phase = device->BaseBayerPhase;
    if (device->Settings.RoiX & 1) {
        phase ^= 2;
    }
    if (device->Settings.RoiY & 1) {
        phase ^= 1;
    }
    return phase;
}

void UpdateBayerPhase(CaptureDevice* device)
{
    device->Settings.BayerPhase = WindowBayerPhase(device);
}
