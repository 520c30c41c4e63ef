#include "refine/cut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

namespace zel7 {
namespace {

// A striped product of many colours (the cut's object model has no colour to spare for
// what is not object) in the middle of a clean white backdrop, standing on a textured
// grey floor (some 50 levels below the backdrop) along the bottom of the frame, or running
// out of the picture there: 120 x 90 pixels at scale 1, where the cut's grid has a point
// a pixel.
bool InProduct(int32_t x, int32_t y, bool cutByFrame = false) {
    return std::abs(x - 60) < 15 && y >= 25 && (y < 60 || cutByFrame);
}
bool OnFloor(int32_t, int32_t y) {
    return y >= 60;
}
std::array<uint8_t, 3> Colour(int32_t x, int32_t y, bool cutByFrame, bool motley) {
    static const std::array<uint8_t, 3> stripes[] = {{60, 30, 200}, {50, 150, 40}, {60, 200, 230},
                                                     {180, 60, 40}, {20, 40, 90},  {30, 140, 240}};
    const auto noise = uint8_t((uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) % 29);
    uint32_t hash = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    hash = (hash ^ (hash >> 13)) * 0x5bd1e995u;
    hash ^= hash >> 15;
    if (motley && OnFloor(x, y) && !InProduct(x, y, cutByFrame)) {
        return {uint8_t(170 + hash % 50), uint8_t(165 + (hash >> 8) % 50),
                uint8_t(160 + (hash >> 16) % 50)};
    }
    if (InProduct(x, y, cutByFrame) && motley) {
        // (a colour of its own a pixel: the models' k-means then starts differently from
        // every seed)
        return {uint8_t(40 + hash % 160), uint8_t(60 + (hash >> 8) % 140),
                uint8_t(30 + (hash >> 16) % 200)};
    }
    if (InProduct(x, y, cutByFrame)) {
        std::array<uint8_t, 3> stripe = stripes[std::size_t((x - 45) / 5) % 6];
        for (uint8_t& channel : stripe) {
            channel = uint8_t(channel + noise % 13);
        }
        return stripe;
    }
    if (OnFloor(x, y)) {
        return {uint8_t(205 + noise / 2), uint8_t(198 + noise / 2), uint8_t(195 + noise / 2)};
    }
    return {uint8_t(250 + noise % 3), uint8_t(250 + noise % 3), uint8_t(250 + noise % 3)};
}

struct Case {
    const char* name;
    // What the rules decided is object, before the cut.
    std::function<bool(int32_t x, int32_t y)> decided;
    // What the cut must leave object, and background (none given: as the rules decided).
    std::function<bool(int32_t x, int32_t y)> object = {};
    bool cutByFrame = false;
    // The picture's pixels a side of the shapes' (a grid point every scale / 2 pixels), and
    // a column of them, if any, where a dark wire a pixel thick lies on the floor.
    int32_t scale = 1, wire = -1;
    bool motley = false;  // the product's colours: not stripes but a colour a pixel
    // Where the product shows a print of the floor's colour, if anywhere.
    std::function<bool(int32_t x, int32_t y)> print = [](int32_t, int32_t) { return false; };
    // Where the rules saw a shadow likely (none: nowhere), and whether what the cut takes
    // of the floor is then kept as one for --shadow keep.
    std::function<bool(int32_t x, int32_t y)> likely = {};
    bool shadowKept = false;
    // Where specks of ink lie on the floor, each the floor's colour but for one channel.
    std::function<bool(int32_t x, int32_t y)> specks = [](int32_t, int32_t) { return false; };
};

// The wire's colour, and whether it lies at pixel x, y of the scaled picture.
constexpr std::array<uint8_t, 3> kWire = {40, 35, 30};
bool OnWire(const Case& test, int32_t x, int32_t y) {
    return x == test.wire && OnFloor(x / test.scale, y / test.scale);
}

// The mask the cut makes of the picture from the rules' decision; and, when asked, the
// pixels MarkTakenShadows marks (1).
std::vector<uint8_t> Cut(const Case& test, std::vector<uint8_t>* taken = nullptr,
                         int verdictSlotBits = ColourCut::kVerdictSlotBits) {
    const int32_t kWidth = 120 * test.scale, kHeight = 90 * test.scale;
    std::vector<uint8_t> bgr;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const int32_t at = x / test.scale, down = y / test.scale;
            auto colour = OnWire(test, x, y)     ? kWire
                          : test.print(at, down) ? Colour(at, 60 + down, false, false)
                                                 : Colour(at, down, test.cutByFrame, test.motley);
            if (test.specks(at, down)) {
                colour[std::size_t(x + y) % 3] = uint8_t(20 + (7 * x + y) % 20);
            }
            bgr.insert(bgr.end(), colour.begin(), colour.end());
        }
    }
    PictureSamples samples(kWidth, kHeight);
    for (int32_t y = 0; y < kHeight; ++y) {
        samples.AddRow(y, &bgr[std::size_t(3 * kWidth * y)]);
    }
    const BackdropSurface surface(samples, Backdrop{{251, 251, 251}, 3}, Background::NearWhite, 3);
    RegionLabeller labels(kWidth, kHeight);
    ColourCut cut(kWidth, kHeight, verdictSlotBits);
    std::vector<uint8_t> row(kWidth);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            row[std::size_t(x)] =
                !test.decided(x / test.scale, y / test.scale) && !OnWire(test, x, y);
        }
        EXPECT_TRUE(labels.AddRow(row.data()).Ok());
        std::function<bool(int32_t, int32_t)> likely;
        if (test.likely) {
            likely = [&](int32_t x, int32_t at) {
                return test.likely(x / test.scale, at / test.scale);
            };
        }
        cut.AddRow(y, &bgr[std::size_t(3 * kWidth * y)], surface, likely);
    }
    labels.Decide(RegionRules{});
    bool moved = false;
    EXPECT_TRUE(cut.Settle(labels, moved).Ok());
    std::vector<uint8_t> mask(std::size_t(kWidth * kHeight));
    if (taken != nullptr) {
        taken->assign(mask.size(), 0);
    }
    for (int32_t y = 0; y < kHeight; ++y) {
        uint8_t* coverage = &mask[std::size_t(kWidth * y)];
        labels.FillRow(y, coverage);
        if (moved) {
            cut.Apply(y, &bgr[std::size_t(3 * kWidth * y)], surface, coverage);
            if (taken != nullptr) {
                uint8_t* marks = &(*taken)[std::size_t(kWidth * y)];
                std::copy_n(coverage, kWidth, marks);
                cut.MarkTakenShadows(y, 1, marks);
                std::replace(marks, marks + kWidth, uint8_t{255}, uint8_t{0});
            }
        }
    }
    return mask;
}

void PrintTo(const Case& test, std::ostream* out) {
    *out << test.name;
}

// What the rules or the cut take for object: the product; the product and the floor below it.
bool Product(int32_t x, int32_t y) {
    return InProduct(x, y);
}
bool WithFloor(int32_t x, int32_t y) {
    return InProduct(x, y) || (OnFloor(x, y) && std::abs(x - 60) < 30);
}
// ...a mat of the floor's colours under it, apart from the frame.
bool UnderFoot(int32_t x, int32_t y) {
    return OnFloor(x, y) && y < 75 && std::abs(x - 60) < 30;
}
bool WithMat(int32_t x, int32_t y) {
    return InProduct(x, y) || UnderFoot(x, y);
}

// A print on the product, reaching its outline through a gap.
bool Print(int32_t x, int32_t y) {
    return (x >= 50 && x < 70 && y >= 35 && y < 50) || (x >= 46 && x < 50 && y >= 41 && y < 43);
}

const Case kCases[] = {
    {"the floor under the product, kept with it, goes", WithFloor, Product},
    {"a floor the rules joined to the product, running out of the picture, goes",
     [](int32_t x, int32_t y) { return InProduct(x, y) || OnFloor(x, y); }, Product},
    {"a product the frame cuts keeps what runs along it",
     [](int32_t x, int32_t y) { return InProduct(x, y, true); }, nullptr, true},
    {"a wire too thin for the grid stays",
     [](int32_t x, int32_t y) { return InProduct(x, y) || (OnFloor(x, y) && x == 60); }},
    {"a dark wire between the grid's points, on the floor the cut takes, stays", WithFloor, Product,
     false, 4, 4 * 60 + 1},
    {"what lies within a few levels of the backdrop stays (white on white)",
     [](int32_t x, int32_t y) {
         return InProduct(x, y) || (x >= 75 && x < 90 && y >= 25 && y < 60);
     }},
    {"the top of the product the rules missed, of its colours, is given back",
     [](int32_t x, int32_t y) { return InProduct(x, y) && y >= 32; }, Product},
    {"a print of the floor's colour, reaching the outline through a gap, stays", Product, nullptr,
     false, 1, -1, false, Print},
    {"a mat under the product goes, and is no shadow to keep", WithMat, Product},
    {"a shadow the rules saw likely goes, and is kept", WithMat, Product, false, 1, -1, false,
     Case{}.print, UnderFoot, true},
    {"a floor running out of the picture goes, and is no shadow to keep, likely or not", WithFloor,
     Product, false, 1, -1, false, Case{}.print, OnFloor},
};

class ColourCutCase : public ::testing::TestWithParam<Case> {};

// ...and what it takes of a shadow the rules saw likely, apart from the frame, is marked
// for --shadow keep to draw, all of it, and nothing of the object; a floor or a mat is
// not (a textured mat was drawn as a dark veil).
TEST_P(ColourCutCase, MovesTheOutlineOnlyWhereThickAndOpen) {
    const Case& test = GetParam();
    std::vector<uint8_t> marked;
    const std::vector<uint8_t> mask = Cut(test, &marked);
    const int32_t width = 120 * test.scale;
    int wrong = 0, wire = 0, unmarked = 0, stray = 0;
    for (int32_t i = 0; i < int32_t(mask.size()); ++i) {
        const int32_t x = i % width, y = i / width;
        const bool object =
            (test.object ? test.object : test.decided)(x / test.scale, y / test.scale) ||
            OnWire(test, x, y);
        wrong += (mask[std::size_t(i)] != 0) != object;
        wire += OnWire(test, x, y) && mask[std::size_t(i)] == 0;
        const bool took = test.decided(x / test.scale, y / test.scale) && !object;
        unmarked += test.shadowKept && took && !marked[std::size_t(i)];
        // (the margin about what was taken: the grid's points are a pixel apart here)
        const bool about = test.shadowKept && std::abs(y / test.scale - 67) <= 9 &&
                           std::abs(x / test.scale - 60) <= 31;
        stray += marked[std::size_t(i)] && (object || !about);
    }
    // (the cut's outline follows its colour models to the pixel on the product's stripes)
    EXPECT_LE(wrong, 12 * test.scale);
    EXPECT_EQ(wire, 0) << "pixels of the wire lost";
    EXPECT_EQ(unmarked, 0) << "pixels of the shadow taken, not marked";
    EXPECT_EQ(stray, 0) << "pixels marked of the object, a floor or the backdrop far off";
}

// The models' verdict kept for a colour is that colour's: with a table of two slots,
// where most colours share one, the cut is the same.
TEST_P(ColourCutCase, JudgesEachColourByItsOwnVerdict) {
    EXPECT_EQ(Cut(GetParam(), nullptr, 1), Cut(GetParam()));
}

// Each pixel about what the cut took is decided by its own colour, though the pixels
// there repeat their colours and the models' verdicts on them are kept: specks of ink on
// a motley floor the cut takes, each like many of the floor's pixels in two channels of
// three, stay, and the floor around them goes.
TEST(ColourCut, DecidesEachPixelByItsOwnColour) {
    Case specked = kCases[0];
    specked.motley = true;
    specked.scale = 1;  // (the specks are placed on the picture's own pixels below)
    specked.specks = [](int32_t x, int32_t y) {
        return UnderFoot(x, y) && std::abs(x - 60) >= 18 && (x + 2 * y) % 5 == 0;
    };
    const std::vector<uint8_t> mask = Cut(specked);
    int specksLost = 0, floorKept = 0;
    constexpr int32_t kWidth = 120;
    for (int32_t i = 0; i < int32_t(mask.size()); ++i) {
        const int32_t x = i % kWidth, y = i / kWidth;
        if (specked.specks(x, y)) {
            specksLost += mask[std::size_t(i)] == 0;
        } else if (OnFloor(x, y) && !InProduct(x, y)) {
            floorKept += mask[std::size_t(i)] != 0;
        }
    }
    EXPECT_EQ(specksLost, 0);
    EXPECT_LE(floorKept, 12);
}

// A picture's cut does not depend on what was cut before it (OpenCV's generator, which
// the models' k-means draws from, is the thread's): a product of many colours, whose
// models start differently from every seed, cut three times in a row.
TEST(ColourCut, CutsAPictureAlikeWhateverWasCutBefore) {
    Case motley = kCases[0];
    motley.scale = 2, motley.motley = true;
    const std::vector<uint8_t> first = Cut(motley);
    EXPECT_EQ(Cut(motley), first);
    EXPECT_EQ(Cut(motley), first);
}

INSTANTIATE_TEST_SUITE_P(Cut, ColourCutCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace zel7
