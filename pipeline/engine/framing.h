// Framing a cut-out for a shop's picture: trimmed to the object, given margins, padded
// to an aspect, fitted to a size and flattened over a colour. A stage between the
// refined (and upright) cut-out's rows and the sink.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/row_stream.h"
#include "formats/decoded_rows.h"

namespace zel7 {

// The frame's pixels at most, as many as a picture read by default: each is held, as up to
// 4 planes of a byte, until it is written. Past it a size asked would hold gigabytes:
// 20,000 x 20,000 took 1.2 GB, and 60,000 squared ran out of memory.
inline constexpr uint64_t kMostFramePixels = kDefaultMaxPixels;

// What framing holds of a pixel, of the cut-out and of the frame: up to 4 planes of a byte.
inline constexpr uint64_t kFrameBytesPerPixel = 4;

// The most framing holds of a picture of up to pixels pixels: the cut-out, held whole
// until it is resampled, and the frame's planes, with a third more for the resampler's
// passes, each at least 4 times the area of the one before it or after it.
constexpr uint64_t FramingMemoryBound(uint64_t pixels) {
    return (pixels + kMostFramePixels) * kFrameBytesPerPixel * 4 / 3;
}

struct FrameMargin {
    bool share = false;   // a share of the frame's side, or pixels
    double fraction = 0;  // with share: of the frame's width left and right, of its height
                          // above and below; less than a half
    int32_t pixels = 0;   // of the frame as written (after any resizing)
};

struct FrameSize {
    int32_t width = 0, height = 0;
    bool operator==(const FrameSize&) const = default;
};

struct FrameColour {
    uint8_t red = 255, green = 255, blue = 255;
};

struct FramingOptions {
    bool trim = false;  // to the object's bounding box: alpha above 0, kept shadows too
    std::optional<FrameMargin> margin{};
    std::optional<FrameSize> aspect{};  // width:height, padded to
    std::optional<FrameSize> size{};    // fitted into; exactly so with an aspect
    std::optional<FrameColour> flatten{};
    bool hardEdges = false;  // a resized cut-out's alpha set back to 0 or 255

    // Whether the picture's geometry changes, or only its colours.
    bool Reshapes() const { return trim || margin || aspect || size; }
    bool Active() const { return Reshapes() || flatten; }
};

struct FrameBox {
    int32_t x = 0, y = 0, width = 0, height = 0;
    bool operator==(const FrameBox&) const = default;
};

// The frame's size and where the object's box, scaled, lands in it.
struct FrameLayout {
    int32_t width = 0, height = 0;
    FrameBox placed{};
    bool operator==(const FrameLayout&) const = default;
};

// The frame for a box of boxWidth x boxHeight pixels (both at least 1). Margins go
// round the box; an aspect pads the shorter way, the box centred (a pixel to the left
// and top when the padding is odd). With a size, the box and its margins are scaled to
// fit it, up or down, so that every picture of a catalogue comes out the same size;
// with an aspect too, the frame is the size exactly.
FrameLayout LayOutFrame(const FramingOptions& options, int32_t boxWidth, int32_t boxHeight);

// How much smaller than its whole size a picture may be decoded for a frame of the
// size asked, judged from a decoding at 1/probeDenominator: the largest of 2, 4 and 8
// that still leaves the box (measured in that decoding, the object's or the whole
// picture's) at least as large as it will be placed in the frame; 1 without a size.
int FrameReduction(const FramingOptions& options, FrameBox probed, int probeDenominator);

// The bounding box of the pixels with alpha above 0 in the 32-bit rows of red, green,
// blue and alpha that source yields, read to their end; width 0 when there is none.
Result MeasureObject(RowSource& source, FrameBox& box);

// The upright 32-bit cut-out rows of source, framed: 24-bit rows of red, green and
// blue when flattened, 32-bit rows otherwise. The cut-out is held, trimmed, in memory
// (premultiplied, or flattened) until the frame is resampled; only flattening alone
// streams. A trimmed cut-out with no object is refused.
Result OpenFramedSource(std::unique_ptr<RowSource> source, const FramingOptions& options,
                        std::unique_ptr<RowSource>& framed);

}  // namespace zel7
