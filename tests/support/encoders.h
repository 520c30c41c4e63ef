// Writing JPEG, PNG, TIFF and WebP files for the tests, with the libraries the program reads
// them with, and reading back the masks and cut-outs the program writes.
#pragma once

#include <tiff.h>

#include <cstdint>
#include <vector>

#include "test_pictures.h"

namespace zel7::test_support {

struct JpegOptions {
    int quality = 100;
    bool progressive = false;
    int sampling = 444;  // of the colours of a 3-component picture: 444, 422 or 420
    Bytes exif = {};     // the contents of an APP1 segment, written when not empty
    int scans = 0;       // for grey pictures: progressive in this many scans, 64 to 127
};

// A JPEG of pixels given top row first, with 1 byte a pixel (grey), 3 (red, green, blue)
// or 4 (CMYK stored inverted, 255 for no ink, as Adobe's programs write it).
Bytes EncodeJpeg(int width, int height, int components, const Bytes& pixels,
                 const JpegOptions& options = {});

// The contents of an EXIF APP1 segment whose one tag is the orientation (1 to 8), in
// either byte order. The tag's value is at offset 24, its type at 18.
Bytes ExifOrientation(int orientation, bool bigEndian = false);

// Colour types as PNG numbers them.
enum PngColour : uint8_t { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6 };

// A picture by its samples, one for each channel of each pixel, rows top first, at
// their stored values (palette indices, 1-bit 0 or 1, 16-bit whole): packing, byte
// order and interlacing are the encoder's business.
struct PngPicture {
    uint32_t width = 0, height = 0;
    uint8_t colour = kRgb, bitDepth = 8;
    bool interlaced = false;
    std::vector<uint16_t> samples{};
    Bytes palette{};                       // red, green, blue for each entry
    std::vector<uint16_t> transparency{};  // tRNS: entries' alphas, or the grey or RGB key

    int Channels() const {
        return colour == kRgb ? 3 : colour == kGreyAlpha ? 2 : colour == kRgba ? 4 : 1;
    }
};

// Throws, failing the test, when the library refuses the picture.
Bytes EncodePng(const PngPicture& picture);

// A mask in a PNG file, as a grey picture: its samples as the library gives them at 8 bits
// (0 or 255 for a 1-bit mask), its bit depth as stored; throws when the library refuses
// the file.
PngPicture DecodePng(const Bytes& file);

// The file with its header claiming another size, its checksum made to match.
Bytes ClaimSize(Bytes file, uint32_t width, uint32_t height);

// Makes the checksum of the chunk whose type is at byte `type` match its contents.
void Rechecksum(Bytes& file, std::size_t type);

struct TiffPicture {
    uint32_t width = 0, height = 0;
    uint16_t samplesPerPixel = 1, bitsPerSample = 8;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;  // YCbCr with JPEG: samples given as RGB
    // Rows top row first, each padded to a whole byte, the samples of a pixel together;
    // 16-bit samples in this machine's byte order, others packed high bit first.
    Bytes samples{};
    uint16_t compression = COMPRESSION_NONE;
    uint32_t tileSize = 0;      // square tiles of this side (a multiple of 16), or strips
    uint32_t rowsPerStrip = 0;  // 0: as the library chooses
    // Extra samples (EXTRASAMPLE_ASSOCALPHA, ...); the colormap's red entries, then green, then
    // blue.
    std::vector<uint16_t> extraSamples{}, colormap{};
    uint16_t planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT,
             orientation = ORIENTATION_TOPLEFT;
    const char* mode = "w";  // "w8" for BigTIFF, "wb" big-endian
};

// The directory comes first, then the pixel data, so that a file cut anywhere in the pixels
// still says what they should be (but for JPEG, whose tables the library writes late: its
// directory moves to the end). A mistake aborts the test.
Bytes EncodeTiff(const TiffPicture& picture);

struct WebpOptions {
    bool lossless = false;
    int quality = 100;  // of lossy ones
    Bytes exif = {};    // the contents of an EXIF chunk, written when not empty
};

// A WebP of pixels given top row first, 3 bytes a pixel (red, green, blue) or 4 (with
// alpha). A mistake throws, failing the test.
Bytes EncodeWebp(int width, int height, int channels, const Bytes& pixels,
                 const WebpOptions& options = {});

// A WebP file as libwebp's one-call decoder makes it: red, green, blue and alpha a pixel,
// rows top first; throws when it refuses the file.
struct WebpPicture {
    int width = 0, height = 0;
    Bytes rgba;
};
WebpPicture DecodeWebp(const Bytes& file);

}  // namespace zel7::test_support
