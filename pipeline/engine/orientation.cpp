#include "engine/orientation.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/decoded_rows.h"
#include "system/system.h"

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
    std::span<const uint8_t> ColourProfile() const override { return source_->ColourProfile(); }

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
    Upright(std::unique_ptr<RowSource> source, std::size_t heldBytes)
        : source_(std::move(source)),
          turn_(source_->Orientation(), source_->Shape().width, source_->Shape().height) {
        const PictureShape& stored = source_->Shape();
        const int32_t width = turn_.SeenWidth();
        const int32_t stride = RowStride(width, stored.bitCount);
        shape_ = {width, turn_.SeenHeight(), stored.bitCount, stride, stride * turn_.SeenHeight()};
        spooled_ = std::size_t(stored.pixelBytes) > heldBytes;
        // A band of upright rows within heldBytes when spooled; the whole picture else.
        bandRows_ = spooled_ ? std::clamp<int32_t>(int32_t(heldBytes / std::size_t(stride)), 1,
                                                   shape_.height)
                             : shape_.height;
    }

    const PictureShape& Shape() const override { return shape_; }
    std::span<const uint8_t> ColourProfile() const override { return source_->ColourProfile(); }

    Result Read(uint8_t* into, std::size_t size) override {
        if (!gathered_) {
            if (Result result = spooled_ ? Spool() : Gather(); !result.Ok()) {
                return result;
            }
            gathered_ = true;
        }
        while (size > 0) {
            if (done_ == band_.size()) {
                if (Result result = NextBand(); !result.Ok()) {
                    return result;
                }
            }
            const std::size_t part = std::min(size, band_.size() - done_);
            std::memcpy(into, band_.data() + done_, part);
            done_ += part, into += part, size -= part;
        }
        return {};
    }

private:
    // Puts the pixels of stored row y that are seen in the band of upright rows from
    // first where they are seen; columns lo to hi of the row are at pixels.
    void Place(int32_t y, const uint8_t* pixels, int32_t lo, int32_t hi, int32_t first) {
        const auto bytes = std::size_t(source_->Shape().bitCount / 8);
        for (int32_t x = lo; x <= hi; ++x) {
            int32_t seenX, seenY;
            turn_.Map(x, y, seenX, seenY);
            if (seenY >= first && seenY < first + bandRows_) {
                std::memcpy(band_.data() +
                                std::size_t(seenY - first) * std::size_t(shape_.rowStride) +
                                std::size_t(seenX) * bytes,
                            pixels + std::size_t(x - lo) * bytes, bytes);
            }
        }
    }

    // Reads every stored row and puts each pixel where it is seen: one band, the whole
    // picture.
    Result Gather() {
        const PictureShape& stored = source_->Shape();
        band_.assign(std::size_t(shape_.pixelBytes), 0);
        std::vector<uint8_t> row(std::size_t(stored.rowStride));
        for (int32_t y = 0; y < stored.height; ++y) {
            if (Result result = source_->Read(row.data(), row.size()); !result.Ok()) {
                return result;
            }
            Place(y, row.data(), 0, stored.width - 1, 0);
        }
        nextRow_ = shape_.height;
        return {};
    }

    // Writes every stored row, as it is, to a temporary file.
    Result Spool() {
        const PictureShape& stored = source_->Shape();
        if (Result result = file_.Create(); !result.Ok()) {
            return result;
        }
        std::vector<uint8_t> row(std::size_t(stored.rowStride));
        for (int32_t y = 0; y < stored.height; ++y) {
            if (Result result = source_->Read(row.data(), row.size()); !result.Ok()) {
                return result;
            }
            if (Result result =
                    file_.WriteAt(row.data(), row.size(), uint64_t(y) * uint64_t(row.size()));
                !result.Ok()) {
                return result;
            }
        }
        return {};
    }

    // The next band of upright rows, from the stored rows that have pixels in it: for a
    // quarter turn, a run of columns of every stored row; else whole rows.
    Result NextBand() {
        if (!spooled_ || nextRow_ >= shape_.height) {
            return Fail(Status::ReadFailed, "read past the last row");
        }
        const PictureShape& stored = source_->Shape();
        const auto bytes = std::size_t(stored.bitCount / 8);
        const int32_t first = nextRow_, last = std::min(first + bandRows_, shape_.height) - 1;
        band_.assign(std::size_t(last - first + 1) * std::size_t(shape_.rowStride), 0);
        // The stored columns, or rows, seen in the band: where its first and last upright
        // rows come from.
        int32_t lo = 0, hi = stored.width - 1, fromY = 0, toY = stored.height - 1;
        int32_t x0, y0, x1, y1;
        Unmap(0, first, x0, y0);
        Unmap(0, last, x1, y1);
        if (turn_.Swaps()) {
            lo = std::min(x0, x1), hi = std::max(x0, x1);
        } else {
            fromY = std::min(y0, y1), toY = std::max(y0, y1);
        }
        std::vector<uint8_t> pixels(std::size_t(hi - lo + 1) * bytes);
        for (int32_t y = fromY; y <= toY; ++y) {
            const uint64_t at = uint64_t(y) * uint64_t(stored.rowStride) + uint64_t(lo) * bytes;
            if (Result result = file_.ReadAt(pixels.data(), pixels.size(), at); !result.Ok()) {
                return result;
            }
            Place(y, pixels.data(), lo, hi, first);
        }
        nextRow_ = last + 1;
        done_ = 0;
        return {};
    }

    // The stored pixel seen at seenX, seenY. Every orientation undoes itself but the two
    // quarter turns, which undo each other.
    void Unmap(int32_t seenX, int32_t seenY, int32_t& x, int32_t& y) const {
        const int orientation = source_->Orientation();
        const int inverse = orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
        Turn(inverse, shape_.width, shape_.height).Map(seenX, seenY, x, y);
    }

    std::unique_ptr<RowSource> source_;
    Turn turn_;
    PictureShape shape_;
    bool spooled_ = false;
    int32_t bandRows_ = 0;
    ScratchFile file_;           // the stored rows, when spooled
    std::vector<uint8_t> band_;  // upright rows being handed out
    int32_t nextRow_ = 0;        // the first upright row of the next band
    std::size_t done_ = 0;       // bytes of band_ handed out
    bool gathered_ = false;
};

}  // namespace

std::unique_ptr<RowSource> UprightSource(std::unique_ptr<RowSource> source, std::size_t heldBytes) {
    return std::make_unique<Upright>(std::move(source), heldBytes);
}

std::unique_ptr<RowSource> UprightMaskSource(std::unique_ptr<RowSource> source,
                                             Background background) {
    return std::make_unique<UprightMask>(std::move(source), background);
}

}  // namespace zel7
