// The labeller's decisions against a flood fill of the same rules, on shapes that stress
// the merging of runs, and its refusal past the run limit.
#include "refine/regions.h"

#include <gtest/gtest.h>

#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace zel7 {
namespace {

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

std::vector<uint8_t> Label(const Classes& picture, const RegionRules& rules) {
    RegionLabeller labeller(picture.width, picture.height);
    const auto w = std::size_t(picture.width);
    for (std::size_t y = 0; y < std::size_t(picture.height); ++y) {
        EXPECT_TRUE(labeller.AddRow(&picture.pixels[y * w]).Ok());
    }
    labeller.Decide(rules);
    std::vector<uint8_t> result(picture.pixels.size());
    for (int32_t y = 0; y < picture.height; ++y) {
        labeller.FillRow(y, &result[std::size_t(y) * w]);
    }
    return result;
}

TEST(RegionLabeller, DecidesAsFloodFillOnShapesThatStressRunMerging) {
    std::mt19937 random(11);
    const auto noise = [&](int percent) {
        return Draw(41, 29, [&](int32_t, int32_t) { return int(random() % 100) < percent; });
    };
    const std::pair<const char*, Classes> shapes[] = {
        {"sparse specks", noise(85)},
        {"half noise", noise(50)},
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
        {"checkerboard", Draw(16, 9, [](int32_t x, int32_t y) { return (x + y) % 2 == 0; })},
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
            EXPECT_EQ(Label(picture, rule), FloodFillDecisions(picture, rule))
                << name << ", connected " << rule.connected << ", hole area " << rule.holeArea
                << ", despeckle " << rule.despeckle;
        }
    }
}

TEST(RegionLabeller, RefusesPicturesPastTheRunLimit) {
    // A column of alternating pixels is one run a pixel: 10 runs fit, 11 do not.
    const Classes column = Draw(1, 11, [](int32_t, int32_t y) { return y % 2 == 0; });
    RegionLabeller labeller(1, 11, 10);
    Result last;
    for (std::size_t y = 0; y < 11 && last.Ok(); ++y) {
        last = labeller.AddRow(&column.pixels[y]);
    }
    EXPECT_EQ(last.status, Status::TooManyRegions);
    EXPECT_EQ(labeller.RunCount(), 10u);
}

}  // namespace
}  // namespace zel7
