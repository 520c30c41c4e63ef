#include "refine/cut.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

namespace zel7 {
namespace {

constexpr int32_t kWidth = 120, kHeight = 90;

// A striped product of many colours (the cut's object model has no colour to spare for
// what is not object) in the middle of a clean white backdrop, standing on a textured
// grey floor (some 50 levels below the backdrop) along the bottom of the frame, or running out of
// the picture there.
bool InProduct(int32_t x, int32_t y, bool cutByFrame = false) {
    return std::abs(x - 60) < 15 && y >= 25 && (y < 60 || cutByFrame);
}
bool OnFloor(int32_t, int32_t y) {
    return y >= 60;
}
std::array<uint8_t, 3> Colour(int32_t x, int32_t y, bool cutByFrame) {
    static const std::array<uint8_t, 3> stripes[] = {{60, 30, 200}, {50, 150, 40}, {60, 200, 230},
                                                     {180, 60, 40}, {20, 40, 90},  {30, 140, 240}};
    if (InProduct(x, y, cutByFrame)) {
        return stripes[std::size_t((x - 45) / 5) % 6];
    }
    const auto noise = uint8_t((uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) % 29);
    if (OnFloor(x, y)) {
        return {uint8_t(205 + noise / 2), uint8_t(198 + noise / 2), uint8_t(195 + noise / 2)};
    }
    return {uint8_t(250 + noise % 3), uint8_t(250 + noise % 3), uint8_t(250 + noise % 3)};
}

struct Case {
    const char* name;
    // What the rules decided is object, before the cut.
    std::function<bool(int32_t x, int32_t y)> decided;
    // What the cut must leave object, and background.
    std::function<bool(int32_t x, int32_t y)> object;
    bool cutByFrame = false;
};

// The mask the cut makes of the picture from the rules' decision.
std::vector<uint8_t> Cut(const Case& test) {
    std::vector<uint8_t> bgr;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const auto colour = Colour(x, y, test.cutByFrame);
            bgr.insert(bgr.end(), colour.begin(), colour.end());
        }
    }
    PictureSamples samples(kWidth, kHeight);
    for (int32_t y = 0; y < kHeight; ++y) {
        samples.AddRow(y, &bgr[std::size_t(3 * kWidth * y)]);
    }
    const BackdropSurface surface(samples, Backdrop{{251, 251, 251}, 3}, Background::NearWhite, 3);
    RegionLabeller labels(kWidth, kHeight);
    ColourCut cut(kWidth, kHeight);
    std::vector<uint8_t> row(kWidth);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            row[std::size_t(x)] = !test.decided(x, y);
        }
        EXPECT_TRUE(labels.AddRow(row.data()).Ok());
        cut.AddRow(y, &bgr[std::size_t(3 * kWidth * y)], surface);
    }
    labels.Decide(RegionRules{});
    bool moved = false;
    EXPECT_TRUE(cut.Settle(labels, moved).Ok());
    std::vector<uint8_t> mask(std::size_t(kWidth * kHeight));
    for (int32_t y = 0; y < kHeight; ++y) {
        uint8_t* coverage = &mask[std::size_t(kWidth * y)];
        labels.FillRow(y, coverage);
        if (moved) {
            cut.Apply(y, &bgr[std::size_t(3 * kWidth * y)], coverage);
        }
    }
    return mask;
}

void PrintTo(const Case& test, std::ostream* out) {
    *out << test.name;
}

const Case kCases[] = {
    {"the floor under the product, kept with it, goes",
     [](int32_t x, int32_t y) {
         return InProduct(x, y) || (OnFloor(x, y) && std::abs(x - 60) < 30);
     },
     [](int32_t x, int32_t y) { return InProduct(x, y); }},
    {"a floor the rules joined to the product, running out of the picture, goes",
     [](int32_t x, int32_t y) { return InProduct(x, y) || OnFloor(x, y); },
     [](int32_t x, int32_t y) { return InProduct(x, y); }},
    {"a product the frame cuts keeps what runs along it",
     [](int32_t x, int32_t y) { return InProduct(x, y, true); },
     [](int32_t x, int32_t y) { return InProduct(x, y, true); }, true},
    {"a wire too thin for the grid stays",
     [](int32_t x, int32_t y) { return InProduct(x, y) || (OnFloor(x, y) && x == 60); },
     [](int32_t x, int32_t y) { return InProduct(x, y) || (OnFloor(x, y) && x == 60); }},
    {"what lies within a few levels of the backdrop stays (white on white)",
     [](int32_t x, int32_t y) {
         return InProduct(x, y) || (x >= 75 && x < 90 && y >= 25 && y < 60);
     },
     [](int32_t x, int32_t y) {
         return InProduct(x, y) || (x >= 75 && x < 90 && y >= 25 && y < 60);
     }},
};

class ColourCutCase : public ::testing::TestWithParam<Case> {};

TEST_P(ColourCutCase, MovesTheOutlineOnlyWhereThickAndOpen) {
    const Case& test = GetParam();
    const std::vector<uint8_t> mask = Cut(test);
    int wrong = 0;
    for (int32_t i = 0; i < kWidth * kHeight; ++i) {
        wrong += (mask[std::size_t(i)] != 0) != test.object(i % kWidth, i / kWidth);
    }
    // (the cut's outline follows its colour models to the pixel on the product's stripes)
    EXPECT_LE(wrong, 12);
    // The same picture cut again comes out the same, whatever was cut before.
    EXPECT_EQ(Cut(test), mask);
}

INSTANTIATE_TEST_SUITE_P(Cut, ColourCutCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace zel7
