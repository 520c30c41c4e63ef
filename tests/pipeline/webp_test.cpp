// WebP files read as libwebp itself decodes them, by every path, their EXIF orientation
// found; damaged and hostile files refused by every path with nothing written; cut-outs
// and soft masks written as WebP, read back by libwebp, and what WebP sinks refuse.
#include <gtest/gtest.h>
#include <webp/decode.h>

#include <cstdlib>

#include "encoders.h"
#include "engine/options.h"
#include "formats/picture_files.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// A WebP file as libwebp's one-call decoder makes it: RGBA at 8 bits, as DecodePng makes a
// cut-out.
PngPicture DecodeWebp(const Bytes& file) {
    int width = 0, height = 0;
    const std::unique_ptr<uint8_t, decltype(&WebPFree)> rgba(
        WebPDecodeRGBA(file.data(), file.size(), &width, &height), WebPFree);
    const uint8_t *begin = rgba.get(), *end = begin + 4 * std::size_t(width) * std::size_t(height);
    return {uint32_t(width), uint32_t(height), kRgba, 8, false, {begin, rgba ? end : begin}};
}

// Random pixels, every alpha among them, read as libwebp's own decoding of them composited
// over the background: lossy and lossless, with alpha and without.
TEST(Webp, ReadsAsTheLibraryDecodes) {
    // A flat backdrop with a box, a few bytes a row: fed in pieces of a few hundred bytes,
    // sized by the rows each brought.
    Bytes flat(1600 * 1200 * 3, 250);
    for (std::size_t i = 0; i < flat.size(); i += 3) {
        if (const std::size_t x = i / 3 % 1600, y = i / 3 / 1600; x > 400 && y > 300 && y < 900) {
            flat[i] = 180, flat[i + 1] = 40, flat[i + 2] = 50;
        }
    }
    // Channels, lossless, width, height, background, and the pixels, random if none.
    const std::tuple<int, bool, int, int, Background, const Bytes*> kCases[] = {
        // Fed in several pieces, read in many slices; the second has its decoded rows,
        // 4.4 MB, given back to the system as they are read. The first's rows are padded.
        {3, true, 1001, 400, Background::NearBlack, nullptr},
        {4, false, 1100, 1000, Background::NearWhite, nullptr},
        {3, false, 1600, 1200, Background::NearWhite, &flat},
    };
    for (const auto& [channels, lossless, width, height, background, pixels] : kCases) {
        const Bytes webp =
            EncodeWebp(width, height, channels,
                       pixels ? *pixels : RandomBytes(std::size_t(width * height * channels), 5),
                       {.lossless = lossless, .quality = 90});
        const PngPicture rgba = DecodeWebp(webp);
        const BmpBuilder expected = Picture(width, height, [&](std::size_t i, uint8_t* bgr) {
            for (std::size_t c = 0; c < 3; ++c) {
                bgr[c] = Composite(uint8_t(rgba.samples[4 * i + 2 - c]),
                                   uint8_t(rgba.samples[4 * i + 3]), BackgroundLevel(background));
            }
        });
        EXPECT_EQ(CheckDecodes(webp, expected, background), std::nullopt) << width;
    }
}

// A lossless file of 8 x 8 pixels whose header claims width x height (its pixels then fall
// short): after "VP8L", its size and the signature byte, 14 bits each of width and height
// less one, then whether there is alpha, little-endian.
Bytes ClaimingLossless(uint32_t width, uint32_t height) {
    Bytes file = EncodeWebp(8, 8, 4, RandomBytes(8 * 8 * 4, 11), {.lossless = true});
    for (std::size_t i = 0; i < 4; ++i) {
        file[21 + i] = uint8_t(((width - 1) | (height - 1) << 14 | 1u << 28) >> (8 * i));
    }
    return file;
}

// The file's own length and the sizes of its chunks are checked before its pixels
// are decoded: a file cut anywhere, in the headers, the pixels or the EXIF chunk after
// them, says so.
TEST(Webp, DamagedAndHostileFilesAreRefusedByEveryPath) {
    const Bytes whole = EncodeWebp(24, 20, 4, RandomBytes(24 * 20 * 4, 3),
                                   {.lossless = true, .exif = ExifOrientation(6)});
    Bytes lyingCanvas = whole, animated = whole;
    lyingCanvas[24] = 30 - 1;  // the extended header's canvas width (24), less one
    animated[20] |= 2;         // and its flag for animations
    Refusals cases = {
        {lyingCanvas, "damaged picture: WebP bitstream error"},
        {ClaimingLossless(12000, 12000),
         "picture too large: a WebP of this size needs 1099 MiB to decode, more than the 512 MiB"},
        {ClaimingLossless(100, 100), "damaged picture: WebP bitstream error"},
        {animated, "unsupported picture: animated WebP"},
        // The decoder holds what comes before the pixels whole.
        {EncodeWebp(4, 4, 3, Bytes(48, 9), {.icc = Bytes(9 << 20, 'x')}),
         "unsupported picture: WebP with more than 8 MiB of metadata before its pixels"},
    };
    for (std::size_t cut = 0; cut < whole.size(); cut += cut < 40 ? 1 : 7) {
        cases.emplace_back(Bytes(whole.begin(), whole.begin() + long(cut)),
                           cut < 12 ? "not a picture zel7 reads" : "damaged picture: the WebP");
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

// What a WebP sink refuses before it takes any memory: two-tone masks, sides past WebP's,
// pictures past the memory a picture may take. (That a sink left uncommitted leaves no
// file is destination_test's.)
TEST(Webp, SinksRefuseWhatWebpCannotHoldOrMemoryBounds) {
    // Width, height, bits a pixel, content, and what the sink says.
    constexpr std::tuple<int32_t, int32_t, int32_t, PngContent, Status> kCases[] = {
        {8, 8, 24, PngContent::TwoTone, Status::InvalidOptions},
        {16384, 2, 32, PngContent::Rgba, Status::TooManyPixels},
        {6000, 5300, 32, PngContent::Rgba, Status::TooManyPixels},  // 540 MiB
        {6000, 5200, 32, PngContent::Rgba, Status::Ok},
        {16383, 2, 24, PngContent::Grey, Status::Ok},
    };
    ScratchFolder folder;
    for (const auto& [width, height, bits, content, status] : kCases) {
        std::unique_ptr<RowSink> sink;
        const Result made = CreatePictureSink(folder / "out.webp", PictureFormat::Webp,
                                              {width, height, bits, RowStride(width, bits), 0},
                                              nullptr, sink, {.content = content});
        EXPECT_EQ(made.status, status) << width << " x " << height;
        EXPECT_TRUE(height != 5300 ||
                    Describe(made).find("needs some 515 MiB") != std::string::npos)
            << Describe(made);
    }
}

// A picture's cut-out and soft mask written as WebP by the program, read back by libwebp,
// are what the program writes as PNG: exactly when lossless (an inverted cut-out, whose
// object is transparent over its own colours, so that colours under alpha 0 count too);
// lossy, alpha exactly and, where alpha lets them show, colours within a bound. The
// picture is turned as its EXIF chunk says, with the "Exif" header JPEG's segment has or
// without; none is 1. (How the orientation is read from EXIF, and masks turned by it:
// engine_test's.)
TEST(Webp, CutOutsAndSoftMasksReadBackAsTheirPngsTurnedByExif) {
    constexpr int kWidth = 61, kHeight = 45;  // bands of rows converted, and a last odd one
    // Near white, across it a band of rows 12 to 34 of a gradient: the second band of rows
    // the sink converts lies within it.
    Bytes photo(std::size_t(kWidth * kHeight * 3), 250);
    for (int i = 12 * kWidth; i < 35 * kWidth; ++i) {
        photo[3 * i] = 200, photo[3 * i + 1] = uint8_t(40 + i % kWidth), photo[3 * i + 2] = 30;
    }
    const Bytes exif = ExifOrientation(8, true);
    // The options, the worst and the mean error of colours shown, the EXIF chunk.
    const std::tuple<std::string, int, double, Bytes> kCases[] = {
        {"auto-background cutout invert lossless", 0, 0, exif},
        {"auto-background cutout", 40, 3, {}},  // unturned: a band of rows with no transparency
        {"auto-background soft", 14, 0.5, Bytes(exif.begin() + 6, exif.end())}};
    ScratchFolder folder;
    for (const auto& [options, worst, mean, chunk] : kCases) {
        SCOPED_TRACE(options);
        const bool lossless = options.ends_with("lossless");
        WriteWholeFile(folder / "photo.webp",
                       EncodeWebp(kWidth, kHeight, 3, photo, {.lossless = true, .exif = chunk}));
        for (const char* out : {"out.png", "out.webp"}) {
            ASSERT_TRUE(MaskAs(options, folder / "photo.webp", folder / out).Ok()) << out;
        }
        const PngPicture made = DecodePng(ReadWholeFile(folder / "out.png")),
                         back = DecodeWebp(ReadWholeFile(folder / "out.webp"));
        EXPECT_EQ(back.width, chunk.empty() ? kWidth : kHeight) << chunk.size() << " bytes of EXIF";
        const std::size_t channels = made.samples.size() / (kWidth * kHeight);
        int wrong = 0;              // samples past their bound
        double sum = 0, count = 0;  // the errors of colours shown, and how many
        for (std::size_t i = 0; i < made.samples.size(); ++i) {
            const std::size_t pixel = i / channels, c = i % channels;
            const bool shown = c < 3 && (channels == 1 || made.samples[pixel * 4 + 3] || lossless);
            const int error = std::abs(back.samples[pixel * 4 + c] - made.samples[i]);
            wrong += error > (c == 3 ? 0 : shown ? worst : 255);  // alpha exact
            sum += shown ? error : 0, count += shown;
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_LE(sum / count, mean);
    }
}

// Standard output takes a cut-out as PNG unless --format says WebP; a batch names its
// WebPs so.
TEST(Webp, StandardOutputAndBatchesTakeWebpWhenAsked) {
    for (const auto& [options, format] : {std::pair{"white cutout", PictureFormat::Png},
                                          {"white cutout format=webp", PictureFormat::Webp}}) {
        BatchJob job;
        ASSERT_TRUE(PlanOne(Settings(options), "p.jpg", "-", Spelling::CommandLine, job).Ok());
        EXPECT_EQ(job.format, format) << options;
    }
    const BatchPlan plan = PlanBatch(
        {"a/p.jpg", "q.bmp"}, Settings("white cutout format=webp out-dir=o suffix=-m").Naming());
    EXPECT_EQ(plan.written, (std::vector<std::string>{"o/p-m.webp", "o/q-m.webp"}));
}

}  // namespace
}  // namespace zel7
