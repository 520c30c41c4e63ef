// The benchmarks' pictures: rows of a 24-bit picture that looks like a studio shot, a
// lightly noisy background near white or black and an object of mid tones with a shaded
// edge, so that the masks timed have the runs and edges of real ones.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/row_stream.h"
#include "mask/threshold.h"

namespace zel7::bench {

inline std::vector<uint8_t> SyntheticPhotoRows(int32_t width, int32_t height,
                                               Background background) {
    const std::size_t stride = std::size_t(RowStride(width, 24));
    std::vector<uint8_t> rows(stride * std::size_t(height), 0x5A);  // 0x5A: the rows' fill bytes
    std::mt19937 noise(7);
    const bool white = background == Background::NearWhite;
    const double cx = width / 2.0, cy = height / 2.0;
    const double rx = std::max(1.0, width * 0.32), ry = std::max(1.0, height * 0.36);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const double dx = (x - cx) / rx, dy = (y - cy) / ry;
            const double distance = std::sqrt(dx * dx + dy * dy), rim = (distance - 0.92) / 0.08;
            // Inside the object: mid tones with a gradient; near the rim a soft shade
            // that crosses the thresholds; outside: background with noise.
            const bool inside = distance < 0.92;
            const int base = inside ? 70 + int(110 * (1 - distance)) + (x * 7 + y * 3) % 23
                             : distance >= 1.0 ? (white ? 250 : 6)
                             : white           ? int(150 + 105 * rim)
                                               : int(120 * (1 - rim));
            for (int channel = 0; channel < 3; ++channel) {
                const int value = base + int(noise() % 9) - 4 + (inside ? channel * 17 : 0);
                rows[std::size_t(y) * stride + 3 * std::size_t(x) + std::size_t(channel)] =
                    uint8_t(std::clamp(value, 0, 255));
            }
        }
    }
    return rows;
}

}  // namespace zel7::bench
