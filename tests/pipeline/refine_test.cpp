#include "refine.h"

#include <gtest/gtest.h>

#include "mask_file.h"
#include "pixel_arrays.h"
#include "studio.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using studio::Backdrop;
using studio::Family;

// Each family of studio shots, on both backdrops, as JPEGs, masked with the options the
// README recommends for it: the object's IoU and the cut-out's alpha error must reach
// floors a little under what they reach today.
TEST(Refine, StudioShotsReachEachFamilysFloor) {
    struct Floor {
        Family family;
        double iou, alphaError;
    };
    const Floor floors[] = {
        {Family::Label, 0.98, 3},  {Family::Ring, 0.85, 55},  {Family::Wire, 0.97, 6},
        {Family::Shadow, 0.98, 3}, {Family::Border, 0.98, 3},
    };
    testing::ScratchFolder folder;
    std::vector<uint8_t> buffer;
    for (const Floor& floor : floors) {
        for (const Backdrop backdrop : {Backdrop::White, Backdrop::Black}) {
            const studio::Shot shot = studio::MakeShot(floor.family, backdrop, 400, 300, 3);
            SCOPED_TRACE(shot.name);
            testing::WriteWholeFile(folder / "shot.jpg", studio::EncodeJpeg(shot, 90));
            MaskOptions options{.format = PictureFormat::Png};
            options.refine = {.autoBackground = true,
                              .regions = {.connected = true, .despeckle = 16},
                              .product = Product::Cutout};
            ASSERT_TRUE(MaskFile(folder / "shot.jpg", folder / "cut.png", options, buffer).Ok());
            int width, height;
            std::vector<uint8_t> alpha;
            std::string error;
            ASSERT_TRUE(
                studio::ReadResultAlpha(folder / "cut.png", false, width, height, alpha, error))
                << error;
            const studio::Score score = studio::Compare(shot.alpha, alpha);
            EXPECT_GE(score.iou, floor.iou);
            EXPECT_LE(score.alphaErrorPerMille, floor.alphaError);
        }
    }
}

// Pictures with nothing to tell apart, and one with more runs than the labels may hold.
using Colour = std::array<uint8_t, 3>;

// A 16 x 16 square of grey level inside a red 32 x 32 one, on a backdrop of 250.
Colour Square(int32_t x, int32_t y, uint8_t level) {
    const auto inside = [&](int32_t from, int32_t to) {
        return x >= from && x < to && y >= from && y < to;
    };
    return inside(12, 28)  ? Colour{level, level, level}
           : inside(4, 36) ? Colour{200, 40, 40}
                           : Colour{250, 250, 250};
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
    const auto red = [](int32_t, int32_t) { return Colour{200, 40, 40}; };
    const Case cases[] = {
        {"one pixel of backdrop",
         1,
         1,
         [](int32_t, int32_t) {
             return Colour{255, 255, 255};
         },
         {.regions = {.connected = true}, .product = Product::Cutout},
         Status::Ok,
         {0, 0, 0, 0}},
        {"all object",
         5,
         3,
         red,
         {.regions = {.connected = true}, .product = Product::Cutout},
         Status::Ok,
         {200, 40, 40, 255}},
        {"all object, inverted",
         5,
         3,
         red,
         {.regions = {.connected = true}, .invert = true},
         Status::Ok,
         {255}},
        // The object covers most of the frame: the backdrop is still the white.
        {"backdrop along one edge",
         10,
         10,
         [](int32_t, int32_t y) {
             return y < 3 ? Colour{250, 250, 250} : Colour{140, 60, 170};
         },
         {.autoBackground = true, .regions = {.connected = true}},
         Status::Ok,
         {0}},
        // A square inside a red one: in the backdrop's colour a hole, three levels off a
        // label.
        {"hole",
         40,
         40,
         [](int32_t x, int32_t y) { return Square(x, y, 250); },
         {.autoBackground = true, .regions = {.connected = true}},
         Status::Ok,
         {255}},
        {"label",
         40,
         40,
         [](int32_t x, int32_t y) { return Square(x, y, 247); },
         {.autoBackground = true, .regions = {.connected = true}},
         Status::Ok,
         {0}},
        // Alternate columns are a run each: 2,100 a row.
        {"stripes",
         2100,
         2000,
         [](int32_t x, int32_t) {
             return x % 2 ? Colour{255, 255, 255} : Colour{};
         },
         {.regions = {.connected = true}},
         Status::TooManyRegions,
         {}},
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
