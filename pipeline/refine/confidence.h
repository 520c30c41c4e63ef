// How far a refined mask can be trusted, from what the picture showed while it was
// masked: so that a catalogue's doubtful pictures can go to a person or another tool
// rather than to the shop.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mask/threshold.h"

namespace zel7 {

struct Confidence {
    // The share of the picture's outermost pixels that are object: a product cut by
    // the frame, or a backdrop not told from it.
    double borderObject = 0;
    // The share of the picture that is object: next to nothing, or nearly all of it,
    // is more likely a backdrop misread than a product.
    double objectShare = 0;
    // Of the pixels at the object's edge, the share beside an object that hardly stands
    // off the backdrop there: a faint outline (white on white, dark on black), where the
    // mask's edge is a guess.
    double ambiguousEdges = 0;
    // How far the backdrop's colour ranges over the frame, in levels: a sweep lit
    // unevenly, or an object taken for backdrop.
    double unevenness = 0;
    // With a side asked for and the backdrop measured, when nothing along the frame lay
    // near that side's end: the side, and the colour (blue, green, red) measured instead.
    // The mask was made against a backdrop the user did not ask for, whatever it shows.
    struct OffSide {
        Background asked;
        std::array<uint8_t, 3> found;
    };
    std::optional<OffSide> offSide{};

    // From 0 (doubtful) to 1, the least of what each measure says.
    double Score() const;
    // At a score of 0, what makes the mask doubtful, for the user; else "".
    std::string Doubt() const;
    // Each measure by its name in reports, the score first, to four significant digits.
    std::vector<std::pair<std::string_view, double>> Fields() const;
};

// Counts what Confidence needs as a refined picture's rows are written.
class ConfidenceCounter {
public:
    ConfidenceCounter(int32_t width, int32_t height) : width_(width), height_(height) {}
    // Row y as written: a byte a pixel, non-zero for object.
    void Row(int32_t y, const uint8_t* object);
    // An edge pixel, faint where its object hardly stood off the backdrop (EdgeAlpha).
    void Edge(bool faint);
    Confidence Result(double unevenness) const;

private:
    int32_t width_, height_;
    uint64_t objects_ = 0, frameObjects_ = 0, edges_ = 0, faint_ = 0;
};

}  // namespace zel7
