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

// Stores a processor-side setting and hands it to the processor's setter, when there is one.
template <typename Field>
void Mirror(ImageProcessor* processor, Field& field, LONG value,
            void (ImageProcessor::*setter)(LONG))
{
    field = static_cast<Field>(value);
    if (processor != nullptr) {
        (processor->*setter)(value);
    }
}

// The processor's current value of a setting (the automatic white balance changes the gains
// inside it), kept in the record too; the record's value when there is no processor.
template <typename Field>
Field Refresh(ImageProcessor* processor, Field& field, LONG (ImageProcessor::*getter)())
{
    if (processor != nullptr) {
        field = static_cast<Field>((processor->*getter)());
    }
    return field;
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
    Mirror(Processor, Settings.ColorEnable, static_cast<LONG>(value),
           &ImageProcessor::SetColorEnable);
}

ULONG CaptureDevice::GetColorEnable()
{
    return Refresh(Processor, Settings.ColorEnable, &ImageProcessor::GetColorEnable);
}

void CaptureDevice::SetWhiteBalance(ULONG value)
{
    Mirror(Processor, Settings.WhiteBalance, static_cast<LONG>(value),
           &ImageProcessor::SetWhiteBalance);
    if (Processor != nullptr && value == 0) {
        // Back to manual gains: keep the ones the automatic balance arrived at.
        Settings.RedGain = Processor->GetRedGain();
        Settings.GreenGain = Processor->GetGreenGain();
        Settings.BlueGain = Processor->GetBlueGain();
    }
}

ULONG CaptureDevice::GetWhiteBalance()
{
    return Refresh(Processor, Settings.WhiteBalance, &ImageProcessor::GetWhiteBalance);
}

void CaptureDevice::SetRedGain(LONG value)
{
    Mirror(Processor, Settings.RedGain, Clamp(value, 1, 512), &ImageProcessor::SetRedGain);
}

LONG CaptureDevice::GetRedGain()
{
    return Refresh(Processor, Settings.RedGain, &ImageProcessor::GetRedGain);
}

void CaptureDevice::SetGreenGain(LONG value)
{
    Mirror(Processor, Settings.GreenGain, Clamp(value, 1, 512), &ImageProcessor::SetGreenGain);
}

LONG CaptureDevice::GetGreenGain()
{
    return Refresh(Processor, Settings.GreenGain, &ImageProcessor::GetGreenGain);
}

void CaptureDevice::SetBlueGain(LONG value)
{
    Mirror(Processor, Settings.BlueGain, Clamp(value, 1, 512), &ImageProcessor::SetBlueGain);
}

LONG CaptureDevice::GetBlueGain()
{
    return Refresh(Processor, Settings.BlueGain, &ImageProcessor::GetBlueGain);
}

void CaptureDevice::SetColorCorrection(ULONG value)
{
    Mirror(Processor, Settings.ColorCorrection, static_cast<LONG>(value),
           &ImageProcessor::SetColorCorrection);
}

ULONG CaptureDevice::GetColorCorrection()
{
    return Refresh(Processor, Settings.ColorCorrection, &ImageProcessor::GetColorCorrection);
}

void CaptureDevice::SetBrightness(LONG value)
{
    Mirror(Processor, Settings.Brightness, Clamp(value, 0, 510), &ImageProcessor::SetBrightness);
}

LONG CaptureDevice::GetBrightness()
{
    return Refresh(Processor, Settings.Brightness, &ImageProcessor::GetBrightness);
}

void CaptureDevice::SetContrast(LONG value)
{
    Mirror(Processor, Settings.Contrast, Clamp(value, 0, 20), &ImageProcessor::SetContrast);
}

LONG CaptureDevice::GetContrast()
{
    return Refresh(Processor, Settings.Contrast, &ImageProcessor::GetContrast);
}

void CaptureDevice::SetSaturation(LONG value)
{
    Mirror(Processor, Settings.Saturation, Clamp(value, 0, 20), &ImageProcessor::SetSaturation);
}

LONG CaptureDevice::GetSaturation()
{
    return Refresh(Processor, Settings.Saturation, &ImageProcessor::GetSaturation);
}

void CaptureDevice::SetHue(LONG value)
{
    Mirror(Processor, Settings.Hue, Clamp(value, 0, 359), &ImageProcessor::SetHue);
}

LONG CaptureDevice::GetHue()
{
    return Refresh(Processor, Settings.Hue, &ImageProcessor::GetHue);
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
