// The object's outline settled by colour models and a graph cut (OpenCV's GrabCut, in the
// module zel7-cut.so: refine/grab_cut.h) on a coarse grid of the picture, starting from
// the regions the backdrop rules decided.
//
// The rules judge each patch by its own pixels and the steps around it, and fail where
// a patch looks like neither backdrop nor object in itself: shadows tinted by the
// object's light, contact shadows that deepen in rings, a textured floor under the
// object. The cut weighs every grid point by how well the colours of the object and of
// the backdrop, as a whole, explain it, and lays the outline where the picture's edges
// are strongest: along the object, not along a shadow's soft fade.
//
// The cut only moves the outline by what is thick on the grid, and takes away only
// what the backdrop touches: a thin wire or a label's strokes are left to the rules, as
// is a print inside the object that matches the backdrop's colour.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <future>
#include <vector>

#include "refine/grab_cut.h"
#include "refine/regions.h"
#include "refine/surface.h"
#include "system/result.h"

namespace zel7 {

class ColourCut {
public:
    // The colour models' verdicts on the colours Apply meets are kept in 2^16 slots.
    static constexpr int kVerdictSlotBits = 16;

    // A grid for a picture of width by height pixels; verdictSlotBits (1 to 24) sizes the
    // verdicts' table, which a test shrinks to two slots so that most colours share one.
    ColourCut(int32_t width, int32_t height, int verdictSlotBits = kVerdictSlotBits);
    // Opens the cut's module on a thread of its own, so that a process's first cut finds
    // OpenCV's libraries loaded (some 10 ms on this machine) while the picture is read.
    static std::future<void> OpenAhead();

    // Keeps row y's grid points, which of them the surface holds for backdrop, and which
    // lie in a shadow the rules could not drop (likelyShadow(x, y), as
    // ShadowMap::LikelyShadow says; none when empty), a likely backdrop to the cut.
    void AddRow(int32_t y, const uint8_t* bgr, const BackdropSurface& surface,
                const std::function<bool(int32_t x, int32_t y)>& likelyShadow = {});
    // After the last row: cuts from the decided regions of labels; movedAny says whether
    // the cut moved the outline anywhere. Fails only when the cut cannot be had.
    Result Settle(const RegionLabeller& labels, bool& movedAny);
    // Row y's coverage (0 or 255, as labels fill it) as the cut moved it; bgr is the row,
    // surface the one the rows were added with. Two threads may apply it to two rows at once.
    void Apply(int32_t y, const uint8_t* bgr, const BackdropSurface& surface, uint8_t* coverage);
    // Marks the pixels of row y not yet classified (0) that lie about what the cut took
    // of a shadow, once it has settled: what it took, and the backdrop around. A patch it
    // took is a shadow where it holds a point likely in one (AddRow's likelyShadow) and
    // reaches no frame; a floor, a mat or a cloth it took is none (a floor runs out of the
    // picture, and the rules saw no shadow in a mat).
    void MarkTakenShadows(int32_t y, uint8_t mark, uint8_t* classes) const;

private:
    // A colour model: a mixture of Gaussians, as the cut fitted it.
    struct Model {
        struct Component {
            double weight = 0, logNorm = 0;
            std::array<double, 3> mean{};
            std::array<double, 9> inverse{};
        };
        std::array<Component, kGrabCutComponents> components;
        void Read(const double* fitted);
        // (nearest: the least squared Mahalanobis distance to a component, when asked)
        double LogLikelihood(const uint8_t* bgr, double* nearest = nullptr) const;
    };

    // What the colour models say of the colour bgr, as Apply asks it (kObjectLikelier and
    // the rest, in cut.cpp): worked out once a colour.
    uint8_t VerdictOn(const uint8_t* bgr);

    // Whether grid point k lies on the frame.
    bool OnFrame(std::size_t k) const;
    // Calls each(n) for grid point k and each of its neighbours n in the grid (3 x 3).
    template <class Each>
    void ForEachAround(std::size_t k, Each each) const;

    int32_t width_, step_, across_, down_;
    std::vector<uint8_t> colours_;   // the grid's points, blue, green, red
    std::vector<uint8_t> backdrop_;  // the same: of the backdrop's colour, by the surface
    std::vector<uint8_t> apart_;     // the same: how far from the backdrop's, in any channel
    std::vector<uint8_t> shadowed_;  // the same: likely in a shadow (ShadowMap::LikelyShadow)
    // Per grid point: 0 where the cut moved nothing about it (3 x 3), else what lies about
    // it: taken from the object or given to it, and object or backdrop as finally decided.
    std::vector<uint8_t> near_;
    Model objectModel_, backdropModel_;
    // The verdicts worked out, a slot for each hash of a colour: the colour (24 bits) and
    // its verdict (3), or kNoVerdict. The pixels about what the cut moved repeat their
    // colours (nine in ten of those of a photo enlarged to 24 megapixels were found in the
    // table), and the models' 10 exponentials and 2 logarithms a pixel had taken a
    // quarter of --studio's time.
    int verdictSlotBits_;
    std::vector<uint32_t> verdicts_;
};

}  // namespace zel7
