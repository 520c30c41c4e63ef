// JPEG files read as the library itself decodes them, by every path, and damaged and
// hostile files refused by every path with nothing written (the EXIF orientation is in
// engine_test, where masks are turned).
#include <gtest/gtest.h>

#include <algorithm>

#include "encoders.h"
#include "engine/working_image.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// A random colour for each 8 x 8 block: the library decodes such flat blocks exactly at
// quality 100 where it takes no colours apart, as in CMYK, which it cannot turn into RGB.
Bytes Blocks(int width, int height, int components) {
    const Bytes colours = RandomBytes(std::size_t(width * height * components), uint32_t(width));
    Bytes pixels;
    for (int i = 0; i < width * height; ++i) {
        const auto block = std::size_t((i / width / 8 * width + i % width / 8) * components);
        pixels.insert(pixels.end(), &colours[block], &colours[block] + components);
    }
    return pixels;
}

// What the program must make of a JPEG of these pixels: red, green and blue as the library
// decodes them, or CMYK (exact, as above) taken inverted, as Adobe's programs store it.
BmpBuilder Expected(const Bytes& jpeg, int width, int height, const Bytes& pixels) {
    const bool cmyk = pixels.size() == std::size_t(4 * width * height);
    const Bytes rgb = cmyk ? pixels : DecodeJpeg(jpeg).rgb;
    return Picture(width, height, [&](std::size_t i, uint8_t* bgr) {
        const uint8_t* in = &rgb[(cmyk ? 4 : 3) * i];
        for (int c = 0; c < 3; ++c) {
            bgr[c] = uint8_t((in[2 - c] * (cmyk ? in[3] : 255u) + 127) / 255);
        }
    });
}

TEST(Jpeg, ReadsAsTheLibraryDecodes) {
    const std::tuple<int, int, int, EncodeOptions> cases[] = {
        {1, 37, 21, {}},
        {3, 1001, 300, {.sampling = 420}},  // in several slices
        {3, 99, 50, {.progressive = true, .sampling = 422}},
        {4, 37, 33, {.progressive = true}},
    };
    for (const auto& [components, width, height, options] : cases) {
        SCOPED_TRACE(std::to_string(components) + " components, " + std::to_string(width));
        const Bytes pixels = Blocks(width, height, components);
        const Bytes jpeg = EncodeJpeg(width, height, components, pixels, options);
        const Background background = width < 99 ? Background::NearWhite : Background::NearBlack;
        EXPECT_EQ(CheckDecodes(jpeg, Expected(jpeg, width, height, pixels), background),
                  std::nullopt);
    }
}

// The library's warnings stop the program but for an unknown JFIF version and junk before
// a marker, as some writers leave between segments: the pixels are all there.
TEST(Jpeg, DamagedAndHostileFilesAreRefusedByEveryPath) {
    const Bytes jpeg = EncodeJpeg(32, 16, 3, Blocks(32, 16, 3));
    const uint8_t frameMarker[] = {0xFF, 0xC0};
    const auto frame = std::size_t(
        std::search(jpeg.begin(), jpeg.end(), frameMarker, frameMarker + 2) - jpeg.begin());
    Bytes precision = jpeg, process = jpeg, version = jpeg, junk = jpeg;
    precision[frame + 4] = 12, process[frame + 1] = 0xC5;  // 12-bit samples, hierarchical
    version[11] = 3;                                       // JFIF 3.x
    junk.insert(junk.begin() + 20, {0, 0x17, 0x2A});       // after the JFIF segment
    Bytes startJunk = jpeg;
    startJunk.insert(startJunk.begin() + 2, {0x2A, 0, 0x17});  // right after the start marker
    // A run of set bits in the middle of a large picture's coded data (0xFF bytes, each
    // stuffed with a 0 as the format wants): no Huffman code is seventeen ones, and the
    // decoder must say so however much of the file it has at hand.
    Bytes huffman = EncodeJpeg(512, 512, 3, Blocks(512, 512, 3), {.sampling = 420});
    for (std::size_t i = huffman.size() / 4; i < huffman.size() / 4 + 16; i += 2) {
        huffman[i] = 0xFF, huffman[i + 1] = 0;
    }
    // A segment after the pixels, cut short: only reading on to the end marker finds it.
    Bytes comment(jpeg.begin(), jpeg.end() - 2);
    comment.insert(comment.end(), {0xFF, 0xFE, 0, 16});
    Refusals cases = {
        {junk, "success"},
        {startJunk, "success"},
        {huffman, "damaged picture: Corrupt JPEG data: bad Huffman code"},
        {comment, "damaged picture: Premature end of JPEG file"},
        {version, "success"},
        {precision, "unsupported picture: Unsupported JPEG data precision 12"},
        {process, "unsupported picture: Unsupported JPEG process"},
        {EncodeJpeg(16, 8, 1, Bytes(128, 99), {.scans = 100}), "success"},
        {EncodeJpeg(16, 8, 1, Bytes(128, 99), {.scans = 101}),
         "unsupported picture: JPEG in more than 100 scans"},
        // Segments the decoder keeps, a profile's parts, past what it may hold of them, and
        // empty ones by the hundred thousand, each held in a record of its own.
        {EncodeJpeg(16, 8, 1, Bytes(128, 99), {.app2 = std::vector(130, Bytes(65000, 'x'))}),
         "unsupported picture: JPEG with more than 8 MiB of metadata segments"},
        {EncodeJpeg(16, 8, 1, Bytes(128, 99), {.app2 = std::vector(300000, Bytes{})}),
         "unsupported picture: JPEG with more than 8 MiB of metadata segments"},
    };
    for (bool progressive : {false, true}) {
        const Bytes whole =
            EncodeJpeg(64, 48, 3, Blocks(64, 48, 3), {.progressive = progressive, .sampling = 420});
        for (std::size_t cut :
             {whole.size() - 1, whole.size() - 2, whole.size() / 2, whole.size() / 4,
              std::size_t{20}, std::size_t{3}, std::size_t{2}}) {
            cases.emplace_back(Bytes(whole.begin(), whole.begin() + long(cut)),
                               cut < 3 ? "not a picture zel7 reads"
                                       : "damaged picture: Premature end of JPEG file");
        }
    }
    EXPECT_EQ(WrongRefusals(cases), std::vector<std::string>{});
}

// A picture in several scans keeps all its coefficients, 2 MiB for these 1024 x 1024 grey
// pixels: refused past the decoder's bound before they are taken. A baseline one takes a
// few rows of them.
TEST(Jpeg, DecoderMemoryIsBoundedPerPicture) {
    ScratchFolder folder;
    for (bool progressive : {false, true}) {
        WriteWholeFile(folder / "big.jpg",
                       EncodeJpeg(1024, 1024, 1, Bytes(1 << 20, 99), {.progressive = progressive}));
        WorkingImage image;
        const Result result = LoadPicture(folder / "big.jpg", image, {.maxDecoderMemory = 1 << 20});
        ReleasePictureBuffers(image);
        EXPECT_EQ(Describe(result),
                  progressive ? "picture too large: a progressive JPEG of this size needs 2 MiB "
                                "to decode, more than the 1 MiB a picture may take"
                              : "success");
    }
}

}  // namespace
}  // namespace zel7
