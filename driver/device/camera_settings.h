// The user-adjustable settings of one camera. Every field but BayerPhase is persisted under a
// registry value of the same name.
#pragma once

#include <wdm.h>

struct CameraSettings {
    ULONG ExTrigger;
    ULONG Timeout;
    ULONG Exposure;
    ULONG GlobalGain;
    ULONG FlipH;
    ULONG FlipV;
    ULONG ColorEnable;
    ULONG WhiteBalance;
    LONG RedGain;
    LONG GreenGain;
    LONG BlueGain;
    ULONG ColorCorrection;
    LONG Brightness;
    LONG Contrast;
    LONG Saturation;
    LONG Hue;
    ULONG SubSample;
    LONG RoiX;
    LONG RoiY;
    LONG RoiW;
    LONG RoiH;
    ULONG BayerPhase;  // derived from the window origin; not persisted
    LONG Clock;
    ULONG AGC;
    ULONG AEC;
};

// The values of a newly added device.
void ApplyDeviceDefaults(CameraSettings* settings, ULONG baseBayerPhase);

// Fixed limits reported to applications.
constexpr ULONG ExposureMinimum = 1;
constexpr ULONG ExposureMaximum = 32767;
constexpr ULONG ExposureDefault = 480;
constexpr ULONG GlobalGainMinimum = 0;
constexpr ULONG GlobalGainMaximum = 63;
constexpr ULONG GlobalGainDefault = 16;
constexpr ULONG LargestSubSample = 2;
constexpr ULONG SensorWidth = 752;
constexpr ULONG SensorHeight = 480;
