// Frame timing: the sensor's pixel clock comes from the bridge's clock selection; a frame
// takes (output lines + vertical blanking) rows, or the exposure when that is longer, and
// a row takes (output width + horizontal blanking) pixel clocks.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "sim/sensor_registers.h"

namespace sim {

// Pixel clock of each clock selection, in Hz; selections above 5 run at selection 0.
constexpr std::array<std::uint32_t, 6> kPixelClockHz = {26'666'667, 13'333'333, 8'000'000,
                                                         6'666'667, 4'000'000, 2'000'000};

std::uint32_t PixelClockHz(std::uint8_t clockSelection);

// Pixel clocks of one row.
std::uint32_t RowClocks(const SensorRegisters& sensor);

// Rows one frame takes.
std::uint32_t FrameRows(const SensorRegisters& sensor);

std::chrono::nanoseconds FrameTime(const SensorRegisters& sensor, std::uint8_t clockSelection);

// Time from a trigger to the end of that frame's read-out: the exposure, then the frame.
std::chrono::nanoseconds TriggeredFrameTime(const SensorRegisters& sensor,
                                            std::uint8_t clockSelection);

}  // namespace sim
