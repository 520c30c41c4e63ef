// Cast shadows told from objects on a white backdrop, and on either backdrop the faint
// light an object throws on it. A shadow darkens the backdrop smoothly and keeps its
// hue: its pixels are the surface's colour scaled down, and it fades into the backdrop
// without an edge of its own. An object, even a white one a few levels below the
// backdrop, is bounded by an edge for most of its outline.
//
// The picture's samples that are darker than the backdrop but of its hue are joined
// into patches wherever neighbours differ by less than an edge; a patch that meets the
// backdrop in a soft fade nearly everywhere it meets it is shadow. Light an object throws
// on the backdrop, and its reflection on a glossy one, are told alike: faint tints of the
// object's colour that fade into the backdrop, lying on it rather than ringed by an object.
// What the rules cannot drop but looks like a shadow (one a hard light casts, a contact
// shadow's deep or tinted core) is left to the colour cut as likely backdrop.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "refine/surface.h"

namespace zel7 {

class ShadowMap {
public:
    // spread: how many times further apart the samples lie than the picture's size asks,
    // its outlines being that much wider (OutlineWidth): 1 to 2.
    ShadowMap(const PictureSamples& samples, const BackdropSurface& surface, double spread = 1);

    // The pixels of row y (width wide) not yet classified (0) that lie in a shadow,
    // marked: those whose nearest sample is in one, or is backdrop beside one, and that
    // are themselves of the backdrop's hue, a sample's run of pixels at a time. The
    // surface must outlive the map.
    void Mark(int32_t y, int32_t width, const uint8_t* bgr, uint8_t mark, uint8_t* classes) const;
    // The same, of the shadows an object casts, for --shadow keep: those whose patch (its
    // samples joined across their sides, as every patch here) comes within kCastReach
    // samples of something standing (neither backdrop nor shadow). A
    // sweep's corner darker than its surface, or a smudge, lies in no object's shadow, and
    // was kept as a grey veil in the frame's corner.
    void MarkCast(int32_t y, int32_t width, const uint8_t* bgr, uint8_t mark,
                  uint8_t* classes) const;
    bool Any() const { return any_; }
    // Whether pixel x, y lies in what looks like a shadow the rules could not drop: one cast
    // by a hard light, its outline too crisp, or a contact shadow's core, too deep or
    // tinted by the object's light. The colour cut's to judge.
    bool LikelyShadow(int32_t x, int32_t y) const;
    // How much a pixel in a shadow darkens the backdrop there: 0 to 255.
    uint8_t Darkening(int32_t x, int32_t y, const uint8_t* bgr) const;

private:
    // Mark and MarkCast, of the samples set in flags.
    void MarkOf(const std::vector<uint8_t>& flags, int32_t y, int32_t width, const uint8_t* bgr,
                uint8_t mark, uint8_t* classes) const;
    // Calls each(x) for the pixels of row y (width wide) nearest a sample set in flags.
    template <class Each>
    void ForEachNearest(const std::vector<uint8_t>& flags, int32_t y, int32_t width,
                        Each each) const;

    const BackdropSurface& surface_;
    int32_t step_, across_, down_;
    int tolerance_;
    std::vector<uint8_t> shadow_;  // a byte a sample, non-zero in a shadow
    std::vector<uint8_t> cast_;    // the same, in a shadow an object casts (MarkCast)
    static constexpr int32_t kCastReach = 2;
    std::vector<uint8_t> likely_;  // the same, likely in one (LikelyShadow)
    bool any_ = false;
};

}  // namespace zel7
