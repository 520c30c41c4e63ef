// BMP files of every layout read into exactly their reference masks, or refused for their
// reason by every path, a picture held before left as it was; what is not a regular file
// refused without blocking; and hostile headers: every field at its boundary values, sizes
// that wrap, offsets everywhere and files cut at every header boundary, each refused or
// masked into exactly the bytes an independent reading of the file gives, under a memory
// limit too, so that a huge declared size that were allocated would fail the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <span>
#include <tuple>

#include "engine/working_image.h"
#include "formats/picture_files.h"
#include "run_program.h"
#include "system/system.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;
using B = BmpBuilder;
using enum Status;

void Bitfields(B& b, uint32_t red, uint32_t green, uint32_t blue) {
    b.biCompression = 3, b.masks = {red, green, blue};
}

// A picture of the given depth, changed by one rule (if any) and cut to `size` bytes if
// given, and what reading it gives: a refusal says what the file holds where its status
// alone would leave one guessing.
struct Layout {
    const char* name;
    uint16_t bitCount;
    void (*change)(B&);
    Status expected = Ok;
    std::size_t size = 0;
    const char* detail = "";
};

// (24-bit rows, and rows after a gap, are engine_test's, at every size.)
const Layout kLayouts[] = {
    {"rgb16", 16, nullptr},
    {"rgb32", 32, nullptr},
    {"indexed8", 8, nullptr},
    {"short_colour_table", 8, [](B& b) { b.biClrUsed = 2, b.colorTable.resize(8); }},
    {"v5_header", 24, [](B& b) { b.biSize = 124, b.gapBeforePixels = 84; }},
    {"bitfields16_after_header", 16, [](B& b) { Bitfields(b, 0x7C00, 0x03E0, 0x1F); }},
    {"bitfields32_in_v4_header", 32,
     [](B& b) { Bitfields(b, 0xFF0000, 0xFF00, 0xFF), b.biSize = 108, b.gapBeforePixels = 56; }},
    {"trailing_bytes", 24, [](B& b) { b.pixels.resize(b.pixels.size() + 7); }},
    {"no_rows", 24, [](B& b) { b.biHeight = 0, b.pixels.clear(); }},
    {"wrong_signature", 24, [](B& b) { b.type0 = 'M'; }, UnknownFormat},
    {"header_cut", 24, nullptr, TruncatedHeader, 53},
    {"os2_header", 24, [](B& b) { b.biSize = 12; }, UnsupportedHeader},
    {"top_down", 24, [](B& b) { b.biHeight = -3; }, NegativeSize, 0,
     "a top-down picture (negative height)"},
    {"depth_4", 24, [](B& b) { b.biBitCount = 4; }, UnsupportedDepth, 0,
     "4 bits a pixel; 8, 16, 24 and 32 are read"},
    {"depth_1", 24, [](B& b) { b.biBitCount = 1; }, UnsupportedDepth, 0, "1 bit a pixel; 8, 16"},
    {"jpeg_inside", 24, [](B& b) { b.biBitCount = 0, b.biCompression = 4; }, UnsupportedDepth, 0,
     "none, for a JPEG stored inside"},
    {"rle8", 8, [](B& b) { b.biCompression = 1; }, UnsupportedCompression, 0, "RLE8"},
    // (the masks a 32-bit file of the plain layout has: bit fields mean nothing at 24 bits)
    {"bitfields_on_24", 24, [](B& b) { Bitfields(b, 0xFF0000, 0xFF00, 0xFF); },
     UnsupportedCompression, 0, "bit fields at 24 bits"},
    {"bitfields32_red_low", 32, [](B& b) { Bitfields(b, 0xFF, 0xFF00, 0xFF0000); },
     UnsupportedCompression},
    {"bitfields_565", 16, [](B& b) { Bitfields(b, 0xF800, 0x07E0, 0x001F); },
     UnsupportedCompression},
    {"bitfields_cut", 32, [](B& b) { b.biCompression = 3; }, TruncatedHeader, 60},
    // 0x20000001 * 8 wraps to 8 in 32 bits: a 4-byte stride for a huge picture.
    {"row_bits_wrap", 8, [](B& b) { b.biWidth = 0x20000001; }, TooLarge, 0,
     "536870913 x 3 pixels at 8 bits; rows of more than 2 GiB in all"},
    {"colour_table_257", 8, [](B& b) { b.biClrUsed = 257; }, BadColorTable},
    {"colour_table_cut", 8, nullptr, TruncatedColorTable, 54 + 1023},
    {"offset_into_masks", 32, [](B& b) { Bitfields(b, 0xFF0000, 0xFF00, 0xFF), b.bfOffBits = 54; },
     BadPixelOffset},
    {"offset_into_colour_table", 8, [](B& b) { b.bfOffBits = 54 + 512; }, BadPixelOffset},
    {"pixels_short", 24, [](B& b) { b.pixels.pop_back(); }, TruncatedPixels},
};

// Indexed pixels asked for as 24-bit ones (as refined modes ask) come as their palette's
// colours, rows top first.
TEST(Bitmap, IndexedPixelsWidenToTheirPaletteColours) {
    const B picture = ValidPicture(5, 3, 8);
    const ScratchFolder folder;
    WriteWholeFile(folder / "p.bmp", picture.Build());
    std::unique_ptr<RowSource> rows;
    ASSERT_TRUE(OpenPictureSource(folder / "p.bmp", {}, rows).Ok() && AsDecodedRows(*rows));
    const Bytes widened = ReadAll(*rows, std::size_t(rows->Shape().pixelBytes));
    for (std::size_t i = 0; i < 15; ++i) {
        const auto colour =
            picture.colorTable.begin() + 4 * picture.pixels[(2 - i / 5) * 8 + i % 5];
        EXPECT_TRUE(std::equal(colour, colour + 3, &widened[i / 5 * 16 + 3 * (i % 5)])) << i;
    }
    // An index past a table of two colours names none: refused, not made black.
    B few = picture;
    few.biClrUsed = 2;
    few.colorTable.resize(8);
    few.bfOffBits = 54 + 8;
    for (uint8_t& index : few.pixels) {
        index &= 1;
    }
    few.pixels[1] = 2;
    WriteWholeFile(folder / "few.bmp", few.Build());
    ASSERT_TRUE(OpenPictureSource(folder / "few.bmp", {}, rows).Ok() && AsDecodedRows(*rows));
    Bytes read(std::size_t(rows->Shape().pixelBytes));
    EXPECT_EQ(Describe(rows->Read(read.data(), read.size())),
              "damaged picture: colour index 2 past its table of 2 colours");
}

// 32-bit pixels asked for as 24-bit ones: their fourth byte is alpha where a header of 56
// bytes or more has an alpha mask of it, transparency showing the background masked (as an
// image editor's BMP with alpha holds it; it was taken for opaque, and transparent pixels
// for object); otherwise, a 40-byte header's masks included, it is left out, and so it is
// where every pixel's is 0 (a writer that set the mask and not the byte).
TEST(Bitmap, ThirtyTwoBitPixelsAreCompositedWhereTheHeaderMasksAlpha) {
    const Bytes translucent = {10, 20, 30, 0, 100, 150, 200, 128, 1, 2, 3, 255},  // 3 x 1
        unset = {10, 20, 30, 0, 100, 150, 200, 0, 1, 2, 3, 0};
    const struct {
        uint32_t biSize, alphaMask;
        const Bytes& pixels;
        Background background;
        bool alpha;
    } kHeaders[] = {{52, 0xFF000000, translucent, Background::NearWhite, false},  // (past it)
                    {56, 0xFF000000, translucent, Background::NearWhite, true},
                    {124, 0xFF000000, translucent, Background::NearBlack, true},
                    {124, 0xFF000000, unset, Background::NearWhite, false},
                    {124, 0, translucent, Background::NearWhite, false},
                    {124, 0x000000FF, translucent, Background::NearWhite, false},
                    {40, 0, translucent, Background::NearWhite, false}};
    const ScratchFolder folder;
    for (const auto& header : kHeaders) {
        SCOPED_TRACE(std::to_string(header.biSize) + " " + std::to_string(header.alphaMask) +
                     (&header.pixels == &unset ? " unset" : ""));
        B picture = ValidPicture(3, 1, 32);
        Bitfields(picture, 0xFF0000, 0xFF00, 0xFF);
        picture.biSize = header.biSize;
        if (header.biSize > 40) {  // the header's own masks, alpha's after the three
            picture.masks.push_back(header.alphaMask);
            picture.gapBeforePixels = std::max<std::size_t>(header.biSize, 56) - 56;
        }
        picture.pixels = header.pixels;
        WriteWholeFile(folder / "p.bmp", picture.Build());
        std::unique_ptr<RowSource> rows;
        ASSERT_TRUE(
            OpenPictureSource(folder / "p.bmp", {.background = header.background}, rows).Ok() &&
            AsDecodedRows(*rows));
        const Bytes read = ReadAll(*rows, std::size_t(rows->Shape().pixelBytes));
        const int shown = header.background == Background::NearWhite ? 255 : 0;
        for (std::size_t i = 0; i < 9; ++i) {
            const int colour = header.pixels[i / 3 * 4 + i % 3];
            const int alpha = header.pixels[i / 3 * 4 + 3];
            const int expected =
                header.alpha ? (colour * alpha + shown * (255 - alpha) + 127) / 255 : colour;
            EXPECT_EQ(read[i], expected) << i;
        }
    }
}

class BitmapLayout : public ::testing::TestWithParam<Layout> {};

// Every path agrees and writes the reference mask, or refuses the file for its reason and
// leaves the picture held before as it was.
TEST_P(BitmapLayout, IsReadIntoItsReferenceMaskOrRefusedForItsReason) {
    const Layout& layout = GetParam();
    B picture = ValidPicture(layout.bitCount == 32 ? 4 : 5, 3, layout.bitCount);
    if (layout.change != nullptr) {
        layout.change(picture);
    }
    Bytes file = picture.Build();
    file.resize(layout.size != 0 ? layout.size : file.size());
    EXPECT_EQ(WrongRefusals({{file, Describe(Fail(layout.expected, layout.detail))}}),
              std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Bitmap, BitmapLayout, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

// Files that once got through somewhere, or that readers commonly get wrong, refused for a
// reason of their own; and what cannot be opened, or is not a regular file: a fifo, which
// would block an open for reading, stands for every other (a folder too: the reader tells
// it apart, but says the same).
TEST(Bitmap, RefusesMalformedFilesAndWhatIsNotARegularReadableFileWithoutBlocking) {
    ScratchFolder folder;
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    std::vector<std::pair<std::filesystem::path, std::string>> cases = {
        {folder / "missing.bmp", Describe(Fail(CannotOpen, ENOENT))},
        {folder / "fifo", Describe(Fail(NotRegularFile))}};
    for (const auto& entry : std::filesystem::directory_iterator(ZEL7_MALFORMED_DIR)) {
        cases.emplace_back(entry.path(), "");  // any reason but that it cannot be opened
    }
    EXPECT_GE(cases.size(), 12u);
    workingImage = WorkingImage{};
    for (const auto& [path, expected] : cases) {
        const Result result = LoadPicture(path, workingImage);
        EXPECT_TRUE(expected.empty() ? !result.Ok() && result.status != CannotOpen
                                     : Describe(result) == expected)
            << path << ": " << Describe(result);
    }
    EXPECT_EQ(workingImage.pixels, nullptr);
    // A regular file, once known to be one, is read as usual: blocking.
    UniqueFd fd;
    uint64_t size = 0;
    WriteWholeFile(folder / "three", {1, 2, 3});
    ASSERT_EQ(OpenRegularFileForReading(folder / "three", fd, size), 0);
    EXPECT_EQ(fcntl(fd.Get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(size, 3u);
}

// Name, offset and size (2 or 4 bytes) of each header field.
constexpr std::tuple<const char*, std::size_t, int> kFields[] = {
    {"bfSize", 2, 4},          {"bfReserved", 6, 4},       {"bfOffBits", 10, 4},
    {"biSize", 14, 4},         {"biWidth", 18, 4},         {"biHeight", 22, 4},
    {"biPlanes", 26, 2},       {"biBitCount", 28, 2},      {"biCompression", 30, 4},
    {"biSizeImage", 34, 4},    {"biXPelsPerMeter", 38, 4}, {"biClrUsed", 46, 4},
    {"biClrImportant", 50, 4},
};

// Sanitizers reserve far more address space than the limit of the test below.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderSanitizer = false;
#endif

std::vector<std::pair<std::string, Bytes>> HostileFiles() {
    const uint32_t values32[] = {0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000};
    const uint32_t values16[] = {0, 1, 0xFFFF, 0x7FFF, 0x8000};
    std::vector<std::pair<std::string, Bytes>> files;
    for (uint16_t bitCount : {8, 24, 32}) {
        const Bytes valid = ValidPicture(bitCount == 32 ? 3 : 5, 3, bitCount).Build();
        const std::string name = std::to_string(bitCount) + " bits, ";
        auto add = [&](std::size_t at, int bytes, uint32_t value, const std::string& label) {
            Bytes file = valid;
            for (int i = 0; i < bytes; ++i) {
                file[at + i] = uint8_t(value >> (8 * i));
            }
            files.emplace_back(name + label + " = " + std::to_string(value), std::move(file));
        };
        // Every header field at its boundaries.
        for (const auto& [field, at, bytes] : kFields) {
            for (uint32_t value : bytes == 4 ? std::span(values32) : std::span(values16)) {
                add(at, bytes, value, field);
            }
        }
        // Offsets everywhere and cuts at every header boundary.
        const uint32_t size = uint32_t(valid.size()), start = bitCount == 8 ? 1078 : 54;
        for (uint32_t offset : {0u, 1u, 13u, 14u, 53u, 54u, 55u, 54u + 512u, start - 1, start,
                                start + 1, size - 1, size, size + 1, 0xFFFFFFFFu}) {
            add(10, 4, offset, "bfOffBits");
        }
        for (std::size_t cut : {0,  1,  2,  6,  10, 14, 18, 22, 26,   28,   30,           34,
                                38, 42, 46, 50, 53, 54, 55, 58, 1077, 1078, int(size) - 1}) {
            if (cut < valid.size()) {
                files.emplace_back(name + "cut at " + std::to_string(cut),
                                   Bytes(valid.begin(), valid.begin() + std::ptrdiff_t(cut)));
            }
        }
    }
    // Sizes that wrap in 32 bits (width * 8 wrapping to 8 is row_bits_wrap above).
    const std::tuple<int32_t, int32_t, uint16_t> wraps[] = {
        {0x55555556, 1, 24},  // width * 24 wraps to 16
        {0x08000001, 1, 32},  // width * 32 wraps to 32
        {1, 0x40000001, 24},  // stride 4 * height wraps to 4
        {0x3FFFFFFF, 3, 8},   // stride * height just past the limit
        {65536, 65536, 24},   // 12 GiB of rows declared
        {13565958, 0, 24},    // no rows, wider than decoded rows may be
    };
    for (const auto& [width, height, bitCount] : wraps) {
        BmpBuilder picture = ValidPicture(1, 1, bitCount);
        picture.biWidth = width, picture.biHeight = height, picture.pixels.resize(64);
        files.emplace_back(std::to_string(width) + " x " + std::to_string(height) + " at " +
                               std::to_string(bitCount) + " bits",
                           picture.Build());
    }
    return files;
}

// In a child with at most 1 GiB of address space, where an allocation of a declared size
// that was never checked would fail (sanitizers reserve far more, so not there); the child
// says what it finds wrong.
TEST(HostileInput, IsRefusedOrMaskedExactlyAsItsBytesSay) {
    EXPECT_TRUE(InChild([] {
        const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
        bool right = kUnderSanitizer || setrlimit(RLIMIT_AS, &limit) == 0;
        for (const auto& [name, file] : HostileFiles()) {
            if (const std::optional<std::string> failure = CheckBothPaths(file)) {
                std::fprintf(stderr, "%s: %s\n", name.c_str(), failure->c_str());
                right = false;
            }
        }
        return right;
    }));
}

}  // namespace
}  // namespace zel7
