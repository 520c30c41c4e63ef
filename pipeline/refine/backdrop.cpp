#include "refine/backdrop.h"

#include <algorithm>
#include <cmath>

#include "mask/kernels.h"

namespace zel7 {
namespace {

constexpr int32_t kFrameDepth = 2;  // pixels taken from each edge
constexpr int kBinShift = 4;        // 16 levels a bin, 4096 bins
constexpr int kBins = 256 >> kBinShift;
// Pixels this far from the commonest colour's bin centre can be the backdrop.
constexpr int kNear = 24;
// A tolerance below this would call a soft shadow (some 10 levels off) object.
constexpr int kLeastTolerance = 12;
constexpr int kMostTolerance = 60;
// What a white or black backdrop can look like: a grey tinted by at most kMostTint
// between channels, at least kLeastWhite or at most kMostBlack in every one.
constexpr int kMostTint = 48;
constexpr int kLeastWhite = 144;
constexpr int kMostBlack = 112;
// The noise is measured by second differences along the frame's rows, a pixel less
// twice its neighbour kNoiseLag along plus the next as far: a backdrop's gradient
// cancels, and JPEG, which smooths noise over neighbouring pixels, hardly narrows it
// at that distance. For noise of deviation s they average sqrt(6) sqrt(2 / pi) s; the
// tolerance is four deviations of the noisiest channel (one clean pixel in some ten
// thousand left as object, a speck that despeckling takes) and one level for rounding...
constexpr int32_t kNoiseLag = 2;
constexpr double kSecondDifferencePerDeviation = 1.954;
constexpr double kNoiseDeviations = 4;
// ...and at least this: JPEG's rounding moves even a clipped, noiseless backdrop by a
// level. Two on white, so that a white object three levels off a clean backdrop stays
// object; three on black, whose dark tones JPEG quantises more coarsely than the
// frame's second differences show (with two, the development photos' dark products
// kept a fringe of the backdrop).
constexpr int kLeastNoiseTolerance[] = {2, 3};  // white, black

int Distance(const uint8_t* bgr, const std::array<int, 3>& colour) {
    int most = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        most = std::max(most, std::abs(int(bgr[c]) - colour[c]));
    }
    return most;
}

}  // namespace

void ClassifyPixels(const uint8_t* pixels, int32_t count, const Backdrop& reference, uint8_t mark,
                    uint8_t* classes) {
    if (count <= 0) {
        return;
    }
    kernels::Classify(pixels, std::size_t(count),
                      ColourRange::Around(reference.colour, reference.tolerance), mark, classes);
}

BorderSample::BorderSample(int32_t width, int32_t height) : width_(width), height_(height) {}

void BorderSample::AddRow(int32_t y, const uint8_t* bgr) {
    if (y < kFrameDepth || y >= height_ - kFrameDepth) {
        pixels_.insert(pixels_.end(), bgr, bgr + std::size_t(width_) * 3);
        for (int32_t x = 2 * kNoiseLag; x < width_; ++x) {
            for (std::size_t c = 0; c < 3; ++c) {
                const int second = std::abs(bgr[3 * x + c] - 2 * bgr[3 * (x - kNoiseLag) + c] +
                                            bgr[3 * (x - 2 * kNoiseLag) + c]);
                if (second <= kNear) {
                    secondDifferences_[c] += uint64_t(second);
                    ++counted_[c];
                }
            }
        }
        return;
    }
    const int32_t depth = std::min(kFrameDepth, width_);
    pixels_.insert(pixels_.end(), bgr, bgr + depth * 3);
    pixels_.insert(pixels_.end(), bgr + (width_ - depth) * 3, bgr + width_ * 3);
}

int BorderSample::NoiseTolerance(Background side) const {
    double deviation = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        if (counted_[c] > 0) {
            deviation = std::max(deviation, double(secondDifferences_[c]) / double(counted_[c]) /
                                                kSecondDifferencePerDeviation);
        }
    }
    const auto noise = int(std::lround(kNoiseDeviations * deviation)) + 1;
    return std::clamp(noise, kLeastNoiseTolerance[side == Background::NearWhite ? 0 : 1],
                      kMostTolerance);
}

Backdrop BorderSample::Estimate(std::optional<Background> side) const {
    const std::size_t count = pixels_.size() / 3;
    if (count == 0) {
        return {};
    }
    std::vector<uint32_t> bins(kBins * kBins * kBins);
    const auto bin = [](int b, int g, int r) { return (b * kBins + g) * kBins + r; };
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* p = &pixels_[i * 3];
        ++bins[std::size_t(bin(p[0] >> kBinShift, p[1] >> kBinShift, p[2] >> kBinShift))];
    }
    // The bin with the most pixels in and around it: a backdrop whose noise straddles
    // a bin boundary still wins. Only greys of the side's end count while there are any.
    const auto fits = [&](int b, int g, int r) {
        const int low = std::min({b, g, r}) << kBinShift, high = std::max({b, g, r}) << kBinShift;
        const bool neutral = high - low <= kMostTint;
        const bool white = low >= kLeastWhite && side != Background::NearBlack;
        const bool black = high <= kMostBlack && side != Background::NearWhite;
        return neutral && (white || black);
    };
    uint64_t best = 0;
    std::array<int, 3> centre{};
    bool bestFits = false;
    for (int b = 0; b < kBins; ++b) {
        for (int g = 0; g < kBins; ++g) {
            for (int r = 0; r < kBins; ++r) {
                const bool fitting = fits(b, g, r);
                if (bins[std::size_t(bin(b, g, r))] == 0 || (bestFits && !fitting)) {
                    continue;
                }
                uint64_t around = 0;
                for (int db = std::max(b - 1, 0); db <= std::min(b + 1, kBins - 1); ++db) {
                    for (int dg = std::max(g - 1, 0); dg <= std::min(g + 1, kBins - 1); ++dg) {
                        for (int dr = std::max(r - 1, 0); dr <= std::min(r + 1, kBins - 1); ++dr) {
                            around += bins[std::size_t(bin(db, dg, dr))];
                        }
                    }
                }
                if (around > best || (fitting && !bestFits)) {
                    best = around;
                    bestFits = fitting;
                    const int half = 1 << (kBinShift - 1);
                    centre = {(b << kBinShift) + half, (g << kBinShift) + half,
                              (r << kBinShift) + half};
                }
            }
        }
    }
    // Each channel's median over the pixels near it is the backdrop's colour...
    std::array<std::vector<uint8_t>, 3> channels;
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* p = &pixels_[i * 3];
        if (Distance(p, centre) <= kNear) {
            for (std::size_t c = 0; c < 3; ++c) {
                channels[c].push_back(p[c]);
            }
        }
    }
    Backdrop backdrop;
    std::array<int, 3> colour{};
    for (std::size_t c = 0; c < 3; ++c) {
        auto& values = channels[c];
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        colour[c] = values[values.size() / 2];
        backdrop.colour[c] = uint8_t(colour[c]);
    }
    // ...and the median difference from it measures the noise: for noise of deviation
    // s in each channel the largest of three differences has a median of 1.3 s, so
    // four times it leaves about one pixel in 100,000 of clean backdrop out.
    // The medians of scattered border colours can make a colour no border pixel lies
    // near; the noise is then as wide as the pixels that chose the colour, which lie
    // within kNear of the bin's centre and so within twice that of the colour.
    std::vector<uint8_t> differences;
    for (const bool chosenOnly : {false, true}) {
        for (std::size_t i = 0; i < count; ++i) {
            const uint8_t* p = &pixels_[i * 3];
            const int difference = Distance(p, colour);
            if (chosenOnly ? Distance(p, centre) <= kNear : difference <= kNear) {
                differences.push_back(uint8_t(difference));
            }
        }
        if (!differences.empty()) {
            break;
        }
    }
    std::nth_element(differences.begin(), differences.begin() + differences.size() / 2,
                     differences.end());
    const int typical = differences[differences.size() / 2];
    backdrop.tolerance = std::clamp(4 * typical + 2, kLeastTolerance, kMostTolerance);
    return backdrop;
}

}  // namespace zel7
