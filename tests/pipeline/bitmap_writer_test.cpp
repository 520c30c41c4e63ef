#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "bitmap_file.h"
#include "child_process.h"
#include "test_pictures.h"
#include "threshold.h"
#include "working_image.h"

namespace zel7 {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::ValidPicture;

class WriteBitmapFileTest : public ::testing::Test {
protected:
    void SetUp() override { workingImage = WorkingImage{}; }
    void TearDown() override { ReleasePictureBuffers(); }
    testing::ScratchFolder folder_;
};

TEST_F(WriteBitmapFileTest, WritesTheDocumentedHeaderToTheByte) {
    const Bytes pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};  // 2 x 2
    const auto path = folder_ / "out.bmp";
    ASSERT_TRUE(WriteBitmapFile(path.c_str(), pixels.data(), 2, 2, 24, nullptr));

    Bytes expected = {
        'B', 'M', 70, 0, 0, 0,                                // bfSize = 54 + 16
        0,   0,   0,  0,                                      // reserved
        54,  0,   0,  0,                                      // bfOffBits
        40,  0,   0,  0,                                      // biSize
        2,   0,   0,  0, 2, 0, 0, 0,                          // width, height
        1,   0,   24, 0,                                      // planes, bit count
        0,   0,   0,  0,                                      // BI_RGB
        16,  0,   0,  0,                                      // biSizeImage
        0,   0,   0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // densities, colours
    };
    expected.insert(expected.end(), pixels.begin(), pixels.end());
    EXPECT_EQ(testing::ReadWholeFile(path), expected);
}

TEST_F(WriteBitmapFileTest, RoundTripsEverySupportedDepth) {
    struct Case {
        int32_t width, height, bitCount;
        std::size_t fileSize;
    };
    const Case cases[] = {
        {5, 3, 24, 54 + 16 * 3}, {5, 3, 8, 1078 + 8 * 3}, {5, 3, 16, 54 + 12 * 3},
        {3, 4, 32, 54 + 12 * 4}, {0, 4, 24, 54},          {4, 0, 8, 1078},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bitCount) + " bits, width " + std::to_string(c.width));
        const Bytes source = ValidPicture(c.width, c.height, uint16_t(c.bitCount)).Build();
        testing::WriteWholeFile(folder_ / "in.bmp", source);
        ASSERT_TRUE(ReadBitmapFile((folder_ / "in.bmp").c_str()));
        const auto out = folder_ / "out.bmp";
        ASSERT_TRUE(WriteBitmapFile(out.c_str(), workingImage.pixels, c.width, c.height, c.bitCount,
                                    workingImage.palette));
        const Bytes written = testing::ReadWholeFile(out);
        EXPECT_EQ(written.size(), c.fileSize);
        // Same headers as the source apart from the densities the builder sets, then
        // the same colour table and rows.
        const std::size_t front = c.bitCount == 8 ? 1078 : 54;
        EXPECT_EQ(written[10], source[10]);
        EXPECT_EQ(written[11], source[11]);
        EXPECT_TRUE(std::equal(written.begin() + front, written.end(), source.begin() + front));
        EXPECT_TRUE(std::equal(written.begin() + 54, written.begin() + front, source.begin() + 54));
        ReleasePictureBuffers();
    }
}

TEST_F(WriteBitmapFileTest, AlwaysWritesUncompressedFortyByteHeaders) {
    testing::BmpBuilder source = ValidPicture(4, 2, 32);
    source.biSize = 108;
    source.biCompression = 3;
    source.masks = {0xFF0000, 0xFF00, 0xFF};
    source.gapBeforePixels = 108 - 40 - 12;
    source.biClrUsed = 9;
    testing::WriteWholeFile(folder_ / "v4.bmp", source.Build());
    ASSERT_TRUE(ReadBitmapFile((folder_ / "v4.bmp").c_str()));
    const auto out = folder_ / "out.bmp";
    ASSERT_TRUE(WriteBitmapFile(out.c_str(), workingImage.pixels, 4, 2, 32, nullptr));
    const Bytes written = testing::ReadWholeFile(out);
    EXPECT_EQ(written[14], 40);  // biSize
    EXPECT_EQ(written[30], 0);   // biCompression
    EXPECT_EQ(written[46], 0);   // biClrUsed
    EXPECT_EQ(written.size(), 54u + 32u);
}

TEST_F(WriteBitmapFileTest, RefusesMissingPixelsOrColourTableWithoutCreatingAFile) {
    const auto path = folder_ / "never.bmp";
    BitmapError why;
    EXPECT_FALSE(WriteBitmapFile(path.c_str(), nullptr, 2, 2, 24, nullptr, &why));
    EXPECT_EQ(why.status, BitmapStatus::NoPixels);
    const uint8_t pixels[8] = {};
    EXPECT_FALSE(WriteBitmapFile(path.c_str(), pixels, 2, 2, 8, nullptr, &why));
    EXPECT_EQ(why.status, BitmapStatus::NoColorTable);
    EXPECT_FALSE(WriteBitmapFile(path.c_str(), pixels, -2, 2, 8, nullptr, &why));
    EXPECT_EQ(why.status, BitmapStatus::NegativeSize);
    EXPECT_TRUE(folder_.Entries().empty());
}

TEST_F(WriteBitmapFileTest, NewFilesGetPlainCreatePermissionsAndReplacedOnesKeepTheirs) {
    const uint8_t pixels[4] = {};
    const auto fresh = folder_ / "fresh.bmp";
    const mode_t oldMask = umask(022);
    ASSERT_TRUE(WriteBitmapFile(fresh.c_str(), pixels, 1, 1, 24, nullptr));
    umask(oldMask);
    struct stat info {};
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    chmod(fresh.c_str(), 0640);
    ASSERT_TRUE(WriteBitmapFile(fresh.c_str(), pixels, 1, 1, 24, nullptr));
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(WriteBitmapFileTest, WritingThroughASymbolicLinkReplacesItsTarget) {
    const auto target = folder_ / "target.bmp";
    const auto link = folder_ / "link.bmp";
    testing::WriteWholeFile(target, {1, 2, 3});
    fs::create_symlink("target.bmp", link);
    const uint8_t pixels[4] = {9, 9, 9, 0};
    ASSERT_TRUE(WriteBitmapFile(link.c_str(), pixels, 1, 1, 24, nullptr));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(testing::ReadWholeFile(target).size(), 58u);
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"link.bmp", "target.bmp"}));

    // A dangling link gets its target created.
    fs::create_symlink("made.bmp", folder_ / "dangling.bmp");
    ASSERT_TRUE(WriteBitmapFile((folder_ / "dangling.bmp").c_str(), pixels, 1, 1, 24, nullptr));
    EXPECT_EQ(testing::ReadWholeFile(folder_ / "made.bmp").size(), 58u);
}

TEST_F(WriteBitmapFileTest, FailuresLeaveTheOldDestinationAndNoStrayFiles) {
    const Bytes old = ValidPicture(3, 3, 24).Build();
    const Bytes big = testing::RandomBytes(RowStride(200, 24) * 200, 3);
    const auto dest = folder_ / "dest.bmp";

    struct Case {
        const char* name;
        std::function<bool()> write;  // runs in a child; true when the write failed
        bool readOnlyFolder = false;
    };
    const Case cases[] = {
        {"full_disk",
         [&] {
             testing::LimitFileSize(4096);
             BitmapError why;
             return !WriteBitmapFile(dest.c_str(), big.data(), 200, 200, 24, nullptr, &why) &&
                    why.status == BitmapStatus::CannotWrite;
         }},
        {"unwritable_folder",
         [&] {
             BitmapError why;
             return testing::DropPrivileges() &&
                    !WriteBitmapFile(dest.c_str(), big.data(), 200, 200, 24, nullptr, &why) &&
                    why.status == BitmapStatus::CannotCreate;
         },
         true},
        {"destination_is_a_folder",
         [&] {
             return !WriteBitmapFile(folder_.Path().c_str(), big.data(), 200, 200, 24, nullptr);
         }},
        {"missing_folder",
         [&] {
             BitmapError why;
             return !WriteBitmapFile((folder_ / "no/such.bmp").c_str(), big.data(), 200, 200, 24,
                                     nullptr, &why) &&
                    why.status == BitmapStatus::CannotCreate;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::WriteWholeFile(dest, old);
        // Traversable by the unprivileged child; writable only when the case wants it.
        fs::permissions(folder_.Path(), fs::perms(c.readOnlyFolder ? 0555 : 0755));
        EXPECT_TRUE(testing::InChild(c.write));
        fs::permissions(folder_.Path(), fs::perms(0755));
        EXPECT_EQ(testing::ReadWholeFile(dest), old);
        EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"dest.bmp"});
    }
}

TEST_F(WriteBitmapFileTest, ReplacingTheSourceWithItsMaskIsAllOrNothing) {
    const auto path = folder_ / "photo.bmp";
    testing::BmpBuilder photo = ValidPicture(120, 90, 24);
    photo.pixels = testing::SyntheticPhotoRows(120, 90, Background::NearWhite);
    const Bytes original = photo.Build();
    testing::WriteWholeFile(path, original);

    auto maskInPlace = [&] {
        if (!ReadBitmapFile(path.c_str())) {
            return false;
        }
        MaskNearWhite();
        return WriteBitmapFile(path.c_str(), workingImage.pixels, workingImage.width,
                               workingImage.height, workingImage.bitCount, workingImage.palette);
    };
    EXPECT_TRUE(testing::InChild([&] {
        testing::LimitFileSize(8192);
        return !maskInPlace();
    }));
    EXPECT_EQ(testing::ReadWholeFile(path), original);

    ASSERT_TRUE(maskInPlace());
    const Bytes masked = testing::ReadWholeFile(path);
    ASSERT_EQ(masked.size(), original.size());
    EXPECT_NE(masked, original);
    // Width 120 has no fill bytes: every pixel byte is now black or white.
    for (std::size_t i = 54; i < masked.size(); ++i) {
        ASSERT_TRUE(masked[i] == 0 || masked[i] == 255) << "byte " << i;
    }
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"photo.bmp"});
}

}  // namespace
}  // namespace zel7
