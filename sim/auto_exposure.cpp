#include "sim/auto_exposure.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

// Levels within this fraction of the target count as on target.
constexpr double kDeadBand = 0.04;

// Half-way from `current` toward `ideal`, at least one step, within [low, high].
std::uint16_t StepToward(std::uint16_t current, double ideal, std::uint16_t low,
                         std::uint16_t high)
{
    double next = current + (ideal - current) / 2.0;
    auto rounded = static_cast<long>(std::lround(next));
    if (rounded == current) {
        rounded += ideal > current ? 1 : -1;
    }
    return static_cast<std::uint16_t>(std::clamp<long>(rounded, low, high));
}

}  // namespace

bool AutoExposureStep(SensorRegisters& sensor, double meanLevel, int target)
{
    if (!sensor.AutoExposure() && !sensor.AutoGain()) {
        return false;
    }
    // A black frame says only "brighter": treat it as a level of one.
    double level = std::max(meanLevel, 1.0);
    double ratio = static_cast<double>(target) / level;
    if (std::abs(ratio - 1.0) <= kDeadBand) {
        return false;
    }

    std::uint16_t exposure = sensor.Exposure();
    std::uint16_t gain = sensor.Gain();
    if (sensor.AutoExposure()) {
        std::uint16_t next = StepToward(exposure, exposure * ratio, kAutoExposureMin,
                                        kAutoExposureMax);
        if (next != exposure) {
            sensor.Set(sensor_reg::kExposure, next);
            return true;
        }
    }
    if (sensor.AutoGain()) {
        std::uint16_t next = StepToward(gain, gain * ratio, kAutoGainMin, kAutoGainMax);
        if (next != gain) {
            sensor.Set(sensor_reg::kGain, next);
            return true;
        }
    }
    return false;
}

}  // namespace sim
