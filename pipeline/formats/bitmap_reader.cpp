#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "formats/bitmap_file.h"
#include "formats/formats.h"

namespace zel7 {

namespace {

// Sets any to whether a pixel of a 32-bit layout has a fourth byte other than 0, read a
// mebibyte at a time from the first row until one does (32-bit rows have no padding, so
// every fourth byte is one). Returns 0, or ENODATA or the errno of a failed read.
int FindAnyAlpha(int fd, const BitmapLayout& layout, bool& any) {
    any = false;
    std::vector<uint8_t> chunk(std::size_t{1} << 20);
    const auto total = uint64_t(layout.pixelBytes);
    for (uint64_t done = 0; done < total && !any; done += chunk.size()) {
        const auto count = std::size_t(std::min<uint64_t>(chunk.size(), total - done));
        if (int error = ReadExactlyAt(fd, layout.pixelOffset + done, chunk.data(), count)) {
            return error;
        }
        for (std::size_t i = 3; i < count && !any; i += 4) {
            any = chunk[i] != 0;
        }
    }
    return 0;
}

}  // namespace

bool IsBitmap(std::span<const uint8_t> head) {
    return head.size() >= 2 && head[0] == 'B' && head[1] == 'M';
}

Result OpenBitmapSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                        std::unique_ptr<RowSource>& source) {
    return OpenAs<BitmapSource>(source, std::move(fd), size, options);
}

Result BitmapSource::Open(UniqueFd fd, uint64_t fileSize, const SourceOptions& options) {
    background_ = BackgroundLevel(options.background);
    uint8_t head[kAlphaProbeBytes];
    const auto probe = static_cast<std::size_t>(std::min<uint64_t>(fileSize, sizeof head));
    if (int error = ReadExactlyAt(fd.Get(), 0, head, probe)) {
        return error == ENODATA ? Fail(Status::TruncatedHeader) : Fail(Status::ReadFailed, error);
    }
    BitmapLayout layout;
    if (Status status = ParseBitmapHeader({head, probe}, fileSize, layout); status != Status::Ok) {
        return Fail(status, BitmapRefusalDetail({head, probe}, status));
    }
    // The file's entries, then the zeros the table starts with (a source opens once).
    const std::size_t stored = std::size_t{layout.colorTableEntries} * 4;
    if (int error = ReadExactlyAt(fd.Get(), layout.colorTableOffset, colorTable_, stored)) {
        // The size was checked against the file's, so running short means it shrank.
        return error == ENODATA ? Fail(Status::TruncatedColorTable)
                                : Fail(Status::ReadFailed, error);
    }
    // A writer that set the alpha mask but left every alpha byte 0 meant no transparency:
    // such a picture is shown opaque, as browsers show it, not as nothing.
    if (layout.alpha) {
        if (int error = FindAnyAlpha(fd.Get(), layout, layout.alpha)) {
            return error == ENODATA ? Fail(Status::TruncatedPixels)
                                    : Fail(Status::ReadFailed, error);
        }
    }
    fd_ = std::move(fd);
    layout_ = layout;
    position_ = 0;
    return {};
}

const uint8_t* BitmapSource::ColorTable() const {
    return layout_.bitCount == 8 && !trueColour_ ? colorTable_ : nullptr;
}

bool BitmapSource::SetOrder(RowOrder order) {
    order_ = order;
    return true;
}

bool BitmapSource::SetTrueColour() {
    if (!CheckDimensions(uint64_t(layout_.width), uint64_t(layout_.height), {}).Ok()) {
        return false;
    }
    trueColour_ = true;
    decoded_ = DecodedShape(layout_.width, layout_.height);
    storedRow_.resize(std::size_t(layout_.rowStride));
    return true;
}

// Reads size bytes of the stored rows from position in the order asked for: in the
// file's own order straight, in the other a row (or a piece of one) at a time.
Result BitmapSource::ReadStored(uint64_t position, uint8_t* into, std::size_t size) const {
    const auto stride = uint64_t(layout_.rowStride);
    while (size > 0) {
        const uint64_t row = position / stride, within = position % stride;
        const uint64_t fileRow =
            order_ == RowOrder::BottomUp ? row : uint64_t(layout_.height) - 1 - row;
        const std::size_t bytes = order_ == RowOrder::BottomUp
                                      ? size
                                      : std::size_t(std::min<uint64_t>(size, stride - within));
        const uint64_t at = layout_.pixelOffset + fileRow * stride + within;
        if (int error = ReadExactlyAt(fd_.Get(), at, into, bytes)) {
            return error == ENODATA ? Fail(Status::TruncatedPixels)
                                    : Fail(Status::ReadFailed, error);
        }
        position += bytes;
        into += bytes;
        size -= bytes;
    }
    return {};
}

void BitmapSource::WidenRow(const uint8_t* row, uint8_t* into) const {
    for (int32_t x = 0; x < layout_.width; ++x, into += 3) {
        switch (layout_.bitCount) {
            case 8:
                std::memcpy(into, colorTable_ + 4 * row[x], 3);
                break;
            case 16: {
                const unsigned v = row[2 * x] | row[2 * x + 1] << 8;
                for (int channel = 0; channel < 3; ++channel) {
                    const unsigned five = (v >> (5 * channel)) & 31;
                    into[channel] = uint8_t(five << 3 | five >> 2);
                }
                break;
            }
            default: {  // 24 and 32 bits: blue, green, red first
                const uint8_t* pixel = row + std::size_t(x) * std::size_t(layout_.bitCount / 8);
                if (!layout_.alpha) {
                    std::memcpy(into, pixel, 3);
                    break;
                }
                for (int channel = 0; channel < 3; ++channel) {
                    into[channel] = Composite(pixel[channel], pixel[3], background_);
                }
            }
        }
    }
}

Result BitmapSource::Read(uint8_t* into, std::size_t size) {
    if (!trueColour_) {
        Result result = ReadStored(position_, into, size);
        position_ += size;
        return result;
    }
    // Whole rows only: decoded rows always fit in a slice.
    const auto stride = std::size_t(decoded_.rowStride);
    for (std::size_t done = 0; done < size; done += stride, position_ += stride) {
        const uint64_t row = position_ / stride;
        if (Result result =
                ReadStored(row * uint64_t(layout_.rowStride), storedRow_.data(), storedRow_.size());
            !result.Ok()) {
            return result;
        }
        if (layout_.bitCount == 8 && layout_.width > 0) {
            // An index past the table names no colour: no black is made up for it.
            const uint8_t* stored = storedRow_.data();
            const uint8_t most = *std::max_element(stored, stored + layout_.width);
            if (most >= layout_.colorTableEntries) {
                return Fail(Status::IndexPastColorTable,
                            "colour index " + std::to_string(most) + " past its table of " +
                                std::to_string(layout_.colorTableEntries) + " colours");
            }
        }
        WidenRow(storedRow_.data(), into + done);
        std::memset(into + done + 3 * std::size_t(layout_.width), 0,
                    stride - 3 * std::size_t(layout_.width));
    }
    return {};
}

}  // namespace zel7
