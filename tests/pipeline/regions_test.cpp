#include "refine/regions.h"

#include <gtest/gtest.h>

#include <queue>
#include <random>
#include <string>
#include <vector>

namespace zel7 {
namespace {

// A picture of classes, 1 for background-coloured, row after row.
struct Classes {
    int32_t width, height;
    std::vector<uint8_t> pixels;
    uint8_t At(int32_t x, int32_t y) const { return pixels[std::size_t(y * width + x)]; }
};

Classes Draw(int32_t width, int32_t height, auto background) {
    Classes picture{width, height, {}};
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            picture.pixels.push_back(background(x, y) ? 1 : 0);
        }
    }
    return picture;
}

// The same decisions by flood fill: background regions 4-connected, others
// 8-connected; a small region but background at the edge takes the decision of the
// region left of its first pixel (or changes class at the left edge).
std::vector<uint8_t> FloodFillDecisions(const Classes& picture, const RegionRules& rules) {
    const int32_t w = picture.width, h = picture.height;
    std::vector<int> region(picture.pixels.size(), -1);
    std::vector<uint8_t> decided;  // per region: 0 background, 255 object
    for (int32_t start = 0; start < w * h; ++start) {
        if (region[std::size_t(start)] >= 0) {
            continue;
        }
        const int id = int(decided.size());
        const uint8_t cls = picture.pixels[std::size_t(start)];
        std::queue<int32_t> queue;
        queue.push(start);
        region[std::size_t(start)] = id;
        uint64_t area = 0;
        bool edge = false;
        while (!queue.empty()) {
            const int32_t at = queue.front();
            queue.pop();
            const int32_t x = at % w, y = at / w;
            ++area;
            edge = edge || x == 0 || y == 0 || x == w - 1 || y == h - 1;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int32_t nx = x + dx, ny = y + dy;
                    if ((dx == 0 && dy == 0) || (cls && dx != 0 && dy != 0) || nx < 0 || ny < 0 ||
                        nx >= w || ny >= h) {
                        continue;
                    }
                    const auto next = std::size_t(ny * w + nx);
                    if (picture.pixels[next] == cls && region[next] < 0) {
                        region[next] = id;
                        queue.push(int32_t(next));
                    }
                }
            }
        }
        uint8_t decision;
        if (area < rules.despeckle && !(cls && edge)) {
            decision =
                start % w == 0 ? (cls ? 255 : 0) : decided[size_t(region[size_t(start - 1)])];
        } else if (cls) {
            const bool hole = rules.holeArea > 0 && area > rules.holeArea;
            decision = !rules.connected || edge || hole ? 0 : 255;
        } else {
            decision = 255;
        }
        decided.push_back(decision);
    }
    std::vector<uint8_t> result;
    for (const int id : region) {
        result.push_back(decided[std::size_t(id)]);
    }
    return result;
}

std::vector<uint8_t> Label(const Classes& picture, const RegionRules& rules) {
    RegionLabeller labeller(picture.width, picture.height);
    for (int32_t y = 0; y < picture.height; ++y) {
        EXPECT_TRUE(labeller.AddRow(&picture.pixels[std::size_t(y * picture.width)]).Ok());
    }
    labeller.Decide(rules);
    std::vector<uint8_t> result(picture.pixels.size());
    for (int32_t y = 0; y < picture.height; ++y) {
        labeller.FillRow(y, &result[std::size_t(y * picture.width)]);
    }
    return result;
}

TEST(RegionLabeller, DecidesAsFloodFillOnShapesThatStressRunMerging) {
    std::mt19937 random(11);
    struct Shape {
        const char* name;
        Classes picture;
    };
    auto noise = [&](int percent) {
        return Draw(41, 29, [&](int32_t, int32_t) { return int(random() % 100) < percent; });
    };
    const Shape shapes[] = {
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
         Draw(30, 30,
              [](int32_t x, int32_t y) { return (x + y) % 7 != 0 && (x - y + 60) % 9 != 0; })},
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
    for (const Shape& shape : shapes) {
        for (const RegionRules& rule : rules) {
            EXPECT_EQ(Label(shape.picture, rule), FloodFillDecisions(shape.picture, rule))
                << shape.name << ", connected " << rule.connected << ", hole area " << rule.holeArea
                << ", despeckle " << rule.despeckle;
        }
    }
}

TEST(RegionLabeller, RefusesPicturesPastTheRunLimit) {
    // A column of alternating pixels is one run a pixel: 10 runs fit, 11 do not.
    const Classes column = Draw(1, 11, [](int32_t, int32_t y) { return y % 2 == 0; });
    RegionLabeller labeller(1, 11, 10);
    Result last;
    for (int32_t y = 0; y < 11 && last.Ok(); ++y) {
        last = labeller.AddRow(&column.pixels[std::size_t(y)]);
    }
    EXPECT_EQ(last.status, Status::TooManyRegions);
    EXPECT_EQ(labeller.RunCount(), 10u);
}

}  // namespace
}  // namespace zel7
