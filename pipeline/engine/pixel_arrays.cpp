#include "engine/pixel_arrays.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "formats/decoded_rows.h"
#include "refine/backdrop.h"

namespace zel7 {
namespace {

class ArraySource : public RowSource {
public:
    ArraySource(const PixelArray& picture, Background background)
        : picture_(picture),
          shape_(DecodedShape(picture.width, picture.height)),
          background_(BackgroundLevel(background)) {}

    const PictureShape& Shape() const override { return shape_; }

    Result Read(uint8_t* into, std::size_t size) override {
        const auto stride = std::size_t(shape_.rowStride);
        if (size % stride != 0 || size / stride > std::size_t(shape_.height - row_)) {
            return Fail(Status::ReadFailed, "rows asked for in pieces or past the last");
        }
        for (std::size_t done = 0; done < size; done += stride, ++row_) {
            ConvertRow(picture_.data + row_ * picture_.rowStride, into + done);
            std::memset(into + done + 3 * std::size_t(shape_.width), 0,
                        stride - 3 * std::size_t(shape_.width));
        }
        return {};
    }

private:
    uint8_t Sample(const uint8_t* pixel, int32_t channel) const {
        const uint8_t* at = pixel + channel * picture_.channelStride;
        if (picture_.sampleBytes == 1) {
            return *at;
        }
        uint16_t wide;
        std::memcpy(&wide, at, 2);
        return uint8_t(wide >> 8);
    }

    void ConvertRow(const uint8_t* row, uint8_t* bgr) const {
        for (int32_t x = 0; x < picture_.width; ++x, bgr += 3) {
            const uint8_t* pixel = row + x * picture_.pixelStride;
            if (picture_.channels == 1) {
                std::memset(bgr, Sample(pixel, 0), 3);
                continue;
            }
            const uint8_t alpha = picture_.channels == 4 ? Sample(pixel, 3) : 255;
            const bool blueFirst = picture_.order == ChannelOrder::Bgr;
            for (int32_t c = 0; c < 3; ++c) {
                bgr[blueFirst ? c : 2 - c] = Composite(Sample(pixel, c), alpha, background_);
            }
        }
    }

    PixelArray picture_;
    PictureShape shape_;
    uint8_t background_;
    int32_t row_ = 0;
};

// Takes 24-bit grey rows (a byte a pixel kept) or 32-bit ones (kept whole, red and blue
// swapped for Bgr).
class ArraySink : public RowSink {
public:
    ArraySink(uint8_t* out, const PictureShape& shape, ChannelOrder order)
        : out_(out), shape_(shape), order_(order) {}

    bool Accepts(RowOrder order) const override { return order == RowOrder::TopDown; }
    void SetOrder(RowOrder) override {}
    Result Write(const uint8_t* bytes, std::size_t size) override {
        const auto width = std::size_t(shape_.width);
        for (std::size_t done = 0; done < size; done += std::size_t(shape_.rowStride)) {
            if (shape_.bitCount == 32) {
                std::memcpy(out_, bytes + done, 4 * width);
                if (order_ == ChannelOrder::Bgr) {
                    for (std::size_t x = 0; x < width; ++x) {
                        std::swap(out_[4 * x], out_[4 * x + 2]);
                    }
                }
                out_ += 4 * width;
                continue;
            }
            for (std::size_t x = 0; x < width; ++x) {
                *out_++ = bytes[done + 3 * x];
            }
        }
        return {};
    }
    Result Commit() override { return {}; }

private:
    uint8_t* out_;
    PictureShape shape_;
    ChannelOrder order_;
};

}  // namespace

Result ReadChannelOrder(std::optional<std::string_view> name, int32_t channels,
                        ChannelOrder& order) {
    order = ChannelOrder::Rgb;
    if (!name) {
        return {};
    }
    static constexpr std::string_view kNames[] = {"rgb", "bgr", "rgba", "bgra"};
    const auto* found = std::find(std::begin(kNames), std::end(kNames), *name);
    if (found == std::end(kNames)) {
        return Fail(Status::InvalidOptions,
                    "channels is 'rgb', 'bgr', 'rgba' or 'bgra', not '" + std::string(*name) + "'");
    }
    if (int32_t(found->size()) != channels) {
        return Fail(Status::InvalidOptions,
                    "channels '" + std::string(*name) + "' names " + std::to_string(found->size()) +
                        " channels; the array has " + std::to_string(channels));
    }
    order = found->front() == 'b' ? ChannelOrder::Bgr : ChannelOrder::Rgb;
    return {};
}

Result MaskArray(const PixelArray& picture, Background background, const RefineOptions& options,
                 uint8_t* out, std::optional<Confidence>* confidence) {
    if (picture.channels != 1 && picture.channels != 3 && picture.channels != 4) {
        return Fail(Status::UnsupportedPicture, "arrays of 1, 3 or 4 channels are masked");
    }
    if (picture.sampleBytes != 1 && picture.sampleBytes != 2) {
        return Fail(Status::UnsupportedPicture, "samples of 8 or 16 bits are masked");
    }
    if (Result result = CheckDimensions(uint64_t(picture.width), uint64_t(picture.height),
                                        {background, UINT64_MAX});
        !result.Ok()) {
        return result;
    }
    if (picture.width == 0 || picture.height == 0) {
        return {};
    }
    // A plain mask of packed 8-bit colours needs no rows: each pixel is compared where
    // it lies, and the threshold, alike for all three channels, cares not whether red
    // or blue comes first.
    if (!options.Active() && picture.sampleBytes == 1 && picture.channels == 3 &&
        picture.channelStride == 1 && picture.pixelStride == 3) {
        const Backdrop reference = FixedBackdrop(background);
        for (int32_t y = 0; y < picture.height; ++y) {
            ClassifyPixels(picture.data + y * picture.rowStride, picture.width, reference, 255,
                           out + std::size_t(y) * std::size_t(picture.width));
        }
        return {};
    }
    const SourceOpener open = [&](std::unique_ptr<RowSource>& source) {
        source = std::make_unique<ArraySource>(picture, background);
        return Result{};
    };
    std::unique_ptr<RowSource> source;
    if (Result result =
            options.Active() ? OpenRefinedSource(open, background, options, source) : open(source);
        !result.Ok()) {
        return result;
    }
    ArraySink sink(out, source->Shape(), picture.order);
    std::vector<uint8_t> buffer;
    CopyOptions copy;
    if (!options.Active()) {
        copy.mask = background;
    }
    if (Result result = CopyRows(*source, sink, copy, buffer); !result.Ok()) {
        return result;
    }
    if (confidence != nullptr) {
        *confidence = ConfidenceOf(*source);
    }
    return {};
}

}  // namespace zel7
