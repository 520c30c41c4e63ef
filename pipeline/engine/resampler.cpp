// Resampling through libswscale. Each plane is scaled as 8-bit grey, which the library
// filters as it is, where packed RGB would be taken through YUV (and its colours
// rounded) on the way; each plane needs its own context, since a context holds the
// source rows its vertical filter still needs between slices.
extern "C" {
#include <libswscale/swscale.h>
}

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

struct Resampler::Contexts {
    const Libswscale* swscale = nullptr;
    std::vector<SwsContext*> planes;
    ~Contexts() {
        for (SwsContext* context : planes) {
            swscale->freeContext(context);
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
    for (int p = 0; p < planes; ++p) {
        SwsContext* context = contexts_->swscale->getContext(
            fromWidth, fromHeight, AV_PIX_FMT_GRAY8, toWidth, toHeight, AV_PIX_FMT_GRAY8, kFilter,
            nullptr, nullptr, nullptr);
        if (context == nullptr) {
            return Fail(Status::TooLarge, "a size the resampler does not take");
        }
        contexts_->planes.push_back(context);
    }
    toWidth_ = toWidth;
    toHeight_ = toHeight;
    fed_ = 0;
    out_.assign(std::size_t(planes) * std::size_t(toWidth) * std::size_t(toHeight), 0);
    return {};
}

Result Resampler::Feed(const uint8_t* const* band, int32_t stride, int32_t rows) {
    for (std::size_t p = 0; p < contexts_->planes.size(); ++p) {
        const uint8_t* source[4] = {band[p], nullptr, nullptr, nullptr};
        const int sourceStride[4] = {stride, 0, 0, 0};
        uint8_t* target[4] = {out_.data() + p * std::size_t(toWidth_) * std::size_t(toHeight_),
                              nullptr, nullptr, nullptr};
        const int targetStride[4] = {toWidth_, 0, 0, 0};
        if (contexts_->swscale->scale(contexts_->planes[p], source, sourceStride, fed_, rows,
                                      target, targetStride) < 0) {
            return Fail(Status::OutOfMemory);
        }
    }
    fed_ += rows;
    return {};
}

}  // namespace zel7
