#include "refine/shadows.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <deque>
#include <utility>

namespace zel7 {
namespace {

// A shadow's hue and steps are judged with at least the tolerance of a noiseless JPEG
// backdrop, though a clean white one classifies with less: with less, a shadow's faint
// outer fringe turns candidate and its JPEG blocks read as edges (the development
// photos' contact shadows on clean white were kept as object).
constexpr int kLeastTolerance = 3;
// A shadow scales the backdrop by at least this: deeper than that, it is a dark
// object's own grey.
constexpr float kDarkestShadow = 0.3f;
// How far a shadow's channels may stray from the backdrop's scaled, besides the
// tolerance: JPEG's halved colour resolution tints a grey by a level or two.
constexpr float kHueSlack = 2;
// ...and this share of how far the shadow darkens it: a deep shadow takes a tint from
// the object beside it (green under an apple), where the light it gets comes from.
constexpr float kTintPerDepth = 0.2f;
// Neighbouring samples (a few pixels apart) further apart than this in any channel,
// or than twice the tolerance, lie across an edge: a soft shadow darkens by a level or
// two from one to the next, a white garment's outline by five and more.
constexpr int kLeastEdge = 5;
constexpr int kEdgePerTolerance = 2;
// ...or than this share of the darker one's depth below the backdrop: a deep shadow
// darkens faster towards the object casting it, but no faster than in proportion. Across
// samples spread further apart for a soft lens's outlines, it steps as many times further
// (a white bowl's contact shadow, on a 600 x 450 picture blurred by 3 pixels, read as
// edges across samples twice as far apart), up to kMostSpreadPerDepth times: at three
// times a third, no step within a shadow's depth would be an edge.
constexpr int kEdgePerDepth = 3;  // a third
constexpr double kMostSpreadPerDepth = 2;
// A patch is shadow when its outline meets the backdrop softly, where it meets it at
// all, but for this share: a shadow fades into the backdrop and meets the object casting
// it; a pale object meets the backdrop across an edge even where its outline fades in
// places (on the development photos, white garments across a fifth to two thirds of
// their backdrop's contacts, shadows across a tenth at most).
constexpr double kMostHardShare = 0.15;
// ...and it meets the backdrop along at least this share of its whole outline: a shadow
// fades into the backdrop across a stretch of it. A white garment's body within a seam,
// which meets the backdrop only through the seam's breaks, softly there, is no shadow (a
// warm white one went whole, its seam with it, where the breaks were a twentieth of it).
constexpr double kLeastSoftShare = 0.05;
// Yet a patch meeting the backdrop across an edge along at least this many samples, and this
// share of where it meets it, holds an outline besides a shadow's fade: a pale product
// standing in its soft shadow, joined to it where its shaded side is as deep (a cream box
// on a lit sweep went with its shadow whole: its crisp side met the backdrop along 24
// samples, too few beside the shadow's fade to reject the patch). Where the picture holds
// samples plainly object, and the patch would be taken whole, it is parted as a patch the
// rules reject is (see below). (Where nothing is plainly object, a product taken whole is
// judged again with every patch, see kLeastObjectLeft; parted first, a grey ball on a sweep
// was left to the colour cut, which took it for backdrop.)
constexpr double kLeastOutlinedContacts = 20;
constexpr double kLeastOutlinedShare = 0.05;
// The parting stands where it takes between these shares of the patch as shadow: one that
// takes less (a pale box's shadow beside its top face, lighter than the backdrop) or more (a
// pastel cylinder whose lit face, soft against the backdrop at its top, went to the shadow's
// side) leaves the patch whole, as the rules after part such patches their own way (see
// kMostShadowPerCaster)...
constexpr double kLeastPartedShadowShare = 0.25, kMostPartedShadowShare = 0.75;
// ...and where at least this share of the crisp contacts stays on the product's side: a patch
// whose crisp contacts went with the shadow (a soft shadow's own sharper edge; a cream
// garment's shaded side) was parted along no outline.
constexpr double kLeastKeptOutlineShare = 0.5;
// Light an object throws on the backdrop beside it, and its reflection on a glossy one,
// tint the backdrop with the object's colour (on black, lift it, and the sheen of a cloth's
// folds with it): a fifth of it at most, so that no channel strays further than this from
// the backdrop's.
constexpr int kMostTint = 255 / 5;
// Such a tint lies on the backdrop, open to the frame: at least this share of its
// outline meets the backdrop, or shadow, softly. A glossy object's halo around its
// highlight is tinted alike, but ringed by the object.
constexpr double kLeastOpenShare = 0.3;

// A patch of an object and its shadow is parted along the object's crisp outline (see
// below) when it holds at least this share of the picture (a shadow and an object of a
// 200th each)...
constexpr double kLeastPartedShare = 1.0 / 100;
// ...and a part parted off as shadow goes when it meets the backdrop softly along at least
// this share of its outline, as a shadow spreads from its object over the floor (a third
// to three quarters on the studio's shots), where a pale garment's side out of focus,
// parted from the rest by the crisp and soft readings that alternate along its pale
// outline, meets the garment along most of its own (the backdrop a fifth to a quarter)...
constexpr double kLeastPartedOpenShare = 0.3;
// ...and deepens to at least this over its deepest tenth, as a contact shadow's core does
// (the studio's 30 to 60 levels, blurred; under a white bowl, whose foot hides the core,
// 18 and more), where a white garment's soft shoulders lie 10 to 15 levels deep (a crease
// or a dark label across them a small part of them).
constexpr int kLeastPartedDepth = 18;
// The object's side of a parted patch is what lies within the convex hull of its pieces
// at least this share of the largest: a white bowl's two crisp sides, which the shading
// of its lit middle, reaching the shadow, parts, and not the few samples a crisp step on
// the shadow's rim claims.
constexpr double kLeastHulledPiece = 0.25;

// A rejected patch whose deeper samples lie this many times deeper, on average, than
// its shallower ones is an object in its own shadow (see below). (A white bowl's body,
// shaded to its foot, lies two and a half to three times as deep as the contact shadow
// it stands in where a lens's blur of two pixels or more joins them; at 3 such shadows
// were kept with the bowl.)
constexpr double kDepthsApart = 2.5;
// The deeper part's outline, blurred into the shallower, is told as an object's is (see
// blendsInto, below) where the deeper part lies at least this deep: a light grey product lies
// 30 to 60 levels off the backdrop (at 40 and less, 40 was too deep to tell its sides by),
// where a white garment's hem, a few levels deeper than its body, keeps the crisp steps
// that hold its soft sides (taken as the outline of anything deeper, a hem went as shadow).
constexpr int kLeastBlendedDepth = 32;

// A hard light casts a shadow with an outline as crisp as an object's, which the rules
// above reject; the colour cut can still tell it from the object casting it, given it as
// likely backdrop rather than object. Such a rejected patch is the backdrop's own hue
// darkened, its channels within this of the backdrop's scaled on average (an object's
// dark parts, desaturated, stray further: a shaded artichoke's 16 to 34 levels, grey
// shadows 3 to 4)...
constexpr float kMostSharpTint = 8;
// ...deep (a pale object lies a few levels below the backdrop)...
constexpr int kLeastSharpDepth = 40;
// ...fading into the backdrop across a penumbra wider than the lens's blur: where it meets
// the backdrop, its samples lie no deeper than this share of its depth on average, and
// those next in from them no deeper than the next share (hard-lit shadows' three quarters
// and nine tenths; a grey part's crisp outline, blurred, 65% to 95% as its samples fall
// across it, but all of it a sample in)...
constexpr double kMostSharpRim = 0.85, kMostSharpInner = 0.95;
// ...and the ring after that deeper still by this: a penumbra is a ramp to the shadow's
// core, where a grey part lit lighter towards its edges (chrome reflecting the white
// sweep) deepens slowly across its whole width (hard-lit shadows 0.96 and less, such
// parts 0.99 and more)...
constexpr double kMostSharpRamp = 0.975;
// ...meeting the object along at least this share of what it meets, as a shadow starts
// at the object casting it (hard-lit shadows half and more; a grey cap on a red body a
// third, a grey product beside a red one none)...
constexpr double kLeastSharpContact = 0.4;
// ...no larger than the rest of the object, and a 200th of the picture or more.
constexpr double kLeastSharpShare = 1.0 / 200;

// A pale object whose outline the lens softens all round (a white garment 8 to 12 levels
// below the backdrop, its lower side out of focus) meets the backdrop softly nearly
// everywhere, as a shadow does; but it rises to its whole depth within two samples of its
// outline, where a shadow deepens on towards the object casting it. A patch whose third ring
// in from its outline lies this deep, as a share of its median depth (its body's: creases
// and folds raise the mean; such garments 0.89 to 1.0; shadows on the development photos
// and the studio's 0.8 of their mean at most, but for faint ones a few levels deep, as flat
// as their noise)...
constexpr double kLeastFlatShare = 0.85;
// ...rising from its outline to the ring next in by this share of it (the garments 0.3 to
// 0.41; the faint shadows 0.06 to 0.22), or lying that deep already at its outline, where
// the lens left the outline crisp: a step no shadow fading into the backdrop makes (a white
// garment 6 levels deep, a step too small to read as an edge, went as a shadow; so did one
// of the development photos' garments, whole, at four times its size)...
constexpr double kLeastOutlineRise = 0.25;
// ...where the picture holds less than this share of its size as object besides it, to cast
// it, counted in samples (a dark object's blurred outline reads as candidates, not object,
// and a small one counts for less than it shows). A soft shadow is at most a few times the
// size of its object (a product ringed by its shadow is a fifth of it, a box beside its own
// nearly twice it; at a tenth, dark products whose flat shadows were 12 to 25 times their
// size, or a sliver cut by the frame, kept them), where a garment's collar or a small print
// is a fiftieth of the garment and more: at a hundredth, printed garments soft all round
// went whole, and nine of the 25 development garments enlarged six times (five came back;
// the rest, their prints a seventh to a quarter of them, came back once a pale patch was no
// longer parted by depth: kMostDeeperShare). Only what stands by its own outline counts, as
// a light grey or a cream box casting a flat shadow beside it does: a patch that meets the
// backdrop as a shadow or a tint does casts nothing (two pale garments side by side, soft
// all round, each took the other for its object, and both went). The test is of the whole
// picture's object, not of what lies beside the patch: enclosed by its shadow, a product is
// still its caster.
constexpr double kLeastCasterShare = 0.05;
// A pale object whose crisp, deeper parts reject its patch as a shadow (a yoke, seams,
// creases), split by depth, left its body to be judged alone, cast by those parts of its
// own: it went (white garments enlarged three to six times, each but its print and
// creases). It stays whole where those parts are at most this share of it (the garments'
// 11 to 18%), its body lies flat within its outline alone, and nothing else casts it: a
// grey product is most of the patch it shares with its contact shadow, and that shadow
// deepens towards it (kept whole, such products on graded sweeps kept the sweep's darker
// band, and products their soft shadows).
constexpr double kMostDeeperShare = 0.25;
// Where the picture, on white, holds nothing plainly object (no sample off the backdrop's
// hue or past the deepest shadow) and the rules leave less than this share of what they
// took for shadow as object, they took the object for its own shadow (a grey product soft
// all round, in a contact shadow joined to it by the lens's blur, both went): each patch
// is judged again, a shadow only where what they left casts it (kLeastCasterShare) or
// where it is parted from an object standing in it. A dark product casts a shadow of any
// size (judged again, shadows 20 to 110 times a dark box's were kept, with a shadow from
// outside the frame to add to what was taken from 25 times); on black, what an object
// throws is light, and a pool of it no object casts is still backdrop.
constexpr double kLeastObjectLeft = 0.01;

// A contact shadow's core, between the shadow found and the object standing in it, meets
// the object across an edge along at least this share of what it meets of it: the object
// is lit where the core is dark. A part of the object shaded down to its shadow continues
// into the object's body without one (on the development photos, cores under fruit a fifth
// of their contacts, a cabbage's shaded underside a hundredth).
constexpr double kLeastCoreEdgeShare = 0.1;

// Each shadow has an object to cast it. Where the shadows found within the picture (reaching
// no frame) are more than this many times what the rules leave standing to cast them
// (neither backdrop nor shadow, nor a likely shadow: the colour cut may take that too), they
// may have taken a pale product for its own shadow, and those shadows are parted afresh (see
// below): a light grey, white, mint or cream box or cylinder standing in a soft shadow that
// rings it, joined to it where its faces are as deep, went with it whole (a tenth or less of
// the product was left; a cylinder's shaded side, the likely core of that shadow, went
// after it). A long shadow a low light casts beside a pale product can be as many times its
// size, counting its faint fade; parted, it goes all the same.
constexpr double kMostShadowPerCaster = 4;
// ...unless at least this share of what is left (likely shadows with it) is plainly object,
// as a dark or strongly coloured product, or a grey wire deeper than the deepest tenth of
// those shadows, is (but see kMostShadowPerPlainCaster). Neither a likely shadow nor what
// continues the shadows without an edge is plainer than they are: a pale cylinder's rim, a
// little deeper than its lit face taken among them, or a sliver of a pastel one's colour.
// Nor where any of what is left meets the frame: what casts the shadows may lie outside.
constexpr double kLeastPlainCasterShare = 0.25;
// What continues the shadows lies no deeper than this many times their deepest tenth: a
// cylinder's rim lies 1.2 to 1.7 times as deep, where a mid-grey mug in the pool of its
// shadow, four times as deep, casts it (a smooth step grows with the depth, and the mug's
// blurred outline chained the pool to its body: the whole pool was kept).
constexpr int kMostContinuedDepth = 2;
// Yet what is plainly object and this many times smaller than the shadows may be what a
// pale product taken with them left of itself (the coloured side of a mint cylinder beside
// its long shadow, a cream mug's darker rim), not what casts them: they are parted afresh
// all the same (the cylinder kept 0.01 of itself, the mug 0.31). Not where a quarter of
// what is left is darker than any shadow (see kDarkestShadow) or more strongly coloured
// than any pale product or tint (its channels further apart than kMostTint): a dark or a
// red box casts a shadow of any size (beside a shadow 150 times it, crisp enough at its
// fade to read as an outline, each was kept whole with it; so were pools 20 to 150 times
// small green, orange, purple and yellow boxes). A mid-grey product in such a pool, neither
// dark nor coloured, is still taken for a sliver, and its pool kept.
constexpr double kMostShadowPerPlainCaster = 20;

// The depth that splits a histogram's values into two classes of least spread within
// (Otsu's threshold): the last value of the lower class.
int OtsuThreshold(const std::array<uint64_t, 256>& histogram) {
    double total = 0, sum = 0;
    for (std::size_t v = 0; v < histogram.size(); ++v) {
        total += double(histogram[v]);
        sum += double(v) * double(histogram[v]);
    }
    double below = 0, belowSum = 0, best = -1;
    int threshold = 0;
    for (std::size_t v = 0; v + 1 < histogram.size(); ++v) {
        below += double(histogram[v]);
        belowSum += double(v) * double(histogram[v]);
        const double above = total - below;
        if (below == 0 || above == 0) {
            continue;
        }
        const double apart = belowSum / below - (sum - belowSum) / above;
        const double between = below * above * apart * apart;
        if (between > best) {
            best = between;
            threshold = int(v);
        }
    }
    return threshold;
}

enum Kind : uint8_t { kObject, kBackdrop, kCandidate };

// What a pixel scales the backdrop by, its channels taken together...
float ScaleOf(const uint8_t* bgr, const std::array<uint8_t, 3>& backdrop) {
    return float(bgr[0] + bgr[1] + bgr[2]) /
           float(std::max(backdrop[0] + backdrop[1] + backdrop[2], 1));
}

// ...and how far its channels stray, at most, from the backdrop's scaled by that.
float HueOff(const uint8_t* bgr, const std::array<uint8_t, 3>& backdrop, float scale) {
    float off = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        off = std::max(off, std::abs(float(bgr[c]) - scale * float(backdrop[c])));
    }
    return off;
}

// Whether a pixel is darker than any shadow, or more strongly coloured than a pale product
// or a tint of the backdrop can be: plainly what an object is made of.
bool Unmistakable(const uint8_t* bgr, const std::array<uint8_t, 3>& backdrop) {
    const int spread = std::max({bgr[0], bgr[1], bgr[2]}) - std::min({bgr[0], bgr[1], bgr[2]});
    return ScaleOf(bgr, backdrop) < kDarkestShadow || spread > kMostTint;
}

// The rule's constants for the shade kernels.
constexpr kernels::ShadeRule kShadeRule{kDarkestShadow, kHueSlack, kTintPerDepth, kMostTint};
using kernels::Shade;

Shade ShadeOf(const uint8_t* bgr, const std::array<uint8_t, 3>& backdrop, int tolerance,
              bool white) {
    return kernels::portable::ShadeOf(bgr, backdrop, tolerance, white, kShadeRule);
}

// The convex hull of samples (counted row by row, across wide), to tell what lies within.
class ConvexHull {
public:
    ConvexHull(const std::vector<std::size_t>& samples, std::size_t across) {
        // Each row's outermost samples are enough (Andrew's monotone chain over them).
        std::vector<Point> ends;
        std::vector<std::pair<std::size_t, std::size_t>> rows;  // (row, column)
        for (const std::size_t k : samples) {
            rows.emplace_back(k / across, k % across);
        }
        std::sort(rows.begin(), rows.end());
        for (std::size_t at = 0; at < rows.size();) {
            std::size_t last = at;
            while (last + 1 < rows.size() && rows[last + 1].first == rows[at].first) {
                ++last;
            }
            ends.push_back({int64_t(rows[at].second), int64_t(rows[at].first)});
            ends.push_back({int64_t(rows[last].second), int64_t(rows[at].first)});
            at = last + 1;
        }
        std::sort(ends.begin(), ends.end());
        ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
        if (ends.size() < 3) {
            return;
        }
        std::vector<Point> hull(2 * ends.size());
        std::size_t size = 0;
        for (std::size_t at = 0; at < ends.size(); ++at) {  // the lower chain
            while (size >= 2 && Turn(hull[size - 2], hull[size - 1], ends[at]) <= 0) {
                --size;
            }
            hull[size++] = ends[at];
        }
        for (std::size_t at = ends.size() - 1, lower = size + 1; at-- > 0;) {  // the upper
            while (size >= lower && Turn(hull[size - 2], hull[size - 1], ends[at]) <= 0) {
                --size;
            }
            hull[size++] = ends[at];
        }
        hull.resize(size - 1);  // (the last is the first again)
        if (hull.size() < 3) {
            return;  // (a line: nothing lies within)
        }
        // Each row's span within it, its ends on the hull's edges rounded inwards, so that
        // telling a sample takes a look rather than a walk round the hull.
        const auto [top, bottom] = std::minmax_element(
            hull.begin(), hull.end(), [](const Point& a, const Point& b) { return a.y < b.y; });
        top_ = top->y;
        spans_.assign(std::size_t(bottom->y - top_ + 1), {INT64_MAX, INT64_MIN});
        for (std::size_t at = 0; at < hull.size(); ++at) {
            const Point &a = hull[at], &b = hull[(at + 1) % hull.size()];
            const Point &p = a.y < b.y ? a : b, &q = a.y < b.y ? b : a;
            // (each corner is the end of an edge that is not level: level ones add nothing)
            for (int64_t y = p.y; y <= q.y && p.y < q.y; ++y) {
                // x = p.x + along / rise on the edge, at row y
                const int64_t along = (y - p.y) * (q.x - p.x), rise = q.y - p.y;
                Span& span = spans_[std::size_t(y - top_)];
                span.left = std::min(span.left, p.x - FloorDivide(-along, rise));
                span.right = std::max(span.right, p.x + FloorDivide(along, rise));
            }
        }
    }

    // Whether the sample at column i, row j lies within the hull or on it.
    bool Holds(std::size_t i, std::size_t j) const {
        const int64_t row = int64_t(j) - top_;
        if (row < 0 || row >= int64_t(spans_.size())) {
            return false;
        }
        const Span& span = spans_[std::size_t(row)];
        return int64_t(i) >= span.left && int64_t(i) <= span.right;
    }

private:
    struct Point {
        int64_t x, y;
        auto operator<=>(const Point&) const = default;
    };
    struct Span {
        int64_t left, right;
    };
    // numerator / denominator rounded down, the denominator positive.
    static int64_t FloorDivide(int64_t numerator, int64_t denominator) {
        return numerator >= 0 ? numerator / denominator
                              : -((-numerator + denominator - 1) / denominator);
    }
    // Positive where a, b, c turn one way (anticlockwise were y up, not down the rows), 0
    // where they lie in a line.
    static int64_t Turn(const Point& a, const Point& b, const Point& c) {
        return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    }
    int64_t top_ = 0;
    std::vector<Span> spans_;  // each row's from top_, the hull's top
};

}  // namespace

ShadowMap::ShadowMap(const PictureSamples& samples, const BackdropSurface& surface, double spread)
    : surface_(surface),
      step_(samples.Step()),
      across_(samples.Across()),
      down_(samples.Down()),
      tolerance_(std::max(surface.Tolerance(), kLeastTolerance)) {
    const std::size_t count = std::size_t(across_) * std::size_t(down_);
    shadow_.assign(count, 0);
    const bool white = surface.Side() == Background::NearWhite;
    const auto pixel = [&](std::size_t k) { return samples.At(k); };
    const std::vector<std::array<uint8_t, 3>> surfaceAt = surface.AtSamples(samples);
    std::vector<uint8_t> kinds(count), tinted(count);
    for (std::size_t k = 0; k < count; ++k) {
        const auto& backdrop = surfaceAt[k];
        const Shade shade = ShadeOf(pixel(k), backdrop, tolerance_, white);
        tinted[k] = shade == Shade::kTinted;
        kinds[k] = surface.Holds(pixel(k), backdrop) ? kBackdrop
                   : shade != Shade::kNone           ? kCandidate
                                                     : kObject;
    }
    const int least = std::max(kLeastEdge, kEdgePerTolerance * tolerance_);
    const double spreadPerDepth = std::clamp(spread, 1.0, kMostSpreadPerDepth);
    const auto depth = [&](std::size_t k) {
        const uint8_t* p = pixel(k);
        const auto& b = surfaceAt[k];
        return std::max({b[0] - p[0], b[1] - p[1], b[2] - p[2], 0});
    };
    // Whether neighbours a and b differ by no more than an edge, counting a share of the
    // depth perDepth times over.
    const auto within = [&](std::size_t a, std::size_t b, double perDepth) {
        const uint8_t *p = pixel(a), *q = pixel(b);
        const int edge =
            std::max(least, int(perDepth * std::max(depth(a), depth(b)) / kEdgePerDepth));
        return std::abs(p[0] - q[0]) <= edge && std::abs(p[1] - q[1]) <= edge &&
               std::abs(p[2] - q[2]) <= edge;
    };
    // A step a shadow's fade may make between them, across samples however far apart...
    const auto smooth = [&](std::size_t a, std::size_t b) { return within(a, b, spreadPerDepth); };
    // ...and one an object's outline makes: as large across samples spread for its width
    // as across any further apart. (Judged as a fade, the steps from the cores of contact
    // shadows under apples to the apples read as soft, and the cores stayed.)
    const auto crisp = [&](std::size_t a, std::size_t b) { return !within(a, b, 1); };
    const auto neighbours = [&](std::size_t k, auto each) {
        const std::size_t i = k % std::size_t(across_);
        if (i > 0)
            each(k - 1);
        if (i + 1 < std::size_t(across_))
            each(k + 1);
        if (k >= std::size_t(across_))
            each(k - std::size_t(across_));
        if (k + std::size_t(across_) < count)
            each(k + std::size_t(across_));
    };
    // The sample past n on the line from its neighbour k, or count where the frame ends it.
    const auto past = [&](std::size_t k, std::size_t n) {
        const std::size_t i = n % std::size_t(across_), j = n / std::size_t(across_);
        if (k / std::size_t(across_) == j) {  // along a row
            return n > k ? (i + 1 < std::size_t(across_) ? n + 1 : count) : (i > 0 ? n - 1 : count);
        }
        return n > k ? (j + 1 < std::size_t(down_) ? n + std::size_t(across_) : count)
                     : (j > 0 ? n - std::size_t(across_) : count);
    };
    // The backdrop open to the frame: what a shadow or a reflection lies on. A glossy
    // object's highlight, clipped to the backdrop's level, is enclosed by the object.
    std::vector<uint8_t> open(count);
    std::vector<std::size_t> reach;
    const auto onFrame = [&](std::size_t k) {
        const std::size_t i = k % std::size_t(across_), j = k / std::size_t(across_);
        return i == 0 || j == 0 || i + 1 == std::size_t(across_) || j + 1 == std::size_t(down_);
    };
    for (std::size_t k = 0; k < count; ++k) {
        if (onFrame(k) && kinds[k] == kBackdrop) {
            open[k] = 1;
            reach.push_back(k);
        }
    }
    for (std::size_t at = 0; at < reach.size(); ++at) {
        neighbours(reach[at], [&](std::size_t n) {
            if (kinds[n] == kBackdrop && !open[n]) {
                open[n] = 1;
                reach.push_back(n);
            }
        });
    }
    // An object's outline, blurred by the lens, blends its colour into the backdrop's, and
    // a faint or a dark blend reads as the backdrop darkened. A candidate lying between the
    // object on one side and the open backdrop across an edge on the other, in colour as
    // in place, is such a blend: a shadow has no edge of its own, and a thin one beside
    // its object is darker than both. (Along a red mug's sides and rim, the outline's tail
    // chained its contact shadow to edges enough to keep it.)
    // (n: the object, or a grey part of it as deep as its shadow)
    const auto between = [&](std::size_t k, std::size_t n) {
        const std::size_t beyond = past(n, k);
        if (beyond == count || kinds[beyond] != kBackdrop || !open[beyond] || !crisp(k, beyond)) {
            return false;
        }
        const uint8_t *object = pixel(n), *p = pixel(k), *backdrop = pixel(beyond);
        for (std::size_t c = 0; c < 3; ++c) {
            if (p[c] + tolerance_ < std::min(object[c], backdrop[c]) ||
                p[c] > std::max(object[c], backdrop[c]) + tolerance_) {
                return false;
            }
        }
        return true;
    };
    // Whether k is such a blend of a neighbour that is of the object (of(n)).
    const auto blendsInto = [&](std::size_t k, auto of) {
        bool blend = false;
        neighbours(k, [&](std::size_t n) { blend = blend || (of(n) && between(k, n)); });
        return blend;
    };
    std::vector<std::size_t> outline;
    for (std::size_t k = 0; k < count; ++k) {
        if (kinds[k] == kCandidate &&
            blendsInto(k, [&](std::size_t n) { return kinds[n] == kObject; })) {
            outline.push_back(k);
        }
    }
    for (const std::size_t k : outline) {
        kinds[k] = kObject;
    }
    // Each patch of candidates joined by smooth steps, one at a time: its samples,
    // and how it meets the backdrop. First the backdrop's hue darkened; then the faint
    // tints, which meet the shadows found as they meet the backdrop.
    std::vector<uint8_t> seen(count);
    std::vector<std::size_t> patch;
    struct Contacts {
        uint64_t soft = 0, hard = 0, object = 0;
    };
    // Whether n, beside the patch's k but not joined to it, is the middle of a crisp
    // outline that the lens spread over two samples: between k and the open backdrop past
    // it in depth, a step of more than an edge from either. (A white bowl's foot meets its
    // contact shadow without an edge, and the shadow's soft fade outweighed the bowl's
    // sides, whose outlines read as neither hard nor soft. A thin grey wire lying between
    // a shadow and the backdrop is deeper than the shadow beside it: no outline of it.)
    const auto spreadOutline = [&](std::size_t k, std::size_t n) {
        const std::size_t beyond = past(k, n);
        return kinds[n] == kCandidate && depth(n) < depth(k) && crisp(k, n) && beyond < count &&
               kinds[beyond] == kBackdrop && open[beyond] && crisp(n, beyond);
    };
    // Grows the patch of first among the samples joins allows.
    const auto grow = [&](std::size_t first, bool tints, auto joins) {
        patch.assign(1, first);
        seen[first] = 1;
        Contacts contacts;
        for (std::size_t at = 0; at < patch.size(); ++at) {
            const std::size_t k = patch[at];
            neighbours(k, [&](std::size_t n) {
                if (joins(n) && smooth(k, n)) {
                    if (!seen[n]) {
                        seen[n] = 1;
                        patch.push_back(n);
                    }
                } else if ((kinds[n] == kBackdrop && open[n]) || (tints && shadow_[n])) {
                    (smooth(k, n) ? contacts.soft : contacts.hard) += 1;
                } else if (!tints && spreadOutline(k, n)) {
                    ++contacts.hard;
                } else {
                    ++contacts.object;
                }
            });
        }
        return contacts;
    };
    likely_.assign(count, 0);
    const auto objects = double(std::count(kinds.begin(), kinds.end(), uint8_t(kObject)));
    // The patch's mean depth, and that of its outline (ring 1, its samples beside the open
    // backdrop) and of the two rings next in from it; ringed when it has all three.
    struct Profile {
        double mean = 0;
        std::array<double, 4> ring{};
        bool ringed = true;
    };
    std::vector<uint8_t> rimmed(count);  // (the patch's samples by ring)
    std::vector<int> levels;             // (the patch's depths, for flat's median)
    const auto profileOf = [&]() {
        Profile profile;
        for (const std::size_t k : patch) {
            profile.mean += depth(k);
            neighbours(k, [&](std::size_t n) { rimmed[k] |= kinds[n] == kBackdrop && open[n]; });
        }
        profile.mean /= double(patch.size());
        for (uint8_t r = 2; r <= 3; ++r) {
            for (const std::size_t k : patch) {
                bool next = false;
                neighbours(k, [&](std::size_t n) { next = next || rimmed[n] == r - 1; });
                rimmed[k] = rimmed[k] == 0 && next ? r : rimmed[k];
            }
        }
        std::array<double, 4> rings{};
        for (const std::size_t k : patch) {
            profile.ring[rimmed[k]] += depth(k);
            rings[rimmed[k]] += 1;
            rimmed[k] = 0;
        }
        for (std::size_t r = 1; r <= 3; ++r) {
            profile.ringed = profile.ringed && rings[r] > 0;
            profile.ring[r] /= std::max(rings[r], 1.0);
        }
        return profile;
    };
    // Whether the rejected patch is a shadow a hard light cast (see kMostSharpTint).
    const auto castSharply = [&](const Contacts& contacts) {
        if (contacts.object == 0 ||
            double(contacts.object) <
                kLeastSharpContact * double(contacts.soft + contacts.hard + contacts.object) ||
            double(patch.size()) > objects ||
            double(patch.size()) < kLeastSharpShare * double(count)) {
            return false;
        }
        const Profile profile = profileOf();
        double tint = 0;
        for (const std::size_t k : patch) {
            tint += HueOff(pixel(k), surfaceAt[k], ScaleOf(pixel(k), surfaceAt[k]));
        }
        const std::array<double, 4>& ring = profile.ring;
        const double mean = profile.mean;
        return profile.ringed && tint <= kMostSharpTint * double(patch.size()) &&
               mean >= kLeastSharpDepth && ring[1] <= kMostSharpRim * mean &&
               ring[2] <= kMostSharpInner * mean && ring[2] <= kMostSharpRamp * ring[3];
    };
    // Whether a patch meets the backdrop as a shadow does (see kMostHardShare).
    const auto shadowy = [](const Contacts& contacts, bool tints) {
        const auto all = double(contacts.soft + contacts.hard + contacts.object);
        return contacts.soft > 0 &&
               double(contacts.hard) <= kMostHardShare * double(contacts.soft + contacts.hard) &&
               double(contacts.soft) >= kLeastSoftShare * all &&
               (!tints || double(contacts.soft) >= kLeastOpenShare * all);
    };
    // The samples of the candidates' patches that stand by their own outline, as a pale
    // product does, grey or tinted (a cream box), before any is judged: they can cast a
    // shadow (see kLeastCasterShare).
    std::vector<uint8_t> standing(count);
    for (const bool tints : {false, true}) {
        const auto alike = [&](std::size_t k) {
            return kinds[k] == kCandidate && bool(tinted[k]) == tints;
        };
        for (std::size_t first = 0; first < count; ++first) {
            if (alike(first) && !seen[first] && !shadowy(grow(first, tints, alike), tints)) {
                for (const std::size_t k : patch) {
                    standing[k] = 1;
                }
            }
        }
    }
    std::fill(seen.begin(), seen.end(), 0);
    // Whether the picture holds an object besides the patch to cast it: the samples of an
    // object, or of a standing patch, not yet taken for shadow.
    const double allCasters = double(std::count_if(kinds.begin(), kinds.end(),
                                                   [](uint8_t kind) { return kind == kObject; })) +
                              double(std::count(standing.begin(), standing.end(), uint8_t(1)));
    double casters = allCasters;
    const auto castable = [&]() {
        double own = 0;  // (a standing patch's shallower part, judged alone)
        for (const std::size_t k : patch) {
            own += standing[k];
        }
        return casters - own >= kLeastCasterShare * double(patch.size());
    };
    // Whether the patch lies flat within its outline, blurred by the lens or crisp, as a pale
    // object does.
    const auto flat = [&]() {
        const Profile profile = profileOf();
        levels.clear();
        for (const std::size_t k : patch) {
            levels.push_back(depth(k));
        }
        const auto middle = levels.begin() + std::ptrdiff_t(levels.size() / 2);
        std::nth_element(levels.begin(), middle, levels.end());
        const double typical = *middle;
        const std::array<double, 4>& ring = profile.ring;
        return profile.ringed && ring[3] >= kLeastFlatShare * typical &&
               (ring[2] - ring[1] >= kLeastOutlineRise * typical ||
                std::min(ring[1], ring[2]) >= kLeastFlatShare * typical);
    };
    // Judged again where the rules took all but a little of the object for shadow (see
    // kLeastObjectLeft): what they left of it first, and how many samples.
    std::vector<uint8_t> left;
    double leftCount = 0;
    // Whether, judged again, nothing left casts the patch, nor beside it (the samples of
    // an object it was parted from).
    const auto orphaned = [&](double beside) {
        if (left.empty()) {
            return false;
        }
        double own = 0;
        for (const std::size_t k : patch) {
            own += left[k];
        }
        return leftCount - own + beside < kLeastCasterShare * double(patch.size());
    };
    const auto take = [&]() {
        for (const std::size_t k : patch) {
            shadow_[k] = 1;
            casters -= standing[k];
        }
        any_ = true;
    };
    bool pale = false;    // (whether mark's last patch was a pale object's, by flat)
    bool orphan = false;  // (...or a shadow's but for what casts it)
    // Whether the patch is a shadow, judged whole (setting pale and orphan)...
    const auto shadowAsIs = [&](const Contacts& contacts, bool tints, double beside = 0) {
        const bool looksShadow = shadowy(contacts, tints);
        pale = looksShadow && !tints && flat() && !castable();
        orphan = looksShadow && !pale && orphaned(beside);
        return looksShadow && !pale && !orphan;
    };
    // ...and taken for one if so.
    const auto mark = [&](const Contacts& contacts, bool tints, double beside = 0) {
        if (!shadowAsIs(contacts, tints, beside)) {
            if (!tints && castSharply(contacts)) {
                for (const std::size_t k : patch) {
                    likely_[k] = 1;
                }
            }
            return false;
        }
        take();
        return true;
    };
    std::vector<uint8_t> member(count);
    std::vector<std::size_t> rejected, deepest, whole;
    // A grey object as deep as its own shadow joins it in one patch too, which the object's
    // outline rejects: it meets the backdrop across an edge where the shadow fades into it.
    // Each sample of such a patch goes to the nearer of the two, within it, and the
    // shadow's side, less what lies within the convex hull of the object's (where the
    // object's foot is shaded as deep as the shadow, half way between the two lies under
    // the object), is judged again alone.
    enum : uint8_t { kUnreached, kObjectSide, kShadowSide };
    std::vector<uint8_t> sideOf(count);
    std::vector<std::size_t> nearest, piece, objectPart, hulled;
    std::vector<int> depths;
    // (a piece of side's samples from first, marked seen, into into)
    const auto pieceOf = [&](std::size_t first, uint8_t side, std::vector<std::size_t>& into) {
        into.assign(1, first);
        seen[first] = 1;
        for (std::size_t at = 0; at < into.size(); ++at) {
            neighbours(into[at], [&](std::size_t n) {
                if (member[n] && sideOf[n] == side && !seen[n]) {
                    seen[n] = 1;
                    into.push_back(n);
                }
            });
        }
    };
    // How deep the deepest tenth of samples lies (0 for none).
    const auto deepestTenth = [&](const std::vector<std::size_t>& samples) {
        depths.clear();
        for (const std::size_t k : samples) {
            depths.push_back(depth(k));
        }
        if (depths.empty()) {
            return 0;
        }
        const auto tenth = depths.begin() + std::ptrdiff_t(depths.size() * 9 / 10);
        std::nth_element(depths.begin(), tenth, depths.end());
        return *tenth;
    };
    // Parts rejected (each flagged in member, none seen) between an object and the shadow it
    // stands in: the seeds seedOf names (the object's side where its crisp outline is, the
    // shadow's where it fades into the backdrop) each take the samples nearest them, and the
    // object's side what lies within the convex hull of its largest pieces (half way between
    // the two, the shadow reached in under a round product's foot). Which sides had seeds
    // (parted only where both had).
    struct Seeds {
        bool object = false, shadow = false;
        bool Both() const { return object && shadow; }
    };
    const auto partSides = [&](auto seedOf) {
        Seeds seeds;
        for (const std::size_t k : rejected) {
            const uint8_t side = seedOf(k);
            if (side != kUnreached) {
                seeds.object = seeds.object || side == kObjectSide;
                seeds.shadow = seeds.shadow || side == kShadowSide;
                sideOf[k] = side;
                nearest.push_back(k);
            }
        }
        if (!seeds.Both()) {
            return seeds;
        }
        for (std::size_t at = 0; at < nearest.size(); ++at) {
            neighbours(nearest[at], [&](std::size_t n) {
                if (member[n] && sideOf[n] == kUnreached) {
                    sideOf[n] = sideOf[nearest[at]];
                    nearest.push_back(n);
                }
            });
        }
        // The object: the pieces of its side near the largest in size (a crisp step on the
        // shadow's rim claims a few samples of its own).
        objectPart.clear();
        std::vector<std::size_t> starts;  // (of each piece in objectPart, and its end)
        std::size_t largest = 0;
        for (const std::size_t first : rejected) {
            if (sideOf[first] == kObjectSide && !seen[first]) {
                pieceOf(first, kObjectSide, piece);
                starts.push_back(objectPart.size());
                objectPart.insert(objectPart.end(), piece.begin(), piece.end());
                largest = std::max(largest, piece.size());
            }
        }
        starts.push_back(objectPart.size());
        hulled.clear();
        for (std::size_t p = 0; p + 1 < starts.size(); ++p) {
            if (double(starts[p + 1] - starts[p]) >= kLeastHulledPiece * double(largest)) {
                hulled.insert(hulled.end(), objectPart.begin() + std::ptrdiff_t(starts[p]),
                              objectPart.begin() + std::ptrdiff_t(starts[p + 1]));
            }
        }
        objectPart.swap(hulled);
        const ConvexHull hull(objectPart, std::size_t(across_));
        for (const std::size_t k : rejected) {
            if (sideOf[k] == kShadowSide &&
                hull.Holds(k % std::size_t(across_), k / std::size_t(across_))) {
                sideOf[k] = kObjectSide;
            }
        }
        return seeds;
    };
    // A grey object's patch with its shadow, rejected by its outline: the object's side seeded
    // where the patch meets the backdrop across an edge, the shadow's where softly.
    const auto partByOutline = [&]() {
        const Seeds seeds = partSides([&](std::size_t k) {
            bool hard = false, soft = false;
            neighbours(k, [&](std::size_t n) {
                if (member[n]) {
                    return;
                }
                if (kinds[n] == kBackdrop && open[n]) {
                    (smooth(k, n) ? soft : hard) = true;
                } else if (spreadOutline(k, n)) {
                    hard = true;
                }
            });
            return uint8_t(hard ? kObjectSide : soft ? kShadowSide : kUnreached);
        });
        if (!seeds.Both()) {
            return;
        }
        const auto shadowSide = [&](std::size_t n) {
            return member[n] && sideOf[n] == kShadowSide;
        };
        for (const std::size_t k : rejected) {
            if (!shadowSide(k) || seen[k]) {
                continue;
            }
            const Contacts contacts = grow(k, false, shadowSide);
            const auto all = double(contacts.soft + contacts.hard + contacts.object);
            if (deepestTenth(patch) >= kLeastPartedDepth &&
                double(contacts.soft) >= kLeastPartedOpenShare * all) {
                mark(contacts, false, double(objectPart.size()));
            }
        }
    };
    const auto splitByOutline = [&]() {
        if (double(rejected.size()) < kLeastPartedShare * double(count)) {
            return;
        }
        for (const std::size_t k : rejected) {
            member[k] = 1;
            seen[k] = 0;
        }
        partByOutline();
        nearest.clear();
        for (const std::size_t k : rejected) {
            member[k] = 0;
            sideOf[k] = kUnreached;
            seen[k] = 1;
        }
    };
    // A patch the rules reject, or one that holds a pale product's outline as well as its
    // shadow (see kLeastOutlinedContacts), parted where it can be (its samples in rejected).
    const auto part = [&](bool tints) {
        // A grey object standing in its own shadow joins it in one patch, which its
        // outline then rejects: the two lie at depths far apart, and the shallower
        // part is judged again alone, the deeper one as object beside it.
        rejected = patch;
        std::array<uint64_t, 256> histogram{};
        for (const std::size_t k : rejected) {
            ++histogram[std::size_t(depth(k))];
        }
        const int split = OtsuThreshold(histogram);
        double shallow = 0, deep = 0, shallowCount = 0;
        for (const std::size_t k : rejected) {
            const bool below = depth(k) <= split;
            (below ? shallow : deep) += depth(k);
            shallowCount += below;
        }
        const double deepCount = double(rejected.size()) - shallowCount;
        // (and apart by more than an edge: faint patches a few levels deep are not
        // split by their noise)
        const bool apart = shallowCount > 0 && deepCount > 0 &&
                           deep / deepCount >= kDepthsApart * shallow / shallowCount &&
                           deep / deepCount - shallow / shallowCount >= least;
        // A darkening with nothing to cast it that runs out of the picture (a sweep's
        // fall, a shadow cast from outside it) goes, but where it parts by depth and
        // its deeper part lies within the picture: an object standing in it.
        if (orphan) {
            deepest.clear();
            for (const std::size_t k : rejected) {
                if (!apart || depth(k) > split) {
                    deepest.push_back(k);
                }
            }
            if (std::any_of(deepest.begin(), deepest.end(), onFrame)) {
                take();
                return;
            }
        }
        if (!apart) {
            if (!tints) {
                splitByOutline();
            }
            return;
        }
        // So too where its outline rejects it: a pale object whose deeper parts (a yoke,
        // seams, creases) are a small share of it, its body flat within its outline
        // alone, and nothing else in the picture to cast it (see kMostDeeperShare).
        const bool uncast = !castable();
        patch.clear();
        for (const std::size_t k : rejected) {
            if (depth(k) <= split) {
                patch.push_back(k);
            }
        }
        if (!tints && uncast && deepCount <= kMostDeeperShare * double(rejected.size()) && flat()) {
            return;
        }
        enum : uint8_t { kShallower = 1, kDeeper };
        for (const std::size_t k : rejected) {
            member[k] = depth(k) <= split ? kShallower : kDeeper;
            seen[k] = 0;
        }
        // A grey object's outline, blurred into the backdrop, falls in the shallower part
        // and meets the backdrop across an edge: it is the object's, and no edge of the
        // shadow's (the fringe of a shadow between two light grey products was kept for
        // their blurred sides' edges).
        outline.clear();
        for (const std::size_t k : rejected) {
            if (member[k] == kShallower && blendsInto(k, [&](std::size_t n) {
                    return member[n] == kDeeper && depth(n) >= kLeastBlendedDepth;
                })) {
                outline.push_back(k);
            }
        }
        for (const std::size_t k : outline) {
            member[k] = kDeeper;
        }
        for (const std::size_t k : rejected) {
            member[k] = member[k] == kShallower;
        }
        for (const std::size_t k : rejected) {
            if (member[k] && !seen[k]) {
                mark(grow(k, tints, [&](std::size_t n) { return bool(member[n]); }), tints,
                     deepCount);
            }
        }
        for (const std::size_t k : rejected) {
            member[k] = 0;
            seen[k] = 1;
        }
    };
    // Whether a patch that meets the backdrop as a shadow does holds an outline as well.
    const auto outlined = [&](const Contacts& contacts, bool tints) {
        return !tints && objects > 0 && shadowy(contacts, tints) &&
               double(contacts.hard) >= kLeastOutlinedContacts &&
               double(contacts.hard) >= kLeastOutlinedShare * double(contacts.soft + contacts.hard);
    };
    const auto judge = [&]() {
        for (const bool tints : {false, true}) {
            const auto candidate = [&](std::size_t k) {
                return kinds[k] == kCandidate && bool(tinted[k]) == tints && !shadow_[k];
            };
            for (std::size_t first = 0; first < count; ++first) {
                if (!candidate(first) || seen[first]) {
                    continue;
                }
                const Contacts contacts = grow(first, tints, candidate);
                // (a pale object's patch stays whole: split by depth, its body alone, without
                // the creases that leave it an object to cast it, went as a shadow)
                if (!outlined(contacts, tints) || !shadowAsIs(contacts, tints)) {
                    if (!mark(contacts, tints) && !pale) {
                        part(tints);
                    }
                    continue;
                }
                whole = patch;
                part(tints);
                double parted = 0, kept = 0;  // (of the patch, and of its outline, kept)
                for (const std::size_t k : whole) {
                    parted += shadow_[k];
                    neighbours(k, [&](std::size_t n) {
                        kept += !shadow_[k] && kinds[n] == kBackdrop && open[n] && !smooth(k, n);
                    });
                }
                if (parted < kLeastPartedShadowShare * double(whole.size()) ||
                    parted > kMostPartedShadowShare * double(whole.size()) ||
                    kept < kLeastKeptOutlineShare * double(contacts.hard)) {
                    patch = whole;
                    mark(contacts, tints);
                }
            }
        }
    };
    judge();
    // Each shadow has an object to cast it: where the rules took all but a little of a pale
    // or grey object for shadow, each patch is judged again, shadow only where what they
    // left casts it, or where it is parted from an object standing in it.
    // (with no sample plainly object, what is left is the candidates not taken)
    const auto taken = double(std::count(shadow_.begin(), shadow_.end(), uint8_t(1)));
    leftCount = double(std::count(kinds.begin(), kinds.end(), uint8_t(kCandidate))) - taken;
    if (white && objects == 0 && taken > 0 && leftCount < kLeastObjectLeft * taken) {
        left.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
            left[k] = kinds[k] == kCandidate && !shadow_[k];
        }
        std::fill(shadow_.begin(), shadow_.end(), 0);
        std::fill(likely_.begin(), likely_.end(), 0);
        std::fill(seen.begin(), seen.end(), 0);
        casters = allCasters;
        any_ = false;
        judge();
    }
    // A contact shadow deepens towards the object standing in it, and its core, past the
    // deepest shadow or tinted by the object's light, is no candidate: the object's, as the
    // rules see it. It goes on from the shadow found by smooth steps that each deepen, and
    // ends where the picture stops darkening: at the object, lit where the core is dark,
    // or at a part of it no deeper (steps that only stayed as deep flooded a flat dark
    // product). Such a core that meets the object across an edge is given to the colour
    // cut as likely backdrop.
    if (white) {
        std::vector<uint8_t> core(count);
        std::vector<std::size_t> reached;
        for (std::size_t k = 0; k < count; ++k) {
            if (shadow_[k]) {
                reached.push_back(k);
            }
        }
        for (std::size_t at = 0; at < reached.size(); ++at) {
            const std::size_t k = reached[at];
            neighbours(k, [&](std::size_t n) {
                if (!shadow_[n] && !core[n] && kinds[n] != kBackdrop && smooth(k, n) &&
                    depth(n) > depth(k)) {
                    core[n] = 1;
                    reached.push_back(n);
                }
            });
        }
        // Each core whole, and how it meets the object.
        for (std::size_t first = 0; first < count; ++first) {
            if (core[first] != 1) {
                continue;
            }
            patch.assign(1, first);
            core[first] = 2;
            uint64_t edges = 0, contacts = 0;
            for (std::size_t at = 0; at < patch.size(); ++at) {
                neighbours(patch[at], [&](std::size_t n) {
                    if (core[n] == 1) {
                        core[n] = 2;
                        patch.push_back(n);
                    } else if (!core[n] && !shadow_[n] && kinds[n] != kBackdrop) {
                        edges += crisp(patch[at], n);
                        ++contacts;
                    }
                });
            }
            if (edges > 0 && double(edges) >= kLeastCoreEdgeShare * double(contacts)) {
                for (const std::size_t k : patch) {
                    likely_[k] = 1;
                }
            }
        }
    }
    // The shadows' patch first lies in, joined across sides, into patch (marked in met).
    const auto shadowPatch = [&](std::size_t first, std::vector<uint8_t>& met) {
        patch.assign(1, first);
        met[first] = 1;
        for (std::size_t at = 0; at < patch.size(); ++at) {
            neighbours(patch[at], [&](std::size_t n) {
                if (shadow_[n] && !met[n]) {
                    met[n] = 1;
                    patch.push_back(n);
                }
            });
        }
    };
    // Shadows that dwarf what casts them (see kMostShadowPerCaster) are parted afresh.
    if (white && any_) {
        std::vector<uint8_t> inside(count);  // (the shadows reaching no frame)
        std::vector<uint8_t> reached(count);
        for (std::size_t first = 0; first < count; ++first) {
            if (!shadow_[first] || reached[first]) {
                continue;
            }
            shadowPatch(first, reached);
            const bool framed = std::any_of(patch.begin(), patch.end(), onFrame);
            for (const std::size_t k : patch) {
                inside[k] = !framed;
            }
        }
        rejected.clear();
        for (std::size_t k = 0; k < count; ++k) {
            if (inside[k]) {
                rejected.push_back(k);
            }
        }
        // What the shadows continue into by smooth steps (see kLeastPlainCasterShare): a
        // tinted face taken among them into anything, its own colour too; a grey shadow only
        // into grey (a pink box beside its grey shadow, as deep as it, stands by its hue).
        const int tenth = deepestTenth(rejected);
        std::vector<uint8_t> continued(count);
        nearest = rejected;
        for (std::size_t at = 0; at < nearest.size(); ++at) {
            const std::size_t k = nearest[at];
            neighbours(k, [&](std::size_t n) {
                if (kinds[n] != kBackdrop && !shadow_[n] && !continued[n] && smooth(k, n) &&
                    depth(n) <= kMostContinuedDepth * tenth &&
                    (tinted[k] || (kinds[n] == kCandidate && !tinted[n]))) {
                    continued[n] = 1;
                    nearest.push_back(n);
                }
            });
        }
        nearest.clear();
        double standing = 0, standingCasters = 0, plain = 0, plainAlone = 0, unmistakable = 0;
        bool framed = false;
        for (std::size_t k = 0; k < count; ++k) {
            const bool stands = kinds[k] != kBackdrop && !shadow_[k];
            standing += stands;
            standingCasters += stands && !likely_[k];
            const bool plainly = stands && !likely_[k] && (kinds[k] == kObject || depth(k) > tenth);
            plainAlone += plainly;
            const bool caster = plainly && !continued[k];
            plain += caster;
            unmistakable += caster && Unmistakable(pixel(k), surfaceAt[k]);
            framed = framed || (stands && onFrame(k));
        }
        const auto shadows = double(rejected.size());
        const bool plainlyCast = plain >= kLeastPlainCasterShare * standing &&
                                 (plain * kMostShadowPerPlainCaster >= shadows ||
                                  unmistakable >= kLeastPlainCasterShare * standing);
        if (shadows > kMostShadowPerCaster * standingCasters && !framed && !plainlyCast) {
            // A product taken among them is deeper than what it steps down to across its crisp
            // outline, where it meets what stands or the backdrop; a shadow fades into the
            // backdrop. Parted so, the fade's side stays shadow. Unparted, they all stay object
            // (a pale product soft all round, in a contact shadow its blur joins), but where
            // none of them has such an outline and what stands was plainly object but for
            // continuing into them: that casts them, and they stay shadow (the pool a small
            // grey box stands in, which its blur continues into, was kept as object). (Steps
            // between two of them are not counted: a shadow blurred over some ten pixels steps
            // as crisply within its own fade, and a pale mug's long shadow was kept whole. A
            // long shadow beside a pale product, deeper than it, seeds the object's side along
            // the product, a strip as narrow as the nearest seeds make it.)
            for (const std::size_t k : rejected) {
                member[k] = 1;
                seen[k] = 0;
            }
            const Seeds seeds = partSides([&](std::size_t k) {
                bool hard = false, soft = false;
                neighbours(k, [&](std::size_t n) {
                    if (kinds[n] == kBackdrop) {
                        soft = soft || (open[n] && smooth(k, n));
                        hard = hard || (open[n] && !smooth(k, n));
                    } else {
                        hard = hard || (!member[n] && depth(k) > depth(n) && crisp(k, n));
                    }
                });
                return uint8_t(hard ? kObjectSide : soft ? kShadowSide : kUnreached);
            });
            const bool castBeside =
                plainAlone >= kLeastPlainCasterShare * standing && !seeds.object;
            for (const std::size_t k : rejected) {
                shadow_[k] = seeds.Both() ? sideOf[k] == kShadowSide : castBeside;
                member[k] = 0;
                sideOf[k] = kUnreached;
            }
            nearest.clear();
            any_ = std::find(shadow_.begin(), shadow_.end(), 1) != shadow_.end();
        }
    }
    // A shadow's last fringe, a level past the tolerance, lies between its outermost
    // sample and the backdrop's next: the backdrop's samples beside a shadow lend their
    // pixels to it too (each pixel still of the backdrop's hue when marked).
    std::vector<uint8_t> beside(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (kinds[k] != kBackdrop) {
            continue;
        }
        const int32_t i = int32_t(k % std::size_t(across_)), j = int32_t(k / std::size_t(across_));
        for (int32_t nj = std::max(j - 1, 0); nj <= std::min(j + 1, down_ - 1); ++nj) {
            for (int32_t ni = std::max(i - 1, 0); ni <= std::min(i + 1, across_ - 1); ++ni) {
                beside[k] |= shadow_[std::size_t(nj) * std::size_t(across_) + std::size_t(ni)];
            }
        }
    }
    for (std::size_t k = 0; k < count; ++k) {
        shadow_[k] |= beside[k];
    }
    // The patches cast: those that come near something standing.
    std::vector<uint8_t> near(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (kinds[k] == kBackdrop || shadow_[k]) {
            continue;
        }
        const int32_t i = int32_t(k % std::size_t(across_)), j = int32_t(k / std::size_t(across_));
        for (int32_t nj = std::max(j - kCastReach, 0); nj <= std::min(j + kCastReach, down_ - 1);
             ++nj) {
            for (int32_t ni = std::max(i - kCastReach, 0);
                 ni <= std::min(i + kCastReach, across_ - 1); ++ni) {
                near[std::size_t(nj) * std::size_t(across_) + std::size_t(ni)] = 1;
            }
        }
    }
    cast_.assign(count, 0);
    std::vector<uint8_t> met(count);
    for (std::size_t first = 0; first < count; ++first) {
        if (!shadow_[first] || met[first]) {
            continue;
        }
        shadowPatch(first, met);
        const bool cast =
            std::any_of(patch.begin(), patch.end(), [&](std::size_t k) { return near[k] != 0; });
        for (const std::size_t k : patch) {
            cast_[k] = cast;
        }
    }
}

template <class Each>
void ShadowMap::ForEachNearest(const std::vector<uint8_t>& flags, int32_t y, int32_t width,
                               Each each) const {
    const int32_t j = std::min((y + step_ / 2) / step_, down_ - 1);
    const uint8_t* set = &flags[std::size_t(j) * std::size_t(across_)];
    for (int32_t i = 0; i < across_; ++i) {
        // The pixels nearest sample i, and those of the samples set after it.
        const int32_t from = std::max(0, i * step_ - step_ / 2);
        for (; i + 1 < across_ && set[i] != 0 && set[i + 1] != 0; ++i) {
        }
        const int32_t to = i == across_ - 1 ? width : std::min(width, (i + 1) * step_ - step_ / 2);
        if (set[i] != 0) {
            each(from, to);
        }
    }
}

void ShadowMap::Mark(int32_t y, int32_t width, const uint8_t* bgr, uint8_t mark,
                     uint8_t* classes) const {
    MarkOf(shadow_, y, width, bgr, mark, classes);
}

void ShadowMap::MarkCast(int32_t y, int32_t width, const uint8_t* bgr, uint8_t mark,
                         uint8_t* classes) const {
    MarkOf(cast_, y, width, bgr, mark, classes);
}

void ShadowMap::MarkOf(const std::vector<uint8_t>& flags, int32_t y, int32_t width,
                       const uint8_t* bgr, uint8_t mark, uint8_t* classes) const {
    const bool white = surface_.Side() == Background::NearWhite;
    ForEachNearest(flags, y, width, [&](int32_t from, int32_t to) {
        surface_.ForEachColourRun(
            y, from, to, [&](int32_t start, int32_t end, const Backdrop& local) {
                kernels::MarkShaded(bgr + 3 * start, std::size_t(end - start), local.colour,
                                    tolerance_, white, kShadeRule, mark, classes + start);
            });
    });
}

bool ShadowMap::LikelyShadow(int32_t x, int32_t y) const {
    if (likely_.empty()) {
        return false;
    }
    const int32_t i = std::min((x + step_ / 2) / step_, across_ - 1),
                  j = std::min((y + step_ / 2) / step_, down_ - 1);
    return likely_[std::size_t(j) * std::size_t(across_) + std::size_t(i)] != 0;
}

uint8_t ShadowMap::Darkening(int32_t x, int32_t y, const uint8_t* bgr) const {
    const std::array<uint8_t, 3> backdrop = surface_.At(x, y);
    return uint8_t(std::clamp(1 - ScaleOf(bgr, backdrop), 0.0f, 1.0f) * 255 + 0.5f);
}

}  // namespace zel7
