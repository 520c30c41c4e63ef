// The edges of refined masks and cut-outs: which object pixels lie at the edge, and
// how much of each is object, its colour freed of the backdrop's share.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "refine/backdrop.h"

namespace zel7 {

// Pixels this close to background are edge pixels: JPEG's halved colour resolution
// spreads an edge over two or three.
inline constexpr int32_t kEdge = 2;
// An edge pixel's object colour is looked for this far away.
inline constexpr int32_t kReach = kEdge + 1;

// The rows around the one being written, a ring of them: each row's colours (24-bit
// pixels) and coverage (255 object, 0 background; grey between for none here).
class RowWindow {
public:
    static constexpr int32_t kRows = 2 * kReach + 1;

    RowWindow(int32_t width, int32_t height, int32_t rowStride);
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    uint8_t* Colours(int32_t y) { return colours_[Slot(y)].data(); }
    uint8_t* Coverage(int32_t y) { return coverage_[Slot(y)].data(); }
    const uint8_t* Colours(int32_t y) const { return colours_[Slot(y)].data(); }
    const uint8_t* Coverage(int32_t y) const { return coverage_[Slot(y)].data(); }

private:
    static std::size_t Slot(int32_t y) { return std::size_t(y % kRows); }

    int32_t width_, height_;
    std::array<std::vector<uint8_t>, kRows> colours_, coverage_;
};

// Marks in edge (one byte a pixel) the pixels of row y within kEdge rows and columns
// of background; the rows kEdge around y must be in the window. columns is room the
// caller keeps, to spare an allocation a row.
void FindEdges(const RowWindow& window, int32_t y, std::vector<uint8_t>& columns,
               std::vector<uint8_t>& edge);

// How much of the edge pixel at x, y is object, 0 to 255, and its colour freed of the
// backdrop's share, red first, in rgb (left alone where alpha is 0). The rows kReach
// around y must be in the window.
uint8_t EdgeAlpha(const RowWindow& window, int32_t x, int32_t y, const Backdrop& reference,
                  uint8_t* rgb);

}  // namespace zel7
