#include "refine/ringing.h"

#include <algorithm>
#include <cstring>

#include "refine/words.h"

namespace zel7 {

Ringing::Ringing(int32_t width, int32_t height, const BackdropSurface& surface)
    : surface_(surface),
      width_(width),
      height_(height),
      cellsAcross_((width + kCell - 1) / kCell),
      cellsDown_((height + kCell - 1) / kCell),
      colours_(std::size_t(kRows) * 3 * std::size_t(width)),
      classes_(std::size_t(kRows) * std::size_t(width)),
      apart_(classes_.size()),
      strongest_(std::size_t(cellsAcross_) * std::size_t(cellsDown_)),
      faintest_(strongest_.size()),
      around_(strongest_.size()),
      body_(strongest_.size()),
      joined_(std::size_t(2 * kBodyReach + 1) * std::size_t(cellsAcross_)) {}

void Ringing::AddRow(int32_t y, const uint8_t* bgr, const uint8_t* classes) {
    const auto slot = std::size_t(y % kRows), width = std::size_t(width_);
    std::memcpy(&colours_[slot * 3 * width], bgr, 3 * width);
    std::memcpy(&classes_[slot * width], classes, width);
    uint8_t* apart = &apart_[slot * width];
    const std::size_t cells = std::size_t(y / kCell) * std::size_t(cellsAcross_);
    uint8_t* strongest = &strongest_[cells];
    uint8_t* faintest = &faintest_[cells];
    // How far each object pixel lies from the backdrop on the object's side (darker on
    // white, lighter on black: a highlight, lighter than white, is lit where its object is
    // not), in stretches of cells with object pixels; the backdrop's own pixels, most of
    // a row, count as none.
    const auto allBackdrop = [&](int32_t x) {
        return x + kCell <= width_ && !HasZeroByte(Word(classes + x));
    };
    for (int32_t x = 0; x < width_;) {
        if (allBackdrop(x)) {
            std::memset(apart + x, 0, std::size_t(kCell));
            x += kCell;
            continue;
        }
        int32_t end = x;
        while (end < width_ && !allBackdrop(end)) {
            end = std::min(end + kCell, width_);
        }
        surface_.Apart(y, bgr, x, end, apart);
        for (; x < end; x += kCell) {
            uint8_t strong = strongest[x / kCell], faint = faintest[x / kCell];
            for (int32_t at = x; at < std::min(x + kCell, end); ++at) {
                apart[at] = classes[at] == 0 ? apart[at] : uint8_t{0};
                strong = std::max(strong, apart[at]);
                faint = apart[at] <= kMostRipple ? std::max(faint, apart[at]) : faint;
            }
            strongest[x / kCell] = strong;
            faintest[x / kCell] = faint;
        }
    }
    // Cell rows are judged once those kRippleReach below are whole, and rows settled once
    // the cell rows kBodyReach below theirs are judged.
    const bool last = y + 1 == height_;
    const int32_t whole = last ? cellsDown_ : (y + 1) / kCell;
    for (; judged_ < (last ? cellsDown_ : whole - kRippleReach); ++judged_) {
        Judge(judged_);
    }
    ready_ = last ? height_ : std::max(ready_, (judged_ - kBodyReach) * kCell);
}

void Ringing::Judge(int32_t j) {
    const std::size_t first = std::size_t(j) * std::size_t(cellsAcross_);
    for (int32_t i = 0; i < cellsAcross_; ++i) {
        const std::size_t k = first + std::size_t(i);
        if (faintest_[k] == 0) {
            continue;  // (no faint pixel: neither body nor ripple)
        }
        uint8_t most = 0;
        for (int32_t n = std::max(j - kRippleReach, 0);
             n <= std::min(j + kRippleReach, cellsDown_ - 1); ++n) {
            const uint8_t* row = &strongest_[std::size_t(n) * std::size_t(cellsAcross_)];
            for (int32_t m = std::max(i - kRippleReach, 0);
                 m <= std::min(i + kRippleReach, cellsAcross_ - 1); ++m) {
                most = std::max(most, row[m]);
            }
        }
        around_[k] = most;
        body_[k] = faintest_[k] * kRippleShare > most;
    }
}

const uint8_t* Ringing::Colours(int32_t y) const {
    return &colours_[std::size_t(y % kRows) * 3 * std::size_t(width_)];
}

void Ringing::Join(int32_t j) {
    // The cells with a faint pixel in the cell rows within kBodyReach of j, flooded from
    // the bodies among them.
    const int32_t top = j - kBodyReach, across = cellsAcross_;
    std::fill(joined_.begin(), joined_.end(), 0);
    next_.clear();
    const auto at = [&](int32_t n, int32_t i) {
        return std::size_t(n) * std::size_t(across) + std::size_t(i);
    };
    for (int32_t n = std::max(top, 0); n <= std::min(j + kBodyReach, cellsDown_ - 1); ++n) {
        for (int32_t i = 0; i < across; ++i) {
            if (body_[at(n, i)] != 0) {
                joined_[at(n - top, i)] = 1;
                next_.push_back(at(n - top, i));
            }
        }
    }
    const int32_t rows = int32_t(joined_.size()) / across;
    while (!next_.empty()) {
        const std::size_t k = next_.back();
        next_.pop_back();
        const int32_t n = int32_t(k) / across, i = int32_t(k) % across;
        for (int32_t dn = -1; dn <= 1; ++dn) {
            for (int32_t di = -1; di <= 1; ++di) {
                const int32_t nn = n + dn, ii = i + di, row = top + nn;
                if (nn < 0 || nn >= rows || ii < 0 || ii >= across || row < 0 ||
                    row >= cellsDown_ || joined_[at(nn, ii)] != 0 || faintest_[at(row, ii)] == 0) {
                    continue;
                }
                joined_[at(nn, ii)] = 1;
                next_.push_back(at(nn, ii));
            }
        }
    }
}

uint8_t* Ringing::Settle(int32_t y, uint8_t mark) {
    const int32_t j = y / kCell;
    if (j != joinedRow_) {
        Join(j);
        joinedRow_ = j;
    }
    const auto slot = std::size_t(y % kRows), width = std::size_t(width_);
    uint8_t* classes = &classes_[slot * width];
    const uint8_t* apart = &apart_[slot * width];
    const std::size_t first = std::size_t(j) * std::size_t(cellsAcross_);
    const uint8_t* around = &around_[first];
    const uint8_t* faintest = &faintest_[first];
    for (int32_t i = 0; i < cellsAcross_; ++i) {
        // (only cells with a faint pixel, and none joined to a body)
        if (faintest[i] == 0 || joined_[std::size_t(kBodyReach * cellsAcross_ + i)]) {
            continue;
        }
        for (int32_t x = i * kCell; x < std::min((i + 1) * kCell, width_); ++x) {
            const int off = apart[x];
            if (classes[x] == 0 && off > 0 && off <= kMostRipple &&
                off * kRippleShare <= around[i]) {
                classes[x] = mark;
            }
        }
    }
    return classes;
}

}  // namespace zel7
