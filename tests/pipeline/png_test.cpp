// PNG pictures of every kind read by the rules of decoded_rows.h and masked by every path,
// masks and cut-outs written as PNGs read back as written, and damaged or hostile files refused
// with nothing written.
#include <gtest/gtest.h>
#include <spng.h>
#include <zlib.h>

#include "encoders.h"
#include "formats/decoded_rows.h"
#include "formats/picture_files.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

void Put32(Bytes& file, std::size_t at, uint32_t value) {  // big-endian, as PNG stores it
    for (int i = 0; i < 4; ++i) {
        file[at + std::size_t(i)] = uint8_t(value >> (24 - 8 * i));
    }
}

// Makes the checksum of the chunk whose type is at byte `type` match its contents: the
// CRC covers the type and the data, whose length the 4 bytes before give.
void Rechecksum(Bytes& file, std::size_t type) {
    const std::size_t end = type + 4 +
                            (std::size_t(file[type - 4]) << 24 | file[type - 3] << 16 |
                             file[type - 2] << 8 | file[type - 1]);
    Put32(file, end, uint32_t(crc32(0, &file[type], uInt(end - type))));
}

// The file with its header claiming another size, its checksum made to match.
Bytes ClaimSize(Bytes file, uint32_t width, uint32_t height) {
    Put32(file, 16, width), Put32(file, 20, height);  // IHDR's first fields
    Rechecksum(file, 12);
    return file;
}

// Random samples and palette, and with tRNS: alphas 0, 1 and 254 for the first palette
// entries, which the first pixels are made to use, the rest left opaque; or as the grey or
// RGB key the first pixel's samples, with junk above the depth for the reader to drop,
// beside pixels one bit off it in each channel.
PngPicture MakePicture(uint8_t colour, uint8_t depth, bool keyed, uint32_t width, uint32_t height,
                       bool interlaced) {
    PngPicture p{width, height, colour, depth, interlaced};
    const auto channels = std::size_t(p.Channels());
    const Bytes noise = RandomBytes(2 * std::size_t(width) * height * channels, width + depth);
    for (std::size_t i = 0; i < noise.size(); i += 2) {
        p.samples.push_back(uint16_t((noise[i] << 8 | noise[i + 1]) >> (16 - depth)));
    }
    if (colour == kPalette) {
        p.palette = RandomBytes(std::size_t(3) << depth, depth);
    }
    uint16_t* s = p.samples.data();  // channel c of pixel i at s[i * channels + c]
    if (!keyed || width * height < 4) {
        return p;  // too small to hold the values above
    }
    for (uint16_t i = 0; colour == kPalette && i < 3 && i < 1u << depth; ++i) {
        s[i] = i;
        p.transparency.push_back(i < 2 ? i : 254);
    }
    if (colour != kPalette) {
        p.transparency.assign(s, s + channels);
        for (uint16_t& key : p.transparency) {
            key = uint16_t(key | 0xFFFF << depth);
        }
        for (std::size_t c = 0; c < channels; ++c) {
            std::copy(s, s + channels, s + (1 + c) * channels);
            s[(1 + c) * channels + c] ^= 1;
        }
    }
    return p;
}

// The file as the library decodes it to 16-bit red, green, blue and alpha (palette entries'
// alphas applied), and the rules: the top byte, composited over background. A tRNS colour
// counts by its low bit-depth bits only (the PNG standard has decoders mask the rest, which
// the library does not), and by all 16 of them in 16-bit pictures.
BmpBuilder Expected(const PngPicture& p, const Bytes& png, Background background) {
    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0), spng_ctx_free);
    std::size_t size = 0, keys = p.colour == kPalette ? 0 : p.transparency.size();
    spng_set_png_buffer(ctx.get(), png.data(), png.size());
    spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA16, &size);
    std::vector<uint16_t> rgba(size / 2);
    spng_decode_image(ctx.get(), rgba.data(), size, SPNG_FMT_RGBA16, keys ? 0 : SPNG_DECODE_TRNS);
    return Picture(int32_t(p.width), int32_t(p.height), [&](std::size_t i, uint8_t* bgr) {
        bool keyed = keys > 0;
        for (std::size_t c = 0; c < keys; ++c) {
            keyed &= p.samples[i * keys + c] == (p.transparency[c] & ((1u << p.bitDepth) - 1));
        }
        for (int c = 0; c < 3; ++c) {
            bgr[2 - c] =
                Composite(uint8_t(rgba[4 * i + std::size_t(c)] >> 8),
                          keyed ? 0 : uint8_t(rgba[4 * i + 3] >> 8), BackgroundLevel(background));
        }
    });
}

TEST(Png, EveryKindOfPictureReadsByTheRules) {
    constexpr std::tuple<uint8_t, uint8_t, bool> kKinds[] = {
        {kGrey, 1, true},       {kGrey, 2, true},        {kGrey, 4, false},    {kGrey, 8, true},
        {kGrey, 16, true},      {kRgb, 8, false},        {kRgb, 8, true},      {kRgb, 16, true},
        {kPalette, 1, false},   {kPalette, 2, true},     {kPalette, 4, false}, {kPalette, 8, true},
        {kGreyAlpha, 8, false}, {kGreyAlpha, 16, false}, {kRgba, 8, false},    {kRgba, 16, false},
    };
    // Small interlaced pictures leave some of the seven passes empty (a 1 x 1 one, too small
    // for a tRNS, shows the kinds without one). Each kind goes on both backgrounds.
    constexpr std::tuple<uint32_t, uint32_t, bool> kSizes[] = {
        {17, 13, false}, {17, 13, true}, {1, 1, true}, {2, 9, true}, {9, 2, true}};
    for (const auto& [colour, depth, keyed] : kKinds) {
        for (const auto& [width, height, interlaced] : kSizes) {
            const PngPicture p = MakePicture(colour, depth, keyed, width, height, interlaced);
            const Background background =
                interlaced ? Background::NearBlack : Background::NearWhite;
            const Bytes png = EncodePng(p);
            EXPECT_EQ(CheckDecodes(png, Expected(p, png, background), background), std::nullopt)
                << int(colour) << "/" << int(depth) << (keyed ? " tRNS " : " ") << width << "x"
                << height << (interlaced ? " interlaced" : "");
        }
    }
}

TEST(Png, DamagedAndHostileFilesAreRefusedByEveryPath) {
    PngPicture picture = MakePicture(kPalette, 8, true, 17, 13, false);
    const Bytes good = EncodePng(picture);
    // The palette made to end just before the highest index used.
    picture.palette.resize(3 * std::size_t(*std::ranges::max_element(picture.samples)));
    Refusals cases = {
        // 65535 a side is allowed (the pixels then run short), 65536 not.
        {ClaimSize(good, 65535, 1), "damaged picture: "},
        {ClaimSize(good, 1, 65535), "damaged picture: "},
        {ClaimSize(good, 65536, 1), "picture too large: 65536 x 1 pixels; at most 65535 a side"},
        {ClaimSize(good, 1, 65536), "picture too large: 1 x 65536 pixels; at most 65535 a side"},
        {EncodePng(picture), "damaged picture: "},
    };
    // An empty eXIf chunk, before the pixels and after (the library calls it past its limits).
    for (const char* before : {"IDAT", "IEND"}) {
        Bytes file = good;
        const auto at =
            std::size_t(std::search(file.begin(), file.end(), before, before + 4) - file.begin()) -
            4;
        const Bytes chunk = {0, 0, 0, 0, 'e', 'X', 'I', 'f', 0, 0, 0, 0};
        file.insert(file.begin() + long(at), chunk.begin(), chunk.end());
        Rechecksum(file, at + 4);
        cases.emplace_back(file, "damaged picture: an empty eXIf chunk");
    }
    // A byte flipped in the zlib checksum, which shows only once every row is read (the
    // chunk's checksum made to match), and in the checksums of the pixels', tRNS and end
    // chunks.
    const std::tuple<const char*, std::size_t, bool> kFlips[] = {
        {"IDAT", 1, true}, {"IDAT", 0, false}, {"tRNS", 0, false}, {"IEND", 0, false}};
    for (const auto& [type, fromEnd, rechecksum] : kFlips) {
        const auto at =
            std::size_t(std::search(good.begin(), good.end(), type, type + 4) - good.begin());
        Bytes damaged = good;
        damaged[at + 4 + std::size_t(good[at - 2] << 8 | good[at - 1]) - fromEnd] ^= 1;
        if (rechecksum) {
            Rechecksum(damaged, at);
        }
        cases.emplace_back(damaged, "damaged picture: ");
    }
    for (std::size_t cut = 0; cut < good.size();
         cut += cut < 40 || cut + 20 > good.size() ? 1 : 5) {
        cases.emplace_back(Bytes(good.begin(), good.begin() + long(cut)),
                           cut < 8 ? "not a picture zel7 reads" : "damaged picture: ");
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

// A picture is turned as the eXIf chunk before its pixels says, in either byte order, as
// browsers show it (it was masked as stored): the one background pixel of 3 x 2, at the
// first row's first column, is where the orientation takes that corner.
TEST(Png, PicturesAreTurnedAsTheirExifChunkSays) {
    const struct {
        int orientation;  // 0: no chunk
        bool bigEndian;
        uint32_t width, x, y;  // of the mask, and where the corner lands
    } kTurns[] = {
        {0, false, 3, 0, 0}, {3, false, 3, 2, 1}, {6, false, 2, 1, 0}, {8, true, 2, 0, 2}};
    const ScratchFolder folder;
    for (const auto& turn : kTurns) {
        SCOPED_TRACE(turn.orientation);
        PngPicture picture{.width = 3, .height = 2, .samples = std::vector<uint16_t>(18, 0)};
        std::fill_n(picture.samples.begin(), 3, 255);  // the corner white, the rest black
        if (turn.orientation != 0) {
            const Bytes segment = ExifOrientation(turn.orientation, turn.bigEndian);
            picture.exif.assign(segment.begin() + 6, segment.end());  // past "Exif\0\0"
        }
        WriteWholeFile(folder / "photo.png", EncodePng(picture));
        ASSERT_TRUE(MaskAs("white", folder / "photo.png", folder / "mask.png").Ok());
        const PngPicture mask = DecodePng(ReadWholeFile(folder / "mask.png"));
        ASSERT_EQ(mask.width, turn.width);
        for (uint32_t i = 0; i < mask.samples.size(); ++i) {
            EXPECT_EQ(mask.samples[i], i == turn.y * turn.width + turn.x ? 255 : 0) << i;
        }
    }
}

// Each content comes back as written, rows of an odd width, from noise that does not
// compress, so its deflated rows span several IDAT chunks; a row past the last is
// refused and leaves nothing behind. (Two-tone masks are CheckBothPaths's, which holds
// every picture's to its BMP mask.)
TEST(Png, WrittenPicturesReadBackAsWritten) {
    const ScratchFolder folder;
    constexpr int32_t kWidth = 301, kHeight = 901;
    constexpr char kIdat[] = "IDAT";
    const std::pair<PngContent, int32_t> kContents[] = {
        {PngContent::Grey, 24}, {PngContent::Rgb, 24}, {PngContent::Rgba, 32}};
    for (const auto& [content, bitCount] : kContents) {
        SCOPED_TRACE(int(content));
        const int32_t stride = (kWidth * bitCount / 8 + 3) / 4 * 4;
        const PictureShape shape{kWidth, kHeight, bitCount, stride, stride * kHeight};
        Bytes rows = RandomBytes(std::size_t(shape.pixelBytes), uint32_t(content) + 7);
        Bytes expected;
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                uint8_t* pixel = &rows[std::size_t(y * stride + x * bitCount / 8)];
                if (content == PngContent::Grey) {
                    pixel[1] = pixel[2] = pixel[0];  // masks are grey: equal bytes
                    expected.push_back(pixel[0]);
                } else {
                    expected.insert(expected.end(), pixel, pixel + 3);
                    expected.push_back(bitCount == 32 ? pixel[3] : 255);
                }
            }
        }
        std::unique_ptr<RowSink> sink;
        ASSERT_TRUE(CreatePictureSink(folder / "out.png", PictureFormat::Png, shape, nullptr, sink,
                                      {.content = content})
                        .Ok());
        const std::size_t first = std::size_t(stride) * 100;  // then the rest, in a second call
        ASSERT_TRUE(sink->Write(rows.data(), first).Ok());
        ASSERT_TRUE(sink->Write(rows.data() + first, rows.size() - first).Ok());
        ASSERT_TRUE(sink->Commit().Ok());
        const Bytes file = ReadWholeFile(folder / "out.png");
        const PngPicture read = DecodePng(file);
        EXPECT_EQ(read.bitDepth, 8);
        EXPECT_EQ(Bytes(read.samples.begin(), read.samples.end()), expected);
        const auto idat = std::search(file.begin(), file.end(), kIdat, kIdat + 4) + 4;
        EXPECT_NE(std::search(idat, file.end(), kIdat, kIdat + 4), file.end())
            << "noise spans more than one chunk";
    }
    std::unique_ptr<RowSink> sink;
    const PictureShape one{1, 1, 32, 4, 4};
    ASSERT_TRUE(CreatePictureSink(folder / "one.png", PictureFormat::Png, one, nullptr, sink,
                                  {.content = PngContent::Rgba})
                    .Ok());
    const Bytes twoRows(8, 0);
    EXPECT_EQ(sink->Write(twoRows.data(), twoRows.size()).status, Status::CannotWrite);
    EXPECT_FALSE(std::filesystem::exists(folder / "one.png"));
}

}  // namespace
}  // namespace zel7
