// PNG files through libpng's simplified API: frames out, scenes in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camctl {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // R, G, B per pixel, top row first
};

// Writes an 8-bit RGB PNG. False with a message on failure.
bool WritePng(const std::string& path, const RgbImage& image, std::string& error);
// Reads any PNG as 8-bit RGB (palette, grey and 16-bit images are converted, alpha is dropped
// over black). False with a message on failure.
bool ReadPng(const std::string& path, RgbImage& image, std::string& error);

}  // namespace camctl
