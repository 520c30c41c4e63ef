// The backdrop as a surface: its colour over the whole frame, for sweeps that fall off
// towards the edges and lights that vignette, where one colour for the picture leaves
// either the dim border's backdrop or the bright centre's on the wrong side.
//
// It is fitted to a sample of the picture held while the picture is first read: the
// backdrop is what can be reached from the frame over samples near the surface found
// so far, its colour measured in cells and carried smoothly over the cells the object
// covers. The frame is measured as one colour, or, where its light falls off from one
// side to the other, as a plane that the cells the object covers carry on. A pixel is
// then backdrop when it is no darker (on white) or no lighter (on black) than the
// surface where it lies, less the tolerance that the noise asks.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "mask/kernels.h"
#include "refine/backdrop.h"
#include "system/pixel_memory.h"

namespace zel7 {

// The colours of every Step()-th pixel of every Step()-th row, kept while the picture
// is read: a ninth of it, or fewer on very large pictures.
class PictureSamples {
public:
    PictureSamples(int32_t width, int32_t height);
    // Every factor-th sample across and down of these.
    PictureSamples Sparser(int32_t factor) const;
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t Step() const { return step_; }
    // Samples across and down.
    int32_t Across() const { return int32_t(sampledWidth_); }
    int32_t Down() const { return (height_ + step_ - 1) / step_; }
    void AddRow(int32_t y, const uint8_t* bgr);
    // The samples in the frame drawn around the picture made colour.
    void Paint(const DrawnFrame& frame, const std::array<uint8_t, 3>& colour);
    // Row y's samples (y a multiple of Step()).
    const uint8_t* Row(int32_t y) const;
    // Sample k, counted row by row.
    const uint8_t* At(std::size_t k) const { return colours_.data() + 3 * k; }

private:
    PictureSamples(int32_t width, int32_t height, int32_t step);

    int32_t width_, height_, step_;
    std::size_t sampledWidth_;
    PixelVector<uint8_t> colours_;
};

class BackdropSurface {
public:
    // The backdrop of samples whose frame was measured as border (its colour, and how
    // far the frame's backdrop pixels lie from it), on side; tolerance is how far below
    // (on white) or above (on black) the surface a pixel of the backdrop can lie.
    BackdropSurface(const PictureSamples& samples, const Backdrop& border, Background side,
                    int tolerance);

    // Blue, green and red of the backdrop at pixel x, y, and the tolerance there: the
    // noise's, or more where the backdrop is a textured cloth.
    using Cell = std::array<float, 4>;

    // The backdrop's colour at pixel x, y: blue, green, red; rounded, as in the block of
    // pixels around, or as fitted (where a level matters); Behind, as a hole in the
    // object shows it, which on an uneven backdrop follows the trend measured around.
    std::array<uint8_t, 3> At(int32_t x, int32_t y) const { return Local(x, y).colour; }
    Cell Exactly(int32_t x, int32_t y) const;
    Cell Behind(int32_t x, int32_t y) const;
    // The colour at every sample of samples (the surface's own), row by row, and the
    // tolerance at each when asked.
    std::vector<std::array<uint8_t, 3>> AtSamples(const PictureSamples& samples,
                                                  std::vector<uint8_t>* tolerances = nullptr) const;
    // The backdrop's colour and tolerance at x, y, as EdgeAlpha wants them.
    const Backdrop& Local(int32_t x, int32_t y) const;
    // The tolerance the noise along the frame asks, the least anywhere.
    int Tolerance() const { return tolerance_; }
    Background Side() const { return side_; }
    // The range of the surface's brightness over the frame, in levels.
    double Unevenness() const;
    // Whether the pixel bgr is backdrop where the surface's colour is colour, within
    // tolerance (the least, unless given) on the object's side, and beyond it on the
    // other but for a highlight on white.
    bool Holds(const uint8_t* bgr, const std::array<uint8_t, 3>& colour, int tolerance = -1) const {
        tolerance = tolerance < 0 ? tolerance_ : tolerance;
        bool highlight = true;
        for (std::size_t c = 0; c < 3; ++c) {
            const bool off = side_ == Background::NearWhite ? bgr[c] + tolerance < colour[c]
                                                            : bgr[c] > colour[c] + tolerance;
            if (off) {
                return false;
            }
            highlight = highlight && bgr[c] >= highlight_[c];
        }
        return !highlight;
    }

    // Calls each(x, end, backdrop) for the runs of row y's pixels from from to before to
    // over which the backdrop's colour (as At gives it) is one.
    template <class Each>
    void ForEachColourRun(int32_t y, int32_t from, int32_t to, Each each) const {
        ForEachRun(
            y, from, to, [](const Backdrop& a, const Backdrop& b) { return a.colour == b.colour; },
            each);
    }
    // Sets classes[x] to mark where row y's pixel x is backdrop, else to 0.
    void Classify(int32_t y, const uint8_t* bgr, uint8_t mark, uint8_t* classes) const;
    // Sets apart[x], for x from from to to, to how far row y's pixel x lies from the
    // backdrop on the object's side (darker on white, lighter on black): the most any
    // channel does, 0 where none does.
    void Apart(int32_t y, const uint8_t* bgr, int32_t from, int32_t to, uint8_t* apart) const;

private:
    ColourRange RangeAt(const std::array<uint8_t, 3>& colour, int tolerance) const;
    // Calls each(x, end, backdrop) for the runs of row y's neighbouring blocks from from to
    // before to whose backdrops alike says are one, as most of a flat backdrop's are: a
    // kernel's call a block cost more than its pixels.
    template <class Alike, class Each>
    void ForEachRun(int32_t y, int32_t from, int32_t to, Alike alike, Each each) const {
        for (int32_t x = from; x < to;) {
            const Backdrop& local = Local(x, y);
            int32_t end = std::min((x / piece_ + 1) * piece_, to);
            while (end < to && alike(Local(end, y), local)) {
                end = std::min(end + piece_, to);
            }
            each(x, end, local);
            x = end;
        }
    }
    // On white, lighter than the backdrop is backdrop (a lit sweep's own light, the bright
    // side of its noise), but for a highlight: a pixel lighter in every channel than the
    // backdrop is measured anywhere in the frame, by more than its tolerance and this many
    // levels: the light's own reflection on a glossy object's rim or a bowl's lit lip,
    // which joined the backdrop where it reached the outline. (Anywhere, not where it
    // lies: the backdrop guessed under an object falls short of a lit sweep's peak there,
    // which a handle's hole shows.) While the surface is fitted, with the lightest of it
    // not yet measured, only pixels at or above the floor, near clipping, are. None are
    // told where the backdrop is itself that light (BackdropAsLight).
    static constexpr int kHighlightAbove = 2;
    static constexpr int kHighlightFloor = 250;
    // Sets highlight_ from the cells measured and the frame's measure, at floor or
    // above.
    void FindHighlights(int floor);
    // Whether the backdrop itself is as light as a highlight somewhere: a patch of samples
    // that light reaching the frame, a cell's worth or more (a corner a light blows out;
    // not a speck of noise), or a hot spot on the sweep, the backdrop around most of it and
    // leastSpot of the frame or more (near clipping, a fiftieth). A highlight lies
    // on its object, which surrounds most of it, or where it covers most of a small part of
    // the object (the studio set's glossy shapes: under a hundredth of the frame), a part
    // too small for a hot spot. The backdrop's own light is never measured while
    // highlights are told, so without this the light would be object.
    bool BackdropAsLight(const PictureSamples& samples, double leastSpot);
    static constexpr std::size_t kLeastBackdropLight = 16;
    static constexpr double kLeastHotSpot = 1.0 / 50;
    // ...below the floor, a thousandth: the broken pieces of a white bowl's lit lip, ringed
    // by its light inner wall and the backdrop, are a two-thousandth each.
    static constexpr double kLeastLitSpot = 1.0 / 1000;
    static constexpr double kMostBackdropAroundHighlight = 2.0 / 3;
    // Whether the step from one sample to the next, to, leaves the backdrop's side by
    // more than tolerance in a channel: an outline, however faint, where a sweep's
    // fall-off moves a fraction of a level.
    bool Steps(const uint8_t* from, const uint8_t* to, int tolerance) const {
        for (std::size_t c = 0; c < 3; ++c) {
            if (side_ == Background::NearWhite ? to[c] + tolerance < from[c]
                                               : to[c] > from[c] + tolerance) {
                return true;
            }
        }
        return false;
    }

    // Which samples the backdrop reaches from the frame over the surface as it is, stepping
    // over no outline.
    std::vector<uint8_t> Reached(const PictureSamples& samples,
                                 const std::vector<std::array<uint8_t, 3>>& colours,
                                 const std::vector<uint8_t>& tolerances) const;
    void FitCells(const PictureSamples& samples, const std::vector<uint8_t>& reached);
    // On white, the surface to fit again from: what the frame shows of a sweep's fall-off,
    // carried on inside by a quadratic; false where the frame determines none, or one
    // rising too little above the frame's measure to matter (see kLeastPlateauDepth).
    bool StartFromFrame(const PictureSamples& samples);
    // Whether the cells of the surface measured (as fitted otherwise) lie deeper below it
    // than a sweep's shape parts from a quadratic: a product taken in as backdrop.
    bool Plateau(const std::vector<Cell>& other, const std::vector<bool>& measured) const;
    // The frame's fall-off across the picture, when it falls off so far that one colour
    // cannot stand for it (see kLeastTrend).
    void FitTrend(const PictureSamples& samples);
    // Whether sample i, j of the frame is backdrop by the border's measure.
    bool FrameHolds(const PictureSamples& samples, int32_t i, int32_t j) const;
    // The surface as the frame alone measures it, cell by cell.
    std::vector<Cell> FrameCells() const;

    int32_t width_, height_;
    Background side_;
    int tolerance_;
    Backdrop border_;
    // Each channel's level as a + b u + c v, u and v across and down the picture from
    // -0.5 to 0.5, where the frame falls off (FitTrend).
    std::optional<std::array<std::array<double, 3>, 3>> trend_;
    std::vector<Cell> frameCells_;   // FrameCells()
    int32_t across_ = 1, down_ = 1;  // cells
    std::vector<Cell> cells_;        // row by row
    std::vector<bool> known_;        // the same: measured, not carried over
    int32_t piece_ = 1, blocksAcross_ = 1;
    std::vector<Backdrop> blocks_;  // the surface rounded, a piece_ x piece_ block each
    // The least level of each channel of a highlight (above 255 where none can be one).
    std::array<int, 3> highlight_{256, 256, 256};
};

}  // namespace zel7
