#include "refine/cut.h"

#include <algorithm>
#include <cmath>

#include "refine/grab_cut.h"
#include "system/system.h"

namespace zel7 {
namespace {

// The grid holds at most this many points: the cut takes some 60 ms on them, and a
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

// zel7-cut.so where it lies beside the code that needs it: in the build tree, the
// library's folder beside the programs' (cli, tests) and above the Python package's;
// installed, ZEL7_CUT_DIR from the prefix, which is one folder above the programs and
// four above the Python package (lib/python3/dist-packages/zel7).
const CutModule* OpenCutModule(std::string& error) {
    static const std::string path = FileBesideThisCode(
        {"../pipeline/zel7-cut.so", "../../pipeline/zel7-cut.so", "../" ZEL7_CUT_DIR "/zel7-cut.so",
         "../../../../" ZEL7_CUT_DIR "/zel7-cut.so"});
    return OpenSharedFunctions<CutModule>(path.empty() ? "zel7-cut.so" : path.c_str(), error,
                                          [](void* library, CutModule& module, std::string& why) {
                                              return FindSharedFunction(library, kGrabCutName,
                                                                        module.grabCut, why);
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

// What lies around a grid point (ColourCut::near_).
constexpr uint8_t kTaken = 1, kGiven = 2, kObjects = 4, kBackdrops = 8;

// on opened by a 3 x 3 square (eroded, then dilated): what is thinner than three
// points goes.
std::vector<uint8_t> Opened(const std::vector<uint8_t>& on, int32_t across, int32_t down) {
    const auto filter = [&](const std::vector<uint8_t>& in, bool erode) {
        std::vector<uint8_t> out(in.size());
        for (int32_t j = 0; j < down; ++j) {
            for (int32_t i = 0; i < across; ++i) {
                bool all = true, any = false;
                for (int32_t nj = j - 1; nj <= j + 1; ++nj) {
                    for (int32_t ni = i - 1; ni <= i + 1; ++ni) {
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
        c.norm = c.weight / std::sqrt(det);
        c.inverse = {(m[4] * m[8] - m[5] * m[7]) / det, -(m[1] * m[8] - m[2] * m[7]) / det,
                     (m[1] * m[5] - m[2] * m[4]) / det, -(m[3] * m[8] - m[5] * m[6]) / det,
                     (m[0] * m[8] - m[2] * m[6]) / det, -(m[0] * m[5] - m[2] * m[3]) / det,
                     (m[3] * m[7] - m[4] * m[6]) / det, -(m[0] * m[7] - m[1] * m[6]) / det,
                     (m[0] * m[4] - m[1] * m[3]) / det};
    }
}

double ColourCut::Model::Likelihood(const uint8_t* bgr) const {
    double sum = 0;
    for (const Component& c : components) {
        if (c.weight == 0) {
            continue;
        }
        const double d[3] = {bgr[0] - c.mean[0], bgr[1] - c.mean[1], bgr[2] - c.mean[2]};
        double q = 0;
        for (int r = 0; r < 3; ++r) {
            q += d[r] * (c.inverse[3 * r] * d[0] + c.inverse[3 * r + 1] * d[1] +
                         c.inverse[3 * r + 2] * d[2]);
        }
        sum += c.norm * std::exp(-q / 2);
    }
    return sum;
}

ColourCut::ColourCut(int32_t width, int32_t height)
    : width_(width),
      height_(height),
      step_(std::max(1, int32_t(std::ceil(std::sqrt(double(width) * height / kMostPoints))))),
      across_((width + step_ - 1) / step_),
      down_((height + step_ - 1) / step_) {
    colours_.reserve(std::size_t(across_) * std::size_t(down_) * 3);
}

void ColourCut::AddRow(int32_t y, const uint8_t* bgr, const BackdropSurface& surface) {
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
    const auto objects = std::size_t(std::count(object.begin(), object.end(), 1));
    if (objects < kLeastPoints || count - objects < kLeastPoints) {
        return {};
    }
    std::string why;
    const CutModule* module = OpenCutModule(why);
    if (module == nullptr) {
        return Fail(Status::UnsupportedPicture, "the colour cut of --studio needs " + why);
    }
    std::vector<uint8_t> mask(count);
    for (int32_t j = 0; j < down_; ++j) {
        for (int32_t i = 0; i < across_; ++i) {
            const bool frame = i == 0 || j == 0 || i == across_ - 1 || j == down_ - 1;
            const std::size_t k = std::size_t(j) * std::size_t(across_) + std::size_t(i);
            const bool backdrop = !object[k] || apart_[k] < kMostFloorApart;
            mask[k] = frame && backdrop ? kBackdropCertain
                      : object[k]       ? kObjectLikely
                                        : kBackdropLikely;
        }
    }
    std::array<double, kGrabCutModelSize> backdropModel{}, objectModel{};
    if (module->grabCut(colours_.data(), across_, down_, mask.data(), kIterations, kSeed,
                        backdropModel.data(), objectModel.data()) == 0) {
        return {};  // colours too few for its models (a picture of two colours)
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
    // ...and of what it took, only the patches the backdrop touches: what the object
    // encloses was judged by the hole rule.
    std::vector<uint8_t> moved(count);
    std::vector<std::size_t> patch;
    for (std::size_t first = 0; first < count; ++first) {
        if (!taken[first]) {
            continue;
        }
        patch.assign(1, first);
        taken[first] = 0;
        bool touched = false;
        for (std::size_t at = 0; at < patch.size(); ++at) {
            const auto i = int32_t(patch[at] % std::size_t(across_)),
                       j = int32_t(patch[at] / std::size_t(across_));
            for (int32_t nj = std::max(j - 1, 0); nj <= std::min(j + 1, down_ - 1); ++nj) {
                for (int32_t ni = std::max(i - 1, 0); ni <= std::min(i + 1, across_ - 1); ++ni) {
                    const std::size_t n = std::size_t(nj) * std::size_t(across_) + std::size_t(ni);
                    touched = touched || !object[n];
                    if (taken[n]) {
                        taken[n] = 0;
                        patch.push_back(n);
                    }
                }
            }
        }
        double apart = 0;
        for (const std::size_t k : patch) {
            apart += apart_[k];
        }
        apart /= double(patch.size());
        for (const std::size_t k : patch) {
            moved[k] = touched && apart >= kLeastTakenApart ? 1 : 0;
        }
    }
    bool any = std::find(moved.begin(), moved.end(), 1) != moved.end();
    for (std::size_t k = 0; k < count; ++k) {
        if (given[k]) {
            moved[k] = 2;
            any = true;
        }
    }
    if (!any) {
        return {};
    }
    objectModel_.Read(objectModel.data());
    backdropModel_.Read(backdropModel.data());
    // Around each point, what the 3 x 3 points about it say: whether any was taken or
    // given, and whether the decisions there, the cut's where it moved, include object
    // and backdrop.
    near_.assign(count, 0);
    for (int32_t j = 0; j < down_; ++j) {
        for (int32_t i = 0; i < across_; ++i) {
            uint8_t around = 0;
            for (int32_t nj = std::max(j - 1, 0); nj <= std::min(j + 1, down_ - 1); ++nj) {
                for (int32_t ni = std::max(i - 1, 0); ni <= std::min(i + 1, across_ - 1); ++ni) {
                    const std::size_t n = std::size_t(nj) * std::size_t(across_) + std::size_t(ni);
                    const bool on = moved[n] == 0 ? object[n] != 0 : moved[n] == 2;
                    around |= uint8_t((moved[n] == 1 ? kTaken : 0) | (moved[n] == 2 ? kGiven : 0) |
                                      (on ? kObjects : kBackdrops));
                }
            }
            near_[std::size_t(j) * std::size_t(across_) + std::size_t(i)] =
                (around & (kTaken | kGiven)) != 0 ? around : 0;
        }
    }
    movedAny = true;
    return {};
}

void ColourCut::Apply(int32_t y, const uint8_t* bgr, uint8_t* coverage) const {
    const int32_t j = std::min(y / step_, down_ - 1);
    const uint8_t* near = &near_[std::size_t(j) * std::size_t(across_)];
    for (int32_t i = 0; i < across_; ++i) {
        if (near[i] == 0) {
            continue;
        }
        const bool taken = (near[i] & kTaken) != 0, given = (near[i] & kGiven) != 0;
        const bool objects = (near[i] & kObjects) != 0, backdrops = (near[i] & kBackdrops) != 0;
        const int32_t end = i == across_ - 1 ? width_ : (i + 1) * step_;
        for (int32_t x = i * step_; x < end; ++x) {
            if (objects != backdrops) {
                coverage[x] = objects ? 255 : 0;
                continue;
            }
            // On the cut's outline, each pixel goes by which colour model explains it
            // better, and only the way the cut moved there.
            const bool toObject =
                objectModel_.Likelihood(bgr + 3 * x) > backdropModel_.Likelihood(bgr + 3 * x);
            if ((coverage[x] != 0 && taken && !toObject) ||
                (coverage[x] == 0 && given && toObject)) {
                coverage[x] = toObject ? 255 : 0;
            }
        }
    }
}

}  // namespace zel7
