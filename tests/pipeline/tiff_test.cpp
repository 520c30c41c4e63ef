// TIFF pictures of each kind read as the rules of decoded_rows.h make them of the samples
// written, by every path; cut, hostile and unsupported files refused with nothing written.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <functional>
#include <iostream>

#include "encoders.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// 16-bit levels either side of where the top byte crosses the thresholds (240 and 20):
// rounding would make 0xF000 239 and 0x14FF 21. Then alpha 0, 1, 254 and 255.
constexpr uint16_t kLevels[] = {0x0000, 0x14FF, 0x1500, 0x7F80, 0xC0FF, 0xEFFF, 0xF000, 0xFFFF};
constexpr uint16_t kAlphas[] = {0x00FF, 0x0100, 0xFEFF, 0xFF00};

// Sample s of pixel (x, y) at the picture's depth, the same over patches of patch x patch
// pixels. On even patch rows a pixel's colours are equal, so that some are background.
uint32_t Sample(const TiffPicture& p, uint32_t x, uint32_t y, uint32_t s, uint32_t patch) {
    x /= patch, y /= patch;
    const bool alpha = !p.extraSamples.empty() && s == p.samplesPerPixel - 1u;
    const uint16_t level = alpha ? kAlphas[(x + y) % 4] : kLevels[(x + 3 * y + y % 2 * s) % 8];
    const uint32_t bits = p.bitsPerSample;
    return bits < 8 ? (x + y) % (1u << bits) : level >> (16 - bits);
}

// The picture with its samples (and colour map), 37 x 21 unless it says otherwise. The
// map's first entry is near black, its last near white.
TiffPicture Filled(TiffPicture p, uint32_t patch = 1) {
    p.width = p.width != 0 ? p.width : 37, p.height = p.height != 0 ? p.height : 21;
    const uint32_t entries = p.photometric == PHOTOMETRIC_PALETTE ? 1u << p.bitsPerSample : 0;
    for (uint32_t i = 0; i < 3 * entries; ++i) {
        p.colormap.push_back(
            uint16_t(i % entries * 0xFFFF / (entries - 1) ^ (i / entries == 1 ? 0x0F80 : 0x0055)));
    }
    const uint32_t bits = p.bitsPerSample;
    const std::size_t rowBytes = (p.width * p.samplesPerPixel * bits + 7) / 8;
    p.samples.assign(rowBytes * p.height, 0);
    for (uint32_t y = 0; y < p.height && bits <= 16; ++y) {  // others stay 0
        uint8_t* row = &p.samples[y * rowBytes];
        for (uint32_t i = 0; i < p.width * p.samplesPerPixel; ++i) {
            const auto v =
                uint16_t(Sample(p, i / p.samplesPerPixel, y, i % p.samplesPerPixel, patch));
            if (bits == 16) {
                std::memcpy(row + 2 * i, &v, 2);
                continue;
            }
            for (uint32_t b = 0; b < bits; ++b) {  // packed high bit first
                const uint32_t at = i * bits + b;
                row[at / 8] |= uint8_t((v >> (bits - 1 - b) & 1) << (7 - at % 8));
            }
        }
    }
    return p;
}

// The picture the rules make of the samples.
BmpBuilder Expected(const TiffPicture& p, uint32_t patch, Background background) {
    const unsigned bg = BackgroundLevel(background), entries = unsigned(p.colormap.size() / 3);
    return Picture(int32_t(p.width), int32_t(p.height), [&](std::size_t i, uint8_t* bgr) {
        const auto x = uint32_t(i % p.width), y = uint32_t(i / p.width);
        const auto level = [&](uint32_t s) {  // to 8 bits: the top byte, or scaled up
            const uint32_t v = Sample(p, x, y, s, patch), bits = p.bitsPerSample;
            return bits >= 8 ? v >> (bits - 8) : v * 255 / ((1u << bits) - 1);
        };
        for (uint32_t c = 0; c < 3; ++c) {  // red, green, blue
            unsigned v = entries > 0 ? p.colormap[c * entries + Sample(p, x, y, 0, patch)] >> 8
                                     : level(p.samplesPerPixel >= 3 ? c : 0);
            v = p.photometric == PHOTOMETRIC_MINISWHITE ? 255 - v : v;
            if (!p.extraSamples.empty()) {
                const unsigned a = level(p.samplesPerPixel - 1u);
                v = p.extraSamples[0] == EXTRASAMPLE_ASSOCALPHA
                        ? std::min(255u, v + (bg * (255 - a) + 127) / 255)
                        : Composite(uint8_t(v), uint8_t(a), uint8_t(bg));
            }
            bgr[2 - c] = uint8_t(v);
        }
    });
}

TEST(Tiff, ReadsEveryKindByTheRules) {
    constexpr uint16_t kGrey = PHOTOMETRIC_MINISBLACK, kWhiteIsZero = PHOTOMETRIC_MINISWHITE;
    constexpr uint16_t kRgb = PHOTOMETRIC_RGB, kPalette = PHOTOMETRIC_PALETTE;
    constexpr uint16_t kNone = COMPRESSION_NONE, kLzw = COMPRESSION_LZW, kJpeg = COMPRESSION_JPEG;
    constexpr uint16_t kSeparate = PLANARCONFIG_SEPARATE, kYcbcr = PHOTOMETRIC_YCBCR;
    constexpr uint16_t kAssociated = EXTRASAMPLE_ASSOCALPHA, kUnassociated = EXTRASAMPLE_UNASSALPHA;
    const struct {
        const char* name;
        uint16_t samples, bits, photometric, compression;
        TiffPicture rest;
    } cases[] = {
        {"grey", 1, 8, kGrey, kNone, {}},
        {"grey_16_big_endian", 1, 16, kGrey, kLzw, {.mode = "wb"}},
        {"white_is_zero", 1, 8, kWhiteIsZero, COMPRESSION_PACKBITS, {.rowsPerStrip = 4}},
        {"white_is_zero_1_bit", 1, 1, kWhiteIsZero, kNone, {}},
        // (samples of 3, 5, 6 and 7 bits run on from one byte into the next)
        {"grey_6_bits", 1, 6, kGrey, kNone, {}},
        {"white_is_zero_7_bit_tiles", 1, 7, kWhiteIsZero, kLzw, {.tileSize = 16}},
        {"palette_3_bits", 1, 3, kPalette, kNone, {}},
        {"grey_12_tiles", 1, 12, kGrey, kNone, {.tileSize = 16}},
        {"rgb_10_big_endian", 3, 10, kRgb, kLzw, {.mode = "wb"}},
        {"grey_alpha", 2, 8, kGrey, kLzw, {.extraSamples = {kUnassociated}}},
        {"rgb_adobe_deflate_bigtiff", 3, 8, kRgb, COMPRESSION_ADOBE_DEFLATE, {.mode = "w8"}},
        {"rgba_planes", 4, 8, kRgb, kNone, {.extraSamples = {kUnassociated}, .planar = kSeparate}},
        {"rgb_16_planes_tiles", 3, 16, kRgb, kLzw, {.tileSize = 16, .planar = kSeparate}},
        {"rgba_associated", 4, 8, kRgb, kNone, {.extraSamples = {kAssociated}}},
        {"many_slices", 3, 8, kRgb, kLzw, {.width = 1001, .height = 300, .rowsPerStrip = 7}},
        {"rgba_16_tiles", 4, 16, kRgb, kNone, {.tileSize = 32, .extraSamples = {kUnassociated}}},
        {"palette", 1, 8, kPalette, kLzw, {}},
        {"palette_4_tiles", 1, 4, kPalette, kNone, {.tileSize = 16}},
        {"jpeg_ycbcr", 3, 8, kYcbcr, kJpeg, {.width = 64, .height = 48, .rowsPerStrip = 16}},
        {"jpeg_grey_tiles", 1, 8, kGrey, kJpeg, {.width = 48, .height = 32, .tileSize = 16}},
        // A codec that no code of the reader names, and that a libtiff may be built without.
        {"rgb_lzma", 3, 8, kRgb, COMPRESSION_LZMA, {}},
    };
    for (const auto& c : cases) {
        if (!TIFFIsCODECConfigured(c.compression)) {
            std::cout << "libtiff without codec " << c.compression << ": " << c.name
                      << " skipped\n";
            continue;
        }
        TiffPicture p = c.rest;
        p.samplesPerPixel = c.samples, p.bitsPerSample = c.bits;
        p.photometric = c.photometric, p.compression = c.compression;
        // JPEG in flat patches; its chroma, at half resolution, blends across their edges.
        const uint32_t patch = c.compression == kJpeg ? 16 : 1;
        p = Filled(p, patch);
        const int tolerance = patch == 1 ? 0 : c.samples == 3 ? 64 : 3;
        for (Background background : {Background::NearWhite, Background::NearBlack}) {
            EXPECT_EQ(
                CheckDecodes(EncodeTiff(p), Expected(p, patch, background), background, tolerance),
                std::nullopt)
                << c.name << " on " << int(background);
        }
    }
}

// A colour map written in 8-bit values, as some writers do against the format's 16 bits:
// read as such, as libtiff's own RGBA reader reads it, where one value over 255 keeps the
// map's 16 bits.
TEST(Tiff, ColourMapsOfEightBitValuesAreReadAsSuch) {
    for (const bool oneOver : {false, true}) {
        TiffPicture p;
        p.samplesPerPixel = 1, p.bitsPerSample = 4, p.photometric = PHOTOMETRIC_PALETTE;
        p = Filled(p);
        TiffPicture wide = p;  // the same colours in 16 bits, as Expected reads them
        for (std::size_t i = 0; i < p.colormap.size(); ++i) {
            p.colormap[i] = uint16_t(p.colormap[i] >> 8);
            wide.colormap[i] = uint16_t(p.colormap[i] << 8);
        }
        if (oneOver) {
            p.colormap.back() = 256;
            wide.colormap = p.colormap;
        }
        EXPECT_EQ(CheckDecodes(EncodeTiff(p), Expected(wide, 1, Background::NearWhite),
                               Background::NearWhite),
                  std::nullopt)
            << oneOver;
    }
}

// The picture's file with fields of its first directory made one LONG value each (a
// little-endian file, its directory at offset 8).
Bytes Patched(const TiffPicture& p, const std::vector<std::pair<uint16_t, uint32_t>>& fields) {
    Bytes file = EncodeTiff(Filled(p));
    for (uint8_t* entry = &file[10]; entry < &file[10 + 12 * file[8]]; entry += 12) {
        for (const auto& [tag, value] : fields) {
            if ((entry[0] | entry[1] << 8) == tag) {
                entry[2] = 4, entry[3] = 0;  // LONG
                for (int i = 0; i < 4; ++i) {
                    entry[4 + i] = i == 0, entry[8 + i] = uint8_t(value >> 8 * i);
                }
            }
        }
    }
    return file;
}

// The file with the entry of a field of its first directory passed to change: the bytes
// of its type, count and value (or offset of its values).
Bytes WithEntry(Bytes file, uint16_t tag, const std::function<void(Bytes&, uint8_t*)>& change) {
    for (std::size_t at = 10; at < 10 + 12 * std::size_t(file[8]); at += 12) {
        if ((file[at] | file[at + 1] << 8) == tag) {
            change(file, &file[at + 2]);
        }
    }
    return file;
}

uint32_t Le32(const uint8_t* bytes) {
    return uint32_t(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24);
}

TEST(Tiff, DamagedHostileAndUnsupportedFilesAreRefusedByEveryPath) {
    const TiffPicture rgb{.samplesPerPixel = 3, .photometric = PHOTOMETRIC_RGB};
    Refusals cases = {
        {Patched({.compression = COMPRESSION_LZW},
                 {{TIFFTAG_IMAGEWIDTH, 100000}, {TIFFTAG_IMAGELENGTH, 100000}}),
         "picture too large: 100000 x 100000 pixels; at most 65535 a side"},
        {Patched({.tileSize = 16}, {{TIFFTAG_TILEWIDTH, 32768}, {TIFFTAG_TILELENGTH, 32768}}),
         "damaged picture: tiles of 32768 x 32768 for a picture of 37 x 21"},
        {Patched(rgb, {{TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR}}),
         "unsupported picture: YCbCr TIFF without JPEG compression"},
        // Old-style JPEG hands YCbCr over as stored, not as RGB.
        {Patched(rgb, {{TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR},
                       {TIFFTAG_COMPRESSION, COMPRESSION_OJPEG}}),
         "unsupported picture: YCbCr TIFF in old-style JPEG"},
        {Patched({}, {{TIFFTAG_COMPRESSION, 34712}}),
         "unsupported picture: unknown (34712) compression"},
    };
    const std::pair<TiffPicture, const char*> unsupported[] = {
        {{.samplesPerPixel = 4, .photometric = PHOTOMETRIC_SEPARATED}, "CMYK TIFF"},
        {{.samplesPerPixel = 3, .photometric = PHOTOMETRIC_CIELAB}, "Lab TIFF"},
        {{.bitsPerSample = 32, .sampleFormat = SAMPLEFORMAT_IEEEFP}, "floating-point samples"},
        {{.bitsPerSample = 24}, "24-bit samples"},
        {{.bitsPerSample = 16, .photometric = PHOTOMETRIC_PALETTE}, "16-bit palette"},
    };
    // The library reads every field whole as it opens the file.
    cases.emplace_back(EncodeTiff(Filled({.icc = Bytes(9 << 20, 'x')})),
                       "unsupported picture: TIFF with more than 8 MiB of metadata fields");
    for (const auto& [p, reason] : unsupported) {
        cases.emplace_back(EncodeTiff(Filled(p)), std::string("unsupported picture: ") + reason);
    }
    // Strips stored as they are, their byte counts short of their rows: the library would
    // read on into what follows.
    cases.emplace_back(
        WithEntry(EncodeTiff(Filled(
                      {.samplesPerPixel = 3, .photometric = PHOTOMETRIC_RGB, .rowsPerStrip = 8})),
                  TIFFTAG_STRIPBYTECOUNTS,
                  [](Bytes& file, uint8_t* entry) {
                      const uint32_t size = entry[0] == TIFF_SHORT ? 2 : 4;
                      for (uint32_t i = 0; i < Le32(entry + 2); ++i) {
                          file[Le32(entry + 6) + i * size] = 100,
                                                     file[Le32(entry + 6) + i * size + 1] = 0;
                      }
                  }),
        "damaged picture: a strip shorter than its rows");
    // A colour map the file ends before, which the library drops: the indices would be
    // read as grey levels.
    cases.emplace_back(
        WithEntry(EncodeTiff(Filled({.bitsPerSample = 8, .photometric = PHOTOMETRIC_PALETTE})),
                  TIFFTAG_COLORMAP,
                  [](Bytes& file, uint8_t* entry) {
                      const auto beyond = uint32_t(file.size() + 64);
                      std::memcpy(entry + 6, &beyond, 4);  // little-endian
                  }),
        "damaged picture: the file ends before its ColorMap field");
    // A colour map of the wrong length, or none at all, which the library replaces by grey
    // in silence.
    const Bytes palette =
        EncodeTiff(Filled({.bitsPerSample = 8, .photometric = PHOTOMETRIC_PALETTE}));
    cases.emplace_back(WithEntry(palette, TIFFTAG_COLORMAP,
                                 [](Bytes&, uint8_t* entry) {
                                     const uint32_t fewer = Le32(entry + 2) - 3;
                                     std::memcpy(entry + 2, &fewer, 4);  // little-endian
                                 }),
                       "damaged picture: no colour map");
    cases.emplace_back(WithEntry(palette, TIFFTAG_COLORMAP,
                                 [](Bytes&, uint8_t* entry) { entry[-2] = 321 & 0xff; }),
                       "damaged picture: no colour map");
    // Damage within a JPEG strip, which libjpeg would only warn of, and decode on.
    Bytes jpeg = EncodeTiff(Filled(
        {.samplesPerPixel = 3, .photometric = PHOTOMETRIC_YCBCR, .compression = COMPRESSION_JPEG}));
    std::fill_n(jpeg.begin() + long(jpeg.size() / 2), 8, 0);
    cases.emplace_back(jpeg, "damaged picture: Corrupt JPEG data");
    // The directory comes first: most cuts fall in the pixels.
    for (const TiffPicture& kind :
         {rgb, TiffPicture{.compression = COMPRESSION_LZW, .rowsPerStrip = 8},
          TiffPicture{.compression = COMPRESSION_ADOBE_DEFLATE, .tileSize = 16}}) {
        const Bytes tiff = EncodeTiff(Filled(kind));
        for (std::size_t cut = 4; cut < tiff.size(); cut += cut < 16 ? 1 : tiff.size() / 40) {
            cases.emplace_back(Bytes(tiff.begin(), tiff.begin() + long(cut)), "damaged picture");
        }
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

}  // namespace
}  // namespace zel7
