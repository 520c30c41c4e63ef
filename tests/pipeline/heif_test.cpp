// HEIF pictures (HEIC and AVIF, made by libheif's own encoders) read as the rules of
// decoded_rows.h make them of the samples written, turned once as their boxes say, by
// every path; told by their brands; cut, hostile and oversized files refused with nothing
// written.
#include <gtest/gtest.h>

#include <algorithm>

#include "encoders.h"
#include "formats/formats.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// 8-bit levels either side of the thresholds (240 and 20) and the scale's ends, for
// colours and alpha alike.
constexpr uint8_t kLevels[] = {0, 20, 21, 128, 239, 240, 250, 255};

// Fills the picture's samples, and returns what the rules make of them: top 8 bits, alpha
// composited over the background (premultiplied colours with the background added where
// alpha lets it through, as TIFF's); turned upside down by orientation 3. The samples have
// bits below the top 8 set in odd levels, so that rounding would show, and are the same
// over patches of 16 x 16 pixels in lossy pictures, whose colours blend across their
// edges. On even patch rows the colours are equal.
BmpBuilder Fill(HeifPicture& p, Background background) {
    const int channels = p.alpha ? 4 : 3, extra = p.bitDepth - 8, patch = p.quality ? 16 : 1;
    for (int i = 0; i < p.width * p.height * channels; ++i) {
        const int x = i / channels % p.width / patch, y = i / channels / p.width / patch;
        const unsigned level = kLevels[(x + 3 * y + y % 2 * (i % channels)) % 8];
        p.samples.push_back(uint16_t(level << extra | ((1u << extra) - 1) * (level & 1)));
    }
    const unsigned bg = BackgroundLevel(background);
    return Picture(p.width, p.height, [&](std::size_t i, uint8_t* bgr) {
        const std::size_t pixels = std::size_t(p.width * p.height);
        const std::size_t at = (p.orientation == 3 ? pixels - 1 - i : i) * std::size_t(channels);
        const auto level = [&](std::size_t s) { return unsigned(p.samples[at + s]) >> extra; };
        const unsigned a = p.alpha ? level(3) : 255;
        for (std::size_t c = 0; c < 3; ++c) {
            bgr[2 - c] = p.premultiplied
                             ? uint8_t(std::min(255u, level(c) + (bg * (255 - a) + 127) / 255))
                             : Composite(uint8_t(level(c)), uint8_t(a), uint8_t(bg));
        }
    });
}

struct Heif : ::testing::TestWithParam<HeifCodec> {
    void SetUp() override {
        if (const std::string missing = MissingHeifEncoder(GetParam()); !missing.empty()) {
            GTEST_SKIP() << "no " << missing;
        }
    }
};

// Every kind of sample the reader converts: 8 bits or more, alpha or none, premultiplied or
// not; lossy 4:2:0 too. The irot and imir boxes turn the picture once: the EXIF orientation
// phones write beside them is not applied again.
TEST_P(Heif, ReadsEveryKindByTheRulesTurnedOnce) {
    const HeifPicture cases[] = {
        {.width = 37, .height = 21, .orientation = 3},
        {.width = 37, .height = 21, .alpha = true},
        {.width = 37, .height = 21, .alpha = true, .premultiplied = true},
        {.width = 37, .height = 21, .bitDepth = 10},
        {.width = 37, .height = 21, .bitDepth = 12, .alpha = true},
        {.width = 97, .height = 33, .alpha = true, .quality = 90},
    };
    for (const HeifPicture& c : cases) {
        HeifPicture p = c;
        p.codec = GetParam();
        if (p.codec == HeifCodec::Av1 && p.bitDepth > 8) {
            continue;  // Debian's libaom, through libheif, aborts on more than 8 bits
        }
        p.exif = ExifOrientation(p.orientation);  // which libheif finds after "Exif\0\0"
        // On white and on black by turns: alpha composited over both, premultiplied or not.
        const auto background = (&c - cases) % 2 ? Background::NearBlack : Background::NearWhite;
        const BmpBuilder expected = Fill(p, background);
        EXPECT_EQ(CheckDecodes(EncodeHeif(p), expected, background, p.quality ? 48 : 0),
                  std::nullopt)
            << "case " << &c - cases;
    }
}

// The file with bytes written at `offset` past every occurrence of `type`.
Bytes Patched(Bytes file, const char* type, std::size_t offset,
              std::initializer_list<uint8_t> bytes) {
    for (auto at = file.begin(); (at = std::search(at, file.end(), type, type + 4)) != file.end();
         ++at) {
        std::copy(bytes.begin(), bytes.end(), at + long(offset));
    }
    return file;
}

// Sides past the limit zel7 gives libheif (65535, above libheif's own), pictures past the
// decoder's memory bound (libheif holds the whole picture: refused before decoding), damage
// and codecs libheif does not decode, each refused for its reason; cut anywhere, refused as
// damaged. (The pixel limit: CheckDecodes, with every picture read.)
TEST_P(Heif, DamagedHostileAndUnsupportedFilesAreRefusedByEveryPath) {
    HeifPicture picture{.width = 64, .height = 48, .codec = GetParam(), .quality = 50};
    picture.samples.assign(64 * 48 * 3, 128);  // grey
    const Bytes file = EncodeHeif(picture);
    Refusals cases = {
        {Patched(file, "ispe", 8, {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0}),
         "picture too large: Memory allocation error: Security limit exceeded: Image size "
         "100000x100000 exceeds the maximum image size 65535x65535"},
        {Patched(file, "ispe", 8, {0, 0, 0x23, 0x28, 0, 0, 0x23, 0x28}),  // 9000 x 9000
         "picture too large: a HEIF picture of this size needs 696 MiB to decode"},
        {Patched(file, "pitm", 8, {0, 99}), "damaged picture: Invalid input: Non-existing item"},
        {Patched(Patched(file, "hvc1", 0, {'v', 'v', 'c', '1'}), "av01", 0, {'v', 'v', 'c', '1'}),
         "unsupported picture: Unsupported feature: Unsupported image type"},  // no VVC decoder
    };
    for (std::size_t cut = file.size() - 1; cut > 12; cut = cut * 3 / 4) {
        cases.emplace_back(Bytes(file.begin(), file.begin() + long(cut)), "damaged picture");
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Codecs, Heif, ::testing::Values(HeifCodec::Hevc, HeifCodec::Av1));

// The ftyp box's brands, major and compatible, as far as its size and the head reach.
TEST(HeifSignature, ToldByTheBrandsOfTheFtypBox) {
    // The box's size, then what follows "ftyp": the major brand, the minor version (----),
    // the compatible brands.
    const std::tuple<uint8_t, std::string, bool> cases[] = {
        {16, "avif----", true},
        {20, "isom----mp42heic", false},  // heic past the box's end
        {0, "isom----mp42msf1", true},    // the box runs to the end of the file
        {12, "heic", false},              // too short for an ftyp
        {24, "mif", false},               // cut in the major brand
    };
    for (const auto& [size, brands, heif] : cases) {
        Bytes head = {0, 0, 0, size, 'f', 't', 'y', 'p'};
        head.insert(head.end(), brands.begin(), brands.end());
        EXPECT_EQ(IsHeif(head), heif) << brands;
    }
}

}  // namespace
}  // namespace zel7
