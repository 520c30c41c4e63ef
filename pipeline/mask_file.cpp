#include "mask_file.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bitmap_file.h"
#include "working_image.h"

namespace zel7 {
namespace {

// A stretch of the stored rows that is read, masked and written in one go.
struct Slice {
    uint64_t offset;     // into the rows
    std::size_t bytes;   // to read and write
    int32_t rows;        // whole rows in it, or 0 for a piece of one long row
    int32_t pieceWidth;  // pixels to mask in a piece
};

// Slices hold whole rows; a row longer than a slice is cut into pieces whose length is
// a multiple of 3, so that no pixel straddles two of them.
std::vector<Slice> PlanSlices(const BitmapLayout& layout) {
    std::vector<Slice> slices;
    const std::size_t stride = std::size_t(layout.rowStride);
    const std::size_t rows = std::size_t(layout.height);
    if (stride == 0) {
        return slices;
    }
    if (stride <= kSliceBytes) {
        const std::size_t rowsPerSlice = kSliceBytes / stride;
        for (std::size_t row = 0; row < rows; row += rowsPerSlice) {
            const std::size_t count = std::min(rowsPerSlice, rows - row);
            slices.push_back({row * stride, count * stride, int32_t(count), 0});
        }
        return slices;
    }
    const std::size_t pixelDataBytes = std::size_t(layout.width) * (layout.bitCount / 8);
    const std::size_t pieceBytes = kSliceBytes / 3 * 3;
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t start = 0; start < stride; start += pieceBytes) {
            const std::size_t bytes = std::min(pieceBytes, stride - start);
            const std::size_t dataEnd = std::min(start + bytes, pixelDataBytes);
            const auto pixels = int32_t(dataEnd > start ? (dataEnd - start) / 3 : 0);
            slices.push_back({row * stride + start, bytes, 0, pixels});
        }
    }
    return slices;
}

class SliceMasker {
public:
    SliceMasker(const BitmapSource& input, Background background)
        : input_(input), background_(background), masking_(input.Layout().bitCount == 24) {}

    BitmapError ReadAndMask(const Slice& slice, uint8_t* buffer) const {
        if (BitmapError error = input_.ReadPixels(slice.offset, slice.bytes, buffer); !error.Ok()) {
            return error;
        }
        if (masking_ && slice.rows > 0) {
            const BitmapLayout& layout = input_.Layout();
            MaskRows(background_, buffer, layout.width, slice.rows, layout.rowStride);
        } else if (masking_) {
            MaskRows(background_, buffer, slice.pieceWidth, 1, slice.pieceWidth * 3);
        }
        return {};
    }

private:
    const BitmapSource& input_;
    Background background_;
    bool masking_;
};

BitmapError RunInline(const std::vector<Slice>& slices, const SliceMasker& masker,
                      BitmapSink& output, uint8_t* buffer) {
    for (const Slice& slice : slices) {
        if (BitmapError error = masker.ReadAndMask(slice, buffer); !error.Ok()) {
            return error;
        }
        if (BitmapError error = output.WritePixels(buffer, slice.bytes); !error.Ok()) {
            return error;
        }
    }
    return {};
}

// Reads and masks on this thread while another writes, through a ring of buffers:
// the system's copying into and out of the page cache then runs on two cores.
BitmapError RunOverlapped(const std::vector<Slice>& slices, const SliceMasker& masker,
                          BitmapSink& output, uint8_t* buffers, std::size_t ring) {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t produced = 0, consumed = 0;
    bool stop = false;
    BitmapError readError, writeError;

    std::jthread writer([&] {
        for (std::size_t i = 0; i < slices.size(); ++i) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return produced > i || stop; });
                if (produced <= i) {
                    return;
                }
            }
            BitmapError error =
                output.WritePixels(buffers + (i % ring) * kSliceBytes, slices[i].bytes);
            std::lock_guard lock(mutex);
            if (!error.Ok()) {
                writeError = error;
                stop = true;
            }
            consumed = i + 1;
            changed.notify_all();
            if (stop) {
                return;
            }
        }
    });
    for (std::size_t i = 0; i < slices.size(); ++i) {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return i - consumed < ring || stop; });
            if (stop) {
                break;
            }
        }
        BitmapError error = masker.ReadAndMask(slices[i], buffers + (i % ring) * kSliceBytes);
        std::lock_guard lock(mutex);
        if (!error.Ok()) {
            readError = error;
            stop = true;
            changed.notify_all();
            break;
        }
        produced = i + 1;
        changed.notify_all();
    }
    writer.join();
    return !readError.Ok() ? readError : writeError;
}

}  // namespace

BitmapError MaskBitmapFile(const char* source, const char* destination, Background background,
                           std::vector<uint8_t>& buffer, SliceWriting writing) {
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

    const std::vector<Slice> slices = PlanSlices(from);
    const SliceMasker masker(input, background);
    const bool overlapped = writing == SliceWriting::OnSecondThread && slices.size() > 1;
    const std::size_t ring = overlapped ? 3 : 1;
    buffer.resize(ring * kSliceBytes);
    BitmapError error = overlapped ? RunOverlapped(slices, masker, output, buffer.data(), ring)
                                   : RunInline(slices, masker, output, buffer.data());
    return error.Ok() ? output.Commit() : error;
}

}  // namespace zel7
