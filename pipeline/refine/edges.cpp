#include "refine/edges.h"

#include <algorithm>
#include <cmath>

namespace zel7 {
namespace {

// The object's colour is the mean of the object pixels at least 80% as far from the
// backdrop as the farthest, so that one noisy pixel does not decide it: this is that
// share squared, as distances are compared squared.
constexpr float kObjectShareSquared = 0.64f;
// With no object colour at least this many times the tolerance, and this many levels,
// off the backdrop nearby, an edge pixel is a pale object's rim or a shadow's fringe,
// and its alpha says only how far it stands out beyond the tolerance.
constexpr int kContrastPerTolerance = 2;
constexpr int kLeastContrast = 8;
// Unmixing divides the noise by alpha: below this alpha the colour leans on the
// object's colour instead, more so the fainter the pixel.
constexpr float kFullTrustAlpha = 0.5f;

}  // namespace

RowWindow::RowWindow(int32_t width, int32_t height, int32_t rowStride)
    : width_(width), height_(height) {
    for (int32_t i = 0; i < kRows; ++i) {
        colours_[std::size_t(i)].resize(std::size_t(rowStride));
        coverage_[std::size_t(i)].resize(std::size_t(width));
    }
}

void FindEdges(const RowWindow& window, int32_t y, std::vector<uint8_t>& columns,
               std::vector<uint8_t>& edge) {
    const auto width = std::size_t(window.Width());
    // First the columns with background within kEdge rows...
    columns.assign(width, 0);
    uint8_t* column = columns.data();
    for (int32_t yy = std::max(y - kEdge, 0); yy <= std::min(y + kEdge, window.Height() - 1);
         ++yy) {
        const uint8_t* row = window.Coverage(yy);
        for (std::size_t x = 0; x < width; ++x) {
            column[x] |= row[x] == 0;
        }
    }
    // ...then the pixels with such a column within kEdge: the columns spread sideways a
    // step at a time, whole rows at once, which the compiler vectorises.
    edge = columns;
    uint8_t* out = edge.data();
    for (std::size_t step = 1; step <= std::size_t(kEdge) && step < width; ++step) {
        for (std::size_t x = 0; x + step < width; ++x) {
            out[x] |= column[x + step];
        }
        for (std::size_t x = 0; x + step < width; ++x) {
            out[x + step] |= column[x];
        }
    }
}

// The pixel's colour c is taken as a mix of the object's colour f, that of the object
// pixels nearby farthest from the backdrop, and the backdrop's b, that of the
// backdrop-coloured pixels nearby; alpha is where c lies between them, and the
// object's own colour, (c - b) / alpha + b, replaces c.
uint8_t EdgeAlpha(const RowWindow& window, int32_t x, int32_t y, const Backdrop& reference,
                  uint8_t* rgb) {
    const int32_t top = std::max(y - kReach, 0);
    const int32_t bottom = std::min(y + kReach, window.Height() - 1);
    const int32_t left = std::max(x - kReach, 0);
    const int32_t right = std::min(x + kReach, window.Width() - 1);
    int backdrop[3] = {0, 0, 0}, backdropCount = 0;
    for (int32_t yy = top; yy <= bottom; ++yy) {
        for (int32_t xx = left; xx <= right; ++xx) {
            const uint8_t* p = window.Colours(yy) + 3 * xx;
            if (window.Coverage(yy)[xx] == 0 && IsBackdropColoured(p, reference)) {
                for (int c = 0; c < 3; ++c) {
                    backdrop[c] += p[c];
                }
                ++backdropCount;
            }
        }
    }
    float b[3];
    for (int c = 0; c < 3; ++c) {
        b[c] = backdropCount > 0 ? float(backdrop[c]) / float(backdropCount)
                                 : float(reference.colour[std::size_t(c)]);
    }
    const auto distance = [&](const uint8_t* p) {
        float sum = 0;
        for (int c = 0; c < 3; ++c) {
            sum += (float(p[c]) - b[c]) * (float(p[c]) - b[c]);
        }
        return sum;
    };
    // Only object pixels off the backdrop on this pixel's side can be what it is mixed
    // of: an object both lighter and darker than a grey backdrop would average to it.
    const uint8_t* pixel = window.Colours(y) + 3 * x;
    const auto sameSide = [&](const uint8_t* p) {
        float dot = 0;
        for (int c = 0; c < 3; ++c) {
            dot += (float(p[c]) - b[c]) * (float(pixel[c]) - b[c]);
        }
        return dot > 0;
    };
    float farthest = 0;
    const uint8_t* far = nullptr;
    for (int32_t yy = top; yy <= bottom; ++yy) {
        for (int32_t xx = left; xx <= right; ++xx) {
            const uint8_t* p = window.Colours(yy) + 3 * xx;
            if (window.Coverage(yy)[xx] != 0 && distance(p) > farthest && sameSide(p)) {
                farthest = distance(p);
                far = p;
            }
        }
    }
    const float least =
        float(std::max(kContrastPerTolerance * reference.tolerance, kLeastContrast));
    if (far == nullptr || farthest < least * least) {
        const float beyond = (std::sqrt(distance(pixel)) - float(reference.tolerance)) /
                             float(std::max(reference.tolerance, 1));
        return uint8_t(std::lround(std::clamp(beyond, 0.0f, 1.0f) * 255));
    }
    float f[3] = {0, 0, 0};
    int objectCount = 0;
    for (int32_t yy = top; yy <= bottom; ++yy) {
        for (int32_t xx = left; xx <= right; ++xx) {
            const uint8_t* p = window.Colours(yy) + 3 * xx;
            if (window.Coverage(yy)[xx] != 0 && distance(p) >= kObjectShareSquared * farthest &&
                sameSide(p)) {
                for (int c = 0; c < 3; ++c) {
                    f[c] += p[c];
                }
                ++objectCount;
            }
        }
    }
    float along = 0, length = 0;
    for (int c = 0; c < 3; ++c) {
        f[c] = f[c] / float(objectCount) - b[c];
        along += (float(pixel[c]) - b[c]) * f[c];
        length += f[c] * f[c];
    }
    const float alpha = std::clamp(along / length, 0.0f, 1.0f);
    if (alpha * 255 < 0.5f) {
        return 0;  // rounds to nothing: no colour to unmix
    }
    const float trust = std::min(alpha / kFullTrustAlpha, 1.0f);
    for (int c = 0; c < 3; ++c) {
        const float own = b[c] + (float(pixel[c]) - b[c]) / alpha;
        const float blended = trust * own + (1 - trust) * (b[c] + f[c]);
        rgb[2 - c] = uint8_t(std::clamp(std::lround(blended), 0L, 255L));
    }
    return uint8_t(std::lround(alpha * 255));
}

}  // namespace zel7
