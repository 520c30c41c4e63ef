// PNG pictures of every kind read by the rules of decoded_rows.h, masks written as
// 1-bit PNGs, and damaged or hostile files refused with nothing written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <random>

#include "child_process.h"
#include "encode_png.h"
#include "mask_file.h"
#include "reference_mask.h"
#include "system.h"
#include "working_image.h"

namespace zel7 {
namespace {

using namespace testing;  // zel7's test helpers

struct Kind {
    uint8_t colour, depth;
    bool transparency;
};

// Random samples, with those that matter set: 16-bit ones either side of where the top
// byte reaches the white threshold, alphas 0, 1, 254 and 255 by the top byte, palette
// entries with those alphas, and a tRNS colour beside colours one bit off it.
PngPicture MakePicture(const Kind& kind, uint32_t width, uint32_t height, bool interlaced,
                       uint32_t seed) {
    PngPicture p{width, height, kind.colour, kind.depth, interlaced};
    const auto channels = std::size_t(p.Channels());
    std::mt19937 random(seed);
    p.samples.resize(std::size_t(width) * height * channels);
    for (uint16_t& sample : p.samples) {
        sample = uint16_t(random() >> (32 - kind.depth));
    }
    if (kind.colour == kPalette) {
        p.palette = RandomBytes(std::size_t(3) << kind.depth, seed);
    }
    if (p.samples.size() < 12 * channels) {
        return p;  // too small to hold the values above
    }
    const auto set = [&](std::size_t pixel, std::size_t channel, uint32_t value) {
        p.samples[pixel * channels + channel] = uint16_t(value);
    };
    const bool wide = kind.depth == 16;
    if (wide) {
        set(0, 0, 0xEFFF);  // 239
        set(1, 0, 0xF000);  // 240, where rounding would give 239
    }
    const uint32_t alphas[] = {0, wide ? 0x01FFu : 1, wide ? 0xFEFFu : 254, wide ? 0xFFFFu : 255};
    for (uint32_t i = 0; i < 4 && channels % 2 == 0; ++i) {
        set(2 + i, channels - 1, alphas[i]);
    }
    if (kind.transparency && kind.colour == kPalette) {  // entries 0 to 3 in use, so alphas
        for (uint32_t i = 0; i < std::min(4u, 1u << kind.depth); ++i) {
            set(2 + i, 0, i);
            p.transparency.push_back(uint16_t(alphas[i]));
        }
    } else if (kind.transparency) {  // the key, then colours one bit off it
        p.transparency.assign(&p.samples[6 * channels], &p.samples[7 * channels]);
        for (std::size_t off = 0; off < channels; ++off) {
            for (std::size_t c = 0; c < channels; ++c) {
                set(7 + off, c, p.transparency[c] ^ (c == off ? 1u : 0u));
            }
        }
    }
    return p;
}

// Blue, green and red by the rules alone.
std::array<uint8_t, 3> Expected(const PngPicture& p, std::size_t pixel, Background background) {
    const uint16_t* s = &p.samples[pixel * std::size_t(p.Channels())];
    const auto eight = [&](uint32_t v) {
        return uint8_t(p.bitDepth == 16 ? v >> 8 : v * 255 / ((1u << p.bitDepth) - 1));
    };
    const bool grey = p.colour == kGrey || p.colour == kGreyAlpha;
    const auto& key = p.transparency;
    uint8_t rgb[3], alpha = 255;
    for (int c = 0; c < 3; ++c) {
        rgb[c] = p.colour == kPalette ? p.palette[3 * s[0] + c] : eight(s[grey ? 0 : c]);
    }
    if (p.colour == kPalette) {
        alpha = s[0] < key.size() ? uint8_t(key[s[0]]) : 255;
    } else if (p.colour == kGreyAlpha || p.colour == kRgba) {
        alpha = eight(s[p.Channels() - 1]);
    } else if (!key.empty() && std::equal(key.begin(), key.end(), s)) {
        alpha = 0;
    }
    const uint8_t level = BackgroundLevel(background);
    return {Composite(rgb[2], alpha, level), Composite(rgb[1], alpha, level),
            Composite(rgb[0], alpha, level)};
}

TEST(Png, EveryKindOfPictureReadsByTheRules) {
    constexpr Kind kKinds[] = {
        {kGrey, 1, false},      {kGrey, 2, false},       {kGrey, 4, false},    {kGrey, 8, false},
        {kGrey, 16, false},     {kGrey, 2, true},        {kGrey, 8, true},     {kGrey, 16, true},
        {kRgb, 8, false},       {kRgb, 16, false},       {kRgb, 8, true},      {kRgb, 16, true},
        {kPalette, 1, false},   {kPalette, 2, true},     {kPalette, 4, false}, {kPalette, 8, true},
        {kGreyAlpha, 8, false}, {kGreyAlpha, 16, false}, {kRgba, 8, false},    {kRgba, 16, false},
    };
    // Small interlaced pictures leave some of the seven passes empty.
    constexpr std::tuple<uint32_t, uint32_t, bool> kSizes[] = {
        {17, 13, false}, {17, 13, true}, {1, 1, true}, {2, 9, true}, {9, 2, true}};
    ScratchFolder folder;
    uint32_t seed = 0;
    for (const Kind& kind : kKinds) {
        for (const auto& [width, height, interlaced] : kSizes) {
            const PngPicture picture = MakePicture(kind, width, height, interlaced, ++seed);
            WriteWholeFile(folder / "in.png", EncodePng(picture));
            for (Background background : {Background::NearWhite, Background::NearBlack}) {
                SCOPED_TRACE(::testing::Message()
                             << "picture " << seed << " on " << int(background));
                WorkingImage image;
                const Result result = LoadPicture(folder / "in.png", image, {background});
                ASSERT_TRUE(result.Ok()) << Describe(result);
                const auto stride = std::size_t(RowStride(int32_t(width), 24));
                Bytes expected(stride * height, 0);  // bottom row first, as loaded
                for (std::size_t i = 0; i < std::size_t(width) * height; ++i) {
                    const std::size_t row = height - 1 - i / width;
                    std::memcpy(&expected[row * stride + 3 * (i % width)],
                                Expected(picture, i, background).data(), 3);
                }
                EXPECT_EQ(Bytes(image.pixels, image.pixels + expected.size()), expected);
                ReleasePictureBuffers(image);
            }
        }
    }
}

// A synthetic photo as photo.bmp, and its pixels as photo.png; returns the samples of
// its mask as a 1-bit PNG, from the reference mask of the BMP.
std::vector<uint16_t> WritePhotos(const ScratchFolder& folder, uint32_t width, uint32_t height,
                                  Background bg) {
    BmpBuilder bmp = ValidPicture(int32_t(width), int32_t(height), 24);
    bmp.pixels = SyntheticPhotoRows(int32_t(width), int32_t(height), bg);
    WriteWholeFile(folder / "photo.bmp", bmp.Build());
    const Bytes reference = ReferenceMask(folder / "photo.bmp", bg);
    PngPicture png{width, height, kRgb};
    std::vector<uint16_t> mask;
    for (std::size_t y = height; y-- > 0;) {  // BMP rows are bottom-up
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t at = y * std::size_t(RowStride(int32_t(width), 24)) + 3 * x;
            png.samples.insert(png.samples.end(),
                               {bmp.pixels[at + 2], bmp.pixels[at + 1], bmp.pixels[at]});
            mask.push_back(reference[54 + at] == 255);
        }
    }
    WriteWholeFile(folder / "photo.png", EncodePng(png));
    return mask;
}

TEST(Png, MasksOfBmpAndPngPicturesAreOneBitPngs) {
    ScratchFolder folder;
    for (auto [width, height] : {std::pair{301u, 7u}, {640u, 480u}}) {
        for (Background bg : {Background::NearWhite, Background::NearBlack}) {
            const std::vector<uint16_t> expected = WritePhotos(folder, width, height, bg);
            for (const char* source : {"photo.bmp", "photo.png"}) {
                SCOPED_TRACE(::testing::Message() << source << " " << width << " on " << int(bg));
                std::vector<uint8_t> buffer;
                const Result result = MaskFile(folder / source, folder / "mask.png",
                                               {bg, PictureFormat::Png}, buffer);
                ASSERT_TRUE(result.Ok()) << Describe(result);
                const PngPicture mask = DecodePng(ReadWholeFile(folder / "mask.png"));
                EXPECT_EQ(std::tuple(mask.width, mask.height, mask.colour, mask.bitDepth,
                                     mask.interlaced),
                          std::tuple(width, height, kGrey, 1, false));
                EXPECT_EQ(mask.samples, expected);
            }
        }
    }
}

TEST(Png, DashWritesTheMaskToStandardOutput) {
    ScratchFolder folder;
    const std::vector<uint16_t> expected = WritePhotos(folder, 99, 60, Background::NearWhite);
    EXPECT_TRUE(InChild([&] {
        const int out = open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<uint8_t> buffer;
        return dup2(out, STDOUT_FILENO) == STDOUT_FILENO &&
               MaskFile(folder / "photo.png", "-", {.format = PictureFormat::Png}, buffer).Ok();
    }));
    EXPECT_EQ(DecodePng(ReadWholeFile(folder / "out")).samples, expected);
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"out", "photo.bmp", "photo.png"}));
}

TEST(Png, AWriteFailureLeavesNothing) {
    ScratchFolder folder;  // random pixels, black or white: a 60 KB mask
    WriteWholeFile(folder / "noise.png",
                   EncodePng(MakePicture({kGrey, 1, false}, 800, 600, false, 1)));
    WriteWholeFile(folder / "mask.png", {'o', 'l', 'd'});
    EXPECT_TRUE(InChild([&] {
        CleanUpOnFatalSignals();  // past the limit, writes fail instead of killing
        LimitFileSize(16 << 10);
        std::vector<uint8_t> buffer;
        const Result result = MaskFile(folder / "noise.png", folder / "mask.png",
                                       {.format = PictureFormat::Png}, buffer);
        return Describe(result) == "cannot write file (File too large)";
    }));
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"mask.png", "noise.png"}));
    EXPECT_EQ(ReadWholeFile(folder / "mask.png"), (Bytes{'o', 'l', 'd'}));
}

TEST(Png, DamagedAndHostileFilesAreRefusedWithNothingWritten) {
    const PngPicture picture = MakePicture({kPalette, 8, true}, 17, 13, false, 7);
    const Bytes good = EncodePng(picture);
    PngPicture shortPalette = picture;
    shortPalette.palette.resize(3 * 200);
    std::vector<std::tuple<std::string, Bytes, Status>> cases = {
        {"too wide to be read", ClaimSize(good, 100000, 100000), Status::TooManyPixels},
        {"a decompression bomb", ClaimSize(good, 60000, 60000), Status::TooManyPixels},
        {"indices past the palette", EncodePng(shortPalette), Status::DamagedPicture},
        {"text named .png", {'h', 'e', 'l', 'l', 'o', '\n'}, Status::UnknownFormat},
    };
    // A byte of pixel data flipped, or of a checksum (the one over the pixels shows only
    // once every row is read).
    for (auto [type, data] :
         {std::pair{"IDAT", true}, {"IDAT", false}, {"tRNS", false}, {"IEND", false}}) {
        const auto at =
            std::size_t(std::search(good.begin(), good.end(), type, type + 4) - good.begin());
        const std::size_t length = std::size_t(good[at - 2] << 8 | good[at - 1]);
        Bytes damaged = good;
        damaged[at + 4 + (data ? length / 2 : length)] ^= 1;
        cases.emplace_back(std::string(type) + (data ? " data" : " checksum"), damaged,
                           Status::DamagedPicture);
    }
    for (std::size_t cut = 0; cut < good.size();
         cut += cut < 40 || cut + 20 > good.size() ? 1 : 5) {
        cases.emplace_back("cut at " + std::to_string(cut), Bytes(good.begin(), good.begin() + cut),
                           cut < 8 ? Status::UnknownFormat : Status::DamagedPicture);
    }
    ScratchFolder folder;
    for (const auto& [name, file, status] : cases) {
        SCOPED_TRACE(name);
        WriteWholeFile(folder / "in.png", file);
        std::vector<uint8_t> buffer;
        const Result streamed =
            MaskFile(folder / "in.png", folder / "out.png", {.format = PictureFormat::Png}, buffer);
        EXPECT_EQ(streamed.status, status) << Describe(streamed);
        WorkingImage image;
        EXPECT_EQ(LoadPicture(folder / "in.png", image).status, status);
        EXPECT_EQ(image.pixels, nullptr);
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{"in.png"});
        std::filesystem::remove(folder / "out.png");  // so that one failure does not hide others
    }
}

}  // namespace
}  // namespace zel7
