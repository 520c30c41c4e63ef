// Resampling through libswscale. Each plane is scaled as 8-bit grey, which the library
// filters as it is, where packed RGB would be taken through YUV (and its colours
// rounded) on the way; each plane needs its own context, since a context holds the
// source rows its vertical filter still needs between slices.
extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/resampler.h"
#include "system/system.h"

namespace zel7 {
namespace {

// libswscale is opened on the first picture resampled rather than at every start: with
// libavutil it brings video drivers' libraries, 1.4 ms of loading for each run.
struct Libswscale {
    decltype(&::sws_getContext) getContext = nullptr;
    decltype(&::sws_scale) scale = nullptr;
    decltype(&::sws_freeContext) freeContext = nullptr;
};

// Every function the resampler calls, found in the library.
bool FindLibswscale(void* library, Libswscale& swscale, std::string& why) {
    return FindSharedFunction(library, "sws_getContext", swscale.getContext, why) &&
           FindSharedFunction(library, "sws_scale", swscale.scale, why) &&
           FindSharedFunction(library, "sws_freeContext", swscale.freeContext, why);
}

// The library's functions, or null when it cannot be opened (why in error).
const Libswscale* OpenLibswscale(std::string& error) {
    return OpenSharedFunctions<Libswscale>(ZEL7_LIBSWSCALE, error, FindLibswscale);
}

}  // namespace

// Lanczos (three lobes): sharp when shrinking by any factor and smooth when
// enlarging; accurate rounding keeps a flat plane exactly flat.
constexpr int kFilter = SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

// libswscale 6.7 crashes in a context fed in slices that makes a side some 29 times
// smaller, and in any context that makes one 6,000 times larger (a 300-pixel cut-out to a
// 10-pixel thumbnail, a 2-pixel speck to a frame): larger changes go in passes of at most
// this each, the first fed the rows as they come, each other the whole plane before it.
constexpr double kMostChangePerPass = 16;

// The passes that take a side of from samples to to, at least 1.
int Passes(int32_t from, int32_t to) {
    const double change = std::max(double(from) / to, double(to) / from);
    return std::max(1, int(std::ceil(std::log(change) / std::log(kMostChangePerPass) - 1e-9)));
}

// The bytes a plane of width x height takes where the library writes it: its samples,
// and room for what it writes past them.
std::size_t PlaneBytes(int32_t width, int32_t height) {
    return std::size_t(width) * std::size_t(height) + Resampler::kPadding;
}

// A side's size after pass of passes: the change shared evenly among them.
int32_t SideAfter(int32_t from, int32_t to, int pass, int passes) {
    if (pass == passes) {
        return to;
    }
    const double side = from * std::pow(double(to) / from, double(pass) / passes);
    return std::max(1, int32_t(std::lround(side)));
}

struct Resampler::Contexts {
    const Libswscale* swscale = nullptr;
    struct Pass {
        int32_t width = 0, height = 0;  // of its planes
        std::vector<SwsContext*> planes;
        PixelVector<uint8_t> out;  // its planes, one after the other, each PlaneBytes
    };
    std::vector<Pass> passes;
    ~Contexts() {
        for (const Pass& pass : passes) {
            for (SwsContext* context : pass.planes) {
                swscale->freeContext(context);
            }
        }
    }
};

Resampler::Resampler() = default;
Resampler::~Resampler() = default;

Result Resampler::Open(int32_t fromWidth, int32_t fromHeight, int32_t toWidth, int32_t toHeight,
                       int planes) {
    contexts_ = std::make_unique<Contexts>();
    std::string why;
    contexts_->swscale = OpenLibswscale(why);
    if (contexts_->swscale == nullptr) {
        return Fail(Status::UnsupportedPicture, "resampling needs " + why);
    }
    const int passes = std::max(Passes(fromWidth, toWidth), Passes(fromHeight, toHeight));
    int32_t width = fromWidth, height = fromHeight;
    for (int pass = 1; pass <= passes; ++pass) {
        Contexts::Pass& next = contexts_->passes.emplace_back();
        next.width = SideAfter(fromWidth, toWidth, pass, passes);
        next.height = SideAfter(fromHeight, toHeight, pass, passes);
        for (int p = 0; p < planes; ++p) {
            SwsContext* context = contexts_->swscale->getContext(
                width, height, AV_PIX_FMT_GRAY8, next.width, next.height, AV_PIX_FMT_GRAY8, kFilter,
                nullptr, nullptr, nullptr);
            if (context == nullptr) {
                return Fail(Status::TooLarge, "a size the resampler does not take");
            }
            next.planes.push_back(context);
        }
        next.out.assign(std::size_t(planes) * PlaneBytes(next.width, next.height), 0);
        width = next.width;
        height = next.height;
    }
    fromHeight_ = fromHeight;
    fed_ = 0;
    return {};
}

const uint8_t* Resampler::Plane(int p) const {
    const Contexts::Pass& last = contexts_->passes.back();
    return last.out.data() + std::size_t(p) * PlaneBytes(last.width, last.height);
}

Result Resampler::Scale(std::size_t pass, const uint8_t* const* band, int32_t stride, int32_t top,
                        int32_t rows) {
    Contexts::Pass& into = contexts_->passes[pass];
    uint8_t* out = into.out.data();
    const std::size_t plane = PlaneBytes(into.width, into.height);
    for (std::size_t p = 0; p < into.planes.size(); ++p) {
        const uint8_t* source[4] = {band[p], nullptr, nullptr, nullptr};
        const int sourceStride[4] = {stride, 0, 0, 0};
        uint8_t* target[4] = {out + p * plane, nullptr, nullptr, nullptr};
        const int targetStride[4] = {into.width, 0, 0, 0};
        if (contexts_->swscale->scale(into.planes[p], source, sourceStride, top, rows, target,
                                      targetStride) < 0) {
            return Fail(Status::OutOfMemory);
        }
    }
    return {};
}

Result Resampler::Feed(const uint8_t* const* band, int32_t stride, int32_t rows) {
    if (Result result = Scale(0, band, stride, fed_, rows); !result.Ok()) {
        return result;
    }
    fed_ += rows;
    // Every row in: the passes after the first take the whole planes the one before made.
    for (std::size_t pass = 1; fed_ == fromHeight_ && pass < contexts_->passes.size(); ++pass) {
        const Contexts::Pass& before = contexts_->passes[pass - 1];
        const std::size_t plane = PlaneBytes(before.width, before.height);
        std::vector<const uint8_t*> planes;
        for (std::size_t p = 0; p < before.planes.size(); ++p) {
            planes.push_back(before.out.data() + p * plane);
        }
        if (Result result = Scale(pass, planes.data(), before.width, 0, before.height);
            !result.Ok()) {
            return result;
        }
        contexts_->passes[pass - 1].out = {};  // read: its memory goes before the next pass's
    }
    return {};
}

}  // namespace zel7
