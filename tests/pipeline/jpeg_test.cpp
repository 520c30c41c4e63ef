// JPEG files read as the library itself decodes them, by every path, and damaged and
// hostile files refused by every path with nothing written (the EXIF orientation is in
// engine_test, where masks are turned).
#include <gtest/gtest.h>

#include <algorithm>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include "encoders.h"
#include "engine/working_image.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;

// Flat 16 x 16 patches, light and dark, that survive compression at quality 100 almost
// unchanged: red, green, blue (grey from the first, CMYK inverted with all four).
Bytes Patches(int width, int height, int components) {
    static constexpr uint8_t kColours[][4] = {{255, 255, 255, 255}, {248, 246, 250, 250},
                                              {200, 40, 30, 170},   {20, 120, 220, 255},
                                              {5, 10, 8, 255},      {128, 128, 128, 128}};
    Bytes pixels;
    for (int i = 0; i < width * height; ++i) {
        const uint8_t* colour = kColours[(i % width / 16 + i / width / 16 * 5) % 6];
        pixels.insert(pixels.end(), colour, colour + components);
    }
    return pixels;
}

// The file as the library decodes it to red, green and blue (CMYK taken inverted, as
// Adobe's programs store it): what the program must make of it.
BmpBuilder Decoded(const Bytes& jpeg) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), jpeg.size());
    jpeg_read_header(&info, TRUE);
    const bool cmyk = info.num_components == 4;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&info);
    const std::size_t rowBytes = std::size_t(info.output_width) * (cmyk ? 4 : 3);
    Bytes rows(rowBytes * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &rows[info.output_scanline * rowBytes];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return Picture(int32_t(info.output_width), int32_t(info.output_height),
                   [&](std::size_t i, uint8_t* bgr) {
                       const uint8_t* in = &rows[i * (cmyk ? 4 : 3)];
                       for (int c = 0; c < 3; ++c) {
                           bgr[c] = uint8_t((in[2 - c] * (cmyk ? in[3] : 255u) + 127) / 255);
                       }
                   });
}

TEST(Jpeg, ReadsAsTheLibraryDecodes) {
    const std::tuple<int, int, int, JpegOptions> cases[] = {
        {1, 37, 21, {}},
        {3, 1001, 300, {.sampling = 420}},  // in several slices
        {3, 99, 50, {.progressive = true, .sampling = 422}},
        {4, 37, 33, {.progressive = true}},
    };
    ScratchFolder folder;
    for (const auto& [components, width, height, options] : cases) {
        SCOPED_TRACE(std::to_string(components) + " components, " + std::to_string(width));
        const Bytes jpeg =
            EncodeJpeg(width, height, components, Patches(width, height, components), options);
        const Background background = width < 99 ? Background::NearWhite : Background::NearBlack;
        EXPECT_EQ(CheckDecodes(jpeg, Decoded(jpeg), background, folder.Path()), std::nullopt);
    }
}

TEST(Jpeg, DamagedAndHostileFilesAreRefusedByEveryPath) {
    const Bytes jpeg = EncodeJpeg(32, 16, 3, Patches(32, 16, 3));
    const uint8_t frameMarker[] = {0xFF, 0xC0};
    const auto frame =
        std::search(jpeg.begin(), jpeg.end(), frameMarker, frameMarker + 2) - jpeg.begin();
    const auto patched = [&](long at, std::initializer_list<uint8_t> bytes) {
        Bytes file = jpeg;
        std::copy(bytes.begin(), bytes.end(), file.begin() + at);
        return file;
    };
    Bytes comment(jpeg.begin(), jpeg.end() - 2);  // after the pixels, not the end marker
    comment.insert(comment.end(), {0xFF, 0xFE, 0, 16});
    // Junk between the JFIF segment and the next, or after the last scan before the end
    // marker, as some writers leave: the pixels are all there.
    Bytes junk = jpeg, junkAfterScan = jpeg;
    junk.insert(junk.begin() + 20, {0, 0x17, 0x2A});
    junkAfterScan.insert(junkAfterScan.end() - 2, 16, 0x2A);
    ScratchFolder folder;
    for (const Bytes& file : {junk, junkAfterScan}) {
        EXPECT_EQ(CheckDecodes(file, Decoded(jpeg), Background::NearWhite, folder.Path()),
                  std::nullopt);
    }
    Refusals cases = {
        {Bytes(junk.begin(), junk.end() - 40), "damaged picture: Premature end of JPEG file"},
        {patched(frame + 5, {0xEA, 0x60, 0xEA, 0x60}), "picture too large: 3600000000 pixels;"},
        {patched(frame + 4, {12}), "unsupported picture: Unsupported JPEG data precision 12"},
        {patched(frame + 1, {0xC5}), "unsupported picture: Unsupported JPEG process"},
        {EncodeJpeg(16, 8, 1, Bytes(128, 99), {.scans = 100}), "success"},
        {EncodeJpeg(16, 8, 1, Bytes(128, 99), {.scans = 101}),
         "unsupported picture: JPEG in more than 100 scans"},
        {comment, "damaged picture: Premature end of JPEG file"},
        {patched(11, {3}), "success"},  // an unknown JFIF version
    };
    for (bool progressive : {false, true}) {
        const Bytes whole = EncodeJpeg(64, 48, 3, Patches(64, 48, 3),
                                       {.progressive = progressive, .sampling = 420});
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
    const auto load = [&](bool progressive) {
        WriteWholeFile(folder / "big.jpg", EncodeJpeg(1024, 1024, 1, Patches(1024, 1024, 1),
                                                      {.progressive = progressive}));
        WorkingImage image;
        const Result result = LoadPicture(folder / "big.jpg", image, {.maxDecoderMemory = 1 << 20});
        ReleasePictureBuffers(image);
        return Describe(result);
    };
    EXPECT_EQ(load(false), "success");
    EXPECT_EQ(load(true),
              "picture too large: a progressive JPEG of this size needs 2 MiB to decode, more "
              "than the 1 MiB a picture may take");
}

}  // namespace
}  // namespace zel7
