#include "refine/confidence.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zel7 {
namespace {

// The score falls to 0 as the object covers this share of the frame's pixels: a
// product standing on the frame's lower edge covers a tenth or so of them.
constexpr double kMostBorderObject = 0.5;
// Objects cover from this share of the picture to this share; the score falls to 0
// outside, at nothing and at all of it.
constexpr double kLeastObject = 0.002;
constexpr double kMostObject = 0.85;
// Edge pixels whose object hardly stands off the backdrop (faint ones, see EdgeAlpha):
// on 100 product, food and garment photos up to 8% of them, a white T-shirt's and a dark
// apple's on black among the most, white bowls rendered on a falling sweep 5 to 35%; the
// score falls from the first share to 0 at the second. (Counted by alpha, pixels neither
// mostly object nor mostly backdrop had judged a lens's blur: a square blurred by one
// pixel, its mask exact, scored 0.01, by one and a half 1.)
constexpr double kUsualFaintShare = 0.1, kMostFaintShare = 0.5;
// A studio sweep ranges over 20 to 40 levels; the score falls from there to 0 at twice.
constexpr double kEvenEnough = 40;

double Falling(double value, double from, double to) {
    return std::clamp((to - value) / (to - from), 0.0, 1.0);
}

}  // namespace

double Confidence::Score() const {
    if (offSide) {
        return 0;
    }
    const double size = objectShare < kLeastObject ? objectShare / kLeastObject
                                                   : Falling(objectShare, kMostObject, 1);
    return std::min({Falling(borderObject, 0, kMostBorderObject), size,
                     Falling(ambiguousEdges, kUsualFaintShare, kMostFaintShare),
                     Falling(unevenness, kEvenEnough, 2 * kEvenEnough)});
}

std::string Confidence::Doubt() const {
    if (Score() > 0) {
        return {};
    }
    // A picture on the other backdrop than the one asked for is taken all for object or
    // for backdrop, or its colours for a backdrop ranging over a hundred levels and more.
    const char* side = "doubtful mask: is the picture on the backdrop asked for? ";
    char text[160];
    if (offSide) {
        const auto& [asked, found] = *offSide;
        std::snprintf(text, sizeof text, "%s(its border is %d, %d, %d, not near %s)", side,
                      found[2], found[1], found[0],
                      asked == Background::NearWhite ? "white" : "black");
    } else if (objectShare == 0 || objectShare >= 1) {
        std::snprintf(text, sizeof text, "%s(%s)", side,
                      objectShare == 0 ? "no object told from it" : "all of it object");
    } else if (unevenness >= 2 * kEvenEnough) {
        std::snprintf(text, sizeof text, "%s(its levels range over %.0f)", side, unevenness);
    } else if (borderObject >= kMostBorderObject) {
        std::snprintf(text, sizeof text, "doubtful mask: object along %.0f%% of the frame",
                      100 * borderObject);
    } else {
        std::snprintf(text, sizeof text,
                      "doubtful mask: its outline hardly stands off the backdrop");
    }
    return text;
}

std::vector<std::pair<std::string_view, double>> Confidence::Fields() const {
    // Four significant digits, as reports print them, so that every front end gives
    // the very same numbers.
    const auto rounded = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.4g", value);
        return std::strtod(text, nullptr);
    };
    return {{"score", rounded(Score())},
            {"border_object", rounded(borderObject)},
            {"object_share", rounded(objectShare)},
            {"ambiguous_edges", rounded(ambiguousEdges)},
            {"unevenness", rounded(unevenness)}};
}

void ConfidenceCounter::Row(int32_t y, const uint8_t* object) {
    uint64_t row = 0;  // a plain sum, which the compiler vectorises
    for (int32_t x = 0; x < width_; ++x) {
        row += object[x] != 0;
    }
    objects_ += row;
    frameObjects_ += y == 0 || y == height_ - 1
                         ? row
                         : uint64_t(object[0] != 0) + uint64_t(width_ > 1 && object[width_ - 1]);
}

void ConfidenceCounter::Edge(bool faint) {
    ++edges_;
    faint_ += faint;
}

Confidence ConfidenceCounter::Result(double unevenness) const {
    const double area = double(width_) * double(height_);
    const double frame =
        width_ <= 2 || height_ <= 2 ? area : 2.0 * (double(width_) + double(height_)) - 4;
    return {double(frameObjects_) / std::max(frame, 1.0), double(objects_) / std::max(area, 1.0),
            edges_ == 0 ? 0 : double(faint_) / double(edges_), unevenness};
}

}  // namespace zel7
