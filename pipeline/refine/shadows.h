// Cast shadows told from objects on a white backdrop. A shadow darkens the backdrop
// smoothly and keeps its hue: its pixels are the surface's colour scaled down, and it
// fades into the backdrop without an edge of its own. An object, even a white one a
// few levels below the backdrop, is bounded by an edge for most of its outline.
//
// The picture's samples that are darker than the backdrop but of its hue are joined
// into patches wherever neighbours differ by less than an edge; a patch whose outline
// is mostly a soft fade into the backdrop is shadow.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "refine/surface.h"

namespace zel7 {

class ShadowMap {
public:
    ShadowMap(const PictureSamples& samples, const BackdropSurface& surface);

    // Whether the pixel bgr at x, y lies in a shadow: its nearest sample is in one, and
    // it is itself of the backdrop's hue. The surface must outlive the map.
    bool InShadow(int32_t x, int32_t y, const uint8_t* bgr) const;
    bool Any() const { return any_; }

private:
    const BackdropSurface& surface_;
    int32_t step_, across_, down_;
    int tolerance_;
    std::vector<uint8_t> shadow_;  // a byte a sample, non-zero in a shadow
    bool any_ = false;
};

}  // namespace zel7
