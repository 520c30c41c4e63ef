// Opening a picture file as a source of rows, and creating one as a sink: the one
// place that knows which formats there are.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "engine/row_stream.h"
#include "formats/decoded_rows.h"
#include "system/system.h"

namespace zel7 {

// The most standard input may bring for a picture of maxPixels: 8 bytes a pixel, as
// the widest uncompressed rows zel7 reads (16-bit RGBA) take, and 64 MiB for what a
// file holds beside its pixels (profiles, previews, metadata).
constexpr uint64_t MaxSpoolBytes(uint64_t maxPixels) {
    constexpr uint64_t kBytesAPixel = 8, kBesidePixels = uint64_t{64} << 20;
    return maxPixels > (UINT64_MAX - kBesidePixels) / kBytesAPixel
               ? UINT64_MAX
               : maxPixels * kBytesAPixel + kBesidePixels;
}

// A picture file held open, to be read as often as needed: "-" is standard input,
// read to its end into a temporary file, refused as soon as its first bytes are
// not a picture's, or once it brings more than MaxSpoolBytes(maxPixels).
class PictureFile {
public:
    Result Open(const std::filesystem::path& path, uint64_t maxPixels = kDefaultMaxPixels);
    // BMP, JPEG, PNG, TIFF, HEIF or WebP, told by the file's first bytes, not its name. BMP rows
    // come as stored; the others' as decoded_rows.h says.
    Result OpenSource(const SourceOptions& options, std::unique_ptr<RowSource>& source) const;
    // Whether its decoder honours SourceOptions::scaleDenominator (JPEG's does).
    bool DecodesSmaller() const;

private:
    UniqueFd fd_;
    uint64_t size_ = 0;
};

// Whether the file at path begins as a picture zel7 reads does; false for anything it
// cannot open.
bool IsPictureFile(const std::filesystem::path& path);

// Opens the file and its one source.
Result OpenPictureSource(const std::filesystem::path& path, const SourceOptions& options,
                         std::unique_ptr<RowSource>& source);

// JPEG holds cut-outs flattened over a colour only: never masks, whose two tones its
// compression would blur; WebP holds cut-outs and soft masks, never two-tone masks,
// which are smaller and exact as 1-bit PNGs.
enum class PictureFormat { Bmp, Png, Jpeg, Webp };

// What a PNG (or WebP) destination holds: a 1-bit mask or a grey one (both taking 24-bit
// rows of grey pixels), a cut-out with transparency (32-bit rows: red, green, blue,
// alpha), or one flattened over a colour (24-bit rows: red, green, blue).
enum class PngContent { TwoTone, Grey, Rgba, Rgb };

// What JPEG and lossy WebP destinations are written at unless asked otherwise (1 to 100).
inline constexpr int kDefaultQuality = 90;

// How a sink writes its picture.
struct SinkOptions {
    PngContent content = PngContent::TwoTone;
    int quality = kDefaultQuality;  // of lossy formats
    bool lossless = false;          // WebP
    // When set, the destination lies below this folder, made as needed and never left
    // (see OutputFile).
    std::filesystem::path inside{};
};

// A BMP of the shape given, a PNG, a JPEG (24-bit rows of red, green, blue) or a WebP.
// The destination "-" is standard output.
Result CreatePictureSink(const std::filesystem::path& path, PictureFormat format,
                         const PictureShape& shape, const uint8_t* colorTable,
                         std::unique_ptr<RowSink>& sink, const SinkOptions& options = {});

// What a destination's name asks for: PNG for .png, JPEG for .jpg or .jpeg, WebP for
// .webp, BMP for .bmp, .dib or no extension (any case); nothing for other names.
std::optional<PictureFormat> FormatForName(const std::filesystem::path& path);

// A mask's file name after its source's, for batches: a source named as a BMP keeps
// its name (as its mask is a BMP too), another gets its stem and .png (cut-outs always
// do); format has the last word (.jpg for JPEG, .webp for WebP), and suffix goes before
// the extension.
std::filesystem::path MaskFileName(const std::filesystem::path& source, const std::string& suffix,
                                   std::optional<PictureFormat> format, bool cutout);

}  // namespace zel7
