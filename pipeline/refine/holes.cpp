#include "refine/holes.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace zel7 {
namespace {

// Holes smaller than this are left to --hole-area: their colour says too little.
constexpr uint64_t kLeastHoleArea = 64;
// How far a hole's mean colour may lie from the backdrop's, besides the noise's share.
// On studio shots holes lie within 1.1 levels, labels 1.3 and more away: a hole left
// for object costs less than a label cut out. (On a backdrop that is not flat, the
// backdrop's reach above the quadratic, below, lets a label lighter than the backdrop by
// two or three levels pass for a hole.)
constexpr double kHoleMatch = 0.9;
constexpr double kLeastHoleSamples = 4;
// The backdrop is measured in cells, at most kMostCells across and at least kLeastCell
// pixels wide, of at least kLeastCellSamples samples; a hole is compared with the
// kNearestCells nearest.
constexpr int32_t kMostCells = 8;
constexpr int32_t kLeastCell = 20;
constexpr double kLeastCellSamples = 4;
constexpr std::size_t kNearestCells = 6;
// Pixels this close to a region's rim are left out of its colour.
constexpr int32_t kRim = 2;

}  // namespace

bool FindHoles(RegionLabeller& labels, const PictureSamples& samples, const Backdrop& reference,
               const BackdropSurface* surface) {
    const int32_t width = samples.Width(), height = samples.Height(), step = samples.Step();
    const std::vector<uint64_t> roots = labels.EnclosedRegions(kLeastHoleArea);
    if (roots.empty()) {
        return false;
    }
    bool anyHole = false;
    struct Mean {
        std::array<double, 3> sum{};
        double x = 0, y = 0, count = 0;
        void Add(const uint8_t* pixel, int32_t atX, int32_t atY) {
            for (std::size_t c = 0; c < 3; ++c) {
                sum[c] += pixel[c];
            }
            x += atX, y += atY, count += 1;
        }
        double Of(std::size_t c) const { return sum[c] / count; }
    };
    std::vector<Mean> regions(roots.size());
    // Cells of at least kLeastCell pixels a side, so that small pictures have some.
    const auto across =
        std::size_t(std::clamp<int32_t>(std::min(width, height) / kLeastCell, 1, kMostCells));
    std::vector<Mean> cells(across * across);
    std::vector<uint64_t> above(static_cast<std::size_t>(width)), below(above.size());
    const auto rootsOf = [&](int32_t y, std::vector<uint64_t>& at) {
        if (y < 0 || y >= height) {
            std::fill(at.begin(), at.end(), UINT64_MAX);
            return;
        }
        labels.ForEachRun(y, [&](int32_t start, int32_t stop, uint64_t root, bool) {
            std::fill(at.begin() + start, at.begin() + stop, root);
        });
    };
    struct Piece {
        int32_t start, stop;
        std::size_t region;
    };
    std::vector<Piece> pieces;  // of the row's runs in candidate regions
    for (int32_t y = 0; y < height; y += step) {
        const uint8_t* row = samples.Row(y);
        const auto cellRow = std::size_t(int64_t(y) * int64_t(across) / height) * across;
        pieces.clear();
        labels.ForEachRun(y, [&](int32_t start, int32_t stop, uint64_t root, bool background) {
            // The backdrop's colour near a hole comes from the surface when there is
            // one; only without it is it measured here.
            if (background) {
                for (int32_t x = (start + step - 1) / step * step; surface == nullptr && x < stop;
                     x += step) {
                    const uint8_t* pixel = row + 3 * (x / step);
                    if (IsBackdropColoured(pixel, reference)) {  // not a shadow
                        cells[cellRow + std::size_t(int64_t(x) * int64_t(across) / width)].Add(
                            pixel, x, y);
                    }
                }
                return;
            }
            const auto found = std::lower_bound(roots.begin(), roots.end(), root);
            if (found != roots.end() && *found == root) {
                pieces.push_back({start, stop, std::size_t(found - roots.begin())});
            }
        });
        if (pieces.empty()) {
            continue;
        }
        // A region's rim is mixed with the object around it: it is left out, sideways
        // by the run's ends, up and down by the regions kRim rows away.
        rootsOf(y - kRim, above);
        rootsOf(y + kRim, below);
        for (const Piece& piece : pieces) {
            const uint64_t root = roots[piece.region];
            for (int32_t x = (piece.start + kRim + step - 1) / step * step; x < piece.stop - kRim;
                 x += step) {
                if (above[std::size_t(x)] == root && below[std::size_t(x)] == root) {
                    regions[piece.region].Add(row + 3 * (x / step), x, y);
                }
            }
        }
    }
    std::erase_if(cells, [](const Mean& cell) { return cell.count < kLeastCellSamples; });
    const double deviation = NoiseDeviation(reference);
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const Mean& region = regions[i];
        const std::size_t nearest = std::min(kNearestCells, cells.size());
        if (region.count < kLeastHoleSamples || (nearest == 0 && surface == nullptr)) {
            continue;
        }
        const double x = region.x / region.count, y = region.y / region.count;
        // The backdrop behind the object lies between what the surface carried over it
        // says (a mean of the cells around, which never rises above them where a sweep
        // peaks under the object) and what a quadratic fitted to them says (which
        // overshoots a sweep flattening at its top); on a flat backdrop the two agree.
        // A light peaking more sharply than a quadratic rises past it, as far again as
        // the quadratic rises above the carried cells (a ring's hole on a lit sweep lay
        // 1.8 levels above the quadratic, itself 4.8 above the carried cells).
        std::array<double, 3> low{}, high{};
        if (surface != nullptr) {
            const auto carried = surface->Exactly(int32_t(x), int32_t(y));
            const auto fitted = surface->Behind(int32_t(x), int32_t(y));
            for (std::size_t c = 0; c < 3; ++c) {
                low[c] = std::min(carried[c], fitted[c]);
                high[c] = std::max(carried[c], fitted[c]) + std::max(fitted[c] - carried[c], 0.0f);
            }
        } else {
            const auto distance = [&](const Mean& cell) {
                return std::hypot(cell.x / cell.count - x, cell.y / cell.count - y);
            };
            std::partial_sort(
                cells.begin(), cells.begin() + std::ptrdiff_t(nearest), cells.end(),
                [&](const Mean& a, const Mean& b) { return distance(a) < distance(b); });
            for (std::size_t c = 0; c < 3; ++c) {
                double sum = 0;
                for (std::size_t k = 0; k < nearest; ++k) {
                    sum += cells[k].Of(c);
                }
                low[c] = high[c] = sum / double(nearest);
            }
        }
        bool matches = true;
        const double allowed = kHoleMatch + 2 * deviation / std::sqrt(region.count);
        for (std::size_t c = 0; c < 3; ++c) {
            matches =
                matches && region.Of(c) >= low[c] - allowed && region.Of(c) <= high[c] + allowed;
        }
        if (matches) {
            labels.MakeBackground(roots[i]);
            anyHole = true;
        }
    }
    return anyHole;
}

}  // namespace zel7
