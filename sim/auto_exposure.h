// The sensor's automatic exposure and gain: after each frame, when their bits in register
// 0xAF are on, the exposure (0x0B) and the gain (0x35) move half-way toward the values that
// would bring the frame's mean level to the target. Exposure is preferred; the gain moves only
// when automatic exposure is off or the exposure is pinned at a limit of its range.
#pragma once

#include <cstdint>

#include "sim/sensor_registers.h"

namespace sim {

constexpr int kDefaultBrightnessTarget = 110;
// The range the automatic control uses; manual writes may go beyond it.
constexpr std::uint16_t kAutoExposureMin = 1;
constexpr std::uint16_t kAutoExposureMax = 1920;
constexpr std::uint16_t kAutoGainMin = 16;
constexpr std::uint16_t kAutoGainMax = 64;

// One step of the loop for a frame of the given mean level. Returns true when a register moved.
bool AutoExposureStep(SensorRegisters& sensor, double meanLevel, int target);

}  // namespace sim
