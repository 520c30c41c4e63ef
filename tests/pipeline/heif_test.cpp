// HEIF pictures (HEIC and AVIF, made by libheif's own encoders) read as the rules of
// decoded_rows.h make them of the samples written, turned once as their boxes say, by
// every path; told by their brands; cut, hostile and oversized files refused with nothing
// written.
#include <gtest/gtest.h>

#include <algorithm>

#include "encoders.h"
#include "engine/orientation.h"
#include "engine/working_image.h"
#include "formats/formats.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// 8-bit levels either side of the thresholds (240 and 20) and the scale's ends, for
// colours and alpha alike.
constexpr uint8_t kLevels[] = {0, 20, 21, 128, 239, 240, 250, 255};

// The samples, the same over patches of patch x patch pixels, with bits below the top 8 set
// in odd levels, so that rounding would show. On even patch rows the colours are equal.
HeifPicture Filled(HeifPicture p, int patch = 1) {
    p.width = p.width != 0 ? p.width : 37, p.height = p.height != 0 ? p.height : 21;
    const int channels = p.alpha ? 4 : 3, extra = p.bitDepth - 8;
    for (int i = 0; i < p.width * p.height * channels; ++i) {
        const int x = i / channels % p.width / patch, y = i / channels / p.width / patch;
        const unsigned level = kLevels[(x + 3 * y + y % 2 * (i % channels)) % 8];
        p.samples.push_back(uint16_t(level << extra | ((1u << extra) - 1) * (level & 1)));
    }
    return p;
}

// The picture the rules make of the samples: top 8 bits, alpha composited over the
// background (premultiplied colours with the background added where alpha lets it
// through, as TIFF's); then seen as the orientation turns it.
BmpBuilder Expected(const HeifPicture& p, Background background) {
    const Turn turn(p.orientation, p.width, p.height);
    BmpBuilder seen = Picture(turn.SeenWidth(), turn.SeenHeight(), [](std::size_t, uint8_t*) {});
    const auto stride = std::size_t(RowStride(turn.SeenWidth(), 24)),
               channels = std::size_t(p.alpha ? 4 : 3);
    for (int i = 0; i < p.width * p.height; ++i) {
        int32_t x = 0, y = 0;
        turn.Map(i % p.width, i / p.width, x, y);
        uint8_t* bgr = &seen.pixels[std::size_t(turn.SeenHeight() - 1 - y) * stride + 3 * x];
        const auto level = [&](std::size_t s) {
            return p.samples[i * channels + s] >> (p.bitDepth - 8);
        };
        for (int c = 0; c < 3; ++c) {
            const unsigned v = level(c), a = p.alpha ? level(3) : 255,
                           bg = BackgroundLevel(background);
            bgr[2 - c] = p.premultiplied ? uint8_t(std::min(255u, v + (bg * (255 - a) + 127) / 255))
                                         : Composite(uint8_t(v), uint8_t(a), uint8_t(bg));
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
};

// The irot and imir boxes turn the picture once: the EXIF orientation phones write beside
// them (the same turn, or in the last case another) is not applied again.
TEST_P(Heif, ReadsEveryKindByTheRulesTurnedOnce) {
    const struct {
        HeifPicture picture;
        int patch = 1, tolerance = 0, exif = 0;
        bool av1 = true;  // Debian's libaom, through libheif, aborts on more than 8 bits
    } cases[] = {
        {{}},
        {{.alpha = true}},
        {{.alpha = true, .premultiplied = true}},
        {{.bitDepth = 10, .orientation = 6}, 1, 0, 0, false},
        {{.bitDepth = 12, .alpha = true}, 1, 0, 0, false},
        {{.width = 1, .height = 1}},
        {{.orientation = 2}},
        {{.orientation = 5}},
        {{.orientation = 8}, 1, 0, 6},
        // Lossy 4:2:0 in flat patches, whose colours blend across their edges.
        {{.width = 97, .height = 33, .alpha = true, .quality = 90, .orientation = 3}, 16, 48},
        {{.width = 96, .height = 32, .bitDepth = 10, .quality = 90}, 16, 48, 0, false},
    };
    ScratchFolder folder;
    for (const auto& c : cases) {
        HeifPicture p = c.picture;
        p.codec = GetParam();
        if (p.codec == HeifCodec::Av1 && !c.av1) {
            continue;
        }
        const Bytes exif = ExifOrientation(c.exif != 0 ? c.exif : p.orientation);
        p.exif.assign(exif.begin() + 6, exif.end());  // after "Exif\0\0"
        p = Filled(p, c.patch);
        for (Background background : {Background::NearWhite, Background::NearBlack}) {
            EXPECT_EQ(CheckDecodes(EncodeHeif(p), Expected(p, background), background,
                                   folder.Path(), c.tolerance),
                      std::nullopt)
                << &c - cases << " on " << int(background);
        }
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

TEST_P(Heif, DamagedHostileAndUnsupportedFilesAreRefusedByEveryPath) {
    const Bytes file =
        EncodeHeif(Filled({.width = 64, .height = 48, .codec = GetParam(), .quality = 50}));
    Bytes garbage(file.begin(), file.begin() + file[3]);  // the ftyp box, then noise
    const Bytes noise = RandomBytes(600, 3);
    garbage.insert(garbage.end(), noise.begin(), noise.end());
    Refusals cases = {
        {Bytes(file.begin(), file.begin() + file[3]),
         "damaged picture: Invalid input: No 'meta' box"},
        {garbage, "damaged picture: Invalid input: No 'meta' box"},
        {Patched(file, "ispe", 8, {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0}),
         "picture too large: Memory allocation error: Security limit exceeded: Image size "
         "100000x100000 exceeds the maximum image size 65535x65535"},
        {Patched(file, "ispe", 8, {0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60}),
         "picture too large: 3600000000 pixels; the limit is 200000000"},
        {Patched(file, "pitm", 8, {0, 99}), "damaged picture: Invalid input: Non-existing item"},
        {Patched(Patched(file, "hvc1", 0, {'v', 'v', 'c', '1'}), "av01", 0, {'v', 'v', 'c', '1'}),
         "unsupported picture: Unsupported feature: Unsupported image type"},  // no VVC decoder
        {Patched(file, "ftyp", 4, {'i', 's', 'o', 'm'}), "success"},  // heic or avif compatible
        // The coded data has no checksums: damage the decoder does not notice is masked as
        // decoded, alike by every path.
        {Patched(file, "mdat", 40, {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0}), "success"},
    };
    for (std::size_t cut = file.size() - 1; cut > 12; cut = cut * 3 / 4) {
        cases.emplace_back(Bytes(file.begin(), file.begin() + long(cut)), "damaged picture");
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
    // libheif holds the whole picture: refused past the decoder's bound before decoding.
    ScratchFolder folder;
    WriteWholeFile(
        folder / "big.heif",
        EncodeHeif(Filled({.width = 512, .height = 512, .codec = GetParam(), .quality = 50}, 64)));
    for (const auto& [mib, said] :
         {std::pair{3, "success"},
          std::pair{2,
                    "picture too large: a HEIF picture of this size needs 3 MiB to decode, more "
                    "than the 2 MiB a picture may take"}}) {
        WorkingImage image;
        EXPECT_EQ(Describe(LoadPicture(folder / "big.heif", image,
                                       {.maxDecoderMemory = uint64_t(mib) << 20})),
                  said);
        ReleasePictureBuffers(image);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, Heif, ::testing::Values(HeifCodec::Hevc, HeifCodec::Av1));

// The ftyp box's brands, major and compatible, as far as its size and the head reach.
TEST(HeifSignature, ToldByTheBrandsOfTheFtypBox) {
    // The box's size, then what follows "ftyp": the major brand, the minor version (----),
    // the compatible brands.
    const std::tuple<uint8_t, std::string, bool> cases[] = {
        {24, "heic----mif1", true},
        {16, "avif----", true},
        {28, "isom----mp42avis", true},
        {24, "mp42----isom", false},      // a video
        {20, "isom----mp42heic", false},  // heic past the box's end
        {0, "isom----mp42msf1", true},    // the box runs to the end of the file
        {1, "heic----", false},           // a 64-bit size
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
