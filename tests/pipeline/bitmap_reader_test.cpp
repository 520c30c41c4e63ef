#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>

#include "bitmap_file.h"
#include "test_pictures.h"
#include "working_image.h"

namespace zel7 {
namespace {

using testing::BmpBuilder;
using testing::Bytes;
using testing::ValidPicture;

class ReadBitmapFileTest : public ::testing::Test {
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
    BitmapStatus expected;
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
    {"empty_file", [] { return Bytes{}; }, BitmapStatus::NotBitmap},
    {"signature_only",
     [] {
         return Bytes{'B', 'M'};
     },
     BitmapStatus::TruncatedHeader},
    {"wrong_signature",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.type0 = 'M', b.type1 = 'B'; }); },
     BitmapStatus::NotBitmap},
    {"header_cut_at_53", [] { return Cut(kRgb.Build(), 53); }, BitmapStatus::TruncatedHeader},
    {"header_cut_at_14", [] { return Cut(kRgb.Build(), 14); }, BitmapStatus::TruncatedHeader},
    {"os2_core_header", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biSize = 12; }); },
     BitmapStatus::UnsupportedHeader},
    {"info_size_39", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biSize = 39; }); },
     BitmapStatus::UnsupportedHeader},
    {"negative_width", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biWidth = -5; }); },
     BitmapStatus::NegativeSize},
    {"top_down", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biHeight = -3; }); },
     BitmapStatus::NegativeSize},
    {"height_int32_min",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biHeight = INT32_MIN; }); },
     BitmapStatus::NegativeSize},
    {"depth_1", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biBitCount = 1; }); },
     BitmapStatus::UnsupportedDepth},
    {"depth_4", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biBitCount = 4; }); },
     BitmapStatus::UnsupportedDepth},
    {"depth_0", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biBitCount = 0; }); },
     BitmapStatus::UnsupportedDepth},
    {"depth_48", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biBitCount = 48; }); },
     BitmapStatus::UnsupportedDepth},
    {"rle8", [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.biCompression = 1; }); },
     BitmapStatus::UnsupportedCompression},
    {"jpeg", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biCompression = 4; }); },
     BitmapStatus::UnsupportedCompression},
    {"png", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biCompression = 5; }); },
     BitmapStatus::UnsupportedCompression},
    {"bitfields_on_24_bits",
     [] {
         return Mutated(kRgb, [](BmpBuilder& b) {
             b.biCompression = 3;
             b.masks = {0xFF0000, 0xFF00, 0xFF};
         });
     },
     BitmapStatus::UnsupportedCompression},
    {"bitfields_565",
     [] {
         return Mutated(ValidPicture(4, 2, 16), [](BmpBuilder& b) {
             b.biCompression = 3;
             b.masks = {0xF800, 0x07E0, 0x001F};
         });
     },
     BitmapStatus::UnsupportedCompression},
    {"bitfields_masks_cut",
     [] {
         BmpBuilder b;
         b.biBitCount = 32;
         b.biCompression = 3;
         return Cut(b.Build(), 60);
     },
     BitmapStatus::TruncatedHeader},
    {"row_bits_overflow",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biWidth = INT32_MAX; }); },
     BitmapStatus::TooLarge},
    {"row_bits_wrap_to_small",
     [] {
         // 0x20000001 * 8 wraps to 8 in 32 bits: a 4-byte stride for a huge picture.
         return Mutated(kIndexed, [](BmpBuilder& b) { b.biWidth = 0x20000001; });
     },
     BitmapStatus::TooLarge},
    {"pixel_bytes_overflow",
     [] {
         return Mutated(kRgb, [](BmpBuilder& b) {
             b.biWidth = 1000;
             b.biHeight = 3000000;
         });
     },
     BitmapStatus::TooLarge},
    {"colour_table_257", [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.biClrUsed = 257; }); },
     BitmapStatus::BadColorTable},
    {"colour_table_all_ones",
     [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.biClrUsed = 0xFFFFFFFF; }); },
     BitmapStatus::BadColorTable},
    {"colour_table_cut", [] { return Cut(kIndexed.Build(), 54 + 1023); },
     BitmapStatus::TruncatedColorTable},
    {"offset_into_file_header",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.bfOffBits = 1; }); },
     BitmapStatus::BadPixelOffset},
    {"offset_into_info_header",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.bfOffBits = 53; }); },
     BitmapStatus::BadPixelOffset},
    {"offset_into_masks",
     [] {
         return Mutated(ValidPicture(4, 2, 32), [](BmpBuilder& b) {
             b.biCompression = 3;
             b.masks = {0xFF0000, 0xFF00, 0xFF};
             b.bfOffBits = 54;
         });
     },
     BitmapStatus::BadPixelOffset},
    {"offset_into_colour_table",
     [] { return Mutated(kIndexed, [](BmpBuilder& b) { b.bfOffBits = 54 + 512; }); },
     BitmapStatus::BadPixelOffset},
    {"offset_past_end",
     [] { return Mutated(kRgb, [](BmpBuilder& b) { b.bfOffBits = 0xFFFFFFFF; }); },
     BitmapStatus::TruncatedPixels},
    {"huge_info_header", [] { return Mutated(kRgb, [](BmpBuilder& b) { b.biSize = 0xFFFFFFFF; }); },
     BitmapStatus::BadPixelOffset},
    {"pixels_one_byte_short", [] { return Cut(kRgb.Build(), kRgb.Build().size() - 1); },
     BitmapStatus::TruncatedPixels},
    {"pixels_missing", [] { return Cut(kRgb.Build(), 54); }, BitmapStatus::TruncatedPixels},
    {"huge_declared_size_small_file",
     [] {
         return Mutated(kRgb, [](BmpBuilder& b) {
             b.biWidth = 20000;
             b.biHeight = 20000;
         });
     },
     BitmapStatus::TruncatedPixels},
};

TEST_F(ReadBitmapFileTest, RefusesMalformedAndUnsupportedFilesLeavingTheImageUnchanged) {
    // A picture already loaded, as after an earlier successful read.
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 8).Build(), "earlier.bmp").c_str()));
    const Snapshot before = Take();

    for (const RefusalCase& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        BitmapError why;
        EXPECT_FALSE(ReadBitmapFile(Store(refusal.file()).c_str(), &why));
        EXPECT_EQ(DescribeBitmapStatus(why.status), DescribeBitmapStatus(refusal.expected));
        EXPECT_TRUE(Take() == before);
    }
}

// Files that once got through somewhere, or that readers commonly get wrong.
TEST_F(ReadBitmapFileTest, RefusesEveryFileInTheMalformedFolder) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZEL7_MALFORMED_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        BitmapError why;
        EXPECT_FALSE(ReadBitmapFile(entry.path().c_str(), &why));
        EXPECT_NE(why.status, BitmapStatus::CannotOpen);
        ++files;
    }
    EXPECT_GE(files, 10);
    EXPECT_EQ(workingImage.pixels, nullptr);
}

TEST_F(ReadBitmapFileTest, RefusesWhatIsNotARegularReadableFile) {
    BitmapError why;
    EXPECT_FALSE(ReadBitmapFile((folder_ / "missing.bmp").c_str(), &why));
    EXPECT_EQ(why.status, BitmapStatus::CannotOpen);
    EXPECT_NE(why.osError, 0);

    EXPECT_FALSE(ReadBitmapFile(folder_.Path().c_str(), &why));
    EXPECT_EQ(why.status, BitmapStatus::NotRegularFile);

    EXPECT_FALSE(ReadBitmapFile("/dev/zero", &why));
    EXPECT_EQ(why.status, BitmapStatus::NotRegularFile);

    EXPECT_FALSE(ReadBitmapFile("", &why));
    EXPECT_EQ(why.status, BitmapStatus::CannotOpen);
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

TEST_F(ReadBitmapFileTest, ReadsSupportedLayoutsFromWherePixelsStart) {
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
        BitmapError why;
        ASSERT_TRUE(ReadBitmapFile(Store(accepted.file.Build()).c_str(), &why))
            << DescribeBitmapError(why);
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

TEST_F(ReadBitmapFileTest, ShortColourTableIsPaddedWithZeros) {
    BmpBuilder picture = ValidPicture(3, 2, 8);
    picture.biClrUsed = 2;
    picture.colorTable = {1, 2, 3, 0, 4, 5, 6, 0};
    ASSERT_TRUE(ReadBitmapFile(Store(picture.Build()).c_str()));

    Bytes expected(kColorTableBytes, 0);
    std::copy(picture.colorTable.begin(), picture.colorTable.end(), expected.begin());
    EXPECT_EQ(Bytes(workingImage.palette, workingImage.palette + kColorTableBytes), expected);
    EXPECT_EQ(0, std::memcmp(workingImage.pixels, picture.pixels.data(), picture.pixels.size()));
}

TEST_F(ReadBitmapFileTest, ZeroSizedPicturesHaveNoPixelBytes) {
    for (auto [width, height] : {std::pair{0, 5}, std::pair{5, 0}, std::pair{0, 0}}) {
        BmpBuilder picture = ValidPicture(width, height, 24);
        ASSERT_TRUE(ReadBitmapFile(Store(picture.Build()).c_str()));
        EXPECT_EQ(workingImage.width, width);
        EXPECT_EQ(workingImage.height, height);
        ReleasePictureBuffers();
    }
}

TEST_F(ReadBitmapFileTest, DepthOtherThanEightKeepsThePreviousColourTablePointer) {
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 8).Build(), "a.bmp").c_str()));
    uint8_t* palette = workingImage.palette;
    FreePixelBuffer(workingImage.pixels);
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 24).Build(), "b.bmp").c_str()));
    EXPECT_EQ(workingImage.palette, palette);
}

}  // namespace
}  // namespace zel7
