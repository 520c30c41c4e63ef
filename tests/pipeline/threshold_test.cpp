#include "mask/threshold.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace zel7 {
namespace {

using Pixel = std::array<uint8_t, 3>;  // blue, green, red

constexpr Pixel kWhite{255, 255, 255}, kBlack{0, 0, 0};

struct ThresholdCase {
    const char* name;
    Background background;
    Pixel in, out;
};

const ThresholdCase kThresholdCases[] = {
    {"white_at_240", Background::NearWhite, {240, 240, 240}, kWhite},
    {"white_at_255", Background::NearWhite, {255, 255, 255}, kWhite},
    {"white_blue_239", Background::NearWhite, {239, 255, 255}, kBlack},
    {"white_green_239", Background::NearWhite, {255, 239, 255}, kBlack},
    {"white_red_239", Background::NearWhite, {255, 255, 239}, kBlack},
    {"white_grey", Background::NearWhite, {128, 128, 128}, kBlack},
    {"white_black", Background::NearWhite, {0, 0, 0}, kBlack},
    {"black_at_20", Background::NearBlack, {20, 20, 20}, kWhite},
    {"black_at_0", Background::NearBlack, {0, 0, 0}, kWhite},
    {"black_blue_21", Background::NearBlack, {21, 0, 0}, kBlack},
    {"black_green_21", Background::NearBlack, {0, 21, 0}, kBlack},
    {"black_red_21", Background::NearBlack, {0, 0, 21}, kBlack},
    {"black_grey", Background::NearBlack, {128, 128, 128}, kBlack},
    {"black_white", Background::NearBlack, {255, 255, 255}, kBlack},
};

class Threshold : public ::testing::TestWithParam<ThresholdCase> {};

// Thresholds are inclusive and need all three channels. Rows of 33 pixels and a fill
// byte go through the vector code and its tail alike.
TEST_P(Threshold, MasksEveryPixelAndNoFillByte) {
    const ThresholdCase& c = GetParam();
    constexpr int32_t kWidth = 33, kRows = 2, kStride = 3 * kWidth + 1;
    std::vector<uint8_t> rows;
    for (int32_t y = 0; y < kRows; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            rows.insert(rows.end(), c.in.begin(), c.in.end());
        }
        rows.push_back(0x77);
    }
    MaskRows(c.background, rows.data(), kWidth, kRows, kStride);
    for (int32_t y = 0; y < kRows; ++y) {
        const uint8_t* row = rows.data() + y * kStride;
        for (int32_t x = 0; x < kWidth; ++x) {
            ASSERT_EQ((Pixel{row[3 * x], row[3 * x + 1], row[3 * x + 2]}), c.out)
                << "row " << y << ", pixel " << x;
        }
        EXPECT_EQ(row[3 * kWidth], 0x77) << "fill byte of row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(MaskRows, Threshold, ::testing::ValuesIn(kThresholdCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zel7
