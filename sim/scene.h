// What the camera looks at: an RGB picture as large as the sensor's active area
// (752 x 480), one colour per pixel. The frame builder samples it through the window.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    bool operator==(const Rgb&) const = default;
};

// A rectangle of the scene in sensor pixels.
struct SceneRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class Scene {
public:
    // Eight vertical bars: white, yellow, cyan, green, magenta, red, blue, black.
    static Scene ColourBars();
    // A chart of 6 x 4 patches of known colours on a dark grey background.
    static Scene ColourChart();
    // Red rising from left to right, green rising from top to bottom, blue constant 128.
    static Scene Gradient();
    // One colour everywhere.
    static Scene Flat(Rgb colour);
    // A caller's picture, scaled to the sensor by nearest neighbour.
    static Scene FromImage(int width, int height, const std::vector<Rgb>& pixels);

    // Colour at a sensor pixel; coordinates outside the area take the nearest edge pixel.
    Rgb At(int x, int y) const;

    int Width() const { return width_; }
    int Height() const { return height_; }

    static constexpr int kBarCount = 8;
    static const std::array<Rgb, kBarCount>& BarColours();
    static constexpr int kChartColumns = 6;
    static constexpr int kChartRows = 4;
    static const std::array<Rgb, kChartColumns * kChartRows>& ChartColours();
    // Where patch `index` (row-major) lies on the chart.
    static SceneRect ChartPatch(int index);
    static constexpr Rgb kChartBackground{40, 40, 40};

private:
    Scene(int width, int height);

    int width_;
    int height_;
    std::vector<Rgb> pixels_;
};

}  // namespace sim
