#include "sim/sensor_registers.h"

#include <algorithm>

namespace sim {

namespace {

// Read-mode bits 1..0 select the column skip, bits 3..2 the row skip: 0 = every pair,
// 1 = every second pair, 2 = every fourth, 3 = every eighth.
int SkipFromCode(unsigned code)
{
    return 1 << (code & 3);
}

}  // namespace

int KeptPixels(int span, int skip)
{
    if (span <= 0) {
        return 0;
    }
    int period = 2 * skip;
    return (span / period) * 2 + std::min(span % period, 2);
}

int KeptOffset(int index, int skip)
{
    return (index / 2) * 2 * skip + index % 2;
}

int SensorWindow::OutputWidth() const
{
    return KeptPixels(width, columnSkip);
}

int SensorWindow::OutputHeight() const
{
    return KeptPixels(height, rowSkip);
}

SensorRegisters::SensorRegisters(std::uint16_t chipVersion) : chipVersion_(chipVersion)
{
    PowerOn();
}

void SensorRegisters::PowerOn()
{
    regs_.fill(0);
    regs_[sensor_reg::kChipVersion] = chipVersion_;
    regs_[sensor_reg::kColumnStart] = 0;
    regs_[sensor_reg::kRowStart] = kFirstActiveRow;
    regs_[sensor_reg::kWindowHeight] = kSensorHeight;
    regs_[sensor_reg::kWindowWidth] = kSensorWidth;
    regs_[sensor_reg::kHorizontalBlanking] = 94;
    regs_[sensor_reg::kVerticalBlanking] = 45;
    regs_[sensor_reg::kChipControl] = 0x0388;
    regs_[sensor_reg::kExposure] = kNominalExposure;
    regs_[sensor_reg::kReadMode] = 0x0300;
    regs_[sensor_reg::kGain] = kUnityGain;
    regs_[sensor_reg::kAutoControl] = 0x0003;
}

void SensorRegisters::Write(std::uint8_t reg, std::uint16_t value)
{
    switch (reg) {
    case sensor_reg::kChipVersion: return;
    case sensor_reg::kSoftReset:
        if ((value & 0x0001) != 0) {
            PowerOn();  // the reset bit clears itself
        } else {
            regs_[reg] = value;
        }
        return;
    default: regs_[reg] = value; return;
    }
}

SensorWindow SensorRegisters::Window() const
{
    SensorWindow window;
    window.columnStart = std::min<int>(regs_[sensor_reg::kColumnStart], kSensorWidth - 1);
    window.rowStart = std::min<int>(regs_[sensor_reg::kRowStart], kArrayRows - 1);
    window.width =
        std::clamp<int>(regs_[sensor_reg::kWindowWidth], 1, kSensorWidth - window.columnStart);
    window.height =
        std::clamp<int>(regs_[sensor_reg::kWindowHeight], 1, kArrayRows - window.rowStart);
    std::uint16_t mode = regs_[sensor_reg::kReadMode];
    window.columnSkip = SkipFromCode(mode & 0x3);
    window.rowSkip = SkipFromCode((mode >> 2) & 0x3);
    window.flipV = (mode & kReadModeFlipV) != 0;
    window.flipH = (mode & kReadModeFlipH) != 0;
    return window;
}

}  // namespace sim
