#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <tuple>

#include "reference_mask.h"
#include "system/system.h"
#include "engine/working_image.h"

namespace zel7 {
namespace {

using testing::BmpBuilder;
using testing::ValidPicture;

class LoadPictureTest : public ::testing::Test {
protected:
    void SetUp() override { workingImage = WorkingImage{}; }
    void TearDown() override { ReleasePictureBuffers(); }

    std::filesystem::path Store(const testing::Bytes& bytes, const char* name = "picture.bmp") {
        testing::WriteWholeFile(folder_ / name, bytes);
        return folder_ / name;
    }

    testing::ScratchFolder folder_;
};

// A picture of the given depth, changed by one rule, and cut to `size` bytes if given.
struct Variant {
    const char* name;
    uint16_t bitCount;
    void (*change)(BmpBuilder&);
    std::size_t size = 0;

    testing::Bytes Build() const {
        BmpBuilder picture = ValidPicture(bitCount == 32 ? 4 : 5, 3, bitCount);
        change(picture);
        testing::Bytes file = picture.Build();
        file.resize(size != 0 ? size : file.size());
        return file;
    }
};

void Keep(BmpBuilder&) {}

// One file per reason a file is refused.
const std::pair<Variant, Status> kRefusals[] = {
    {{"wrong_signature", 24, [](BmpBuilder& b) { b.type0 = 'M'; }}, Status::UnknownFormat},
    {{"header_cut", 24, Keep, 53}, Status::TruncatedHeader},
    {{"os2_header", 24, [](BmpBuilder& b) { b.biSize = 12; }}, Status::UnsupportedHeader},
    {{"top_down", 24, [](BmpBuilder& b) { b.biHeight = -3; }}, Status::NegativeSize},
    {{"depth_4", 24, [](BmpBuilder& b) { b.biBitCount = 4; }}, Status::UnsupportedDepth},
    {{"depth_0", 24, [](BmpBuilder& b) { b.biBitCount = 0; }}, Status::UnsupportedDepth},
    {{"rle8", 8, [](BmpBuilder& b) { b.biCompression = 1; }}, Status::UnsupportedCompression},
    {{"bitfields_on_24", 24,
      [](BmpBuilder& b) {
          b.biCompression = 3, b.masks = {0xFF, 0, 0};
      }},
     Status::UnsupportedCompression},
    {{"bitfields_565", 16,
      [](BmpBuilder& b) {
          b.biCompression = 3, b.masks = {0xF800, 0x07E0, 0x001F};
      }},
     Status::UnsupportedCompression},
    {{"bitfields_cut", 32, [](BmpBuilder& b) { b.biCompression = 3; }, 60},
     Status::TruncatedHeader},
    // 0x20000001 * 8 wraps to 8 in 32 bits: a 4-byte stride for a huge picture.
    {{"row_bits_wrap", 8, [](BmpBuilder& b) { b.biWidth = 0x20000001; }}, Status::TooLarge},
    {{"colour_table_257", 8, [](BmpBuilder& b) { b.biClrUsed = 257; }}, Status::BadColorTable},
    {{"colour_table_cut", 8, Keep, 54 + 1023}, Status::TruncatedColorTable},
    {{"offset_into_masks", 32,
      [](BmpBuilder& b) {
          b.biCompression = 3, b.masks = {0xFF0000, 0xFF00, 0xFF}, b.bfOffBits = 54;
      }},
     Status::BadPixelOffset},
    {{"offset_into_colour_table", 8, [](BmpBuilder& b) { b.bfOffBits = 54 + 512; }},
     Status::BadPixelOffset},
    {{"pixels_short", 24, [](BmpBuilder& b) { b.pixels.pop_back(); }}, Status::TruncatedPixels},
};

TEST_F(LoadPictureTest, RefusesMalformedAndUnsupportedFilesLeavingTheImageUnchanged) {
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 8).Build(), "earlier.bmp").c_str()));
    const WorkingImage before = workingImage;
    for (const auto& [file, expected] : kRefusals) {
        SCOPED_TRACE(file.name);
        EXPECT_EQ(Describe(LoadPicture(Store(file.Build()), workingImage)),
                  Describe(Fail(expected)));
        EXPECT_EQ(std::tie(workingImage.pixels, workingImage.palette, workingImage.width,
                           workingImage.bitCount),
                  std::tie(before.pixels, before.palette, before.width, before.bitCount));
    }
}

// Layouts that are read, each from where its rows start, into exactly its reference mask.
TEST_F(LoadPictureTest, ReadsEverySupportedLayout) {
    const Variant accepted[] = {
        {"rgb24", 24, Keep},
        {"rgb16", 16, Keep},
        {"rgb32", 32, Keep},
        {"indexed8", 8, Keep},
        {"short_colour_table", 8, [](BmpBuilder& b) { b.biClrUsed = 2, b.colorTable.resize(8); }},
        {"gap_before_pixels", 24, [](BmpBuilder& b) { b.gapBeforePixels = 10; }},
        {"v5_header", 24, [](BmpBuilder& b) { b.biSize = 124, b.gapBeforePixels = 84; }},
        {"bitfields16_after_header", 16,
         [](BmpBuilder& b) {
             b.biCompression = 3, b.masks = {0x7C00, 0x03E0, 0x001F};
         }},
        {"bitfields32_in_v4_header", 32,
         [](BmpBuilder& b) {
             b.biSize = 108, b.biCompression = 3, b.masks = {0xFF0000, 0xFF00, 0xFF};
             b.gapBeforePixels = 108 - 40 - 12;
         }},
        {"trailing_bytes", 24, [](BmpBuilder& b) { b.pixels.resize(b.pixels.size() + 7); }},
        {"no_rows", 24, [](BmpBuilder& b) { b.biHeight = 0, b.pixels.clear(); }},
    };
    for (const Variant& file : accepted) {
        EXPECT_EQ(testing::CheckBothPaths(file.Build(), folder_.Path()), std::nullopt) << file.name;
    }
}

// Files that once got through somewhere, or that readers commonly get wrong.
TEST_F(LoadPictureTest, RefusesEveryFileInTheMalformedFolder) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZEL7_MALFORMED_DIR)) {
        const Result result = LoadPicture(entry.path(), workingImage);
        EXPECT_FALSE(result.Ok()) << entry.path();
        EXPECT_NE(result.status, Status::CannotOpen) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 10);
    EXPECT_EQ(workingImage.pixels, nullptr);
}

TEST_F(LoadPictureTest, RefusesWhatIsNotARegularReadableFileWithoutBlocking) {
    ASSERT_EQ(mkfifo((folder_ / "fifo").c_str(), 0600), 0);
    const std::pair<std::filesystem::path, Result> cases[] = {
        {folder_ / "missing.bmp", Fail(Status::CannotOpen, ENOENT)},
        {folder_.Path(), Fail(Status::NotRegularFile)},
        {"/dev/zero", Fail(Status::NotRegularFile)},
        {folder_ / "fifo", Fail(Status::NotRegularFile)},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(Describe(LoadPicture(path, workingImage)), Describe(expected)) << path;
    }
    EXPECT_EQ(workingImage.pixels, nullptr);
    // A regular file, once known to be one, is read as usual: blocking.
    UniqueFd fd;
    uint64_t size = 0;
    ASSERT_EQ(OpenRegularFileForReading(Store({1, 2, 3}), fd, size), 0);
    EXPECT_EQ(fcntl(fd.Get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(size, 3u);
}

// A second picture replaces the first; the leak check of the sanitizer build proves
// that the first one's buffers were released.
TEST_F(LoadPictureTest, LoadingAgainReplacesThePictureHeld) {
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(2, 2, 8).Build(), "a.bmp").c_str()));
    ASSERT_TRUE(ReadBitmapFile(Store(ValidPicture(0, 5, 24).Build(), "b.bmp").c_str()));
    EXPECT_EQ(std::tuple(workingImage.width, workingImage.height, workingImage.bitCount,
                         workingImage.palette),
              std::tuple(0, 5, 24, nullptr));
}

}  // namespace
}  // namespace zel7
