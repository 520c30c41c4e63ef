#include "refine/outlines.h"

#include <algorithm>
#include <cstdlib>

namespace zel7 {
namespace {

// At most this many rows are measured, every third at least: enough outlines on a
// garment's small picture, and a few milliseconds on a 24-megapixel one.
constexpr int32_t kMostRows = 250;
constexpr int32_t kLeastRowStep = 3;
// An outline is crossed where a step between neighbours (the channels summed) is the
// largest around and at least this (four levels a channel)...
constexpr int kLeastPeak = 12;
// ...taken with the steps of the same sign either side of at least a fifth of it (a
// fifth: JPEG's ringing and the noise break weaker runs)...
constexpr int kRunShare = 5;
// ...and rising by at least this over them all (30 levels a channel): a print's faint
// lines and a cloth's weave are no outlines. Its width is the rise over its steepest
// step: a ramp's length, about two and a half deviations of a Gaussian blur.
constexpr int kLeastRise = 90;
// The quarter of the widths measured that are narrowest is the lens's: the rest are
// parts out of focus and soft shading.
constexpr double kSharpestShare = 0.25;
// Outlines this near the left and right sides are not measured: a frame drawn around
// the picture (DrawnFrame: a few pixels wide, 12 in at most) is sharp whatever the lens,
// and took the sharpest quarter from an enlarged garment.
constexpr int32_t kFrameMargin = 18;

}  // namespace

OutlineWidth::OutlineWidth(int32_t width, int32_t height)
    : width_(width),
      rowStep_(std::max(kLeastRowStep, (height + kMostRows - 1) / kMostRows)),
      levels_(std::size_t(std::max(width, 0))) {}

void OutlineWidth::AddRow(int32_t y, const uint8_t* bgr) {
    if (y % rowStep_ != 0 || width_ < 4) {
        return;
    }
    for (std::size_t x = 0; x < levels_.size(); ++x) {
        levels_[x] = int16_t(bgr[3 * x] + bgr[3 * x + 1] + bgr[3 * x + 2]);
    }
    // step(x) is the rise from pixel x to x + 1.
    const auto step = [&](int32_t x) {
        return levels_[std::size_t(x) + 1] - levels_[std::size_t(x)];
    };
    const int32_t last = width_ - 2;  // the last step
    for (int32_t p = std::max(1, kFrameMargin); p < last - kFrameMargin; ++p) {
        const int peak = std::abs(step(p));
        if (peak < kLeastPeak || peak < std::abs(step(p - 1)) || peak <= std::abs(step(p + 1))) {
            continue;
        }
        const int sign = step(p) > 0 ? 1 : -1;
        int32_t from = p, to = p;
        while (from > 0 && kRunShare * sign * step(from - 1) >= peak) {
            --from;
        }
        while (to < last && kRunShare * sign * step(to + 1) >= peak) {
            ++to;
        }
        const int32_t end = to;
        // The first peak met may be a bump on the outline's flank (noise, JPEG's ringing):
        // the run is measured by its steepest step, its ends trimmed to a fifth of that.
        int steepest = peak;
        for (int32_t k = from; k <= to; ++k) {
            steepest = std::max(steepest, sign * step(k));
        }
        while (kRunShare * sign * step(from) < steepest) {
            ++from;
        }
        while (kRunShare * sign * step(to) < steepest) {
            --to;
        }
        const int rise = sign * (levels_[std::size_t(to) + 1] - levels_[std::size_t(from)]);
        if (rise >= kLeastRise) {
            ++counts_[std::min(kBins - 1, std::size_t(rise * kBinsPerPixel / steepest))];
        }
        p = end;  // an outline counted once
    }
}

double OutlineWidth::Width() const {
    uint64_t total = 0;
    for (const uint64_t count : counts_) {
        total += count;
    }
    if (total == 0) {
        return 0;
    }
    const auto sharpest = uint64_t(kSharpestShare * double(total));
    uint64_t seen = 0;
    std::size_t bin = 0;
    for (; bin + 1 < kBins && seen + counts_[bin] <= sharpest; ++bin) {
        seen += counts_[bin];
    }
    return (double(bin) + 0.5) / kBinsPerPixel;
}

}  // namespace zel7
