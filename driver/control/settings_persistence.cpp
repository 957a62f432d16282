// Loading and saving the camera settings in the device's driver registry key.
#include "control/settings_persistence.h"

#include "device/capture_device.h"

namespace {

constexpr ULONG ValueCount = 24;

// The persisted values, in the order they are written and read.
enum SettingIndex : ULONG {
    TimeoutValue,
    ExposureValue,
    GlobalGainValue,
    FlipHValue,
    FlipVValue,
    ColorEnableValue,
    WhiteBalanceValue,
    ColorCorrectionValue,
    BrightnessValue,
    ContrastValue,
    SaturationValue,
    HueValue,
    RedGainValue,
    GreenGainValue,
    BlueGainValue,
    AgcValue,
    AecValue,
    ClockValue,
    ExTriggerValue,
    SubSampleValue,
    RoiXValue,
    RoiYValue,
    RoiWValue,
    RoiHValue,
};

constexpr PCWSTR ValueNames[ValueCount] = {
    L"Timeout",    L"Exposure",   L"GlobalGain", L"FlipH",     L"FlipV",
    L"ColorEnable", L"WhiteBalance", L"ColorCorrection", L"Brightness", L"Contrast",
    L"Saturation", L"Hue",        L"RedGain",    L"GreenGain", L"BlueGain",
    L"AGC",        L"AEC",        L"Clock",      L"ExTrigger", L"SubSample",
    L"RoiX",       L"RoiY",       L"RoiW",       L"RoiH",
};

constexpr PCWSTR SettingsKeyName = L"Settings";
constexpr ULONG LongestKeyPath = 255;

// Opens the device's driver key and its "Settings" subkey; false (nothing open) on failure.
bool OpenSettingsKey(CaptureDevice* device, PHANDLE driverKey, PHANDLE settingsKey)
{
    *driverKey = nullptr;
    *settingsKey = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(device->Link.PhysicalDevice, PLUGPLAY_REGKEY_DRIVER,
                                              READ_CONTROL, driverKey);
    if (status != STATUS_SUCCESS || *driverKey == nullptr) {
        *driverKey = nullptr;
        return false;
    }
    status = CreateKeyPath(*driverKey, KEY_ALL_ACCESS, SettingsKeyName, settingsKey);
    if (!NT_SUCCESS(status) || *settingsKey == nullptr) {
        ZwClose(*driverKey);
        *driverKey = nullptr;
        *settingsKey = nullptr;
        return false;
    }
    return true;
}

ULONG AtMost(ULONG value, ULONG limit, ULONG replacement)
{
    return value > limit ? replacement : value;
}

}  // namespace

NTSTATUS CreateKey(HANDLE parent, ACCESS_MASK access, PCWSTR name, PHANDLE key)
{
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, nullptr);
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

NTSTATUS CreateKeyPath(HANDLE parent, ACCESS_MASK access, PCWSTR path, PHANDLE key)
{
    WCHAR copy[LongestKeyPath + 1];
    ULONG length = 0;
    while (path[length] != 0) {
        if (length == LongestKeyPath) {
            return STATUS_INVALID_PARAMETER;
        }
        copy[length] = path[length];
        ++length;
    }
    copy[length] = 0;
    for (ULONG i = 1; i < length; ++i) {
        if (copy[i] != L'\\') {
            continue;
        }
        copy[i] = 0;
        HANDLE prefix = nullptr;
        NTSTATUS status = CreateKey(parent, access, copy, &prefix);
        copy[i] = L'\\';
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ZwClose(prefix);
    }
    return CreateKey(parent, access, copy, key);
}

void QueryDwordValue(HANDLE key, PCWSTR name, ULONG* value)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    // The 12-byte header and room for 8 data bytes; longer values do not fit and count as
    // missing, as do values shorter than a DWORD.
    ULONG buffer[5] = {};
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                      sizeof buffer, &resultLength);
    auto* information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (NT_SUCCESS(status) && information->DataLength >= sizeof(ULONG)) {
        RtlCopyMemory(value, information->Data, sizeof(ULONG));
    }
}

void SetDwordValue(HANDLE key, PCWSTR name, ULONG value)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
}

BOOLEAN LoadSettings(CaptureDevice* device)
{
    HANDLE driverKey;
    HANDLE settingsKey;
    if (!OpenSettingsKey(device, &driverKey, &settingsKey)) {
        return FALSE;
    }
    ULONG values[ValueCount] = {
        3000, 1, 0, 0, 0, 1, 0, 1, 255, 10, 10, 0, 128, 128, 128, 0, 0,
        static_cast<ULONG>(device->GetClock()), 0, 0, 0, 0, 752, 480,
    };
    for (ULONG i = 0; i < ValueCount; ++i) {
        QueryDwordValue(settingsKey, ValueNames[i], &values[i]);
    }

    ULONG timeout = values[TimeoutValue];
    if (timeout >= 501 && timeout <= 9999) {
        device->SetTimeout(timeout);
    }
    device->SetClock(static_cast<LONG>(values[ClockValue]));
    device->SetExposure(values[ExposureValue]);
    device->SetGlobalGain(values[GlobalGainValue]);
    device->SetColorEnable(values[ColorEnableValue]);
    device->SetWhiteBalance(values[WhiteBalanceValue]);
    device->SetColorCorrection(values[ColorCorrectionValue]);
    device->SetBrightness(static_cast<LONG>(values[BrightnessValue]));
    device->SetContrast(static_cast<LONG>(values[ContrastValue]));
    device->SetSaturation(static_cast<LONG>(values[SaturationValue]));
    device->SetHue(static_cast<LONG>(values[HueValue]));
    device->SetRedGain(static_cast<LONG>(values[RedGainValue]));
    device->SetGreenGain(static_cast<LONG>(values[GreenGainValue]));
    device->SetBlueGain(static_cast<LONG>(values[BlueGainValue]));
    device->SetFlipH(values[FlipHValue]);
    device->SetFlipV(values[FlipVValue]);
    device->SetAGC(values[AgcValue]);
    device->SetAEC(values[AecValue]);
    SetRegionOfInterest(device, static_cast<LONG>(AtMost(values[RoiXValue], 751, 0)),
                        static_cast<LONG>(AtMost(values[RoiYValue], 479, 0)),
                        static_cast<LONG>(AtMost(values[RoiWValue], 752, 752)),
                        static_cast<LONG>(AtMost(values[RoiHValue], 480, 480)),
                        AtMost(values[SubSampleValue], 2, 0));
    device->SetExTrigger(values[ExTriggerValue] != 0 ? 1 : 0);

    ZwClose(settingsKey);
    ZwClose(driverKey);
    return TRUE;
}

BOOLEAN SaveSettings(CaptureDevice* device)
{
    HANDLE driverKey;
    HANDLE settingsKey;
    if (!OpenSettingsKey(device, &driverKey, &settingsKey)) {
        return FALSE;
    }
    const CameraSettings& settings = device->Settings;
    const ULONG values[ValueCount] = {
        settings.Timeout,
        settings.Exposure,
        settings.GlobalGain,
        settings.FlipH,
        settings.FlipV,
        settings.ColorEnable,
        settings.WhiteBalance,
        settings.ColorCorrection,
        static_cast<ULONG>(settings.Brightness),
        static_cast<ULONG>(settings.Contrast),
        static_cast<ULONG>(settings.Saturation),
        static_cast<ULONG>(settings.Hue),
        static_cast<ULONG>(settings.RedGain),
        static_cast<ULONG>(settings.GreenGain),
        static_cast<ULONG>(settings.BlueGain),
        settings.AGC,
        settings.AEC,
        static_cast<ULONG>(settings.Clock),
        settings.ExTrigger,
        settings.SubSample,
        static_cast<ULONG>(settings.RoiX),
        static_cast<ULONG>(settings.RoiY),
        static_cast<ULONG>(settings.RoiW),
        static_cast<ULONG>(settings.RoiH),
    };
    for (ULONG i = 0; i < ValueCount; ++i) {
        SetDwordValue(settingsKey, ValueNames[i], values[i]);
    }
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return TRUE;
}
