// Colour profiles through the engine: each reader hands out the profile its file holds,
// cut-outs carry it byte for byte and masks none; with srgb the rows are converted to sRGB
// values that the profiles' primaries and curves predict, and no profile is written;
// damaged profiles are refused by the conversion and left out of cut-outs.
#include "engine/colour.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "colour_profiles.h"
#include "encoders.h"
#include "engine/mask_file.h"
#include "formats/decoded_rows.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;
using Rgb = std::array<uint8_t, 3>;

enum class Kind { Jpeg, Png, Tiff, Webp, Heif };

// A 32 x 24 picture on white with a 16 x 16 block of one colour at (8, 8), whole JPEG
// blocks, so that a JPEG at quality 100 keeps the colour within a level or two.
constexpr int kWidth = 32, kHeight = 24, kInsideX = 15, kInsideY = 15;

struct Photo {
    Kind kind = Kind::Png;
    Rgb colour{};
    Bytes icc{};
    bool grey = false;
    int orientation = 1;
    std::vector<Bytes> app2{};  // JPEG: segments written as they are, instead of icc
};

Bytes Encode(const Photo& photo) {
    const int channels = photo.grey ? 1 : 3;
    Bytes pixels(std::size_t(kWidth * kHeight * channels), 255);
    for (int y = 8; y < 24; ++y) {
        for (int x = 8; x < 24; ++x) {
            for (int c = 0; c < channels; ++c) {
                pixels[std::size_t((y * kWidth + x) * channels + c)] = photo.colour[c];
            }
        }
    }
    switch (photo.kind) {
        case Kind::Jpeg: {
            JpegOptions options;
            options.icc = photo.icc;
            options.app2 = photo.app2;
            if (photo.orientation != 1) {
                options.exif = ExifOrientation(photo.orientation);
            }
            return EncodeJpeg(kWidth, kHeight, channels, pixels, options);
        }
        case Kind::Png: {
            PngPicture png{kWidth, kHeight, photo.grey ? kGrey : kRgb};
            png.samples.assign(pixels.begin(), pixels.end());
            png.icc = photo.icc;
            return EncodePng(png);
        }
        case Kind::Tiff: {
            TiffPicture tiff{kWidth,
                             kHeight,
                             uint16_t(channels),
                             8,
                             uint16_t(photo.grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB),
                             pixels};
            tiff.orientation = uint16_t(photo.orientation);
            tiff.icc = photo.icc;
            return EncodeTiff(tiff);
        }
        case Kind::Webp:
            return EncodeWebp(kWidth, kHeight, 3, pixels, {.lossless = true, .icc = photo.icc});
        case Kind::Heif: {
            HeifPicture heif{.width = kWidth, .height = kHeight, .icc = photo.icc};
            heif.samples.assign(pixels.begin(), pixels.end());
            return EncodeHeif(heif);
        }
    }
    return {};
}

// The decoded rows' pixel inside the block, red first, as the source yields it.
Result ReadInside(const std::filesystem::path& path, bool srgb, Bytes& profile, Rgb& inside) {
    std::unique_ptr<RowSource> source;
    if (Result result = OpenPictureSource(path, {}, source); !result.Ok()) {
        return result;
    }
    profile.assign(source->ColourProfile().begin(), source->ColourProfile().end());
    if (srgb) {
        if (Result result = ConvertToSrgb(source); !result.Ok()) {
            return result;
        }
    }
    Bytes rows(std::size_t(source->Shape().pixelBytes));
    if (Result result = source->Read(rows.data(), rows.size()); !result.Ok()) {
        return result;
    }
    const uint8_t* bgr = &rows[std::size_t(kInsideY * source->Shape().rowStride + 3 * kInsideX)];
    inside = {bgr[2], bgr[1], bgr[0]};
    return {};
}

// Masks the file on white as a two-tone mask, a soft one or a cut-out, into a PNG.
Result Mask(const std::filesystem::path& source, const std::filesystem::path& destination,
            Product product, bool srgb, bool hardEdges = false) {
    MaskOptions options;
    options.format = PictureFormat::Png;
    options.srgb = srgb;
    options.refine.product = product;
    options.refine.hardEdges = hardEdges;
    options.refine.sideKnown = true;
    std::vector<uint8_t> buffer;
    return MaskFile(source, destination, options, buffer);
}

Rgb Inside(const PngPicture& cutout) {
    const std::size_t at = std::size_t(kInsideY * kWidth + kInsideX) * 4;
    return {uint8_t(cutout.samples[at]), uint8_t(cutout.samples[at + 1]),
            uint8_t(cutout.samples[at + 2])};
}

void ExpectNear(const Rgb& got, const Rgb& expected, int tolerance, const std::string& what) {
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(got[c], expected[c], tolerance) << what << ", channel " << c;
    }
}

Bytes AdobeRgb() {
    return MakeProfile({});
}
Bytes DisplayP3() {
    return MakeProfile({kDisplayP3Primaries, 2.2, 0, "Display P3 (test)"});
}
// Its curves' tables take 120 KB: two APP2 segments of at most 65,519 bytes.
Bytes LargeAdobeRgb() {
    return MakeProfile({kAdobeRgbPrimaries, 2.2, 20000});
}

struct Carried {
    const char* name;
    Kind kind;
    Bytes (*profile)();
    int orientation = 1;
    std::size_t leastBytes = 0;  // what the profile must take for the row to mean anything
};

class CarriedProfile : public testing::TestWithParam<Carried> {};

TEST_P(CarriedProfile, CutOutsCarryItMasksAndConvertedOnesDoNot) {
    const Carried& row = GetParam();
    const ScratchFolder folder;
    const Bytes icc = row.profile();
    ASSERT_GE(icc.size(), row.leastBytes);
    WriteWholeFile(folder / "photo",
                   Encode({row.kind, {30, 160, 90}, icc, false, row.orientation}));
    Bytes read;
    Rgb inside{};
    ASSERT_TRUE(ReadInside(folder / "photo", false, read, inside).Ok());
    EXPECT_EQ(read, icc) << "as the source hands it out";

    ASSERT_TRUE(Mask(folder / "photo", folder / "cut.png", Product::Cutout, false).Ok());
    EXPECT_EQ(DecodePng(ReadWholeFile(folder / "cut.png")).icc, icc);
    for (const Product mask : {Product::Mask, Product::SoftMask}) {
        ASSERT_TRUE(Mask(folder / "photo", folder / "mask.png", mask, false).Ok());
        EXPECT_TRUE(DecodePng(ReadWholeFile(folder / "mask.png")).icc.empty());
    }
    ASSERT_TRUE(Mask(folder / "photo", folder / "srgb.png", Product::Cutout, true).Ok());
    EXPECT_TRUE(DecodePng(ReadWholeFile(folder / "srgb.png")).icc.empty());
}

INSTANTIATE_TEST_SUITE_P(Readers, CarriedProfile,
                         testing::Values(Carried{"jpeg_srgb", Kind::Jpeg, SrgbProfile},
                                         Carried{"jpeg_display_p3", Kind::Jpeg, DisplayP3},
                                         Carried{"jpeg_in_several_segments", Kind::Jpeg,
                                                 LargeAdobeRgb, 1, 65520},
                                         Carried{"jpeg_turned_upright", Kind::Jpeg, AdobeRgb, 6},
                                         Carried{"png_adobe_rgb", Kind::Png, AdobeRgb},
                                         Carried{"tiff_adobe_rgb", Kind::Tiff, AdobeRgb},
                                         Carried{"tiff_turned_upright", Kind::Tiff, DisplayP3, 8},
                                         Carried{"webp_display_p3", Kind::Webp, DisplayP3},
                                         Carried{"heic_display_p3", Kind::Heif, DisplayP3}),
                         [](const auto& info) { return std::string(info.param.name); });

// Expected colours worked out apart from lcms2: the primaries' RGB-to-XYZ matrices under
// D65, the source's inverted by sRGB's, clipped, and sRGB's curve.
struct Converted {
    const char* name;
    Kind kind;
    RgbProfile profile;
    Rgb colour, expected;
    int tolerance;  // JPEG's own error besides the conversion's
};

class SrgbConversion : public testing::TestWithParam<Converted> {};

TEST_P(SrgbConversion, GivesTheColourThePrimariesPredict) {
    const Converted& row = GetParam();
    const ScratchFolder folder;
    WriteWholeFile(folder / "photo", Encode({row.kind, row.colour, MakeProfile(row.profile)}));
    const Rgb& expected = row.expected;
    Bytes profile;
    Rgb inside{};
    ASSERT_TRUE(ReadInside(folder / "photo", false, profile, inside).Ok());
    ExpectNear(inside, row.colour, row.tolerance, "not converted");
    ASSERT_TRUE(ReadInside(folder / "photo", true, profile, inside).Ok());
    ExpectNear(inside, expected, row.tolerance + 1, "converted");

    ASSERT_TRUE(Mask(folder / "photo", folder / "cut.png", Product::Cutout, true, true).Ok());
    const PngPicture cutout = DecodePng(ReadWholeFile(folder / "cut.png"));
    ExpectNear(Inside(cutout), expected, row.tolerance + 1, "in the cut-out");
    EXPECT_TRUE(cutout.icc.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Colours, SrgbConversion,
    testing::Values(
        Converted{"adobe_green_png", Kind::Png, {}, {0, 255, 0}, {0, 255, 0}, 0},
        Converted{"adobe_skin_png", Kind::Png, {}, {200, 150, 120}, {217, 151, 119}, 0},
        Converted{"adobe_blue_jpeg", Kind::Jpeg, {}, {60, 90, 200}, {36, 90, 204}, 2},
        Converted{"p3_red_tiff", Kind::Tiff, {kDisplayP3Primaries}, {255, 0, 0}, {255, 0, 0}, 0},
        Converted{
            "p3_leaf_tiff", Kind::Tiff, {kDisplayP3Primaries}, {120, 200, 90}, {90, 204, 70}, 0},
        Converted{"srgb_primaries_gamma_1_8_png",
                  Kind::Png,
                  {kSrgbPrimaries, 1.8},
                  {37, 180, 240},
                  {49, 193, 243},
                  0},
        Converted{"tabulated_curves_jpeg",
                  Kind::Jpeg,
                  {kAdobeRgbPrimaries, 2.2, 4096},
                  {90, 40, 170},
                  {103, 35, 175},
                  2}),
    [](const auto& info) { return std::string(info.param.name); });

// Grey pictures with grey profiles: converted as grey; a cut-out, RGB, carries none.
TEST(SrgbConversion, GreyProfilesConvertGreyPicturesAndStayOutOfCutOuts) {
    for (const Kind kind : {Kind::Jpeg, Kind::Png, Kind::Tiff}) {
        const ScratchFolder folder;
        const Bytes icc = GreyProfile(1.8);
        WriteWholeFile(folder / "photo", Encode({kind, {128, 128, 128}, icc, true}));
        Bytes profile;
        Rgb inside{};
        ASSERT_TRUE(ReadInside(folder / "photo", true, profile, inside).Ok());
        EXPECT_EQ(profile, icc);
        ExpectNear(inside, {146, 146, 146}, 1, "grey");  // 128 at gamma 1.8 in sRGB's curve
        ASSERT_TRUE(Mask(folder / "photo", folder / "cut.png", Product::Cutout, false).Ok());
        EXPECT_TRUE(DecodePng(ReadWholeFile(folder / "cut.png")).icc.empty());
    }
}

// Masks are made of the converted values: a pale green that is background in Adobe RGB
// numbers (every channel at least 240) has sRGB's red at 237.
TEST(SrgbConversion, ThresholdsApplyToSrgbValues) {
    const ScratchFolder folder;
    WriteWholeFile(folder / "photo.png", Encode({Kind::Png, {242, 255, 242}, AdobeRgb()}));
    for (const bool srgb : {false, true}) {
        ASSERT_TRUE(Mask(folder / "photo.png", folder / "mask.png", Product::Mask, srgb).Ok());
        const PngPicture mask = DecodePng(ReadWholeFile(folder / "mask.png"));
        EXPECT_EQ(mask.samples[std::size_t(kInsideY * kWidth + kInsideX)], srgb ? 0 : 255)
            << (srgb ? "converted" : "as stored");
    }
}

// Profiles' names in iCCP: the description, as PNG allows names.
TEST(CarriedProfile, NamedByTheirDescription) {
    const std::pair<std::string, std::string> names[] = {
        {"Display P3", "Display P3"},
        {"  two  spaces\tand a tab ", "two spaces and a tab"},
        {"", "ICC profile"},
        {std::string(90, 'x'), std::string(79, 'x')},
        {std::string(78, 'x') + " y", std::string(78, 'x')},
    };
    for (const auto& [description, name] : names) {
        const ScratchFolder folder;
        WriteWholeFile(
            folder / "photo",
            Encode({Kind::Png, {1, 2, 3}, MakeProfile({kAdobeRgbPrimaries, 2.2, 0, description})}));
        ASSERT_TRUE(Mask(folder / "photo", folder / "cut.png", Product::Cutout, false).Ok());
        EXPECT_EQ(DecodePng(ReadWholeFile(folder / "cut.png")).iccName, name) << description;
    }
}

// A JPEG's ICC_PROFILE segment: the part's number, the count of parts, the bytes.
Bytes IccSegment(int part, int parts, const Bytes& profile, std::size_t from, std::size_t to) {
    Bytes segment{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    segment.push_back(uint8_t(part));
    segment.push_back(uint8_t(parts));
    segment.insert(segment.end(), profile.begin() + std::ptrdiff_t(from),
                   profile.begin() + std::ptrdiff_t(to));
    return segment;
}

enum class Outcome {
    Refused,  // converting refuses it; cut-outs carry nothing
    Dropped,  // not the rows' profile: nothing converted, nothing carried
    Carried,  // read after all
};

struct Odd {
    const char* name;
    std::function<Photo()> photo;
    Outcome outcome;
};

class OddProfile : public testing::TestWithParam<Odd> {};

TEST_P(OddProfile, IsRefusedOrLeftOutWithoutHarm) {
    const Odd& row = GetParam();
    const ScratchFolder folder;
    const Photo photo = row.photo();
    WriteWholeFile(folder / "photo", Encode(photo));
    const int tolerance = photo.kind == Kind::Jpeg ? 2 : 0;

    ASSERT_TRUE(Mask(folder / "photo", folder / "cut.png", Product::Cutout, false, true).Ok());
    const PngPicture cutout = DecodePng(ReadWholeFile(folder / "cut.png"));
    EXPECT_EQ(cutout.icc.empty(), row.outcome != Outcome::Carried);
    ExpectNear(Inside(cutout), photo.colour, tolerance, "as stored");

    const Result converted = Mask(folder / "photo", folder / "srgb.png", Product::Cutout, true);
    if (row.outcome == Outcome::Refused) {
        EXPECT_EQ(Describe(converted), "damaged picture: the colour profile cannot be read");
        EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"cut.png", "photo"}));
        for (const Product mask : {Product::Mask, Product::SoftMask}) {
            EXPECT_EQ(Mask(folder / "photo", folder / "mask.png", mask, true).status,
                      Status::DamagedPicture);
        }
    } else if (row.outcome == Outcome::Dropped) {
        ASSERT_TRUE(converted.Ok()) << Describe(converted);
        ExpectNear(Inside(DecodePng(ReadWholeFile(folder / "srgb.png"))), photo.colour, tolerance,
                   "left as stored");
    } else {
        ASSERT_TRUE(converted.Ok()) << Describe(converted);
    }
}

Photo WithProfile(Kind kind, Bytes icc) {
    return {kind, {40, 120, 200}, std::move(icc)};
}

// The profile with every tag's offset past its end; its header as it was.
Bytes TagsAstray(Bytes icc) {
    const std::size_t tags =
        std::size_t(icc[128]) << 24 | icc[129] << 16 | icc[130] << 8 | icc[131];
    for (std::size_t tag = 0; tag < tags; ++tag) {
        icc[132 + 12 * tag + 4] = 0x7F;
    }
    return icc;
}

Bytes WithSpace(Bytes icc, const char* space) {
    std::copy(space, space + 4, icc.begin() + 16);
    return icc;
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, OddProfile,
    testing::Values(
        Odd{"jpeg_second_part_missing",
            [] {
                const Bytes icc = LargeAdobeRgb();
                Photo photo = WithProfile(Kind::Jpeg, {});
                photo.app2 = {IccSegment(1, 2, icc, 0, 65519)};
                return photo;
            },
            Outcome::Refused},
        Odd{"jpeg_parts_numbered_wrongly_but_whole",
            [] {
                const Bytes icc = LargeAdobeRgb();
                Photo photo = WithProfile(Kind::Jpeg, {});
                photo.app2 = {IccSegment(1, 2, icc, 0, 65519),
                              IccSegment(1, 2, icc, 65519, icc.size())};
                return photo;
            },
            Outcome::Carried},
        Odd{"png_tags_astray", [] { return WithProfile(Kind::Png, TagsAstray(AdobeRgb())); },
            Outcome::Refused},
        Odd{"png_not_a_profile", [] { return WithProfile(Kind::Png, RandomBytes(300, 7)); },
            Outcome::Refused},
        Odd{"tiff_header_cut_short",
            [] {
                const Bytes icc = AdobeRgb();
                return WithProfile(Kind::Tiff, Bytes(icc.begin(), icc.begin() + 100));
            },
            Outcome::Refused},
        Odd{"tiff_end_missing",
            [] {
                const Bytes icc = AdobeRgb();
                return WithProfile(Kind::Tiff, Bytes(icc.begin(), icc.end() - 16));
            },
            Outcome::Refused},
        Odd{"jpeg_cmyk_profile_on_rgb",
            [] { return WithProfile(Kind::Jpeg, WithSpace(AdobeRgb(), "CMYK")); },
            Outcome::Dropped},
        Odd{"png_grey_profile_on_rgb", [] { return WithProfile(Kind::Png, GreyProfile(2.2)); },
            Outcome::Dropped},
        Odd{"tiff_larger_than_the_bound",
            [] {
                return WithProfile(Kind::Tiff, MakeProfile({kAdobeRgbPrimaries, 2.2, 0, "large",
                                                            kMaxColourProfileBytes}));
            },
            Outcome::Dropped}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zel7
