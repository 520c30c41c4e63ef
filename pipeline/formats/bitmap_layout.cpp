#include "formats/bitmap_layout.h"

#include <limits>
#include <string>

#include "engine/working_image.h"

namespace zel7 {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

// Offsets of the fields this program reads or writes.
constexpr std::size_t bfType = 0;
constexpr std::size_t bfSize = 2;
constexpr std::size_t bfOffBits = 10;
constexpr std::size_t biSize = 14;
constexpr std::size_t biWidth = 18;
constexpr std::size_t biHeight = 22;
constexpr std::size_t biPlanes = 26;
constexpr std::size_t biBitCount = 28;
constexpr std::size_t biCompression = 30;
constexpr std::size_t biSizeImage = 34;
constexpr std::size_t biClrUsed = 46;
constexpr std::size_t bitFieldMasks = 54;

uint16_t ReadU16(std::span<const uint8_t> data, std::size_t offset) {
    return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
}

uint32_t ReadU32(std::span<const uint8_t> data, std::size_t offset) {
    return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
           static_cast<uint32_t>(data[offset + 2]) << 16 |
           static_cast<uint32_t>(data[offset + 3]) << 24;
}

void WriteU16(uint8_t* data, std::size_t offset, uint32_t value) {
    data[offset] = static_cast<uint8_t>(value);
    data[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void WriteU32(uint8_t* data, std::size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        data[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool IsSupportedDepth(uint32_t bitCount) {
    return bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32;
}

// Bit-field files are accepted only when their masks describe the plain layout.
bool HasPlainBitFields(std::span<const uint8_t> head, uint32_t bitCount) {
    uint32_t red = ReadU32(head, bitFieldMasks);
    uint32_t green = ReadU32(head, bitFieldMasks + 4);
    uint32_t blue = ReadU32(head, bitFieldMasks + 8);
    if (bitCount == 16) {
        return red == 0x7C00 && green == 0x03E0 && blue == 0x001F;
    }
    return bitCount == 32 && red == 0x00FF0000 && green == 0x0000FF00 && blue == 0x000000FF;
}

}  // namespace

bool CheckedPixelSizes(int32_t width, int32_t height, int32_t bitCount, int32_t& rowStride,
                       int32_t& pixelBytes) {
    if (width < 0 || height < 0 || bitCount < 0) {
        return false;
    }
    if (bitCount != 0 && width > kInt32Max / bitCount) {
        return false;
    }
    int32_t stride = RowStride(width, bitCount);
    if (stride != 0 && height > kInt32Max / stride) {
        return false;
    }
    rowStride = stride;
    pixelBytes = stride * height;
    return true;
}

Status ParseBitmapHeader(std::span<const uint8_t> head, uint64_t fileSize, BitmapLayout& layout) {
    if (head.size() < 2 || head[bfType] != 'B' || head[bfType + 1] != 'M') {
        return Status::NotBitmap;
    }
    if (head.size() < kHeadersBytes || fileSize < kHeadersBytes) {
        return Status::TruncatedHeader;
    }
    const uint32_t infoSize = ReadU32(head, biSize);
    if (infoSize < kInfoHeaderBytes) {
        return Status::UnsupportedHeader;
    }
    const auto width = static_cast<int32_t>(ReadU32(head, biWidth));
    const auto height = static_cast<int32_t>(ReadU32(head, biHeight));
    if (width < 0 || height < 0) {
        return Status::NegativeSize;
    }
    const uint32_t bitCount = ReadU16(head, biBitCount);
    if (!IsSupportedDepth(bitCount)) {
        return Status::UnsupportedDepth;
    }

    const uint32_t compression = ReadU32(head, biCompression);
    uint64_t headersEnd = kFileHeaderBytes + uint64_t{infoSize};
    bool alpha = false;
    if (compression == BI_BITFIELDS && (bitCount == 16 || bitCount == 32)) {
        if (head.size() < kHeaderProbeBytes || fileSize < kHeaderProbeBytes) {
            return Status::TruncatedHeader;
        }
        if (!HasPlainBitFields(head, bitCount)) {
            return Status::UnsupportedCompression;
        }
        if (infoSize == kInfoHeaderBytes) {
            headersEnd += kBitFieldMaskBytes;  // the masks follow a 40-byte header
        }
        alpha = bitCount == 32 && infoSize >= kInfoHeaderBytes + kBitFieldMaskBytes + 4 &&
                head.size() >= kAlphaProbeBytes &&
                ReadU32(head, bitFieldMasks + kBitFieldMaskBytes) == 0xFF000000;
    } else if (compression != BI_RGB) {
        return Status::UnsupportedCompression;
    }

    BitmapLayout parsed;
    parsed.width = width;
    parsed.height = height;
    parsed.bitCount = static_cast<int32_t>(bitCount);
    parsed.alpha = alpha;
    if (!CheckedPixelSizes(width, height, parsed.bitCount, parsed.rowStride, parsed.pixelBytes)) {
        return Status::TooLarge;
    }

    uint64_t tableEnd = headersEnd;
    if (bitCount == 8) {
        const uint32_t used = ReadU32(head, biClrUsed);
        if (used > static_cast<uint32_t>(kColorTableEntries)) {
            return Status::BadColorTable;
        }
        parsed.colorTableEntries = used == 0 ? kColorTableEntries : used;
        parsed.colorTableOffset = headersEnd;
        tableEnd = parsed.colorTableOffset + uint64_t{parsed.colorTableEntries} * 4;
        if (tableEnd > fileSize) {
            return Status::TruncatedColorTable;
        }
    }

    parsed.pixelOffset = ReadU32(head, bfOffBits);
    if (parsed.pixelOffset < tableEnd) {
        return Status::BadPixelOffset;
    }
    if (parsed.pixelOffset > fileSize ||
        fileSize - parsed.pixelOffset < uint64_t(parsed.pixelBytes)) {
        return Status::TruncatedPixels;
    }
    layout = parsed;
    return Status::Ok;
}

std::string BitmapRefusalDetail(std::span<const uint8_t> head, Status status) {
    if (head.size() < kHeadersBytes) {
        return {};
    }
    const uint32_t infoSize = ReadU32(head, biSize), compression = ReadU32(head, biCompression);
    const auto bitCount = ReadU16(head, biBitCount);
    // OS/2's 64-byte header numbers its compressions otherwise (4 is RLE24 there).
    const char* kInside[] = {"a JPEG stored inside", "a PNG stored inside"};
    const bool inside = (compression == 4 || compression == 5) && infoSize != 64;
    switch (status) {
        case Status::UnsupportedHeader:
            return "an info header of " + std::to_string(infoSize) + " bytes" +
                   (infoSize == 12 ? " (OS/2's)" : "") + "; 40 and more are read";
        case Status::NegativeSize:
            return static_cast<int32_t>(ReadU32(head, biHeight)) < 0
                       ? "a top-down picture (negative height); bottom-up ones are read"
                       : "a negative width";
        case Status::UnsupportedDepth:
            if (bitCount == 0 && inside) {
                return std::string("none, for ") + kInside[compression - 4];
            }
            return std::to_string(bitCount) + (bitCount == 1 ? " bit" : " bits") +
                   " a pixel; 8, 16, 24 and 32 are read";
        case Status::UnsupportedCompression:
            if (compression == 1 || compression == 2) {
                return compression == 1 ? "RLE8" : "RLE4";
            }
            if (inside) {
                return kInside[compression - 4];
            }
            if (compression == BI_BITFIELDS) {
                return bitCount == 16 || bitCount == 32
                           ? "bit fields other than 5-5-5 at 16 bits or 8-8-8 at 32"
                           : "bit fields at " + std::to_string(bitCount) + " bits";
            }
            return "compression " + std::to_string(compression);
        case Status::TooLarge:  // (as other formats say it; the stored rows are int32-sized)
            return std::to_string(ReadU32(head, biWidth)) + " x " +
                   std::to_string(ReadU32(head, biHeight)) + " pixels at " +
                   std::to_string(bitCount) + " bits; rows of more than 2 GiB in all";
        default:
            return {};
    }
}

Status MakeWrittenLayout(int32_t width, int32_t height, int32_t bitCount, BitmapLayout& layout) {
    BitmapLayout made;
    if (width < 0 || height < 0) {
        return Status::NegativeSize;
    }
    if (!CheckedPixelSizes(width, height, bitCount, made.rowStride, made.pixelBytes)) {
        return Status::TooLarge;
    }
    made.width = width;
    made.height = height;
    made.bitCount = bitCount;
    made.colorTableEntries = bitCount == 8 ? kColorTableEntries : 0;
    made.colorTableOffset = kHeadersBytes;
    made.pixelOffset = kHeadersBytes + uint64_t{made.colorTableEntries} * 4;
    layout = made;
    return Status::Ok;
}

std::array<uint8_t, kHeadersBytes> EncodeBitmapHeaders(const BitmapLayout& layout) {
    std::array<uint8_t, kHeadersBytes> header{};
    uint8_t* h = header.data();
    h[bfType] = 'B';
    h[bfType + 1] = 'M';
    WriteU32(h, bfSize, static_cast<uint32_t>(layout.pixelOffset) + layout.pixelBytes);
    WriteU32(h, bfOffBits, static_cast<uint32_t>(layout.pixelOffset));
    WriteU32(h, biSize, kInfoHeaderBytes);
    WriteU32(h, biWidth, static_cast<uint32_t>(layout.width));
    WriteU32(h, biHeight, static_cast<uint32_t>(layout.height));
    WriteU16(h, biPlanes, 1);
    WriteU16(h, biBitCount, static_cast<uint32_t>(layout.bitCount));
    WriteU32(h, biCompression, BI_RGB);
    WriteU32(h, biSizeImage, static_cast<uint32_t>(layout.pixelBytes));
    // Densities, biClrUsed and biClrImportant stay 0.
    return header;
}

}  // namespace zel7
