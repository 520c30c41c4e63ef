#include "mask/threshold.h"

#include <gtest/gtest.h>

#include <array>

#include "test_pictures.h"

namespace zel7 {
namespace {

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

}  // namespace
}  // namespace zel7
