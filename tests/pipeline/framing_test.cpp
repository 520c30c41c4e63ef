#include "engine/framing.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "encoders.h"
#include "engine/resampler.h"
#include "formats/picture_files.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using test_support::Bytes;

FramingOptions Frame(bool trim, std::optional<FrameMargin> margin = {},
                     std::optional<FrameSize> aspect = {}, std::optional<FrameSize> size = {}) {
    return {trim, margin, aspect, size, std::nullopt};
}
const FrameMargin kTenPixels{false, 0, 10}, kTenPercent{true, 0.10, 0};

TEST(Framing, LayoutPlacesTheBoxInItsFrame) {
    const struct {
        const char* name;
        FramingOptions options;
        int32_t boxWidth, boxHeight;
        FrameLayout expected;
    } cases[] = {
        {"trim only", Frame(true), 30, 20, {30, 20, {0, 0, 30, 20}}},
        {"margin in pixels", Frame(true, kTenPixels), 30, 20, {50, 40, {10, 10, 30, 20}}},
        {"margin as a share", Frame(true, kTenPercent), 80, 40, {100, 50, {10, 5, 80, 40}}},
        {"square pads the height",
         Frame(true, {}, FrameSize{1, 1}),
         30,
         20,
         {30, 30, {0, 5, 30, 20}}},
        {"square, odd padding", Frame(true, {}, FrameSize{1, 1}), 21, 30, {30, 30, {4, 0, 21, 30}}},
        {"4:3 pads the width", Frame(true, {}, FrameSize{4, 3}), 40, 40, {53, 40, {6, 0, 40, 40}}},
        {"1:2 pads the height",
         Frame(true, {}, FrameSize{1, 2}),
         40,
         40,
         {40, 80, {0, 20, 40, 40}}},
        {"the shop's picture",
         Frame(true, FrameMargin{true, 0.075, 0}, FrameSize{1, 1}, FrameSize{2000, 2000}),
         3000,
         1500,
         {2000, 2000, {150, 575, 1700, 850}}},
        {"size shrinks",
         Frame(false, {}, {}, FrameSize{100, 100}),
         300,
         150,
         {100, 50, {0, 0, 100, 50}}},
        {"size enlarges",
         Frame(false, {}, {}, FrameSize{500, 500}),
         50,
         25,
         {500, 250, {0, 0, 500, 250}}},
        {"odd size, pixel margin",
         Frame(true, FrameMargin{false, 0, 1}, {}, FrameSize{7, 5}),
         13,
         13,
         {5, 5, {1, 1, 3, 3}}},
        {"share margin in a size",
         Frame(true, kTenPercent, {}, FrameSize{200, 100}),
         50,
         50,
         {100, 100, {10, 10, 80, 80}}},
        {"one pixel to a square",
         Frame(true, FrameMargin{false, 0, 5}, FrameSize{1, 1}, FrameSize{100, 100}),
         1,
         1,
         {100, 100, {5, 5, 90, 90}}},
        {"a line keeps a pixel",
         Frame(true, {}, FrameSize{1, 1}, FrameSize{3, 3}),
         1000,
         1,
         {3, 3, {0, 1, 3, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameLayout layout = LayOutFrame(c.options, c.boxWidth, c.boxHeight);
        EXPECT_EQ(layout.width, c.expected.width);
        EXPECT_EQ(layout.height, c.expected.height);
        EXPECT_EQ(layout.placed, c.expected.placed);
    }
}

TEST(Framing, ReductionLeavesTheObjectAtLeastItsPlacedSize) {
    const FramingOptions shop =
        Frame(true, FrameMargin{true, 0.075, 0}, FrameSize{1, 1}, FrameSize{2000, 2000});
    const struct {
        FramingOptions options;
        FrameBox probed;  // at an eighth
        int expected;
    } cases[] = {
        {shop, {0, 0, 427, 397}, 2},  // 3416 pixels across: at a half, 1708 for 1700
        {shop, {0, 0, 200, 200}, 1},  // 1600 pixels: not even whole
        {shop, {0, 0, 900, 900}, 4},
        {shop, {0, 0, 1800, 100}, 8},
        {shop, {0, 0, 0, 0}, 1},             // nothing seen
        {Frame(true), {0, 0, 900, 900}, 1},  // no size: the whole picture
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FrameReduction(c.options, c.probed, 8), c.expected) << c.probed.width;
    }
}

// A cut-out of transparent pixels with an object rectangle of one colour and alpha.
class CutoutRows : public RowSource {
public:
    CutoutRows(int32_t width, int32_t height, FrameBox object, std::array<uint8_t, 4> pixel) {
        shape_ = {width, height, 32, 4 * width, 4 * width * height};
        rows_.assign(std::size_t(shape_.pixelBytes), 0);
        for (int32_t y = object.y; y < object.y + object.height; ++y) {
            for (int32_t x = object.x; x < object.x + object.width; ++x) {
                std::memcpy(&rows_[std::size_t(4 * (y * width + x))], pixel.data(), 4);
            }
        }
    }
    const PictureShape& Shape() const override { return shape_; }
    Result Read(uint8_t* into, std::size_t size) override {
        std::memcpy(into, rows_.data() + done_, size);
        done_ += size;
        return {};
    }

private:
    PictureShape shape_;
    Bytes rows_;
    std::size_t done_ = 0;
};

// The framed rows, read in pieces that do not divide them, packed (no row padding).
Bytes ReadFramed(std::unique_ptr<RowSource>& framed) {
    const PictureShape& shape = framed->Shape();
    Bytes rows(std::size_t(shape.pixelBytes)), packed;
    for (std::size_t at = 0; at < rows.size(); at += 7) {
        EXPECT_TRUE(
            framed->Read(rows.data() + at, std::min<std::size_t>(7, rows.size() - at)).Ok());
    }
    const auto bytes = std::size_t(shape.width * shape.bitCount / 8);
    for (int32_t y = 0; y < shape.height; ++y) {
        packed.insert(packed.end(), rows.begin() + y * shape.rowStride,
                      rows.begin() + y * shape.rowStride + std::ptrdiff_t(bytes));
    }
    return packed;
}

TEST(Framing, TrimCropsToTheObjectsBoxAndMarginsPadIt) {
    const struct {
        FrameBox object;
        uint8_t alpha;
    } cases[] = {
        {{3, 2, 5, 4}, 255},  {{0, 0, 1, 1}, 255},  {{11, 8, 1, 1}, 1},
        {{0, 0, 12, 9}, 255}, {{0, 4, 12, 1}, 128},
    };
    for (const auto& [object, alpha] : cases) {
        SCOPED_TRACE(std::to_string(object.x) + "," + std::to_string(object.y));
        for (const int32_t margin : {0, 3}) {
            std::unique_ptr<RowSource> framed;
            ASSERT_TRUE(
                OpenFramedSource(std::make_unique<CutoutRows>(
                                     12, 9, object, std::array<uint8_t, 4>{90, 150, 210, alpha}),
                                 Frame(true, FrameMargin{false, 0, margin}), framed)
                    .Ok());
            ASSERT_EQ(framed->Shape().width, object.width + 2 * margin);
            ASSERT_EQ(framed->Shape().height, object.height + 2 * margin);
            const Bytes rows = ReadFramed(framed);
            for (int32_t y = 0; y < framed->Shape().height; ++y) {
                for (int32_t x = 0; x < framed->Shape().width; ++x) {
                    const bool inside = x >= margin && x < margin + object.width && y >= margin &&
                                        y < margin + object.height;
                    const uint8_t* pixel = &rows[std::size_t(4 * (y * framed->Shape().width + x))];
                    // Premultiplied and back: exact at full alpha, within a level at half.
                    const std::array<int, 4> expected =
                        inside ? std::array<int, 4>{90, 150, 210, alpha} : std::array<int, 4>{};
                    for (int c = 0; c < 4; ++c) {
                        EXPECT_NEAR(pixel[c], expected[std::size_t(c)], alpha >= 128 ? 1 : 255)
                            << x << "," << y << " channel " << c;
                    }
                }
            }
        }
    }
}

TEST(Framing, FlattenCompositesOverTheColour) {
    const FrameColour white{255, 255, 255}, black{0, 0, 0}, blue{0x33, 0x66, 0x99};
    const struct {
        uint8_t alpha;
        FrameColour colour;
        std::array<uint8_t, 3> expected;  // of a grey 200 (alpha 0, 255) or 100 (alpha 128)
    } cases[] = {
        {0, white, {255, 255, 255}},   {255, white, {200, 200, 200}}, {128, white, {177, 177, 177}},
        {0, black, {0, 0, 0}},         {255, black, {200, 200, 200}}, {128, black, {50, 50, 50}},
        {0, blue, {0x33, 0x66, 0x99}}, {255, blue, {200, 200, 200}},  {128, blue, {76, 101, 126}},
    };
    for (const auto& c : cases) {
        const uint8_t grey = c.alpha == 128 ? 100 : 200;
        // Alone, row for row; and with a margin, where the padding takes the colour too.
        for (const bool reshaped : {false, true}) {
            SCOPED_TRACE(std::to_string(c.alpha) + (reshaped ? " reshaped" : " alone"));
            FramingOptions options =
                Frame(false, reshaped ? std::optional(FrameMargin{false, 0, 1}) : std::nullopt);
            options.flatten = c.colour;
            std::unique_ptr<RowSource> framed;
            ASSERT_TRUE(OpenFramedSource(std::make_unique<CutoutRows>(
                                             5, 3, FrameBox{1, 1, 3, 1},
                                             std::array<uint8_t, 4>{grey, grey, grey, c.alpha}),
                                         options, framed)
                            .Ok());
            ASSERT_EQ(framed->Shape().bitCount, 24);
            const Bytes rows = ReadFramed(framed);
            const int32_t width = framed->Shape().width, at = reshaped ? 2 : 1;
            for (int ch = 0; ch < 3; ++ch) {
                EXPECT_EQ(rows[std::size_t(3 * (at * width + at + 1) + ch)],
                          c.expected[std::size_t(ch)]);
                const uint8_t backdrop = ch == 0   ? c.colour.red
                                         : ch == 1 ? c.colour.green
                                                   : c.colour.blue;
                EXPECT_EQ(rows[std::size_t(ch)], backdrop) << "the corner";
            }
        }
    }
}

TEST(Framing, AnAllTransparentCutoutIsNotTrimmed) {
    std::unique_ptr<RowSource> framed;
    const Result result =
        OpenFramedSource(std::make_unique<CutoutRows>(6, 4, FrameBox{}, std::array<uint8_t, 4>{}),
                         Frame(true), framed);
    EXPECT_EQ(result.status, Status::UnsupportedPicture);
    EXPECT_NE(result.detail.find("nothing to frame"), std::string::npos);
}

// A flat plane stays flat at every level, shrunk, enlarged or to odd sizes: no range
// conversion nor rounding drift on the way.
TEST(Framing, ResamplerKeepsFlatPlanesFlat) {
    const struct {
        int32_t fromWidth, fromHeight, toWidth, toHeight;
    } sizes[] = {{64, 48, 32, 24}, {30, 20, 45, 31}, {101, 7, 13, 3}, {5, 5, 200, 1}};
    for (const auto& size : sizes) {
        for (const uint8_t level : {0, 1, 16, 127, 128, 235, 254, 255}) {
            SCOPED_TRACE(std::to_string(size.toWidth) + " level " + std::to_string(level));
            Resampler resampler;
            ASSERT_TRUE(
                resampler.Open(size.fromWidth, size.fromHeight, size.toWidth, size.toHeight, 2)
                    .Ok());
            const Bytes rows(std::size_t(size.fromWidth) * 3, level);
            const uint8_t* band[2] = {rows.data(), rows.data()};
            for (int32_t y = 0; y < size.fromHeight; y += 3) {
                ASSERT_TRUE(
                    resampler.Feed(band, size.fromWidth, std::min(3, size.fromHeight - y)).Ok());
            }
            for (int p = 0; p < 2; ++p) {
                const uint8_t* plane = resampler.Plane(p);
                const auto count = std::size_t(size.toWidth) * std::size_t(size.toHeight);
                EXPECT_EQ(std::count(plane, plane + count, level), std::ptrdiff_t(count));
            }
        }
    }
}

TEST(Framing, JpegSinkWritesTheSizeAndSamplingAsked) {
    const test_support::ScratchFolder folder;
    const struct {
        int32_t width, height;
        int quality, sampling;
    } cases[] = {{33, 17, 90, 444}, {33, 17, 75, 420}, {1, 1, 1, 420}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.quality));
        const std::filesystem::path path = folder.Path() / "out.jpg";
        const PictureShape shape{c.width, c.height, 24, RowStride(c.width, 24),
                                 RowStride(c.width, 24) * c.height};
        Bytes rows(std::size_t(shape.pixelBytes));
        for (int32_t y = 0; y < c.height; ++y) {
            for (int32_t x = 0; x < c.width; ++x) {
                uint8_t* pixel = &rows[std::size_t(y * shape.rowStride + 3 * x)];
                pixel[0] = 200, pixel[1] = 60, pixel[2] = 30;
            }
        }
        std::unique_ptr<RowSink> sink;
        ASSERT_TRUE(CreatePictureSink(path, PictureFormat::Jpeg, shape, nullptr, sink,
                                      {.quality = c.quality})
                        .Ok());
        ASSERT_TRUE(sink->Write(rows.data(), rows.size()).Ok());
        ASSERT_TRUE(sink->Commit().Ok());
        const test_support::DecodedJpeg jpeg =
            test_support::DecodeJpeg(test_support::ReadWholeFile(path));
        EXPECT_EQ(jpeg.width, c.width);
        EXPECT_EQ(jpeg.height, c.height);
        EXPECT_EQ(jpeg.sampling, c.sampling);
        if (c.quality >= 75) {
            EXPECT_NEAR(jpeg.rgb[0], 200, 3) << "red";
        }
    }
}

}  // namespace
}  // namespace zel7
