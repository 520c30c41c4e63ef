#include "refine/surface.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace zel7 {
namespace {

// Every this many rows and pixels are kept: a ninth of the picture...
constexpr int32_t kLeastSampleStep = 3;
// ...or more sparsely on very large pictures, to keep them within this many bytes.
constexpr double kMostSampleBytes = 8 << 20;

// The surface is fitted in cells of about this many samples a side, at most kMostCells
// across or down: a sweep's fall-off spans the frame, so a few dozen cells follow it,
// and cells of enough samples are not swayed by a speck.
constexpr int32_t kSamplesPerCell = 4;
constexpr int32_t kMostCells = 24;
// A cell's colour is measured from at least this many samples of backdrop in it;
// cells with fewer are carried over from their neighbours.
constexpr std::size_t kLeastCellSamples = 6;
// The backdrop is what the frame reaches over samples within the tolerance of the
// surface as first fitted (a constant: the border's colour), then as fitted again:
// each fit follows a fall-off further. Going by the tolerance alone keeps the fit out
// of a pale object, whose outline may fade to nothing in places.
constexpr int kFits = 3;
// Carrying colours over the cells the object covers: each such cell becomes the mean
// of its neighbours, this many times over, which settles a grid of kMostCells.
constexpr int kSmoothings = 4 * kMostCells * kMostCells;
// The row is classified in pieces of about this many pixels, each against the
// surface's colour at its middle: a few levels of fall-off per cell are then a
// fraction of a level per piece.
constexpr int32_t kPiecesPerCell = 8;
constexpr int32_t kLeastPiece = 16;

}  // namespace

PictureSamples::PictureSamples(int32_t width, int32_t height)
    : width_(width),
      height_(height),
      step_(std::max(kLeastSampleStep,
                     int32_t(std::ceil(std::sqrt(double(width) * height * 3 / kMostSampleBytes))))),
      sampledWidth_(std::size_t(width + step_ - 1) / std::size_t(step_)) {
    colours_.reserve(sampledWidth_ * 3 * std::size_t(Down()));
}

void PictureSamples::AddRow(int32_t y, const uint8_t* bgr) {
    for (int32_t x = 0; y % step_ == 0 && x < width_; x += step_) {
        colours_.insert(colours_.end(), bgr + 3 * x, bgr + 3 * x + 3);
    }
}

const uint8_t* PictureSamples::Row(int32_t y) const {
    return colours_.data() + std::size_t(y / step_) * sampledWidth_ * 3;
}

BackdropSurface::BackdropSurface(const PictureSamples& samples, const Backdrop& border,
                                 Background side, int tolerance)
    : width_(samples.Width()),
      height_(samples.Height()),
      side_(side),
      tolerance_(tolerance),
      border_(border) {
    across_ = std::clamp(samples.Across() / kSamplesPerCell, 1, kMostCells);
    down_ = std::clamp(samples.Down() / kSamplesPerCell, 1, kMostCells);
    const std::array<float, 3> flat = {float(border.colour[0]), float(border.colour[1]),
                                       float(border.colour[2])};
    cells_.assign(std::size_t(across_ * down_), flat);
    for (int fit = 0; fit < kFits; ++fit) {
        FitCells(samples, Reached(samples));
    }
}

ColourRange BackdropSurface::RangeAt(const std::array<uint8_t, 3>& colour, int tolerance) const {
    ColourRange range = ColourRange::Around(colour, tolerance);
    if (side_ == Background::NearWhite) {
        range.high = {255, 255, 255};
    } else {
        range.low = {0, 0, 0};
    }
    return range;
}

std::array<uint8_t, 3> BackdropSurface::At(int32_t x, int32_t y) const {
    const std::array<float, 3> exactly = Exactly(x, y);
    std::array<uint8_t, 3> colour{};
    for (std::size_t c = 0; c < 3; ++c) {
        colour[c] = uint8_t(std::clamp(std::lround(exactly[c]), 0L, 255L));
    }
    return colour;
}

std::array<float, 3> BackdropSurface::Exactly(int32_t x, int32_t y) const {
    // Between the middles of the four cells around, and on along the same slope beyond
    // the outer ones, as a sweep falls off on towards the corners.
    const auto place = [](int32_t at, int32_t size, int32_t cells, int32_t& first, float& share) {
        const float middle = (float(at) + 0.5f) * float(cells) / float(size) - 0.5f;
        first = std::clamp(int32_t(std::floor(middle)), 0, std::max(cells - 2, 0));
        share = cells == 1 ? 0.0f : middle - float(first);
    };
    int32_t left = 0, top = 0;
    float right = 0, below = 0;
    place(x, width_, across_, left, right);
    place(y, height_, down_, top, below);
    const auto cell = [&](int32_t i, int32_t j) {
        return cells_[std::size_t(std::min(j, down_ - 1) * across_ + std::min(i, across_ - 1))];
    };
    std::array<float, 3> colour{};
    for (std::size_t c = 0; c < 3; ++c) {
        const float upper = cell(left, top)[c] * (1 - right) + cell(left + 1, top)[c] * right;
        const float lower =
            cell(left, top + 1)[c] * (1 - right) + cell(left + 1, top + 1)[c] * right;
        colour[c] = upper * (1 - below) + lower * below;
    }
    return colour;
}

bool BackdropSurface::Holds(const uint8_t* bgr, const std::array<uint8_t, 3>& colour) const {
    uint8_t inside = 0;
    kernels::portable::Classify(bgr, 1, RangeAt(colour, tolerance_), 1, &inside);
    return inside != 0;
}

void BackdropSurface::Classify(int32_t y, const uint8_t* bgr, uint8_t mark,
                               uint8_t* classes) const {
    const int32_t piece = std::max(kLeastPiece, width_ / (across_ * kPiecesPerCell));
    for (int32_t x = 0; x < width_; x += piece) {
        const int32_t count = std::min(piece, width_ - x);
        kernels::Classify(bgr + 3 * x, std::size_t(count),
                          RangeAt(At(x + count / 2, y), tolerance_), mark, classes + x);
    }
}

std::vector<uint8_t> BackdropSurface::Reached(const PictureSamples& samples) const {
    const int32_t across = samples.Across(), down = samples.Down(), step = samples.Step();
    std::vector<uint8_t> reached(std::size_t(across) * std::size_t(down));
    std::deque<std::pair<int32_t, int32_t>> next;
    // The frame's samples are backdrop as the border's measure says; those inside
    // must lie within the tolerance of the surface.
    const auto visit = [&](int32_t i, int32_t j, bool frame = false) {
        uint8_t& seen = reached[std::size_t(j) * std::size_t(across) + std::size_t(i)];
        if (seen != 0) {
            return;
        }
        seen = 2;  // looked at; 1 when backdrop
        const uint8_t* pixel = samples.Row(j * step) + 3 * i;
        uint8_t backdrop = 0;
        kernels::portable::Classify(pixel, 1,
                                    frame ? ColourRange::Around(border_.colour, border_.tolerance)
                                          : RangeAt(At(i * step, j * step), tolerance_),
                                    1, &backdrop);
        if (backdrop != 0) {
            seen = 1;
            next.emplace_back(i, j);
        }
    };
    for (int32_t i = 0; i < across; ++i) {
        visit(i, 0, true);
        visit(i, down - 1, true);
    }
    for (int32_t j = 0; j < down; ++j) {
        visit(0, j, true);
        visit(across - 1, j, true);
    }
    while (!next.empty()) {
        const auto [i, j] = next.front();
        next.pop_front();
        if (i > 0)
            visit(i - 1, j);
        if (i + 1 < across)
            visit(i + 1, j);
        if (j > 0)
            visit(i, j - 1);
        if (j + 1 < down)
            visit(i, j + 1);
    }
    return reached;
}

void BackdropSurface::FitCells(const PictureSamples& samples, const std::vector<uint8_t>& reached) {
    const int32_t across = samples.Across(), down = samples.Down(), step = samples.Step();
    std::vector<std::array<std::vector<uint8_t>, 3>> values(cells_.size());
    for (int32_t j = 0; j < down; ++j) {
        const uint8_t* row = samples.Row(j * step);
        const auto cellRow = std::size_t(int64_t(j) * down_ / down) * std::size_t(across_);
        for (int32_t i = 0; i < across; ++i) {
            if (reached[std::size_t(j) * std::size_t(across) + std::size_t(i)] != 1) {
                continue;
            }
            auto& cell = values[cellRow + std::size_t(int64_t(i) * across_ / across)];
            for (std::size_t c = 0; c < 3; ++c) {
                cell[c].push_back(row[3 * i + int32_t(c)]);
            }
        }
    }
    std::vector<bool> known(cells_.size());
    for (std::size_t k = 0; k < cells_.size(); ++k) {
        known[k] = values[k][0].size() >= kLeastCellSamples;
        for (std::size_t c = 0; known[k] && c < 3; ++c) {
            auto& v = values[k][c];
            std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
            cells_[k][c] = v[v.size() / 2];
        }
    }
    if (std::find(known.begin(), known.end(), true) == known.end()) {
        return;  // nothing reached: the border's colour stands
    }
    for (int round = 0; round < kSmoothings; ++round) {
        for (int32_t j = 0; j < down_; ++j) {
            for (int32_t i = 0; i < across_; ++i) {
                const std::size_t k = std::size_t(j * across_ + i);
                if (known[k]) {
                    continue;
                }
                std::array<float, 3> sum{};
                float count = 0;
                for (const auto& [di, dj] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
                    if (i + di < 0 || i + di >= across_ || j + dj < 0 || j + dj >= down_) {
                        continue;
                    }
                    const auto& other = cells_[std::size_t((j + dj) * across_ + i + di)];
                    for (std::size_t c = 0; c < 3; ++c) {
                        sum[c] += other[c];
                    }
                    count += 1;
                }
                for (std::size_t c = 0; c < 3; ++c) {
                    cells_[k][c] = sum[c] / count;
                }
            }
        }
    }
}

}  // namespace zel7
