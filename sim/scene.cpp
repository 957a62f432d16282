#include "sim/scene.h"

#include <algorithm>
#include <stdexcept>

#include "sim/sensor_registers.h"

namespace sim {

namespace {

// Chart patches: 96 x 96 pixels with 24-pixel gaps, the whole chart centred on the sensor.
constexpr int kPatchSize = 96;
constexpr int kPatchGap = 24;
constexpr int kChartLeft =
    (kSensorWidth - (Scene::kChartColumns * kPatchSize + (Scene::kChartColumns - 1) * kPatchGap)) / 2;
constexpr int kChartTop =
    (kSensorHeight - (Scene::kChartRows * kPatchSize + (Scene::kChartRows - 1) * kPatchGap)) / 2;

}  // namespace

Scene::Scene(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<std::size_t>(width) * height)
{
}

const std::array<Rgb, Scene::kBarCount>& Scene::BarColours()
{
    static const std::array<Rgb, kBarCount> colours = {{
        {191, 191, 191},
        {191, 191, 0},
        {0, 191, 191},
        {0, 191, 0},
        {191, 0, 191},
        {191, 0, 0},
        {0, 0, 191},
        {0, 0, 0},
    }};
    return colours;
}

const std::array<Rgb, Scene::kChartColumns * Scene::kChartRows>& Scene::ChartColours()
{
    // Saturated primaries and secondaries, muted mixed tones and a grey ramp, so that every
    // colour channel takes several distinct levels.
    static const std::array<Rgb, kChartColumns * kChartRows> colours = {{
        {200, 40, 40},   {40, 200, 40},   {40, 40, 200},   {200, 200, 40},  {200, 40, 200},
        {40, 200, 200},  {120, 80, 60},   {180, 140, 110}, {90, 120, 160},  {90, 110, 60},
        {140, 120, 180}, {100, 190, 170}, {220, 130, 40},  {70, 80, 170},   {190, 80, 100},
        {90, 60, 110},   {160, 190, 60},  {230, 160, 40},  {240, 240, 240}, {190, 190, 190},
        {140, 140, 140}, {100, 100, 100}, {60, 60, 60},    {20, 20, 20},
    }};
    return colours;
}

SceneRect Scene::ChartPatch(int index)
{
    int column = index % kChartColumns;
    int row = index / kChartColumns;
    return {kChartLeft + column * (kPatchSize + kPatchGap), kChartTop + row * (kPatchSize + kPatchGap),
            kPatchSize, kPatchSize};
}

Scene Scene::ColourBars()
{
    Scene scene(kSensorWidth, kSensorHeight);
    const auto& colours = BarColours();
    for (int y = 0; y < scene.height_; ++y) {
        for (int x = 0; x < scene.width_; ++x) {
            scene.pixels_[static_cast<std::size_t>(y) * scene.width_ + x] =
                colours[static_cast<std::size_t>(x * kBarCount / scene.width_)];
        }
    }
    return scene;
}

Scene Scene::ColourChart()
{
    Scene scene = Flat(kChartBackground);
    const auto& colours = ChartColours();
    for (int i = 0; i < kChartColumns * kChartRows; ++i) {
        SceneRect patch = ChartPatch(i);
        for (int y = patch.y; y < patch.y + patch.height; ++y) {
            for (int x = patch.x; x < patch.x + patch.width; ++x) {
                scene.pixels_[static_cast<std::size_t>(y) * scene.width_ + x] =
                    colours[static_cast<std::size_t>(i)];
            }
        }
    }
    return scene;
}

Scene Scene::Gradient()
{
    Scene scene(kSensorWidth, kSensorHeight);
    for (int y = 0; y < scene.height_; ++y) {
        for (int x = 0; x < scene.width_; ++x) {
            scene.pixels_[static_cast<std::size_t>(y) * scene.width_ + x] = {
                static_cast<std::uint8_t>(x * 255 / (scene.width_ - 1)),
                static_cast<std::uint8_t>(y * 255 / (scene.height_ - 1)), 128};
        }
    }
    return scene;
}

Scene Scene::Flat(Rgb colour)
{
    Scene scene(kSensorWidth, kSensorHeight);
    std::fill(scene.pixels_.begin(), scene.pixels_.end(), colour);
    return scene;
}

Scene Scene::FromImage(int width, int height, const std::vector<Rgb>& pixels)
{
    if (width <= 0 || height <= 0 ||
        pixels.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        throw std::invalid_argument("scene image size does not match its pixels");
    }
    Scene scene(kSensorWidth, kSensorHeight);
    for (int y = 0; y < scene.height_; ++y) {
        int sy = y * height / scene.height_;
        for (int x = 0; x < scene.width_; ++x) {
            int sx = x * width / scene.width_;
            scene.pixels_[static_cast<std::size_t>(y) * scene.width_ + x] =
                pixels[static_cast<std::size_t>(sy) * width + sx];
        }
    }
    return scene;
}

Rgb Scene::At(int x, int y) const
{
    x = std::clamp(x, 0, width_ - 1);
    y = std::clamp(y, 0, height_ - 1);
    return pixels_[static_cast<std::size_t>(y) * width_ + x];
}

}  // namespace sim
