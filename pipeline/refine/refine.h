// Masks that survive real photos, and cut-outs: the backdrop's colour measured from
// the picture, background that must reach the edge, specks and pinholes removed, and
// soft edges whose colour is freed of the backdrop's share.
//
// The picture is decoded up to three times, never held: once to measure the backdrop
// (when asked), once to label its regions (when asked), and once to write the rows
// (for grey masks and cut-outs, or when nothing was labelled). Memory is the labels'
// runs and a few rows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "engine/row_stream.h"
#include "mask/threshold.h"
#include "refine/confidence.h"
#include "refine/regions.h"

namespace zel7 {

enum class Product {
    Mask,      // background white, object black
    SoftMask,  // the same with the edge's coverage as grey levels
    Cutout,    // the object's colours, the background transparent
};

// Specks below this share of the picture are settled for studio photos: dust and
// JPEG's ringing come in specks of a few pixels, while a detached part of a product (an
// earring's drop, a loose strap) is a hundredth of it and more.
inline constexpr double kStudioSpeckShare = 1e-4;
// Parts standing apart from the product with less than this share of its area go too: a
// watermark, paper's cracks, a textured floor's specks; a loose part lying beside it is
// a tenth of it and more.
inline constexpr double kStudioStrayShare = 0.01;

struct RefineOptions {
    bool autoBackground = false;  // measure the backdrop's colour and noise...
    bool sideKnown = false;       // ...on the side background says, or either
    // The largest channel difference from the backdrop (255 or 0 without
    // autoBackground) counted as background; unset: measured, or what the fixed
    // threshold means (15 on white, 20 on black).
    std::optional<int> tolerance{};
    // The backdrop as a surface over the frame (autoBackground and a known side), a
    // pixel backdrop when no farther from it than the noise allows on the side away
    // from the backdrop's end of the scale: what studio photos need.
    bool surface = false;
    // With surface, on white: cast shadows are background, or kept in cut-outs as
    // black as transparent as they leave the backdrop light, and in soft masks as grey.
    bool keepShadows = false;
    RegionRules regions{};
    Product product = Product::Mask;
    bool hardEdges = false;  // cut-outs' alpha 0 or 255 only
    bool invert = false;     // masks: object white; cut-outs: the object transparent
    // A core to spare for this picture: the edges are unmixed on two threads.
    bool spareCore = false;

    // Whether anything differs from the plain threshold's mask.
    bool Active() const {
        return autoBackground || tolerance || regions.connected || regions.Despeckles() ||
               product != Product::Mask || invert;
    }
};

// Opens the picture's rows afresh each time it is called: a file's, or an array's.
using SourceOpener = std::function<Result(std::unique_ptr<RowSource>&)>;

// The finished rows of the picture that open yields, top row first as decoded
// (Orientation() says how to turn them upright): 24-bit grey rows of a mask, or 32-bit
// rows of red, green, blue and alpha of a cut-out. background is the backdrop's side
// when it is not measured. open must outlive the source.
Result OpenRefinedSource(const SourceOpener& open, Background background,
                         const RefineOptions& options, std::unique_ptr<RowSource>& source);

}  // namespace zel7

namespace zel7 {

// How far the rows a refined source (from OpenRefinedSource) wrote can be trusted,
// once they are all read; nothing for any other source.
std::optional<Confidence> ConfidenceOf(const RowSource& source);

}  // namespace zel7
