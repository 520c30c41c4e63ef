// Writes a synthetic studio shot as BMP, JPEG (quality 92), PNG, TIFF, HEIC or AVIF (quality
// 80, as phones and web shops keep them) or WebP (lossy at quality 90, or lossless named
// .lossless.webp), by the file's extension: zel7-make-picture white|black WIDTH HEIGHT FILE
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "encoders.h"
#include "synthetic_photo.h"
#include "test_pictures.h"

namespace zel7::test_support {
namespace {

// The rows as the encoders take them: top row first, red, green, blue, no padding.
Bytes TopDownRgb(const Bytes& rows, int width, int height) {
    const std::size_t stride = (std::size_t(width) * 3 + 3) / 4 * 4;
    Bytes rgb;
    rgb.reserve(std::size_t(width) * std::size_t(height) * 3);
    for (int y = height - 1; y >= 0; --y) {
        const uint8_t* pixel = rows.data() + std::size_t(y) * stride;
        for (int x = 0; x < width; ++x, pixel += 3) {
            rgb.insert(rgb.end(), {pixel[2], pixel[1], pixel[0]});
        }
    }
    return rgb;
}

Bytes Encode(const std::filesystem::path& file, const Bytes& rows, int width, int height) {
    const std::string extension = file.extension().string();
    if (extension == ".webp") {
        const bool lossless = file.stem().extension() == ".lossless";
        return EncodeWebp(width, height, 3, TopDownRgb(rows, width, height),
                          {.lossless = lossless, .quality = 90});
    }
    if (extension == ".jpg" || extension == ".jpeg") {
        return EncodeJpeg(width, height, 3, TopDownRgb(rows, width, height),
                          {.quality = 92, .sampling = 420});
    }
    if (extension == ".png") {
        const Bytes rgb = TopDownRgb(rows, width, height);
        return EncodePng({.width = uint32_t(width),
                          .height = uint32_t(height),
                          .samples = std::vector<uint16_t>(rgb.begin(), rgb.end())});
    }
    if (extension == ".tif" || extension == ".tiff") {
        return EncodeTiff({.width = uint32_t(width),
                           .height = uint32_t(height),
                           .samplesPerPixel = 3,
                           .photometric = PHOTOMETRIC_RGB,
                           .samples = TopDownRgb(rows, width, height),
                           .compression = COMPRESSION_LZW});
    }
    if (extension == ".heic" || extension == ".avif") {
        const Bytes rgb = TopDownRgb(rows, width, height);
        return EncodeHeif({.width = width,
                           .height = height,
                           .samples = std::vector<uint16_t>(rgb.begin(), rgb.end()),
                           .codec = extension == ".heic" ? HeifCodec::Hevc : HeifCodec::Av1,
                           .quality = 80});
    }
    BmpBuilder picture;
    picture.biWidth = width;
    picture.biHeight = height;
    picture.pixels = rows;
    return picture.Build();
}

}  // namespace
}  // namespace zel7::test_support

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: zel7-make-picture white|black WIDTH HEIGHT FILE\n");
        return 2;
    }
    const std::string kind = argv[1];
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    if ((kind != "white" && kind != "black") || width < 0 || height < 0) {
        std::fprintf(stderr, "zel7-make-picture: bad arguments\n");
        return 2;
    }
    const zel7::test_support::Bytes rows = zel7::bench::SyntheticPhotoRows(
        width, height, kind == "white" ? zel7::Background::NearWhite : zel7::Background::NearBlack);
    zel7::test_support::WriteWholeFile(argv[4],
                                       zel7::test_support::Encode(argv[4], rows, width, height));
    return 0;
}
