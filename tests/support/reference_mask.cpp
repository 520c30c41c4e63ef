#include "reference_mask.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "encode_png.h"
#include "engine/mask_file.h"
#include "engine/working_image.h"

namespace zel7::testing {
namespace {

uint32_t Get32(const Bytes& file, std::size_t at) {
    return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24);
}

void Put32(Bytes& out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = uint8_t(value >> (8 * i));
    }
}

}  // namespace

Bytes ReferenceMask(const Bytes& file, Background background) {
    const auto width = int32_t(Get32(file, 18)), height = int32_t(Get32(file, 22));
    const int32_t bitCount = file[28] | file[29] << 8;
    const std::size_t stride = (std::size_t(width) * std::size_t(bitCount) / 8 + 3) / 4 * 4;
    const std::size_t pixelBytes = stride * std::size_t(height);
    const std::size_t front = bitCount == 8 ? 1078 : 54;

    Bytes out(front + pixelBytes, 0);
    out[0] = 'B', out[1] = 'M', out[26] = 1, out[28] = uint8_t(bitCount);
    const uint32_t fields[] = {
        2,  uint32_t(out.size()), 10, uint32_t(front),  14, 40,
        18, uint32_t(width),      22, uint32_t(height), 34, uint32_t(pixelBytes)};
    for (std::size_t i = 0; i < std::size(fields); i += 2) {  // offset, value
        Put32(out, fields[i], fields[i + 1]);
    }
    if (bitCount == 8) {
        const uint32_t used = Get32(file, 46) == 0 ? 256 : Get32(file, 46);
        std::memcpy(out.data() + 54, file.data() + 14 + Get32(file, 14), used * 4);
    }
    std::memcpy(out.data() + front, file.data() + Get32(file, 10), pixelBytes);
    if (bitCount == 24 && width > 0) {
        for (std::size_t row = 0; row < std::size_t(height); ++row) {
            uint8_t* p = out.data() + front + row * stride;
            for (int32_t x = 0; x < width; ++x, p += 3) {
                const bool isBackground = background == Background::NearWhite
                                              ? p[0] >= 240 && p[1] >= 240 && p[2] >= 240
                                              : p[0] <= 20 && p[1] <= 20 && p[2] <= 20;
                std::memset(p, isBackground ? 255 : 0, 3);
            }
        }
    }
    return out;
}

Bytes ReferenceMask(const std::filesystem::path& file, Background background) {
    return ReferenceMask(ReadWholeFile(file), background);
}

std::optional<std::string> CheckBothPaths(const Bytes& file, const std::filesystem::path& folder) {
    const auto source = folder / "hostile", whole = folder / "whole.bmp",
               streamed = folder / "streamed.bmp", png = folder / "streamed.png",
               cutout = folder / "cutout.png";
    WriteWholeFile(source, file);
    for (const auto& path : {whole, streamed, png, cutout}) {
        std::filesystem::remove(path);
    }

    workingImage = WorkingImage{};
    const Result read = LoadPicture(source, workingImage);
    if (read.Ok()) {
        MaskNearWhite();
        const Result written =
            SavePicture(whole, workingImage.pixels, workingImage.width, workingImage.height,
                        workingImage.bitCount, workingImage.palette);
        ReleasePictureBuffers();
        if (!written.Ok()) {
            return "accepted but not written: " + Describe(written);
        }
    } else if (workingImage.pixels != nullptr || workingImage.width != 0) {
        return "refused but changed the working image";
    }
    std::vector<uint8_t> buffer;
    const Result stream = MaskFile(source, streamed, {}, buffer);
    if (stream.status != read.status) {
        return "the whole-picture path says '" + Describe(read) + "', the streaming one '" +
               Describe(stream) + "'";
    }
    // A PNG mask is made of any picture that makes a BMP one, but for sizes too large
    // to convert and empty pictures, which PNG cannot hold.
    const Result toPng = MaskFile(source, png, {.format = PictureFormat::Png}, buffer);
    if (toPng.Ok() != read.Ok() && toPng.status != Status::TooManyPixels &&
        toPng.status != Status::NoPixels) {
        return "a BMP mask says '" + Describe(read) + "', a PNG one '" + Describe(toPng) + "'";
    }
    // The refined path measures the backdrop, labels regions and unmixes edges: it takes
    // every picture the plain path takes, but for the limits only it has.
    MaskOptions refined{.format = PictureFormat::Png};
    refined.refine = {.autoBackground = true,
                      .regions = {.connected = true, .despeckle = 4},
                      .product = Product::Cutout};
    const Result cut = MaskFile(source, cutout, refined, buffer);
    if (cut.Ok() != read.Ok() && cut.status != Status::TooManyPixels &&
        cut.status != Status::NoPixels && cut.status != Status::TooManyRegions) {
        return "a BMP mask says '" + Describe(read) + "', a cut-out '" + Describe(cut) + "'";
    }
    const auto wrote = [&] {
        return exists(whole) || exists(streamed) || exists(png) || exists(cutout);
    };
    if (!read.Ok()) {
        return wrote() ? std::optional<std::string>("refused but wrote a file") : std::nullopt;
    }
    // BMP files have a reference worked out from their bytes; others must at least
    // come out the same by both paths.
    const bool bitmap = file.size() >= 2 && file[0] == 'B' && file[1] == 'M';
    const Bytes expected =
        bitmap ? ReferenceMask(file, Background::NearWhite) : ReadWholeFile(streamed);
    if (ReadWholeFile(whole) != expected || ReadWholeFile(streamed) != expected) {
        return std::string(ReadWholeFile(whole) != expected ? "the whole-picture"
                                                            : "the streamed") +
               " mask differs from the reference";
    }
    return std::nullopt;
}

BmpBuilder Picture(int32_t width, int32_t height,
                   const std::function<void(std::size_t pixel, uint8_t* bgr)>& colour) {
    BmpBuilder bmp;
    bmp.biWidth = width, bmp.biHeight = height;
    const auto stride = std::size_t(RowStride(width, 24)), w = std::size_t(width);
    bmp.pixels.assign(stride * std::size_t(height), 0);
    for (std::size_t i = 0; i < w * std::size_t(height); ++i) {
        colour(i, &bmp.pixels[(std::size_t(height) - 1 - i / w) * stride + 3 * (i % w)]);
    }
    return bmp;
}

std::optional<std::string> CheckDecodes(const Bytes& file, const BmpBuilder& expected,
                                        Background background, const std::filesystem::path& folder,
                                        int tolerance) {
    const auto source = folder / "picture", bmp = folder / "mask.bmp", png = folder / "mask.png";
    WriteWholeFile(source, file);
    const auto width = std::size_t(expected.biWidth), height = std::size_t(expected.biHeight);
    const auto stride = std::size_t(RowStride(expected.biWidth, 24));
    std::unique_ptr<RowSource> rows;
    if (file[0] != 'B' &&
        OpenPictureSource(source, {background, width * height - 1}, rows).status !=
            Status::TooManyPixels) {
        return "not refused one pixel past its limit";
    }
    BmpBuilder decoded = expected;
    decoded.pixels.assign(stride * height, 0xEE);  // padding the source must clear
    Result read = OpenPictureSource(source, {background, width * height}, rows);
    for (std::size_t y = 0; read.Ok() && y < height; ++y) {
        const bool bottomUp = OrderOf(*rows) == RowOrder::BottomUp;
        read = rows->Read(&decoded.pixels[(bottomUp ? y : height - 1 - y) * stride], stride);
    }
    for (std::size_t i = 0; i < decoded.pixels.size(); ++i) {
        if (!read.Ok() || std::abs(decoded.pixels[i] - expected.pixels[i]) > tolerance) {
            return "byte " + std::to_string(i) + " of the rows is " +
                   std::to_string(decoded.pixels[i]) + ", not " +
                   std::to_string(expected.pixels[i]) + ": " + Describe(read);
        }
    }
    WorkingImage image;
    const Result loaded = LoadPicture(source, image, {.background = background});
    const bool loadedSame = loaded.Ok() &&
                            std::tuple(image.width, image.height, image.bitCount) ==
                                std::tuple(expected.biWidth, expected.biHeight, 24) &&
                            std::equal(decoded.pixels.begin(), decoded.pixels.end(), image.pixels);
    ReleasePictureBuffers(image);
    std::vector<uint8_t> buffer;
    const Result toBmp = MaskFile(source, bmp, {background, PictureFormat::Bmp}, buffer);
    const Result toPng = MaskFile(source, png, {background, PictureFormat::Png}, buffer);
    if (!loadedSame || !toBmp.Ok() || !toPng.Ok()) {
        return "loaded otherwise, or not masked: " + Describe(loaded) + ", " + Describe(toBmp) +
               ", " + Describe(toPng);
    }
    const Bytes reference = ReferenceMask(decoded.Build(), background);
    const PngPicture mask = DecodePng(ReadWholeFile(png));
    bool same = ReadWholeFile(bmp) == reference && mask.bitDepth == 1 && mask.colour == kGrey &&
                !mask.interlaced && mask.samples.size() == width * height;
    for (std::size_t i = 0; same && i < mask.samples.size(); ++i) {  // rows bottom up in BMP
        same = mask.samples[i] * 255 ==
               reference[54 + (height - 1 - i / width) * stride + 3 * (i % width)];
    }
    return same ? std::nullopt : std::optional<std::string>("a mask differs from the reference");
}

std::vector<std::string> WrongRefusals(const Refusals& files) {
    ScratchFolder folder;
    std::vector<std::string> wrong;
    for (const auto& [file, reason] : files) {
        std::optional<std::string> found = CheckBothPaths(file, folder.Path());
        if (!found) {
            std::vector<uint8_t> buffer;  // CheckBothPaths left the file there as "hostile"
            found = Describe(MaskFile(folder / "hostile", folder / "streamed.bmp", {}, buffer));
        }
        if (found->compare(0, reason.size(), reason) != 0) {
            wrong.push_back(std::to_string(file.size()) + " bytes: " + *found);
        }
    }
    return wrong;
}

}  // namespace zel7::testing
