#include "refine/edges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

namespace zel7 {
namespace {

// The object's colour is the mean of the object pixels nearby at least 80% as far from
// the backdrop as the farthest, so that one noisy pixel does not decide it (this is that
// share squared, as distances are compared squared)...
constexpr float kObjectShareSquared = 0.64f;
// ...but where the band is JPEG's and a sharp lens's (kEdge), the mean of those past the
// band, at least 40% as far as the farthest of them: a textured object's edge is mixed of
// its typical colour, not of its lightest or darkest spots (taken from the farthest fifth,
// a pineapple's rim or a cabbage's veins were unmixed against their brightest scales and
// read as less than half object), and within the band lie the blends of the edge itself.
// What lies past the band stands for the object only where it lies about as far from the
// backdrop as the farthest object pixel nearby (by kObjectShareSquared): past a dark rim
// may lie a pale label or a lighter body, and as the window reaches a pixel past the band,
// what lies past it by the window's count may be the far side of a thin part, blended
// too. A soft lens's band fills the window: there the farthest fifth decides (blurred
// straps were unmixed against their far sides' blends).
constexpr float kPastBandShareSquared = 0.16f;
// The points an edge pixel reads across where the band is kEdge.
constexpr int32_t kSharpAcross = 2 * (kEdge + 1) + 1;
// With no object colour at least this many times the tolerance, and this many levels,
// off the backdrop nearby, an edge pixel is a pale object's rim or a shadow's fringe,
// and its alpha says only how far it stands out beyond the tolerance.
constexpr int kContrastPerTolerance = 2;
constexpr int kLeastContrast = 8;
// Unmixing divides the noise by alpha: below this alpha the colour leans on the
// object's colour instead, more so the fainter the pixel.
constexpr float kFullTrustAlpha = 0.5f;
// The band of edge pixels per outline width (EdgeBand), for outlines at least this wide:
// narrower ones are JPEG's and a sharp lens's, which kEdge serves (widened for them too,
// the development photos lost 0.0015 of their IoU: their masks are drawn around a blur's
// outer edge, where its coverage is a third).
constexpr double kBandPerWidth = 1.2;
constexpr double kLeastSoftWidth = 3;

}  // namespace

int32_t EdgeBand(double width) {
    return width < kLeastSoftWidth
               ? kEdge
               : std::clamp(int32_t(std::ceil(kBandPerWidth * width)), kEdge, kMostEdge);
}

RowWindow::RowWindow(int32_t width, int32_t height, int32_t rowStride, int32_t band,
                     int32_t stripeRows)
    : width_(width),
      height_(height),
      band_(std::clamp(band, 1, kMostEdge)),  // (EdgeAlpha's room holds that band's window)
      // A stripe's rows, from top to end, and a reach either side: its edges are found
      // and unmixed once the rows to end + Reach() are in, and the finder uncounts the row
      // a reach above each (so 2 Reach() + stripeRows rows, and the next stripe's rows
      // come in over those a reach above this one).
      colours_(std::size_t(2 * Reach() + std::max(stripeRows, 1)),
               std::vector<uint8_t>(std::size_t(rowStride))),
      coverage_(colours_.size(), std::vector<uint8_t>(std::size_t(width))) {}

EdgeColours::EdgeColours(int32_t width, int32_t height, std::size_t mostBytes, int32_t band,
                         std::size_t chunkBytes)
    : width_(width),
      height_(height),
      near_(2 * band + 1),
      mostBytes_(mostBytes),
      rows_(std::size_t(near_ + 1), std::vector<uint8_t>(3 * std::size_t(width))),
      extents_(std::size_t(2 * near_ + 1)),
      askedRows_(std::size_t(near_ + 1)),
      askedExtents_(std::size_t(near_ + 1)),
      previous_(std::size_t(width)),
      lastNear_(std::size_t(width), INT32_MIN / 2),
      chunkBytes_(std::max(chunkBytes, 3 * std::size_t(width))) {
    firstSpan_.push_back(0);
}

void EdgeColours::AddRow(int32_t y, const uint8_t* bgr, const uint8_t* classes,
                         const uint8_t* also) {
    if (over_) {
        return;
    }
    const auto slot = std::size_t(y % (near_ + 1));
    std::copy_n(bgr, 3 * std::size_t(width_), rows_[slot].begin());
    // The pixels asked for besides, and where they lie.
    Extent& asked = askedExtents_[slot];
    asked = {width_, 0};
    if (also != nullptr || askedRows_[slot].empty()) {
        askedRows_[slot].assign(std::size_t(width_), 0);
    }
    for (int32_t x = 0; also != nullptr && x < width_; ++x) {
        if (also[x] != 0) {
            askedRows_[slot][std::size_t(x)] = 1;
            asked = {std::min(asked.start, x), x + 1};
        }
    }
    // The row's changes, left to right, each marked on its left or lower pixel: to the
    // next pixel, or from the pixel above. The classes are compared eight at a time, as
    // most of a row is one class. Each change marks the columns within near_ of it as
    // near one in this row.
    Extent& extent = extents_[std::size_t(y % (2 * near_ + 1))];
    extent = {width_, 0};
    const auto word = [](const uint8_t* at) {
        uint64_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    };
    int32_t marked = 0;  // columns before this are marked already
    for (int32_t x = 0; x < width_; x += 8) {
        const int32_t end = std::min(x + 8, width_);
        if (x + 9 <= width_ && word(classes + x) == word(classes + x + 1) &&
            (y == 0 || word(classes + x) == word(previous_.data() + x))) {
            continue;
        }
        for (int32_t at = x; at < end; ++at) {
            if ((at + 1 < width_ && classes[at] != classes[at + 1]) ||
                (y > 0 && classes[at] != previous_[std::size_t(at)])) {
                const int32_t from = std::max({at - near_, marked, 0});
                const int32_t to = std::min(at + near_ + 1, width_);
                std::fill(lastNear_.begin() + from, lastNear_.begin() + to, y);
                marked = std::max(marked, to);
                extent = {std::min(extent.start, std::max(at - near_, 0)), to};
            }
        }
    }
    std::copy_n(classes, std::size_t(width_), previous_.begin());
    if (y >= near_) {
        Keep(y - near_);
    }
    if (y + 1 == height_) {
        for (int32_t last = std::max(height_ - near_, 0); last < height_; ++last) {
            Keep(last);
        }
    }
}

// Row y's pixels near a change in a row within near_ of it, in spans: those whose
// column was last near one no further up than that, looked for where any was.
void EdgeColours::Keep(int32_t y) {
    const auto slot = std::size_t(y % (near_ + 1));
    Extent within = askedExtents_[slot];
    for (int32_t row = std::max(y - near_, 0); row <= std::min(y + near_, height_ - 1); ++row) {
        const Extent& extent = extents_[std::size_t(row % (2 * near_ + 1))];
        within = {std::min(within.start, extent.start), std::max(within.stop, extent.stop)};
    }
    const uint8_t* colours = rows_[slot].data();
    const int32_t since = y - near_;
    const auto kept = [&](int32_t x) {
        return lastNear_[std::size_t(x)] >= since || askedRows_[slot][std::size_t(x)] != 0;
    };
    const std::size_t first = spans_.size();
    std::size_t bytes = 0;
    for (int32_t x = within.start; x < within.stop;) {
        if (!kept(x)) {
            ++x;
            continue;
        }
        const int32_t start = x;
        while (x < within.stop && kept(x)) {
            ++x;
        }
        spans_.push_back({start, x});
        bytes += 3 * std::size_t(x - start);
    }
    // (a row's colours are at most a chunk's: chunkBytes_ is at least a row's; a row that
    // keeps none has no place, and no chunk is had for it)
    if (bytes > 0 && (chunks_.empty() || used_ + bytes > chunkBytes_)) {
        chunks_.emplace_back(AllocatePixelBuffer(chunkBytes_));
        if (!chunks_.back()) {
            throw std::bad_alloc();
        }
        used_ = 0;
    }
    firstColour_.push_back(bytes > 0 ? (chunks_.size() - 1) * chunkBytes_ + used_ : 0);
    for (std::size_t i = first; i < spans_.size(); ++i) {
        const std::size_t length = 3 * std::size_t(spans_[i].stop - spans_[i].start);
        std::memcpy(chunks_.back().get() + used_, colours + 3 * spans_[i].start, length);
        used_ += length;
    }
    keptBytes_ += bytes;
    firstSpan_.push_back(spans_.size());
    ++done_;
    if (keptBytes_ + spans_.size() * sizeof(Extent) > mostBytes_) {
        over_ = true;
        chunks_ = decltype(chunks_)();  // (= {} keeps a vector's room)
        spans_ = decltype(spans_)();
    }
}

void EdgeColours::FillRow(int32_t y, uint8_t* bgr) const {
    std::fill_n(bgr, 3 * std::size_t(width_), 0);
    if (firstSpan_[std::size_t(y)] == firstSpan_[std::size_t(y) + 1]) {
        return;
    }
    const std::size_t first = firstColour_[std::size_t(y)];
    const uint8_t* at = chunks_[first / chunkBytes_].get() + first % chunkBytes_;
    for (std::size_t i = firstSpan_[std::size_t(y)]; i < firstSpan_[std::size_t(y) + 1]; ++i) {
        const std::size_t bytes = 3 * std::size_t(spans_[i].stop - spans_[i].start);
        std::memcpy(bgr + 3 * spans_[i].start, at, bytes);
        at += bytes;
    }
}

EdgeFinder::EdgeFinder(int32_t width, int32_t band)
    : width_(width), band_(band), counts_(std::size_t(width)) {}

void EdgeFinder::Count(const RowWindow& window, int32_t y, int add) {
    if (y < 0 || y >= window.Height()) {
        return;
    }
    // (locals only in the loops: a byte stored might be any member, as far as the
    // compiler knows, and a member read in them kept them from being vectorised)
    const uint8_t* row = window.Coverage(y);
    uint8_t* counts = counts_.data();
    const auto width = std::size_t(width_);
    if (add > 0) {
        for (std::size_t x = 0; x < width; ++x) {
            counts[x] = uint8_t(counts[x] + (row[x] == 0));
        }
    } else {
        for (std::size_t x = 0; x < width; ++x) {
            counts[x] = uint8_t(counts[x] - (row[x] == 0));
        }
    }
}

void EdgeFinder::Find(const RowWindow& window, int32_t y, std::vector<uint8_t>& edge) {
    // First the columns with background within band rows...
    if (y == next_) {
        Count(window, y - band_ - 1, -1);
        Count(window, y + band_, 1);
    } else {
        std::fill(counts_.begin(), counts_.end(), 0);
        for (int32_t row = y - band_; row <= y + band_; ++row) {
            Count(window, row, 1);
        }
    }
    next_ = y + 1;
    const auto width = std::size_t(width_);
    edge.resize(width);
    uint8_t* out = edge.data();
    const uint8_t* counts = counts_.data();
    for (std::size_t x = 0; x < width; ++x) {
        out[x] = counts[x] != 0;
    }
    // ...then spread sideways by 1, 2, 4... columns, each step doubling how far, and by
    // what is left of band last: whole rows at once from a copy of the row before the
    // step, which the compiler vectorises (or-ed in place, the loops ran a byte at a time).
    for (std::size_t spread = 0, step = 1; spread < std::size_t(band_) && step < width;) {
        step = std::min(step, std::size_t(band_) - spread);
        spare_.assign(out, out + width);
        const uint8_t* before = spare_.data();
        for (std::size_t x = 0; x + step < width; ++x) {
            out[x] |= before[x + step];
        }
        for (std::size_t x = 0; x + step < width; ++x) {
            out[x + step] |= before[x];
        }
        spread += step;
        step *= 2;
    }
}

// The pixel's colour c is taken as a mix of the object's colour f, that of the object
// pixels nearby (see kObjectShareSquared), and the backdrop's b, that of the
// backdrop-coloured pixels nearby (of every background pixel nearby, shadows too, with
// everyBackground); alpha is where c lies between them, and the object's own colour,
// (c - b) / alpha + b, replaces c.
uint8_t EdgeAlpha(const RowWindow& window, int32_t x, int32_t y, const Backdrop& reference,
                  uint8_t* rgb, bool everyBackground, bool* faint, uint8_t* behind) {
    const int32_t reach = window.Reach();
    // A soft outline's wider reach is read at every other pixel: its colours change slowly,
    // and read whole, 19 x 19 pixels at the widest band, the unmixing took 41% of a
    // studio mask's time on a photo enlarged eight times.
    const int32_t step = reach > kEdge + 1 ? 2 : 1;
    const int32_t top = std::max(y - reach, 0);
    const int32_t bottom = std::min(y + reach, window.Height() - 1);
    const int32_t left = std::max(x - reach, 0);
    const int32_t right = std::min(x + reach, window.Width() - 1);
    // The window read once: the backdrop's pixels summed, the object's kept (in the order
    // read, which the sums below keep too) to be judged against the backdrop's colour,
    // their channels apart, which lets the compiler judge several at once.
    // (the window of RowWindow's widest band, were it read whole)
    constexpr std::size_t kMostRead = std::size_t(2 * kMostEdge + 3) * (2 * kMostEdge + 3);
    struct ObjectPixel {
        const uint8_t* colour;
        int32_t x, y;
    };
    std::array<ObjectPixel, kMostRead> objects;
    std::array<std::array<float, kMostRead>, 3> channels;
    std::array<float, kMostRead> distances, sides;  // squared, from the backdrop's colour
    std::size_t objectPixels = 0;
    int backdrop[3] = {0, 0, 0}, backdropCount = 0;
    for (int32_t yy = top; yy <= bottom; yy += step) {
        const uint8_t* coverage = window.Coverage(yy);
        const uint8_t* colours = window.Colours(yy);
        for (int32_t xx = left; xx <= right; xx += step) {
            const uint8_t* p = colours + 3 * xx;
            if (coverage[xx] != 0) {
                for (std::size_t c = 0; c < 3; ++c) {
                    channels[c][objectPixels] = float(p[c]);
                }
                objects[objectPixels++] = {p, xx, yy};
            } else if (everyBackground || IsBackdropColoured(p, reference)) {
                for (int c = 0; c < 3; ++c) {
                    backdrop[c] += p[c];
                }
                ++backdropCount;
            }
        }
    }
    float b[3];
    for (int c = 0; c < 3; ++c) {
        b[c] = backdropCount > 0 ? float(backdrop[c]) / float(backdropCount)
                                 : float(reference.colour[std::size_t(c)]);
        if (behind != nullptr) {
            behind[c] = uint8_t(std::lround(b[c]));
        }
    }
    const auto distance = [&](const uint8_t* p) {
        float sum = 0;
        for (int c = 0; c < 3; ++c) {
            sum += (float(p[c]) - b[c]) * (float(p[c]) - b[c]);
        }
        return sum;
    };
    // Each object pixel's distance from the backdrop's colour, and which side of it it
    // lies on: only object pixels off the backdrop on this pixel's side (sides[i] > 0) can
    // be what it is mixed of, an object both lighter and darker than a grey backdrop
    // averaging to it.
    const uint8_t* pixel = window.Colours(y) + 3 * x;
    const float toPixel[3] = {float(pixel[0]) - b[0], float(pixel[1]) - b[1],
                              float(pixel[2]) - b[2]};
    for (std::size_t i = 0; i < objectPixels; ++i) {
        float sum = 0, dot = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            const float off = channels[c][i] - b[c];
            sum += off * off;
            dot += off * toPixel[c];
        }
        distances[i] = sum;
        sides[i] = dot;
    }
    float farthest = 0;
    const uint8_t* far = nullptr;
    for (std::size_t i = 0; i < objectPixels; ++i) {
        if (distances[i] > farthest && sides[i] > 0) {
            farthest = distances[i];
            far = objects[i].colour;
        }
    }
    const float least =
        float(std::max(kContrastPerTolerance * reference.tolerance, kLeastContrast));
    const bool pale = far == nullptr || farthest < least * least;
    if (faint != nullptr) {
        *faint = pale;
    }
    if (pale) {
        const float beyond = (std::sqrt(distance(pixel)) - float(reference.tolerance)) /
                             float(std::max(reference.tolerance, 1));
        return uint8_t(std::lround(std::clamp(beyond, 0.0f, 1.0f) * 255));
    }
    // How far each object pixel lies from the nearest background pixel in the window (a
    // chamfer distance, a diagonal step counting as one, as the band's do), where the band
    // is kEdge: past the band lies the object's own colour. The pixels lie in a frame one
    // pixel wide, which counts as no background, so that no step looks outside.
    constexpr int32_t wide = kSharpAcross + 2;
    std::array<uint8_t, wide * wide> apart{};
    const auto at = [&](int32_t xx, int32_t yy) {
        return std::size_t((yy - top + 1) * wide + xx - left + 1);
    };
    float inside = 0;  // the farthest of the object's pixels past the band
    const bool sharp = window.Band() <= kEdge;
    if (sharp) {
        apart.fill(UINT8_MAX);
        for (int32_t yy = top; yy <= bottom; ++yy) {
            for (int32_t xx = left; xx <= right; ++xx) {
                apart[at(xx, yy)] = window.Coverage(yy)[xx] == 0 ? 0 : UINT8_MAX;
            }
        }
        const auto nearest = [&](std::size_t k, std::size_t a, std::size_t b, std::size_t c,
                                 std::size_t d) {
            const int least = std::min({apart[a], apart[b], apart[c], apart[d]}) + 1;
            apart[k] = uint8_t(std::min(int(apart[k]), least));
        };
        for (int32_t yy = top; yy <= bottom; ++yy) {
            for (int32_t xx = left; xx <= right; ++xx) {
                const std::size_t k = at(xx, yy), up = k - wide;
                nearest(k, up - 1, up, up + 1, k - 1);
            }
        }
        for (int32_t yy = bottom; yy >= top; --yy) {
            for (int32_t xx = right; xx >= left; --xx) {
                const std::size_t k = at(xx, yy), below = k + wide;
                nearest(k, below - 1, below, below + 1, k + 1);
            }
        }
        // (read at every pixel here, the window's object pixels are all in objects)
        for (std::size_t i = 0; i < objectPixels; ++i) {
            if (apart[at(objects[i].x, objects[i].y)] > window.Band() && sides[i] > 0) {
                inside = std::max(inside, distances[i]);
            }
        }
    }
    // (farthest is at least least squared here, so no pixel past the band means none)
    const bool pastBand = inside >= kObjectShareSquared * farthest;
    const float from = pastBand ? kPastBandShareSquared * inside : kObjectShareSquared * farthest;
    float f[3] = {0, 0, 0};
    int objectCount = 0;
    for (std::size_t i = 0; i < objectPixels; ++i) {
        const ObjectPixel& object = objects[i];
        if ((!pastBand || apart[at(object.x, object.y)] > window.Band()) && distances[i] >= from &&
            sides[i] > 0) {
            for (int c = 0; c < 3; ++c) {
                f[c] += object.colour[c];
            }
            ++objectCount;
        }
    }
    float along = 0, length = 0;
    for (int c = 0; c < 3; ++c) {
        f[c] = f[c] / float(objectCount) - b[c];
        along += (float(pixel[c]) - b[c]) * f[c];
        length += f[c] * f[c];
    }
    const float alpha = std::clamp(along / length, 0.0f, 1.0f);
    if (alpha * 255 < 0.5f) {
        return 0;  // rounds to nothing: no colour to unmix
    }
    const float trust = std::min(alpha / kFullTrustAlpha, 1.0f);
    for (int c = 0; c < 3; ++c) {
        const float own = b[c] + (float(pixel[c]) - b[c]) / alpha;
        const float blended = trust * own + (1 - trust) * (b[c] + f[c]);
        rgb[2 - c] = uint8_t(std::clamp(std::lround(blended), 0L, 255L));
    }
    return uint8_t(std::lround(alpha * 255));
}

}  // namespace zel7
