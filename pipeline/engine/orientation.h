// Turning decoded rows upright, as a picture's EXIF orientation (1 to 8) asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/row_stream.h"
#include "mask/threshold.h"

namespace zel7 {

// Where the pixel at (x, y) of a width x height picture, as decoded, is seen.
class Turn {
public:
    Turn(int orientation, int32_t width, int32_t height);

    // Orientations 5 to 8 turn the picture a quarter: width and height swap.
    bool Swaps() const { return orientation_ >= 5; }
    int32_t SeenWidth() const { return Swaps() ? height_ : width_; }
    int32_t SeenHeight() const { return Swaps() ? width_ : height_; }
    void Map(int32_t x, int32_t y, int32_t& seenX, int32_t& seenY) const;

private:
    int orientation_;
    int32_t width_, height_;
};

// For masks of a source whose rows are not upright: the source's rows are masked as
// they are decoded into one bit a pixel, then handed out upright, background at the
// background's level and everything else at the other, for the engine's mask to give
// the same two tones. Memory: a bit a pixel (3 MiB for 24 megapixels).
std::unique_ptr<RowSource> UprightMaskSource(std::unique_ptr<RowSource> source,
                                             Background background);

// Pictures of up to this many bytes are turned in memory; larger ones go through an
// unnamed temporary file, so that memory stays bounded.
inline constexpr std::size_t kMostTurnedInMemory = 16 << 20;

// For rows of any depth but masks': handed out upright. Pictures of up to heldBytes
// (their stored size) are held, turned, in memory; larger ones are written to a
// temporary file as they come and read back a band of upright rows at a time, a band
// within heldBytes.
std::unique_ptr<RowSource> UprightSource(std::unique_ptr<RowSource> source,
                                         std::size_t heldBytes = kMostTurnedInMemory);

}  // namespace zel7
