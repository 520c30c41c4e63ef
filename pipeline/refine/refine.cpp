#include "refine/refine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "refine/backdrop.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace zel7 {
namespace {

// Pixels this close to background are edge pixels: JPEG's halved colour resolution
// spreads an edge over two or three.
constexpr int32_t kEdge = 2;
// Rows kept around the one being written: an edge pixel's object colour is looked for
// this far away.
constexpr int32_t kReach = kEdge + 1;
constexpr int32_t kWindow = 2 * kReach + 1;

// Holes smaller than this are left to --hole-area: their colour says too little.
constexpr uint64_t kLeastHoleArea = 64;
// How far a hole's mean colour may lie from the backdrop's, besides the noise's share.
// On studio shots holes lie within 1.1 levels, labels 1.3 and more away: a hole left
// for object costs less than a label cut out.
constexpr double kHoleMatch = 0.9;
// Every this many rows and pixels are kept, for the colours of holes and backdrop: a
// ninth of the picture.
constexpr int32_t kLeastSampleStep = 3;
// ...or more sparsely on very large pictures, to keep them within this many bytes.
constexpr double kMostSampleBytes = 8 << 20;
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

// Writes each of count bytes, xor flip, three times: grey 24-bit pixels.
void ExpandGreyPortable(const uint8_t* grey, int32_t count, uint8_t flip, uint8_t* out) {
    for (int32_t x = 0; x < count; ++x, out += 3) {
        out[0] = out[1] = out[2] = uint8_t(grey[x] ^ flip);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// Sixteen at a time: a mask's rows are mostly this.
__attribute__((target("ssse3"))) void ExpandGreySsse3(const uint8_t* grey, int32_t count,
                                                      uint8_t flip, uint8_t* out) {
    const __m128i spread[3] = {
        _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5),
        _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10),
        _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15)};
    const __m128i flipped = _mm_set1_epi8(char(flip));
    int32_t x = 0;
    for (; x + 16 <= count; x += 16, out += 48) {
        const __m128i bytes =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grey + x)), flipped);
        for (int part = 0; part < 3; ++part) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + part,
                             _mm_shuffle_epi8(bytes, spread[part]));
        }
    }
    ExpandGreyPortable(grey + x, count - x, flip, out);
}
#endif

void ExpandGrey(const uint8_t* grey, int32_t count, uint8_t flip, uint8_t* out) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
        ExpandGreySsse3(grey, count, flip, out);
        return;
    }
#endif
    ExpandGreyPortable(grey, count, flip, out);
}

class Refined : public RowSource {
public:
    Refined(const SourceOpener& open, Background background, const RefineOptions& options)
        : open_(open), background_(background), options_(options) {}

    Result Open();

    const PictureShape& Shape() const override { return shape_; }
    const uint8_t* ColorTable() const override { return nullptr; }
    int Orientation() const override { return orientation_; }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result OpenDecoder(std::unique_ptr<RowSource>& decoder);
    template <class Each>
    Result ForEachRow(RowSource& decoder, Each each);
    bool FindHoles(const std::vector<uint8_t>& samples, std::size_t sampledWidth);
    Result DecodeRow(int32_t y);
    void WriteRow(int32_t y, uint8_t* out);
    uint8_t EdgeAlpha(int32_t x, int32_t y, uint8_t* rgb) const;

    const uint8_t* Colours(int32_t y) const { return colours_[std::size_t(y % kWindow)].data(); }
    const uint8_t* Coverage(int32_t y) const { return coverage_[std::size_t(y % kWindow)].data(); }

    const SourceOpener& open_;
    Background background_;
    RefineOptions options_;
    PictureShape decoded_{};
    PictureShape shape_{};
    int orientation_ = 1;
    int32_t sampleStep_ = kLeastSampleStep;  // of the pixels kept to tell holes by
    Backdrop reference_;
    std::unique_ptr<RegionLabeller> labels_;
    std::unique_ptr<RowSource> decoder_;  // for the rows' colours, when they matter
    std::array<std::vector<uint8_t>, kWindow> colours_, coverage_;
    std::vector<uint8_t> nearEdge_;  // per pixel: background within kEdge rows of it
    int32_t decodedRows_ = 0;
    std::vector<uint8_t> row_;  // the finished row being handed out
    int32_t nextRow_ = 0;
    std::size_t handedOut_ = 0;
};

Result Refined::OpenDecoder(std::unique_ptr<RowSource>& decoder) {
    if (Result result = open_(decoder); !result.Ok()) {
        return result;
    }
    if (!decoder->SetTrueColour() || !decoder->SetOrder(RowOrder::TopDown)) {
        // Every source reads top row first; only sizes past the limits of decoded rows
        // cannot be had as 24-bit pixels.
        return Fail(Status::TooManyPixels, "too large to read as 24-bit pixels");
    }
    const PictureShape& shape = decoder->Shape();
    if (decoded_.bitCount == 0) {
        decoded_ = shape;
        orientation_ = decoder->Orientation();
    } else if (shape.width != decoded_.width || shape.height != decoded_.height) {
        return Fail(Status::ReadFailed, "the picture changed while it was read");
    }
    return {};
}

template <class Each>
Result Refined::ForEachRow(RowSource& decoder, Each each) {
    std::vector<uint8_t> row(std::size_t(decoded_.rowStride));
    for (int32_t y = 0; y < decoded_.height; ++y) {
        if (Result result = decoder.Read(row.data(), row.size()); !result.Ok()) {
            return result;
        }
        if (Result result = each(y, row.data()); !result.Ok()) {
            return result;
        }
    }
    return {};
}

Result Refined::Open() {
    std::unique_ptr<RowSource> unread;
    if (Result result = OpenDecoder(unread); !result.Ok()) {
        return result;
    }
    const int32_t width = decoded_.width, height = decoded_.height;
    reference_ = FixedBackdrop(background_);
    if (options_.autoBackground) {
        BorderSample border(width, height);
        if (Result result = ForEachRow(*unread,
                                       [&](int32_t y, const uint8_t* bgr) {
                                           border.AddRow(y, bgr);
                                           return Result{};
                                       });
            !result.Ok()) {
            return result;
        }
        unread.reset();
        reference_ =
            border.Estimate(options_.sideKnown ? std::optional(background_) : std::nullopt);
    }
    if (options_.tolerance) {
        reference_.tolerance = *options_.tolerance;
    }
    const RegionRules& rules = options_.regions;
    if (rules.connected || rules.despeckle > 0) {
        if (!unread) {
            if (Result result = OpenDecoder(unread); !result.Ok()) {
                return result;
            }
        }
        labels_ = std::make_unique<RegionLabeller>(width, height);
        std::vector<uint8_t> classes(static_cast<std::size_t>(width));
        const bool holes = rules.connected && rules.holeArea == 0;
        sampleStep_ =
            std::max(kLeastSampleStep,
                     int32_t(std::ceil(std::sqrt(double(width) * height * 3 / kMostSampleBytes))));
        const std::size_t sampledWidth = std::size_t(width + sampleStep_ - 1) / sampleStep_;
        std::vector<uint8_t> samples;  // colours of every sampleStep_-th pixel and row
        if (holes) {
            samples.reserve(sampledWidth * 3 * std::size_t(height / sampleStep_ + 1));
        }
        const auto label = [&](int32_t y, const uint8_t* bgr) {
            ClassifyPixels(bgr, width, reference_, 1, classes.data());
            for (int32_t x = 0; holes && y % sampleStep_ == 0 && x < width; x += sampleStep_) {
                samples.insert(samples.end(), bgr + 3 * x, bgr + 3 * x + 3);
            }
            return labels_->AddRow(classes.data());
        };
        if (Result result = ForEachRow(*unread, label); !result.Ok()) {
            return result;
        }
        unread.reset();
        labels_->Decide(rules);
        if (holes) {
            if (FindHoles(samples, sampledWidth) && rules.despeckle > 0) {
                labels_->SettleSpecks(rules.despeckle);
            }
        }
    }
    // A two-tone mask of labelled regions needs no colours; everything else does.
    if (!labels_ || options_.product != Product::Mask) {
        decoder_ = std::move(unread);
        if (!decoder_) {
            if (Result result = OpenDecoder(decoder_); !result.Ok()) {
                return result;
            }
        }
        for (int32_t i = 0; i < kWindow; ++i) {
            colours_[std::size_t(i)].resize(std::size_t(decoded_.rowStride));
            coverage_[std::size_t(i)].resize(std::size_t(width));
        }
        nearEdge_.resize(std::size_t(width));
    } else {
        coverage_[0].resize(std::size_t(width));
    }
    const int32_t bitCount = options_.product == Product::Cutout ? 32 : 24;
    const int32_t stride = RowStride(width, bitCount);
    if (int64_t(stride) * height > INT32_MAX) {
        return Fail(Status::TooManyPixels, "too large for a cut-out");
    }
    shape_ = {width, height, bitCount, stride, stride * height};
    row_.resize(std::size_t(stride));
    handedOut_ = row_.size();
    return {};
}

// Of the backdrop-coloured regions kept as object because they do not reach the edge,
// makes background those that are the backdrop seen through the object (the hole of a
// handle, the inside of a ring) rather than part of it in nearly the backdrop's colour
// (a label, a print): a hole's mean colour is that of the backdrop nearest to it,
// measured on a grid of cells for gradients and vignetting, within a level and the
// noise's share.
bool Refined::FindHoles(const std::vector<uint8_t>& samples, std::size_t sampledWidth) {
    const std::vector<uint64_t> roots = labels_->EnclosedRegions(kLeastHoleArea);
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
    const auto across = std::size_t(
        std::clamp<int32_t>(std::min(decoded_.width, decoded_.height) / kLeastCell, 1, kMostCells));
    std::vector<Mean> cells(across * across);
    std::vector<uint64_t> above(std::size_t(decoded_.width)), below(above.size());
    const auto rootsOf = [&](int32_t y, std::vector<uint64_t>& at) {
        if (y < 0 || y >= decoded_.height) {
            std::fill(at.begin(), at.end(), UINT64_MAX);
            return;
        }
        labels_->ForEachRun(y, [&](int32_t start, int32_t stop, uint64_t root, bool) {
            std::fill(at.begin() + start, at.begin() + stop, root);
        });
    };
    struct Piece {
        int32_t start, stop;
        std::size_t region;
    };
    std::vector<Piece> pieces;  // of the row's runs in candidate regions
    for (int32_t y = 0; y < decoded_.height; y += sampleStep_) {
        const uint8_t* row = samples.data() + std::size_t(y / sampleStep_) * sampledWidth * 3;
        const auto cellRow = std::size_t(int64_t(y) * int64_t(across) / decoded_.height) * across;
        const int32_t step = sampleStep_;
        pieces.clear();
        labels_->ForEachRun(y, [&](int32_t start, int32_t stop, uint64_t root, bool background) {
            if (background) {
                for (int32_t x = (start + step - 1) / step * step; x < stop; x += step) {
                    const uint8_t* pixel = row + 3 * (x / sampleStep_);
                    if (IsBackdropColoured(pixel, reference_)) {  // not a shadow
                        cells[cellRow + std::size_t(int64_t(x) * int64_t(across) / decoded_.width)]
                            .Add(pixel, x, y);
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
            for (int32_t x = (piece.start + kRim + sampleStep_ - 1) / sampleStep_ * sampleStep_;
                 x < piece.stop - kRim; x += sampleStep_) {
                if (above[std::size_t(x)] == root && below[std::size_t(x)] == root) {
                    regions[piece.region].Add(row + 3 * (x / sampleStep_), x, y);
                }
            }
        }
    }
    std::erase_if(cells, [](const Mean& cell) { return cell.count < kLeastCellSamples; });
    // The tolerance is about five times the noise's deviation (see backdrop.cpp).
    const double deviation = std::max(reference_.tolerance - 2, 1) / 5.0;
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const Mean& region = regions[i];
        const std::size_t nearest = std::min(kNearestCells, cells.size());
        if (region.count < kLeastHoleSamples || nearest == 0) {
            continue;
        }
        const double x = region.x / region.count, y = region.y / region.count;
        const auto distance = [&](const Mean& cell) {
            return std::hypot(cell.x / cell.count - x, cell.y / cell.count - y);
        };
        std::partial_sort(cells.begin(), cells.begin() + std::ptrdiff_t(nearest), cells.end(),
                          [&](const Mean& a, const Mean& b) { return distance(a) < distance(b); });
        bool matches = true;
        const double allowed = kHoleMatch + 2 * deviation / std::sqrt(region.count);
        for (std::size_t c = 0; c < 3; ++c) {
            double sum = 0;
            for (std::size_t k = 0; k < nearest; ++k) {
                sum += cells[k].Of(c);
            }
            matches = matches && std::abs(region.Of(c) - sum / double(nearest)) <= allowed;
        }
        if (matches) {
            labels_->MakeBackground(roots[i]);
            anyHole = true;
        }
    }
    return anyHole;
}

Result Refined::DecodeRow(int32_t y) {
    uint8_t* colours = colours_[std::size_t(y % kWindow)].data();
    if (Result result = decoder_->Read(colours, std::size_t(decoded_.rowStride)); !result.Ok()) {
        return result;
    }
    uint8_t* coverage = coverage_[std::size_t(y % kWindow)].data();
    if (labels_) {
        labels_->FillRow(y, coverage);
        return {};
    }
    ClassifyPixels(colours, decoded_.width, reference_, 255, coverage);
    for (int32_t x = 0; x < decoded_.width; ++x) {
        coverage[x] = uint8_t(~coverage[x]);
    }
    return {};
}

Result Refined::Read(uint8_t* into, std::size_t size) {
    while (size > 0) {
        if (handedOut_ == row_.size()) {
            if (nextRow_ == decoded_.height) {
                return Fail(Status::ReadFailed, "read past the last row");
            }
            if (decoder_) {
                // The rows around the one written must be there for its edges.
                const int32_t needed = std::min(nextRow_ + kReach + 1, decoded_.height);
                for (; decodedRows_ < needed; ++decodedRows_) {
                    if (Result result = DecodeRow(decodedRows_); !result.Ok()) {
                        return result;
                    }
                }
            } else {
                labels_->FillRow(nextRow_, coverage_[0].data());
            }
            // Whole rows asked for go straight to their place.
            if (size >= row_.size()) {
                WriteRow(nextRow_++, into);
                into += row_.size();
                size -= row_.size();
                continue;
            }
            WriteRow(nextRow_++, row_.data());
            handedOut_ = 0;
        }
        const std::size_t part = std::min(size, row_.size() - handedOut_);
        std::memcpy(into, row_.data() + handedOut_, part);
        handedOut_ += part;
        into += part;
        size -= part;
    }
    return {};
}

void Refined::WriteRow(int32_t y, uint8_t* out) {
    const int32_t width = decoded_.width;
    const uint8_t* coverage = decoder_ ? Coverage(y) : coverage_[0].data();
    const bool cutout = options_.product == Product::Cutout;
    const bool soft = options_.product == Product::SoftMask ||
                      (options_.product == Product::Cutout && !options_.hardEdges);
    std::memset(out, 0, row_.size());
    if (!cutout) {
        ExpandGrey(coverage, width, options_.invert ? 0 : 255, out);
    } else {
        // Every pixel as it is first, the background's zeroed; edges after.
        const uint8_t* bgr = Colours(y);
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t kept = options_.invert ? 255 : coverage[x];
            out[4 * x] = bgr[3 * x + 2] & kept;
            out[4 * x + 1] = bgr[3 * x + 1] & kept;
            out[4 * x + 2] = bgr[3 * x] & kept;
            out[4 * x + 3] = options_.invert ? uint8_t(~coverage[x]) : coverage[x];
        }
    }
    if (!soft) {
        return;
    }
    // Edge pixels: object pixels with background within kEdge rows and columns.
    std::fill(nearEdge_.begin(), nearEdge_.end(), 0);
    for (int32_t yy = std::max(y - kEdge, 0); yy <= std::min(y + kEdge, decoded_.height - 1);
         ++yy) {
        const uint8_t* row = Coverage(yy);
        for (int32_t x = 0; x < width; ++x) {
            nearEdge_[std::size_t(x)] |= row[x] == 0;
        }
    }
    for (int32_t x = 0, lastBackground = -kEdge - 1; x < width; ++x) {
        if (nearEdge_[std::size_t(x)]) {
            lastBackground = x;
        }
        const int32_t ahead = std::min(x + kEdge, width - 1);
        bool edge = x - lastBackground <= kEdge;
        for (int32_t xx = x + 1; !edge && xx <= ahead; ++xx) {
            edge = nearEdge_[std::size_t(xx)] != 0;
        }
        if (!edge || coverage[x] == 0) {
            continue;
        }
        const uint8_t* bgr = Colours(y) + 3 * x;
        uint8_t rgb[3] = {bgr[2], bgr[1], bgr[0]};
        uint8_t alpha = EdgeAlpha(x, y, rgb);
        if (options_.invert) {
            alpha = uint8_t(255 - alpha);
        }
        if (!cutout) {
            std::memset(out + 3 * x, 255 - alpha, 3);
        } else if (options_.invert) {
            out[4 * x + 3] = alpha;
        } else {
            const uint8_t pixel[4] = {rgb[0], rgb[1], rgb[2], alpha};
            std::memcpy(out + 4 * x, alpha != 0 ? pixel : std::array<uint8_t, 4>{}.data(), 4);
        }
    }
}

// How much of an edge pixel is object: its colour c is taken as a mix of the object's
// colour f, that of the object pixels nearby farthest from the backdrop, and the
// backdrop's b, that of the backdrop-coloured pixels nearby; alpha is where c lies
// between them, and the object's own colour, (c - b) / alpha + b, replaces c.
uint8_t Refined::EdgeAlpha(int32_t x, int32_t y, uint8_t* rgb) const {
    const int32_t top = std::max(y - kReach, 0), bottom = std::min(y + kReach, decoded_.height - 1);
    const int32_t left = std::max(x - kReach, 0), right = std::min(x + kReach, decoded_.width - 1);
    int backdrop[3] = {0, 0, 0}, backdropCount = 0;
    for (int32_t yy = top; yy <= bottom; ++yy) {
        for (int32_t xx = left; xx <= right; ++xx) {
            const uint8_t* p = Colours(yy) + 3 * xx;
            if (Coverage(yy)[xx] == 0 && IsBackdropColoured(p, reference_)) {
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
                                 : float(reference_.colour[std::size_t(c)]);
    }
    // The object's colour: the mean of the object pixels nearly as far from the
    // backdrop as the farthest, so that one noisy pixel does not decide it.
    const auto distance = [&](const uint8_t* p) {
        float sum = 0;
        for (int c = 0; c < 3; ++c) {
            sum += (float(p[c]) - b[c]) * (float(p[c]) - b[c]);
        }
        return sum;
    };
    // Only object pixels off the backdrop on this pixel's side can be what it is mixed
    // of: an object both lighter and darker than a grey backdrop would average to it.
    const uint8_t* pixel = Colours(y) + 3 * x;
    const auto sameSide = [&](const uint8_t* p) {
        float dot = 0;
        for (int c = 0; c < 3; ++c) {
            dot += (float(p[c]) - b[c]) * (float(pixel[c]) - b[c]);
        }
        return dot > 0;
    };
    float farthest = 0;
    const uint8_t* far = nullptr;
    for (int32_t yy = top; yy <= bottom; ++yy) {
        for (int32_t xx = left; xx <= right; ++xx) {
            const uint8_t* p = Colours(yy) + 3 * xx;
            if (Coverage(yy)[xx] != 0 && distance(p) > farthest && sameSide(p)) {
                farthest = distance(p);
                far = p;
            }
        }
    }
    // Hardly off the backdrop, with no clear object colour around: a pale object's
    // rim, opaque as far as it stands out beyond the tolerance, or a shadow's fringe
    // on the object, nearly transparent.
    const float least = float(std::max(2 * reference_.tolerance, 8));
    if (far == nullptr || farthest < least * least) {
        const float beyond = (std::sqrt(distance(pixel)) - float(reference_.tolerance)) /
                             float(std::max(reference_.tolerance, 1));
        return uint8_t(std::lround(std::clamp(beyond, 0.0f, 1.0f) * 255));
    }
    // The object's colour: the mean of those nearly as far from the backdrop as the
    // farthest, so that one noisy pixel does not decide it.
    float f[3] = {0, 0, 0};
    int objectCount = 0;
    for (int32_t yy = top; yy <= bottom; ++yy) {
        for (int32_t xx = left; xx <= right; ++xx) {
            const uint8_t* p = Colours(yy) + 3 * xx;
            if (Coverage(yy)[xx] != 0 && distance(p) >= 0.64f * farthest && sameSide(p)) {
                for (int c = 0; c < 3; ++c) {
                    f[c] += p[c];
                }
                ++objectCount;
            }
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
        return 0;
    }
    // Unmixing divides the noise by alpha too: the faintest pixels lean on the
    // object's colour instead.
    const float trust = std::min(alpha * 2, 1.0f);
    for (int c = 0; c < 3; ++c) {
        const float own = b[c] + (float(pixel[c]) - b[c]) / alpha;
        const float blended = trust * own + (1 - trust) * (b[c] + f[c]);
        rgb[2 - c] = uint8_t(std::clamp(std::lround(blended), 0L, 255L));
    }
    return uint8_t(std::lround(alpha * 255));
}

}  // namespace

Result OpenRefinedSource(const SourceOpener& open, Background background,
                         const RefineOptions& options, std::unique_ptr<RowSource>& source) {
    auto refined = std::make_unique<Refined>(open, background, options);
    if (Result result = refined->Open(); !result.Ok()) {
        return result;
    }
    source = std::move(refined);
    return {};
}

}  // namespace zel7
