#include "sim/frame_builder.h"

#include <algorithm>
#include <array>

namespace sim {

CfaColour CfaAt(int column, int row)
{
    bool oddColumn = (column & 1) != 0;
    if ((row & 1) == 0) {
        return oddColumn ? CfaColour::Blue : CfaColour::Green;
    }
    return oddColumn ? CfaColour::Green : CfaColour::Red;
}

int NoiseSource::Next()
{
    if (amplitude_ <= 0) {
        return 0;
    }
    std::uniform_int_distribution<int> distribution(-amplitude_, amplitude_);
    return distribution(engine_);
}

std::uint8_t ExposedLevel(std::uint8_t sceneLevel, std::uint16_t exposure, std::uint16_t gain)
{
    std::uint64_t scaled = static_cast<std::uint64_t>(sceneLevel) * exposure * gain;
    std::uint64_t level = (scaled + kNominalExposure * kUnityGain / 2) /
                          (static_cast<std::uint64_t>(kNominalExposure) * kUnityGain);
    return static_cast<std::uint8_t>(std::min<std::uint64_t>(level, 255));
}

namespace {

// Array position read for output pixel (x, y) when the read-out is not mirrored.
int ArrayColumn(const SensorWindow& window, int x)
{
    return window.columnStart + KeptOffset(x, window.columnSkip);
}

int ArrayRow(const SensorWindow& window, int y)
{
    return window.rowStart + KeptOffset(y, window.rowSkip);
}

std::uint8_t Channel(const Rgb& colour, CfaColour filter)
{
    switch (filter) {
    case CfaColour::Red: return colour.r;
    case CfaColour::Green: return colour.g;
    case CfaColour::Blue: return colour.b;
    }
    return 0;
}

}  // namespace

Rgb SceneSampleAt(const Scene& scene, const SensorWindow& window, int x, int y)
{
    int sx = window.flipH ? window.OutputWidth() - 1 - x : x;
    int sy = window.flipV ? window.OutputHeight() - 1 - y : y;
    return scene.At(ArrayColumn(window, sx), ArrayRow(window, sy) - kFirstActiveRow);
}

RawFrame BuildFrame(const Scene& scene, const SensorWindow& window, std::uint16_t exposure,
                    std::uint16_t gain, NoiseSource* noise)
{
    RawFrame frame;
    frame.width = window.OutputWidth();
    frame.height = window.OutputHeight();
    frame.pixels.resize(static_cast<std::size_t>(frame.width) * frame.height);

    // Levels depend only on the scene level, so one table serves the whole frame.
    std::array<std::uint8_t, 256> levels{};
    for (int i = 0; i < 256; ++i) {
        levels[static_cast<std::size_t>(i)] =
            ExposedLevel(static_cast<std::uint8_t>(i), exposure, gain);
    }

    std::uint8_t* out = frame.pixels.data();
    for (int y = 0; y < frame.height; ++y) {
        int filterRow = ArrayRow(window, y);
        for (int x = 0; x < frame.width; ++x) {
            Rgb colour = SceneSampleAt(scene, window, x, y);
            CfaColour filter = CfaAt(ArrayColumn(window, x), filterRow);
            int level = levels[Channel(colour, filter)];
            if (noise != nullptr) {
                level = std::clamp(level + noise->Next(), 0, 255);
            }
            *out++ = static_cast<std::uint8_t>(level);
        }
    }
    return frame;
}

double MeanLevel(const RawFrame& frame)
{
    if (frame.pixels.empty()) {
        return 0.0;
    }
    std::uint64_t sum = 0;
    for (std::uint8_t pixel : frame.pixels) {
        sum += pixel;
    }
    return static_cast<double>(sum) / static_cast<double>(frame.pixels.size());
}

}  // namespace sim
