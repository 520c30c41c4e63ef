// Writing JPEG, PNG, TIFF, HEIF and WebP files for the tests, with the libraries the program
// reads them with, and reading back the masks and cut-outs the program writes.
#pragma once

#include <tiff.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_pictures.h"

namespace zel7::test_support {

// How EncodeJpeg and EncodeWebp write their pixels; each takes the fields it knows.
struct EncodeOptions {
    bool lossless = false;  // WebP
    int quality = 100;      // JPEG, and lossy WebP
    bool progressive = false;
    int sampling = 444;            // of the colours of a 3-component JPEG: 444, 422 or 420
    Bytes exif = {};               // the contents of an APP1 segment or EXIF chunk, when not empty
    int scans = 0;                 // for grey JPEGs: progressive in this many scans, 64 to 127
    Bytes icc = {};                // a colour profile, in APP2 segments or an ICCP chunk
    std::vector<Bytes> app2 = {};  // JPEG's APP2 segments' contents, written as they are
};

// A JPEG of pixels given top row first, with 1 byte a pixel (grey), 3 (red, green, blue)
// or 4 (CMYK stored inverted, 255 for no ink, as Adobe's programs write it).
Bytes EncodeJpeg(int width, int height, int components, const Bytes& pixels,
                 const EncodeOptions& options = {});

// A JPEG the program wrote, decoded to red, green and blue, with how its colours were
// sampled (444 or 420); a file the library refuses ends the test program.
struct DecodedJpeg {
    int width = 0, height = 0, sampling = 0;
    Bytes rgb{};
};
DecodedJpeg DecodeJpeg(const Bytes& file);

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
    Bytes icc{};                           // iCCP's profile, written when not empty
    std::string iccName{};                 // and its name, as read
    Bytes exif{};                          // eXIf's contents, written when not empty

    int Channels() const {
        return colour == kRgb ? 3 : colour == kGreyAlpha ? 2 : colour == kRgba ? 4 : 1;
    }
};

// Throws, failing the test, when the library refuses the picture.
Bytes EncodePng(const PngPicture& picture);

// A mask in a PNG file, as a grey picture: its samples as the library gives them at 8 bits
// (0 or 255 for a 1-bit mask), its bit depth as stored; a cut-out as RGBA at 8 bits; with
// its iCCP's profile. Throws when the library refuses the file.
PngPicture DecodePng(const Bytes& file);

struct TiffPicture {
    uint32_t width = 0, height = 0;
    uint16_t samplesPerPixel = 1, bitsPerSample = 8;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;  // YCbCr with JPEG: samples given as RGB
    // Rows top row first, each padded to a whole byte, the samples of a pixel together;
    // 16-bit samples in this machine's byte order, others packed high bit first.
    Bytes samples{};
    uint16_t compression = COMPRESSION_NONE;
    // Square tiles of this side (a multiple of 16), or strips of so many rows (0: as the
    // library chooses).
    uint32_t tileSize = 0, rowsPerStrip = 0;
    // Extra samples (EXTRASAMPLE_ASSOCALPHA, ...); the colormap's red entries, then green, then
    // blue.
    std::vector<uint16_t> extraSamples{}, colormap{};
    uint16_t planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT,
             orientation = ORIENTATION_TOPLEFT;
    const char* mode = "w";  // "w8" for BigTIFF, "wb" big-endian
    Bytes icc{};             // TIFFTAG_ICCPROFILE, written when not empty
};

// The directory comes first, then the pixel data, so that a file cut anywhere in the pixels
// still says what they should be (but for JPEG, whose tables the library writes late: its
// directory moves to the end). A mistake throws, failing the test.
Bytes EncodeTiff(const TiffPicture& picture);

enum class HeifCodec { Hevc, Av1 };

struct HeifPicture {
    int width = 0, height = 0, bitDepth = 8;  // of 8, 10 or 12
    // The samples of each pixel: red, green, blue, then alpha if any; the colours
    // premultiplied by alpha, as the file says, or not.
    bool alpha = false, premultiplied = false;
    std::vector<uint16_t> samples{};  // rows top first, at the bit depth
    HeifCodec codec = HeifCodec::Hevc;
    // Quality 0: lossless, the samples kept exactly (4:4:4, RGB stored as is); else lossy at
    // this quality, 4:2:0 in YCbCr. The orientation as EXIF numbers it, written as irot and
    // imir boxes.
    int quality = 0, orientation = 1;
    Bytes exif{};  // EXIF metadata for the picture (a TIFF header first), when not empty
    Bytes icc{};   // an ICC profile in a colr box, when not empty
};

// The encoder libheif lacks for the codec, named, or empty when it has one; tests that need
// it are skipped with that name.
std::string MissingHeifEncoder(HeifCodec codec);

// A HEIF file (HEIC or AVIF) of the picture. A mistake throws, failing the test.
Bytes EncodeHeif(const HeifPicture& picture);
// A WebP of pixels given top row first, 3 bytes a pixel (red, green, blue) or 4 (with
// alpha), by libwebp's one-call encoder (lossless keeps colours, but not those under alpha
// 0). A mistake throws, failing the test.
Bytes EncodeWebp(int width, int height, int channels, const Bytes& pixels,
                 const EncodeOptions& options = {});

}  // namespace zel7::test_support
