// What every picture decoder hands the engine, and the rules they share: rows of
// 24-bit pixels (blue, green, red, padded as BMP rows are), top row first, with grey
// as equal blue, green and red, 16-bit samples by their top byte, palette entries by
// their colour, and transparency composited over the background being masked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/row_stream.h"
#include "mask/threshold.h"
#include "system/result.h"

namespace zel7 {

// JPEG's own ceiling, and a pixel count well above any camera's; both checked before
// anything is allocated, so that a few bytes cannot claim gigabytes.
inline constexpr uint32_t kMaxDimension = 65535;
inline constexpr uint64_t kDefaultMaxPixels = 200'000'000;

// The most a picture's decoder may hold besides its rows. A progressive or multi-scan JPEG
// keeps every coefficient of the picture until its last scan, 2 bytes a sample: 512 MiB
// covers a 4:2:0 one of about 178 megapixels, and any baseline one, which needs a few rows.
// Past it the picture is refused with the reason, as past the pixel limit.
inline constexpr uint64_t kDefaultMaxDecoderMemory = uint64_t{512} << 20;

// The four bytes at bytes as one number, most significant first (PNG's lengths and
// fields, ISO boxes' sizes, ICC profiles' headers).
inline uint32_t BigEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

struct SourceOptions {
    Background background = Background::NearWhite;  // what transparency reveals
    uint64_t maxPixels = kDefaultMaxPixels;
    uint64_t maxDecoderMemory = kDefaultMaxDecoderMemory;
    // 1, or 2, 4 or 8 to decode at that fraction of the size, rounded up, where the
    // format decodes smaller for less work (JPEG, by its DCT scaling; see
    // PictureFile::DecodesSmaller); other decoders give the whole size. The limits
    // above still go by the whole size.
    int scaleDenominator = 1;
};

// Refuses sizes past the limits, or whose decoded rows would not fit in int32 bytes.
Result CheckDimensions(uint64_t width, uint64_t height, const SourceOptions& options);

// Colour profiles above this size are not read: display and camera profiles take a few
// kilobytes, those with tables of a camera's colours some hundreds; a few bytes of a file
// claiming megabytes must not cost them. Of a larger one only the header is kept, which
// says how large it is: its colours are then not converted, and the conversion asked for
// is refused rather than skipped (ProfileBytesKept).
inline constexpr std::size_t kMaxColourProfileBytes = std::size_t{4} << 20;
inline constexpr std::size_t kIccHeaderBytes = 128;
// Whether bytes begin with an ICC profile's header (its signature, "acsp", in place), and
// the size that header gives the profile (bytes holding at least 4).
bool HasIccHeader(std::span<const uint8_t> bytes);
std::size_t DeclaredProfileBytes(std::span<const uint8_t> bytes);
// How many bytes of a profile stored in stored bytes a reader keeps, head being its first
// (up to kIccHeaderBytes): all of them up to the bound; past it, the profile its header
// says it is, where that is within the bound (files pad profiles), else the header alone.
std::size_t ProfileBytesKept(std::span<const uint8_t> head, std::size_t stored);
// The most of a picture's metadata (profiles, EXIF, text, unknown fields) a reader holds
// before the pixels: a few bytes of a file that claim more cost no memory, and a picture
// with more is refused.
inline constexpr std::size_t kMaxMetadataBytes = std::size_t{8} << 20;

// A size in whole MiB, rounded up, for messages.
std::string MiB(uint64_t bytes);
// The refusal of a picture with more metadata than kMaxMetadataBytes: "<format> with more
// than 8 MiB of metadata <what>".
Result TooMuchMetadata(std::string_view format, std::string_view what);

// What of an ICC profile, as a picture file holds it, goes with its decoded rows: all of
// it when its header names RGB colours (or grey ones, for a grey picture), nothing when it
// names others (the inks of a CMYK picture describe no decoded row). A profile without an
// ICC header goes as it is, for whoever uses it to refuse; of one past the size bound,
// only as many bytes as a reader keeps (ProfileBytesKept).
std::span<const uint8_t> ProfileForRows(std::span<const uint8_t> profile, bool grey);

// The shape of decoded rows.
inline PictureShape DecodedShape(int32_t width, int32_t height) {
    const int32_t stride = RowStride(width, 24);
    return {width, height, 24, stride, stride * height};
}

inline uint8_t BackgroundLevel(Background background) {
    return background == Background::NearWhite ? 255 : 0;
}

// colour over background with alpha/255 coverage, rounded to nearest.
inline uint8_t Composite(uint8_t colour, uint8_t alpha, uint8_t background) {
    return uint8_t((colour * alpha + background * (255 - alpha) + 127) / 255);
}

}  // namespace zel7
