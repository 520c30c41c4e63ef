// Planes of 8-bit samples resampled to another size with a Lanczos filter, fed a band of
// source rows at a time as they come. The library behind it is seen only by its file.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "system/result.h"

namespace zel7 {

class Resampler {
public:
    Resampler();
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // planes planes of fromWidth x fromHeight samples to toWidth x toHeight each.
    Result Open(int32_t fromWidth, int32_t fromHeight, int32_t toWidth, int32_t toHeight,
                int planes);
    // The next rows of every plane, band[p] pointing at plane p's first row, rows
    // stride bytes apart. The rows must come in order, top first, and all of them.
    Result Feed(const uint8_t* const* band, int32_t stride, int32_t rows);
    // Plane p resampled, toWidth samples a row, once every row has been fed.
    const uint8_t* Plane(int p) const;

    // The library reads and writes whole vectors of samples: up to this many bytes past a
    // plane's last sample, which a band's planes must leave readable.
    static constexpr std::size_t kPadding = 64;

private:
    // Rows top..top+rows of every plane (band as in Feed) through pass's contexts.
    Result Scale(std::size_t pass, const uint8_t* const* band, int32_t stride, int32_t top,
                 int32_t rows);

    struct Contexts;
    std::unique_ptr<Contexts> contexts_;
    int32_t fromHeight_ = 0, fed_ = 0;
};

}  // namespace zel7
