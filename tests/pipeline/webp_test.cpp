// WebP files read as libwebp itself decodes them, by every path, their EXIF orientation
// applied; damaged and hostile files refused by every path with nothing written; cut-outs
// and soft masks written as WebP, read back by libwebp, and what WebP sinks refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "encoders.h"
#include "engine/mask_file.h"
#include "engine/options.h"
#include "engine/pixel_arrays.h"
#include "formats/picture_files.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// Random pixels, with alphas 0, 1, 254 and 255 among random ones when there is alpha.
Bytes Pixels(int width, int height, int channels, uint32_t seed) {
    Bytes pixels = RandomBytes(std::size_t(width * height * channels), seed);
    for (std::size_t i = 3; channels == 4 && i < pixels.size(); i += 8) {
        pixels[i] = std::array<uint8_t, 4>{0, 1, 254, 255}[i / 8 % 4];
    }
    return pixels;
}

// What the program must make of a file: libwebp's own decoding, composited over background.
BmpBuilder Expected(const Bytes& webp, Background background) {
    const WebpPicture decoded = DecodeWebp(webp);
    return Picture(decoded.width, decoded.height, [&](std::size_t i, uint8_t* bgr) {
        const uint8_t* rgba = &decoded.rgba[4 * i];
        for (int c = 0; c < 3; ++c) {
            bgr[c] = Composite(rgba[2 - c], rgba[3], BackgroundLevel(background));
        }
    });
}

TEST(Webp, ReadsAsTheLibraryDecodes) {
    constexpr struct {
        int channels;
        bool lossless;
        int width, height;
        Background background;
    } kCases[] = {
        {3, false, 37, 21, Background::NearWhite},
        {4, false, 40, 30, Background::NearBlack},
        {3, true, 33, 17, Background::NearBlack},
        {4, true, 29, 31, Background::NearWhite},
        // Fed in several pieces, read in many slices; the second, bright, has its decoded
        // rows, 4.4 MB, given back to the system as they are read.
        {3, true, 1001, 400, Background::NearBlack},
        {4, false, 1100, 1000, Background::NearWhite},
    };
    ScratchFolder folder;
    for (const auto& [channels, lossless, width, height, background] : kCases) {
        SCOPED_TRACE(std::to_string(channels) + " channels, " +
                     (lossless ? "lossless " : "lossy ") + std::to_string(width) + " x " +
                     std::to_string(height));
        Bytes pixels = Pixels(width, height, channels, uint32_t(width));
        for (uint8_t& sample : pixels) {
            sample |= width == 1100 ? 0xF0 : 0;  // labelled fast
        }
        const Bytes webp =
            EncodeWebp(width, height, channels, pixels, {.lossless = lossless, .quality = 90});
        EXPECT_EQ(CheckDecodes(webp, Expected(webp, background), background, folder.Path()),
                  std::nullopt);
    }
}

// The EXIF chunk's orientation, in either byte order, with or without the "Exif" header
// JPEG's segment has; none, or a damaged one, is 1. The mask of a 3 x 2 picture is turned
// by it.
TEST(Webp, TheExifChunkTurnsThePicture) {
    std::vector<std::pair<Bytes, int>> chunks = {{{}, 1}};
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const Bytes exif = ExifOrientation(orientation, orientation % 2 == 0);
        chunks.emplace_back(exif, orientation);
        chunks.emplace_back(Bytes(exif.begin() + 6, exif.end()), orientation);
    }
    Bytes cut = ExifOrientation(6);
    cut.resize(25);
    chunks.emplace_back(cut, 1);
    ScratchFolder folder;
    std::vector<uint8_t> buffer;
    for (const auto& [exif, orientation] : chunks) {
        SCOPED_TRACE("orientation " + std::to_string(orientation) + ", " +
                     std::to_string(exif.size()) + " bytes of EXIF");
        const Bytes grey = {250, 250, 250, 250, 250, 250, 90, 90, 90,
                            90,  90,  90,  90,  90,  90,  90, 90, 90};
        WriteWholeFile(folder / "turned.webp",
                       EncodeWebp(3, 2, 3, grey, {.lossless = true, .exif = exif}));
        std::unique_ptr<RowSource> source;
        ASSERT_TRUE(OpenPictureSource(folder / "turned.webp", {}, source).Ok());
        EXPECT_EQ(source->Orientation(), orientation);
        ASSERT_TRUE(MaskFile(folder / "turned.webp", folder / "mask.png",
                             {.format = PictureFormat::Png}, buffer)
                        .Ok());
        EXPECT_EQ(DecodePng(ReadWholeFile(folder / "mask.png")).width, orientation < 5 ? 3u : 2u);
    }
}

// Bytes of a file, little-endian as RIFF stores them.
void Put(Bytes& file, std::size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        file[at + std::size_t(i)] = uint8_t(value >> (8 * i));
    }
}

// A lossless file of 8 x 8 random pixels whose header claims width x height (its pixels
// then fall short).
Bytes ClaimingLossless(uint32_t width, uint32_t height) {
    Bytes file = EncodeWebp(8, 8, 4, RandomBytes(8 * 8 * 4, 11), {.lossless = true});
    // After "VP8L", its size and the signature byte: 14 bits each of width and height less
    // one, then whether there is alpha.
    Put(file, 21, (width - 1) | (height - 1) << 14 | 1u << 28, 4);
    return file;
}

TEST(Webp, DamagedAndHostileFilesAreRefusedByEveryPath) {
    const Bytes pixels = Pixels(24, 20, 4, 3);
    const Bytes lossless =
        EncodeWebp(24, 20, 4, pixels, {.lossless = true, .exif = ExifOrientation(6)});
    const Bytes lossy = EncodeWebp(24, 20, 4, pixels, {.quality = 80});
    Bytes lyingCanvas = lossless, longerThanTheFile = lossy, animated = lossless;
    Put(lyingCanvas, 24, 30 - 1, 3);  // the extended header's canvas width, less one
    animated[20] |= 2;                // and its flag for animations
    Put(longerThanTheFile, 4, uint32_t(lossy.size()), 4);
    Refusals cases = {
        {lyingCanvas, "damaged picture: WebP bitstream error"},
        {longerThanTheFile, "damaged picture: the WebP file ends before its pixels do"},
        {ClaimingLossless(16384, 16384), "picture too large: 268435456 pixels; the limit is"},
        {ClaimingLossless(12000, 12000),
         "picture too large: a WebP of this size needs 1099 MiB to decode, more than the 512 MiB"},
        {ClaimingLossless(100, 100), "damaged picture: "},
        {animated, "unsupported picture: animated WebP"},
    };
    // Cut anywhere: in the headers, the pixels, or the EXIF chunk after them.
    for (const Bytes* whole : {&lossless, &lossy}) {
        for (std::size_t cut = 0; cut < whole->size(); cut += cut < 40 ? 1 : 7) {
            cases.emplace_back(Bytes(whole->begin(), whole->begin() + long(cut)),
                               cut < 12 ? "not a picture zel7 reads" : "damaged picture: ");
        }
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

// What a WebP sink refuses before it takes any memory or makes any file: two-tone masks,
// rows of the wrong depth, sides past WebP's, pictures past the memory a picture may take.
TEST(Webp, SinksRefuseWhatWebpCannotHoldOrMemoryBounds) {
    // Width, height, content, and what the sink says.
    constexpr std::tuple<int32_t, int32_t, PngContent, Status> kCases[] = {
        {8, 8, PngContent::TwoTone, Status::InvalidOptions},
        {16384, 2, PngContent::Rgba, Status::TooManyPixels},
        {6000, 5300, PngContent::Rgba, Status::TooManyPixels},  // 540 MiB
        {6000, 5200, PngContent::Rgba, Status::Ok},
        {16383, 2, PngContent::Grey, Status::Ok},
    };
    ScratchFolder folder;
    for (const auto& [width, height, content, status] : kCases) {
        const int32_t bits = content == PngContent::Rgba ? 32 : 24;
        std::unique_ptr<RowSink> sink;
        EXPECT_EQ(CreatePictureSink(folder / "out.webp", PictureFormat::Webp,
                                    {width, height, bits, RowStride(width, bits), 0}, nullptr, sink,
                                    {.content = content})
                      .status,
                  status)
            << width << " x " << height;
        sink.reset();  // uncommitted: leaves nothing
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{});
    }
}

// A picture's cut-out and soft mask written as WebP by the program, read back by libwebp,
// are what the library makes of the same pixels in memory: exactly when lossless; lossy,
// alpha exactly and colours within tolerance (but under alpha 0, which the encoder may
// change), worst and on average.
TEST(Webp, CutOutsAndSoftMasksReadBackAsMade) {
    constexpr int kWidth = 61, kHeight = 45;  // bands of rows converted, and a last odd one
    PngPicture photo{.width = kWidth, .height = kHeight, .colour = kRgb, .bitDepth = 8};
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int dx = i % kWidth - kWidth / 2, dy = i / kWidth - kHeight / 2;
        const bool inside = dx * dx + dy * dy < 15 * 15;
        photo.samples.insert(photo.samples.end(), {uint16_t(inside ? 200 : 250),
                                                   uint16_t(inside ? 40 + i % kWidth : 250),
                                                   uint16_t(inside ? 30 : 251)});
    }
    const Bytes samples(photo.samples.begin(), photo.samples.end());
    ScratchFolder folder;
    WriteWholeFile(folder / "photo.png", EncodePng(photo));
    std::vector<uint8_t> buffer;
    const struct {
        Product product;
        SinkOptions encoding;
        int worst;
        double mean;
    } kCases[] = {{Product::Cutout, {.lossless = true}, 0, 0},
                  {Product::Cutout, {}, 40, 3.5},
                  {Product::Cutout, {.quality = 20}, 64, 6},
                  {Product::SoftMask, {.lossless = true}, 0, 0},
                  {Product::SoftMask, {}, 14, 1}};
    for (const auto& [product, encoding, worst, mean] : kCases) {
        SCOPED_TRACE(std::to_string(int(product)) + ", quality " +
                     std::to_string(encoding.quality) + (encoding.lossless ? ", lossless" : ""));
        MaskOptions options{.format = PictureFormat::Webp,
                            .quality = encoding.quality,
                            .lossless = encoding.lossless};
        options.refine = {
            .autoBackground = true, .regions = {.connected = true}, .product = product};
        ASSERT_TRUE(MaskFile(folder / "photo.png", folder / "out.webp", options, buffer).Ok());
        const int channels = OutputChannels(options.refine);
        Bytes made(std::size_t(kWidth * kHeight * channels));
        const PixelArray array{samples.data(), kWidth, kHeight, 3, 1, 3 * kWidth, 3, 1};
        ASSERT_TRUE(MaskArray(array, options.background, options.refine, made.data()).Ok());
        const WebpPicture back = DecodeWebp(ReadWholeFile(folder / "out.webp"));
        int far = 0, alphaWrong = 0;
        double sum = 0, count = 0;
        for (std::size_t i = 0; i < made.size(); ++i) {
            const std::size_t pixel = i / std::size_t(channels), c = i % std::size_t(channels);
            const int error = std::abs(back.rgba[pixel * 4 + c] - made[i]);
            if (c == 3) {
                alphaWrong += error != 0;
            } else if (channels == 1 || made[pixel * 4 + 3] > 0 || encoding.lossless) {
                far = std::max(far, error), sum += error, ++count;
            }
        }
        EXPECT_EQ(alphaWrong, 0);
        EXPECT_LE(far, worst);
        EXPECT_LE(sum / count, mean);
    }
}

// Standard output takes a cut-out as PNG unless --format says WebP; a batch names its
// WebPs so.
TEST(Webp, StandardOutputAndBatchesTakeWebpWhenAsked) {
    for (const bool asked : {false, true}) {
        MaskSettings settings{.side = Background::NearWhite};
        settings.refine.product = Product::Cutout;
        settings.format = asked ? std::optional(PictureFormat::Webp) : std::nullopt;
        BatchJob job;
        ASSERT_TRUE(PlanOne(settings, "p.jpg", "-", Spelling::CommandLine, job).Ok());
        EXPECT_EQ(job.format, asked ? PictureFormat::Webp : PictureFormat::Png);
    }
    const BatchPlan plan = PlanBatch({"a/p.jpg", "q.bmp"}, {"o", "-m", PictureFormat::Webp, true});
    EXPECT_EQ(plan.written, (std::vector<std::string>{"o/p-m.webp", "o/q-m.webp"}));
}

}  // namespace
}  // namespace zel7
