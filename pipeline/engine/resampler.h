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
    const uint8_t* Plane(int p) const {
        return out_.data() + std::size_t(p) * std::size_t(toWidth_) * std::size_t(toHeight_);
    }

private:
    struct Contexts;
    std::unique_ptr<Contexts> contexts_;
    std::vector<uint8_t> out_;
    int32_t toWidth_ = 0, toHeight_ = 0;
    int32_t fed_ = 0;
};

}  // namespace zel7
