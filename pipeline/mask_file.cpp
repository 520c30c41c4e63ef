#include "mask_file.h"

#include <algorithm>

#include "bitmap_file.h"
#include "working_image.h"

namespace zel7 {

BitmapError MaskBitmapFile(const char* source, const char* destination, Background background,
                           std::vector<uint8_t>& buffer) {
    BitmapSource input;
    if (BitmapError error = input.Open(source); !error.Ok()) {
        return error;
    }
    const BitmapLayout& from = input.Layout();

    uint8_t palette[kColorTableBytes];
    if (from.bitCount == 8) {
        if (BitmapError error = input.ReadColorTable(palette); !error.Ok()) {
            return error;
        }
    }
    BitmapLayout to;
    if (BitmapStatus status = MakeWrittenLayout(from.width, from.height, from.bitCount, to);
        status != BitmapStatus::Ok) {
        return {status, 0};
    }
    BitmapSink output;
    if (BitmapError error = output.Create(destination, to, palette); !error.Ok()) {
        return error;
    }

    // Slices hold whole rows; a row longer than a slice is cut into pieces whose
    // length is a multiple of 3, so that no pixel straddles two of them.
    const std::size_t stride = std::size_t(from.rowStride);
    const std::size_t pixelDataBytes = std::size_t(from.width) * 3;
    const bool masking = from.bitCount == 24;
    const std::size_t rowsPerSlice =
        stride == 0 ? 1 : std::max<std::size_t>(1, kSliceBytes / stride);
    const std::size_t pieceBytes = std::min(stride, kSliceBytes / 3 * 3);
    buffer.resize(stride <= kSliceBytes ? rowsPerSlice * stride : pieceBytes);

    const std::size_t rows = std::size_t(from.height);
    for (std::size_t row = 0; row < rows && stride > 0;) {
        const uint64_t rowOffset = uint64_t(row) * stride;
        if (stride <= kSliceBytes) {
            const std::size_t count = std::min(rowsPerSlice, rows - row);
            const std::size_t bytes = count * stride;
            if (BitmapError error = input.ReadPixels(rowOffset, bytes, buffer.data());
                !error.Ok()) {
                return error;
            }
            if (masking) {
                MaskRows(background, buffer.data(), from.width, int32_t(count), from.rowStride);
            }
            if (BitmapError error = output.WritePixels(buffer.data(), bytes); !error.Ok()) {
                return error;
            }
            row += count;
            continue;
        }
        for (std::size_t start = 0; start < stride; start += pieceBytes) {
            const std::size_t bytes = std::min(pieceBytes, stride - start);
            if (BitmapError error = input.ReadPixels(rowOffset + start, bytes, buffer.data());
                !error.Ok()) {
                return error;
            }
            if (masking && start < pixelDataBytes) {
                const std::size_t pixels = (std::min(start + bytes, pixelDataBytes) - start) / 3;
                MaskRows(background, buffer.data(), int32_t(pixels), 1, int32_t(pixels * 3));
            }
            if (BitmapError error = output.WritePixels(buffer.data(), bytes); !error.Ok()) {
                return error;
            }
        }
        ++row;
    }
    return output.Commit();
}

}  // namespace zel7
