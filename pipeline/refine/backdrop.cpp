#include "refine/backdrop.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "mask/kernels.h"

namespace zel7 {
namespace {

constexpr int32_t kFrameDepth = 2;  // pixels taken from each edge
// A drawn frame is looked for this many pixels in from each edge at most, and an eighth of
// the picture's shorter side, the backdrop measured on the kFrameDepth lines inside it.
constexpr int32_t kMostDrawnFrame = 12;
// A line of a drawn frame: this share of its pixels within kLineSpread of its median in
// every channel (its ends cross the frame's other sides and the margin), and further than
// kFrameContrast from the lines on either side of it, which JPEG's ringing does not reach.
constexpr double kLeastLineShare = 0.9;
constexpr int kLineSpread = 16;
constexpr int kFrameContrast = 32;
// A drawn frame's lines: a rule a few pixels wide (a product standing a few pixels in from
// every edge is not one).
constexpr int32_t kMostFrameLines = 4;
constexpr int kBinShift = 4;  // 16 levels a bin, 4096 bins
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

int Distance(const std::array<int, 3>& a, const std::array<int, 3>& b) {
    return std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]), std::abs(a[2] - b[2])});
}

// Whether a lies nearer to b than to c, over the three channels.
bool Nearer(const std::array<int, 3>& a, const std::array<int, 3>& b, const std::array<int, 3>& c) {
    int toB = 0, toC = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        toB += std::abs(a[i] - b[i]);
        toC += std::abs(a[i] - c[i]);
    }
    return toB < toC;
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

void DrawnFrame::Paint(int32_t y, int32_t width, int32_t height,
                       const std::array<uint8_t, 3>& colour, uint8_t* bgr) const {
    const bool whole = y < top || y >= height - bottom;
    for (int32_t x = 0; x < width; x = x + 1 == left && !whole ? width - right : x + 1) {
        std::memcpy(bgr + 3 * std::size_t(x), colour.data(), 3);
    }
}

BorderSample::BorderSample(int32_t width, int32_t height)
    : width_(width),
      height_(height),
      depth_(std::min({kMostDrawnFrame, std::min(width, height) / 8})) {
    top_.reserve(std::size_t(depth_) * std::size_t(width) * 3);
    bottom_.resize(top_.capacity());
    left_.reserve(std::size_t(depth_) * std::size_t(height) * 3);
    right_.reserve(left_.capacity());
}

void BorderSample::AddRow(int32_t y, const uint8_t* bgr) {
    const std::size_t rowBytes = std::size_t(width_) * 3, depthBytes = std::size_t(depth_) * 3;
    if (y < depth_) {
        top_.insert(top_.end(), bgr, bgr + rowBytes);
    }
    if (height_ - 1 - y < depth_) {
        std::memcpy(bottom_.data() + std::size_t(height_ - 1 - y) * rowBytes, bgr, rowBytes);
    }
    left_.insert(left_.end(), bgr, bgr + depthBytes);
    for (int32_t d = 0; d < depth_; ++d) {
        right_.insert(right_.end(), bgr + 3 * std::size_t(width_ - 1 - d),
                      bgr + 3 * std::size_t(width_ - d));
    }
    Collect(y, bgr, {});
}

void BorderSample::Collect(int32_t y, const uint8_t* bgr, const DrawnFrame& inside) {
    if (y < inside.top || y >= height_ - inside.bottom) {
        return;
    }
    const int32_t from = inside.left, to = width_ - inside.right;
    if (y < inside.top + kFrameDepth || y >= height_ - inside.bottom - kFrameDepth) {
        pixels_.insert(pixels_.end(), bgr + 3 * std::size_t(from), bgr + 3 * std::size_t(to));
        for (int32_t x = from + 2 * kNoiseLag; x < to; ++x) {
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
    const int32_t depth = std::min(kFrameDepth, to - from);
    pixels_.insert(pixels_.end(), bgr + 3 * from, bgr + (from + depth) * 3);
    pixels_.insert(pixels_.end(), bgr + (to - depth) * 3, bgr + to * 3);
}

std::vector<uint8_t> BorderSample::Line(int edge, int32_t d) const {
    if (edge < 2) {
        const auto& rows = edge == 0 ? top_ : bottom_;
        const auto begin = rows.begin() + std::ptrdiff_t(d) * width_ * 3;
        return {begin, begin + width_ * 3};
    }
    std::vector<uint8_t> line;
    const auto& columns = edge == 2 ? left_ : right_;
    for (int32_t y = 0; y < height_; ++y) {
        const auto at = columns.begin() + (std::ptrdiff_t(y) * depth_ + d) * 3;
        line.insert(line.end(), at, at + 3);
    }
    return line;
}

DrawnFrame BorderSample::LookInsideFrame(std::optional<Background> side) {
    if (depth_ < 2 + kFrameDepth) {  // a margin, a line and the backdrop's lines
        return {};
    }
    // Each line's median colour, and whether most of it lies near that.
    struct Seen {
        std::array<int, 3> median;
        bool even;
    };
    const auto look = [&](int edge, int32_t d) {
        std::vector<uint8_t> line = Line(edge, d);
        const std::size_t count = line.size() / 3;
        Seen seen{};
        std::vector<uint8_t> channel(count);
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t i = 0; i < count; ++i) {
                channel[i] = line[3 * i + c];
            }
            std::nth_element(channel.begin(), channel.begin() + std::ptrdiff_t(count / 2),
                             channel.end());
            seen.median[c] = channel[count / 2];
        }
        std::size_t near = 0;
        for (std::size_t i = 0; i < count; ++i) {
            near += Distance(&line[3 * i], seen.median) <= kLineSpread;
        }
        seen.even = double(near) >= kLeastLineShare * double(count);
        return seen;
    };
    const auto within = [](const std::array<int, 3>& a, const std::array<int, 3>& b, int most) {
        return Distance(a, b) <= most;
    };
    const auto apart = [&](const std::array<int, 3>& a, const std::array<int, 3>& b) {
        return !within(a, b, kFrameContrast);
    };
    // Whether a lies between b and c in every channel, apart from both: a line the lens or
    // JPEG blended from the two beside it.
    const auto blend = [&](const std::array<int, 3>& a, const std::array<int, 3>& b,
                           const std::array<int, 3>& c) {
        bool between = apart(a, b) && apart(a, c);
        for (std::size_t i = 0; i < 3; ++i) {
            between = between && a[i] >= std::min(b[i], c[i]) && a[i] <= std::max(b[i], c[i]);
        }
        return between;
    };
    // On each side, the frame's even lines of one colour (within kLineSpread), at most
    // kMostFrameLines of them, with a line on either side where the lens or JPEG blended
    // it with its neighbour; inside it, the backdrop's lines, flat and apart from it.
    // Outside it, a margin of even lines of another colour; or, on a side known, none.
    // Where the side is known, the frame is darker than the backdrop inside it on white
    // and lighter on black; where not, that backdrop is the margin's colour. (A product
    // standing a few pixels in from every edge, its outline blurred, would otherwise pass
    // for a frame, and the backdrop be measured on it.)
    std::array<int32_t, 4> reach{};
    std::optional<std::array<int, 3>> colour;
    for (int edge = 0; edge < 4; ++edge) {
        std::vector<Seen> lines;
        for (int32_t d = 0; d < depth_; ++d) {
            lines.push_back(look(edge, d));
        }
        const auto median = [&](int32_t d) -> const std::array<int, 3>& {
            return lines[std::size_t(d)].median;
        };
        // Where the frame starting at line first ends, if it is one.
        const auto frameFrom = [&](int32_t first) -> std::optional<int32_t> {
            const std::array<int, 3>& of = median(first);
            if (!lines[std::size_t(first)].even || (colour && apart(*colour, of))) {
                return std::nullopt;
            }
            int32_t end = first + 1;
            while (end < depth_ && lines[std::size_t(end)].even &&
                   within(of, median(end), kLineSpread)) {
                ++end;
            }
            // (JPEG's ringing can lift a blended line past the frame's colour: nearer
            // to it than to the line inside is enough)
            if (end + 1 < depth_ && (blend(median(end), of, median(end + 1)) ||
                                     Nearer(median(end), of, median(end + 1)))) {
                ++end;
            }
            if (end - first > kMostFrameLines + 1 || end + kFrameDepth > depth_ ||
                !apart(of, median(end)) || !within(median(end), median(end + 1), kLineSpread)) {
                return std::nullopt;
            }
            return end;
        };
        int32_t margin = 1;
        while (margin < depth_ && lines[std::size_t(margin)].even &&
               !apart(median(0), median(margin))) {
            ++margin;
        }
        int32_t first = margin;
        std::optional<int32_t> end;
        if (lines[0].even && margin + 1 < depth_) {
            first += blend(median(margin), median(0), median(margin + 1));
            end = frameFrom(first);
        }
        if (!end && side) {
            end = frameFrom(first = 0);
        }
        if (!end) {
            return {};
        }
        if (side) {
            int frame = 0, inside = 0;
            for (std::size_t c = 0; c < 3; ++c) {
                frame += median(first)[c];
                inside += median(*end)[c];
            }
            if ((frame < inside) != (*side == Background::NearWhite)) {
                return {};
            }
        } else if (first == 0 || apart(median(0), median(*end))) {
            return {};
        }
        colour = median(first);
        reach[std::size_t(edge)] = *end;
    }
    const DrawnFrame frame{reach[0], reach[1], reach[2], reach[3]};
    // The backdrop measured again, on the lines inside the frame.
    pixels_.clear();
    secondDifferences_ = {};
    counted_ = {};
    std::vector<uint8_t> row(std::size_t(width_) * 3);
    for (int32_t y = frame.top; y < height_ - frame.bottom; ++y) {
        const bool whole = y < frame.top + kFrameDepth || y >= height_ - frame.bottom - kFrameDepth;
        if (whole) {
            const auto& rows = y < depth_ ? top_ : bottom_;
            const int32_t line = y < depth_ ? y : height_ - 1 - y;
            std::memcpy(row.data(), rows.data() + std::size_t(line) * row.size(), row.size());
        } else {
            for (int32_t d = 0; d < depth_; ++d) {
                std::memcpy(&row[3 * std::size_t(d)], &left_[(std::size_t(y) * depth_ + d) * 3], 3);
                std::memcpy(&row[3 * std::size_t(width_ - 1 - d)],
                            &right_[(std::size_t(y) * depth_ + d) * 3], 3);
            }
        }
        Collect(y, row.data(), frame);
    }
    return frame;
}

int SpreadTolerance(int typical) {
    return std::clamp(4 * typical + 2, kLeastTolerance, kMostTolerance);
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

Backdrop BorderSample::Estimate(std::optional<Background> side, bool* offSide) const {
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
    if (offSide != nullptr) {
        *offSide = side && !bestFits;
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
    backdrop.tolerance = SpreadTolerance(typical);
    return backdrop;
}

}  // namespace zel7
