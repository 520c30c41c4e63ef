// The backdrop's colour and noise, told from the picture's border: what
// --auto-background measures instead of assuming 255 or 0.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "mask/threshold.h"

namespace zel7 {

// A colour (blue, green, red, as decoded rows hold them) and the largest difference
// of any channel from it that still counts as that colour.
struct Backdrop {
    std::array<uint8_t, 3> colour{};
    int tolerance = 0;

    friend bool operator==(const Backdrop&, const Backdrop&) = default;
};

// What the fixed threshold means as a distance from pure white or black: all three
// channels at least 240, or at most 20.
inline Backdrop FixedBackdrop(Background background) {
    return background == Background::NearWhite
               ? Backdrop{{255, 255, 255}, 255 - kNearWhiteThreshold}
               : Backdrop{{0, 0, 0}, kNearBlackThreshold};
}

// Whether the pixel at bgr lies within the backdrop's tolerance.
inline bool IsBackdropColoured(const uint8_t* bgr, const Backdrop& backdrop) {
    for (int c = 0; c < 3; ++c) {
        const int difference = int(bgr[c]) - backdrop.colour[std::size_t(c)];
        if (difference > backdrop.tolerance || -difference > backdrop.tolerance) {
            return false;
        }
    }
    return true;
}

// The noise's deviation in each channel that a measured tolerance stands for: the
// tolerance is four times the median largest channel difference (about 1.3 deviations)
// and two levels, so about five deviations and two.
inline double NoiseDeviation(const Backdrop& backdrop) {
    return std::max(backdrop.tolerance - 2, 1) / 5.0;
}

// The tolerance of a backdrop whose pixels' median largest channel difference from its
// colour is typical: a few times that, at least enough for a soft shadow.
int SpreadTolerance(int typical);

// Sets each of count pixels' class to mark when it lies within the reference's
// tolerance, else to 0. Pixels are three bytes in the order of the reference's colour.
void ClassifyPixels(const uint8_t* pixels, int32_t count, const Backdrop& reference, uint8_t mark,
                    uint8_t* classes);

// A frame drawn around the picture, as stock photos have one: a line of one colour along
// all four edges, at them or a few pixels in. How far it reaches in from each edge, the
// margin outside it included; all zeros for none.
struct DrawnFrame {
    int32_t top = 0, bottom = 0, left = 0, right = 0;

    bool Any() const { return top > 0; }  // (all four sides have it, or none)
    bool Holds(int32_t x, int32_t y, int32_t width, int32_t height) const {
        return y < top || y >= height - bottom || x < left || x >= width - right;
    }
    // Paints the pixels of row y that lie in the frame with colour.
    void Paint(int32_t y, int32_t width, int32_t height, const std::array<uint8_t, 3>& colour,
               uint8_t* bgr) const;
};

// Collects the pixels of a picture's outer frame, a few pixels deep, as its decoded
// rows go by, and estimates the backdrop from them.
class BorderSample {
public:
    BorderSample(int32_t width, int32_t height);
    void AddRow(int32_t y, const uint8_t* bgr);

    // After the last row: the frame drawn around the picture, if there is one, whose
    // lines are then no part of the backdrop: it is measured just inside them. One right
    // at the edges is looked for only on a side known.
    DrawnFrame LookInsideFrame(std::optional<Background> side = std::nullopt);

    // The commonest near-white or near-black colour of the frame (on side's, when
    // known), so that an object covering even most of it does not pass for the
    // backdrop; the commonest colour of any kind when there is none, which offSide, when
    // given, says of a side known. The tolerance comes from the spread of the pixels near
    // it: a few times their typical difference, at least enough for a soft shadow. Null
    // tolerance when the frame is empty.
    Backdrop Estimate(std::optional<Background> side = std::nullopt, bool* offSide = nullptr) const;

    // The tolerance that the backdrop's noise asks on side, with no floor for soft
    // shadows: from second differences along the frame's rows, which a smooth
    // backdrop's gradient does not touch.
    int NoiseTolerance(Background side) const;

private:
    // The pixels and the noise measured on the lines from offset in from each edge.
    void Collect(int32_t y, const uint8_t* bgr, const DrawnFrame& inside);
    // Line d in from an edge (0 top, 1 bottom, 2 left, 3 right).
    std::vector<uint8_t> Line(int edge, int32_t d) const;

    int32_t width_, height_;
    int32_t depth_;  // the lines kept from each edge, where a drawn frame is looked for
    // The top and bottom lines, row by row; the left and right ones, depth_ pixels a row
    // (the bottom's and the right's counted from their edge).
    std::vector<uint8_t> top_, bottom_, left_, right_;
    std::vector<uint8_t> pixels_;  // blue, green, red
    // Along the frame's rows, of second differences no larger than a backdrop's noise
    // makes them: each channel's sum, and how many.
    std::array<uint64_t, 3> secondDifferences_{}, counted_{};
};

}  // namespace zel7
