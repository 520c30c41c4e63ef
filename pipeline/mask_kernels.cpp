// The masking loop, compiled once per instruction set. The loop is written so that the
// compiler vectorises it (three-way interleaved loads and stores); each variant differs
// only in the instructions it may use. This file is built with -O3.
#include <algorithm>

#include "threshold.h"

namespace zel7 {
namespace {

template <Background background>
inline __attribute__((always_inline)) void MaskRun(uint8_t* __restrict pixels, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t* pixel = pixels + 3 * i;
        uint8_t value;
        if constexpr (background == Background::NearWhite) {
            uint8_t darkest = std::min(std::min(pixel[0], pixel[1]), pixel[2]);
            value = darkest >= kNearWhiteThreshold ? 255 : 0;
        } else {
            uint8_t brightest = std::max(std::max(pixel[0], pixel[1]), pixel[2]);
            value = brightest <= kNearBlackThreshold ? 255 : 0;
        }
        pixel[0] = value;
        pixel[1] = value;
        pixel[2] = value;
    }
}

void PortableWhite(uint8_t* pixels, std::size_t count) {
    MaskRun<Background::NearWhite>(pixels, count);
}
void PortableBlack(uint8_t* pixels, std::size_t count) {
    MaskRun<Background::NearBlack>(pixels, count);
}
bool Always() {
    return true;
}

#if defined(__x86_64__) || defined(__i386__)
#define ZEL7_X86_KERNELS 1

__attribute__((target("avx2"))) void Avx2White(uint8_t* pixels, std::size_t count) {
    MaskRun<Background::NearWhite>(pixels, count);
}
__attribute__((target("avx2"))) void Avx2Black(uint8_t* pixels, std::size_t count) {
    MaskRun<Background::NearBlack>(pixels, count);
}
bool HasAvx2() {
    return __builtin_cpu_supports("avx2");
}

__attribute__((target("sse4.1"))) void Sse41White(uint8_t* pixels, std::size_t count) {
    MaskRun<Background::NearWhite>(pixels, count);
}
__attribute__((target("sse4.1"))) void Sse41Black(uint8_t* pixels, std::size_t count) {
    MaskRun<Background::NearBlack>(pixels, count);
}
bool HasSse41() {
    return __builtin_cpu_supports("sse4.1");
}
#endif

constexpr MaskKernel kKernels[] = {
#ifdef ZEL7_X86_KERNELS
    {"avx2", HasAvx2, Avx2White, Avx2Black},
    {"sse4.1", HasSse41, Sse41White, Sse41Black},
#endif
    {"portable", Always, PortableWhite, PortableBlack},
};

}  // namespace

std::span<const MaskKernel> MaskKernels() {
    return kKernels;
}

}  // namespace zel7
