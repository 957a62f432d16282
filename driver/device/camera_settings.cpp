// The settings record: device defaults, and the setters and getters of the processor-side
// settings, the frame time-out and the region.
#include "device/camera_settings.h"

#include "device/capture_device.h"
#include "imaging/image_processor.h"
#include "usb/frame_timeout.h"

namespace {

LONG Clamp(LONG value, LONG low, LONG high)
{
    return value < low ? low : (value > high ? high : value);
}

}  // namespace

void ApplyDeviceDefaults(CameraSettings* settings, ULONG baseBayerPhase)
{
    settings->ExTrigger = 0;
    settings->Timeout = 3000;
    settings->Exposure = 0;
    settings->GlobalGain = 0;
    settings->FlipH = 0;
    settings->FlipV = 0;
    settings->ColorEnable = 1;
    settings->WhiteBalance = 0;
    settings->RedGain = 128;
    settings->GreenGain = 128;
    settings->BlueGain = 128;
    settings->ColorCorrection = 1;
    settings->Brightness = 255;
    settings->Contrast = 10;
    settings->Saturation = 10;
    settings->Hue = 0;
    settings->SubSample = 0;
    settings->RoiX = 0;
    settings->RoiY = 0;
    settings->RoiW = SensorWidth;
    settings->RoiH = SensorHeight;
    settings->BayerPhase = baseBayerPhase;
    settings->Clock = 0;
    settings->AGC = 0;
    settings->AEC = 0;
}

void CaptureDevice::SetTimeout(ULONG value)
{
    Settings.Timeout = value;
    InterlockedExchange(&FrameTimeout, static_cast<LONG>(value));
}

ULONG CaptureDevice::GetTimeout()
{
    return Settings.Timeout;
}

void CaptureDevice::SetColorEnable(ULONG value)
{
    Settings.ColorEnable = value;
    if (Processor != nullptr) {
        Processor->SetColorEnable(static_cast<LONG>(value));
    }
}

ULONG CaptureDevice::GetColorEnable()
{
    if (Processor != nullptr) {
        Settings.ColorEnable = static_cast<ULONG>(Processor->GetColorEnable());
    }
    return Settings.ColorEnable;
}

void CaptureDevice::SetWhiteBalance(ULONG value)
{
    Settings.WhiteBalance = value;
    if (Processor != nullptr) {
        Processor->SetWhiteBalance(static_cast<LONG>(value));
        if (value == 0) {
            // Back to manual gains: keep the ones the automatic balance arrived at.
            Settings.RedGain = Processor->GetRedGain();
            Settings.GreenGain = Processor->GetGreenGain();
            Settings.BlueGain = Processor->GetBlueGain();
        }
    }
}

ULONG CaptureDevice::GetWhiteBalance()
{
    if (Processor != nullptr) {
        Settings.WhiteBalance = static_cast<ULONG>(Processor->GetWhiteBalance());
    }
    return Settings.WhiteBalance;
}

void CaptureDevice::SetRedGain(LONG value)
{
    Settings.RedGain = Clamp(value, 1, 512);
    if (Processor != nullptr) {
        Processor->SetRedGain(Settings.RedGain);
    }
}

LONG CaptureDevice::GetRedGain()
{
    if (Processor != nullptr) {
        Settings.RedGain = Processor->GetRedGain();
    }
    return Settings.RedGain;
}

void CaptureDevice::SetGreenGain(LONG value)
{
    Settings.GreenGain = Clamp(value, 1, 512);
    if (Processor != nullptr) {
        Processor->SetGreenGain(Settings.GreenGain);
    }
}

LONG CaptureDevice::GetGreenGain()
{
    if (Processor != nullptr) {
        Settings.GreenGain = Processor->GetGreenGain();
    }
    return Settings.GreenGain;
}

void CaptureDevice::SetBlueGain(LONG value)
{
    Settings.BlueGain = Clamp(value, 1, 512);
    if (Processor != nullptr) {
        Processor->SetBlueGain(Settings.BlueGain);
    }
}

LONG CaptureDevice::GetBlueGain()
{
    if (Processor != nullptr) {
        Settings.BlueGain = Processor->GetBlueGain();
    }
    return Settings.BlueGain;
}

void CaptureDevice::SetColorCorrection(ULONG value)
{
    Settings.ColorCorrection = value;
    if (Processor != nullptr) {
        Processor->SetColorCorrection(static_cast<LONG>(value));
    }
}

ULONG CaptureDevice::GetColorCorrection()
{
    if (Processor != nullptr) {
        Settings.ColorCorrection = static_cast<ULONG>(Processor->GetColorCorrection());
    }
    return Settings.ColorCorrection;
}

void CaptureDevice::SetBrightness(LONG value)
{
    Settings.Brightness = Clamp(value, 0, 510);
    if (Processor != nullptr) {
        Processor->SetBrightness(Settings.Brightness);
    }
}

LONG CaptureDevice::GetBrightness()
{
    if (Processor != nullptr) {
        Settings.Brightness = Processor->GetBrightness();
    }
    return Settings.Brightness;
}

void CaptureDevice::SetContrast(LONG value)
{
    Settings.Contrast = Clamp(value, 0, 20);
    if (Processor != nullptr) {
        Processor->SetContrast(Settings.Contrast);
    }
}

LONG CaptureDevice::GetContrast()
{
    if (Processor != nullptr) {
        Settings.Contrast = Processor->GetContrast();
    }
    return Settings.Contrast;
}

void CaptureDevice::SetSaturation(LONG value)
{
    Settings.Saturation = Clamp(value, 0, 20);
    if (Processor != nullptr) {
        Processor->SetSaturation(Settings.Saturation);
    }
}

LONG CaptureDevice::GetSaturation()
{
    if (Processor != nullptr) {
        Settings.Saturation = Processor->GetSaturation();
    }
    return Settings.Saturation;
}

void CaptureDevice::SetHue(LONG value)
{
    Settings.Hue = Clamp(value, 0, 359);
    if (Processor != nullptr) {
        Processor->SetHue(Settings.Hue);
    }
}

LONG CaptureDevice::GetHue()
{
    if (Processor != nullptr) {
        Settings.Hue = Processor->GetHue();
    }
    return Settings.Hue;
}

ULONG CaptureDevice::GetSubSample()
{
    return Settings.SubSample;
}

LONG CaptureDevice::GetRoiX()
{
    return Settings.RoiX;
}

LONG CaptureDevice::GetRoiY()
{
    return Settings.RoiY;
}

LONG CaptureDevice::GetRoiW()
{
    return Settings.RoiW;
}

LONG CaptureDevice::GetRoiH()
{
    return Settings.RoiH;
}
