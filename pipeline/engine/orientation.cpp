#include "engine/orientation.h"

#include <cstring>
#include <vector>

#include "formats/decoded_rows.h"

namespace zel7 {

Turn::Turn(int orientation, int32_t width, int32_t height)
    : orientation_(orientation >= 1 && orientation <= 8 ? orientation : 1),
      width_(width),
      height_(height) {}

void Turn::Map(int32_t x, int32_t y, int32_t& seenX, int32_t& seenY) const {
    const int32_t mirroredX = width_ - 1 - x, flippedY = height_ - 1 - y;
    switch (orientation_) {
        case 2:  // mirrored
            seenX = mirroredX, seenY = y;
            break;
        case 3:  // turned half round
            seenX = mirroredX, seenY = flippedY;
            break;
        case 4:  // upside down
            seenX = x, seenY = flippedY;
            break;
        case 5:  // mirrored along the diagonal
            seenX = y, seenY = x;
            break;
        case 6:  // to be turned a quarter clockwise
            seenX = flippedY, seenY = x;
            break;
        case 7:  // mirrored along the other diagonal
            seenX = flippedY, seenY = mirroredX;
            break;
        case 8:  // to be turned a quarter anticlockwise
            seenX = y, seenY = mirroredX;
            break;
        default:
            seenX = x, seenY = y;
    }
}

namespace {

class UprightMask : public RowSource {
public:
    UprightMask(std::unique_ptr<RowSource> source, Background background)
        : source_(std::move(source)),
          background_(background),
          turn_(source_->Orientation(), source_->Shape().width, source_->Shape().height),
          shape_(DecodedShape(turn_.SeenWidth(), turn_.SeenHeight())) {}

    const PictureShape& Shape() const override { return shape_; }

    Result Read(uint8_t* into, std::size_t size) override {
        if (!gathered_) {
            if (Result result = Gather(); !result.Ok()) {
                return result;
            }
            gathered_ = true;
        }
        const uint8_t backgroundLevel = BackgroundLevel(background_);
        const auto stride = std::size_t(shape_.rowStride);
        for (std::size_t done = 0; done < size; done += stride, ++row_) {
            uint8_t* out = into + done;
            for (int32_t x = 0; x < shape_.width; ++x, out += 3) {
                const std::size_t bit =
                    std::size_t(row_) * std::size_t(shape_.width) + std::size_t(x);
                std::memset(
                    out, bits_[bit / 8] >> (bit % 8) & 1 ? backgroundLevel : 255 - backgroundLevel,
                    3);
            }
            std::memset(out, 0, stride - 3 * std::size_t(shape_.width));
        }
        return {};
    }

private:
    // Masks every decoded row and notes each background pixel where it is seen.
    Result Gather() {
        const PictureShape& stored = source_->Shape();
        if (!AsTrueColour(*source_)) {
            return Fail(Status::UnsupportedPicture, "cannot be turned upright");
        }
        bits_.assign((std::size_t(shape_.width) * std::size_t(shape_.height) + 7) / 8 + 1, 0);
        const auto stride = std::size_t(stored.rowStride);
        const std::size_t rowsPerSlice =
            std::max<std::size_t>(1, kSliceBytes / std::max<std::size_t>(stride, 1));
        std::vector<uint8_t> rows(rowsPerSlice * stride);
        for (int32_t y = 0; y < stored.height;) {
            const auto count =
                int32_t(std::min<std::size_t>(rowsPerSlice, std::size_t(stored.height - y)));
            if (Result result = source_->Read(rows.data(), std::size_t(count) * stride);
                !result.Ok()) {
                return result;
            }
            MaskRows(background_, rows.data(), stored.width, count, stored.rowStride);
            for (int32_t r = 0; r < count; ++r, ++y) {
                const uint8_t* pixel = rows.data() + std::size_t(r) * stride;
                for (int32_t x = 0; x < stored.width; ++x, pixel += 3) {
                    if (*pixel != 0) {
                        int32_t seenX, seenY;
                        turn_.Map(x, y, seenX, seenY);
                        const std::size_t bit =
                            std::size_t(seenY) * std::size_t(shape_.width) + std::size_t(seenX);
                        bits_[bit / 8] |= uint8_t(1 << (bit % 8));
                    }
                }
            }
        }
        return {};
    }

    std::unique_ptr<RowSource> source_;
    Background background_;
    Turn turn_;
    PictureShape shape_;
    std::vector<uint8_t> bits_;  // one a pixel as seen, set for background
    bool gathered_ = false;
    int32_t row_ = 0;
};

class Upright : public RowSource {
public:
    explicit Upright(std::unique_ptr<RowSource> source)
        : source_(std::move(source)),
          turn_(source_->Orientation(), source_->Shape().width, source_->Shape().height) {
        const PictureShape& stored = source_->Shape();
        const int32_t width = turn_.SeenWidth();
        const int32_t stride = RowStride(width, stored.bitCount);
        shape_ = {width, turn_.SeenHeight(), stored.bitCount, stride, stride * turn_.SeenHeight()};
    }

    const PictureShape& Shape() const override { return shape_; }

    Result Read(uint8_t* into, std::size_t size) override {
        if (!gathered_) {
            if (Result result = Gather(); !result.Ok()) {
                return result;
            }
            gathered_ = true;
        }
        std::memcpy(into, picture_.data() + done_, size);
        done_ += size;
        return {};
    }

private:
    // Reads every stored row and puts each pixel where it is seen.
    Result Gather() {
        const PictureShape& stored = source_->Shape();
        const auto bytes = std::size_t(stored.bitCount / 8);
        picture_.assign(std::size_t(shape_.pixelBytes), 0);
        std::vector<uint8_t> row(std::size_t(stored.rowStride));
        for (int32_t y = 0; y < stored.height; ++y) {
            if (Result result = source_->Read(row.data(), row.size()); !result.Ok()) {
                return result;
            }
            for (int32_t x = 0; x < stored.width; ++x) {
                int32_t seenX, seenY;
                turn_.Map(x, y, seenX, seenY);
                std::memcpy(picture_.data() + std::size_t(seenY) * std::size_t(shape_.rowStride) +
                                std::size_t(seenX) * bytes,
                            row.data() + std::size_t(x) * bytes, bytes);
            }
        }
        return {};
    }

    std::unique_ptr<RowSource> source_;
    Turn turn_;
    PictureShape shape_;
    std::vector<uint8_t> picture_;
    std::size_t done_ = 0;
    bool gathered_ = false;
};

}  // namespace

std::unique_ptr<RowSource> UprightSource(std::unique_ptr<RowSource> source) {
    return std::make_unique<Upright>(std::move(source));
}

std::unique_ptr<RowSource> UprightMaskSource(std::unique_ptr<RowSource> source,
                                             Background background) {
    return std::make_unique<UprightMask>(std::move(source), background);
}

}  // namespace zel7
