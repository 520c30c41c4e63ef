#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "engine/row_stream.h"

namespace zel7 {
namespace {

// A stretch of the stored rows that is read, masked and written in one go.
struct Slice {
    std::size_t bytes;   // to read and write
    int32_t rows;        // whole rows in it, or 0 for a piece of one long row
    int32_t pieceWidth;  // pixels to mask in a piece
};

// Slices hold whole rows; a row longer than a slice is cut into pieces whose length is
// a multiple of 3, so that no pixel straddles two of them.
std::vector<Slice> PlanSlices(const PictureShape& shape) {
    std::vector<Slice> slices;
    const std::size_t stride = std::size_t(shape.rowStride);
    const std::size_t rows = std::size_t(shape.height);
    if (stride == 0) {
        return slices;
    }
    if (stride <= kSliceBytes) {
        const std::size_t rowsPerSlice = kSliceBytes / stride;
        for (std::size_t row = 0; row < rows; row += rowsPerSlice) {
            const std::size_t count = std::min(rowsPerSlice, rows - row);
            slices.push_back({count * stride, int32_t(count), 0});
        }
        return slices;
    }
    const std::size_t pixelDataBytes = std::size_t(shape.width) * std::size_t(shape.bitCount / 8);
    const std::size_t pieceBytes = kSliceBytes / 3 * 3;
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t start = 0; start < stride; start += pieceBytes) {
            const std::size_t bytes = std::min(pieceBytes, stride - start);
            const std::size_t dataEnd = std::min(start + bytes, pixelDataBytes);
            const auto pixels = int32_t(dataEnd > start ? (dataEnd - start) / 3 : 0);
            slices.push_back({bytes, 0, pixels});
        }
    }
    return slices;
}

class SliceReader {
public:
    SliceReader(RowSource& source, const CopyOptions& options)
        : source_(source), shape_(source.Shape()) {
        if (shape_.bitCount == 24) {
            mask_ = options.mask;
        }
    }

    bool Masks() const { return mask_.has_value(); }

    Result Read(const Slice& slice, uint8_t* buffer) const {
        return source_.Read(buffer, slice.bytes);
    }

    void Mask(const Slice& slice, uint8_t* buffer) const {
        if (mask_ && slice.rows > 0) {
            MaskRows(*mask_, buffer, shape_.width, slice.rows, shape_.rowStride);
        } else if (mask_) {
            MaskRows(*mask_, buffer, slice.pieceWidth, 1, slice.pieceWidth * 3);
        }
    }

private:
    RowSource& source_;
    const PictureShape& shape_;
    std::optional<Background> mask_;
};

Result RunInline(const std::vector<Slice>& slices, const SliceReader& reader, RowSource& source,
                 RowSink& sink, std::vector<uint8_t>& buffer) {
    StoredRows* stored = source.Stored();
    for (const Slice& slice : slices) {
        // Rows already in memory go out without a copy when nothing changes them.
        if (const uint8_t* lent =
                reader.Masks() || stored == nullptr ? nullptr : stored->Lend(slice.bytes)) {
            if (Result result = sink.Write(lent, slice.bytes); !result.Ok()) {
                return result;
            }
            continue;
        }
        // Rows bound for memory are read straight to their place.
        uint8_t* into = sink.Reserve(slice.bytes);
        if (into == nullptr) {
            buffer.resize(kSliceBytes);
            into = buffer.data();
        }
        if (Result result = reader.Read(slice, into); !result.Ok()) {
            return result;
        }
        reader.Mask(slice, into);
        if (Result result = sink.Write(into, slice.bytes); !result.Ok()) {
            return result;
        }
    }
    return {};
}

// Reads on this thread while another masks and writes, through a ring of buffers: the
// decoder, the longest stage, then has this core to itself, and the system's copying into
// and out of the page cache runs on two cores.
Result RunOverlapped(const std::vector<Slice>& slices, const SliceReader& reader, RowSink& sink,
                     uint8_t* buffers, std::size_t ring) {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t produced = 0, consumed = 0;
    bool stop = false;
    Result readResult, writeResult;

    std::jthread writer([&] {
        for (std::size_t i = 0; i < slices.size(); ++i) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return produced > i || stop; });
                if (produced <= i) {
                    return;
                }
            }
            uint8_t* slice = buffers + (i % ring) * kSliceBytes;
            reader.Mask(slices[i], slice);
            Result result;
            try {
                result = sink.Write(slice, slices[i].bytes);
            } catch (const std::bad_alloc&) {  // (escaping a thread, it would end the process)
                result = Fail(Status::OutOfMemory);
            }
            std::lock_guard lock(mutex);
            if (!result.Ok()) {
                writeResult = result;
                stop = true;
            }
            consumed = i + 1;
            changed.notify_all();
            if (stop) {
                return;
            }
        }
    });
    const auto stopWriting = [&] {
        std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
    };
    for (std::size_t i = 0; i < slices.size(); ++i) {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return i - consumed < ring || stop; });
            if (stop) {
                break;
            }
        }
        Result result;
        try {
            result = reader.Read(slices[i], buffers + (i % ring) * kSliceBytes);
        } catch (...) {
            // The writer waits for the slice: told to stop, it is joined and the caller
            // hears of the failure (memory ran out) rather than the process hanging.
            stopWriting();
            throw;
        }
        if (!result.Ok()) {
            readResult = result;
            stopWriting();
            break;
        }
        std::lock_guard lock(mutex);
        produced = i + 1;
        changed.notify_all();
    }
    writer.join();
    return !readResult.Ok() ? readResult : writeResult;
}

}  // namespace

Result CopyRows(RowSource& source, RowSink& sink, const CopyOptions& options,
                std::vector<uint8_t>& buffer) {
    RowOrder order = OrderOf(source);
    if (!sink.Accepts(order)) {
        order = order == RowOrder::TopDown ? RowOrder::BottomUp : RowOrder::TopDown;
        if (source.Stored() == nullptr || !source.Stored()->SetOrder(order)) {
            return Fail(Status::UnsupportedPicture, "rows in an order the destination cannot take");
        }
    }
    sink.SetOrder(order);
    const std::vector<Slice> slices = PlanSlices(source.Shape());
    const SliceReader reader(source, options);
    const bool overlapped = options.writing == SliceWriting::OnSecondThread && slices.size() > 1;
    Result result;
    if (overlapped) {
        constexpr std::size_t kRing = 3;
        buffer.resize(kRing * kSliceBytes);
        result = RunOverlapped(slices, reader, sink, buffer.data(), kRing);
    } else {
        result = RunInline(slices, reader, source, sink, buffer);
    }
    return result.Ok() ? sink.Commit() : result;
}

}  // namespace zel7
