// Holes told from labels: of the backdrop-coloured regions the object encloses, those
// that are the backdrop seen through it (the hole of a handle, the inside of a ring)
// rather than part of it in nearly the backdrop's colour (a label, a print).
#pragma once

#include <cstdint>
#include <vector>

#include "refine/backdrop.h"
#include "refine/regions.h"

namespace zel7 {

// The colours of every Step()-th pixel of every Step()-th row, kept while the picture
// is labelled: a ninth of it, or fewer on very large pictures.
class HoleSamples {
public:
    HoleSamples(int32_t width, int32_t height);
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t Step() const { return step_; }
    void AddRow(int32_t y, const uint8_t* bgr);
    // Row y's samples (y a multiple of Step()).
    const uint8_t* Row(int32_t y) const;

private:
    int32_t width_, height_, step_;
    std::size_t sampledWidth_;
    std::vector<uint8_t> colours_;
};

// Makes background every enclosed region (of labels, decided) whose mean colour is
// that of the backdrop nearest to it, measured on a grid of cells for gradients and
// vignetting, within a level and the noise's share. Whether there was any.
bool FindHoles(RegionLabeller& labels, const HoleSamples& samples, const Backdrop& reference);

}  // namespace zel7
