#include "refine/refine.h"

#include <gtest/gtest.h>

#include <optional>

#include "engine/mask_file.h"
#include "engine/pixel_arrays.h"
#include "refine/backdrop.h"
#include "refine/edges.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

// The backdrop as measured on frames of known colour and noise.
TEST(Refine, BackdropIsTheCommonestNearWhiteOrBlackOfTheFrame) {
    struct Case {
        const char* name;
        std::array<int, 3> backdrop;
        int noise;         // each channel off by up to this, evenly spread
        bool objectBelow;  // the object covers the frame's lower two thirds
        std::optional<Background> side;
        int leastTolerance, mostTolerance;
    };
    const Case cases[] = {
        {"clean white", {250, 248, 245}, 0, false, std::nullopt, 12, 12},
        {"noisy white", {240, 240, 236}, 6, false, std::nullopt, 14, 30},
        {"noisy black", {12, 10, 14}, 3, false, std::nullopt, 12, 20},
        {"white, the object filling most of it", {246, 246, 246}, 2, true, std::nullopt, 12, 14},
        {"white asked for, black found too",
         {247, 247, 247},
         1,
         true,
         Background::NearWhite,
         12,
         12},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const int32_t width = 60, height = 45;
        BorderSample border(width, height);
        uint32_t random = 12345;
        for (int32_t y = 0; y < height; ++y) {
            std::vector<uint8_t> row;
            for (int32_t x = 0; x < width; ++x) {
                for (std::size_t c = 0; c < 3; ++c) {
                    random = random * 1103515245u + 12345u;
                    const int offset = int(random >> 16) % (2 * test.noise + 1) - test.noise;
                    // The object is dark blue on white, and very dark on black.
                    const int object = test.side ? 5 : c == 0 ? 120 : 40;
                    row.push_back(uint8_t(
                        test.objectBelow && y >= height / 3 ? object : test.backdrop[c] + offset));
                }
            }
            border.AddRow(y, row.data());
        }
        const zel7::Backdrop found = border.Estimate(test.side);
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(found.colour[c], test.backdrop[c], 1) << "channel " << c;
        }
        EXPECT_GE(found.tolerance, test.leastTolerance);
        EXPECT_LE(found.tolerance, test.mostTolerance);
    }
}

// A frame of scattered light colours, none of them near the medians of the others:
// the measure still finds a light backdrop, and a tolerance within its bounds.
TEST(Refine, BackdropOfAFrameOfScatteredColours) {
    const uint8_t tiles[4][3] = {
        {224, 224, 255}, {255, 240, 224}, {224, 255, 255}, {255, 255, 216}};
    for (const int32_t side : {2, 40}) {
        SCOPED_TRACE(side);
        BorderSample border(side, side);
        for (int32_t y = 0; y < side; ++y) {
            std::vector<uint8_t> row;
            for (int32_t x = 0; x < side; ++x) {
                const uint8_t* bgr = tiles[2 * (y % 2) + x % 2];
                row.insert(row.end(), bgr, bgr + 3);
            }
            border.AddRow(y, row.data());
        }
        const zel7::Backdrop found = border.Estimate();
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_GE(found.colour[c], 216) << "channel " << c;
        }
        EXPECT_GE(found.tolerance, 12);
        EXPECT_LE(found.tolerance, 60);
    }
}

using Colour = std::array<uint8_t, 3>;

// The edge unmixer alone, on a window of backdrop on the left and object on the right
// with one pixel between them: its alpha is where its colour lies between the two, and
// its colour is the object's; one hardly off a pale object's backdrop is opaque as far
// as it stands out beyond the tolerance.
TEST(Refine, EdgePixelsAreUnmixedBetweenBackdropAndObject) {
    const struct {
        const char* name;
        Colour object, between;
        uint8_t alpha;
        Colour unmixed;  // red first
    } cases[] = {
        {"half", {200, 100, 50}, {225, 175, 150}, 128, {50, 100, 200}},
        {"a quarter", {200, 100, 50}, {237, 212, 200}, 64, {50, 100, 200}},
        {"pale rim", {245, 245, 245}, {240, 240, 240}, 113, {240, 240, 240}},
    };
    const zel7::Backdrop backdrop{{250, 250, 250}, 12};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        RowWindow window(7, 7, 24);
        for (int32_t y = 0; y < 7; ++y) {
            for (int32_t x = 0; x < 7; ++x) {
                const Colour colour = x < 3    ? Colour{250, 250, 250}
                                      : x == 3 ? test.between
                                               : test.object;
                std::copy(colour.begin(), colour.end(), window.Colours(y) + 3 * x);
                window.Coverage(y)[x] = x < 3 ? 0 : 255;
            }
        }
        uint8_t rgb[3] = {test.between[2], test.between[1], test.between[0]};
        EXPECT_NEAR(EdgeAlpha(window, 3, 3, backdrop, rgb), test.alpha, 1);
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(rgb[c], test.unmixed[c], 2) << "channel " << c;
        }
    }
}

// Pictures with nothing to tell apart, and one with more runs than the labels may hold.

// A 16 x 16 square of grey level inside a red 32 x 32 one, on a backdrop of 250.
Colour Square(int32_t x, int32_t y, uint8_t level) {
    const auto inside = [&](int32_t from, int32_t to) {
        return x >= from && x < to && y >= from && y < to;
    };
    return inside(12, 28)  ? Colour{level, level, level}
           : inside(4, 36) ? Colour{200, 40, 40}
                           : Colour{250, 250, 250};
}

// The pictures of the cases below, by where a pixel is.
Colour White(int32_t, int32_t) {
    return {255, 255, 255};
}
Colour Red(int32_t, int32_t) {
    return {200, 40, 40};
}
Colour BackdropAlongOneEdge(int32_t, int32_t y) {
    return y < 3 ? Colour{250, 250, 250} : Colour{140, 60, 170};
}
Colour Hole(int32_t x, int32_t y) {
    return Square(x, y, 250);
}
Colour Label(int32_t x, int32_t y) {
    return Square(x, y, 247);
}
Colour SpeckInAHole(int32_t x, int32_t y) {
    return x / 2 == 10 && y / 2 == 10 ? Colour{} : Square(x, y, 250);
}
// Left of the middle a grey backdrop, right of it an object lighter and darker by turns.
Colour LighterAndDarker(int32_t x, int32_t) {
    const uint8_t level = x < 20 ? 200 : x % 2 ? 150 : 250;
    return {level, level, level};
}
// A pale object beyond the tolerance by 12 of 15.
Colour Pale(int32_t x, int32_t) {
    return x < 20 ? Colour{255, 255, 255} : Colour{255, 255, 228};
}
Colour AtTheThreshold(int32_t, int32_t) {
    return {240, 240, 240};
}
Colour UnderIt(int32_t, int32_t) {
    return {240, 239, 240};
}
// Alternate columns are a run each: 2,100 a row.
Colour Stripes(int32_t x, int32_t) {
    return x % 2 ? Colour{255, 255, 255} : Colour{};
}

TEST(Refine, UniformPicturesAndRefusalPastTheRunLimit) {
    struct Case {
        const char* name;
        int32_t width, height;
        Colour (*colour)(int32_t x, int32_t y);
        RefineOptions options;
        Status status;
        std::vector<uint8_t> pixel;  // the middle one
    };
    const RefineOptions connected{.regions = {.connected = true}};
    const RefineOptions measured{.autoBackground = true, .regions = {.connected = true}};
    const RefineOptions despeckled{.autoBackground = true,
                                   .regions = {.connected = true, .despeckle = 8}};
    const RefineOptions cutout{.regions = {.connected = true}, .product = Product::Cutout};
    const RefineOptions measuredCutout{.autoBackground = true, .product = Product::Cutout};
    const RefineOptions plainCutout{.product = Product::Cutout};
    const RefineOptions inverted{.regions = {.connected = true}, .invert = true};
    const Case cases[] = {
        {"one pixel of backdrop", 1, 1, White, cutout, Status::Ok, {0, 0, 0, 0}},
        {"all object", 5, 3, Red, cutout, Status::Ok, {200, 40, 40, 255}},
        {"all object, inverted", 5, 3, Red, inverted, Status::Ok, {255}},
        // The object covers most of the frame: the backdrop is still the white.
        {"backdrop along one edge", 10, 10, BackdropAlongOneEdge, measured, Status::Ok, {0}},
        // A square inside a red one: in the backdrop's colour a hole, three levels off a
        // label; a speck in a hole goes with the hole.
        {"hole", 40, 40, Hole, measured, Status::Ok, {255}},
        {"label", 40, 40, Label, measured, Status::Ok, {0}},
        {"speck in a hole", 40, 40, SpeckInAHole, despeckled, Status::Ok, {255}},
        // Edges, the middle pixel on the object's left one.
        {"lighter and darker",
         40,
         40,
         LighterAndDarker,
         measuredCutout,
         Status::Ok,
         {250, 250, 250, 255}},
        {"pale", 40, 40, Pale, plainCutout, Status::Ok, {255, 255, 228, 204}},
        // The plain mask of packed arrays, at the threshold, sixteen pixels at a time
        // and one at a time.
        {"at the threshold", 16, 1, AtTheThreshold, {}, Status::Ok, {255}},
        {"under it", 16, 1, UnderIt, {}, Status::Ok, {0}},
        {"at the threshold, alone", 3, 1, AtTheThreshold, {}, Status::Ok, {255}},
        {"stripes", 2100, 2000, Stripes, connected, Status::TooManyRegions, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<uint8_t> rgb;
        for (int32_t i = 0; i < test.width * test.height; ++i) {
            const Colour colour = test.colour(i % test.width, i / test.width);
            rgb.insert(rgb.end(), colour.begin(), colour.end());
        }
        const PixelArray picture{rgb.data(), test.width, test.height, 3, 1, 3 * test.width, 3, 1};
        std::vector<uint8_t> out(rgb.size() / 3 * std::size_t(OutputChannels(test.options)));
        const Result result = MaskArray(picture, Background::NearWhite, test.options, out.data());
        EXPECT_EQ(result.status, test.status) << Describe(result);
        const auto middle = std::size_t(test.height / 2 * test.width + test.width / 2);
        const auto at = middle * test.pixel.size();
        EXPECT_TRUE(std::equal(test.pixel.begin(), test.pixel.end(), out.begin() + at));
    }
}

}  // namespace
}  // namespace zel7
