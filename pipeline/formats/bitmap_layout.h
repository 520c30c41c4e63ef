// Where everything lies in a BMP file, checked against the file's size before
// anything is allocated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/row_stream.h"
#include "system/result.h"

namespace zel7 {

inline constexpr std::size_t kFileHeaderBytes = 14;
inline constexpr std::size_t kInfoHeaderBytes = 40;    // BITMAPINFOHEADER
inline constexpr std::size_t kBitFieldMaskBytes = 12;  // red, green, blue masks after it
inline constexpr std::size_t kHeadersBytes = kFileHeaderBytes + kInfoHeaderBytes;
// What ParseBitmapHeader needs to see: both headers and the bit-field masks.
inline constexpr std::size_t kHeaderProbeBytes = kHeadersBytes + kBitFieldMaskBytes;
// ...and past them the alpha mask of a header of 56 bytes and more, when the file has it.
inline constexpr std::size_t kAlphaProbeBytes = kHeaderProbeBytes + 4;

inline constexpr uint32_t BI_RGB = 0;
inline constexpr uint32_t BI_BITFIELDS = 3;

// A picture's validated geometry and where its parts lie in the file.
struct BitmapLayout : PictureShape {
    uint32_t colorTableEntries = 0;  // entries stored in the file; 8-bit pictures only
    uint64_t colorTableOffset = 0;
    uint64_t pixelOffset = 0;  // bfOffBits
    // 32-bit bit fields whose header's alpha mask is the fourth byte: how much of each pixel
    // is there (headers of 56 bytes and more have the mask; no others say what the byte is).
    bool alpha = false;
};

// RowStride and rowStride * height, or false when either leaves the int32 range or a
// dimension is negative.
bool CheckedPixelSizes(int32_t width, int32_t height, int32_t bitCount, int32_t& rowStride,
                       int32_t& pixelBytes);

// Validates the start of a file (up to kAlphaProbeBytes of it; with fewer, no alpha mask is
// seen) against the file's total size. Accepts uncompressed 8-, 16-, 24- and 32-bit
// bottom-up pictures and the bit-field files whose masks match the uncompressed layout.
Status ParseBitmapHeader(std::span<const uint8_t> head, uint64_t fileSize, BitmapLayout& layout);

// What a header that ParseBitmapHeader refused with status holds that the status alone
// does not say (the depth, the compression, a top-down picture); empty otherwise.
std::string BitmapRefusalDetail(std::span<const uint8_t> head, Status status);

// The layout the writer produces: 40-byte header, full colour table for 8 bits.
Status MakeWrittenLayout(int32_t width, int32_t height, int32_t bitCount, BitmapLayout& layout);

// The file header and info header of a written file.
std::array<uint8_t, kHeadersBytes> EncodeBitmapHeaders(const BitmapLayout& layout);

}  // namespace zel7
