#include "refine/regions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace zel7 {
namespace {

constexpr unsigned kBlockBits = 16;  // runs are kept in blocks of 64 Ki, 512 KiB each
constexpr uint64_t kBlockRuns = uint64_t{1} << kBlockBits;

constexpr uint32_t kStartMask = 0xffff;  // widths are at most 65535
constexpr uint32_t kBackgroundColoured = 1u << 16;
constexpr uint32_t kTouchesEdge = 1u << 17;
constexpr uint32_t kDecidedBackground = 1u << 18;
// Object regions this share of the picture's diagonal apart, or up to twice as far, belong
// to one group.
constexpr double kStrayReach = 1.0 / 200;

}  // namespace

// A run of pixels of one class. A region's runs are linked to its first run in scan
// order, its root, whose link holds minus the region's area (saturated: areas are
// only compared with thresholds below it). The root being the region's top-left run
// is what lets Decide find the region around each one.
struct RegionLabeller::Run {
    uint32_t bits;  // start, class and flags
    int32_t link;   // the parent's index, or minus the area at a root

    uint32_t Start() const { return bits & kStartMask; }
    bool Is(uint32_t flag) const { return (bits & flag) != 0; }
    bool IsRoot() const { return link < 0; }
};

RegionLabeller::RegionLabeller(int32_t width, int32_t height, uint64_t maxRuns)
    : width_(width), height_(height), maxRuns_(std::min<uint64_t>(maxRuns, INT32_MAX)) {
    rowStarts_.reserve(std::size_t(height) + 1);
    rowStarts_.push_back(0);
}

RegionLabeller::~RegionLabeller() = default;

RegionLabeller::Run& RegionLabeller::At(uint64_t index) const {
    return blocks_[index >> kBlockBits][index & (kBlockRuns - 1)];
}

uint64_t RegionLabeller::Find(uint64_t index) const {
    while (!At(index).IsRoot()) {
        Run& run = At(index);
        const Run& parent = At(uint64_t(run.link));
        if (!parent.IsRoot()) {
            run.link = parent.link;  // path halving
        }
        index = uint64_t(run.link);
    }
    return index;
}

void RegionLabeller::Join(uint64_t a, uint64_t b) {
    a = Find(a);
    b = Find(b);
    if (a == b) {
        return;
    }
    Run& root = At(std::min(a, b));
    Run& joined = At(std::max(a, b));
    const int64_t area = int64_t(root.link) + joined.link;
    root.link = int32_t(std::max<int64_t>(area, -INT32_MAX));
    root.bits |= joined.bits & kTouchesEdge;
    joined.link = int32_t(std::min(a, b));
}

Result RegionLabeller::AddRun(uint32_t start, bool background, bool edge) {
    if (runCount_ == maxRuns_) {
        return Fail(Status::TooManyRegions,
                    "more than " + std::to_string(maxRuns_) + " runs of one class in its rows");
    }
    if ((runCount_ & (kBlockRuns - 1)) == 0) {
        blocks_.push_back(std::make_unique<Run[]>(kBlockRuns));
    }
    At(runCount_++) = {start | (background ? kBackgroundColoured : 0) | (edge ? kTouchesEdge : 0),
                       -1};
    return {};
}

Result RegionLabeller::AddRow(const uint8_t* backgroundColoured) {
    const auto y = int32_t(rowStarts_.size() - 1);
    const bool edgeRow = y == 0 || y == height_ - 1;
    const uint64_t first = runCount_;
    for (int32_t x = 0; x < width_;) {
        const int32_t start = x;
        const uint8_t cls = backgroundColoured[x] != 0;
        // Long runs are the rule: skip them 8 pixels at a time.
        const uint64_t same = cls ? 0x0101010101010101u : 0;
        uint64_t word;
        while (x + 8 <= width_ && (std::memcpy(&word, backgroundColoured + x, 8), word == same)) {
            x += 8;
        }
        while (x < width_ && (backgroundColoured[x] != 0) == cls) {
            ++x;
        }
        if (Result result = AddRun(uint32_t(start), cls, edgeRow || start == 0 || x == width_);
            !result.Ok()) {
            return result;
        }
        // Its area so far is its length.
        At(runCount_ - 1).link = -(x - start);
    }
    rowStarts_.push_back(uint32_t(runCount_));
    if (y == 0) {
        return {};
    }
    // Joins each run with the runs of its class it touches in the row above: sharing a
    // column for background, a column or a corner for the rest.
    const uint64_t above = rowStarts_[std::size_t(y) - 1];
    const auto end = [&](uint64_t run, uint64_t rowEnd) {
        return run + 1 < rowEnd ? int32_t(At(run + 1).Start()) : width_;
    };
    uint64_t from = above;
    for (uint64_t run = first; run < runCount_; ++run) {
        const auto start = int32_t(At(run).Start());
        const int32_t stop = end(run, runCount_);
        const bool background = At(run).Is(kBackgroundColoured);
        while (from < first && end(from, first) < start) {
            ++from;
        }
        for (uint64_t other = from; other < first && int32_t(At(other).Start()) <= stop; ++other) {
            if (At(other).Is(kBackgroundColoured) != background) {
                continue;
            }
            if (background && (int32_t(At(other).Start()) >= stop || end(other, first) <= start)) {
                continue;
            }
            Join(other, run);
        }
    }
    return {};
}

void RegionLabeller::Decide(const RegionRules& rules) {
    // Roots come in scan order, so the region left of a root's run, the one around it,
    // is decided before it; other runs are linked straight to their roots on the way.
    for (uint64_t index = 0; index < runCount_; ++index) {
        Run& run = At(index);
        if (!run.IsRoot()) {
            const Run& parent = At(uint64_t(run.link));
            if (!parent.IsRoot()) {
                run.link = parent.link;
            }
            continue;
        }
        const auto area = uint64_t(-int64_t(run.link));
        const bool background = run.Is(kBackgroundColoured);
        bool decided;
        if (IsSpeck(run, rules.despeckle)) {
            decided = AroundIsBackground(index);
        } else if (background) {
            decided = !rules.connected || run.Is(kTouchesEdge) ||
                      (rules.holeArea > 0 && area > rules.holeArea);
        } else {
            decided = false;
        }
        if (decided) {
            run.bits |= kDecidedBackground;
        }
    }
}

bool RegionLabeller::IsSpeck(const Run& root, uint64_t despeckle) const {
    // Background that reaches the edge is never a pinhole: the backdrop of a picture
    // smaller than the speck size, or a corner cut off by the object, stays.
    return uint64_t(-int64_t(root.link)) < despeckle &&
           !(root.Is(kBackgroundColoured) && root.Is(kTouchesEdge));
}

bool RegionLabeller::AroundIsBackground(uint64_t root) const {
    // A speck at the left edge has no region beside it: it changes class.
    const Run& run = At(root);
    if (run.Start() == 0) {
        return !run.Is(kBackgroundColoured);
    }
    const Run& left = At(root - 1);
    return (left.IsRoot() ? left : At(uint64_t(left.link))).Is(kDecidedBackground);
}

void RegionLabeller::SettleSpecks(uint64_t despeckle) {
    for (uint64_t index = 0; index < runCount_; ++index) {
        Run& run = At(index);
        if (run.IsRoot() && IsSpeck(run, despeckle)) {
            run.bits = AroundIsBackground(index) ? run.bits | kDecidedBackground
                                                 : run.bits & ~kDecidedBackground;
        }
    }
}

bool RegionLabeller::DropStrays(double share) {
    // Groups are found on a grid of cells as wide as the reach: cells holding object join
    // their eight neighbours, so parts one to two reaches apart fall in one group.
    const auto cell = std::max<int32_t>(
        1, int32_t(std::ceil(kStrayReach * std::hypot(double(width_), double(height_)))));
    const int32_t across = (width_ + cell - 1) / cell, down = (height_ + cell - 1) / cell;
    const auto cellOf = [&](int32_t x, int32_t y) {
        return std::size_t(y / cell) * std::size_t(across) + std::size_t(x / cell);
    };
    std::vector<uint64_t> area(std::size_t(across) * std::size_t(down));
    for (int32_t y = 0; y < height_; ++y) {
        ForEachRun(y, [&](int32_t start, int32_t stop, uint64_t, bool background) {
            for (int32_t x = start; !background && x < stop;) {
                const int32_t end = std::min(stop, (x / cell + 1) * cell);
                area[cellOf(x, y)] += uint64_t(end - x);
                x = end;
            }
        });
    }
    // Each group's cells, one flood at a time, and its area.
    constexpr uint32_t kNone = UINT32_MAX;
    std::vector<uint32_t> group(area.size(), kNone);
    std::vector<uint64_t> groupArea;
    std::vector<std::size_t> flood;
    for (std::size_t first = 0; first < area.size(); ++first) {
        if (area[first] == 0 || group[first] != kNone) {
            continue;
        }
        const auto id = uint32_t(groupArea.size());
        groupArea.push_back(0);
        group[first] = id;
        flood.assign(1, first);
        for (std::size_t at = 0; at < flood.size(); ++at) {
            const auto i = int32_t(flood[at] % std::size_t(across));
            const auto j = int32_t(flood[at] / std::size_t(across));
            groupArea[id] += area[flood[at]];
            for (int32_t nj = std::max(j - 1, 0); nj <= std::min(j + 1, down - 1); ++nj) {
                for (int32_t ni = std::max(i - 1, 0); ni <= std::min(i + 1, across - 1); ++ni) {
                    const std::size_t n = std::size_t(nj) * std::size_t(across) + std::size_t(ni);
                    if (area[n] > 0 && group[n] == kNone) {
                        group[n] = id;
                        flood.push_back(n);
                    }
                }
            }
        }
    }
    if (groupArea.size() < 2) {
        return false;
    }
    const double least = share * double(*std::max_element(groupArea.begin(), groupArea.end()));
    // A region lies in one group: the one of its root, its first run.
    bool any = false;
    for (int32_t y = 0; y < height_; ++y) {
        for (uint64_t index = rowStarts_[std::size_t(y)]; index < rowStarts_[std::size_t(y) + 1];
             ++index) {
            Run& run = At(index);
            if (run.IsRoot() && !run.Is(kDecidedBackground) &&
                double(groupArea[group[cellOf(int32_t(run.Start()), y)]]) < least) {
                run.bits |= kDecidedBackground;
                any = true;
            }
        }
    }
    return any;
}

void RegionLabeller::FillRow(int32_t y, uint8_t* coverage) const {
    const uint64_t first = rowStarts_[std::size_t(y)];
    const uint64_t last = rowStarts_[std::size_t(y) + 1];
    for (uint64_t index = first; index < last; ++index) {
        const Run& run = At(index);
        const Run& root = run.IsRoot() ? run : At(uint64_t(run.link));
        const uint32_t start = run.Start();
        const uint32_t stop = index + 1 < last ? At(index + 1).Start() : uint32_t(width_);
        std::memset(coverage + start, root.Is(kDecidedBackground) ? 0 : 255, stop - start);
    }
}

std::vector<uint64_t> RegionLabeller::EnclosedRegions(uint64_t minArea) const {
    std::vector<uint64_t> roots;
    for (uint64_t index = 0; index < runCount_; ++index) {
        const Run& run = At(index);
        if (run.IsRoot() && run.Is(kBackgroundColoured) && !run.Is(kDecidedBackground) &&
            uint64_t(-int64_t(run.link)) >= minArea) {
            roots.push_back(index);
        }
    }
    return roots;
}

void RegionLabeller::MakeBackground(uint64_t root) {
    At(root).bits |= kDecidedBackground;
}

void RegionLabeller::ForEachRun(
    int32_t y, const std::function<void(int32_t, int32_t, uint64_t, bool)>& each) const {
    const uint64_t first = rowStarts_[std::size_t(y)];
    const uint64_t last = rowStarts_[std::size_t(y) + 1];
    for (uint64_t index = first; index < last; ++index) {
        const Run& run = At(index);
        const uint64_t root = run.IsRoot() ? index : uint64_t(run.link);
        const auto stop = int32_t(index + 1 < last ? At(index + 1).Start() : uint32_t(width_));
        each(int32_t(run.Start()), stop, root, At(root).Is(kDecidedBackground));
    }
}

}  // namespace zel7
