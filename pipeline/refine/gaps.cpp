#include "refine/gaps.h"

#include <cstring>

#include "refine/words.h"

namespace zel7 {

OutlineGaps::OutlineGaps(int32_t width)
    : width_(width),
      rows_(3 * std::size_t(width)),
      closed_(std::size_t(width)),
      none_(std::size_t(width), 1) {}

const uint8_t* OutlineGaps::Row(int32_t y) const {
    return &rows_[std::size_t(y % 3) * std::size_t(width_)];
}

const uint8_t* OutlineGaps::Add(const uint8_t* classes) {
    std::memcpy(&rows_[std::size_t(added_ % 3) * std::size_t(width_)], classes,
                std::size_t(width_));
    if (++added_ == 1) {
        return nullptr;
    }
    const int32_t y = added_ - 2;
    return Close(y > 0 ? Row(y - 1) : none_.data(), Row(y), Row(y + 1));
}

const uint8_t* OutlineGaps::Last() {
    const int32_t y = added_ - 1;
    return Close(y > 0 ? Row(y - 1) : none_.data(), Row(y), none_.data());
}

const uint8_t* OutlineGaps::Close(const uint8_t* above, const uint8_t* here, const uint8_t* below) {
    const int32_t width = width_;
    // Whether the pixel at x of a row is object; outside the picture none is.
    const auto object = [width](const uint8_t* row, int32_t x) {
        return x >= 0 && x < width && row[x] == 0;
    };
    for (int32_t x = 0; x < width; ++x) {
        // Eight at a time where neither this row nor those around it hold object (most of
        // the backdrop), or this row holds nothing else (most of the object).
        if (x % 8 == 0 && x > 0 && x + 9 <= width) {
            if (!HasZeroByte(Word(here + x - 1)) && !HasZeroByte(Word(here + x + 1)) &&
                !HasZeroByte(Word(above + x - 1)) && !HasZeroByte(Word(above + x + 1)) &&
                !HasZeroByte(Word(below + x - 1)) && !HasZeroByte(Word(below + x + 1))) {
                std::memset(&closed_[std::size_t(x)], 1, 8);
                x += 7;
                continue;
            }
            if (Word(here + x) == 0) {
                std::memset(&closed_[std::size_t(x)], 0, 8);
                x += 7;
                continue;
            }
        }
        bool background = here[x] != 0;
        if (background && here[x] != kShadow) {
            const bool across = (object(here, x - 1) && object(here, x + 1)) ||
                                (object(above, x) && object(below, x)) ||
                                (object(above, x - 1) && object(below, x + 1)) ||
                                (object(above, x + 1) && object(below, x - 1));
            background = !across;
        }
        closed_[std::size_t(x)] = background;
    }
    return closed_.data();
}

}  // namespace zel7
