// The image sensor's register file: 8-bit register numbers, 16-bit values, power-on values,
// a read-only chip version and a self-clearing soft reset. Accessors decode the fields the
// frame builder and the timing need.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

namespace sensor_reg {
constexpr std::uint8_t kChipVersion = 0x00;  // read only
constexpr std::uint8_t kColumnStart = 0x01;
constexpr std::uint8_t kRowStart = 0x02;
constexpr std::uint8_t kWindowHeight = 0x03;
constexpr std::uint8_t kWindowWidth = 0x04;
constexpr std::uint8_t kHorizontalBlanking = 0x05;
constexpr std::uint8_t kVerticalBlanking = 0x06;
constexpr std::uint8_t kChipControl = 0x07;  // bit 4: snapshot (triggered) mode
constexpr std::uint8_t kExposure = 0x0B;     // integration time in rows
constexpr std::uint8_t kSoftReset = 0x0C;    // writing bit 0 restores power-on values
constexpr std::uint8_t kReadMode = 0x0D;     // sub-sampling and flips
constexpr std::uint8_t kGain = 0x35;         // analogue gain, 32 = unity
constexpr std::uint8_t kAutoControl = 0xAF;  // bit 0 AEC, bit 1 AGC
}  // namespace sensor_reg

constexpr std::uint16_t kDefaultChipVersion = 0x1313;

// Pixel array: 752 columns; 480 active rows framed by 4 border rows above and below, so the
// active image starts at row 4.
constexpr int kSensorWidth = 752;
constexpr int kSensorHeight = 480;
constexpr int kArrayRows = kSensorHeight + 8;
constexpr int kFirstActiveRow = 4;

constexpr std::uint16_t kChipControlSnapshot = 0x0010;
constexpr std::uint16_t kReadModeFlipV = 0x0010;
constexpr std::uint16_t kReadModeFlipH = 0x0020;
constexpr std::uint16_t kUnityGain = 32;
constexpr std::uint16_t kNominalExposure = 480;

// The window and read-out mode as the sensor applies them (clamped to the array).
struct SensorWindow {
    int columnStart = 0;
    int rowStart = kFirstActiveRow;
    int width = kSensorWidth;
    int height = kSensorHeight;
    int columnSkip = 1;  // 1, 2, 4 or 8: keeps one pair of columns out of every `skip` pairs
    int rowSkip = 1;
    bool flipH = false;
    bool flipV = false;

    bool operator==(const SensorWindow&) const = default;

    // Size of the frame the window reads out.
    int OutputWidth() const;
    int OutputHeight() const;
};

// Pixels kept from `span` array pixels when one pair out of every `skip` pairs is read.
int KeptPixels(int span, int skip);
// Offset in the array of the `index`-th kept pixel.
int KeptOffset(int index, int skip);

class SensorRegisters {
public:
    explicit SensorRegisters(std::uint16_t chipVersion = kDefaultChipVersion);

    void PowerOn();

    std::uint16_t Read(std::uint8_t reg) const { return regs_[reg]; }
    // A write as the serial interface performs it: the chip version ignores writes, a soft
    // reset restores the power-on values.
    void Write(std::uint8_t reg, std::uint16_t value);
    // Sets a register from inside the sensor (automatic exposure and gain).
    void Set(std::uint8_t reg, std::uint16_t value) { regs_[reg] = value; }

    std::uint16_t ChipVersion() const { return chipVersion_; }
    SensorWindow Window() const;
    std::uint16_t Exposure() const { return regs_[sensor_reg::kExposure]; }
    std::uint16_t Gain() const { return regs_[sensor_reg::kGain]; }
    bool AutoExposure() const { return (regs_[sensor_reg::kAutoControl] & 0x0001) != 0; }
    bool AutoGain() const { return (regs_[sensor_reg::kAutoControl] & 0x0002) != 0; }
    bool SnapshotMode() const
    {
        return (regs_[sensor_reg::kChipControl] & kChipControlSnapshot) != 0;
    }
    int HorizontalBlanking() const { return regs_[sensor_reg::kHorizontalBlanking]; }
    int VerticalBlanking() const { return regs_[sensor_reg::kVerticalBlanking]; }

private:
    std::uint16_t chipVersion_;
    std::array<std::uint16_t, 256> regs_{};
};

}  // namespace sim
