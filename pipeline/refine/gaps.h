// Breaks of a pixel in an object's outline, closed before regions are joined across them.
// A white garment on a white backdrop is bounded by a faint seam or shading alone, and
// the light or JPEG breaks it here and there: through one break, the backdrop around
// floods the whole of the body inside, which is of the backdrop's colour. A backdrop pixel
// with object on two opposite sides (left and right, above and below, or across a
// diagonal) is such a break, and is taken for object while regions are labelled; its
// coverage then decides it, as it decides every pixel along an outline. A break two pixels
// wide and more stays open: closing those took whole patches of the backdrop speckled by
// noise or texture.
//
// A shadow's pixels lie among specks that its hue leaves object, and would close into a
// solid patch: the pixels the shadows made background stay as they are.
#pragma once

#include <cstdint>
#include <vector>

namespace zel7 {

class OutlineGaps {
public:
    // The class of a pixel made background for lying in a shadow.
    static constexpr uint8_t kShadow = 2;

    explicit OutlineGaps(int32_t width);

    // Takes row y's classes (0 object, kShadow, or another for background), rows in order
    // from the top, and returns the row above it closed (0 object, 1 background), or
    // nullptr for the first.
    const uint8_t* Add(const uint8_t* classes);
    // The last row, closed, once it was added.
    const uint8_t* Last();

private:
    const uint8_t* Row(int32_t y) const;
    const uint8_t* Close(const uint8_t* above, const uint8_t* here, const uint8_t* below);

    int32_t width_, added_ = 0;
    std::vector<uint8_t> rows_;    // three rows of classes, in turn
    std::vector<uint8_t> closed_;  // the row returned
    std::vector<uint8_t> none_;    // outside the picture: no object
};

}  // namespace zel7
