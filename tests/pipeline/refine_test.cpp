// The refining passes: the backdrop measured from a frame as a unit; whole pictures through
// MaskArray where only one decision tells them apart (edge pixels unmixed, each option's
// wiring); and the region labeller's decisions against a flood fill of the same rules, on
// shapes that stress the merging of runs (its refusal past the run limit is MaskArray's,
// in the stripes' row).
#include "refine/refine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <queue>
#include <random>
#include <ranges>
#include <string>
#include <vector>

#include "engine/mask_file.h"
#include "engine/pixel_arrays.h"
#include "refine/backdrop.h"
#include "refine/edges.h"
#include "refine/gaps.h"
#include "refine/regions.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using Colour = std::array<uint8_t, 3>;  // blue, green, red
using Picture = Colour (*)(int32_t x, int32_t y);
constexpr Background kNearWhite = Background::NearWhite;

// colour with each channel off by up to noise, evenly spread over the pixels.
Colour Noisy(Colour colour, int noise, int32_t x, int32_t y) {
    for (uint32_t c = 0; c < 3; ++c) {
        const uint32_t hash = (uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ c * 83492791u);
        colour[c] = uint8_t(colour[c] + int(hash * 2654435761u >> 16) % (2 * noise + 1) - noise);
    }
    return colour;
}

// Scattered light colours, none of them near the medians of the others.
Colour Tiles(int32_t x, int32_t y) {
    constexpr Colour kTiles[] = {
        {224, 224, 255}, {255, 240, 224}, {224, 255, 255}, {255, 255, 216}};
    return kTiles[2 * (y % 2) + x % 2];
}

// The histogram's window: 27 pixels of a grey around 168, one in each bin of a 3 x 3 x 3
// block, against 22 of one bin (216, 232, 232) and 1 beside it in the top bins of green and
// red, then two bins of 6 that are no grey. Only the block's middle bin, whose window holds
// all 27, outweighs the 23 of the others; a window one bin narrower on any side holds 18
// of the block and still all 22, and one reaching past the top bin of green or red adds 6
// that lie in the next row of the histogram.
Colour Window(int32_t x, int32_t) {
    constexpr uint8_t kLevels[] = {152, 168, 184};
    return x < 27   ? Colour{kLevels[x % 3], kLevels[x / 3 % 3], kLevels[x / 9]}
           : x < 49 ? Colour{216, 232, 232}
           : x < 50 ? Colour{216, 250, 250}
           : x < 56 ? Colour{232, 8, 250}
                    : Colour{232, 8, 8};
}

// The backdrop measured on frames of a known colour and noise, the object (if any) over
// their lower two thirds, or of a picture: the commonest near-white or near-black of the
// frame, even where the object covers most of it, and a tolerance within bounds; on a
// side known, said when none is near it.
TEST(Refine, BackdropIsTheCommonestNearWhiteOrBlackOfTheFrame) {
    const struct {
        const char* name;
        Colour colour;
        int noise, leastTolerance, mostTolerance;
        std::optional<Colour> object = {};
        std::optional<Background> side = {};
        Picture picture = nullptr;  // or the colour with noise
        int32_t width = 60, height = 45;
        int slack = 1;
        bool offSide = false;
    } cases[] = {
        {"clean white", {250, 248, 245}, 0, 12, 12},
        {"noisy white", {240, 240, 236}, 6, 14, 30},
        {"noisy black", {12, 10, 14}, 3, 12, 20},
        {"white, mostly dark blue", {246, 246, 246}, 2, 12, 14, {{120, 40, 40}}},
        {"white asked for, black too", {247, 247, 247}, 1, 12, 12, {{5, 5, 5}}, kNearWhite},
        {.name = "black asked for, white only",
         .colour = {247, 247, 247},
         .noise = 1,
         .leastTolerance = 12,
         .mostTolerance = 12,
         .side = Background::NearBlack,
         .offSide = true},
        // At least 216 in every channel.
        {"scattered, 40 x 40", {240, 240, 240}, 0, 12, 60, {}, {}, Tiles, 40, 40, 24},
        {"histogram window", {168, 168, 168}, 0, 60, 60, {}, {}, Window, 62, 1, 0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        BorderSample border(test.width, test.height);
        for (int32_t y = 0; y < test.height; ++y) {
            std::vector<uint8_t> row;
            for (int32_t x = 0; x < test.width; ++x) {
                const Colour colour = test.picture != nullptr ? test.picture(x, y)
                                      : test.object && y >= 15
                                          ? *test.object
                                          : Noisy(test.colour, test.noise, x, y);
                row.insert(row.end(), colour.begin(), colour.end());
            }
            border.AddRow(y, row.data());
        }
        bool offSide = !test.offSide;
        const zel7::Backdrop found = border.Estimate(test.side, &offSide);
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(found.colour[c], test.colour[c], test.slack) << "channel " << c;
        }
        EXPECT_EQ(offSide, test.offSide);
        EXPECT_GE(found.tolerance, test.leastTolerance);
        EXPECT_LE(found.tolerance, test.mostTolerance);
    }
}

// A frame drawn around a 200 x 160 picture (and one 64 wide), a margin in from the edges or,
// on a side known, at them: found on every side, lines blended with its neighbours included,
// and the backdrop then measured inside it (a grey frame at the edge of a white one passed for
// the backdrop). What only looks like one is not: a line along three sides, sides of two
// colours, a product a few pixels in from every edge (its blurred outline was taken for a
// frame, and the product painted over whole), a rule wider than a frame, a sweep darker at its
// edges, a vignette falling sharply there.
TEST(Refine, FrameDrawnAroundThePictureIsFoundAndTheBackdropMeasuredInsideIt) {
    constexpr int32_t kWide = 200, kHigh = 160;
    // Pictures drawn at x, y rather than by how far in from the edge.
    using Level = std::function<int(int32_t d, int32_t x, int32_t y)>;
    const Level threeSides = [](int32_t d, int32_t, int32_t y) {
        return (d == 4 || d == 5) && y < kHigh - 6 ? 70 : 245;
    };
    const Level twoColours = [](int32_t d, int32_t, int32_t y) {
        return d == 4 || d == 5 ? (y < 6 ? 70 : 160) : 245;
    };
    const Level sweep = [](int32_t, int32_t x, int32_t y) {
        return 250 - int(std::hypot(x - kWide / 2, y - kHigh / 2)) / 4;
    };
    const struct {
        const char* name;
        int32_t reach;  // 0: no frame
        // The colour of a pixel d in from its nearest edge, the last for every d past them;
        // or, when given, level's at x, y.
        std::vector<int> levels;
        std::optional<Background> side = {};
        int32_t width = kWide, height = kHigh;
        Level level = {};
    } cases[] = {
        {"grey rule two pixels wide, four in", 6, {245, 245, 245, 245, 70, 70, 245}},
        {"black hairline one in, blended", 3, {245, 20, 150, 245}},
        {"light grey rule at the edge of the border sample", 4, {245, 245, 200, 200, 245}},
        {"a hairline in a picture 64 wide", 3, {245, 70, 70, 245}, {}, 64, 300},
        {"grey rule at the edges, on white", 2, {200, 200, 245}, kNearWhite},
        {"white rule at the edges, on black", 1, {235, 10}, Background::NearBlack},
        {"grey rule at the edges, the side unknown", 0, {200, 200, 245}},
        {"product three in from the edges, on white", 0, {245, 245, 245, 90}, kNearWhite},
        {"grey rule, both its edges blended", 8, {245, 245, 245, 245, 190, 40, 40, 190, 245}},
        {"grey rule ringing darker on its inner line", 6, {245, 245, 245, 245, 70, 50, 245}},
        {"product four in, outline blurred over two lines", 0, {245, 245, 245, 245, 200, 120, 60}},
        {"border darkening steeply to the edges, on white",
         0,
         {100, 140, 180, 220, 250},
         kNearWhite},
        {"product four in, its outline blurred", 0, {245, 245, 245, 245, 150, 60}},
        {"the same, on white", 0, {245, 245, 245, 245, 150, 60}, kNearWhite},
        {"vignette falling sharply at the edges",
         0,
         {130, 142, 154, 166, 178, 190, 202, 214, 226, 238, 250},
         kNearWhite},
        {"none", 0, {245}},
        {"three sides", 0, {}, {}, kWide, kHigh, threeSides},
        {"two colours", 0, {}, {}, kWide, kHigh, twoColours},
        {"product filling the picture", 0, {245, 245, 245, 90}},
        {"rule eight wide", 0, {245, 245, 70, 70, 70, 70, 70, 70, 70, 70, 245}},
        {"sweep", 0, {}, {}, kWide, kHigh, sweep},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const int32_t width = test.width, height = test.height;
        BorderSample border(width, height);
        std::vector<uint8_t> row(3 * std::size_t(width));
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                const int32_t d = std::min({x, y, width - 1 - x, height - 1 - y});
                const Colour noise = Noisy({2, 2, 2}, 2, x, y);  // 0 to 4
                const int level =
                    test.level ? test.level(d, x, y)
                               : test.levels[std::min(std::size_t(d), test.levels.size() - 1)];
                for (std::size_t c = 0; c < 3; ++c) {
                    row[3 * std::size_t(x) + c] = uint8_t(std::clamp(level + noise[c] - 2, 0, 255));
                }
            }
            border.AddRow(y, row.data());
        }
        const DrawnFrame frame = border.LookInsideFrame(test.side);
        EXPECT_EQ(frame.top, test.reach);
        EXPECT_EQ(frame.bottom, test.reach);
        EXPECT_EQ(frame.left, test.reach);
        EXPECT_EQ(frame.right, test.reach);
        if (test.reach > 0) {
            const zel7::Backdrop found = border.Estimate(test.side);
            EXPECT_NEAR(found.colour[1], test.side == Background::NearBlack ? 10 : 245, 2);
            EXPECT_LE(found.tolerance, 14);
        }
    }
}

// An edge pixel (3, 3) of a 7 x 7 window, JPEG's band of two pixels, is mixed of the
// object's own colour: of a textured object's typical colour past the band (light and dark
// scales in 2 x 2 blocks), not a third of its lightest scales' contrast; of a dark rim
// within the band, past which the object lies within a few levels of the backdrop (a pale
// label) or far nearer it than the rim (a light body); and of a thin part's core, past
// which the window sees only the far side's blend, a quarter object.
TEST(Refine, EdgePixelsAreMixedOfTheObjectsOwnColour) {
    struct Case {
        const char* what;
        uint8_t backdrop;
        int own, alpha;
        std::function<int(int32_t x, int32_t y)> level;  // -1 for the backdrop
    };
    // The backdrop left of the edge pixel, half of it own, and past it what beyond gives.
    const auto rim = [](int backdrop, int own, std::function<int(int32_t x, int32_t y)> beyond) {
        return [=](int32_t x, int32_t y) {
            return x < 3 ? -1 : x == 3 ? (backdrop + own) / 2 : beyond(x, y);
        };
    };
    const auto scales = [](int light, int dark) {
        return [=](int32_t x, int32_t y) { return (x / 2 + y / 2) % 2 == 0 ? light : dark; };
    };
    const auto past = [](int first, int rest) {
        return [=](int32_t x, int32_t) { return x == 4 ? first : rest; };
    };
    const Case cases[] = {
        {"scales on black", 10, 155, 128, rim(10, 155, scales(200, 110))},
        {"scales on white", 245, 105, 128, rim(245, 105, scales(150, 60))},
        {"pale label past a dark rim", 245, 60, 128, rim(245, 60, past(60, 242))},
        {"light body past a dark rim", 250, 50, 128, rim(250, 50, past(50, 190))},
        {"thin part", 245, 60, 64,
         [](int32_t x, int32_t y) {
             const bool backdrop = y < 3 || (y == 3 && x == 6) || (y == 6 && x < 3);
             return backdrop ? -1 : y == 3 || y == 6 ? (3 * 245 + 60) / 4 : 60;
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        RowWindow window(7, 7, 24);
        for (int32_t y = 0; y < 7; ++y) {
            for (int32_t x = 0; x < 7; ++x) {
                const int level = test.level(x, y);
                std::fill_n(window.Colours(y) + 3 * x, 3,
                            uint8_t(level < 0 ? test.backdrop : level));
                window.Coverage(y)[x] = level < 0 ? 0 : 255;
            }
        }
        const zel7::Backdrop backdrop{{test.backdrop, test.backdrop, test.backdrop}, 3};
        uint8_t rgb[3]{};
        EXPECT_NEAR(EdgeAlpha(window, 3, 3, backdrop, rgb), test.alpha, 12);
        EXPECT_NEAR(rgb[1], test.own, 12);
    }
}

// The window holds a stripe's rows and a reach of rows either side at once, as the last
// pass takes them: each stripe's rows decoded to a reach past its end, over rows no
// longer needed, whatever the band, the stripe and the height (a row short, one was lost).
TEST(Refine, RowWindowHoldsAStripeAndAReachEitherSide) {
    for (const int32_t band : {1, 2, kMostEdge}) {
        for (const int32_t stripe : {1, 3, 64}) {
            for (const int32_t height : {1, 5, 64, 65, 200}) {
                SCOPED_TRACE(std::to_string(band) + " band, " + std::to_string(stripe) +
                             " stripe, " + std::to_string(height) + " rows");
                RowWindow window(4, height, 12, band, stripe);
                const auto mark = [](int32_t y) { return uint8_t(y % 251 + 1); };
                int32_t decoded = 0;
                for (int32_t top = 0; top < height; top += stripe) {
                    const int32_t end = std::min(top + stripe, height);
                    const int32_t needed = std::min(end + window.Reach(), height);
                    for (; decoded < needed; ++decoded) {
                        std::fill_n(window.Colours(decoded), 12, mark(decoded));
                        std::fill_n(window.Coverage(decoded), 4, mark(decoded));
                    }
                    for (int32_t y = std::max(top - window.Reach(), 0); y < needed; ++y) {
                        ASSERT_EQ(window.Colours(y)[11], mark(y)) << "row " << y;
                        ASSERT_EQ(window.Coverage(y)[3], mark(y)) << "row " << y;
                    }
                }
            }
        }
    }
}

// The edge pixels are those with background within band rows and columns, as the rows
// go by in order, or after one skipped: on scattered background, at both bands and at
// widths of a pixel and more.
TEST(Refine, EdgeFinderMarksPixelsWithinBandOfBackground) {
    constexpr int32_t kHeight = 30;
    std::mt19937 random(7);
    for (const int32_t band : {kEdge, kMostEdge}) {
        for (const int32_t width : {1, 37}) {
            SCOPED_TRACE(testing::Message() << "band " << band << ", width " << width);
            std::vector<std::vector<uint8_t>> coverage(kHeight,
                                                       std::vector<uint8_t>(std::size_t(width)));
            for (auto& row : coverage) {
                for (uint8_t& pixel : row) {
                    pixel = random() % 7 == 0 ? 0 : 255;
                }
            }
            RowWindow window(width, kHeight, 3 * width, band);
            EdgeFinder finder(width, band);
            std::vector<uint8_t> edge;
            int32_t wrong = 0, decoded = 0;
            for (int32_t y = 0; y < kHeight; ++y) {
                for (; decoded < std::min(y + window.Reach() + 1, kHeight); ++decoded) {
                    std::copy(coverage[std::size_t(decoded)].begin(),
                              coverage[std::size_t(decoded)].end(), window.Coverage(decoded));
                }
                if (y == 10) {
                    continue;  // (the next row is counted afresh)
                }
                finder.Find(window, y, edge);
                for (int32_t x = 0; x < width; ++x) {
                    bool near = false;
                    for (int32_t yy = std::max(y - band, 0); yy <= std::min(y + band, kHeight - 1);
                         ++yy) {
                        for (int32_t xx = std::max(x - band, 0);
                             xx <= std::min(x + band, width - 1); ++xx) {
                            near = near || coverage[std::size_t(yy)][std::size_t(xx)] == 0;
                        }
                    }
                    wrong += (edge[std::size_t(x)] != 0) != near;
                }
            }
            EXPECT_EQ(wrong, 0);
        }
    }
}

// The colours kept for a two-tone mask's edges: those within kNear of a change of class
// (marked on the left or lower of its two pixels), found by brute force here around a
// square and a lone pixel, and those asked for besides; every other pixel black, and none
// past the bound. That they are all an edge needs, studio_test's masks show: each is the
// same as its cut-out's alpha, whose colours are decoded again.
TEST(Refine, EdgeColoursAreKeptNearChangesOfClass) {
    constexpr int32_t kSide = 40, kNear = 2 * kEdge + 1, kWindow = 2 * kNear + 1;
    const auto object = [](int32_t x, int32_t y) {
        return (x >= 5 && x < 25 && y >= 5 && y < 25) || (x == 35 && y == 35);
    };
    const auto marked = [&](int32_t x, int32_t y) {
        return x >= 0 && y >= 0 && x < kSide && y < kSide &&
               ((x + 1 < kSide && object(x, y) != object(x + 1, y)) ||
                (y > 0 && object(x, y) != object(x, y - 1)));
    };
    EdgeColours kept(kSide, kSide, 1 << 20), bounded(kSide, kSide, 100);
    for (int32_t y = 0; y < kSide; ++y) {
        std::vector<uint8_t> bgr(3 * kSide), classes(kSide);
        for (int32_t x = 0; x < kSide; ++x) {
            std::fill_n(&bgr[3 * std::size_t(x)], 3, uint8_t(1 + x + y));
            classes[std::size_t(x)] = !object(x, y);
        }
        std::vector<uint8_t> also(kSide);
        also[35] = y == 2;  // a pixel asked for besides, far from any change
        kept.AddRow(y, bgr.data(), classes.data(), also.data());
        bounded.AddRow(y, bgr.data(), classes.data());
    }
    ASSERT_TRUE(kept.Complete() && !bounded.Complete());
    for (int32_t y = 0; y < kSide; ++y) {
        std::vector<uint8_t> row(3 * kSide);
        kept.FillRow(y, row.data());
        for (int32_t x = 0; x < kSide; ++x) {
            const bool near = std::ranges::any_of(
                std::views::iota(0, kWindow * kWindow),
                [&](int i) { return marked(x - kNear + i % kWindow, y - kNear + i / kWindow); });
            EXPECT_EQ(row[3 * std::size_t(x)], near || (x == 35 && y == 2) ? 1 + x + y : 0)
                << x << ", " << y;
        }
    }
}

// Each row's colours come back whole wherever the chunks they are kept in fill: a row
// filling one exactly, an empty row after it, rows that would straddle two; and past the
// bound the colours alone reach (few spans), nothing is kept. Pixels are kept as asked
// for besides, on a picture of one class: a row's given as how many, from the left.
TEST(Refine, EdgeColoursComeBackWholeAcrossTheirChunks) {
    constexpr int32_t kWidth = 10;
    const std::vector<int32_t> kept = {10, 5, 0, 4, 10, 2};
    const auto height = int32_t(kept.size());
    const auto colour = [](int32_t x, int32_t y) { return uint8_t(1 + 7 * x + 31 * y); };
    struct Bound {
        std::size_t mostBytes;
        bool complete;
    };
    // (93 bytes of colours in 5 spans of 8 bytes: 133 in all, once the last row is in)
    for (const Bound& bound : {Bound{200, true}, Bound{133, true}, Bound{132, false}}) {
        SCOPED_TRACE(bound.mostBytes);
        EdgeColours colours(kWidth, height, bound.mostBytes, kEdge, 15 * 3);
        std::vector<uint8_t> bgr(3 * kWidth), classes(kWidth, 1), also(kWidth);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                std::fill_n(&bgr[3 * std::size_t(x)], 3, colour(x, y));
                also[std::size_t(x)] = x < kept[std::size_t(y)];
            }
            colours.AddRow(y, bgr.data(), classes.data(), also.data());
        }
        ASSERT_EQ(colours.Complete(), bound.complete);
        for (int32_t y = 0; y < height && bound.complete; ++y) {
            colours.FillRow(y, bgr.data());
            for (int32_t x = 0; x < kWidth; ++x) {
                EXPECT_EQ(bgr[3 * std::size_t(x) + 1], x < kept[std::size_t(y)] ? colour(x, y) : 0)
                    << x << ", " << y;
            }
        }
    }
}

// Breaks of a pixel in an outline, each way, are closed; wider ones, shadows' pixels and
// the frame are not. Pictures drawn with '#' object, '.' backdrop and 's' a shadow's pixel,
// the expected closing with '+' a pixel closed, then run at their width and beside a plain
// stretch as wide again as a vector of the widest build (the closing's vector code).
TEST(OutlineGaps, ClosesBreaksOfOnePixelAndNoOthers) {
    struct Case {
        const char* what;
        std::vector<std::string> drawn, closed;
    };
    const Case cases[] = {
        {"across", {"#.#", "...", "#.#"}, {"#+#", "+++", "#+#"}},
        {"down a diagonal", {"#..", "...", "..#"}, {"#..", ".+.", "..#"}},
        {"up a diagonal", {"..#", "...", "#.."}, {"..#", ".+.", "#.."}},
        {"two wide", {"#..#", "#..#"}, {"#..#", "#..#"}},
        {"a shadow's", {"#s#", "s.s", "#s#"}, {"#s#", "s+s", "#s#"}},
        {"at the frame", {"#...#", ".....", "#...#"}, {"#...#", "+...+", "#...#"}},
    };
    for (const Case& c : cases) {
        for (const std::size_t padding : {std::size_t{0}, std::size_t{67}}) {
            const std::size_t width = c.drawn[0].size() + padding;
            OutlineGaps gaps{int32_t(width)};
            std::vector<std::string> got;
            const auto take = [&](const uint8_t* row) {
                if (row != nullptr) {
                    got.emplace_back(width, '.');
                    std::transform(row, row + width, got.back().begin(),
                                   [](uint8_t b) { return b == 0 ? '#' : '.'; });
                }
            };
            for (const std::string& drawn : c.drawn) {
                std::vector<uint8_t> classes(width, 1);
                std::transform(drawn.begin(), drawn.end(), classes.begin(), [](char p) {
                    return p == '#' ? uint8_t{0} : p == 's' ? OutlineGaps::kShadow : uint8_t{1};
                });
                take(gaps.Add(classes.data()));
            }
            take(gaps.Last());
            for (std::size_t y = 0; y < c.closed.size(); ++y) {
                std::string expected = c.closed[y] + std::string(padding, '.');
                std::replace(expected.begin(), expected.end(), '+', '#');
                std::replace(expected.begin(), expected.end(), 's', '.');
                EXPECT_EQ(got.at(y), expected)
                    << c.what << ", row " << y << ", padding " << padding;
            }
        }
    }
}

// A picture of a colour, with rectangles of others over it in turn, each from (x0, y0) to
// before (x1, y1), in every column or every other.
struct Drawn {
    int32_t width, height;
    Colour colour;
    struct Rectangle {
        int32_t x0, y0, x1, y1;
        Colour colour;
        int32_t step = 1;
    };
    std::vector<Rectangle> over = {};

    std::vector<uint8_t> Rgb() const {
        std::vector<Colour> pixels(std::size_t(width * height), colour);
        for (const Rectangle& r : over) {
            for (int32_t y = r.y0; y < r.y1; ++y) {
                for (int32_t x = r.x0; x < r.x1; x += r.step) {
                    pixels[std::size_t(y * width + x)] = r.colour;
                }
            }
        }
        return {&pixels[0][0], &pixels[0][0] + 3 * pixels.size()};
    }
};

// Each option at the pixels it is about, read through the library's table as both front
// ends read theirs: whole pictures where one decision tells them apart, and one with more
// runs than the labels may hold, through MaskArray.
TEST(Refine, EachOptionActsOnThePixelsItIsAbout) {
    constexpr Colour kBackdrop{250, 250, 250}, kRedOne{200, 40, 40}, kGrey{150, 150, 150};
    constexpr Colour kWhite{255, 255, 255}, kCrimson{200, 30, 60}, kRim{225, 140, 155};
    // A 16 x 16 square of the backdrop's colour, or three levels off it, in a red one.
    const Drawn hole{40, 40, kBackdrop, {{4, 4, 36, 36, kRedOne}, {12, 12, 28, 28, kBackdrop}}};
    Drawn label = hole, speckInAHole = hole;
    label.over[1].colour = {247, 247, 247};
    speckInAHole.over.push_back({20, 20, 22, 22, {}});
    // Right of the middle, on a grey backdrop, an object lighter and darker by turns; and
    // on white a pale one, beyond the tolerance by 12 of 15.
    const Drawn turns{
        40, 40, {200, 200, 200}, {{20, 0, 40, 40, kGrey}, {20, 0, 40, 40, kBackdrop, 2}}};
    const Drawn pale{40, 40, kWhite, {{20, 0, 40, 40, {255, 255, 228}}}};
    const Drawn stripes{2100, 2000, {}, {{1, 0, 2100, 2000, kWhite, 2}}};  // 2,100 runs a row
    // A crimson square (its channels all different, so that none can stand for another)
    // with a 3 x 3 label of the backdrop's colour, a rim column half crimson, and a speck.
    Drawn crimson{24, 16, kBackdrop, {{4, 3, 16, 13, kCrimson}, {8, 6, 11, 9, kBackdrop}}};
    crimson.over.insert(crimson.over.end(), {{16, 3, 17, 13, kRim}, {20, 14, 21, 15, kGrey}});
    const struct {
        const char* name;
        Drawn drawn;
        const char* options;
        int32_t x, y;
        std::vector<uint8_t> pixel;
        Status status = Status::Ok;
    } cases[] = {
        // In the backdrop's colour a hole, three levels off a label; a speck in a hole goes
        // with the hole.
        {"hole", hole, "auto-background connected", 20, 20, {255}},
        {"label", label, "auto-background connected", 20, 20, {0}},
        {"speck in a hole", speckInAHole, "auto-background connected despeckle=8", 20, 20, {255}},
        // The object's left edge.
        {"lighter and darker", turns, "auto-background cutout", 20, 20, {250, 250, 250, 255}},
        {"pale", pale, "white cutout", 20, 20, {255, 255, 228, 204}},
        {"far inside", pale, "white connected cutout", 32, 20, {255, 255, 228, 255}},
        {"stripes", stripes, "white connected", 0, 0, {}, Status::TooManyRegions},
        // The region rules reach the labeller (whose decisions the flood fill below
        // checks): the enclosed label and speck are settled only when asked.
        {"speck despeckled", crimson, "white connected despeckle=2", 20, 14, {255}},
        {"hole past 8 pixels", crimson, "white connected hole-area=8", 9, 7, {255}},
        {"backdrop cut out", crimson, "auto-background connected cutout", 0, 0, {0, 0, 0, 0}},
        {"object cut out", crimson, "auto-background connected cutout", 5, 5, {200, 30, 60, 255}},
        // Inverted, a cut-out keeps the object's colours, transparent.
        {"cut out inverted", crimson, "auto-background cutout invert", 5, 5, {200, 30, 60, 0}},
        // Unmixed: half backdrop, half crimson.
        {"rim", crimson, "auto-background connected cutout", 16, 7, {200, 30, 60, 128}},
        {"hard rim", crimson, "auto-background cutout hard-edges", 16, 7, {225, 140, 155, 255}},
        {"soft rim", crimson, "auto-background connected soft", 16, 7, {127}},
        {"soft rim, inverted", crimson, "auto-background soft invert", 16, 7, {128}},
        {"soft object, inverted", crimson, "auto-background soft invert", 5, 5, {255}},
        {"all backdrop", crimson, "black tolerance=255 invert", 5, 5, {0}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(std::string(test.name) + ": " + test.options);
        const int32_t width = test.drawn.width, height = test.drawn.height;
        const std::vector<uint8_t> rgb = test.drawn.Rgb();
        const MaskOptions made = test_support::Settings(test.options).ForFile(PictureFormat::Png);
        const PixelArray picture{rgb.data(), width, height, 3, 1, 3 * width, 3, 1};
        std::vector<uint8_t> out(rgb.size() / 3 * std::size_t(OutputChannels(made.refine)));
        const Result result = MaskArray(picture, made.background, made.refine, out.data());
        EXPECT_EQ(result.status, test.status) << Describe(result);
        const auto at = std::size_t(test.y * width + test.x) * test.pixel.size();
        EXPECT_TRUE(std::equal(test.pixel.begin(), test.pixel.end(), out.begin() + at));
    }
}

// A picture of classes, a byte a pixel, 1 for background-coloured, row after row.
struct Classes {
    int32_t width, height;
    std::vector<uint8_t> pixels;
};

Classes Draw(int32_t width, int32_t height, const std::function<bool(int32_t, int32_t)>& isBg) {
    Classes picture{width, height, {}};
    for (int32_t i = 0; i < width * height; ++i) {
        picture.pixels.push_back(isBg(i % width, i / width) ? 1 : 0);
    }
    return picture;
}

// The same decisions by flood fill: background regions 4-connected, others 8-connected;
// a small region but background at the edge takes the decision of the region left of its
// first pixel (or changes class at the left edge).
std::vector<uint8_t> FloodFillDecisions(const Classes& picture, const RegionRules& rules) {
    const int32_t w = picture.width, h = picture.height;
    const auto& cls = picture.pixels;
    std::vector<int> region(cls.size(), -1);
    std::vector<uint8_t> decided, result;  // per region: 0 background, 255 object
    for (int32_t start = 0; start < w * h; ++start) {
        if (region[std::size_t(start)] >= 0) {
            continue;
        }
        const uint8_t background = cls[std::size_t(start)];
        std::queue<int32_t> queue({start});
        region[std::size_t(start)] = int(decided.size());
        uint64_t area = 0;
        bool edge = false;
        for (; !queue.empty(); queue.pop(), ++area) {
            const int32_t x = queue.front() % w, y = queue.front() / w;
            edge = edge || x == 0 || y == 0 || x == w - 1 || y == h - 1;
            for (int n = 0; n < 9; ++n) {  // even n: the corners, and the pixel itself
                const int32_t nx = x + n % 3 - 1, ny = y + n / 3 - 1;
                const auto next = std::size_t(ny * w + nx);
                if ((n % 2 == 0 && background) || nx < 0 || ny < 0 || nx >= w || ny >= h ||
                    cls[next] != background || region[next] >= 0) {
                    continue;
                }
                region[next] = int(decided.size());
                queue.push(int32_t(next));
            }
        }
        const bool hole = rules.holeArea > 0 && area > rules.holeArea;
        if (area < rules.despeckle && !(background && edge)) {
            decided.push_back(start % w == 0
                                  ? (background ? 255 : 0)
                                  : decided[std::size_t(region[std::size_t(start - 1)])]);
        } else {
            decided.push_back(background && (!rules.connected || edge || hole) ? 0 : 255);
        }
    }
    for (const int id : region) {
        result.push_back(decided[std::size_t(id)]);
    }
    return result;
}

// The labeller's decisions on the picture by the rules, stray parts dropped by their share.
std::vector<uint8_t> Labelled(const Classes& picture, const RegionRules& rules) {
    RegionLabeller labeller(picture.width, picture.height);
    const auto w = std::size_t(picture.width);
    for (std::size_t y = 0; y < std::size_t(picture.height); ++y) {
        EXPECT_TRUE(labeller.AddRow(&picture.pixels[y * w]).Ok());
    }
    labeller.Decide(rules);
    labeller.DropStrays(rules.strayShare);
    std::vector<uint8_t> labelled(picture.pixels.size());
    for (int32_t y = 0; y < picture.height; ++y) {
        labeller.FillRow(y, &labelled[std::size_t(y) * w]);
    }
    return labelled;
}

TEST(RegionLabeller, DecidesAsFloodFillOnShapesThatStressRunMerging) {
    std::mt19937 random(11);
    const auto noise = [&](int percent) {
        return Draw(41, 29, [&](int32_t, int32_t) { return int(random() % 100) < percent; });
    };
    const std::pair<const char*, Classes> shapes[] = {
        {"sparse specks", noise(85)},
        {"dense specks", noise(15)},
        // Square spiral walls: one long region wound round, joined late.
        {"spiral", Draw(33, 33,
                        [](int32_t x, int32_t y) {
                            const int32_t ring = std::min({x, y, 32 - x, 32 - y});
                            return ring % 2 == 0 && !(x == ring + 1 && y == ring && ring < 15);
                        })},
        // Teeth hanging from a bar: runs of one region met one at a time.
        {"comb", Draw(40, 12, [](int32_t x, int32_t y) { return !(y == 10 || x % 3 == 0); })},
        // Diagonal lines: one region by corners, and background sealed between them.
        {"diagonal chains",
         Draw(30, 30, [](int32_t x, int32_t y) { return (x + y) % 7 && (x - y + 60) % 9; })},
        {"one pixel, background", Draw(1, 1, [](int32_t, int32_t) { return true; })},
        {"one column", Draw(1, 23, [](int32_t, int32_t y) { return y % 5 != 2; })},
    };
    const RegionRules rules[] = {
        {.connected = false},
        {.connected = true},
        {.connected = true, .holeArea = 6},
        {.connected = false, .despeckle = 4},
        {.connected = true, .holeArea = 30, .despeckle = 3},
    };
    for (const auto& [name, picture] : shapes) {
        for (const RegionRules& rule : rules) {
            EXPECT_EQ(Labelled(picture, rule), FloodFillDecisions(picture, rule))
                << name << ", connected " << rule.connected << ", hole area " << rule.holeArea
                << ", despeckle " << rule.despeckle;
        }
    }
}

// Parts of a 400 x 300 picture's object standing apart from a product of 100 x 100 pixels:
// those whose group, of parts within a 200th of the diagonal (2.5 pixels) of each other,
// has less than a hundredth of the product's area go; a larger part, one close to the
// product, specks in a row reaching it, and everything when no share is asked, stay.
TEST(RegionLabeller, DropsSmallPartsStandingApartFromTheProduct) {
    struct Box {
        int32_t left, top, size;
        bool Holds(int32_t x, int32_t y) const {
            return x >= left && x < left + size && y >= top && y < top + size;
        }
    };
    constexpr Box kProduct = {50, 50, 100};
    const struct {
        const char* name;
        std::vector<Box> parts;
        bool stays;
        double share = 0.01;
    } cases[] = {
        {"a speck far off", {{300, 200, 5}}, false},
        {"a part of more than a hundredth", {{300, 200, 11}}, true},
        {"a speck two pixels from the product", {{152, 90, 5}}, true},
        {"specks in a row reaching the product",
         {{152, 90, 3}, {157, 90, 3}, {162, 90, 3}, {167, 90, 3}, {172, 90, 3}},
         true},
        {"a speck far off, no share asked", {{300, 200, 5}}, true, 0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const Classes picture = Draw(400, 300, [&](int32_t x, int32_t y) {
            return !kProduct.Holds(x, y) &&
                   std::none_of(test.parts.begin(), test.parts.end(),
                                [&](const Box& part) { return part.Holds(x, y); });
        });
        const std::vector<uint8_t> labelled =
            Labelled(picture, {.connected = true, .strayShare = test.share});
        int32_t product = 0, parts = 0, partArea = 0;
        for (std::size_t i = 0; i < labelled.size(); ++i) {
            const auto x = int32_t(i) % picture.width, y = int32_t(i) / picture.width;
            const bool object = labelled[i] == 255;
            const bool part = picture.pixels[i] == 0 && !kProduct.Holds(x, y);
            product += object && kProduct.Holds(x, y);
            partArea += part;
            parts += object && part;
        }
        EXPECT_EQ(product, 100 * 100);
        EXPECT_EQ(parts, test.stays ? partArea : 0);
    }
}

}  // namespace
}  // namespace zel7
