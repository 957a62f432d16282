// Builds one raw frame: the scene seen through the sensor's window, sub-sampling and flips,
// scaled by exposure and gain, and sampled through the colour filter array.
//
// The colour filter is fixed to the array: rows of the array with an even number read
// G B G B ..., odd rows R G R G ..., so a window at an even origin starts G B / R G, an odd
// column start starts B G / G R, an odd row start R G / G B, and both odd G R / B G.
// Sub-sampling keeps pairs of columns and rows, so the phase of the first pixel is the phase
// of the window origin. Flipping mirrors the picture but the read-out keeps the phase: the
// colour of output pixel (x, y) is the colour the unflipped read-out has there.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "sim/scene.h"
#include "sim/sensor_registers.h"

namespace sim {

enum class CfaColour { Red, Green, Blue };

// Colour of the filter over array pixel (column, row).
CfaColour CfaAt(int column, int row);

struct RawFrame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height bytes, line after line
};

// Seeded additive noise, uniform in [-amplitude, amplitude].
class NoiseSource {
public:
    NoiseSource(std::uint32_t seed, int amplitude) : engine_(seed), amplitude_(amplitude) {}
    int Next();
    int Amplitude() const { return amplitude_; }

private:
    std::mt19937 engine_;
    int amplitude_;
};

// The level a scene level reaches with the exposure (rows) and the gain register: linear in
// both, nominal (unchanged) at 480 rows and gain 32, saturating at 255.
std::uint8_t ExposedLevel(std::uint8_t sceneLevel, std::uint16_t exposure, std::uint16_t gain);

// The scene pixel that output pixel (x, y) of the window sees.
Rgb SceneSampleAt(const Scene& scene, const SensorWindow& window, int x, int y);

RawFrame BuildFrame(const Scene& scene, const SensorWindow& window, std::uint16_t exposure,
                    std::uint16_t gain, NoiseSource* noise);

// Mean pixel level of a frame (0 for an empty frame).
double MeanLevel(const RawFrame& frame);

}  // namespace sim
