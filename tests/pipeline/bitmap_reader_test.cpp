#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>

#include "test_pictures.h"
#include "working_image.h"

namespace zel7 {
namespace {

using testing::BmpBuilder;
using testing::Bytes;
using testing::ValidPicture;

class LoadPictureTest : public ::testing::Test {
protected:
    void SetUp() override { workingImage = WorkingImage{}; }
    void TearDown() override { ReleasePictureBuffers(); }

    std::string Store(const Bytes& bytes, const std::string& name = "picture.bmp") {
        auto path = folder_ / name;
        testing::WriteWholeFile(path, bytes);
        return path.string();
    }

    testing::ScratchFolder folder_;
};

// A copy of the record's value fields, to prove a refused read changed nothing.
struct Snapshot {
    int32_t width, height, bitCount;
    uint8_t* palette;
    uint8_t* pixels;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take() {
    return {workingImage.width, workingImage.height, workingImage.bitCount, workingImage.palette,
            workingImage.pixels};
}

struct RefusalCase {
    const char* name;
    std::function<Bytes()> file;
    Status expected;
};

Bytes Mutated(BmpBuilder picture, const std::function<void(BmpBuilder&)>& change) {
    change(picture);
    return picture.Build();
}

Bytes Cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

const BmpBuilder kRgb = ValidPicture(5, 3, 24);
const BmpBuilder kIndexed = ValidPicture(5, 3, 8);

const RefusalCase kRefusals[] = {
    {"wrong_signature",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.type0 = 'M', b.type1 = 'B'; }); },
     Status::NotBitmap},
    {"header_cut_at_53", [] { return Cut(kRgb.Build(), 53); }, Status::TruncatedHeader},
    {"os2_core_header", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biSize = 12; }); },
     Status::UnsupportedHeader},
    {"top_down", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biHeight = -3; }); },
     Status::NegativeSize},
    {"depth_4", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biBitCount = 4; }); },
     Status::UnsupportedDepth},
    {"depth_0", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biBitCount = 0; }); },
     Status::UnsupportedDepth},
    {"rle8", [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.biCompression = 1; }); },
     Status::UnsupportedCompression},
    {"bitfields_on_24_bits",
     [] {
         return Mutated(kRgb, [](BmpBuilder& b) {
             b.biCompression = 3;
             b.masks = {0xFF0000, 0xFF00, 0xFF};
         });
     },
     Status::UnsupportedCompression},
    {"bitfields_565",
     [] {
         return Mutated(ValidPicture(4, 2, 16), [](BmpBuilder& b) {
             b.biCompression = 3;
             b.masks = {0xF800, 0x07E0, 0x001F};
         });
     },
     Status::UnsupportedCompression},
    {"bitfields_masks_cut",
     [] {
         BmpBuilder b;
         b.biBitCount = 32;
         b.biCompression = 3;
         return Cut(b.Build(), 60);
     },
     Status::TruncatedHeader},
    {"row_bits_wrap_to_small",
     [] {
         // 0x20000001 * 8 wraps to 8 in 32 bits: a 4-byte stride for a huge picture.
         return Mutated(kIndexed, [](BmpBuilder& b) { b.biWidth = 0x20000001; });
     },
     Status::TooLarge},
    {"colour_table_257", [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.biClrUsed = 257; }); },
     Status::BadColorTable},
    {"colour_table_cut", [] { return Cut(kIndexed.Build(), 54 + 1023); },
     Status::TruncatedColorTable},
    {"offset_into_masks",
     [] {
         return Mutated(ValidPicture(4, 2, 32), [](BmpBuilder& b) {
             b.biCompression = 3;
             b.masks = {0xFF0000, 0xFF00, 0xFF};
             b.bfOffBits = 54;
         });
     },
     Status::BadPixelOffset},
    {"offset_into_colour_table",
     [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.bfOffBits = 54 + 512; }); },
     Status::BadPixelOffset},
    {"pixels_one_byte_short", [] { return Cut(kRgb.Build(), kRgb.Build().size() - 1); },
     Status::TruncatedPixels},
};

TEST_F(LoadPictureTest, RefusesMalformedAndUnsupportedFilesLeavingTheImageUnchanged) {
    // A picture already loaded, as after an earlier successful read.
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 8).Build(), "earlier.bmp").c_str()));
    const Snapshot before = Take();

    for (const RefusalCase& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        EXPECT_EQ(Describe(LoadPicture(Store(refusal.file()), workingImage)),
                  Describe(Fail(refusal.expected)));
        EXPECT_TRUE(Take() == before);
    }
}

// Files that once got through somewhere, or that readers commonly get wrong.
TEST_F(LoadPictureTest, RefusesEveryFileInTheMalformedFolder) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZEL7_MALFORMED_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        const Result result = LoadPicture(entry.path(), workingImage);
        EXPECT_FALSE(result.Ok());
        EXPECT_NE(result.status, Status::CannotOpen);
        ++files;
    }
    EXPECT_GE(files, 10);
    EXPECT_EQ(workingImage.pixels, nullptr);
}

TEST_F(LoadPictureTest, RefusesWhatIsNotARegularReadableFileWithoutBlocking) {
    const auto fifo = folder_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::filesystem::path, Result> cases[] = {
        {folder_ / "missing.bmp", Fail(Status::CannotOpen, ENOENT)},
        {folder_.Path(), Fail(Status::NotRegularFile)},
        {"/dev/zero", Fail(Status::NotRegularFile)},
        {fifo, Fail(Status::NotRegularFile)},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(Describe(LoadPicture(path, workingImage)), Describe(expected)) << path;
    }
    EXPECT_EQ(workingImage.pixels, nullptr);
}

struct AcceptedCase {
    const char* name;
    BmpBuilder file;
    int32_t bitCount;
};

BmpBuilder With(BmpBuilder picture, const std::function<void(BmpBuilder&)>& change) {
    change(picture);
    return picture;
}

TEST_F(LoadPictureTest, ReadsSupportedLayoutsFromWherePixelsStart) {
    const AcceptedCase cases[] = {
        {"rgb24", ValidPicture(5, 3, 24), 24},
        {"rgb16", ValidPicture(5, 3, 16), 16},
        {"rgb32", ValidPicture(3, 4, 32), 32},
        {"indexed8", ValidPicture(5, 3, 8), 8},
        {"gap_before_pixels", With(kRgb, [](BmpBuilder& b) { b.gapBeforePixels = 10; }), 24},
        {"v5_header",
         With(kRgb,
              [](BmpBuilder& b) {
                  b.biSize = 124;
                  b.gapBeforePixels = 84;  // the rest of the larger header
              }),
         24},
        {"bitfields16_after_40_byte_header",
         With(ValidPicture(4, 2, 16),
              [](BmpBuilder& b) {
                  b.biCompression = 3;
                  b.masks = {0x7C00, 0x03E0, 0x001F};
              }),
         16},
        {"bitfields32_inside_v4_header",
         With(ValidPicture(4, 2, 32),
              [](BmpBuilder& b) {
                  b.biSize = 108;
                  b.biCompression = 3;
                  b.masks = {0xFF0000, 0xFF00, 0xFF};
                  b.gapBeforePixels = 108 - 40 - 12;
              }),
         32},
        {"trailing_bytes", With(kRgb, [](BmpBuilder& b) { b.pixels.resize(b.pixels.size() + 7); }),
         24},
    };
    for (const AcceptedCase& accepted : cases) {
        SCOPED_TRACE(accepted.name);
        const Result result = LoadPicture(Store(accepted.file.Build()), workingImage);
        ASSERT_TRUE(result.Ok()) << Describe(result);
        const std::size_t pixelBytes =
            std::size_t(RowStride(accepted.file.biWidth, accepted.bitCount)) *
            std::size_t(accepted.file.biHeight);
        EXPECT_EQ(workingImage.width, accepted.file.biWidth);
        EXPECT_EQ(workingImage.height, accepted.file.biHeight);
        EXPECT_EQ(workingImage.bitCount, accepted.bitCount);
        EXPECT_EQ(0, std::memcmp(workingImage.pixels, accepted.file.pixels.data(), pixelBytes));
        ReleasePictureBuffers();
    }
}

TEST_F(LoadPictureTest, ShortColourTableIsPaddedWithZeros) {
    BmpBuilder picture = ValidPicture(3, 2, 8);
    picture.biClrUsed = 2;
    picture.colorTable = {1, 2, 3, 0, 4, 5, 6, 0};
    ASSERT_TRUE(ReadBitmapFile(Store(picture.Build()).c_str()));

    Bytes expected(kColorTableBytes, 0);
    std::copy(picture.colorTable.begin(), picture.colorTable.end(), expected.begin());
    EXPECT_EQ(Bytes(workingImage.palette, workingImage.palette + kColorTableBytes), expected);
    EXPECT_EQ(0, std::memcmp(workingImage.pixels, picture.pixels.data(), picture.pixels.size()));
}

// A second picture replaces the first; the leak check of the sanitizer build proves
// that the first one's buffers were released.
TEST_F(LoadPictureTest, LoadingAgainReplacesThePictureHeld) {
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 8).Build(), "a.bmp").c_str()));
    const BmpBuilder second = ValidPicture(0, 5, 24);
    ASSERT_TRUE(ReadBitmapFile(Store(second.Build(), "b.bmp").c_str()));
    EXPECT_EQ(workingImage.width, 0);
    EXPECT_EQ(workingImage.height, 5);
    EXPECT_EQ(workingImage.bitCount, 24);
    EXPECT_EQ(workingImage.palette, nullptr);
}

}  // namespace
}  // namespace zel7
