#include "test_pictures.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "encoders.h"
#include "engine/mask_file.h"
#include "engine/working_image.h"
#include "formats/picture_files.h"

namespace zel7::test_support {

Bytes BmpBuilder::Build() const {
    const std::size_t front = 14 + 40 + masks.size() * 4 + colorTable.size() + gapBeforePixels;
    // All fields little-endian, the planes and the depth two bytes each.
    const uint32_t size = bfSize != 0 ? bfSize : uint32_t(front + pixels.size());
    const uint32_t offset = bfOffBits != 0 ? bfOffBits : uint32_t(front);
    const uint32_t depth = biPlanes | biBitCount << 16;
    std::vector<uint32_t> fields = {
        size,          bfReserved,  offset,  biSize,  uint32_t(biWidth), uint32_t(biHeight), depth,
        biCompression, biSizeImage, density, density, biClrUsed,         biClrImportant};
    fields.insert(fields.end(), masks.begin(), masks.end());
    Bytes out = {type0, type1};
    for (uint32_t field : fields) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(uint8_t(field >> shift));
        }
    }
    out.insert(out.end(), colorTable.begin(), colorTable.end());
    out.insert(out.end(), gapBeforePixels, 0xEE);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

BmpBuilder ValidPicture(int32_t width, int32_t height, uint16_t bitCount) {
    BmpBuilder picture;
    picture.biWidth = width, picture.biHeight = height, picture.biBitCount = bitCount;
    const std::size_t stride = std::size_t(RowStride(width, bitCount));
    picture.pixels = RandomBytes(stride * std::size_t(height), uint32_t(width * 131 + height));
    for (uint8_t& byte : picture.pixels) {  // 24-bit pixels at or beside a threshold
        constexpr uint8_t kEdges[] = {0, 19, 20, 21, 239, 240, 241, 255};
        byte = bitCount == 24 ? kEdges[byte % 8] : byte;
    }
    if (bitCount == 8) {
        picture.colorTable = RandomBytes(kColorTableBytes, 8);
    }
    return picture;
}

Bytes RandomBytes(std::size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return uint8_t(generator()); });
    return bytes;
}

Bytes ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zel7-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch folder");
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

uint32_t Get32(const Bytes& file, std::size_t at) {
    return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24);
}

}  // namespace

Bytes ReferenceMask(const Bytes& file, Background background) {
    BmpBuilder mask;  // a 40-byte header that says no more than it must
    mask.biWidth = int32_t(Get32(file, 18)), mask.biHeight = int32_t(Get32(file, 22));
    mask.biBitCount = uint16_t(file[28] | file[29] << 8), mask.density = 0;
    const std::size_t stride = (std::size_t(mask.biWidth) * mask.biBitCount / 8 + 3) / 4 * 4;
    mask.biSizeImage = uint32_t(stride * std::size_t(mask.biHeight));
    if (mask.biBitCount == 8) {  // the colours used, then the rest of the table zero
        const auto table = file.begin() + 14 + Get32(file, 14);
        mask.colorTable.assign(table, table + 4 * (Get32(file, 46) == 0 ? 256 : Get32(file, 46)));
        mask.colorTable.resize(1024);
    }
    const auto rows = file.begin() + Get32(file, 10);
    mask.pixels.assign(rows, rows + mask.biSizeImage);
    for (std::size_t row = 0; mask.biBitCount == 24 && row < std::size_t(mask.biHeight); ++row) {
        uint8_t* p = mask.pixels.data() + row * stride;
        for (int32_t x = 0; x < mask.biWidth; ++x, p += 3) {
            const bool isBackground = background == Background::NearWhite
                                          ? p[0] >= 240 && p[1] >= 240 && p[2] >= 240
                                          : p[0] <= 20 && p[1] <= 20 && p[2] <= 20;
            std::memset(p, isBackground ? 255 : 0, 3);
        }
    }
    return mask.Build();
}

std::optional<std::string> CheckBothPaths(const Bytes& file, Background background,
                                          const Bytes* decoded, std::string* said) {
    const ScratchFolder folder;
    const auto source = folder / "hostile", whole = folder / "whole.bmp";
    WriteWholeFile(source, file);
    const char* streamed[] = {"streamed.bmp", "streamed.png", "cutout.png", "studio.png",
                              "cutout.webp"};
    // A picture held before, which a refused one must leave as it was.
    WriteWholeFile(folder / "held.bmp", ValidPicture(2, 2, 8).Build());
    const Result holds = LoadPicture(folder / "held.bmp", workingImage);
    const WorkingImage held = workingImage;
    const Result read = LoadPicture(source, workingImage, {.background = background});
    const bool kept = std::tie(held.pixels, held.palette, held.width, held.bitCount) ==
                      std::tie(workingImage.pixels, workingImage.palette, workingImage.width,
                               workingImage.bitCount);
    if (read.Ok()) {
        background == Background::NearWhite ? MaskNearWhite() : MaskNearBlack();
        const Result written =
            SavePicture(whole, workingImage.pixels, workingImage.width, workingImage.height,
                        workingImage.bitCount, workingImage.palette);
        ReleasePictureBuffers();
        if (!written.Ok()) {
            return "accepted but not written: " + Describe(written);
        }
    } else if (ReleasePictureBuffers(), !holds.Ok() || !kept) {
        return "refused but changed the picture held";
    }
    // The streaming path to a BMP says what the whole-picture path says. To a PNG, to a
    // refined cut-out (which measures the backdrop, labels regions and unmixes edges), to
    // --studio's mask (a surface, shadows kept on white, a texture's tolerance) and to a WebP
    // cut-out, it takes every picture the plain path takes, but for sizes too large to
    // convert, empty pictures, which PNG and WebP cannot hold, colour indices past their
    // table, which a copy keeps and a mask cannot colour, and the limits only the refined
    // path has.
    const std::string cutout = "auto-background connected despeckle=4 cutout",
                      side = background == Background::NearWhite ? "white " : "black ";
    const auto png = PictureFormat::Png;
    MaskOptions options[] = {
        {background, PictureFormat::Bmp, kDefaultMaxPixels, SliceWriting::OnSecondThread},
        {background, png},
        Settings(cutout).ForFile(png),
        Settings(side + (side == "white " ? "studio shadow=keep" : "studio")).ForFile(png),
        Settings(cutout).ForFile(PictureFormat::Webp)};
    options[2].background = options[4].background = background;
    std::vector<uint8_t> buffer;
    for (std::size_t i = 0; i < std::size(options); ++i) {
        const Result made = MaskFile(source, folder / streamed[i], options[i], buffer);
        if (i == 0 && said != nullptr) {
            *said = Describe(made);
        }
        const bool excused =
            i > 0 &&
            (made.status == Status::TooManyPixels || made.status == Status::NoPixels ||
             made.status == Status::IndexPastColorTable || made.status == Status::TooManyRegions);
        if (i == 0 ? made.status != read.status : made.Ok() != read.Ok() && !excused) {
            return "the whole-picture path says '" + Describe(read) + "', " + streamed[i] + " '" +
                   Describe(made) + "'";
        }
        if (!read.Ok() && exists(folder / streamed[i])) {
            return std::string("refused but wrote ") + streamed[i];
        }
    }
    if (buffer.capacity() > 3 * kSliceBytes) {
        return "the slices' memory grew with the picture";
    }
    if (!read.Ok()) {
        return exists(whole) ? std::optional<std::string>("refused but wrote a file")
                             : std::nullopt;
    }
    // BMP files and decoded rows have a reference worked out from their bytes; others must
    // at least come out the same by both paths. A reference of 24-bit rows, a mask, is the
    // 1-bit PNG's too.
    const bool bitmap = file.size() >= 2 && file[0] == 'B' && file[1] == 'M';
    const Bytes expected = decoded  ? ReferenceMask(*decoded, background)
                           : bitmap ? ReferenceMask(file, background)
                                    : ReadWholeFile(folder / streamed[0]);
    if (ReadWholeFile(whole) != expected || ReadWholeFile(folder / streamed[0]) != expected) {
        return "a mask differs from the reference";
    }
    if (expected[28] != 24 || !exists(folder / streamed[1])) {
        return std::nullopt;  // copied rows, or a picture too large for a PNG mask
    }
    const auto width = std::size_t(Get32(expected, 18)), height = std::size_t(Get32(expected, 22));
    const auto stride = std::size_t(RowStride(int32_t(width), 24));
    const PngPicture mask = DecodePng(ReadWholeFile(folder / streamed[1]));
    bool same = mask.bitDepth == 1 && mask.colour == kGrey && !mask.interlaced &&
                mask.samples.size() == width * height;
    for (std::size_t i = 0; same && i < mask.samples.size(); ++i) {  // rows bottom up in BMP
        same =
            mask.samples[i] == expected[54 + (height - 1 - i / width) * stride + 3 * (i % width)];
    }
    return same ? std::nullopt : std::optional<std::string>("the PNG mask differs from the BMP's");
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
                                        Background background, int tolerance) {
    const ScratchFolder folder;
    const auto source = folder / "picture";
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
    const Bytes reference = decoded.Build();
    return CheckBothPaths(file, background, &reference);
}

std::vector<std::string> WrongRefusals(const Refusals& files) {
    std::vector<std::string> wrong;
    for (const auto& [file, reason] : files) {
        std::string said;
        const std::string found =
            CheckBothPaths(file, Background::NearWhite, nullptr, &said).value_or(said);
        if (found.compare(0, reason.size(), reason) != 0) {
            wrong.push_back(std::to_string(file.size()) + " bytes: " + found);
        }
    }
    return wrong;
}

Result RowsInMemory::Read(uint8_t* into, std::size_t size) {
    if (done_ >= failAt_) {
        return Fail(Status::ReadFailed, "worn out");
    }
    std::memcpy(into, &rows_[done_], size);
    done_ += size;
    return {};
}

Bytes ReadAll(RowSource& source, std::size_t piece) {
    Bytes rows(std::size_t(source.Shape().pixelBytes));
    for (std::size_t at = 0; at < rows.size(); at += piece) {
        const Result read = source.Read(&rows[at], std::min(piece, rows.size() - at));
        if (!read.Ok()) {
            throw std::runtime_error(Describe(read));
        }
    }
    return rows;
}

MaskSettings Settings(const std::string& words) {
    MaskSettings settings;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        const std::size_t equals = std::min(word.find('='), word.size());
        const Option* option = FindOption(word.substr(0, equals));
        const std::string argument = word.substr(std::min(equals + 1, word.size()));
        if (!option || !ApplyOption(*option, argument, Spelling::CommandLine, settings).Ok()) {
            throw std::invalid_argument("option refused: " + word);
        }
    }
    if (const Result checked = CheckSettings(settings, Spelling::CommandLine); !checked.Ok()) {
        throw std::invalid_argument(words + ": " + checked.detail);
    }
    return settings;
}

Result MaskAs(const std::string& words, const std::filesystem::path& source,
              const std::filesystem::path& destination) {
    std::vector<uint8_t> buffer;
    const MaskOptions options = Settings(words).ForFile(FormatForName(destination).value());
    return MaskFile(source, destination, options, buffer);
}

}  // namespace zel7::test_support
