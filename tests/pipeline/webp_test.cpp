// WebP files read as libwebp itself decodes them, by every path, their EXIF orientation
// applied; damaged and hostile files refused by every path with nothing written; cut-outs
// and soft masks written as WebP and read back by libwebp.
#include <gtest/gtest.h>

#include <algorithm>
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

// Flat 16 x 16 patches of colour, light and dark, with alphas 0, 1, 254 and 255 among
// random ones when there is alpha.
Bytes Patches(int width, int height, int channels, uint32_t seed) {
    static constexpr uint8_t kColours[][3] = {{255, 255, 255}, {248, 246, 250}, {200, 40, 30},
                                              {20, 120, 220},  {5, 10, 8},      {128, 128, 128}};
    static constexpr uint8_t kAlphas[] = {0, 1, 254, 255};
    const Bytes noise = RandomBytes(std::size_t(width) * std::size_t(height), seed);
    Bytes pixels;
    for (int i = 0; i < width * height; ++i) {
        const uint8_t* colour = kColours[(i % width / 16 + i / width / 16 * 5) % 6];
        pixels.insert(pixels.end(), colour, colour + 3);
        if (channels == 4) {
            pixels.push_back(noise[std::size_t(i)] % 2 ? kAlphas[noise[std::size_t(i)] % 4]
                                                       : noise[std::size_t(i)]);
        }
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
        // Fed in many pieces, read in many slices; the second's decoded rows, 6 MB, are
        // given back to the system as they are read.
        {3, true, 1001, 300, Background::NearBlack},
        {4, false, 1100, 1000, Background::NearWhite},
    };
    ScratchFolder folder;
    for (const auto& [channels, lossless, width, height, background] : kCases) {
        SCOPED_TRACE(std::to_string(channels) + " channels, " +
                     (lossless ? "lossless " : "lossy ") + std::to_string(width) + " x " +
                     std::to_string(height));
        const Bytes webp =
            EncodeWebp(width, height, channels, Patches(width, height, channels, uint32_t(width)),
                       {.lossless = lossless, .quality = 90});
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
    const Bytes pixels = Patches(24, 20, 4, 3);
    const Bytes lossless =
        EncodeWebp(24, 20, 4, pixels, {.lossless = true, .exif = ExifOrientation(6)});
    const Bytes lossy = EncodeWebp(24, 20, 4, pixels, {.quality = 80});
    Bytes lyingCanvas = lossless, longerThanTheFile = lossy;
    Put(lyingCanvas, 24, 30 - 1, 3);  // the extended header's canvas width, less one
    Put(longerThanTheFile, 4, uint32_t(lossy.size()), 4);
    Refusals cases = {
        {lyingCanvas, "damaged picture: WebP bitstream error"},
        {longerThanTheFile, "damaged picture: the WebP file ends before its pixels do"},
        {ClaimingLossless(16384, 16384), "picture too large: 268435456 pixels; the limit is"},
        {ClaimingLossless(12000, 12000),
         "picture too large: a WebP of this size needs 1099 MiB to decode, more than the 512 MiB"},
        {ClaimingLossless(100, 100), "damaged picture: "},
        {EncodeWebp(24, 20, 4, pixels, {.frames = 2}), "unsupported picture: animated WebP"},
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

// How far lossy samples may come back from what was written: the worst, and on average.
struct Tolerance {
    int worst;
    double mean;
};

struct Errors {
    int worst = 0;
    double sum = 0;
    std::size_t count = 0;

    void Add(int got, int written) {
        worst = std::max(worst, std::abs(got - written));
        sum += std::abs(got - written);
        ++count;
    }
    // "" when within tolerance; else what was found.
    std::string Within(const Tolerance& tolerance) const {
        const double mean = count == 0 ? 0 : sum / double(count);
        return worst <= tolerance.worst && mean <= tolerance.mean
                   ? ""
                   : "worst " + std::to_string(worst) + ", mean " + std::to_string(mean);
    }
};

// Rows written to a WebP sink in pieces of any number of rows come back from libwebp as
// written: exactly when lossless, alpha exactly and colours within tolerance when lossy
// (where alpha is 0 the encoder may change the colours). Grey masks come back grey and
// opaque.
TEST(Webp, CutOutsAndSoftMasksComeBackAsWritten) {
    constexpr struct {
        PngContent content;
        Encoding encoding;
        int width, height, piece;  // rows written at a time
        Tolerance tolerance;
    } kCases[] = {
        {PngContent::Rgba, {}, 61, 47, 47, {16, 2.5}},
        {PngContent::Rgba, {.quality = 40}, 200, 150, 7, {24, 3.5}},
        {PngContent::Rgba, {.lossless = true}, 61, 47, 5, {0, 0}},
        {PngContent::Grey, {}, 64, 33, 33, {6, 1.5}},
        {PngContent::Grey, {.lossless = true}, 37, 50, 16, {0, 0}},
    };
    ScratchFolder folder;
    for (const auto& [content, encoding, width, height, piece, tolerance] : kCases) {
        const bool rgba = content == PngContent::Rgba;
        SCOPED_TRACE(std::string(rgba ? "cut-out " : "grey ") +
                     (encoding.lossless ? "lossless " : "lossy ") + std::to_string(width));
        const PictureShape shape{width, height, rgba ? 32 : 24, RowStride(width, rgba ? 32 : 24),
                                 RowStride(width, rgba ? 32 : 24) * height};
        // Gradients, and alpha in blocks of 0, 1, 128 and 255.
        Bytes rows(std::size_t(shape.pixelBytes), 0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                uint8_t* pixel = &rows[std::size_t(y * shape.rowStride + x * (rgba ? 4 : 3))];
                const auto level = uint8_t(255 * x / width);
                if (rgba) {
                    const uint8_t alphas[] = {0, 1, 128, 255};
                    pixel[3] = alphas[(x / 8 + y / 8) % 4];
                    pixel[0] = level;
                    pixel[1] = uint8_t(255 * y / height);
                    pixel[2] = 90;
                } else {
                    pixel[0] = pixel[1] = pixel[2] = level;
                }
            }
        }
        std::unique_ptr<RowSink> sink;
        ASSERT_TRUE(CreatePictureSink(folder / "out.webp", PictureFormat::Webp, shape, nullptr,
                                      sink, content, encoding)
                        .Ok());
        for (int y = 0; y < height; y += piece) {
            const auto stride = std::size_t(shape.rowStride);
            ASSERT_TRUE(sink->Write(&rows[std::size_t(y) * stride],
                                    std::size_t(std::min(piece, height - y)) * stride)
                            .Ok());
        }
        ASSERT_TRUE(sink->Commit().Ok());
        const WebpPicture back = DecodeWebp(ReadWholeFile(folder / "out.webp"));
        ASSERT_EQ(std::pair(back.width, back.height), std::pair(width, height));
        Errors errors;
        int alphaWrong = 0;
        for (std::size_t i = 0; i < std::size_t(width * height); ++i) {
            const std::size_t x = i % std::size_t(width), y = i / std::size_t(width);
            const uint8_t* written = &rows[y * std::size_t(shape.rowStride) + x * (rgba ? 4 : 3)];
            const uint8_t alpha = rgba ? written[3] : 255;
            alphaWrong += back.rgba[4 * i + 3] != alpha;
            for (std::size_t c = 0; c < 3 && (alpha > 0 || encoding.lossless); ++c) {
                errors.Add(back.rgba[4 * i + c], written[c]);
            }
        }
        EXPECT_EQ(alphaWrong, 0);
        EXPECT_EQ(errors.Within(tolerance), "");
    }
}

// What a WebP sink refuses before it takes any memory or makes any file: two-tone masks,
// rows of the wrong depth, sides past WebP's, pictures past the memory a picture may take.
TEST(Webp, SinksRefuseWhatWebpCannotHoldOrMemoryBounds) {
    const auto shape = [](int32_t width, int32_t height, int32_t bits) {
        return PictureShape{width, height, bits, RowStride(width, bits), 0};
    };
    const struct {
        PictureShape shape;
        PngContent content;
        Status status;
    } kCases[] = {
        {shape(8, 8, 24), PngContent::TwoTone, Status::InvalidOptions},
        {shape(8, 8, 24), PngContent::Rgba, Status::UnsupportedPicture},
        {shape(16384, 2, 32), PngContent::Rgba, Status::TooManyPixels},
        {shape(6000, 5300, 32), PngContent::Rgba, Status::TooManyPixels},  // 540 MiB
        {shape(6000, 5200, 32), PngContent::Rgba, Status::Ok},
        {shape(16383, 2, 24), PngContent::Grey, Status::Ok},
    };
    ScratchFolder folder;
    for (const auto& [shape, content, status] : kCases) {
        SCOPED_TRACE(std::to_string(shape.width) + " x " + std::to_string(shape.height));
        std::unique_ptr<RowSink> sink;
        EXPECT_EQ(CreatePictureSink(folder / "out.webp", PictureFormat::Webp, shape, nullptr, sink,
                                    content)
                      .status,
                  status);
        sink.reset();  // uncommitted: leaves nothing
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{});
    }
}

// Through the program: a picture's cut-out and soft mask written as WebP are what the
// library makes of the same pixels in memory, exactly when lossless.
TEST(Webp, MaskFileWritesWhatTheEngineMakes) {
    constexpr int kWidth = 60, kHeight = 44;
    PngPicture photo{.width = kWidth, .height = kHeight, .colour = kRgb, .bitDepth = 8};
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int dx = x - kWidth / 2, dy = y - kHeight / 2;
            const bool inside = dx * dx + dy * dy < 15 * 15;
            for (const int level : {inside ? 200 : 250, inside ? 40 + x : 250, inside ? 30 : 251}) {
                photo.samples.push_back(uint16_t(level));
            }
        }
    }
    const Bytes samples(photo.samples.begin(), photo.samples.end());
    ScratchFolder folder;
    WriteWholeFile(folder / "photo.png", EncodePng(photo));
    std::vector<uint8_t> buffer;
    constexpr struct {
        Product product;
        bool lossless;
        Tolerance tolerance;
    } kCases[] = {{Product::Cutout, true, {0, 0}},
                  {Product::Cutout, false, {40, 3.5}},
                  {Product::SoftMask, true, {0, 0}},
                  {Product::SoftMask, false, {14, 1}}};
    for (const auto& [product, lossless, tolerance] : kCases) {
        SCOPED_TRACE(std::string(product == Product::Cutout ? "cut-out " : "soft mask ") +
                     (lossless ? "lossless" : "lossy"));
        MaskOptions options{.format = PictureFormat::Webp};
        options.refine = {
            .autoBackground = true, .regions = {.connected = true}, .product = product};
        options.encoding.lossless = lossless;
        ASSERT_TRUE(MaskFile(folder / "photo.png", folder / "out.webp", options, buffer).Ok());
        const int channels = OutputChannels(options.refine);
        Bytes made(std::size_t(kWidth * kHeight * channels));
        const PixelArray array{samples.data(), kWidth, kHeight, 3, 1, 3 * kWidth, 3, 1};
        ASSERT_TRUE(MaskArray(array, options.background, options.refine, made.data()).Ok());
        const WebpPicture back = DecodeWebp(ReadWholeFile(folder / "out.webp"));
        Errors errors, alpha;
        for (std::size_t i = 0; i < made.size(); ++i) {
            const std::size_t pixel = i / std::size_t(channels), c = i % std::size_t(channels);
            if (c == 3) {
                alpha.Add(back.rgba[pixel * 4 + 3], made[i]);
            } else if (channels == 1 || made[pixel * 4 + 3] > 0 || lossless) {
                errors.Add(back.rgba[pixel * 4 + c], made[i]);
            }
        }
        EXPECT_EQ(errors.Within(tolerance), "");
        EXPECT_EQ(alpha.Within({0, 0}), "");
    }
}

// WebP chosen by the destination's name in any case, by --format even for standard output,
// and in a batch's names by --format alone.
TEST(Webp, ChosenByNameOrFormat) {
    const struct {
        std::vector<std::pair<const char*, const char*>> options;
        const char* destination;
        PictureFormat format;
    } kCases[] = {
        {{{"cutout", ""}}, "c.webp", PictureFormat::Webp},
        {{{"soft", ""}, {"lossless", ""}}, "s.WEBP", PictureFormat::Webp},
        {{{"cutout", ""}, {"format", "webp"}}, "-", PictureFormat::Webp},
        {{{"cutout", ""}, {"quality", "50"}, {"format", "webp"}}, "c.png", PictureFormat::Webp},
        {{{"cutout", ""}}, "-", PictureFormat::Png},
    };
    for (const auto& [options, destination, format] : kCases) {
        SCOPED_TRACE(destination);
        MaskSettings settings;
        ASSERT_TRUE(ApplyOption(*FindOption("white"), "", Spelling::CommandLine, settings).Ok());
        for (const auto& [name, argument] : options) {
            ASSERT_TRUE(
                ApplyOption(*FindOption(name), argument, Spelling::CommandLine, settings).Ok());
        }
        BatchJob job;
        ASSERT_TRUE(CheckSettings(settings, Spelling::CommandLine).Ok());
        ASSERT_TRUE(PlanOne(settings, "p.jpg", destination, Spelling::CommandLine, job).Ok());
        EXPECT_EQ(job.format, format);
    }
    const BatchPlan plan = PlanBatch({"a/p.jpg", "q.bmp"}, {"o", "-m", PictureFormat::Webp, true});
    ASSERT_EQ(plan.jobs.size(), 2u);
    for (const BatchJob& job : plan.jobs) {
        EXPECT_EQ(job.format, PictureFormat::Webp);
    }
    EXPECT_EQ(plan.written, (std::vector<std::string>{"o/p-m.webp", "o/q-m.webp"}));
}

}  // namespace
}  // namespace zel7
