// Colour profiles through the engine: each reader hands out the profile its file holds,
// cut-outs carry it byte for byte and masks none; with srgb the rows are converted to sRGB
// values that the profiles' primaries and curves predict, and no profile is written;
// damaged profiles are refused by the conversion and left out of cut-outs.
#include "engine/colour.h"

#include <gtest/gtest.h>

#include "colour_profiles.h"
#include "encoders.h"
#include "engine/mask_file.h"
#include "formats/decoded_rows.h"

namespace zel7 {
namespace {

using namespace test_support;
using Rgb = Bytes;  // red, green, blue

// JpegMisnumbered: the profile's halves in APP2 segments that both say they are part 1 of
// 2, which the library will not put together and the reader takes anyway.
enum class Kind { Jpeg, JpegMisnumbered, Png, Tiff, Webp, Heif };

const Rgb kBlue{60, 90, 200};

// A picture of two pixels of the colour, grey when the colour is: a conversion that takes
// the rows' pixels at the wrong size gets the second one wrong. TIFFs are turned
// (orientation 8), so that their profiles are seen to outlast turning upright (and their
// orientation to be read).
Bytes Encode(Kind kind, const Rgb& colour, const Bytes& icc) {
    const int channels = colour[0] == colour[1] && colour[1] == colour[2] ? 1 : 3;
    Bytes pixels(colour.begin(), colour.begin() + channels);
    pixels.insert(pixels.end(), colour.begin(), colour.begin() + channels);
    const std::vector<uint16_t> samples(pixels.begin(), pixels.end());
    std::vector<Bytes> halves(2, {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 2});
    halves[0].insert(halves[0].end(), icc.begin(), icc.begin() + icc.size() / 2);
    halves[1].insert(halves[1].end(), icc.begin() + icc.size() / 2, icc.end());
    switch (kind) {
        case Kind::Jpeg:
            return EncodeJpeg(2, 1, channels, pixels, {.icc = icc});
        case Kind::JpegMisnumbered:
            return EncodeJpeg(2, 1, channels, pixels, {.app2 = halves});
        case Kind::Png: {
            PngPicture png{.width = 2, .height = 1, .samples = samples, .icc = icc};
            png.colour = channels == 1 ? kGrey : kRgb;
            return EncodePng(png);
        }
        case Kind::Tiff: {
            TiffPicture tiff{.width = 2, .height = 1, .samples = pixels, .icc = icc};
            tiff.samplesPerPixel = uint16_t(channels);
            tiff.photometric = channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
            tiff.orientation = ORIENTATION_LEFTBOT;
            return EncodeTiff(tiff);
        }
        case Kind::Webp:
            return EncodeWebp(2, 1, 3, pixels, {.lossless = true, .icc = icc});
        case Kind::Heif:
            return EncodeHeif({.width = 2, .height = 1, .samples = samples, .icc = icc});
    }
    return {};
}

// The file "photo" in folder on white, with options as zel7-mask reads them, to "out.png":
// what went wrong, or "" and the PNG decoded into out.
std::string Mask(const ScratchFolder& folder, const std::string& options, PngPicture& out) {
    const Result result = MaskAs("white " + options, folder / "photo", folder / "out.png");
    if (result.Ok()) {
        out = DecodePng(ReadWholeFile(folder / "out.png"));
    }
    return result.Ok() ? "" : Describe(result);
}

// Adobe RGB, its description one that iCCP must name otherwise: printable, single spaces,
// at most 79 bytes, none at the ends.
const Bytes kAdobe = MakeProfile({.description = "\t Adobe  RGB " + std::string(68, 'x') + " y"}),
            kGrey18 = MakeProfile({.gamma = 1.8, .grey = true});
const std::string kAdobeName = "Adobe RGB " + std::string(68, 'x');

// Expected colours worked out apart from lcms2: Adobe RGB's and sRGB's RGB-to-XYZ matrices
// under D65, the first inverted by the second, clipped, and sRGB's curve; grey 128 at gamma
// 1.8 in sRGB's curve.
const Rgb kBlueFromAdobe{36, 90, 204}, kGrey{128, 128, 128}, kGreyFrom18{146, 146, 146};

// A profile padded to size bytes, as its header then says: sound, but past the size read.
Bytes Padded(Bytes profile, std::size_t size) {
    profile.resize(size);
    for (std::size_t i = 0; i < 4; ++i) {
        profile[i] = uint8_t(size >> (24 - 8 * i));
    }
    return profile;
}
const Bytes kAdobeTooLarge = Padded(kAdobe, kMaxColourProfileBytes + 1000);
constexpr const char* kUnreadable = "damaged picture: the colour profile cannot be read";
constexpr const char* kTooLarge =
    "unsupported picture: its colour profile claims 5 MiB, more than the 4 MiB read";

// What of a profile stored in a file goes with the rows: past the bound, the profile its
// header gives where that is within it (a padded one), else the header alone, which the
// conversion refuses; profiles of other colours dropped at any size.
TEST(ColourProfile, PastTheBoundKeepsWhatItsHeaderSays) {
    Bytes padded = kAdobe;
    padded.resize(kMaxColourProfileBytes + 1000);
    const Bytes greyTooLarge = Padded(kGrey18, kMaxColourProfileBytes + 1000);
    const struct {
        const char* name;
        const Bytes& stored;
        std::size_t kept;
    } rows[] = {
        {"within the bound", kAdobe, kAdobe.size()},
        {"padded past it", padded, kAdobe.size()},
        {"past it", kAdobeTooLarge, kIccHeaderBytes},
        {"no profile past it", RandomBytes(kMaxColourProfileBytes + 1, 7), kIccHeaderBytes},
        {"grey on colour rows, past it", greyTooLarge, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ProfileForRows(row.stored, false).size(), row.kept) << row.name;
    }
    // A profile cut short that claims more than the bound is refused as one that does.
    const Bytes head(kAdobeTooLarge.begin(), kAdobeTooLarge.begin() + 300);
    const ScratchFolder folder;
    WriteWholeFile(folder / "photo", Encode(Kind::Png, kBlue, head));
    PngPicture out;
    EXPECT_EQ(Mask(folder, "srgb", out), kTooLarge);
    // HEIF's library holds the profile whole: past the metadata bound, no copy is had of it.
    WriteWholeFile(folder / "photo",
                   Encode(Kind::Heif, kBlue, Padded(kAdobe, kMaxMetadataBytes + 1000)));
    EXPECT_EQ(Mask(folder, "", out),
              "unsupported picture: HEIF with more than 8 MiB of metadata in its colour profile");
}

struct Row {
    const char* name;
    Kind kind;
    Bytes icc;
    std::optional<Rgb> srgb;  // the colour converted; none: the profile is refused
    std::string carriedAs{};  // "": not carried; else carried byte for byte, named so in iCCP
    Rgb colour = kBlue;
    const char* refusal = kUnreadable;  // with srgb, where srgb is none
};

class ColourProfile : public testing::TestWithParam<Row> {};

TEST_P(ColourProfile, IsCarriedConvertedOrRefused) {
    const Row& row = GetParam();
    const ScratchFolder folder;
    WriteWholeFile(folder / "photo", Encode(row.kind, row.colour, row.icc));
    PngPicture out;
    ASSERT_EQ(Mask(folder, "soft", out), "");
    EXPECT_TRUE(out.icc.empty()) << "masks carry none";
    ASSERT_EQ(Mask(folder, "cutout", out), "");
    EXPECT_EQ(out.width, row.kind == Kind::Tiff ? 1u : 2u) << "TIFFs are turned upright";
    EXPECT_EQ(out.icc, row.carriedAs.empty() ? Bytes{} : row.icc);
    EXPECT_EQ(out.iccName, row.carriedAs);
    for (const char* name : {"out.jpg", "out.webp"}) {  // read back by zel7's own readers
        std::unique_ptr<RowSource> written;
        ASSERT_TRUE(MaskAs("white cutout", folder / "photo", folder / name).Ok());
        ASSERT_TRUE(OpenPictureSource(folder / name, {}, written).Ok());
        EXPECT_EQ(Bytes(written->ColourProfile().begin(), written->ColourProfile().end()),
                  row.carriedAs.empty() ? Bytes{} : row.icc)
            << name;
    }
    // With --srgb: converted, or refused alike by the plain masks' path and the refined one.
    const char* refused = row.srgb ? "" : row.refusal;
    EXPECT_EQ(Mask(folder, "srgb", out), refused);
    ASSERT_EQ(Mask(folder, "cutout srgb", out), refused);
    if (row.srgb) {
        EXPECT_TRUE(out.icc.empty());
        for (std::size_t c = 0; c < 3; ++c) {  // the second pixel, within JPEG's own error
            EXPECT_NEAR(out.samples[4 + c], (*row.srgb)[c], 3) << "channel " << c;
        }
    }
}

// A colour asked for in sRGB goes into the colours of the profile a cut-out carries (as
// --flatten's does): Adobe RGB's blue back from sRGB's, white as white; unchanged for no
// profile, a grey one, or one that cannot be read.
TEST(ColourProfile, SrgbColoursGoIntoTheProfileCarried) {
    const std::array<uint8_t, 3> blue{kBlueFromAdobe[0], kBlueFromAdobe[1], kBlueFromAdobe[2]},
        white{255, 255, 255};
    const std::array<uint8_t, 3> adobe = FromSrgb(kAdobe, blue);
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_NEAR(adobe[c], kBlue[c], 1) << "channel " << c;
    }
    EXPECT_EQ(FromSrgb(kAdobe, white), white);
    for (const Bytes& other : {Bytes{}, kGrey18, RandomBytes(200, 3)}) {
        EXPECT_EQ(FromSrgb(other, blue), blue);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ColourProfile,
    testing::Values(
        Row{"jpeg", Kind::Jpeg, kAdobe, kBlueFromAdobe, kAdobeName},
        Row{"jpeg_misnumbered", Kind::JpegMisnumbered, kAdobe, kBlueFromAdobe, kAdobeName},
        Row{"png", Kind::Png, kAdobe, kBlueFromAdobe, kAdobeName},
        Row{"tiff_turned", Kind::Tiff, kAdobe, kBlueFromAdobe, kAdobeName},
        // A profile with no description is named "ICC profile".
        Row{"webp", Kind::Webp, MakeProfile({.description = ""}), kBlueFromAdobe, "ICC profile"},
        Row{"heic", Kind::Heif, kAdobe, kBlueFromAdobe, kAdobeName},
        // Grey pictures' grey profiles convert them, but cut-outs are RGB and carry none.
        Row{"jpeg_grey", Kind::Jpeg, kGrey18, kGreyFrom18, "", kGrey},
        Row{"png_grey", Kind::Png, kGrey18, kGreyFrom18, "", kGrey},
        Row{"tiff_grey", Kind::Tiff, kGrey18, kGreyFrom18, "", kGrey},
        // Profiles that cannot be the rows' are dropped: srgb keeps the colour, nothing carried.
        Row{"png_grey_profile_on_rgb", Kind::Png, kGrey18, kBlue},
        // Damaged ones are refused by the conversion, and left out of cut-outs without it...
        Row{"tiff_too_large_not_a_profile",
            Kind::Tiff,
            RandomBytes(kMaxColourProfileBytes + 1, 7),
            {}},
        Row{"jpeg_end_missing", Kind::Jpeg, Bytes(kAdobe.begin(), kAdobe.end() - 16), {}},
        // lcms2 opens this one but reads no curve of more than some 30,000 entries.
        Row{"png_curves_unreadable", Kind::Png, MakeProfile({.curveEntries = 40000}), {}},
        Row{"tiff_not_a_profile", Kind::Tiff, RandomBytes(300, 7), {}},
        // ...and so are those past the size read: converting nothing would pass the rows'
        // colours off as sRGB's.
        Row{"jpeg_too_large", Kind::Jpeg, kAdobeTooLarge, {}, "", kBlue, kTooLarge},
        Row{"tiff_too_large", Kind::Tiff, kAdobeTooLarge, {}, "", kBlue, kTooLarge},
        Row{"webp_too_large", Kind::Webp, kAdobeTooLarge, {}, "", kBlue, kTooLarge},
        Row{"heic_too_large", Kind::Heif, kAdobeTooLarge, {}, "", kBlue, kTooLarge}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zel7
