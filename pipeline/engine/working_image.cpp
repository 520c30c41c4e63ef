#include "engine/working_image.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "engine/orientation.h"
#include "formats/bitmap_layout.h"
#include "formats/picture_files.h"
#include "system/system.h"

namespace zel7 {

WorkingImage workingImage;

void ReleasePictureBuffers(WorkingImage& image) {
    FreePixelBuffer(image.pixels);
    image.pixels = nullptr;
    // Only 8-bit pictures get a colour table, but freeing whatever is there keeps an
    // unusual call sequence from leaking one.
    delete[] image.palette;
    image.palette = nullptr;
}

namespace {

// Rows read into fresh buffers, handed to the image only once all of them are in.
class ImageSink : public RowSink {
public:
    explicit ImageSink(WorkingImage& image) : image_(image) {}

    // The image gets the shape of the picture as seen: turned when the rows need it.
    Result Allocate(const PictureShape& decoded, const uint8_t* colorTable, int orientation) {
        turn_.emplace(orientation, decoded.width, decoded.height);
        orientation_ = orientation;
        shape_ = orientation == 1 ? decoded : DecodedShape(turn_->SeenWidth(), turn_->SeenHeight());
        decodedStride_ = std::size_t(decoded.rowStride);
        const PictureShape& shape = shape_;
        if (colorTable != nullptr) {
            palette_.reset(new (std::nothrow) uint8_t[kColorTableBytes]);
            if (!palette_) {
                return Fail(Status::OutOfMemory);
            }
            std::memcpy(palette_.get(), colorTable, kColorTableBytes);
        }
        if (shape.pixelBytes > 0) {
            pixels_.reset(AllocatePixelBuffer(std::size_t(shape.pixelBytes)));
            if (!pixels_) {
                return Fail(Status::OutOfMemory);
            }
            if (Turning()) {  // pixels are placed one by one: the rows' fill bytes too
                std::memset(pixels_.get(), 0, std::size_t(shape.pixelBytes));
            }
        }
        return {};
    }

    // Rows that need turning come top row first, and are placed a pixel at a time.
    bool Accepts(RowOrder order) const override { return !Turning() || order == RowOrder::TopDown; }
    void SetOrder(RowOrder order) override { order_ = order; }

    // Rows in the image's own order are read straight into place.
    uint8_t* Reserve(std::size_t) override {
        return order_ == RowOrder::BottomUp ? pixels_.get() + filled_ : nullptr;
    }

    Result Write(const uint8_t* bytes, std::size_t size) override {
        if (Turning()) {
            for (std::size_t done = 0; done < size; done += decodedStride_, ++turnedRow_) {
                Place(bytes + done);
            }
            filled_ += size;
            return {};
        }
        if (order_ == RowOrder::BottomUp) {
            if (bytes != pixels_.get() + filled_) {
                std::memcpy(pixels_.get() + filled_, bytes, size);
            }
        } else {  // whole rows, top row first
            const auto stride = std::size_t(shape_.rowStride);
            for (std::size_t done = 0; done < size; done += stride) {
                const std::size_t row = std::size_t(shape_.height) - 1 - (filled_ + done) / stride;
                std::memcpy(pixels_.get() + row * stride, bytes + done, stride);
            }
        }
        filled_ += size;
        return {};
    }

    Result Commit() override {
        if (Turning() ? turnedRow_ != (turn_->Swaps() ? shape_.width : shape_.height)
                      : filled_ != std::size_t(shape_.pixelBytes)) {
            return Fail(Status::TruncatedPixels);
        }
        ReleasePictureBuffers(image_);
        image_.width = shape_.width;
        image_.height = shape_.height;
        image_.bitCount = shape_.bitCount;
        image_.pixels = pixels_.release();
        image_.palette = palette_.release();
        return {};
    }

private:
    bool Turning() const {
        return turn_ && shape_.width != 0 && decodedStride_ != 0 && orientation_ != 1;
    }

    // Puts each pixel of one decoded row where it is seen; the image's rows are stored
    // bottom row first.
    void Place(const uint8_t* row) {
        const int32_t decodedWidth = turn_->Swaps() ? shape_.height : shape_.width;
        for (int32_t x = 0; x < decodedWidth; ++x) {
            int32_t seenX, seenY;
            turn_->Map(x, turnedRow_, seenX, seenY);
            const std::size_t stored = std::size_t(shape_.height - 1 - seenY);
            std::memcpy(
                pixels_.get() + stored * std::size_t(shape_.rowStride) + 3 * std::size_t(seenX),
                row + 3 * std::size_t(x), 3);
        }
    }

    WorkingImage& image_;
    PictureShape shape_;
    std::optional<Turn> turn_;
    int orientation_ = 1;
    std::size_t decodedStride_ = 0;
    int32_t turnedRow_ = 0;
    PixelBuffer pixels_;
    std::unique_ptr<uint8_t[]> palette_;
    std::size_t filled_ = 0;
    RowOrder order_ = RowOrder::BottomUp;
};

// Rows already in memory, lent to the sink without a copy.
class MemorySource : public RowSource, public StoredRows {
public:
    MemorySource(const PictureShape& shape, const uint8_t* pixels, const uint8_t* colorTable)
        : shape_(shape), pixels_(pixels), colorTable_(colorTable) {}

    const PictureShape& Shape() const override { return shape_; }
    StoredRows* Stored() override { return this; }
    bool SetTrueColour() override { return shape_.bitCount == 24; }
    const uint8_t* ColorTable() const override { return colorTable_; }
    RowOrder Order() const override { return order_; }
    bool SetOrder(RowOrder order) override {
        order_ = order;
        return true;
    }

    Result Read(uint8_t* into, std::size_t size) override {
        if (order_ == RowOrder::BottomUp) {
            std::memcpy(into, Lend(size), size);
            return {};
        }
        const auto stride = std::size_t(shape_.rowStride);  // whole rows, top row first
        for (std::size_t done = 0; done < size; done += stride, position_ += stride) {
            const std::size_t row = std::size_t(shape_.height) - 1 - position_ / stride;
            std::memcpy(into + done, pixels_ + row * stride, stride);
        }
        return {};
    }

    const uint8_t* Lend(std::size_t size) override {
        if (order_ != RowOrder::BottomUp) {
            return nullptr;
        }
        const uint8_t* at = pixels_ + position_;
        position_ += size;
        return at;
    }

private:
    RowOrder order_ = RowOrder::BottomUp;
    PictureShape shape_;
    const uint8_t* pixels_;
    const uint8_t* colorTable_;
    std::size_t position_ = 0;
};

}  // namespace

Result LoadPicture(const std::filesystem::path& path, WorkingImage& image,
                   const SourceOptions& options, bool trueColour) {
    std::unique_ptr<RowSource> source;
    if (Result result = OpenPictureSource(path, options, source); !result.Ok()) {
        return result;
    }
    if (trueColour && !AsTrueColour(*source)) {
        return Fail(Status::TooManyPixels, "too large to convert");
    }
    ImageSink sink(image);
    if (Result result =
            sink.Allocate(source->Shape(), ColorTableOf(*source), source->Orientation());
        !result.Ok()) {
        return result;
    }
    std::vector<uint8_t> unused;  // rows go straight into the image's buffer
    return CopyRows(*source, sink, {}, unused);
}

Result SavePicture(const std::filesystem::path& path, const uint8_t* pixels, int32_t width,
                   int32_t height, int32_t bitCount, const uint8_t* palette) {
    BitmapLayout shape;
    if (Status status = MakeWrittenLayout(width, height, bitCount, shape); status != Status::Ok) {
        return Fail(status);
    }
    if (pixels == nullptr && shape.pixelBytes > 0) {
        return Fail(Status::NoPixels);
    }
    // The dialog writes two-tone masks: a PNG to a name that says so, a BMP to any other,
    // .jpg included.
    const PictureFormat format =
        FormatForName(path) == PictureFormat::Png ? PictureFormat::Png : PictureFormat::Bmp;
    if (format == PictureFormat::Png && bitCount != 24) {
        return Fail(Status::UnsupportedPicture, "only 24-bit masks are written as PNG");
    }
    MemorySource source(shape, pixels, bitCount == 8 ? palette : nullptr);
    std::unique_ptr<RowSink> sink;
    if (Result result = CreatePictureSink(path, format, shape, source.ColorTable(), sink);
        !result.Ok()) {
        return result;
    }
    std::vector<uint8_t> unused;  // rows are lent straight from memory
    return CopyRows(source, *sink, {}, unused);
}

bool ReadBitmapFile(const char* path) {
    return LoadPicture(path, workingImage).Ok();
}

bool WriteBitmapFile(const char* path, const uint8_t* pixels, int32_t width, int32_t height,
                     int32_t bitCount, const uint8_t* palette) {
    return SavePicture(path, pixels, width, height, bitCount, palette).Ok();
}

}  // namespace zel7
