#include "threshold.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "bitmap_layout.h"
#include "test_pictures.h"
#include "working_image.h"

namespace zel7 {
namespace {

TEST(RowStride, PadsTruncatedRowBytesToFour) {
    struct Case {
        int32_t width, bitCount, stride;
    };
    const Case cases[] = {
        {0, 24, 0},  {1, 24, 4}, {4, 24, 12}, {5, 8, 8},  {1, 8, 4},
        {3, 32, 12}, {33, 1, 4}, {3, 16, 8},  {2, 24, 8}, {1000, 24, 3000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RowStride(c.width, c.bitCount), c.stride)
            << "width " << c.width << " at " << c.bitCount << " bits";
    }
}

TEST(CheckedPixelSizes, RefusesProductsBeyondInt32) {
    int32_t stride = -1, bytes = -1;
    EXPECT_TRUE(CheckedPixelSizes(0x7FFFFFFF / 32, 0, 32, stride, bytes));
    EXPECT_EQ(bytes, 0);
    EXPECT_FALSE(CheckedPixelSizes(0x7FFFFFFF / 32 + 1, 1, 32, stride, bytes));
    // The widest 32-bit row is 268435452 bytes: 8 of them fit in int32, 9 do not.
    EXPECT_TRUE(CheckedPixelSizes(0x7FFFFFFF / 32, 8, 32, stride, bytes));
    EXPECT_EQ(stride, 268435452);
    EXPECT_EQ(bytes, 8 * 268435452);
    EXPECT_FALSE(CheckedPixelSizes(0x7FFFFFFF / 32, 9, 32, stride, bytes));
    EXPECT_FALSE(CheckedPixelSizes(-1, 1, 24, stride, bytes));
    EXPECT_FALSE(CheckedPixelSizes(1, -1, 24, stride, bytes));
}

using Pixel = std::array<uint8_t, 3>;  // blue, green, red

Pixel MaskOne(Background background, Pixel pixel) {
    uint8_t row[4] = {pixel[0], pixel[1], pixel[2], 0x77};
    MaskRows(background, row, 1, 1, 4);
    EXPECT_EQ(row[3], 0x77) << "fill byte changed";
    return {row[0], row[1], row[2]};
}

TEST(MaskRows, ThresholdsAreInclusiveAndNeedAllThreeChannels) {
    constexpr Pixel kWhite{255, 255, 255}, kBlack{0, 0, 0};
    struct Case {
        Background background;
        Pixel in, out;
    };
    const Case cases[] = {
        {Background::NearWhite, {240, 240, 240}, kWhite},
        {Background::NearWhite, {255, 255, 255}, kWhite},
        {Background::NearWhite, {239, 255, 255}, kBlack},
        {Background::NearWhite, {255, 239, 255}, kBlack},
        {Background::NearWhite, {255, 255, 239}, kBlack},
        {Background::NearWhite, {128, 128, 128}, kBlack},
        {Background::NearWhite, {0, 0, 0}, kBlack},
        {Background::NearBlack, {20, 20, 20}, kWhite},
        {Background::NearBlack, {0, 0, 0}, kWhite},
        {Background::NearBlack, {21, 0, 0}, kBlack},
        {Background::NearBlack, {0, 21, 0}, kBlack},
        {Background::NearBlack, {0, 0, 21}, kBlack},
        {Background::NearBlack, {128, 128, 128}, kBlack},
        {Background::NearBlack, {255, 255, 255}, kBlack},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MaskOne(c.background, c.in), c.out)
            << (c.background == Background::NearWhite ? "white " : "black ") << int(c.in[0]) << ","
            << int(c.in[1]) << "," << int(c.in[2]);
    }
}

TEST(MaskRows, EveryKernelMatchesThePortableLoopByteForByte) {
    const MaskKernel& portable = MaskKernels().back();
    ASSERT_STREQ(portable.name, "portable");
    // Values clustered around both thresholds, so every comparison boundary is hit.
    testing::Bytes input = testing::RandomBytes(3 * 64 * 37, 99);
    const uint8_t interesting[] = {0, 19, 20, 21, 128, 239, 240, 241, 255};
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] & 1) {
            input[i] = interesting[input[i] % sizeof interesting];
        }
    }
    for (const MaskKernel& kernel : MaskKernels()) {
        if (!kernel.isSupported()) {
            continue;
        }
        for (std::size_t width = 0; width <= 64; ++width) {
            for (Background background : {Background::NearWhite, Background::NearBlack}) {
                testing::Bytes expected = input, actual = input;
                auto run = [&](const MaskKernel& k, uint8_t* p) {
                    (background == Background::NearWhite ? k.nearWhite : k.nearBlack)(p,
                                                                                      width * 37);
                };
                run(portable, expected.data());
                run(kernel, actual.data());
                ASSERT_EQ(actual, expected) << kernel.name << " width " << width;
            }
        }
    }
}

class MaskWorkingImageTest : public ::testing::Test {
protected:
    void Load(int32_t width, int32_t height, int32_t bitCount, testing::Bytes pixels) {
        pixels_ = std::move(pixels);
        workingImage = WorkingImage{};
        workingImage.width = width;
        workingImage.height = height;
        workingImage.bitCount = bitCount;
        workingImage.pixels = pixels_.data();
    }
    void TearDown() override { workingImage = WorkingImage{}; }
    testing::Bytes pixels_;
};

TEST_F(MaskWorkingImageTest, OnlyTwentyFourBitPicturesChange) {
    for (int32_t bitCount : {8, 16, 32}) {
        const testing::Bytes original =
            testing::RandomBytes(std::size_t(RowStride(7, bitCount)) * 3, 5);
        Load(7, 3, bitCount, original);
        EXPECT_TRUE(MaskNearWhite());
        EXPECT_TRUE(MaskNearBlack());
        EXPECT_EQ(pixels_, original) << bitCount << " bits";
    }
}

TEST_F(MaskWorkingImageTest, MasksEveryRowAndKeepsFillBytes) {
    // Width 5: 15 data bytes and one fill byte per row.
    testing::Bytes rows = testing::SyntheticPhotoRows(5, 4, Background::NearWhite);
    Load(5, 4, 24, rows);
    EXPECT_TRUE(MaskNearWhite());
    for (int32_t row = 0; row < 4; ++row) {
        const uint8_t* in = rows.data() + row * 16;
        const uint8_t* out = pixels_.data() + row * 16;
        for (int x = 0; x < 5; ++x) {
            bool background = in[3 * x] >= 240 && in[3 * x + 1] >= 240 && in[3 * x + 2] >= 240;
            uint8_t want = background ? 255 : 0;
            EXPECT_EQ(out[3 * x], want);
            EXPECT_EQ(out[3 * x + 2], want);
        }
        EXPECT_EQ(out[15], in[15]);
    }
}

TEST_F(MaskWorkingImageTest, MaskOfAMaskIsStableOnWhiteAndInvertedOnBlack) {
    Load(9, 6, 24, testing::SyntheticPhotoRows(9, 6, Background::NearWhite));
    MaskNearWhite();
    const testing::Bytes mask = pixels_;
    MaskNearWhite();
    EXPECT_EQ(pixels_, mask);
    MaskNearBlack();
    for (int32_t row = 0; row < 6; ++row) {
        for (int i = 0; i < 27; ++i) {
            EXPECT_EQ(pixels_[row * 28 + i], 255 - mask[row * 28 + i]);
        }
    }
}

TEST_F(MaskWorkingImageTest, EmptyPicturesAreLeftAlone) {
    Load(0, 3, 24, {});
    EXPECT_TRUE(MaskNearWhite());
    Load(3, 0, 24, {});
    EXPECT_TRUE(MaskNearBlack());
}

}  // namespace
}  // namespace zel7
