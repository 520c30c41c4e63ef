// The colour cut's entry into zel7-cut.so (refine/grab_cut.cpp), the module that holds
// OpenCV's GrabCut: a plain function, found by its name when the module is opened. The
// name carries the interface's version, so that a module of another build is refused
// rather than called with arrays of another size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel7 {

// Each colour model: five Gaussians' weights, then their means (3 each), then their
// covariances (9 each), as OpenCV lays them out.
inline constexpr int kGrabCutComponents = 5;
inline constexpr int kGrabCutModelSize = kGrabCutComponents * 13;

// What the cut returns.
enum GrabCutOutcome : int { kGrabCutDone, kGrabCutNoMemory, kGrabCutFailed };

extern "C" {
// The cut of across x down blue, green, red points from labels (OpenCV's GC_BGD 0,
// GC_FGD 1, GC_PR_BGD 2, GC_PR_FGD 3), which it rewrites, in iterations rounds, its
// k-means seeded with seed; the two models fitted are written out. On kGrabCutFailed,
// OpenCV's words in why (size bytes, terminated).
using GrabCutFunction = int(const uint8_t* bgr, int32_t across, int32_t down, uint8_t* labels,
                            int iterations, uint64_t seed, double* backdropModel,
                            double* objectModel, char* why, std::size_t size);
}
inline constexpr const char* kGrabCutName = "zel7_grab_cut_1";

}  // namespace zel7
