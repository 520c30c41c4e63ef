#include "engine/framing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/resampler.h"
#include "formats/decoded_rows.h"

namespace zel7 {
namespace {

// Past any side a frame may have, so that a size from hostile arithmetic (a margin of
// 49.99999%, an aspect of 65535:1) stays an int32_t until Open refuses it.
constexpr double kBeyondAnySide = double(kMaxDimension) + 1;

int32_t Rounded(double value) {
    return int32_t(std::lround(std::clamp(value, 0.0, kBeyondAnySide)));
}

// Source rows turned into planes and resampled a band at a time: enough to keep the
// resampler's calls few.
constexpr int32_t kBandRows = 16;

// A row of the trimmed cut-out: the pixels from..to (past the last) that are not wholly
// transparent, stored from `at` in the held rows.
struct Span {
    int32_t from = 0, to = 0;
    std::size_t at = 0;
};

class Framed : public RowSource {
public:
    Result Open(std::unique_ptr<RowSource> source, const FramingOptions& options);
    const PictureShape& Shape() const override { return shape_; }
    std::span<const uint8_t> ColourProfile() const override { return source_->ColourProfile(); }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result Gather();
    Result Resample();
    void Store(const uint8_t* rgba, int32_t from, int32_t to);
    void Band(int32_t top, int32_t rows, bool premultiply, std::vector<uint8_t>& planes) const;
    Result WriteRow(int32_t y, uint8_t* out);

    std::unique_ptr<RowSource> source_;  // kept, read out, for what it can tell of itself
    FramingOptions options_;
    // The frame's colour when flattened. The pixels are held, resampled and padded
    // premultiplied, and put on it as they are written: put on it first, the resampler's
    // overshoot beside an edge showed (a dark ring round a red product flattened on dark
    // blue, where the cut-out laid on it had none). On a colour whose channels are each 0
    // or 255 (white, black) all overshoot beside the object is clipped: such a frame is
    // held flattened, in 3 planes rather than 4.
    std::optional<std::array<uint8_t, 3>> flatten_;
    int channels_ = int(kFrameBytesPerPixel);  // as held: 3 when flattened first
    std::array<uint8_t, 4> background_{};      // the frame's colour as held
    PictureShape shape_{};
    std::vector<uint8_t> input_;  // one row of the cut-out
    std::vector<Span> spans_;     // the box's rows, top first
    std::vector<uint8_t> held_;   // their pixels, channels_ bytes each
    FrameBox box_{};
    FrameLayout layout_{};
    Resampler resampler_;
    std::vector<uint8_t> unscaled_;           // the box's planes when not resampled...
    bool straight_ = false;                   // ...4 of them, their colours not premultiplied
    std::array<const uint8_t*, 4> planes_{};  // the placed box's planes
    RowHandOut rows_;
};

Result Framed::Open(std::unique_ptr<RowSource> source, const FramingOptions& options) {
    source_ = std::move(source);
    options_ = options;
    const PictureShape& in = source_->Shape();
    if (in.bitCount != 32 || source_->Orientation() != 1) {
        return Fail(Status::UnsupportedPicture, "only upright cut-outs are framed");
    }
    if (options.flatten) {
        flatten_ = {options.flatten->red, options.flatten->green, options.flatten->blue};
        if (std::ranges::all_of(*flatten_, [](uint8_t level) { return level % 255 == 0; })) {
            channels_ = 3;
            background_ = {(*flatten_)[0], (*flatten_)[1], (*flatten_)[2], 255};
        }
    }
    input_.resize(std::size_t(in.rowStride));
    int32_t width = in.width, height = in.height;
    if (options.Reshapes()) {
        if (Result result = Gather(); !result.Ok()) {
            return result;
        }
        layout_ = LayOutFrame(options, box_.width, box_.height);
        width = layout_.width;
        height = layout_.height;
        // A side past the most was cut short where it was laid out: said as past it.
        const bool wide = uint32_t(width) > kMaxDimension, high = uint32_t(height) > kMaxDimension;
        if (wide || high) {
            const std::string most = std::to_string(kMaxDimension);
            return Fail(Status::TooManyPixels,
                        "the frame would be more than " + most + " pixels " +
                            (wide ? high ? "wide and high" : "wide" : "high") + "; at most " +
                            most + " a side");
        }
        if (uint64_t(width) * uint64_t(height) > kMostFramePixels) {
            return Fail(Status::TooManyPixels,
                        "the frame would be " + std::to_string(width) + " x " +
                            std::to_string(height) + " pixels; at most " +
                            std::to_string(kMostFramePixels / 1'000'000) + " megapixels");
        }
        if (Result result = Resample(); !result.Ok()) {
            return result;
        }
    }
    const int32_t bitCount = flatten_ ? 24 : 32;
    const int32_t stride = RowStride(width, bitCount);
    if (int64_t(stride) * height > INT32_MAX) {
        return Fail(Status::TooManyPixels, "too large a frame");
    }
    shape_ = {width, height, bitCount, stride, stride * height};
    rows_.Start(std::size_t(stride), height);
    return {};
}

// The pixels as held: flattened over white or black, or as the cut-out has them, to be
// premultiplied by their alpha where they are resampled (Band), so that resampling mixes
// each colour by how much of it there is and a transparent pixel's colour counts for
// nothing. Both are mixed as the edges' alpha was unmixed, in the picture's own
// (gamma-encoded) levels: flattened over the backdrop's colour, a cut-out gives back the
// photo it was cut from.
void Framed::Store(const uint8_t* rgba, int32_t from, int32_t to) {
    const std::size_t at = held_.size();
    held_.resize(at + std::size_t(to - from) * std::size_t(channels_));
    uint8_t* out = held_.data() + at;
    if (channels_ == 4) {
        std::memcpy(out, rgba + 4 * from, std::size_t(to - from) * 4);
        return;
    }
    for (int32_t x = from; x < to; ++x, out += channels_) {
        const uint8_t* pixel = rgba + 4 * x;
        for (int c = 0; c < 3; ++c) {
            out[c] = Composite(pixel[c], pixel[3], background_[std::size_t(c)]);
        }
    }
}

// Reads the whole cut-out, keeping the rows of the object's box (every row, whole,
// without trimming) and each row only from its first to its last pixel of object.
Result Framed::Gather() {
    const PictureShape& in = source_->Shape();
    int32_t left = in.width, right = 0, top = -1, bottom = -1;
    std::size_t heldThroughBottom = 0;
    // Reserved, and so not touched until held: grown by doubling, the rows were copied
    // whole at each step, and 800 MB of them took 1.28 GB.
    held_.reserve(std::size_t(in.width) * std::size_t(in.height) * std::size_t(channels_));
    for (int32_t y = 0; y < in.height; ++y) {
        if (Result result = source_->Read(input_.data(), input_.size()); !result.Ok()) {
            return result;
        }
        int32_t from = 0, to = in.width;
        if (options_.trim) {
            while (from < in.width && input_[std::size_t(4 * from + 3)] == 0) {
                ++from;
            }
            while (to > from && input_[std::size_t(4 * to - 1)] == 0) {
                --to;
            }
        }
        if (from == to) {
            from = to = 0;
            if (top < 0) {
                continue;
            }
        } else {
            top = top < 0 ? y : top;
            bottom = y;
            left = std::min(left, from);
            right = std::max(right, to);
        }
        spans_.push_back({from, to, held_.size()});
        Store(input_.data(), from, to);
        if (bottom == y) {
            heldThroughBottom = spans_.size();
        }
    }
    if (top < 0) {
        return Fail(Status::NothingToFrame, "the cut-out is all transparent");
    }
    spans_.resize(heldThroughBottom);
    box_ = {left, top, right - left, bottom - top + 1};
    return {};
}

// Rows top..top+rows of the box as planes of box_.width samples, premultiplied when
// asked: the frame's colour where a row holds no object.
void Framed::Band(int32_t top, int32_t rows, bool premultiply, std::vector<uint8_t>& planes) const {
    const auto width = std::size_t(box_.width), plane = width * std::size_t(rows);
    planes.resize(plane * std::size_t(channels_) + Resampler::kPadding);
    for (int c = 0; c < channels_; ++c) {
        std::memset(planes.data() + plane * std::size_t(c), background_[std::size_t(c)], plane);
    }
    for (int32_t r = 0; r < rows; ++r) {
        const Span& span = spans_[std::size_t(top + r)];
        const uint8_t* pixel = held_.data() + span.at;
        for (int32_t x = span.from; x < span.to; ++x, pixel += channels_) {
            const std::size_t at = std::size_t(r) * width + std::size_t(x - box_.x);
            for (int c = 0; c < channels_; ++c) {
                planes[plane * std::size_t(c) + at] =
                    premultiply && c < 3 ? uint8_t((pixel[c] * pixel[3] + 127) / 255) : pixel[c];
            }
        }
    }
}

Result Framed::Resample() {
    const FrameBox& placed = layout_.placed;
    const bool same = placed.width == box_.width && placed.height == box_.height;
    if (same) {
        // Not resampled, the cut-out's own bytes are kept: premultiplied and back, a
        // colour at alpha 1 to 7 came out up to 127 levels off.
        straight_ = channels_ == 4;
        Band(0, box_.height, false, unscaled_);
    } else {
        if (Result result =
                resampler_.Open(box_.width, box_.height, placed.width, placed.height, channels_);
            !result.Ok()) {
            return result;
        }
        std::vector<uint8_t> band;
        for (int32_t top = 0; top < box_.height; top += kBandRows) {
            const int32_t rows = std::min(kBandRows, box_.height - top);
            Band(top, rows, channels_ == 4, band);
            const std::size_t plane = std::size_t(box_.width) * std::size_t(rows);
            std::array<const uint8_t*, 4> planes{};
            for (int c = 0; c < channels_; ++c) {
                planes[std::size_t(c)] = band.data() + plane * std::size_t(c);
            }
            if (Result result = resampler_.Feed(planes.data(), box_.width, rows); !result.Ok()) {
                return result;
            }
        }
    }
    const std::size_t plane = std::size_t(placed.width) * std::size_t(placed.height);
    for (int c = 0; c < channels_; ++c) {
        planes_[std::size_t(c)] =
            same ? unscaled_.data() + plane * std::size_t(c) : resampler_.Plane(c);
    }
    spans_ = {};
    held_ = {};
    return {};
}

Result Framed::WriteRow(int32_t y, uint8_t* out) {
    std::memset(out, 0, std::size_t(shape_.rowStride));
    if (!options_.Reshapes()) {
        // Flattening alone: row for row.
        if (Result result = source_->Read(input_.data(), input_.size()); !result.Ok()) {
            return result;
        }
        for (int32_t x = 0; x < shape_.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                out[3 * x + c] =
                    Composite(input_[std::size_t(4 * x + c)], input_[std::size_t(4 * x + 3)],
                              (*flatten_)[std::size_t(c)]);
            }
        }
        return {};
    }
    const FrameBox& placed = layout_.placed;
    const bool inside = y >= placed.y && y < placed.y + placed.height;
    const std::size_t written = flatten_ ? 3 : 4;
    for (int32_t x = 0; x < shape_.width; ++x) {
        uint8_t* pixel = out + std::size_t(x) * written;
        std::array<unsigned, 4> held{};  // as held; the frame's colour outside the box
        if (inside && x >= placed.x && x < placed.x + placed.width) {
            const std::size_t at =
                std::size_t(y - placed.y) * std::size_t(placed.width) + std::size_t(x - placed.x);
            for (std::size_t c = 0; c < std::size_t(channels_); ++c) {
                held[c] = planes_[c][at];
            }
        } else {
            std::copy_n(background_.begin(), channels_, held.begin());
        }
        if (channels_ == 3) {
            std::copy_n(held.begin(), 3, pixel);  // (flattened first)
            continue;
        }
        // Premultiplied: the resampler's overshoot past the alpha is clipped. Resampling
        // softens hard edges again: each pixel goes back to whole object or none, by the
        // side of the middle it lies on.
        const unsigned alpha = held[3];
        const bool clear = alpha == 0 || (options_.hardEdges && alpha < 128);
        for (std::size_t c = 0; c < 3 && straight_; ++c) {
            const auto own = uint8_t(clear ? 0 : held[c]);
            pixel[c] = !flatten_ ? own
                       : options_.hardEdges
                           ? (clear ? (*flatten_)[c] : own)
                           : Composite(uint8_t(held[c]), uint8_t(alpha), (*flatten_)[c]);
        }
        for (std::size_t c = 0; c < 3 && !straight_; ++c) {
            const unsigned share = std::min(held[c], alpha);
            const auto own = uint8_t(clear ? 0 : (share * 255u + alpha / 2) / alpha);
            if (!flatten_) {
                pixel[c] = own;
            } else if (options_.hardEdges) {
                pixel[c] = clear ? (*flatten_)[c] : own;
            } else {
                // (with the colour's share that the pixel leaves)
                pixel[c] = uint8_t(share + ((255 - alpha) * (*flatten_)[c] + 127) / 255);
            }
        }
        if (!flatten_) {
            pixel[3] = uint8_t(clear ? 0 : options_.hardEdges ? 255 : alpha);
        }
    }
    return {};
}

Result Framed::Read(uint8_t* into, std::size_t size) {
    return rows_.Read(into, size, [this](int32_t y, uint8_t* out) { return WriteRow(y, out); });
}

}  // namespace

FrameLayout LayOutFrame(const FramingOptions& options, int32_t boxWidth, int32_t boxHeight) {
    const double share = options.margin && options.margin->share ? options.margin->fraction : 0;
    const int32_t pixels = options.margin && !options.margin->share ? options.margin->pixels : 0;
    FrameLayout layout;
    int32_t width = boxWidth, height = boxHeight;
    if (options.size) {
        const FrameSize size = *options.size;
        const double roomX = share > 0 ? size.width * (1 - 2 * share) : size.width - 2.0 * pixels;
        const double roomY = share > 0 ? size.height * (1 - 2 * share) : size.height - 2.0 * pixels;
        const double scale = std::min(roomX / boxWidth, roomY / boxHeight);
        width = std::clamp(Rounded(boxWidth * scale), 1, size.width);
        height = std::clamp(Rounded(boxHeight * scale), 1, size.height);
        if (options.aspect) {
            layout.width = size.width;
            layout.height = size.height;
        } else if (share > 0) {
            layout.width = std::min(size.width, Rounded(width / (1 - 2 * share)));
            layout.height = std::min(size.height, Rounded(height / (1 - 2 * share)));
        } else {
            layout.width = std::min(size.width, width + 2 * pixels);
            layout.height = std::min(size.height, height + 2 * pixels);
        }
    } else {
        layout.width = share > 0 ? Rounded(width / (1 - 2 * share)) : width + 2 * pixels;
        layout.height = share > 0 ? Rounded(height / (1 - 2 * share)) : height + 2 * pixels;
        if (options.aspect) {
            const double aspect = double(options.aspect->width) / options.aspect->height;
            if (double(layout.width) < layout.height * aspect) {
                layout.width = Rounded(layout.height * aspect);
            } else {
                layout.height = Rounded(layout.width / aspect);
            }
        }
    }
    layout.placed = {(layout.width - width) / 2, (layout.height - height) / 2, width, height};
    return layout;
}

int FrameReduction(const FramingOptions& options, FrameBox probed, int probeDenominator) {
    if (!options.size || probed.width <= 0 || probed.height <= 0) {
        return 1;
    }
    // The probe's box is a probe's pixel short of the object's, or long: its edge
    // pixels hold some object and some backdrop. A hundredth's enlargement from the
    // reduced decoding is allowed for the doubt, and is not seen.
    const int64_t leastWidth = int64_t(std::max(probed.width - 1, 1)) * probeDenominator;
    const int64_t leastHeight = int64_t(std::max(probed.height - 1, 1)) * probeDenominator;
    const FrameLayout layout = LayOutFrame(options, int32_t(probed.width) * probeDenominator,
                                           int32_t(probed.height) * probeDenominator);
    for (const int reduction : {8, 4, 2}) {
        if (leastWidth * 100 >= int64_t(layout.placed.width) * reduction * 99 &&
            leastHeight * 100 >= int64_t(layout.placed.height) * reduction * 99) {
            return reduction;
        }
    }
    return 1;
}

Result MeasureObject(RowSource& source, FrameBox& box) {
    const PictureShape& shape = source.Shape();
    if (shape.bitCount != 32) {
        return Fail(Status::UnsupportedPicture, "only cut-outs are measured");
    }
    std::vector<uint8_t> row(std::size_t(shape.rowStride));
    int32_t left = shape.width, right = 0, top = -1, bottom = -1;
    for (int32_t y = 0; y < shape.height; ++y) {
        if (Result result = source.Read(row.data(), row.size()); !result.Ok()) {
            return result;
        }
        for (int32_t x = 0; x < shape.width; ++x) {
            if (row[std::size_t(4 * x + 3)] != 0) {
                left = std::min(left, x);
                right = std::max(right, x + 1);
                top = top < 0 ? y : top;
                bottom = y;
            }
        }
    }
    box = top < 0 ? FrameBox{} : FrameBox{left, top, right - left, bottom - top + 1};
    return {};
}

Result OpenFramedSource(std::unique_ptr<RowSource> source, const FramingOptions& options,
                        std::unique_ptr<RowSource>& framed) {
    auto opened = std::make_unique<Framed>();
    if (Result result = opened->Open(std::move(source), options); !result.Ok()) {
        return result;
    }
    framed = std::move(opened);
    return {};
}

}  // namespace zel7
