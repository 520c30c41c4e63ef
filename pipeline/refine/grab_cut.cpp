// The colour cut's one use of OpenCV, built as a module of its own (zel7-cut.so) that the
// library opens when a picture is first cut: OpenCV's libraries, with TBB, LAPACK and X11's
// client libraries behind them, would otherwise cost every run of every program their
// loading (the plain mask 5 to 10 ms of its 65).
#include "refine/grab_cut.h"

#include <cstdio>
#include <exception>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <type_traits>

extern "C" __attribute__((visibility("default"))) int zel7_grab_cut_1(
    const uint8_t* bgr, int32_t across, int32_t down, uint8_t* labels, int iterations,
    uint64_t seed, double* backdropModel, double* objectModel, char* why, std::size_t size) {
    static_assert(std::is_same_v<decltype(zel7_grab_cut_1), zel7::GrabCutFunction>);
    // The models start from k-means, whose seeds come from the thread's generator: set for
    // every picture, so that its mask does not depend on what was cut before it, and given
    // back after, so that a program's own use of OpenCV (Python's cv2) goes on as it was.
    const cv::RNG before = cv::theRNG();
    cv::theRNG() = cv::RNG(seed);
    int outcome = zel7::kGrabCutDone;
    try {
        const cv::Mat image(down, across, CV_8UC3, const_cast<uint8_t*>(bgr));
        cv::Mat mask(down, across, CV_8UC1, labels);
        cv::Mat backdrop(1, zel7::kGrabCutModelSize, CV_64FC1, backdropModel);
        cv::Mat object(1, zel7::kGrabCutModelSize, CV_64FC1, objectModel);
        cv::grabCut(image, mask, cv::Rect(), backdrop, object, iterations, cv::GC_INIT_WITH_MASK);
    } catch (const std::bad_alloc&) {
        outcome = zel7::kGrabCutNoMemory;
    } catch (const cv::Exception& error) {
        // (OpenCV's allocator says it has no memory in its own exception)
        outcome = error.code == cv::Error::StsNoMem ? zel7::kGrabCutNoMemory : zel7::kGrabCutFailed;
        std::snprintf(why, size, "%s", error.what());
    } catch (const std::exception& error) {
        std::snprintf(why, size, "%s", error.what());
        outcome = zel7::kGrabCutFailed;
    } catch (...) {
        std::snprintf(why, size, "an unknown exception");
        outcome = zel7::kGrabCutFailed;
    }
    cv::theRNG() = before;
    return outcome;
}
