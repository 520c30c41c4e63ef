// JPEG files read as the library itself decodes them, through the whole-picture and the
// streaming paths; the EXIF orientation read back; damaged and hostile files refused with
// nothing written.
#include <gtest/gtest.h>

#include <algorithm>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include "encode_jpeg.h"
#include "mask_file.h"
#include "reference_mask.h"
#include "working_image.h"

namespace zel7 {
namespace {

using testing::Bytes;

// Flat 16 x 16 patches, light and dark, that survive compression at quality 100 almost
// unchanged: red, green, blue (grey from the first, CMYK inverted with all four).
Bytes Patches(int width, int height, int components) {
    static constexpr uint8_t kColours[][4] = {{255, 255, 255, 255}, {248, 246, 250, 250},
                                              {200, 40, 30, 180},   {20, 120, 220, 255},
                                              {5, 10, 8, 255},      {128, 128, 128, 128}};
    Bytes pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* colour = kColours[(x / 16 + y / 16 * 5) % 6];
            pixels.insert(pixels.end(), colour, colour + components);
        }
    }
    return pixels;
}

// A 24-bit BMP of the file as the library decodes it to red, green and blue (CMYK taken
// inverted, as Adobe's programs store it): what the program must make of it.
testing::BmpBuilder DecodedBitmap(const Bytes& jpeg) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), jpeg.size());
    jpeg_read_header(&info, TRUE);
    const bool cmyk = info.num_components == 4;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&info);
    testing::BmpBuilder bmp;
    bmp.biWidth = int32_t(info.output_width);
    bmp.biHeight = int32_t(info.output_height);
    const std::size_t width = info.output_width, stride = (3 * width + 3) / 4 * 4;
    bmp.pixels.assign(stride * info.output_height, 0);
    Bytes row(width * std::size_t(info.output_components));
    while (info.output_scanline < info.output_height) {
        uint8_t* out = &bmp.pixels[(info.output_height - 1 - info.output_scanline) * stride];
        JSAMPROW in = row.data();
        jpeg_read_scanlines(&info, &in, 1);
        for (std::size_t x = 0; x < width; ++x, in += info.output_components, out += 3) {
            const unsigned black = cmyk ? in[3] : 255;
            for (int c = 0; c < 3; ++c) {
                out[c] = uint8_t((in[2 - c] * black + 127) / 255);
            }
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return bmp;
}

// Masks file into folder, as picture.jpg into mask.bmp. A refusal must leave no mask
// behind, nor any trace of one.
Result MaskIn(const testing::ScratchFolder& folder, const Bytes& file,
              Background background = Background::NearWhite) {
    std::filesystem::remove(folder / "mask.bmp");
    testing::WriteWholeFile(folder / "picture.jpg", file);
    std::vector<uint8_t> buffer;
    const Result result =
        MaskFile(folder / "picture.jpg", folder / "mask.bmp", {.background = background}, buffer);
    if (!result.Ok()) {
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{"picture.jpg"});
    }
    return result;
}

TEST(Jpeg, ReadsAsTheLibraryDecodes) {
    const struct {
        const char* name;
        int components, width, height;
        testing::JpegOptions options;
    } cases[] = {
        {"grey", 1, 37, 21, {}},
        {"grey_progressive", 1, 37, 21, {.progressive = true}},
        {"colour_444", 3, 37, 21, {}},
        {"colour_422", 3, 38, 21, {.sampling = 422}},
        {"colour_420_many_slices", 3, 1001, 300, {.sampling = 420}},
        {"progressive_420", 3, 99, 50, {.progressive = true, .sampling = 420}},
        {"cmyk", 4, 37, 21, {}},
        {"cmyk_progressive", 4, 20, 33, {.progressive = true}},
    };
    testing::ScratchFolder folder;
    bool white = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes jpeg = testing::EncodeJpeg(c.width, c.height, c.components,
                                               Patches(c.width, c.height, c.components), c.options);
        const testing::BmpBuilder expected = DecodedBitmap(jpeg);
        const auto background = (white = !white) ? Background::NearWhite : Background::NearBlack;
        const Result masked = MaskIn(folder, jpeg, background);
        ASSERT_TRUE(masked.Ok()) << Describe(masked);
        EXPECT_EQ(testing::ReadWholeFile(folder / "mask.bmp"),
                  testing::ReferenceMask(expected.Build(), background));

        workingImage = WorkingImage{};
        const Result loaded = LoadPicture(folder / "picture.jpg", workingImage);
        ASSERT_TRUE(loaded.Ok()) << Describe(loaded);
        ASSERT_EQ(std::make_tuple(workingImage.width, workingImage.height, workingImage.bitCount),
                  std::make_tuple(c.width, c.height, 24));
        EXPECT_EQ(Bytes(workingImage.pixels, workingImage.pixels + expected.pixels.size()),
                  expected.pixels);
        ReleasePictureBuffers();
    }
}

TEST(Jpeg, OrientationComesFromTheExifSegment) {
    testing::ScratchFolder folder;
    auto orientation = [&](const Bytes& exif) {
        testing::WriteWholeFile(folder / "o.jpg",
                                testing::EncodeJpeg(16, 8, 3, Patches(16, 8, 3), {.exif = exif}));
        std::unique_ptr<RowSource> source;
        const Result result = OpenPictureSource(folder / "o.jpg", {}, source);
        EXPECT_TRUE(result.Ok()) << Describe(result);
        return result.Ok() ? source->Orientation() : 0;
    };
    for (int tag = 1; tag <= 8; ++tag) {
        EXPECT_EQ(orientation(testing::ExifOrientation(tag, false)), tag);
        EXPECT_EQ(orientation(testing::ExifOrientation(tag, true)), tag);
    }
    EXPECT_EQ(orientation({}), 1);
    // Damage to a little-endian segment of orientation 6, each of which makes it 1.
    const struct {
        const char* name;
        std::size_t at;
        uint8_t value;
        std::size_t keep = 32;
    } damages[] = {{"not_exif", 3, 'g'},
                   {"unknown_byte_order", 6, 'X'},
                   {"not_42", 8, 43},
                   {"directory_past_the_end", 13, 0xFF},
                   {"too_many_entries", 15, 1},
                   {"type_long", 18, 4},
                   {"two_values", 20, 2},
                   {"zero", 24, 0},
                   {"nine", 24, 9},
                   {"entry_cut_short", 24, 6, 25},
                   {"header_cut_short", 24, 6, 12}};
    for (const auto& damage : damages) {
        Bytes exif = testing::ExifOrientation(6);
        exif[damage.at] = damage.value;
        exif.resize(damage.keep);
        EXPECT_EQ(orientation(exif), 1) << damage.name;
    }
}

TEST(Jpeg, CutFilesAreRefused) {
    testing::ScratchFolder folder;
    for (bool progressive : {false, true}) {
        const Bytes jpeg = testing::EncodeJpeg(64, 48, 3, Patches(64, 48, 3),
                                               {.progressive = progressive, .sampling = 420});
        std::vector<std::size_t> cuts = {2, 3, 4, 20, jpeg.size() - 2, jpeg.size() - 1};
        for (std::size_t sixteenth = 0; sixteenth < 16; ++sixteenth) {
            cuts.push_back(sixteenth * jpeg.size() / 16);
        }
        for (std::size_t cut : cuts) {
            SCOPED_TRACE(std::to_string(cut) + (progressive ? " bytes, progressive" : " bytes"));
            EXPECT_EQ(Describe(MaskIn(folder, Bytes(jpeg.begin(), jpeg.begin() + cut))),
                      cut < 3 ? Describe(Fail(Status::UnknownFormat))
                              : "damaged picture: Premature end of JPEG file");
        }
    }
}

TEST(Jpeg, ReadsWholeRowsUpToTheLastOrAFailure) {
    testing::ScratchFolder folder;
    const Bytes jpeg = testing::EncodeJpeg(41, 30, 3, Patches(41, 30, 3));  // a byte of padding
    for (std::size_t keep : {jpeg.size(), jpeg.size() - 10}) {
        testing::WriteWholeFile(folder / "p.jpg", Bytes(jpeg.begin(), jpeg.begin() + keep));
        std::unique_ptr<RowSource> source;
        ASSERT_TRUE(OpenPictureSource(folder / "p.jpg", {}, source).Ok());
        const auto stride = std::size_t(source->Shape().rowStride);
        Bytes rows(std::size_t(source->Shape().pixelBytes), 0xEE);
        EXPECT_EQ(source->Read(rows.data(), rows.size()).Ok(), keep == jpeg.size());
        EXPECT_FALSE(source->Read(rows.data(), stride).Ok());
        for (std::size_t end = stride; keep == jpeg.size() && end <= rows.size(); end += stride) {
            EXPECT_EQ(rows[end - 1], 0);
        }
    }
}

TEST(Jpeg, HostileFilesAreRefusedBeforeDecoding) {
    const Bytes jpeg = testing::EncodeJpeg(32, 16, 3, Patches(32, 16, 3));
    const uint8_t frameMarker[] = {0xFF, 0xC0};
    const auto frame = std::size_t(
        std::search(jpeg.begin(), jpeg.end(), frameMarker, frameMarker + 2) - jpeg.begin());
    auto patched = [&](std::size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes file = jpeg;
        std::copy(bytes.begin(), bytes.end(), file.begin() + std::ptrdiff_t(at));
        return file;
    };
    Bytes garbage = testing::RandomBytes(2000, 7);
    garbage.insert(garbage.begin(), {0xFF, 0xD8, 0xFF});
    const struct {
        const char* name;
        Bytes file;
        Status status;
    } cases[] = {
        {"60000_x_60000", patched(frame + 5, {0xEA, 0x60, 0xEA, 0x60}), Status::TooManyPixels},
        {"12_bit", patched(frame + 4, {12}), Status::UnsupportedPicture},
        {"hierarchical", patched(frame + 1, {0xC5}), Status::UnsupportedPicture},
        {"too_many_scans", testing::EncodeJpeg(32, 16, 3, Patches(32, 16, 3), {.manyScans = true}),
         Status::UnsupportedPicture},
        {"empty", {}, Status::UnknownFormat},
        {"signature_then_garbage", garbage, Status::DamagedPicture},
        {"unknown_jfif_version", patched(11, {3}), Status::Ok},  // says nothing of the pixels
    };
    testing::ScratchFolder folder;
    for (const auto& c : cases) {
        const Result result = MaskIn(folder, c.file);
        EXPECT_EQ(result.status, c.status) << c.name << ": " << Describe(result);
    }
}

}  // namespace
}  // namespace zel7
