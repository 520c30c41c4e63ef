#include "engine/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>

#include "encoders.h"
#include "engine/resampler.h"
#include "formats/picture_files.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using test_support::Bytes;

// Framing as zel7-mask's options give it, read through the library's table.
FramingOptions Framing(const std::string& options) {
    return test_support::Settings("white " + options).ForFile(PictureFormat::Png).framing;
}

// A row for each branch of LayOutFrame: margins alone, an aspect padding either way, and a size
// with each kind of margin, with and without an aspect.
TEST(Framing, LayoutPlacesTheBoxInItsFrame) {
    const struct {
        const char* name;
        const char* options;
        int32_t boxWidth, boxHeight;
        std::array<int32_t, 6> expected;  // the frame's size, the placed box's x, y and size
    } cases[] = {
        {"margin in pixels", "trim margin=1", 30, 20, {32, 22, 1, 1, 30, 20}},
        {"margin as a share", "trim margin=10%", 80, 40, {100, 50, 10, 5, 80, 40}},
        {"4:3 pads the width, odd", "trim aspect=4:3", 40, 40, {53, 40, 6, 0, 40, 40}},
        {"1:2 pads the height", "trim aspect=1:2", 40, 40, {40, 80, 0, 20, 40, 40}},
        {"size, pixels", "trim margin=1 size=7x5", 13, 13, {5, 5, 1, 1, 3, 3}},
        {"size, share", "trim margin=10% size=200x100", 50, 50, {100, 100, 10, 10, 80, 80}},
        {"to a square", "trim margin=1 square size=100x100", 1, 1, {100, 100, 1, 1, 98, 98}},
        {"a line keeps a pixel", "trim square size=3x3", 1000, 1, {3, 3, 0, 1, 3, 1}},
    };
    for (const auto& c : cases) {
        const FrameLayout frame = LayOutFrame(Framing(c.options), c.boxWidth, c.boxHeight);
        const FrameBox& box = frame.placed;
        EXPECT_EQ((std::array{frame.width, frame.height, box.x, box.y, box.width, box.height}),
                  c.expected)
            << c.name;
    }
}

TEST(Framing, ReductionLeavesTheObjectAtLeastItsPlacedSize) {
    const std::pair<FrameBox, int> cases[] = {
        // The box as probed at an eighth, and the reduction it allows.
        {{0, 0, 427, 397}, 2},   // 3416 pixels across: at a half, 1708 for 1700
        {{0, 0, 200, 200}, 1},   // 1600 pixels: not even whole
        {{0, 0, 900, 900}, 4},   // 7200: a quarter
        {{0, 0, 1800, 100}, 8},  // 14400: an eighth
        {{0, 0, 0, 0}, 1},       // nothing seen
    };
    // 7.5% margins in a 2000-pixel square: the README's one command.
    const FramingOptions shop = Framing("trim margin=7.5% square size=2000x2000");
    for (const auto& [probed, expected] : cases) {
        EXPECT_EQ(FrameReduction(shop, probed, 8), expected) << probed.width;
    }
}

// A cut-out of kWidth x kHeight transparent pixels but for an object rectangle of one
// colour and alpha.
constexpr int32_t kWidth = 12, kHeight = 20;
std::unique_ptr<RowSource> CutoutRows(FrameBox object, std::array<uint8_t, 4> pixel) {
    Bytes rows(4 * kWidth * kHeight);
    for (int32_t y = object.y; y < object.y + object.height; ++y) {
        for (int32_t x = object.x; x < object.x + object.width; ++x) {
            std::memcpy(&rows[std::size_t(4 * (y * kWidth + x))], pixel.data(), 4);
        }
    }
    const PictureShape shape{kWidth, kHeight, 32, 4 * kWidth, 4 * kWidth * kHeight};
    return std::make_unique<test_support::RowsInMemory>(shape, std::move(rows));
}

// Sizes changed by more than libswscale takes in one go (fed in bands, its contexts crash
// from some 29 times smaller or 6,000 times larger): flat planes come out flat, at their
// levels, whatever the passes it takes.
TEST(Framing, ResamplerTakesAnyChangeOfSize) {
    const std::array<int32_t, 4> sizes[] = {
        {300, 300, 10, 10}, {301, 7, 10, 7}, {2, 1, 15000, 1}, {1, 2, 1, 15000}, {5000, 3, 3, 5000},
    };
    constexpr std::array<uint8_t, 2> kLevels = {0, 200};
    for (const auto& [fromWidth, fromHeight, toWidth, toHeight] : sizes) {
        SCOPED_TRACE(std::to_string(fromWidth) + " x " + std::to_string(fromHeight));
        Resampler resampler;
        ASSERT_TRUE(resampler.Open(fromWidth, fromHeight, toWidth, toHeight, 2).Ok());
        std::array<Bytes, 2> planes;
        for (std::size_t p = 0; p < planes.size(); ++p) {
            planes[p].assign(std::size_t(fromWidth) * std::size_t(fromHeight), kLevels[p]);
        }
        for (int32_t top = 0; top < fromHeight; top += 16) {
            const std::size_t at = std::size_t(top) * std::size_t(fromWidth);
            const uint8_t* band[2] = {planes[0].data() + at, planes[1].data() + at};
            ASSERT_TRUE(resampler.Feed(band, fromWidth, std::min(16, fromHeight - top)).Ok());
        }
        for (int p = 0; p < 2; ++p) {
            const uint8_t* out = resampler.Plane(p);
            const std::size_t count = std::size_t(toWidth) * std::size_t(toHeight);
            EXPECT_EQ(std::count(out, out + count, kLevels[std::size_t(p)]), long(count)) << p;
        }
    }
}

// Every pixel of the frame, read in pieces that do not divide its rows: the object's
// colour where LayOutFrame places it (the box trimmed to, or the whole cut-out's), the
// frame's colour (transparent, or the flattening colour) everywhere else. A cut-out with
// nothing in it is not framed, nor one whose frame no picture can hold.
TEST(Framing, FramedPixelsAreTheObjectsInTheFramesColour) {
    const FrameBox box{3, 2, 5, 4}, line{1, 1, 3, 1};
    using Pixel = std::array<uint8_t, 4>;
    const Pixel ink{90, 150, 210, 255}, faint{90, 150, 210, 1}, half{90, 150, 210, 128};
    const Pixel grey{100, 100, 100, 128}, opaque{200, 200, 200, 255};
    const struct {
        const char* name;
        FrameBox object;
        Pixel pixel;
        const char* options;
        Pixel inside;  // red, green, blue, and alpha unless flattened
        const char* refused = nullptr;
    } cases[] = {
        {"trimmed, a margin", box, ink, "trim margin=1", ink},
        {"the first pixel", {0, 0, 1, 1}, ink, "trim margin=1", ink},
        // Not resampled, the cut-out's own bytes, even where it is faintest.
        {"the faintest, last pixel", {11, 19, 1, 1}, faint, "trim", faint},
        {"half alpha, a whole row", {0, 4, 12, 1}, half, "trim margin=1", half},
        // Resampled in two bands, premultiplied: flat planes stay flat, each at its level,
        // even 0, rounded to the nearest level each way (a level lost at half alpha, 150 and
        // 210 of the ink); hard edges' alpha whole again from the middle up.
        {"halved", {3, 1, 6, 18}, {0, 150, 210, 255}, "trim size=3x9", {0, 150, 210, 255}},
        {"hard edges", {3, 1, 6, 18}, half, "hard-edges trim size=3x9", {90, 149, 209, 255}},
        // A grey over the colour: alone row for row, or held with a margin, alike.
        {"flattened alone", line, grey, "flatten=#336699", {76, 101, 126}},
        {"flattened, a margin", line, grey, "flatten=#336699 margin=1", {76, 101, 126}},
        {"flattened, hard edges",
         line,
         grey,
         "hard-edges flatten=#336699 margin=1",
         {100, 100, 100}},
        {"flattened, trimmed", line, opaque, "trim flatten=white margin=1", {200, 200, 200}},
        {"all transparent", {}, {}, "trim", {}, "nothing to frame: the cut-out is all transparent"},
        {"wider than 65535", box, ink, "trim aspect=65535:1", {}, "more than 65535 pixels wide;"},
        {"a margin of nearly half", box, ink, "trim margin=49.99999%", {}, "65535 pixels wide and"},
        {"over 200 megapixels", box, ink, "trim size=17000x17000", {}, "at most 200 megapixels"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.options);
        const FramingOptions options = Framing(c.options);
        std::unique_ptr<RowSource> framed;
        const Result opened = OpenFramedSource(CutoutRows(c.object, c.pixel), options, framed);
        if (c.refused) {
            EXPECT_NE(Describe(opened).find(c.refused), std::string::npos) << Describe(opened);
            continue;
        }
        ASSERT_TRUE(opened.Ok()) << opened.detail;
        const bool trim = options.trim;
        const FrameLayout layout =
            LayOutFrame(options, trim ? c.object.width : kWidth, trim ? c.object.height : kHeight);
        const FrameBox at =
            trim ? layout.placed
                 : FrameBox{layout.placed.x + c.object.x, layout.placed.y + c.object.y,
                            c.object.width, c.object.height};
        const PictureShape& shape = framed->Shape();
        const int channels = options.flatten ? 3 : 4;
        ASSERT_EQ(std::tuple(shape.width, shape.height, shape.bitCount),
                  std::tuple(layout.width, layout.height, 8 * channels));
        const auto [red, green, blue] = options.flatten.value_or(FrameColour{0, 0, 0});
        const std::array<int, 4> backdrop{red, green, blue, 0};
        const Bytes rows = test_support::ReadAll(*framed, 7);
        for (int32_t y = 0; y < shape.height; ++y) {
            for (int32_t x = 0; x < shape.width; ++x) {
                const bool inside =
                    x >= at.x && x < at.x + at.width && y >= at.y && y < at.y + at.height;
                for (int ch = 0; ch < channels; ++ch) {
                    EXPECT_EQ(int(rows[std::size_t(y * shape.rowStride + channels * x + ch)]),
                              inside ? c.inside[std::size_t(ch)] : backdrop[std::size_t(ch)])
                        << x << "," << y << " channel " << ch;
                }
            }
        }
    }
}

// A frame resized and flattened is the resized cut-out laid on the colour, to a level:
// where the cut-out is transparent, the colour exactly. (Flattened before resampling, the
// resampler's overshoot beside a red box on dark blue had ringed it 20 levels dark.)
TEST(Framing, FlattenedIsTheCutOutLaidOnTheColour) {
    const FrameBox box{3, 4, 6, 9};
    const std::array<uint8_t, 4> red{200, 30, 40, 255};
    for (const char* size : {"size=30x48", "size=5x8"}) {
        SCOPED_TRACE(size);
        std::unique_ptr<RowSource> cut, flat;
        ASSERT_TRUE(OpenFramedSource(CutoutRows(box, red), Framing(size), cut).Ok());
        ASSERT_TRUE(OpenFramedSource(CutoutRows(box, red),
                                     Framing(std::string(size) + " flatten=#203040"), flat)
                        .Ok());
        const Bytes cutRows = test_support::ReadAll(*cut, 7),
                    flatRows = test_support::ReadAll(*flat, 7);
        const PictureShape &cutShape = cut->Shape(), &flatShape = flat->Shape();
        ASSERT_EQ(std::pair(cutShape.width, cutShape.height),
                  std::pair(flatShape.width, flatShape.height));
        const int colour[3] = {0x20, 0x30, 0x40};
        for (int32_t y = 0; y < flatShape.height; ++y) {
            for (int32_t x = 0; x < flatShape.width; ++x) {
                const uint8_t* rgba = &cutRows[std::size_t(y * cutShape.rowStride + 4 * x)];
                const uint8_t* rgb = &flatRows[std::size_t(y * flatShape.rowStride + 3 * x)];
                for (std::size_t c = 0; c < 3; ++c) {
                    const int laid = Composite(rgba[c], rgba[3], uint8_t(colour[c]));
                    ASSERT_LE(std::abs(int(rgb[c]) - laid), rgba[3] == 0 ? 0 : 1)
                        << x << "," << y << " channel " << c;
                }
            }
        }
    }
}

// Padded rows of 33 pixels, and a single pixel; from quality 90 the colours keep their full
// resolution.
TEST(Framing, JpegSinkWritesTheSizeAndSamplingAsked) {
    const test_support::ScratchFolder folder;
    for (const auto [width, height, quality, sampling] :
         {std::array{33, 17, 90, 444}, std::array{1, 1, 89, 420}}) {
        const PictureShape shape = DecodedShape(width, height);
        Bytes rows(std::size_t(shape.pixelBytes));
        for (std::size_t at = 0; at < rows.size(); ++at) {
            rows[at] = std::array<uint8_t, 3>{200, 60, 30}[at % std::size_t(shape.rowStride) % 3];
        }
        std::unique_ptr<RowSink> sink;
        ASSERT_TRUE(CreatePictureSink(folder / "out.jpg", PictureFormat::Jpeg, shape, nullptr, sink,
                                      {.quality = quality})
                        .Ok());
        ASSERT_TRUE(sink->Write(rows.data(), rows.size()).Ok());
        ASSERT_TRUE(sink->Commit().Ok());
        const auto jpeg = test_support::DecodeJpeg(test_support::ReadWholeFile(folder / "out.jpg"));
        EXPECT_EQ(std::tuple(jpeg.width, jpeg.height, jpeg.sampling),
                  std::tuple(width, height, sampling));
        EXPECT_NEAR(jpeg.rgb[0], 200, 3) << "red first";
    }
}

}  // namespace
}  // namespace zel7
