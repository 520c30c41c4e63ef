// The colour cut's entry into zel7-cut.so (refine/grab_cut.cpp), the module that holds
// OpenCV's GrabCut: a plain function, found by its name when the module is opened.
#pragma once

#include <cstdint>

namespace zel7 {

// Each colour model: five Gaussians' weights, then their means (3 each), then their
// covariances (9 each), as OpenCV lays them out.
inline constexpr int kGrabCutComponents = 5;
inline constexpr int kGrabCutModelSize = kGrabCutComponents * 13;

// The cut of across x down blue, green, red points from labels (OpenCV's GC_BGD 0,
// GC_FGD 1, GC_PR_BGD 2, GC_PR_FGD 3), which it rewrites, in iterations rounds, its
// k-means seeded with seed; the two models fitted are written out. 1 when it cut, 0 when
// it could not.
using GrabCutFunction = int(const uint8_t* bgr, int32_t across, int32_t down, uint8_t* labels,
                            int iterations, uint64_t seed, double* backdropModel,
                            double* objectModel);
inline constexpr const char* kGrabCutName = "zel7_grab_cut";

}  // namespace zel7
