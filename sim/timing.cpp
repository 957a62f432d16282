#include "sim/timing.h"

#include <algorithm>

namespace sim {

std::uint32_t PixelClockHz(std::uint8_t clockSelection)
{
    return clockSelection < kPixelClockHz.size() ? kPixelClockHz[clockSelection]
                                                 : kPixelClockHz[0];
}

std::uint32_t RowClocks(const SensorRegisters& sensor)
{
    return static_cast<std::uint32_t>(sensor.Window().OutputWidth() +
                                      sensor.HorizontalBlanking());
}

std::uint32_t FrameRows(const SensorRegisters& sensor)
{
    auto readOut =
        static_cast<std::uint32_t>(sensor.Window().OutputHeight() + sensor.VerticalBlanking());
    return std::max<std::uint32_t>(readOut, sensor.Exposure());
}

namespace {

std::chrono::nanoseconds RowsToTime(std::uint64_t rows, const SensorRegisters& sensor,
                                    std::uint8_t clockSelection)
{
    std::uint64_t clocks = rows * RowClocks(sensor);
    return std::chrono::nanoseconds(clocks * 1'000'000'000ULL / PixelClockHz(clockSelection));
}

}  // namespace

std::chrono::nanoseconds FrameTime(const SensorRegisters& sensor, std::uint8_t clockSelection)
{
    return RowsToTime(FrameRows(sensor), sensor, clockSelection);
}

std::chrono::nanoseconds TriggeredFrameTime(const SensorRegisters& sensor,
                                            std::uint8_t clockSelection)
{
    std::uint64_t rows = static_cast<std::uint64_t>(sensor.Exposure()) +
                         static_cast<std::uint64_t>(sensor.Window().OutputHeight());
    return RowsToTime(rows, sensor, clockSelection);
}

}  // namespace sim
