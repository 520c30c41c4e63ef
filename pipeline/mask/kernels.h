// The per-pixel kernels: runs of 24-bit pixels (three bytes each, in the order of the
// reference colour: blue, green, red as decoded rows hold them) classified, masked,
// expanded, packed and judged as shades of the backdrop. Each call goes to the best
// instruction set the processor has, chosen at run time among Highway's builds; the
// portable loops define what every one of them must write, byte for byte.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel7 {

// The lowest and highest value each channel may hold for a pixel to count as the
// range's colour: what makes a pixel background is data, not code. A range may reach
// one end of the scale, as on a white or black backdrop where a pixel lighter than
// white or darker than black is background all the same. Low is at most high.
struct ColourRange {
    std::array<uint8_t, 3> low{};
    std::array<uint8_t, 3> high{};

    // Every channel within tolerance of colour's, clipped to 0 and 255.
    static constexpr ColourRange Around(std::array<uint8_t, 3> colour, int tolerance) {
        ColourRange range;
        for (std::size_t c = 0; c < 3; ++c) {
            range.low[c] = uint8_t(std::clamp(colour[c] - tolerance, 0, 255));
            range.high[c] = uint8_t(std::clamp(colour[c] + tolerance, 0, 255));
        }
        return range;
    }
    // Whether every channel of a blue, green, red pixel lies in the range.
    constexpr bool Holds(const uint8_t* bgr) const {
        for (std::size_t c = 0; c < 3; ++c) {
            if (bgr[c] < low[c] || bgr[c] > high[c]) {
                return false;
            }
        }
        return true;
    }
};

namespace kernels {

// Sets classes[i] to mark where pixel i lies within range, else to 0.
void Classify(const uint8_t* pixels, std::size_t count, const ColourRange& range, uint8_t mark,
              uint8_t* classes);

// Sets each pixel in place to 255, 255, 255 where it lies within range, else to 0, 0, 0.
void Mask(uint8_t* pixels, std::size_t count, const ColourRange& range);

// Writes each grey byte, xor flip, three times: a grey 24-bit pixel.
void ExpandGrey(const uint8_t* grey, std::size_t count, uint8_t flip, uint8_t* out);

// Packs pixels eight to a byte, the first in the top bit, by the top bit of each
// pixel's first byte: a masked pixel is white when its bytes are 255. Writes
// (count + 7) / 8 bytes; the last one's unused low bits are 0.
void PackBits(const uint8_t* pixels, std::size_t count, uint8_t* out);

// A cut-out's row: each pixel's colour turned from blue, green, red to red, green, blue
// and kept where its coverage byte, or flip, is 255 (zeroed where both are 0), then the
// coverage xor flip as its alpha. flip is 0, or 255 to cut out the background.
void CutOut(const uint8_t* bgr, const uint8_t* coverage, std::size_t count, uint8_t flip,
            uint8_t* rgba);

// Sets apart[i] to how far pixel i lies below colour (above it, when darker is false):
// the most any of its channels does, 0 where none does.
void Apart(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& colour,
           bool darker, uint8_t* apart);
// How a pixel lies against the backdrop's colour: the backdrop darkened (hued: on white
// only), only faintly tinted off it (on black: lifted by a tint), or neither.
enum class Shade : uint8_t { kNone, kHued, kTinted };
// What a shadow may do to the backdrop's colour (the shadow rule's constants, given as
// data as a range's bounds are): leave at least darkest of its light, stray from its hue
// by the tolerance, slack and tintPerDepth of the levels it darkens, or tint its channels
// by at most mostTint levels.
struct ShadeRule {
    float darkest, slack, tintPerDepth;
    int mostTint;
};

// Sets classes[i] to mark where it is 0 and pixel i is no Shade::kNone of backdrop, on
// white (white) or black, within tolerance.
void MarkShaded(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& backdrop,
                int tolerance, bool white, const ShadeRule& rule, uint8_t mark, uint8_t* classes);

// Highway's targets (HWY_AVX2, ..) the kernels are built for that this processor
// runs, best first.
std::vector<int64_t> RunnableTargets();

// Sends every later call to target's build, one of RunnableTargets(), or with any
// other value to the best again: for tests and benchmarks, which run each.
void UseTarget(int64_t target);

// The same, a pixel at a time: the vector code's tails, and what tests hold it to.
namespace portable {
void Classify(const uint8_t* pixels, std::size_t count, const ColourRange& range, uint8_t mark,
              uint8_t* classes);
void Mask(uint8_t* pixels, std::size_t count, const ColourRange& range);
void ExpandGrey(const uint8_t* grey, std::size_t count, uint8_t flip, uint8_t* out);
void PackBits(const uint8_t* pixels, std::size_t count, uint8_t* out);
void CutOut(const uint8_t* bgr, const uint8_t* coverage, std::size_t count, uint8_t flip,
            uint8_t* rgba);
void Apart(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& colour,
           bool darker, uint8_t* apart);
void MarkShaded(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& backdrop,
                int tolerance, bool white, const ShadeRule& rule, uint8_t mark, uint8_t* classes);
// One pixel's shade, as MarkShaded and its vectors judge it.
Shade ShadeOf(const uint8_t* pixel, const std::array<uint8_t, 3>& backdrop, int tolerance,
              bool white, const ShadeRule& rule);
}  // namespace portable

}  // namespace kernels
}  // namespace zel7
