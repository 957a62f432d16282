// Programming the sensor and the bridge: initialisation by chip version, stream start, and the
// register-backed settings with their read-backs.
#include "camera/sensor_programming.h"

#include "camera/row_time.h"

#include "control/settings_persistence.h"
#include "device/capture_device.h"
#include "imaging/image_processor.h"

namespace {

struct RegisterWrite {
    UCHAR Register;
    USHORT Value;
};

// Initialisation values by chip version, written in this order.
constexpr RegisterWrite Sensor1313Table[] = {
    {0x07, 0x0388}, {0x0F, 0x0011}, {0x13, 0x2D32}, {0x31, 0x001F}, {0x32, 0x001A},
    {0x33, 0x0012}, {0xAF, 0x0000}, {0x2B, 0x0003}, {0x10, 0x0040}, {0x10, 0x0040},
    {0x20, 0x01D5}, {0x2B, 0x0000}, {0x48, 0x0000}, {0x70, 0x0004}, {0x73, 0x02F7},
    {0xAB, 0x0000}, {0xBF, 0x0014}, {0x15, 0x7F32}, {0x20, 0x01D1}, {0x1C, 0x0002},
    {0xC2, 0x0840}, {0x74, 0x0010},
};

constexpr RegisterWrite Sensor1324Table[] = {
    {0x07, 0x0388}, {0x1B, 0x0002}, {0x1C, 0x0002}, {0x31, 0x001F}, {0x32, 0x001A},
    {0x33, 0x0012}, {0xAF, 0x0000}, {0x72, 0x0010}, {0x0F, 0x0000},
};

// Sensor registers.
enum SensorRegister : ULONG {
    ChipVersionRegister = 0x00,
    ColumnStartRegister = 0x01,
    RowStartRegister = 0x02,
    WindowHeightRegister = 0x03,
    WindowWidthRegister = 0x04,
    HorizontalBlankingRegister = 0x05,
    VerticalBlankingRegister = 0x06,
    ChipControlRegister = 0x07,
    ExposureRegister = 0x0B,
    SoftResetRegister = 0x0C,
    ReadModeRegister = 0x0D,
    TriggerControlRegister = 0x20,
    AnalogGainRegister = 0x35,
    TriggerEnableRegister = 0x47,
    AutoControlRegister = 0xAF,
};

// Bridge registers.
enum BridgeRegister : ULONG {
    TransferSizeRegister = 0x00,  // four bytes, 0x00..0x03
    ExternalTriggerRegister = 0x0B,
    StreamResetRegister = 0x0E,
    ClockRegister = 0x0F,
};

constexpr ULONG FlipHBit = 0x20;
constexpr ULONG FlipVBit = 0x10;
constexpr ULONG AecBit = 0x01;
constexpr ULONG AgcBit = 0x02;

template <ULONG Count>
void WriteTable(CaptureDevice* device, const RegisterWrite (&table)[Count])
{
    for (const RegisterWrite& write : table) {
        WriteSensorRegister(device, write.Register, write.Value);
    }
}

void HandPhaseToProcessor(CaptureDevice* device)
{
    if (device->Processor != nullptr) {
        device->Processor->SetBayerPhase(static_cast<LONG>(device->Settings.BayerPhase));
    }
}

// Read-modify-write of the automatic-control register; true when the write succeeded.
bool UpdateAutoControl(CaptureDevice* device, ULONG bit, bool on)
{
    CommandChannelGuard guard(&device->Channel);
    ULONG value = 0;
    if (!ReadSensorRegister(device, AutoControlRegister, &value)) {
        return false;
    }
    value = on ? (value | bit) : (value & (0x000F & ~bit));
    return WriteSensorRegister(device, AutoControlRegister, value);
}

// Reads the automatic-control register into a cached flag; keeps it when the read fails.
ULONG ReadAutoControlFlag(CaptureDevice* device, ULONG bit, ULONG* cached)
{
    ULONG value = 0;
    if (ReadSensorRegister(device, AutoControlRegister, &value)) {
        *cached = (value & bit) != 0 ? 1 : 0;
    }
    return *cached;
}

// Read-modify-write of the flip bits of the read-mode register, for the flips asked for; on
// success the cached flags follow and the Bayer phase is recomputed.
void UpdateFlips(CaptureDevice* device, bool changeH, ULONG flipH, bool changeV, ULONG flipV)
{
    CommandChannelGuard guard(&device->Channel);
    ULONG value = 0;
    if (!ReadSensorRegister(device, ReadModeRegister, &value)) {
        return;
    }
    if (changeH) {
        value = flipH != 0 ? (value | FlipHBit) : (value & 0xFFDF);
    }
    if (changeV) {
        value = flipV != 0 ? (value | FlipVBit) : (value & 0xFFEF);
    }
    if (!WriteSensorRegister(device, ReadModeRegister, value)) {
        return;
    }
    if (changeH) {
        device->Settings.FlipH = flipH != 0 ? 1 : 0;
    }
    if (changeV) {
        device->Settings.FlipV = flipV != 0 ? 1 : 0;
    }
    UpdateBayerPhase(device);
    HandPhaseToProcessor(device);
}

ULONG ReadFlipFlag(CaptureDevice* device, ULONG bit, ULONG* cached)
{
    ULONG value = 0;
    if (ReadSensorRegister(device, ReadModeRegister, &value)) {
        *cached = (value & bit) != 0 ? 1 : 0;
    }
    return *cached;
}

}  // namespace

BOOLEAN InitializeCamera(CaptureDevice* device)
{
    SendCommand(device, DeviceInitializeOpcode, 0);
    InitializeSensor(device);
    LoadSettings(device);
    return TRUE;
}

BOOLEAN InitializeSensor(CaptureDevice* device)
{
    CommandChannelGuard guard(&device->Channel);
    WriteSensorRegister(device, SoftResetRegister, 1);
    ULONG version = device->ChipVersion;
    if (ReadSensorRegister(device, ChipVersionRegister, &version)) {
        device->ChipVersion = version;
    }
    if (device->ChipVersion == 0x1313) {
        WriteTable(device, Sensor1313Table);
    } else if (device->ChipVersion == 0x1324) {
        WriteTable(device, Sensor1324Table);
    }
    return TRUE;
}

void PrepareStream(CaptureDevice* device)
{
    SendCommand(device, StreamPrepareOpcode, 0x01);
    WriteBridgeRegister(device, StreamResetRegister, 0);
}

void CaptureDevice::StartSensor()
{
    CommandChannelGuard guard(&Channel);
    ULONG readMode = 0;
    ReadSensorRegister(this, ReadModeRegister, &readMode);
    readMode &= 0xFFF0;
    if (Settings.SubSample == 1) {
        readMode |= 0x5;
    } else if (Settings.SubSample == 2) {
        readMode |= 0xA;
    }
    WriteSensorRegister(this, ReadModeRegister, readMode);
    WriteSensorRegister(this, HorizontalBlankingRegister, HorizontalBlankingFor(Geometry.FrameWidth));
    WriteSensorRegister(this, VerticalBlankingRegister, VerticalBlankingRows);

    // Stored only when they change: a clock change or a camera reprogrammed after a port reset
    // runs this while the stream's conversions read them (with the same values).
    ULONG transferSize = (Geometry.FrameWidth * Geometry.FrameHeight + 2047) & ~2047u;
    if (Geometry.RawOffset != 0) {
        Geometry.RawOffset = 0;
    }
    if (Geometry.RawPitch != Geometry.FrameWidth) {
        Geometry.RawPitch = Geometry.FrameWidth;
    }
    if (Geometry.TransferSize != transferSize) {
        Geometry.TransferSize = transferSize;
    }

    WriteSensorRegister(this, ColumnStartRegister, static_cast<ULONG>(Settings.RoiX));
    ULONG rowStart = static_cast<ULONG>(Settings.RoiY) + (Settings.SubSample == 1 ? 2 : 4);
    WriteSensorRegister(this, RowStartRegister, rowStart);
    WriteSensorRegister(this, WindowHeightRegister, static_cast<ULONG>(Settings.RoiH));
    WriteSensorRegister(this, WindowWidthRegister, static_cast<ULONG>(Settings.RoiW));
    for (ULONG i = 0; i < 4; ++i) {
        WriteBridgeRegister(this, TransferSizeRegister + i, (Geometry.TransferSize >> (8 * i)) & 0xFF);
    }
    PrepareStream(this);
    ApplyExTrigger(Settings.ExTrigger != 0);
    SetExposure(Settings.Exposure);
    SetGlobalGain(Settings.GlobalGain);
    SetAGC(Settings.AGC);
    SetAEC(Settings.AEC);
    SetFlips(Settings.FlipH, Settings.FlipV);
    UpdateBayerPhase(this);
}

void CaptureDevice::SetFlips(ULONG flipH, ULONG flipV)
{
    UpdateFlips(this, true, flipH, true, flipV);
}

void CaptureDevice::SetFlipH(ULONG value)
{
    UpdateFlips(this, true, value, false, 0);
}

void CaptureDevice::SetFlipV(ULONG value)
{
    UpdateFlips(this, false, 0, true, value);
}

ULONG CaptureDevice::GetFlipH()
{
    return ReadFlipFlag(this, FlipHBit, &Settings.FlipH);
}

ULONG CaptureDevice::GetFlipV()
{
    return ReadFlipFlag(this, FlipVBit, &Settings.FlipV);
}

void CaptureDevice::SetAGC(ULONG value)
{
    CommandChannelGuard guard(&Channel);
    if (UpdateAutoControl(this, AgcBit, value != 0)) {
        Settings.AGC = value;
    }
    if (Settings.AGC == 0) {
        ReadBackGlobalGain();
    }
}

void CaptureDevice::SetAEC(ULONG value)
{
    CommandChannelGuard guard(&Channel);
    if (UpdateAutoControl(this, AecBit, value != 0)) {
        Settings.AEC = value;
    }
    if (Settings.AEC == 0) {
        ReadBackExposure();
    }
}

ULONG CaptureDevice::GetAGC()
{
    return ReadAutoControlFlag(this, AgcBit, &Settings.AGC);
}

ULONG CaptureDevice::GetAEC()
{
    return ReadAutoControlFlag(this, AecBit, &Settings.AEC);
}

BOOLEAN CaptureDevice::SetGlobalGain(ULONG value)
{
    ULONG gain = value > GlobalGainMaximum ? GlobalGainMaximum : value;
    if (!WriteSensorRegister(this, AnalogGainRegister, gain + 16)) {
        return FALSE;
    }
    Settings.GlobalGain = gain;
    return TRUE;
}

ULONG CaptureDevice::ReadBackGlobalGain()
{
    ULONG value = Settings.GlobalGain;
    if (ReadSensorRegister(this, AnalogGainRegister, &value)) {
        Settings.GlobalGain = value >= 16 ? value - 16 : value;
    }
    return Settings.GlobalGain;
}

ULONG CaptureDevice::GetGlobalGain()
{
    return ReadBackGlobalGain();
}

BOOLEAN CaptureDevice::SetExposure(ULONG value)
{
    ULONG exposure = value == 0 ? 1 : (value > ExposureMaximum ? ExposureMaximum : value);
    if (!WriteSensorRegister(this, ExposureRegister, exposure)) {
        return FALSE;
    }
    Settings.Exposure = exposure;
    return TRUE;
}

ULONG CaptureDevice::ReadBackExposure()
{
    ULONG value = Settings.Exposure;
    if (ReadSensorRegister(this, ExposureRegister, &value)) {
        Settings.Exposure = value & 0x7FFF;
    }
    return Settings.Exposure;
}

ULONG CaptureDevice::GetExposure()
{
    return ReadBackExposure();
}

BOOLEAN CaptureDevice::ApplyExTrigger(bool on)
{
    CommandChannelGuard guard(&Channel);
    if (!WriteBridgeRegister(this, ExternalTriggerRegister, on ? 1 : 0)) {
        return FALSE;
    }
    ULONG control = 0;
    ULONG autoControl = 0;
    ULONG enable = 0;
    if (!ReadSensorRegister(this, TriggerControlRegister, &control) ||
        !ReadSensorRegister(this, AutoControlRegister, &autoControl) ||
        !ReadSensorRegister(this, TriggerEnableRegister, &enable)) {
        return FALSE;
    }
    control = on ? (control | 0x0204) : (control & 0xFDFB);
    enable = on ? (enable | 0x0001) : (enable & 0xFFFE);
    if (!WriteSensorRegister(this, ChipControlRegister, on ? 0x0398 : 0x0388)) {
        return FALSE;
    }
    WriteSensorRegister(this, TriggerControlRegister, control);
    WriteSensorRegister(this, AutoControlRegister, autoControl);
    WriteSensorRegister(this, TriggerEnableRegister, enable);
    Settings.ExTrigger = on ? 1 : 0;
    return TRUE;
}

void CaptureDevice::SetExTrigger(ULONG value)
{
    ApplyExTrigger(value != 0);
}

ULONG CaptureDevice::GetExTrigger()
{
    return Settings.ExTrigger;
}

void CaptureDevice::SetClock(LONG value)
{
    // A new clock restarts the sensor and rewrites the transfer size: not under a pin, whose
    // stream reads frames of the size it was started with.
    if (PinExists()) {
        return;
    }
    LONG clock = value < 0 || value > 5 ? 0 : value;
    CommandChannelGuard guard(&Channel);
    if (!WriteBridgeRegister(this, ClockRegister, static_cast<ULONG>(clock))) {
        return;
    }
    InitializeSensor(this);
    StartSensor();
    Settings.Clock = clock;
}

LONG CaptureDevice::GetClock()
{
    ULONG value = 0;
    if (ReadBridgeRegister(this, ClockRegister, &value)) {
        Settings.Clock = static_cast<LONG>(value);
    }
    return Settings.Clock;
}
