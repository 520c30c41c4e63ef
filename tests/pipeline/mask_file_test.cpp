#include "mask_file.h"

#include <gtest/gtest.h>

#include "bitmap_file.h"
#include "test_pictures.h"
#include "threshold.h"
#include "working_image.h"

namespace zel7 {
namespace {

using testing::Bytes;

// What the dialog's commands write: the whole picture read, masked and written.
Bytes MaskThroughWorkingImage(const std::string& source, const std::string& dest,
                              Background background) {
    workingImage = WorkingImage{};
    EXPECT_TRUE(ReadBitmapFile(source.c_str()));
    background == Background::NearWhite ? MaskNearWhite() : MaskNearBlack();
    EXPECT_TRUE(WriteBitmapFile(dest.c_str(), workingImage.pixels, workingImage.width,
                                workingImage.height, workingImage.bitCount, workingImage.palette));
    ReleasePictureBuffers();
    return testing::ReadWholeFile(dest);
}

TEST(MaskBitmapFile, WritesWhatTheWholePictureCommandsWrite) {
    struct Case {
        const char* name;
        int32_t width, height;
        uint16_t bitCount;
    };
    const Case cases[] = {
        {"small_with_fill_bytes", 37, 21, 24},
        {"no_fill_bytes", 64, 64, 24},
        {"many_slices", 1001, 700, 24},               // about 3 MiB
        {"rows_longer_than_a_slice", 400000, 3, 24},  // 1.2 MB rows, cut into pieces
        {"one_column", 1, 3000, 24},
        {"indexed", 333, 100, 8},
        {"high_colour", 99, 40, 16},
        {"true_colour_alpha", 99, 40, 32},
        {"empty", 0, 10, 24},
    };
    testing::ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::BmpBuilder picture = testing::ValidPicture(c.width, c.height, c.bitCount);
        if (c.bitCount == 24) {
            picture.pixels = testing::SyntheticPhotoRows(c.width, c.height, Background::NearBlack);
        }
        picture.gapBeforePixels = 6;  // not at offset 54: the reader must seek
        const auto source = (folder / "source.bmp").string();
        testing::WriteWholeFile(source, picture.Build());

        const Bytes expected =
            MaskThroughWorkingImage(source, (folder / "whole.bmp").string(), Background::NearBlack);
        std::vector<uint8_t> buffer;
        const auto streamed = (folder / "streamed.bmp").string();
        BitmapError error =
            MaskBitmapFile(source.c_str(), streamed.c_str(), Background::NearBlack, buffer);
        ASSERT_TRUE(error.Ok()) << DescribeBitmapError(error);
        EXPECT_EQ(testing::ReadWholeFile(streamed), expected);
        EXPECT_LE(buffer.capacity(), 2 * kSliceBytes);
    }
}

TEST(MaskBitmapFile, RefusedSourcesCreateNothing) {
    testing::ScratchFolder folder;
    testing::BmpBuilder picture = testing::ValidPicture(10, 10, 24);
    Bytes file = picture.Build();
    file.resize(file.size() - 1);
    testing::WriteWholeFile(folder / "short.bmp", file);
    std::vector<uint8_t> buffer;
    BitmapError error =
        MaskBitmapFile((folder / "short.bmp").c_str(), (folder / "mask.bmp").c_str(),
                       Background::NearWhite, buffer);
    EXPECT_EQ(error.status, BitmapStatus::TruncatedPixels);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"short.bmp"});
}

}  // namespace
}  // namespace zel7
