// HEIF pictures (HEIC and AVIF, made by libheif's own encoders) read as the rules of
// decoded_rows.h make them of the samples written, turned once as their boxes say, by
// every path; told by their brands; cut, hostile and oversized files refused with nothing
// written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "encoders.h"
#include "engine/orientation.h"
#include "engine/working_image.h"
#include "formats/formats.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// 8-bit levels either side of the thresholds (240 and 20) and the scale's ends; alphas 0,
// 1, 128, 254 and 255.
constexpr uint8_t kLevels[] = {0, 20, 21, 128, 239, 240, 250, 255};
constexpr uint8_t kAlphas[] = {0, 1, 128, 254, 255};

// Sample s (red, green, blue, alpha) of pixel (x, y) at the picture's depth, the same over
// patches of patch x patch pixels; bits below the top 8 set, so that rounding would show.
// On even patch rows a pixel's colours are equal, so that some are background.
uint16_t Sample(const HeifPicture& p, int x, int y, int s, int patch) {
    x /= patch, y /= patch;
    const unsigned level = s == 3 ? kAlphas[(x + y) % 5] : kLevels[(x + 3 * y + y % 2 * s) % 8];
    const int extra = p.bitDepth - 8;
    return uint16_t(level << extra | ((1u << extra) - 1) * (level & 1));
}

HeifPicture Filled(HeifPicture p, int patch = 1) {
    p.width = p.width != 0 ? p.width : 37, p.height = p.height != 0 ? p.height : 21;
    const int channels = p.alpha ? 4 : 3;
    for (int i = 0; i < p.width * p.height * channels; ++i) {
        p.samples.push_back(
            Sample(p, i / channels % p.width, i / channels / p.width, i % channels, patch));
    }
    return p;
}

// The picture the rules make of the samples: top 8 bits, alpha composited over the
// background (premultiplied colours with the background added where alpha lets it
// through, as TIFF's); then seen as the orientation turns it.
BmpBuilder Expected(const HeifPicture& p, Background background) {
    const Turn turn(p.orientation, p.width, p.height);
    const std::size_t channels = p.alpha ? 4 : 3;
    BmpBuilder seen = Picture(turn.SeenWidth(), turn.SeenHeight(), [](std::size_t, uint8_t*) {});
    const auto stride = std::size_t(RowStride(turn.SeenWidth(), 24));
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            int32_t seenX = 0, seenY = 0;
            turn.Map(x, y, seenX, seenY);
            // BmpBuilder rows are bottom-up.
            uint8_t* bgr = &seen.pixels[std::size_t(turn.SeenHeight() - 1 - seenY) * stride +
                                        3 * std::size_t(seenX)];
            const auto level = [&](int s) {
                const auto i = (std::size_t(y) * std::size_t(p.width) + std::size_t(x)) * channels;
                return uint8_t(p.samples[i + std::size_t(s)] >> (p.bitDepth - 8));
            };
            for (int c = 0; c < 3; ++c) {
                const unsigned v = level(c), a = level(3), bg = BackgroundLevel(background);
                bgr[2 - c] = !p.alpha ? uint8_t(v)
                             : p.premultiplied
                                 ? uint8_t(std::min(255u, v + (bg * (255 - a) + 127) / 255))
                                 : Composite(uint8_t(v), uint8_t(a), uint8_t(bg));
            }
        }
    }
    return seen;
}

class Heif : public ::testing::TestWithParam<HeifCodec> {
protected:
    void SetUp() override {
        if (const std::string missing = MissingHeifEncoder(GetParam()); !missing.empty()) {
            GTEST_SKIP() << "no " << missing;
        }
    }
    HeifPicture Of(HeifPicture p) const {
        p.codec = GetParam();
        return p;
    }
};

TEST_P(Heif, ReadsEveryKindByTheRules) {
    const struct {
        const char* name;
        HeifPicture picture;
        int patch, tolerance;
        bool av1 = true;  // Debian's libaom, through libheif, aborts on more than 8 bits
    } cases[] = {
        {"rgb", {}, 1, 0},
        {"rgba", {.alpha = true}, 1, 0},
        {"rgba_premultiplied", {.alpha = true, .premultiplied = true}, 1, 0},
        {"rgb_10_bits", {.bitDepth = 10}, 1, 0, false},
        {"rgba_12_bits", {.bitDepth = 12, .alpha = true}, 1, 0, false},
        {"one_pixel", {.width = 1, .height = 1}, 1, 0},
        // Lossy 4:2:0 in flat patches, whose colours blend across their edges at half
        // resolution.
        {"lossy", {.width = 96, .height = 64, .quality = 90}, 16, 48},
        {"lossy_odd_alpha", {.width = 97, .height = 33, .alpha = true, .quality = 90}, 16, 48},
        {"lossy_10_bits",
         {.width = 96, .height = 32, .bitDepth = 10, .quality = 90},
         16,
         48,
         false},
    };
    ScratchFolder folder;
    for (const auto& c : cases) {
        if (GetParam() == HeifCodec::Av1 && !c.av1) {
            continue;
        }
        SCOPED_TRACE(c.name);
        const HeifPicture p = Filled(Of(c.picture), c.patch);
        const Bytes file = EncodeHeif(p);
        for (Background background : {Background::NearWhite, Background::NearBlack}) {
            EXPECT_EQ(
                CheckDecodes(file, Expected(p, background), background, folder.Path(), c.tolerance),
                std::nullopt)
                << "on " << int(background);
        }
    }
}

// The file's irot and imir boxes turn the picture, once: the EXIF orientation phones write
// beside them (the same turn, or, here, also another) is not applied again.
TEST_P(Heif, TurnsAsTheBoxesSayOnce) {
    // Where the picture's top left pixel is seen, for each orientation.
    constexpr std::pair<bool, bool> kCorner[] = {{false, false}, {true, false},  {true, true},
                                                 {false, true},  {false, false}, {true, false},
                                                 {true, true},   {false, true}};
    ScratchFolder folder;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (int exif : {orientation, 9 - orientation}) {
            SCOPED_TRACE(std::to_string(orientation) + ", EXIF " + std::to_string(exif));
            HeifPicture p = Filled(Of({.width = 7, .height = 4, .orientation = orientation}));
            std::fill_n(p.samples.begin(), 3, 77);  // the top left pixel, marked
            const Bytes exifSegment = ExifOrientation(exif);
            p.exif.assign(exifSegment.begin() + 6, exifSegment.end());  // after "Exif\0\0"
            const BmpBuilder expected = Expected(p, Background::NearWhite);
            ASSERT_EQ(expected.biWidth, orientation >= 5 ? 4 : 7);
            const auto [right, bottom] = kCorner[orientation - 1];
            const std::size_t x = right ? std::size_t(expected.biWidth) - 1 : 0;
            const std::size_t row = bottom ? 0 : std::size_t(expected.biHeight) - 1;  // bottom-up
            ASSERT_EQ(expected.pixels[row * std::size_t(RowStride(expected.biWidth, 24)) + 3 * x],
                      77);
            EXPECT_EQ(CheckDecodes(EncodeHeif(p), expected, Background::NearWhite, folder.Path()),
                      std::nullopt);
        }
    }
}

// The offset of the first occurrence of a box type (or any four bytes) in the file.
std::size_t Find(const Bytes& file, const char* type) {
    const auto at = std::search(file.begin(), file.end(), type, type + 4);
    EXPECT_NE(at, file.end()) << type;
    return std::size_t(at - file.begin());
}

Bytes Patched(Bytes file, std::size_t at, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), file.begin() + long(at));
    return file;
}

// The file with bytes written at `offset` past every occurrence of `type`.
Bytes PatchedAll(Bytes file, const char* type, std::size_t offset,
                 std::initializer_list<uint8_t> bytes) {
    for (auto at = file.begin(); (at = std::search(at, file.end(), type, type + 4)) != file.end();
         ++at) {
        std::copy(bytes.begin(), bytes.end(), at + long(offset));
    }
    return file;
}

TEST_P(Heif, DamagedAndHostileFilesAreRefusedByEveryPath) {
    const Bytes file = EncodeHeif(Filled(Of({.width = 64, .height = 48, .quality = 50})));
    const std::size_t ftypEnd = file[3], pitm = Find(file, "pitm");
    Bytes garbage(file.begin(), file.begin() + long(ftypEnd));
    const Bytes noise = RandomBytes(600, 3);
    garbage.insert(garbage.end(), noise.begin(), noise.end());
    // ispe: size, type, version and flags, then width and height.
    Refusals cases = {
        {Bytes(file.begin(), file.begin() + long(ftypEnd)),
         "damaged picture: Invalid input: No 'meta' box"},
        {garbage, "damaged picture: Invalid input: No 'meta' box"},
        // The coded data has no checksums: what the decoder makes of damage it does not
        // notice is masked, alike by every path.
        {Patched(file, Find(file, "mdat") + 40, {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0}), "success"},
        {PatchedAll(file, "ispe", 8, {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0}), "picture too large"},
        {PatchedAll(file, "ispe", 8, {0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60}),
         "picture too large: 3600000000 pixels; the limit is 200000000"},
        {Patched(file, pitm + 8, {0, 99}), "damaged picture"},
        // A codec libheif knows of but has no decoder for.
        {PatchedAll(PatchedAll(file, "hvc1", 0, {'v', 'v', 'c', '1'}), "av01", 0,
                    {'v', 'v', 'c', '1'}),
         "unsupported picture: Unsupported feature: Unsupported image type"},
        {Patched(file, 8, {'i', 's', 'o', 'm'}), "success"},  // heic among the compatible brands
    };
    for (std::size_t cut = file.size() - 1; cut > 12; cut = cut * 3 / 4) {
        cases.emplace_back(Bytes(file.begin(), file.begin() + long(cut)), "damaged picture");
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

// libheif holds the whole picture: refused past the decoder's bound before it is decoded.
TEST_P(Heif, DecoderMemoryIsBoundedPerPicture) {
    ScratchFolder folder;
    WriteWholeFile(folder / "big.heif",
                   EncodeHeif(Filled(Of({.width = 512, .height = 512, .quality = 50}), 64)));
    for (const auto& [bound, said] :
         {std::pair{uint64_t{3} << 20, "success"},
          std::pair{uint64_t{2} << 20,
                    "picture too large: a HEIF picture of this size needs 3 MiB to decode, more "
                    "than the 2 MiB a picture may take"}}) {
        WorkingImage image;
        const Result result = LoadPicture(folder / "big.heif", image, {.maxDecoderMemory = bound});
        ReleasePictureBuffers(image);
        EXPECT_EQ(Describe(result), said);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, Heif, ::testing::Values(HeifCodec::Hevc, HeifCodec::Av1),
                         [](const auto& info) {
                             return info.param == HeifCodec::Hevc ? "Hevc" : "Av1";
                         });

// The ftyp box's brands, major and compatible, as far as its size and the head reach.
TEST(HeifSignature, ToldByTheBrandsOfTheFtypBox) {
    const auto ftyp = [](uint32_t size, std::string brands) {
        Bytes head = {uint8_t(size >> 24),
                      uint8_t(size >> 16),
                      uint8_t(size >> 8),
                      uint8_t(size),
                      'f',
                      't',
                      'y',
                      'p'};
        head.insert(head.end(), brands.begin(), brands.end());
        return head;
    };
    const std::string minor(4, '\0');
    const std::pair<Bytes, bool> cases[] = {
        {ftyp(24, "heic" + minor + "mif1"), true},
        {ftyp(16, "avif" + minor), true},
        {ftyp(28, "isom" + minor + "mp42avis"), true},
        {ftyp(32, "MiHE" + minor + "MiHBheix"), true},
        {ftyp(24, "mp42" + minor + "isom"), false},      // a video
        {ftyp(20, "isom" + minor + "mp42heic"), false},  // heic past the box's end
        {ftyp(0, "isom" + minor + "mp42msf1"), true},    // the box runs to the end
        {ftyp(1, "heic" + minor), false},                // a 64-bit size
        {ftyp(12, "heic"), false},                       // too short for an ftyp
        {ftyp(24, "mif"), false},                        // cut in the major brand
        {ftyp(24, "isom" + minor + "mp42he"), false},    // cut in a compatible one
        {Patched(ftyp(24, "heic" + minor), 4, {'f', 'r', 'e', 'e'}), false},
    };
    for (const auto& [head, heif] : cases) {
        EXPECT_EQ(IsHeif(head), heif) << std::string(head.begin() + 8, head.end());
    }
}

}  // namespace
}  // namespace zel7
