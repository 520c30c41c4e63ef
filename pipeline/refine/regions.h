// Connected regions of a picture whose pixels are each background-coloured or not,
// labelled in one pass over the rows. Each row is cut into runs of one class; runs
// that touch runs of the row above join them through union-find. Memory grows with
// the number of runs (8 bytes each), not with the pixels: a 24-megapixel studio shot
// has some hundred thousand.
//
// Background-coloured regions are 4-connected and the others 8-connected. The two
// must differ for regions to nest sensibly (each side of a closed curve is one
// region), and this way round a diagonal line one pixel thick, a wire or the outline
// of a rim, keeps the background outside it from leaking in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "system/result.h"

namespace zel7 {

// Past this many runs a picture is refused rather than allowed to take more than
// 32 MiB for them: a million specks of noise need about 3 million.
inline constexpr uint64_t kMaxRuns = 4'000'000;

struct RegionRules {
    // Background-coloured regions are background only when they reach the picture's
    // edge, or are larger than holeArea pixels (0: never)...
    bool connected = false;
    uint64_t holeArea = 0;
    // ...and regions of either class smaller than this take the class of the region
    // around them, but for background that reaches the edge.
    uint64_t despeckle = 0;
    // ...or smaller than this share of the picture, whichever is larger.
    double despeckleShare = 0;

    // ...and, with connected, the object's parts that stand apart from the rest, in groups
    // whose parts lie within a 200th to a 100th of the picture's diagonal of each other, are
    // background when their group has less than this share of the largest group's area (0: never):
    // a watermark's letters, the cracks of crackled paper, specks of a textured floor.
    double strayShare = 0;
    bool Despeckles() const { return despeckle > 0 || despeckleShare > 0; }
    // The speck size for a picture of area pixels.
    uint64_t SpeckArea(uint64_t area) const {
        return std::max(despeckle, uint64_t(despeckleShare * double(area)));
    }
};

class RegionLabeller {
public:
    RegionLabeller(int32_t width, int32_t height, uint64_t maxRuns = kMaxRuns);
    ~RegionLabeller();

    // The next row: a byte a pixel, non-zero for background-coloured.
    Result AddRow(const uint8_t* backgroundColoured);
    // After the last row, decides which regions are background.
    void Decide(const RegionRules& rules);
    // Row y as decided: 0 for background, 255 for object.
    void FillRow(int32_t y, uint8_t* coverage) const;

    // After Decide: the background-coloured regions of at least minArea pixels that
    // were kept as object, by their roots in scan order; a root can then be made
    // background.
    std::vector<uint64_t> EnclosedRegions(uint64_t minArea) const;
    void MakeBackground(uint64_t root);
    // After regions were made background: specks take the class around them again.
    void SettleSpecks(uint64_t despeckle);
    // After Decide: makes background the groups of object regions standing apart with less
    // than share of the largest group's area (see RegionRules::strayShare). Whether any.
    bool DropStrays(double share);
    // Calls each(start, stop, root, background) for the runs of row y, after Decide.
    void ForEachRun(int32_t y,
                    const std::function<void(int32_t, int32_t, uint64_t, bool)>& each) const;
    uint64_t RunCount() const { return runCount_; }

private:
    struct Run;
    Run& At(uint64_t index) const;
    uint64_t Find(uint64_t index) const;
    void Join(uint64_t a, uint64_t b);
    Result AddRun(uint32_t start, bool background, bool edge);
    bool IsSpeck(const Run& root, uint64_t despeckle) const;
    bool AroundIsBackground(uint64_t root) const;

    int32_t width_, height_;
    uint64_t maxRuns_;
    uint64_t runCount_ = 0;
    std::vector<std::unique_ptr<Run[]>> blocks_;
    std::vector<uint32_t> rowStarts_;  // the first run of each row, and one past the last
};

}  // namespace zel7
