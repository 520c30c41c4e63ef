// The masking loop, once per instruction set.
//
// The vector kernels work on blocks of 16 pixels (48 bytes, three 16-byte registers).
// Each byte is compared with the threshold, giving 0xFF or 0x00; a pixel is background
// when its three bytes are all 0xFF, which the AND of each byte with its two right
// neighbours gives at the pixel's first byte; a shuffle then copies that byte over the
// pixel's three bytes. Where a pixel straddles two registers, byte alignment brings
// the neighbours in. The AVX2 kernel runs two such blocks at once, one per 128-bit lane.
#include <algorithm>

#include "mask/threshold.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZEL7_X86_KERNELS 1
#endif

namespace zel7 {
namespace {

template <Background background>
inline bool IsBackground(uint8_t blue, uint8_t green, uint8_t red) {
    if constexpr (background == Background::NearWhite) {
        return std::min({blue, green, red}) >= kNearWhiteThreshold;
    } else {
        return std::max({blue, green, red}) <= kNearBlackThreshold;
    }
}

template <Background background>
inline void MaskRunPortable(uint8_t* pixels, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, pixels += 3) {
        const uint8_t value = IsBackground<background>(pixels[0], pixels[1], pixels[2]) ? 255 : 0;
        pixels[0] = value;
        pixels[1] = value;
        pixels[2] = value;
    }
}

void PortableWhite(uint8_t* pixels, std::size_t count) {
    MaskRunPortable<Background::NearWhite>(pixels, count);
}
void PortableBlack(uint8_t* pixels, std::size_t count) {
    MaskRunPortable<Background::NearBlack>(pixels, count);
}
bool Always() {
    return true;
}

#ifdef ZEL7_X86_KERNELS

// Shuffles that spread each pixel's verdict over its three bytes, for the three
// registers of a block (see BlockMasks for what byte 0 of the second and third holds).
#define ZEL7_SPREAD_A 0, 0, 0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 15
#define ZEL7_SPREAD_B 0, 0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 15, 15
#define ZEL7_SPREAD_C 0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 15, 15, 15

// Everything from here to the matching end is compiled for SSE4.1 (GCC and clang spell
// that differently).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif
namespace sse {
#define ZEL7_SSE_TARGET __attribute__((always_inline)) static inline

struct SseOps {
    ZEL7_SSE_TARGET __m128i Splat(uint8_t v) { return _mm_set1_epi8(char(v)); }
    ZEL7_SSE_TARGET __m128i Max(__m128i x, __m128i y) { return _mm_max_epu8(x, y); }
    ZEL7_SSE_TARGET __m128i Min(__m128i x, __m128i y) { return _mm_min_epu8(x, y); }
    ZEL7_SSE_TARGET __m128i Equal(__m128i x, __m128i y) { return _mm_cmpeq_epi8(x, y); }
    ZEL7_SSE_TARGET __m128i And(__m128i x, __m128i y) { return _mm_and_si128(x, y); }
    template <int n>
    ZEL7_SSE_TARGET __m128i Align(__m128i high, __m128i low) {
        return _mm_alignr_epi8(high, low, n);
    }
    template <int n>
    ZEL7_SSE_TARGET __m128i ShiftRight(__m128i x) {
        return _mm_srli_si128(x, n);
    }
    ZEL7_SSE_TARGET __m128i Shuffle(__m128i x, __m128i order) { return _mm_shuffle_epi8(x, order); }
    ZEL7_SSE_TARGET __m128i SpreadA() { return _mm_setr_epi8(ZEL7_SPREAD_A); }
    ZEL7_SSE_TARGET __m128i SpreadB() { return _mm_setr_epi8(ZEL7_SPREAD_B); }
    ZEL7_SSE_TARGET __m128i SpreadC() { return _mm_setr_epi8(ZEL7_SPREAD_C); }
};

#include "mask_block.inc"

template <Background background>
void MaskRunSse41(uint8_t* pixels, std::size_t count) {
    for (; count >= 16; count -= 16, pixels += 48) {
        auto* at = reinterpret_cast<__m128i*>(pixels);
        __m128i a = _mm_loadu_si128(at), b = _mm_loadu_si128(at + 1), c = _mm_loadu_si128(at + 2);
        MaskBlock<background, SseOps>(a, b, c);
        _mm_storeu_si128(at, a);
        _mm_storeu_si128(at + 1, b);
        _mm_storeu_si128(at + 2, c);
    }
    MaskRunPortable<background>(pixels, count);
}
}  // namespace sse
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx {
#define ZEL7_AVX_TARGET __attribute__((always_inline)) static inline

struct AvxOps {
    ZEL7_AVX_TARGET __m256i Splat(uint8_t v) { return _mm256_set1_epi8(char(v)); }
    ZEL7_AVX_TARGET __m256i Max(__m256i x, __m256i y) { return _mm256_max_epu8(x, y); }
    ZEL7_AVX_TARGET __m256i Min(__m256i x, __m256i y) { return _mm256_min_epu8(x, y); }
    ZEL7_AVX_TARGET __m256i Equal(__m256i x, __m256i y) { return _mm256_cmpeq_epi8(x, y); }
    ZEL7_AVX_TARGET __m256i And(__m256i x, __m256i y) { return _mm256_and_si256(x, y); }
    template <int n>
    ZEL7_AVX_TARGET __m256i Align(__m256i high, __m256i low) {
        return _mm256_alignr_epi8(high, low, n);
    }
    template <int n>
    ZEL7_AVX_TARGET __m256i ShiftRight(__m256i x) {
        return _mm256_srli_si256(x, n);
    }
    ZEL7_AVX_TARGET __m256i Shuffle(__m256i x, __m256i order) {
        return _mm256_shuffle_epi8(x, order);
    }
    ZEL7_AVX_TARGET __m256i SpreadA() { return _mm256_setr_epi8(ZEL7_SPREAD_A, ZEL7_SPREAD_A); }
    ZEL7_AVX_TARGET __m256i SpreadB() { return _mm256_setr_epi8(ZEL7_SPREAD_B, ZEL7_SPREAD_B); }
    ZEL7_AVX_TARGET __m256i SpreadC() { return _mm256_setr_epi8(ZEL7_SPREAD_C, ZEL7_SPREAD_C); }
};

#include "mask_block.inc"

// Two blocks of 48 bytes, the first in the low lanes, the second in the high ones:
// three plain loads, regrouped by lane-crossing permutes, and back again.
template <Background background>
void MaskRunAvx2(uint8_t* pixels, std::size_t count) {
    for (; count >= 32; count -= 32, pixels += 96) {
        auto* at = reinterpret_cast<__m256i*>(pixels);
        const __m256i x = _mm256_loadu_si256(at);           // a1 b1
        const __m256i y = _mm256_loadu_si256(at + 1);       // c1 a2
        const __m256i z = _mm256_loadu_si256(at + 2);       // b2 c2
        __m256i a = _mm256_permute2x128_si256(x, y, 0x30);  // a1 a2
        __m256i b = _mm256_permute2x128_si256(x, z, 0x21);  // b1 b2
        __m256i c = _mm256_permute2x128_si256(y, z, 0x30);  // c1 c2
        MaskBlock<background, AvxOps>(a, b, c);
        _mm256_storeu_si256(at, _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(at + 1, _mm256_permute2x128_si256(c, a, 0x30));
        _mm256_storeu_si256(at + 2, _mm256_permute2x128_si256(b, c, 0x31));
    }
    // Clean upper halves keep the SSE code that follows (here and in callers) at speed.
    _mm256_zeroupper();
    sse::MaskRunSse41<background>(pixels, count);
}
}  // namespace avx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

void Avx2White(uint8_t* pixels, std::size_t count) {
    avx::MaskRunAvx2<Background::NearWhite>(pixels, count);
}
void Avx2Black(uint8_t* pixels, std::size_t count) {
    avx::MaskRunAvx2<Background::NearBlack>(pixels, count);
}
bool HasAvx2() {
    return __builtin_cpu_supports("avx2");
}

void Sse41White(uint8_t* pixels, std::size_t count) {
    sse::MaskRunSse41<Background::NearWhite>(pixels, count);
}
void Sse41Black(uint8_t* pixels, std::size_t count) {
    sse::MaskRunSse41<Background::NearBlack>(pixels, count);
}
bool HasSse41() {
    return __builtin_cpu_supports("sse4.1");
}

#endif  // ZEL7_X86_KERNELS

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
