// The colour cut's one use of OpenCV, built as a module of its own (zel7-cut.so) that the
// library opens when a picture is first cut: OpenCV's libraries, with TBB, LAPACK and X11's
// client libraries behind them, would otherwise cost every run of every program their
// loading (the plain mask 5 to 10 ms of its 65).
#include "refine/grab_cut.h"

#include <cstdint>
#include <exception>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

extern "C" __attribute__((visibility("default"))) int zel7_grab_cut(
    const uint8_t* bgr, int32_t across, int32_t down, uint8_t* labels, int iterations,
    uint64_t seed, double* backdropModel, double* objectModel) {
    try {
        const cv::Mat image(down, across, CV_8UC3, const_cast<uint8_t*>(bgr));
        cv::Mat mask(down, across, CV_8UC1, labels);
        cv::Mat backdrop(1, zel7::kGrabCutModelSize, CV_64FC1, backdropModel);
        cv::Mat object(1, zel7::kGrabCutModelSize, CV_64FC1, objectModel);
        // The models start from k-means, whose seeds come from OpenCV's generator: set for
        // every picture, so that its mask does not depend on what was cut before it.
        cv::theRNG() = cv::RNG(seed);
        cv::grabCut(image, mask, cv::Rect(), backdrop, object, iterations, cv::GC_INIT_WITH_MASK);
        return 1;
    } catch (const std::exception&) {
        // Colours too few for the models (a picture of two colours), or no memory: the
        // caller's regions stand.
        return 0;
    }
}
