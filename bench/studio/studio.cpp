// Shapes are signed distances (negative inside): a pixel far from every outline takes one
// sample, and only those near one take the 4 x 4 that make the truth exact.
#include "studio.h"

#include <jpeglib.h>
#include <spng.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

namespace zel7::studio {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Vec {
    double x = 0, y = 0;
    Vec operator+(Vec o) const { return {x + o.x, y + o.y}; }
    Vec operator-(Vec o) const { return {x - o.x, y - o.y}; }
    Vec operator*(double k) const { return {x * k, y * k}; }
    double Dot(Vec o) const { return x * o.x + y * o.y; }
    double Length() const { return std::sqrt(Dot(*this)); }
    Vec Perp() const { return {-y, x}; }
};
Vec Dir(double angle) {
    return {std::cos(angle), std::sin(angle)};
}

// An axis-aligned box around shapes; empty until something is added.
struct Extent {
    Vec lo{1e18, 1e18}, hi{-1e18, -1e18};
    void Add(const Extent& e) {
        lo = {std::min(lo.x, e.lo.x), std::min(lo.y, e.lo.y)};
        hi = {std::max(hi.x, e.hi.x), std::max(hi.y, e.hi.y)};
    }
    // How far p lies outside: a lower bound of its distance to anything inside.
    double Outside(Vec p) const {
        return std::max({lo.x - p.x, p.x - hi.x, lo.y - p.y, p.y - hi.y});
    }
    Vec Size() const { return hi - lo; }
    Vec Centre() const { return (lo + hi) * 0.5; }
};

using Rgb = std::array<double, 3>;

// std:: distributions differ between standard libraries; these do not.
class Random {
public:
    // Scrambled, as neighbouring seeds start the engine alike.
    explicit Random(uint32_t seed) : engine_(seed * 0x9e3779b9u ^ (seed >> 16) * 0x85ebca6bu) {}
    double Uniform(double lo, double hi) { return lo + (hi - lo) * (engine_() / 4294967296.0); }
    double LogUniform(double lo, double hi) { return lo * std::pow(hi / lo, Uniform(0, 1)); }
    int Int(int lo, int hi) { return lo + int(engine_() % uint32_t(hi - lo + 1)); }
    bool Chance(double p) { return Uniform(0, 1) < p; }
    uint32_t Bits() { return engine_(); }
    // Eight bytes summed: near enough to normal for sensor noise, and free of libm, whose
    // last bits vary between systems.
    double Gauss() {
        int sum = 0;
        for (uint32_t bits : {engine_(), engine_()}) {
            for (int i = 0; i < 4; ++i, bits >>= 8) {
                sum += int(bits & 255);
            }
        }
        return (sum - 1020) / 209.0215;
    }

private:
    std::mt19937 engine_;
};

struct Shape {
    enum class Kind { Ellipse, Box, Capsule, Polygon } kind;
    Vec a, b;                 // centre, or a capsule's ends
    Vec axis;                 // the shape's own x axis
    double rx, ry;            // radii, or a box's half sizes
    double round;             // a capsule's radius, or how far corners are rounded
    std::vector<Vec> points;  // a polygon's, in either turning sense
    Extent extent;

    Shape(Kind kind, Vec a, Vec b, double angle, double rx, double ry, double round,
          std::vector<Vec> points = {})
        : kind(kind),
          a(a),
          b(b),
          axis(Dir(angle)),
          rx(rx),
          ry(ry),
          round(round),
          points(std::move(points)) {
        Bound();
    }

    void Bound() {
        const double c = std::abs(axis.x), s = std::abs(axis.y);
        const Vec reach = kind == Kind::Ellipse
                              ? Vec{std::hypot(c * rx, s * ry), std::hypot(s * rx, c * ry)}
                              : Vec{c * rx + s * ry, s * rx + c * ry};
        extent = {a - reach, a + reach};
        if (kind == Kind::Capsule || kind == Kind::Polygon) {
            extent = {};
            for (Vec p : kind == Kind::Capsule ? std::vector<Vec>{a, b} : points) {
                extent.Add({p - Vec{round, round}, p + Vec{round, round}});
            }
        }
    }

    void Move(double scale, Vec shift) {
        a = a * scale + shift, b = b * scale + shift;
        rx *= scale, ry *= scale, round *= scale;
        for (Vec& p : points) {
            p = p * scale + shift;
        }
        Bound();
    }

    double Distance(Vec p) const {
        // Away from the extent, the distance to it is a lower bound: all any caller needs.
        const double out = extent.Outside(p);
        if (out > 2) {
            return out;
        }
        const Vec d = p - a;
        const double u = d.Dot(axis), v = d.Dot(axis.Perp());
        switch (kind) {
            case Kind::Ellipse: {
                // Exact on the outline and close near it, which is where it counts.
                const double k0 = std::hypot(u / rx, v / ry);
                const double k1 = std::hypot(u / (rx * rx), v / (ry * ry));
                return k1 > 0 ? k0 * (k0 - 1) / k1 : -std::min(rx, ry);
            }
            case Kind::Box: {
                const double qx = std::abs(u) - rx + round, qy = std::abs(v) - ry + round;
                return Vec{std::max(qx, 0.0), std::max(qy, 0.0)}.Length() +
                       std::min(std::max(qx, qy), 0.0) - round;
            }
            case Kind::Capsule: {
                const Vec ba = b - a;
                const double h = std::clamp(d.Dot(ba) / std::max(ba.Dot(ba), 1e-12), 0.0, 1.0);
                return (d - ba * h).Length() - round;
            }
            case Kind::Polygon: {
                double nearest = 1e18, sign = 1;
                for (std::size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
                    const Vec e = points[j] - points[i], w = p - points[i];
                    const Vec gap = w - e * std::clamp(w.Dot(e) / e.Dot(e), 0.0, 1.0);
                    nearest = std::min(nearest, gap.Dot(gap));
                    const bool up = p.y >= points[i].y, down = p.y < points[j].y;
                    sign *= up == down && down == (e.x * w.y > e.y * w.x) ? -1 : 1;
                }
                return sign * std::sqrt(nearest) - round;
            }
        }
        return out;
    }
};

Shape Ellipse(Vec c, double rx, double ry, double angle) {
    return {Shape::Kind::Ellipse, c, {}, angle, rx, ry, 0};
}
Shape Box(Vec c, double hx, double hy, double round, double angle) {
    return {Shape::Kind::Box, c, {}, angle, hx, hy, std::min({round, hx, hy})};
}
Shape Capsule(Vec a, Vec b, double radius) {
    return {Shape::Kind::Capsule, a, b, 0, 0, 0, radius};
}
Shape Polygon(std::vector<Vec> points, double round) {
    return {Shape::Kind::Polygon, {}, {}, 0, 0, 0, round, std::move(points)};
}

// Smooth value noise in -1..1 from integer hashing, the same on every system.
double Lattice(int64_t x, int64_t y, uint32_t seed) {
    uint32_t h = uint32_t(x) * 0x8da6b343u ^ uint32_t(y) * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h = (h ^ (h >> 15)) * 0x2c1b3c6du;
    h = (h ^ (h >> 12)) * 0x297a2d39u;
    return (h ^ (h >> 15)) / 2147483648.0 - 1;
}
double Noise(Vec p, double cell, uint32_t seed) {
    const double x = p.x / cell, y = p.y / cell, fx = x - std::floor(x), fy = y - std::floor(y);
    const int64_t ix = int64_t(std::floor(x)), iy = int64_t(std::floor(y));
    const double u = fx * fx * (3 - 2 * fx), v = fy * fy * (3 - 2 * fy);
    const double a = Lattice(ix, iy, seed), b = Lattice(ix + 1, iy, seed);
    const double c = Lattice(ix, iy + 1, seed), d = Lattice(ix + 1, iy + 1, seed);
    return a + (b - a) * u + (c - a) * v + (a - b - c + d) * u * v;
}

struct Material {
    Rgb rgb{};
    Vec origin, slope;  // lit: brightness 1 + slope . (p - origin)
    double grain = 0, cell = 8;
    uint32_t seed = 0;
    // A glossy highlight: up to `gloss` levels added around `spot`, `radius` wide.
    Vec spot;
    double gloss = 0, radius = 1;
    // The outline shaded darker (or, on black, lighter) by `rim` levels, fading over
    // `rimWidth` pixels inwards.
    double rim = 0, rimWidth = 2;

    // The colour at p, `inside` pixels within the outline.
    Rgb At(Vec p, double inside) const {
        const double shade = 1 + (p - origin).Dot(slope);
        const double g = grain * (Noise(p, cell, seed) + 0.5 * Noise(p, cell / 3, seed + 1));
        const Vec off = p - spot;
        const double light = gloss * std::exp(-off.Dot(off) / (radius * radius)) -
                             rim * std::max(0.0, 1 - inside / rimWidth);
        return {rgb[0] * shade + g + light, rgb[1] * shade + g + light, rgb[2] * shade + g + light};
    }
};

struct Piece {
    std::vector<Shape> solids, holes;
    Material material;
    Extent extent{{-1e18, -1e18}, {1e18, 1e18}};  // unbounded until the shapes stop moving

    double Distance(Vec p) const {
        double d = extent.Outside(p);
        if (d > 2) {
            return d;
        }
        d = 1e18;
        for (const Shape& solid : solids) {
            d = std::min(d, solid.Distance(p));
        }
        for (std::size_t i = 0; i < holes.size() && d < 2; ++i) {
            d = std::max(d, -holes[i].Distance(p));
        }
        return d;
    }
};

struct Scene {
    std::vector<Piece> pieces;  // later ones in front
    std::vector<Shape> patches;
    Rgb patchRgb{};

    double Distance(Vec p, int* front = nullptr) const {
        double d = 1e18;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const double di = pieces[i].Distance(p);
            if (di < 0 && front != nullptr) {
                *front = int(i);
            }
            d = std::min(d, di);
        }
        return d;
    }
    double PatchDistance(Vec p) const {
        double d = 1e18;
        for (const Shape& patch : patches) {
            d = std::min(d, patch.Distance(p));
        }
        return d;
    }
    Rgb Colour(Vec p, int front) const {
        const Piece& piece = pieces[std::size_t(front)];
        const bool outlined = piece.material.rim != 0;
        return PatchDistance(p) < 0 ? patchRgb
                                    : piece.material.At(p, outlined ? -piece.Distance(p) : 1e9);
    }
    Extent Bounds() const {
        Extent all;
        for (const Piece& piece : pieces) {
            for (const Shape& s : piece.solids) {
                all.Add(s.extent);
            }
        }
        return all;
    }
    // The object's area within `over`, from a grid of samples.
    double Area(const Extent& over) const {
        const Vec step = over.Size() * (1.0 / 128);
        int inside = 0;
        for (int k = 0; k < 128 * 128; ++k) {
            inside +=
                Distance(over.lo + Vec{(k % 128 + 0.5) * step.x, (k / 128 + 0.5) * step.y}) < 0;
        }
        return inside * step.x * step.y;
    }
    void Move(double scale, Vec shift) {
        for (Piece& piece : pieces) {
            for (auto* shapes : {&piece.solids, &piece.holes}) {
                for (Shape& s : *shapes) {
                    s.Move(scale, shift);
                }
            }
        }
    }
    // The outermost point of the object on the ray from `from`, `depth` inside it.
    Vec Edge(Vec from, Vec dir, double reach, double depth) const {
        for (double t = reach; t > 0; t -= 0.5) {
            if (Distance(from + dir * t) < -depth) {
                return from + dir * t;
            }
        }
        return from;
    }
};

// The paper sweep: a tinted level, a gentle ramp, a vignette, and soft shadows.
struct Sweep {
    struct Blob {
        Vec c;
        double rx, ry, depth;
    };
    Rgb rgb{};
    Vec centre, slope;
    double vignette = 0, reach2 = 1;  // levels lost at the corners; centre to corner squared
    double falloff = 0;               // levels lost at the corners of a lit sweep, squared off
    double shadowSign = -1, shadowCap = 10;
    std::vector<Blob> blobs;

    double Offset(Vec p) const {
        double shadow = 0;
        for (const Blob& blob : blobs) {
            const double u = (p.x - blob.c.x) / blob.rx, v = (p.y - blob.c.y) / blob.ry;
            const double r2 = u * u + v * v;
            shadow += r2 < 1 ? blob.depth * (1 - r2) * (1 - r2) : 0;
        }
        const Vec d = p - centre;
        const double r2 = d.Dot(d) / reach2;
        return d.Dot(slope) - vignette * r2 - falloff * r2 * r2 +
               shadowSign * std::min(shadow, shadowCap);
    }
};

Rgb Hsv(double h, double s, double v) {
    const double f = h - std::floor(h), p = v * (1 - s), q = v * (1 - s * f),
                 t = v * (1 - s * (1 - f));
    const Rgb six[] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
    const Rgb& rgb = six[int(h) % 6];
    return {rgb[0] * 255, rgb[1] * 255, rgb[2] * 255};
}

// Mostly saturated or mid-tone colours, some greys, and some pale (on white) or deep (on
// black) ones: near the backdrop yet plainly not it, in brightness too, since cameras keep
// half the colour detail and hue alone would blur away at the rim.
Rgb ObjectColour(Random& rng, Backdrop backdrop, double contrast) {
    const bool white = backdrop == Backdrop::White;
    for (;;) {
        const double hue = rng.Uniform(0, 6), kind = rng.Uniform(0, 1);
        double need = contrast;
        Rgb rgb;
        if (kind < 0.15) {
            rgb = Hsv(hue, rng.Uniform(0, 0.12),
                      white ? rng.Uniform(0.3, 0.65) : rng.Uniform(0.45, 0.85));
        } else if (kind < 0.3) {
            rgb = white ? Hsv(hue, rng.Uniform(0.2, 0.45), rng.Uniform(0.85, 0.97))
                        : Hsv(hue, rng.Uniform(0.6, 1), rng.Uniform(0.3, 0.45));
            need /= 2;
        } else {
            rgb = Hsv(hue, rng.Uniform(0.45, 1),
                      white ? rng.Uniform(0.35, 0.85) : rng.Uniform(0.45, 0.95));
        }
        const double luma = 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2];
        const double channel = white ? 245 - std::min({rgb[0], rgb[1], rgb[2]})
                                     : std::max({rgb[0], rgb[1], rgb[2]}) - 12;
        if ((white ? 245 - luma : luma - 12) >= need && channel >= 60) {
            return rgb;
        }
    }
}

Material NewMaterial(Random& rng, Backdrop backdrop) {
    Material m;
    m.rgb = ObjectColour(rng, backdrop, 60);
    m.grain = rng.Uniform(1.5, 5), m.cell = rng.Uniform(3, 16), m.seed = rng.Bits();
    return m;
}

Piece NewPiece(Material material, std::vector<Shape> solids, std::vector<Shape> holes = {}) {
    Piece piece;
    piece.material = material, piece.solids = std::move(solids), piece.holes = std::move(holes);
    return piece;
}

// One to three shapes joined, in units of about 100: a body and what sticks out of it.
void Body(Scene& scene, Random& rng, Backdrop backdrop) {
    const Material material = NewMaterial(rng, backdrop);
    const double tilt = rng.Uniform(-0.15, 0.15), rx = rng.Uniform(40, 100),
                 ry = rng.Uniform(40, 100);
    std::vector<Vec> points;
    switch (rng.Int(0, 3)) {
        case 0:
            scene.pieces.push_back(NewPiece(material, {Box({}, rx, ry, rng.Uniform(2, 30), tilt)}));
            break;
        case 1:
            scene.pieces.push_back(NewPiece(material, {Ellipse({}, rx, ry, tilt)}));
            break;
        case 2:  // a cup, a shade, a bag
            points = {{-rx, -ry}, {rx, -ry}, {rng.Uniform(30, 90), ry}, {-rng.Uniform(30, 90), ry}};
            break;
        default:  // a stone, a pouch
            for (int i = 0, n = rng.Int(5, 8); i < n; ++i) {
                const Vec dir = Dir((i + rng.Uniform(-0.3, 0.3)) * 2 * kPi / n);
                points.push_back(Vec{dir.x * rx, dir.y * ry} * rng.Uniform(0.85, 1));
            }
    }
    if (!points.empty()) {
        scene.pieces.push_back(NewPiece(material, {Polygon(points, rng.Uniform(2, 20))}));
    }
    for (int extra = rng.Int(0, 2); extra > 0; --extra) {
        const double angle = rng.Uniform(0, 2 * kPi), size = rng.Uniform(12, 35);
        const Vec dir = Dir(angle), edge = scene.Edge({}, dir, 400, 0);
        const Material own = rng.Chance(0.5) ? material : NewMaterial(rng, backdrop);
        const double along = size * rng.Uniform(0.5, 1), across = size * rng.Uniform(0.5, 1.2);
        switch (rng.Int(0, 2)) {
            case 0:  // a cap, a neck
                scene.pieces.push_back(NewPiece(
                    own, {Box(edge + dir * (along * 0.5), along, across, size * 0.2, angle)}));
                break;
            case 1:  // a knob
                scene.pieces.push_back(NewPiece(own, {Ellipse(edge, along, across * 0.8, angle)}));
                break;
            default:  // an arm, a spout
                scene.pieces.push_back(
                    NewPiece(own, {Capsule(edge - dir * 5,
                                           edge + Dir(angle + rng.Uniform(-0.5, 0.5)) * along * 2.5,
                                           size * rng.Uniform(0.2, 0.4))}));
        }
    }
}

// Scales the object to about `coverage` of the frame and puts it anywhere `margin` clear
// of the edges (`bottom` clear of the lower one).
void Fit(Scene& scene, Random& rng, int w, int h, double coverage, double margin, double bottom) {
    const Extent all = scene.Bounds();
    const Vec size = all.Size();
    const double scale = std::min({std::sqrt(coverage * w * h / scene.Area(all)),
                                   (w - 2 * margin) / size.x, (h - margin - bottom) / size.y});
    const Vec at{rng.Uniform(margin, w - margin - size.x * scale),
                 rng.Uniform(margin, h - bottom - size.y * scale)};
    scene.Move(scale, at - all.lo * scale);
}

enum Edges { kLeft = 1, kRight = 2, kTop = 4, kBottom = 8 };

// Scales the object and puts it across the edges in `cut`, clear of the others.
void Place(Scene& scene, Random& rng, int w, int h, double margin, int cut) {
    const Extent all = scene.Bounds();
    const Vec size = all.Size();
    double scale = std::sqrt(rng.Uniform(0.4, 0.75) * w * h / scene.Area(all));
    scale = (cut & (kLeft | kRight)) == 0 ? std::min(scale, (w - 2 * margin) / size.x) : scale;
    scale = (cut & (kTop | kBottom)) == 0 ? std::min(scale, (h - 2 * margin) / size.y) : scale;
    if ((cut & (kLeft | kRight)) == (kLeft | kRight)) {
        scale = rng.Uniform(1.05, 1.3) * w / size.x;
    }
    // Where the object's low side goes on one axis, given which ends of the axis cut it.
    auto place = [&](double extent, double length, bool low, bool high) {
        if (low == high) {
            return low ? (extent - length) / 2 + rng.Uniform(-0.2, 0.2) * (length - extent)
                       : rng.Uniform(margin, extent - margin - length);
        }
        const double over =
            std::max(rng.Uniform(0.05, 0.3), 1 - rng.Uniform(0.4, 0.7) * extent / length);
        return low ? -over * length : extent + over * length - length;
    };
    const Vec at{place(w, size.x * scale, cut & kLeft, cut & kRight),
                 place(h, size.y * scale, cut & kTop, cut & kBottom)};
    scene.Move(scale, at - all.lo * scale);
}

// Cuts the object by the bottom, a side or the top, or by two edges at a corner; or lets
// it run across the whole width at the bottom. Tries again while too little or too much
// of it shows.
void Crop(Scene& scene, Random& rng, int w, int h, double margin) {
    constexpr int kCuts[] = {
        kBottom, kBottom, kLeft | kRight | kBottom, kBottom | kLeft, kBottom | kRight, kLeft,
        kRight,  kTop};
    const Scene original = scene;
    const Extent frame{{0, 0}, {double(w), double(h)}};
    for (int attempt = 0; attempt < 20; ++attempt) {
        scene = original;
        Place(scene, rng, w, h, margin, kCuts[rng.Int(0, 7)]);
        const double shown = scene.Area(frame) / (double(w) * h);
        if (shown >= 0.2 && shown <= 0.65) {
            return;
        }
    }
}

// A label, a dial or a line of print of about `area` pixels.
std::vector<Shape> Patch(Random& rng, double area) {
    switch (rng.Int(0, 2)) {
        case 0: {
            const double hx = std::sqrt(area * rng.LogUniform(0.4, 2.5)) / 2, hy = area / (4 * hx);
            return {
                Box({}, hx, hy, rng.Uniform(0, 0.3) * std::min(hx, hy), rng.Uniform(-0.05, 0.05))};
        }
        case 1: {
            const double k = rng.Uniform(0.6, 1), rx = std::sqrt(area / (kPi * k));
            return {Ellipse({}, rx, rx * k, rng.Uniform(0, kPi))};
        }
    }
    const int n = rng.Int(3, 8);
    const double tall = std::sqrt(area / n / 0.6);
    std::vector<Shape> letters;
    for (double x = 0; int(letters.size()) < n; x += tall * 0.25) {
        const double half = tall * rng.Uniform(0.2, 0.4);
        letters.push_back(rng.Chance(0.3) ? Ellipse({x + half, 0}, half, tall / 2, 0)
                                          : Box({x + half, 0}, half, tall / 2, half * 0.3, 0));
        x += 2 * half;
    }
    return letters;
}

// Puts a patch in backdrop colour where the object surrounds it by at least `rim` pixels.
void Stick(Scene& scene, Random& rng, double area, double rim) {
    const Extent object = scene.Bounds();
    for (int attempt = 1; attempt <= 400; ++attempt) {
        std::vector<Shape> patch = Patch(rng, area * std::pow(0.6, attempt / 100));
        Extent around;
        for (const Shape& s : patch) {
            around.Add({s.extent.lo - Vec{rim, rim}, s.extent.hi + Vec{rim, rim}});
        }
        const Vec shift =
            Vec{rng.Uniform(object.lo.x, object.hi.x), rng.Uniform(object.lo.y, object.hi.y)} -
            around.Centre();
        // A grid over the patch and its rim, with the slack that a distance allows between
        // its points, tells whether the object holds all of it and no other patch touches.
        const Vec step = around.Size() * (1.0 / 11);
        const double slack = step.Length() / 2;
        bool clear = true;
        for (int k = 0; k < 144 && clear; ++k) {
            const Vec q = around.lo + shift + Vec{k % 12 * step.x, k / 12 * step.y};
            clear = scene.Distance(q) < -slack && scene.PatchDistance(q) > slack;
        }
        if (clear) {
            for (Shape& s : patch) {
                s.Move(1, shift);
                scene.patches.push_back(s);
            }
            return;
        }
    }
}

// Rings and donuts, a mug's handle, a frame, a plate drilled with round holes of 500
// pixels (at 1200 x 900) up to a few per cent of the frame.
void Holes(Scene& scene, Random& rng, Backdrop backdrop, int w, int h, double margin,
           double scale) {
    const Material material = NewMaterial(rng, backdrop);
    const double tilt = rng.Uniform(-0.2, 0.2), hx = rng.Uniform(60, 100),
                 hy = rng.Uniform(60, 100);
    const int kind = rng.Int(0, 3);
    if (kind == 0) {
        const double q = rng.Uniform(0.25, 0.42);
        const Vec off = Dir(rng.Uniform(0, 2 * kPi)) * rng.Uniform(0, 6);
        scene.pieces.push_back(NewPiece(material, {Ellipse({}, hx, hx * hy / 100, tilt)},
                                        {Ellipse(off, hx * q, hx * hy / 100 * q, tilt)}));
    } else if (kind == 1) {
        const double bx = hx * 0.7, rx = hy * rng.Uniform(0.35, 0.5),
                     ry = hy * rng.Uniform(0.45, 0.65);
        const double thick = rx * rng.Uniform(0.25, 0.4);
        const Vec at{rng.Chance(0.5) ? bx : -bx, rng.Uniform(-0.2, 0.1) * hy};
        scene.pieces.push_back(NewPiece(material, {Box({}, bx, hy, rng.Uniform(4, 16), 0)}));
        scene.pieces.push_back(
            NewPiece(material, {Ellipse(at, rx, ry, 0)}, {Ellipse(at, rx - thick, ry - thick, 0)}));
    } else if (kind == 2) {
        const double thick = std::min(hx, hy) * rng.Uniform(0.6, 0.75);
        scene.pieces.push_back(
            NewPiece(material, {Box({}, hx, hy, rng.Uniform(1, 6), tilt)},
                     {Box({}, hx - thick, hy - thick, rng.Uniform(0, 4), tilt)}));
    } else {
        scene.pieces.push_back(
            NewPiece(material, {Box({}, hx, hy * 0.8, rng.Uniform(3, 20), tilt)}));
    }
    Fit(scene, rng, w, h, rng.Uniform(0.2, 0.4), margin, margin);
    const Extent all = scene.Bounds();
    for (int n = kind == 3 ? rng.Int(2, 5) : 0, attempt = 0; n > 0 && attempt < 1000; ++attempt) {
        const double area = rng.LogUniform(500 * scale * scale, 0.025 * w * h);
        const double r = std::sqrt(area / kPi) * std::pow(0.85, attempt / 50);
        const Vec c{rng.Uniform(all.lo.x, all.hi.x), rng.Uniform(all.lo.y, all.hi.y)};
        if (scene.Distance(c) < -(r + 6 * scale)) {
            scene.pieces[0].holes.push_back(
                Ellipse(c, r, r * rng.Uniform(0.75, 1), rng.Uniform(0, kPi)));
            --n;
        }
    }
}

// Cables 1 to 3 pixels wide leaving the object: straight or curved, some to a few pixels
// short of the frame's edge, some ending loose, perhaps with a plug.
void Wires(Scene& scene, Random& rng, Backdrop backdrop, int w, int h, double scale) {
    const Vec centre = scene.Bounds().Centre();
    for (int n = rng.Int(1, 3); n > 0; --n) {
        const Vec dir = Dir(rng.Uniform(0, 2 * kPi));
        const Vec start = scene.Edge(centre, dir, std::hypot(w, h), 1);
        const double gap = std::max(4.0, rng.Uniform(4, 25) * scale);
        auto inside = [&](Vec p) {
            return Vec{std::clamp(p.x, gap, w - gap), std::clamp(p.y, gap, h - gap)};
        };
        const double reach = std::min(((dir.x > 0 ? w - gap : gap) - start.x) / dir.x,
                                      ((dir.y > 0 ? h - gap : gap) - start.y) / dir.y);
        const bool loose = rng.Chance(0.3);
        const Vec end = inside(start + dir * (reach * (loose ? rng.Uniform(0.3, 0.7) : 1)) +
                               dir.Perp() * (reach * rng.Uniform(-0.2, 0.2)));
        const Vec span = end - start;
        const double bend = rng.Chance(0.3) ? 0 : 0.35;
        // Control points inside the frame keep the whole curve inside it.
        const Vec c1 = inside(start + span * 0.33 + span.Perp() * rng.Uniform(-bend, bend));
        const Vec c2 = inside(start + span * 0.66 + span.Perp() * rng.Uniform(-bend, bend));
        const double radius = rng.Uniform(0.5, 1.5);
        Material material;
        const double grey =
            backdrop == Backdrop::White ? rng.Uniform(20, 70) : rng.Uniform(150, 230);
        material.rgb = rng.Chance(0.6) ? Rgb{grey, grey, grey} : ObjectColour(rng, backdrop, 100);
        std::vector<Shape> run;
        Vec last = start;
        const int segments = std::clamp(int(span.Length() / 10), 8, 80);
        for (int i = 1; i <= segments; ++i) {
            const double t = double(i) / segments, s = 1 - t;
            const Vec p = start * (s * s * s) + c1 * (3 * s * s * t) + c2 * (3 * s * t * t) +
                          end * (t * t * t);
            run.push_back(Capsule(last, p, radius));
            last = p;
            // In short runs, each with its own extent, which most pixels skip at once.
            if (run.size() == 8 || i == segments) {
                scene.pieces.push_back(NewPiece(material, run));
                run.clear();
            }
        }
        if (loose && rng.Chance(0.6) &&
            std::min({end.x, end.y, w - end.x, h - end.y}) > gap + 12 * scale) {
            const Vec tail = end - c2;
            scene.pieces.push_back(
                NewPiece(material, {Box(end, rng.Uniform(4, 9) * scale, rng.Uniform(2.5, 5) * scale,
                                        scale, std::atan2(tail.y, tail.x))}));
        }
    }
}

// A contact shadow under the object, and often a fainter one cast to a side.
void Shadows(const Scene& scene, Sweep& sweep, Random& rng, Backdrop backdrop, int h,
             bool deep = false) {
    const Extent all = scene.Bounds();
    const Vec size = all.Size();
    const double peak = deep                          ? rng.Uniform(30, 60)
                        : backdrop == Backdrop::White ? rng.Uniform(7, 10)
                                                      : rng.Uniform(4, 6);
    const double x = all.Centre().x + rng.Uniform(-0.1, 0.1) * size.x;
    sweep.blobs.push_back({{x, all.hi.y - rng.Uniform(0, 0.05) * size.y},
                           size.x * rng.Uniform(0.55, 0.8),
                           size.y * rng.Uniform(0.06, 0.15) + 0.02 * h,
                           peak});
    if (rng.Chance(0.6)) {
        sweep.blobs.push_back(
            {{x + rng.Uniform(-0.5, 0.5) * size.x, all.hi.y - rng.Uniform(0.05, 0.3) * size.y},
             size.x * rng.Uniform(0.5, 0.9),
             size.y * rng.Uniform(0.12, 0.3),
             peak * rng.Uniform(0.4, 0.7)});
    }
}

Shot Render(const Scene& scene, const Sweep& sweep, int w, int h, double sigma, Random& rng) {
    constexpr double kBand = 1.5;  // beyond this from every outline a pixel is all one side
    Shot shot;
    shot.width = w, shot.height = h;
    shot.rgb.resize(std::size_t(w) * std::size_t(h) * 3);
    shot.alpha.resize(std::size_t(w) * std::size_t(h));
    for (std::size_t at = 0; at < shot.alpha.size(); ++at) {
        const Vec centre{double(at % w) + 0.5, double(at / w) + 0.5};
        int front = 0, inside = 0;
        Rgb sum{};
        const double d = scene.Distance(centre, &front);
        const bool edge =
            std::abs(d) < kBand || (d < 0 && std::abs(scene.PatchDistance(centre)) < kBand);
        const int n = edge ? 4 : 1, weight = 16 / (n * n);
        for (int k = 0; k < n * n; ++k) {
            const Vec p = centre + Vec{(k % n + 0.5) / n - 0.5, (k / n + 0.5) / n - 0.5};
            if ((edge ? scene.Distance(p, &front) : d) < 0) {
                const Rgb c = scene.Colour(p, front);
                sum = {sum[0] + c[0] * weight, sum[1] + c[1] * weight, sum[2] + c[2] * weight};
                inside += weight;
            }
        }
        const double back = sweep.Offset(centre);
        for (std::size_t c = 0; c < 3; ++c) {
            const double v =
                (sum[c] + (16 - inside) * (sweep.rgb[c] + back)) / 16 + sigma * rng.Gauss();
            shot.rgb[at * 3 + c] = uint8_t(std::clamp(std::floor(v + 0.5), 0.0, 255.0));
        }
        shot.alpha[at] = uint8_t((inside * 255 + 8) / 16);
    }
    return shot;
}

using SpngContext = std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)>;

std::vector<uint8_t> EncodePng(int w, int h, uint8_t colourType, const std::vector<uint8_t>& data) {
    SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER), spng_ctx_free);
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(w), ihdr.height = uint32_t(h), ihdr.bit_depth = 8;
    ihdr.color_type = colourType;
    std::size_t size = 0;
    int error = spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    if (error == 0 && (error = spng_set_ihdr(ctx.get(), &ihdr)) == 0) {
        error = spng_encode_image(ctx.get(), data.data(), data.size(), SPNG_FMT_PNG,
                                  SPNG_ENCODE_FINALIZE);
    }
    auto* png =
        static_cast<uint8_t*>(error == 0 ? spng_get_png_buffer(ctx.get(), &size, &error) : nullptr);
    std::vector<uint8_t> bytes(png, png + (png != nullptr ? size : 0));
    std::free(png);
    return bytes;
}

bool ReadPng(const std::vector<uint8_t>& bytes, bool inverted, int& width, int& height,
             std::vector<uint8_t>& alpha, std::string& error) {
    SpngContext ctx(spng_ctx_new(0), spng_ctx_free);
    spng_ihdr ihdr{};
    std::size_t size = 0;
    std::vector<uint8_t> rgba;
    int status = spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size());
    if (status == 0 && (status = spng_get_ihdr(ctx.get(), &ihdr)) == 0 &&
        (status = spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size)) == 0) {
        rgba.resize(size);
        status = spng_decode_image(ctx.get(), rgba.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
    }
    if (status != 0) {
        error = spng_strerror(status);
        return false;
    }
    width = int(ihdr.width), height = int(ihdr.height);
    alpha.resize(rgba.size() / 4);
    // An alpha channel opaque throughout tells nothing: then the colours are the mask.
    bool cutOut = false;
    for (std::size_t i = 0; i < alpha.size() && !cutOut; ++i) {
        cutOut = rgba[i * 4 + 3] != 255;
    }
    for (std::size_t i = 0; i < alpha.size(); ++i) {
        const uint8_t blue = rgba[i * 4 + 2];
        alpha[i] = cutOut ? rgba[i * 4 + 3] : inverted ? blue : uint8_t(255 - blue);
    }
    return true;
}

bool ReadBmp(const std::vector<uint8_t>& bytes, bool inverted, int& width, int& height,
             std::vector<uint8_t>& alpha, std::string& error) {
    auto field = [&](std::size_t at, int length) {
        uint32_t value = 0;
        for (int i = length - 1; i >= 0; --i) {
            value = value << 8 | bytes[at + std::size_t(i)];
        }
        return value;
    };
    const uint32_t offset = field(10, 4), bits = field(28, 2), compression = field(30, 4);
    const int32_t w = int32_t(field(18, 4)), h = int32_t(field(22, 4));
    const std::size_t rows = std::size_t(std::abs(int64_t(h))), pixel = bits / 8;
    const std::size_t stride = (std::size_t(std::max(w, 0)) * pixel + 3) / 4 * 4;
    if (w <= 0 || h == 0 || (bits != 24 && bits != 32) || (compression != 0 && compression != 3)) {
        error = "not an uncompressed 24 or 32-bit BMP";
        return false;
    }
    if (stride > bytes.size() || rows > bytes.size() || offset + stride * rows > bytes.size()) {
        error = "truncated BMP";
        return false;
    }
    width = w, height = int(rows);
    alpha.resize(std::size_t(w) * rows);
    for (std::size_t y = 0; y < rows; ++y) {
        const uint8_t* row = bytes.data() + offset + stride * (h > 0 ? rows - 1 - y : y);
        for (std::size_t x = 0; x < std::size_t(w); ++x) {
            alpha[y * std::size_t(w) + x] = inverted ? row[x * pixel] : 255 - row[x * pixel];
        }
    }
    return true;
}

}  // namespace

const char* Name(Family family) {
    constexpr const char* kNames[] = {"label", "ring", "wire", "shadow", "border",
                                      "sweep", "pale", "cast", "gloss",  "light"};
    return kNames[int(family)];
}
const char* Name(Backdrop backdrop) {
    return backdrop == Backdrop::White ? "white" : "black";
}

Shot MakeShot(Family family, Backdrop backdrop, int width, int height, uint32_t seed) {
    Random rng(seed);
    const bool white = backdrop == Backdrop::White;
    // Sizes in pixels are chosen for 1200 x 900 and follow the picture's size.
    const double scale = std::sqrt(double(width) * height / (1200.0 * 900.0));
    const double margin = 0.05 * std::min(width, height);
    Sweep sweep;
    const double level = white ? rng.Uniform(238, 252) : rng.Uniform(4, 22);
    for (double& c : sweep.rgb) {
        c = level + rng.Uniform(-3, 3);
    }
    sweep.centre = {width * rng.Uniform(0.3, 0.7), height * rng.Uniform(0.3, 0.7)};
    sweep.slope = Dir(rng.Uniform(0, 2 * kPi)) * (rng.Uniform(0, 4) / std::hypot(width, height));
    sweep.vignette = rng.Uniform(0, 3);
    sweep.reach2 = (double(width) * width + double(height) * height) / 4;
    sweep.shadowSign = white ? -1 : 1;
    sweep.shadowCap = white ? 10 : 6;

    Scene scene;
    // Half the lit sweeps hold a ring or a handle: a hole where the light peaks under the
    // object shows the backdrop lighter than around it.
    if (family == Family::Ring || (family == Family::Sweep && rng.Uniform(0, 1) < 0.5)) {
        Holes(scene, rng, backdrop, width, height, margin, scale);
    } else {
        Body(scene, rng, backdrop);
    }
    if (family == Family::Label) {
        Fit(scene, rng, width, height, rng.Uniform(0.2, 0.6), margin, margin);
        for (std::size_t c = 0; c < 3; ++c) {
            scene.patchRgb[c] = sweep.rgb[c] + (white ? -1 : 1) * rng.Uniform(0, 8);
        }
        const double area = scene.Area(scene.Bounds());
        for (int n = rng.Int(1, 3); n > 0; --n) {
            Stick(scene, rng, area * rng.LogUniform(0.01, 0.1), rng.Uniform(6, 30) * scale);
        }
    } else if (family == Family::Wire) {
        Fit(scene, rng, width, height, rng.Uniform(0.12, 0.35), 3 * margin, 3 * margin);
        Wires(scene, rng, backdrop, width, height, scale);
    } else if (family == Family::Shadow) {
        Fit(scene, rng, width, height, rng.Uniform(0.2, 0.5), margin, 3 * margin);
        Shadows(scene, sweep, rng, backdrop, height);
    } else if (family == Family::Border) {
        Crop(scene, rng, width, height, margin);
    } else if (family == Family::Sweep) {
        // Lit from the middle: the corners 20 to 40 levels down on white, a dim glow
        // of 8 to 16 levels in the middle of black cloth.
        sweep.falloff = white ? rng.Uniform(20, 40) : -rng.Uniform(8, 16);
        sweep.centre = {width * rng.Uniform(0.4, 0.6), height * rng.Uniform(0.4, 0.6)};
        Fit(scene, rng, width, height, rng.Uniform(0.15, 0.4), 2 * margin, 2 * margin);
    } else if (family == Family::Pale) {
        // White on white, or black on black: the backdrop clipped and clean but for
        // JPEG's rounding, the object 4 to 12 levels off, its outline a faint shading
        // that fades out along a side.
        sweep.rgb = white ? Rgb{262, 262, 262} : Rgb{0, 0, 0};
        sweep.slope = {}, sweep.vignette = 0;
        const double off = rng.Uniform(4, 12);
        for (Piece& piece : scene.pieces) {
            const double level = white ? 255 - off : off;
            piece.material.rgb = {level, level, level + rng.Uniform(-1, 1)};
            piece.material.grain = rng.Uniform(0.5, 1.5);
            piece.material.rim = (white ? 1 : -1) * rng.Uniform(3, 8);
            piece.material.rimWidth = rng.Uniform(2, 4);
        }
        Fit(scene, rng, width, height, rng.Uniform(0.2, 0.5), margin, margin);
    } else if (family == Family::Cast) {
        Fit(scene, rng, width, height, rng.Uniform(0.2, 0.45), margin, 3 * margin);
        sweep.shadowCap = 60;
        Shadows(scene, sweep, rng, backdrop, height, white);
    } else if (family == Family::Light) {
        // Light grey goods with nothing coloured (steel, aluminium, pale plastic), 30 to 60
        // levels off the backdrop, on white standing in shadows as deep: nothing in the
        // picture is plainly object, and the shadow is the backdrop's hue darkened, as the
        // product is.
        const double off = rng.Uniform(30, 60);
        for (Piece& piece : scene.pieces) {
            const double grey = white ? sweep.rgb[1] - off : sweep.rgb[1] + off;
            piece.material.rgb = {grey, grey, grey};
        }
        Fit(scene, rng, width, height, rng.Uniform(0.2, 0.45), margin, 3 * margin);
        sweep.shadowCap = 60;
        Shadows(scene, sweep, rng, backdrop, height, white);
    } else if (family == Family::Gloss) {
        Fit(scene, rng, width, height, rng.Uniform(0.2, 0.5), margin, margin);
        const Extent all = scene.Bounds();
        for (Piece& piece : scene.pieces) {
            const Vec dir = Dir(rng.Uniform(0, 2 * kPi));
            piece.material.spot = scene.Edge(all.Centre(), dir, all.Size().Length(), 2);
            piece.material.radius = all.Size().Length() * rng.Uniform(0.03, 0.08);
            piece.material.gloss = 255;
        }
    }
    // One light for the whole object, and each piece's extent now that none moves.
    const Extent all = scene.Bounds();
    const Vec slope =
        Dir(rng.Uniform(0, 2 * kPi)) * (rng.Uniform(0.05, 0.15) * 2 / all.Size().Length());
    for (Piece& piece : scene.pieces) {
        // A pale object is lit evenly, or its shading would outweigh its few levels.
        piece.material.origin = all.Centre();
        piece.material.slope = family == Family::Pale ? slope * 0.1 : slope;
        piece.extent = {};
        for (const Shape& s : piece.solids) {
            piece.extent.Add(s.extent);
        }
    }
    const double sigma = family == Family::Pale ? 0 : rng.Uniform(1.5, 3);
    Shot shot = Render(scene, sweep, width, height, sigma, rng);
    shot.name = std::string(Name(family)) + "-" + Name(backdrop) + "-" + std::to_string(seed);
    shot.family = family, shot.backdrop = backdrop;
    return shot;
}

std::vector<uint8_t> EncodeJpeg(const Shot& shot, int quality) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(shot.width), info.image_height = JDIMENSION(shot.height);
    info.input_components = 3, info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);  // which halves the colour both ways: 4:2:0
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(shot.rgb.data()) +
                       std::size_t(info.next_scanline) * std::size_t(shot.width) * 3;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<uint8_t> jpeg(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return jpeg;
}

std::vector<uint8_t> EncodePngRgb(const Shot& shot) {
    return EncodePng(shot.width, shot.height, SPNG_COLOR_TYPE_TRUECOLOR, shot.rgb);
}

std::vector<uint8_t> EncodePngGrey(int width, int height, const std::vector<uint8_t>& grey) {
    return EncodePng(width, height, SPNG_COLOR_TYPE_GRAYSCALE, grey);
}

Score Compare(const std::vector<uint8_t>& truthAlpha, const std::vector<uint8_t>& resultAlpha) {
    if (truthAlpha.size() != resultAlpha.size()) {
        return {0, 1000};
    }
    uint64_t both = 0, either = 0, difference = 0;
    for (std::size_t i = 0; i < truthAlpha.size(); ++i) {
        const bool truth = truthAlpha[i] >= 128, result = resultAlpha[i] >= 128;
        both += truth && result;
        either += truth || result;
        difference += uint64_t(std::abs(int(resultAlpha[i]) - int(truthAlpha[i])));
    }
    return {either == 0 ? 1.0 : double(both) / double(either),
            truthAlpha.empty() ? 0.0 : double(difference) / double(truthAlpha.size()) / 0.255};
}

bool ReadResultAlpha(const std::string& path, bool inverted, int& width, int& height,
                     std::vector<uint8_t>& alpha, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (!in.is_open()) {
        error = "cannot open";
    } else if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG", 4) == 0) {
        return ReadPng(bytes, inverted, width, height, alpha, error);
    } else if (bytes.size() >= 54 && bytes[0] == 'B' && bytes[1] == 'M') {
        return ReadBmp(bytes, inverted, width, height, alpha, error);
    } else {
        error = "neither a PNG nor a BMP";
    }
    return false;
}

}  // namespace zel7::studio
