#include "refine/cut.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "refine/grab_cut.h"
#include "system/system.h"

namespace zel7 {
namespace {

// The grid holds at most this many points: the cut takes 45 to 60 ms on them, and a
// shadow or a floor is many points across even on a 24-megapixel picture's grid.
constexpr double kMostPoints = 50'000;
// Rounds of fitting the colour models and cutting again.
constexpr int kIterations = 3;
// Each side needs this many points for a colour model of five Gaussians.
constexpr std::size_t kLeastPoints = 64;
// Every picture's k-means starts from this seed.
constexpr uint64_t kSeed = 0x2545F4914F6CDD1DULL;
// OpenCV's labels.
enum : uint8_t { kBackdropCertain, kObjectCertain, kBackdropLikely, kObjectLikely };

struct CutModule {
    GrabCutFunction* grabCut = nullptr;
};

// Where zel7-cut.so lies for the code that needs it: a program or Python module of a build
// tree opens the module built there, and no other; an installed one the module installed
// with it, ZEL7_CUT_FROM_PROGRAMS from a program's folder or ZEL7_CUT_FROM_PYTHON from the
// Python package's, within the same prefix (no folder outside it is trusted).
// Empty, with the places looked in said in error, when it is not there.
std::string CutModulePath(std::string& error) {
    bool program = false;
    const std::filesystem::path code = PathOfThisCode(program);
    std::error_code ignored;
    const std::filesystem::path build = std::filesystem::weakly_canonical(ZEL7_BUILD_DIR, ignored);
    std::vector<std::filesystem::path> places;
    const bool inBuild =
        !build.empty() &&
        std::mismatch(build.begin(), build.end(), code.begin(), code.end()).first == build.end();
    if (inBuild) {
        places.push_back(build / "pipeline/zel7-cut.so");
    } else if (!code.empty()) {
        places.push_back((code.parent_path() /
                          (program ? ZEL7_CUT_FROM_PROGRAMS : ZEL7_CUT_FROM_PYTHON) / "zel7-cut.so")
                             .lexically_normal());
    }
    error = "zel7-cut.so, the colour cut's module, which is not in";
    for (const std::filesystem::path& place : places) {
        if (std::filesystem::is_regular_file(place, ignored)) {
            return place.string();
        }
        // (appended piece by piece: GCC 12 at -O3 warns falsely of overlapping copies in
        // " " + place.string())
        error.append(" ").append(place.string());
    }
    if (places.empty()) {
        error += " a place told (the program's own file is not known)";
    }
    return {};
}

const CutModule* OpenCutModule(std::string& error) {
    static std::string missing;
    static const std::string path = CutModulePath(missing);
    if (path.empty()) {
        error = missing;
        return nullptr;
    }
    return OpenSharedFunctions<CutModule>(
        path.c_str(), error, [](void* library, CutModule& module, std::string& why) {
            return FindSharedFunction(library, kGrabCutName, module.grabCut, why);
        });
}

// A patch the cut would take whose colours lie this close to the backdrop's, on
// average, is kept: the rules kept it for an edge they found around it (white on
// white), and the backdrop's colour model explains it as well as the object's. The
// shadows and floors the cut is for lie further off (on the development photos, white
// garments' sleeves lie within 10 levels, the kept shadows 20 and more).
constexpr double kLeastTakenApart = 10;

// Object the rules found along the frame within this of the backdrop (a quarter of the
// scale, in any channel) is a floor, a cloth or a shadow running out of the picture, and
// certain backdrop to the cut there: the rules join it to the product it touches, and
// the cut would keep it for its colours alone (a pepper on a blue cloth, 0.57 to 0.99).
// A product the frame cuts lies further off, and stays likely object.
constexpr uint8_t kMostFloorApart = 64;

// What the cut takes must meet the backdrop along at least this share of its outline: a
// print the object all but encloses, reaching its outline at a wing's tip (a dark bat on a
// white helmet on black, 13% of its outline), was judged by the hole rule; a shadow in a
// gap between two objects meets the backdrop at both ends of the gap (17% and more).
constexpr double kLeastOpenShare = 0.15;

// The share of the rules' object the cut leaves, at the least: a white bowl on a sweep
// falling off to below its own shade is all taken for the backdrop's colours, while the
// shadows and floors the cut is for were, on the development photos, 55% of it at most.
constexpr double kLeastLeft = 0.1;

// Where the cut took every point around, a pixel the rules made object stays so only when
// the object's colours explain it this much better than the backdrop's (a logarithm: e^20
// times): the cut took the points for their colours and for the edges around, and a
// shadow's pixels are often a little likelier object than backdrop each.
constexpr double kStaysInTaken = 20;

// A pixel further than this from each of the backdrop model's Gaussians (a squared
// Mahalanobis distance: seven deviations) is unlike anything the cut took for backdrop.
constexpr double kUnlikeBackdrop = 50;

// What the colour models say of a colour (ColourCut::VerdictOn): the object's colours
// explain it better than the backdrop's, or better by kStaysInTaken, and it lies further
// than kUnlikeBackdrop from each of the backdrop's Gaussians.
constexpr uint8_t kObjectLikelier = 1, kObjectFarLikelier = 2, kUnlikeAnyBackdrop = 4;
constexpr int kVerdictBits = 3;
// An empty slot of ColourCut::verdicts_ (a colour's holds 27 bits, never these).
constexpr uint32_t kNoVerdict = UINT32_MAX;

// What the cut moved about a grid point (ColourCut::near_).
constexpr uint8_t kTaken = 1, kGiven = 2, kObjects = 4, kBackdrops = 8;
// ...and whether what it took about it is a shadow (see MarkTakenShadows).
constexpr uint8_t kShadowTaken = 16;

// on opened by a 2 x 2 square (eroded, then dilated): what is a single point thin goes.
// (A wider square kept the thin contact shadows under fruit: the development photos'
// share at 0.95 went from 69% to 73% with this one.)
std::vector<uint8_t> Opened(const std::vector<uint8_t>& on, int32_t across, int32_t down) {
    // Each point from the 2 x 2 square reaching from it by `reach` (1 or -1) both ways.
    const auto filter = [&](const std::vector<uint8_t>& in, bool erode) {
        const int32_t reach = erode ? 1 : -1;
        std::vector<uint8_t> out(in.size());
        for (int32_t j = 0; j < down; ++j) {
            for (int32_t i = 0; i < across; ++i) {
                bool all = true, any = false;
                for (const int32_t nj : {j, j + reach}) {
                    for (const int32_t ni : {i, i + reach}) {
                        const bool set =
                            ni >= 0 && nj >= 0 && ni < across && nj < down &&
                            in[std::size_t(nj) * std::size_t(across) + std::size_t(ni)];
                        all = all && set;
                        any = any || set;
                    }
                }
                out[std::size_t(j) * std::size_t(across) + std::size_t(i)] = erode ? all : any;
            }
        }
        return out;
    };
    return filter(filter(on, true), false);
}

// The grid's step: the least that keeps it within kMostPoints (the square root's guess is
// a point or two short where the picture is not a whole number of steps).
int32_t GridStep(int32_t width, int32_t height) {
    int32_t step = std::max(1, int32_t(std::sqrt(double(width) * height / kMostPoints)));
    while (double((width + step - 1) / step) * double((height + step - 1) / step) > kMostPoints) {
        ++step;
    }
    return step;
}

}  // namespace

void ColourCut::Model::Read(const double* fitted) {
    // OpenCV's layout: the weights, then each component's mean, then its covariance.
    const std::size_t count = components.size();
    for (std::size_t k = 0; k < count; ++k) {
        Component& c = components[k];
        c.weight = fitted[k];
        const double* mean = fitted + count + 3 * k;
        const double* m = fitted + 4 * count + 9 * k;
        std::copy(mean, mean + 3, c.mean.begin());
        const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                           m[2] * (m[3] * m[7] - m[4] * m[6]);
        if (c.weight <= 0 || !(det > 0)) {
            c.weight = 0;
            continue;
        }
        c.logNorm = std::log(c.weight) - std::log(det) / 2;
        c.inverse = {(m[4] * m[8] - m[5] * m[7]) / det, -(m[1] * m[8] - m[2] * m[7]) / det,
                     (m[1] * m[5] - m[2] * m[4]) / det, -(m[3] * m[8] - m[5] * m[6]) / det,
                     (m[0] * m[8] - m[2] * m[6]) / det, -(m[0] * m[5] - m[2] * m[3]) / det,
                     (m[3] * m[7] - m[4] * m[6]) / det, -(m[0] * m[7] - m[1] * m[6]) / det,
                     (m[0] * m[4] - m[1] * m[3]) / det};
    }
}

double ColourCut::Model::LogLikelihood(const uint8_t* bgr, double* nearest) const {
    // The components' logarithms summed through the largest: far from every component
    // (a narrow one fitted to clipped pixels) the likelihoods themselves are all 0.
    if (nearest != nullptr) {
        *nearest = std::numeric_limits<double>::infinity();
    }
    std::array<double, kGrabCutComponents> logs{};
    double most = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < components.size(); ++k) {
        const Component& c = components[k];
        logs[k] = -std::numeric_limits<double>::infinity();
        if (c.weight == 0) {
            continue;
        }
        const double d[3] = {bgr[0] - c.mean[0], bgr[1] - c.mean[1], bgr[2] - c.mean[2]};
        double q = 0;
        for (int r = 0; r < 3; ++r) {
            q += d[r] * (c.inverse[3 * r] * d[0] + c.inverse[3 * r + 1] * d[1] +
                         c.inverse[3 * r + 2] * d[2]);
        }
        logs[k] = c.logNorm - q / 2;
        if (nearest != nullptr) {
            *nearest = std::min(*nearest, q);
        }
        most = std::max(most, logs[k]);
    }
    if (most == -std::numeric_limits<double>::infinity()) {
        return most;
    }
    double sum = 0;
    for (const double log : logs) {
        sum += std::exp(log - most);
    }
    return most + std::log(sum);
}

ColourCut::ColourCut(int32_t width, int32_t height, int verdictSlotBits)
    : width_(width),
      step_(GridStep(width, height)),
      across_((width + step_ - 1) / step_),
      down_((height + step_ - 1) / step_),
      verdictSlotBits_(std::clamp(verdictSlotBits, 1, 24)) {
    colours_.reserve(std::size_t(across_) * std::size_t(down_) * 3);
}

std::future<void> ColourCut::OpenAhead() {
    return std::async(std::launch::async, [] {
        std::string unused;  // (Settle says why, when it must)
        OpenCutModule(unused);
    });
}

template <class Each>
void ColourCut::ForEachAround(std::size_t k, Each each) const {
    const auto i = int32_t(k % std::size_t(across_)), j = int32_t(k / std::size_t(across_));
    for (int32_t nj = std::max(j - 1, 0); nj <= std::min(j + 1, down_ - 1); ++nj) {
        for (int32_t ni = std::max(i - 1, 0); ni <= std::min(i + 1, across_ - 1); ++ni) {
            each(std::size_t(nj) * std::size_t(across_) + std::size_t(ni));
        }
    }
}

bool ColourCut::OnFrame(std::size_t k) const {
    const std::size_t i = k % std::size_t(across_), j = k / std::size_t(across_);
    return i == 0 || j == 0 || i + 1 == std::size_t(across_) || j + 1 == std::size_t(down_);
}

void ColourCut::AddRow(int32_t y, const uint8_t* bgr, const BackdropSurface& surface,
                       const std::function<bool(int32_t x, int32_t y)>& likelyShadow) {
    if (y % step_ != 0) {
        return;
    }
    for (int32_t x = 0; x < width_; x += step_) {
        colours_.insert(colours_.end(), bgr + 3 * x, bgr + 3 * x + 3);
        const std::array<uint8_t, 3> behind = surface.At(x, y);
        backdrop_.push_back(surface.Holds(bgr + 3 * x, behind));
        int apart = 0;
        for (int c = 0; c < 3; ++c) {
            apart = std::max(apart, std::abs(int(bgr[3 * x + c]) - int(behind[std::size_t(c)])));
        }
        apart_.push_back(uint8_t(apart));
        shadowed_.push_back(likelyShadow && likelyShadow(x, y));
    }
}

Result ColourCut::Settle(const RegionLabeller& labels, bool& movedAny) {
    movedAny = false;
    const std::size_t count = std::size_t(across_) * std::size_t(down_);
    if (across_ < 3 || down_ < 3 || colours_.size() != 3 * count) {
        return {};
    }
    // The rules' decision at the grid's points, and the frame's backdrop as certain, with
    // what runs out of the picture near the backdrop's colour.
    std::vector<uint8_t> object(count);
    std::vector<uint8_t> row(static_cast<std::size_t>(width_));
    for (int32_t j = 0; j < down_; ++j) {
        labels.FillRow(j * step_, row.data());
        for (int32_t i = 0; i < across_; ++i) {
            object[std::size_t(j) * std::size_t(across_) + std::size_t(i)] =
                row[std::size_t(i) * std::size_t(step_)] != 0;
        }
    }
    std::vector<uint8_t> mask(count);
    for (std::size_t k = 0; k < count; ++k) {
        const bool backdrop = !object[k] || apart_[k] < kMostFloorApart;
        mask[k] = OnFrame(k) && backdrop       ? kBackdropCertain
                  : object[k] && !shadowed_[k] ? kObjectLikely
                                               : kBackdropLikely;
    }
    // (the object less what lies in a likely shadow: all of it can, and then there is no
    // object's colour model to fit)
    const auto objects = std::size_t(std::count(mask.begin(), mask.end(), kObjectLikely));
    if (objects < kLeastPoints || count - objects < kLeastPoints) {
        return {};
    }
    std::string missing;
    const CutModule* module = OpenCutModule(missing);
    if (module == nullptr) {
        return Fail(Status::UnsupportedPicture, "--studio needs " + missing);
    }
    std::array<double, kGrabCutModelSize> backdropModel{}, objectModel{};
    std::array<char, 256> why{};
    switch (module->grabCut(colours_.data(), across_, down_, mask.data(), kIterations, kSeed,
                            backdropModel.data(), objectModel.data(), why.data(), why.size())) {
        case kGrabCutDone:
            break;
        case kGrabCutNoMemory:
            return Fail(Status::OutOfMemory, "no memory for the colour cut");
        default:
            return Fail(Status::UnsupportedPicture,
                        std::string("the colour cut failed: ") + why.data());
    }
    // What the cut took from the object and gave it, where thick...
    std::vector<uint8_t> taken(count), given(count);
    for (std::size_t k = 0; k < count; ++k) {
        const bool cut = (mask[k] & 1) != 0;  // certain or likely object
        taken[k] = object[k] && !cut;
        // (never the backdrop's own colour: what the rules made background of it is
        // a gap the object encloses, which a white garment's colours explain as well)
        given[k] = !object[k] && cut && !backdrop_[k];
    }
    taken = Opened(taken, across_, down_);
    given = Opened(given, across_, down_);
    // ...and of what it took, only the patches open to the backdrop: what the object
    // encloses, or all but encloses, was judged by the hole rule.
    std::vector<uint8_t> moved(count), inPatch(count);
    std::vector<std::size_t> patch;
    for (std::size_t first = 0; first < count; ++first) {
        if (!taken[first]) {
            continue;
        }
        patch.assign(1, first);
        taken[first] = 0;
        inPatch[first] = 1;
        for (std::size_t at = 0; at < patch.size(); ++at) {
            ForEachAround(patch[at], [&](std::size_t n) {
                if (taken[n]) {
                    taken[n] = 0;
                    inPatch[n] = 1;
                    patch.push_back(n);
                }
            });
        }
        // (its outline: its points beside any not in it; open where beside the backdrop,
        // or on the frame, past which a floor or a cloth runs on)
        uint64_t outline = 0, open = 0;
        double apart = 0;
        bool likely = false, framed = false;  // (see MarkTakenShadows)
        for (const std::size_t k : patch) {
            likely = likely || shadowed_[k] != 0;
            framed = framed || OnFrame(k);
            bool out = OnFrame(k), backdrop = out;
            ForEachAround(k, [&](std::size_t n) {
                out = out || !inPatch[n];
                backdrop = backdrop || !object[n];
            });
            outline += out;
            open += backdrop;
            apart += apart_[k];
        }
        apart /= double(patch.size());
        const bool taking = double(open) >= kLeastOpenShare * double(outline) && open > 0 &&
                            apart >= kLeastTakenApart;
        for (const std::size_t k : patch) {
            inPatch[k] = 0;
            moved[k] = taking ? kTaken | (likely && !framed ? kShadowTaken : 0) : 0;
        }
    }
    // A cut that takes nearly all the rules found has lost the object among the
    // backdrop's colours, not found its shadow: the rules' outline stands.
    const auto found = std::size_t(std::count(object.begin(), object.end(), 1));
    const auto took = std::size_t(std::count_if(moved.begin(), moved.end(),
                                                [](uint8_t move) { return (move & kTaken) != 0; }));
    if (double(found - took) < kLeastLeft * double(found)) {
        return {};
    }
    bool any = took > 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (given[k]) {
            moved[k] = kGiven;
            any = true;
        }
    }
    if (!any) {
        return {};
    }
    objectModel_.Read(objectModel.data());
    backdropModel_.Read(backdropModel.data());
    // Around each point (3 x 3): whether any point was taken or given, and whether the
    // decisions there, the cut's where it moved, include object and backdrop.
    verdicts_.assign(std::size_t{1} << verdictSlotBits_, kNoVerdict);
    near_.assign(count, 0);
    for (std::size_t k = 0; k < count; ++k) {
        uint8_t around = 0;
        ForEachAround(k, [&](std::size_t n) {
            const bool on = moved[n] == 0 ? object[n] != 0 : moved[n] == kGiven;
            around |= uint8_t(moved[n] | (on ? kObjects : kBackdrops));
        });
        near_[k] = (around & (kTaken | kGiven)) != 0 ? around : 0;
    }
    movedAny = true;
    return {};
}

uint8_t ColourCut::VerdictOn(const uint8_t* bgr) {
    const uint32_t colour = uint32_t(bgr[0]) | uint32_t(bgr[1]) << 8 | uint32_t(bgr[2]) << 16;
    // (Fibonacci hashing: the colour times 2^32 over the golden ratio, its top bits)
    // Two threads may meet colours of one slot at once: the slot is read and written whole,
    // and a colour's verdict is the same whoever works it out, whichever stays.
    std::atomic_ref slot(verdicts_[(colour * 2654435769u) >> (32 - verdictSlotBits_)]);
    if (const uint32_t kept = slot.load(std::memory_order_relaxed);
        kept >> kVerdictBits == colour) {  // (never so where empty: see kNoVerdict)
        return uint8_t(kept & ((1u << kVerdictBits) - 1));
    }
    double nearest = 0;
    const double ratio =
        objectModel_.LogLikelihood(bgr) - backdropModel_.LogLikelihood(bgr, &nearest);
    const auto verdict = uint8_t((ratio > 0 ? kObjectLikelier : 0) |
                                 (ratio > kStaysInTaken ? kObjectFarLikelier : 0) |
                                 (nearest > kUnlikeBackdrop ? kUnlikeAnyBackdrop : 0));
    slot.store(colour << kVerdictBits | verdict, std::memory_order_relaxed);
    return verdict;
}

void ColourCut::Apply(int32_t y, const uint8_t* bgr, const BackdropSurface& surface,
                      uint8_t* coverage) {
    const int32_t j = std::min(y / step_, down_ - 1);
    const uint8_t* near = &near_[std::size_t(j) * std::size_t(across_)];
    for (int32_t i = 0; i < across_; ++i) {
        if (near[i] == 0) {
            continue;
        }
        const bool taken = (near[i] & kTaken) != 0, given = (near[i] & kGiven) != 0;
        const bool allObject = (near[i] & kBackdrops) == 0;
        const bool allBackdrop = (near[i] & kObjects) == 0;
        const int32_t end = i == across_ - 1 ? width_ : (i + 1) * step_;
        for (int32_t x = i * step_; x < end; ++x) {
            // The grid's points are a pixel in step * step: a wire or a slit between them is
            // the pixels' own. Each pixel near what the cut moved moves only the way the cut
            // moved there, and never to object in the backdrop's own colour...
            const uint8_t* pixel = bgr + 3 * x;
            if (coverage[x] != 0 ? !taken : !given || surface.Holds(pixel, surface.At(x, y))) {
                continue;
            }
            // ...wholly where the cut gave all around...
            if (coverage[x] == 0 && allObject) {
                coverage[x] = 255;
                continue;
            }
            // ...and by which colour model explains it better elsewhere; where the cut took
            // all around, only what the object's colours explain far better stays. What the
            // rules made object and the backdrop's colours do not explain at all was not
            // what the cut took (a dark wire on the floor taken) and stays.
            const uint8_t verdict = VerdictOn(pixel);
            coverage[x] = (verdict & (allBackdrop ? kObjectFarLikelier : kObjectLikelier)) != 0 ||
                                  (coverage[x] != 0 && (verdict & kUnlikeAnyBackdrop) != 0)
                              ? 255
                              : 0;
        }
    }
}

void ColourCut::MarkTakenShadows(int32_t y, uint8_t mark, uint8_t* classes) const {
    const int32_t j = std::min(y / step_, down_ - 1);
    const uint8_t* near = &near_[std::size_t(j) * std::size_t(across_)];
    for (int32_t i = 0; i < across_; ++i) {
        if ((near[i] & kShadowTaken) == 0) {
            continue;
        }
        const int32_t end = i == across_ - 1 ? width_ : (i + 1) * step_;
        for (int32_t x = i * step_; x < end; ++x) {
            classes[x] = classes[x] == 0 ? mark : classes[x];
        }
    }
}

}  // namespace zel7
