// Holes told from labels: of the backdrop-coloured regions the object encloses, those
// that are the backdrop seen through it (the hole of a handle, the inside of a ring)
// rather than part of it in nearly the backdrop's colour (a label, a print).
#pragma once

#include <cstdint>
#include <vector>

#include "refine/backdrop.h"
#include "refine/regions.h"
#include "refine/surface.h"

namespace zel7 {

// Makes background every enclosed region (of labels, decided) whose mean colour is
// that of the backdrop nearest to it, within a level and the noise's share: the
// surface's where there is one, else measured on a grid of cells for gradients and
// vignetting. Whether there was any.
bool FindHoles(RegionLabeller& labels, const PictureSamples& samples, const Backdrop& reference,
               const BackdropSurface* surface = nullptr);

}  // namespace zel7
