// Writes the fuzzers' seed corpus, small pictures of every kind each format has:
// zel7-fuzz-seeds FOLDER
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "colour_profiles.h"
#include "encoders.h"
#include "test_pictures.h"

using zel7::test_support::BmpBuilder;
using zel7::test_support::ValidPicture;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel7-fuzz-seeds FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    auto write = [&](const std::string& name, const BmpBuilder& picture) {
        zel7::test_support::WriteWholeFile(folder / (name + ".bmp"), picture.Build());
    };

    for (uint16_t bits : {8, 16, 24, 32}) {
        write("plain-" + std::to_string(bits), ValidPicture(7, 5, bits));
        write("one-pixel-" + std::to_string(bits), ValidPicture(1, 1, bits));
        write("empty-" + std::to_string(bits), ValidPicture(0, 3, bits));
    }
    write("edges-24", ValidPicture(33, 9, 24));  // every byte at or beside a threshold

    BmpBuilder v5 = ValidPicture(6, 4, 24);
    v5.biSize = 124;
    v5.gapBeforePixels = 84;
    write("v5-header-24", v5);

    BmpBuilder fields16 = ValidPicture(6, 4, 16);
    fields16.biCompression = 3;
    fields16.masks = {0x7C00, 0x03E0, 0x001F};
    write("bitfields-16", fields16);

    BmpBuilder fields32 = ValidPicture(6, 4, 32);
    fields32.biSize = 108;
    fields32.biCompression = 3;
    fields32.masks = {0xFF0000, 0xFF00, 0xFF};
    fields32.gapBeforePixels = 108 - 40 - 12;
    write("bitfields-v4-32", fields32);

    BmpBuilder shortTable = ValidPicture(6, 4, 8);
    shortTable.biClrUsed = 16;
    shortTable.colorTable.resize(64);
    write("short-colour-table-8", shortTable);

    BmpBuilder gap = ValidPicture(6, 4, 24);
    gap.gapBeforePixels = 10;
    write("gap-before-pixels-24", gap);

    using namespace zel7::test_support;
    auto save = [&](const std::string& name, const Bytes& file) {
        WriteWholeFile(folder / name, file);
    };
    const Bytes noise = RandomBytes(9 * 7 * 4, 5);
    for (int components : {1, 3, 4}) {
        save("plain-" + std::to_string(components) + ".jpg", EncodeJpeg(9, 7, components, noise));
    }
    save("progressive-420.jpg",
         EncodeJpeg(9, 7, 3, noise, {.quality = 80, .progressive = true, .sampling = 420}));
    save("turned.jpg", EncodeJpeg(9, 7, 3, noise, {.exif = ExifOrientation(6, true)}));
    Bytes junk = EncodeJpeg(9, 7, 3, noise);
    junk.insert(junk.begin() + 20, {0, 0x17, 0x2A});  // between the JFIF segment and the next
    save("junk-between-segments.jpg", junk);
    // Colour profiles: whole, and in two numbered parts.
    const Bytes profile = zel7::test_support::MakeProfile({});
    save("profile.jpg", EncodeJpeg(9, 7, 3, noise, {.icc = profile}));
    const std::size_t half = profile.size() / 2;
    Bytes first{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 2};
    Bytes second{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 2, 2};
    first.insert(first.end(), profile.begin(), profile.begin() + std::ptrdiff_t(half));
    second.insert(second.end(), profile.begin() + std::ptrdiff_t(half), profile.end());
    save("profile-in-parts.jpg", EncodeJpeg(9, 7, 3, noise, {.app2 = {first, second}}));

    for (auto [colour, depth] :
         {std::pair{kGrey, 1}, std::pair{kGrey, 16}, std::pair{kRgb, 8}, std::pair{kRgba, 16},
          std::pair{kGreyAlpha, 8}, std::pair{kPalette, 4}}) {
        PngPicture picture{.width = 9, .height = 7, .colour = colour, .bitDepth = uint8_t(depth)};
        picture.interlaced = depth == 8;
        for (std::size_t i = 0; i < 9 * 7 * std::size_t(picture.Channels()); ++i) {
            picture.samples.push_back(uint16_t(noise[i % noise.size()] * 257) >> (16 - depth));
        }
        if (colour == kRgb) {
            picture.icc = profile;
        }
        if (colour == kPalette) {
            picture.palette = Bytes(noise.begin(), noise.begin() + 48);
            picture.transparency = {0, 128, 255};
        }
        save("colour-" + std::to_string(colour) + "-" + std::to_string(depth) + ".png",
             EncodePng(picture));
    }

    // Keyed at a level beside another of the same top byte.
    PngPicture keyed{.width = 9, .height = 7, .colour = kGrey, .bitDepth = 16};
    for (std::size_t i = 0; i < 9 * 7; ++i) {
        keyed.samples.push_back(std::array<uint16_t, 4>{0x40FF, 0x4000, 0xFFFF, 0}[noise[i] % 4]);
    }
    keyed.transparency = {0x40FF};
    save("keyed-grey-16.png", EncodePng(keyed));

    const Bytes rgba(noise.begin(), noise.begin() + 9 * 7 * 4);
    save("rgba-lzw.tif", EncodeTiff({.width = 9,
                                     .height = 7,
                                     .samplesPerPixel = 4,
                                     .photometric = PHOTOMETRIC_RGB,
                                     .samples = rgba,
                                     .compression = COMPRESSION_LZW,
                                     .extraSamples = {EXTRASAMPLE_UNASSALPHA}}));
    save("grey-tiled-deflate.tif", EncodeTiff({.width = 20,
                                               .height = 18,
                                               .samples = RandomBytes(20 * 18, 6),
                                               .compression = COMPRESSION_ADOBE_DEFLATE,
                                               .tileSize = 16}));
    save("grey-12-lzw.tif", EncodeTiff({.width = 9,
                                        .height = 7,
                                        .bitsPerSample = 12,
                                        .samples = Bytes(noise.begin(), noise.begin() + 14 * 7),
                                        .compression = COMPRESSION_LZW}));
    save("rgb-packbits.tif", EncodeTiff({.width = 9,
                                         .height = 7,
                                         .samplesPerPixel = 3,
                                         .photometric = PHOTOMETRIC_RGB,
                                         .samples = Bytes(noise.begin(), noise.begin() + 189),
                                         .compression = COMPRESSION_PACKBITS,
                                         .icc = profile}));

    // HEIC and AVIF, lossy and kept exactly, with alpha, more than 8 bits and a turn, by
    // whichever of libheif's encoders there are.
    const struct {
        const char* name;
        HeifPicture picture;
    } heifs[] = {
        {"rgb-lossy.heic", {.quality = 50}},
        {"rgba-exact-turned.heic", {.alpha = true, .orientation = 6}},
        {"rgb-10.heic", {.bitDepth = 10, .quality = 60}},
        {"rgb-lossy.avif", {.codec = HeifCodec::Av1, .quality = 50}},
        {"rgba-exact-mirrored.avif", {.alpha = true, .codec = HeifCodec::Av1, .orientation = 2}},
    };
    for (auto [name, picture] : heifs) {
        if (!MissingHeifEncoder(picture.codec).empty()) {
            continue;
        }
        picture.width = 9, picture.height = 7;
        for (std::size_t i = 0; i < 9 * 7 * (picture.alpha ? 4u : 3u); ++i) {
            picture.samples.push_back(uint16_t(noise[i % noise.size()] << (picture.bitDepth - 8)));
        }
        save(name, EncodeHeif(picture));
    }

    const Bytes pixels = RandomBytes(9 * 7 * 4, 7);
    const Bytes rgb(pixels.begin(), pixels.begin() + 9 * 7 * 3);
    save("lossy.webp", EncodeWebp(9, 7, 3, rgb, {.quality = 80}));
    save("lossy-alpha.webp", EncodeWebp(9, 7, 4, pixels, {.quality = 80}));
    save("lossless-alpha.webp", EncodeWebp(9, 7, 4, pixels, {.lossless = true}));
    save("turned.webp", EncodeWebp(9, 7, 3, rgb, {.lossless = true, .exif = ExifOrientation(8)}));
    return 0;
}
