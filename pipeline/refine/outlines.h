// How wide the picture's outlines are, in pixels: a lens's blur, a soft focus or an
// enlargement spreads every change of colour over several pixels. The rules that compare
// neighbouring samples (a shadow fades from one to the next, an object's outline steps)
// need them further apart than an outline is wide, or an enlarged white garment's outline
// fades from sample to sample as softly as a shadow.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zel7 {

class OutlineWidth {
public:
    // For a picture of width by height pixels.
    OutlineWidth(int32_t width, int32_t height);
    // Row y's pixels, blue, green, red; only some rows are measured, the rest passed over.
    void AddRow(int32_t y, const uint8_t* bgr);
    // The width of the sharpest quarter of the outlines crossed, in pixels: the lens's
    // (the softer ones are parts out of focus, or soft shading); 0 when none was crossed.
    double Width() const;

private:
    // Widths are counted in quarters of a pixel, up to 32 pixels and more in the last.
    static constexpr int kBinsPerPixel = 4;
    static constexpr std::size_t kBins = 32 * kBinsPerPixel + 1;

    int32_t width_, rowStep_;
    std::vector<int16_t> levels_;  // a row's pixels, their channels summed
    std::array<uint64_t, kBins> counts_{};
};

}  // namespace zel7
