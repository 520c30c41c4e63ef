#include <algorithm>
#include <cstring>

#include "formats/bitmap_file.h"

namespace zel7 {

Result BitmapSink::Create(const std::filesystem::path& path, const PictureShape& shape,
                          const uint8_t* colorTable, const std::filesystem::path& inside) {
    if (shape.bitCount == 8 && colorTable == nullptr) {
        return Fail(Status::NoColorTable);
    }
    BitmapLayout layout;
    if (Status status = MakeWrittenLayout(shape.width, shape.height, shape.bitCount, layout);
        status != Status::Ok) {
        return Fail(status);
    }
    if (Result result = file_.Create(path, inside); !result.Ok()) {
        return result;
    }
    layout_ = layout;
    order_ = RowOrder::BottomUp;
    bytesWritten_ = 0;

    // Headers and colour table go out in one write.
    uint8_t front[kHeadersBytes + kColorTableBytes];
    const auto headers = EncodeBitmapHeaders(layout);
    std::memcpy(front, headers.data(), headers.size());
    std::size_t frontBytes = headers.size();
    if (layout.bitCount == 8) {
        std::memcpy(front + frontBytes, colorTable, kColorTableBytes);
        frontBytes += kColorTableBytes;
    }
    return Write(front, frontBytes);
}

bool BitmapSink::Accepts(RowOrder) const {
    return true;
}

void BitmapSink::SetOrder(RowOrder order) {
    order_ = order;
}

// The file wants the bottom row first: rows that come top row first go straight to
// their place in it.
Result BitmapSink::Write(const uint8_t* bytes, std::size_t size) {
    const uint64_t at = bytesWritten_;
    bytesWritten_ += size;
    if (order_ == RowOrder::BottomUp || at < layout_.pixelOffset) {
        return file_.Write(bytes, size);
    }
    const auto stride = std::size_t(layout_.rowStride);
    const std::size_t first = std::size_t(at - layout_.pixelOffset) / stride;
    for (std::size_t i = 0; i * stride < size; ++i) {
        const uint64_t row = uint64_t(layout_.height) - 1 - (first + i);
        if (Result result =
                file_.WriteAt(bytes + i * stride, stride, layout_.pixelOffset + row * stride);
            !result.Ok()) {
            return result;
        }
    }
    return {};
}

Result BitmapSink::Commit() {
    const uint64_t expected = layout_.pixelOffset + uint64_t(layout_.pixelBytes);
    if (bytesWritten_ != expected) {
        file_.Abort();
        return Fail(Status::NoPixels);
    }
    return file_.Commit();
}

}  // namespace zel7
