// The per-pixel kernels, compiled once per instruction set by Highway's foreach_target
// and dispatched at run time. The choice is made here, from the processor's own
// answers (cpuid), not by Highway's library: Debian's libhwy 1.0.3 calibrates a timer
// as it loads, 3.4 ms of every run, a twentieth of a 24-megapixel mask.
//
// The vector code works on blocks of 16 pixels: 48 bytes, three 16-byte registers
// a, b and c, in which pixels start at bytes 0, 3, .. 15 of a, 2, 5, .. 14 of b and
// 1, 4, .. 13 of c. Every operation stays within a 128-bit block, so 256-bit vectors
// hold two blocks, one per half: three plain loads regrouped by half-swaps, and back
// again. The threshold mask so takes eleven byte shuffles a block where Highway's
// LoadInterleaved3 and StoreInterleaved3 would take eighteen, and in cache it is bound
// by its shuffles.
// Elsewhere than on x86 only the compiler's baseline is chosen (see Runs below): only it
// is built.
#if !defined(__x86_64__) && !defined(__i386__) && !defined(HWY_COMPILE_ONLY_STATIC)
#define HWY_COMPILE_ONLY_STATIC 1
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "mask/kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// Highway's ops after foreach_target, which includes this file once per target.
#include <hwy/highway.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <vector>

#if HWY_ARCH_X86
#include <cpuid.h>
#endif

#include "mask/kernels.h"

HWY_BEFORE_NAMESPACE();
namespace zel7 {
namespace kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane is no block: the portable loops are the kernels.
void ClassifyOn(const uint8_t* pixels, std::size_t count, const ColourRange& range, uint8_t mark,
                uint8_t* classes) {
    portable::Classify(pixels, count, range, mark, classes);
}
void MaskOn(uint8_t* pixels, std::size_t count, const ColourRange& range) {
    portable::Mask(pixels, count, range);
}
void ExpandGreyOn(const uint8_t* grey, std::size_t count, uint8_t flip, uint8_t* out) {
    portable::ExpandGrey(grey, count, flip, out);
}
void PackBitsOn(const uint8_t* pixels, std::size_t count, uint8_t* out) {
    portable::PackBits(pixels, count, out);
}
void CutOutOn(const uint8_t* bgr, const uint8_t* coverage, std::size_t count, uint8_t flip,
              uint8_t* rgba) {
    portable::CutOut(bgr, coverage, count, flip, rgba);
}
void ApartOn(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& colour,
             bool darker, uint8_t* apart) {
    portable::Apart(pixels, count, colour, darker, apart);
}
void MarkShadedOn(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& backdrop,
                  int tolerance, bool white, const ShadeRule& rule, uint8_t mark,
                  uint8_t* classes) {
    portable::MarkShaded(pixels, count, backdrop, tolerance, white, rule, mark, classes);
}

#else

using Block = hn::Full128<uint8_t>;
constexpr uint8_t Z = 0x80;  // a table index that reads as 0

// Three registers of one or two blocks (see above), loaded from and stored to 48
// bytes a block.
template <class D, class V>
HWY_INLINE void LoadBlocks(D d, const uint8_t* from, V& a, V& b, V& c) {
    if constexpr (hn::MaxLanes(d) == 16) {
        a = hn::LoadU(d, from);
        b = hn::LoadU(d, from + 16);
        c = hn::LoadU(d, from + 32);
    } else {
        const V x = hn::LoadU(d, from);       // a1 b1 (low half first)
        const V y = hn::LoadU(d, from + 32);  // c1 a2
        const V z = hn::LoadU(d, from + 64);  // b2 c2
        a = hn::ConcatUpperLower(d, y, x);
        b = hn::ConcatLowerUpper(d, z, x);
        c = hn::ConcatUpperLower(d, z, y);
    }
}

template <class D, class V>
HWY_INLINE void StoreBlocks(D d, V a, V b, V c, uint8_t* to) {
    if constexpr (hn::MaxLanes(d) == 16) {
        hn::StoreU(a, d, to);
        hn::StoreU(b, d, to + 16);
        hn::StoreU(c, d, to + 32);
    } else {
        hn::StoreU(hn::ConcatLowerLower(d, b, a), d, to);
        hn::StoreU(hn::ConcatUpperLower(d, a, c), d, to + 32);
        hn::StoreU(hn::ConcatUpperUpper(d, c, b), d, to + 64);
    }
}

// Which ends of a range need comparing: a range that reaches 255 (as on white) or 0
// (as on black) has only one, and one comparison fewer a register tells in the
// threshold mask, bound in cache by its instruction count.
enum class Sides { Low, High, Both };

// The range as the lowest and highest byte each of a block's 48 bytes may hold.
struct Bounds {
    HWY_ALIGN uint8_t low[48];
    HWY_ALIGN uint8_t high[48];
    Sides sides;

    // Made on every call, and the surface's classifier calls once for each piece of
    // a row: the pattern copied whole rather than a byte at a time.
    explicit Bounds(const ColourRange& range) {
        for (int i = 0; i < 48; i += 3) {
            std::memcpy(low + i, range.low.data(), 3);
            std::memcpy(high + i, range.high.data(), 3);
        }
        const bool lowest = (range.low[0] | range.low[1] | range.low[2]) == 0;
        const bool highest = (range.high[0] & range.high[1] & range.high[2]) == 255;
        sides = highest ? Sides::Low : lowest ? Sides::High : Sides::Both;
    }
};

// 0xFF in each byte of a block's three registers that lies within its bounds, then
// the AND of each byte with its two right neighbours: at a pixel's first byte,
// whether all three of its channels do. (Vectors are passed one by one: SVE's cannot
// be members of a struct.)
template <Sides sides, class D, class V>
HWY_INLINE V WithinBounds(D d, V bytes, V low, V high) {
    if constexpr (sides == Sides::Low) {
        return hn::VecFromMask(d, hn::Eq(hn::Max(bytes, low), bytes));
    } else if constexpr (sides == Sides::High) {
        return hn::VecFromMask(d, hn::Eq(hn::Min(bytes, high), bytes));
    } else {
        return hn::VecFromMask(d, hn::Eq(hn::Min(hn::Max(bytes, low), high), bytes));
    }
}

template <Sides sides, class D, class V>
HWY_INLINE void PixelVerdicts(D d, V lowA, V lowB, V lowC, V highA, V highB, V highC, V& a, V& b,
                              V& c) {
    const V fa = WithinBounds<sides>(d, a, lowA, highA);
    const V fb = WithinBounds<sides>(d, b, lowB, highB);
    const V fc = WithinBounds<sides>(d, c, lowC, highC);
    a = hn::And(fa, hn::And(hn::CombineShiftRightBytes<1>(d, fb, fa),
                            hn::CombineShiftRightBytes<2>(d, fb, fa)));
    b = hn::And(fb, hn::And(hn::CombineShiftRightBytes<1>(d, fc, fb),
                            hn::CombineShiftRightBytes<2>(d, fc, fb)));
    c = hn::And(fc, hn::And(hn::ShiftRightBytes<1>(d, fc), hn::ShiftRightBytes<2>(d, fc)));
}

// The bounds of a block's three registers, loaded once a call: the pixels may alias
// them as far as the compiler knows.
#define ZEL7_LOAD_BOUNDS(d, bounds)                           \
    const auto lowA = hn::LoadDup128(d, (bounds).low),        \
               lowB = hn::LoadDup128(d, (bounds).low + 16),   \
               lowC = hn::LoadDup128(d, (bounds).low + 32);   \
    const auto highA = hn::LoadDup128(d, (bounds).high),      \
               highB = hn::LoadDup128(d, (bounds).high + 16), \
               highC = hn::LoadDup128(d, (bounds).high + 32)

// Each of the functions below does as many whole vectors of pixels as count holds
// and returns how many pixels that was.

template <Sides sides, class D>
HWY_INLINE std::size_t ClassifyVectors(D d, const uint8_t* pixels, std::size_t count,
                                       const Bounds& bounds, uint8_t mark, uint8_t* classes) {
    // Each pixel's verdict, from the byte it starts at, in pixel order.
    HWY_ALIGN static constexpr uint8_t kFromA[16] = {0, 3, 6, 9, 12, 15, Z, Z,
                                                     Z, Z, Z, Z, Z,  Z,  Z, Z};
    HWY_ALIGN static constexpr uint8_t kFromB[16] = {Z, Z,  Z,  Z, Z, Z, 2, 5,
                                                     8, 11, 14, Z, Z, Z, Z, Z};
    HWY_ALIGN static constexpr uint8_t kFromC[16] = {Z, Z, Z, Z, Z, Z, Z,  Z,
                                                     Z, Z, Z, 1, 4, 7, 10, 13};
    const auto fromA = hn::LoadDup128(d, kFromA), fromB = hn::LoadDup128(d, kFromB),
               fromC = hn::LoadDup128(d, kFromC);
    const auto marks = hn::Set(d, mark);
    ZEL7_LOAD_BOUNDS(d, bounds);
    const std::size_t step = hn::Lanes(d);
    std::size_t done = 0;
    for (; done + step <= count; done += step) {
        hn::VFromD<D> a, b, c;
        LoadBlocks(d, pixels + 3 * done, a, b, c);
        PixelVerdicts<sides>(d, lowA, lowB, lowC, highA, highB, highC, a, b, c);
        const auto all =
            hn::Or(hn::Or(hn::TableLookupBytesOr0(a, fromA), hn::TableLookupBytesOr0(b, fromB)),
                   hn::TableLookupBytesOr0(c, fromC));
        hn::StoreU(hn::And(all, marks), d, classes + done);
    }
    return done;
}

template <Sides sides, class D>
HWY_INLINE std::size_t MaskVectors(D d, uint8_t* pixels, std::size_t count, const Bounds& bounds) {
    // Spread each pixel's verdict over its three bytes, once b and c are re-based so
    // that pixels start at bytes 0, 3, .. 15 of each.
    HWY_ALIGN static constexpr uint8_t kSpreadA[16] = {0, 0, 0, 3, 3,  3,  6,  6,
                                                       6, 9, 9, 9, 12, 12, 12, 15};
    HWY_ALIGN static constexpr uint8_t kSpreadB[16] = {0, 0, 3, 3,  3,  6,  6,  6,
                                                       9, 9, 9, 12, 12, 12, 15, 15};
    HWY_ALIGN static constexpr uint8_t kSpreadC[16] = {0, 3, 3,  3,  6,  6,  6,  9,
                                                       9, 9, 12, 12, 12, 15, 15, 15};
    const auto spreadA = hn::LoadDup128(d, kSpreadA), spreadB = hn::LoadDup128(d, kSpreadB),
               spreadC = hn::LoadDup128(d, kSpreadC);
    ZEL7_LOAD_BOUNDS(d, bounds);
    const std::size_t step = hn::Lanes(d);
    std::size_t done = 0;
    for (; done + step <= count; done += step) {
        uint8_t* at = pixels + 3 * done;
        hn::VFromD<D> a, b, c;
        LoadBlocks(d, at, a, b, c);
        PixelVerdicts<sides>(d, lowA, lowB, lowC, highA, highB, highC, a, b, c);
        const auto rebasedB = hn::CombineShiftRightBytes<15>(d, b, a);
        const auto rebasedC = hn::CombineShiftRightBytes<14>(d, c, b);
        StoreBlocks(d, hn::TableLookupBytes(a, spreadA), hn::TableLookupBytes(rebasedB, spreadB),
                    hn::TableLookupBytes(rebasedC, spreadC), at);
    }
    return done;
}

template <class D>
HWY_INLINE std::size_t ExpandGreyVectors(D d, const uint8_t* grey, std::size_t count, uint8_t flip,
                                         uint8_t* out) {
    HWY_ALIGN static constexpr uint8_t kSpreadA[16] = {0, 0, 0, 1, 1, 1, 2, 2,
                                                       2, 3, 3, 3, 4, 4, 4, 5};
    HWY_ALIGN static constexpr uint8_t kSpreadB[16] = {5, 5, 6, 6, 6, 7, 7,  7,
                                                       8, 8, 8, 9, 9, 9, 10, 10};
    HWY_ALIGN static constexpr uint8_t kSpreadC[16] = {10, 11, 11, 11, 12, 12, 12, 13,
                                                       13, 13, 14, 14, 14, 15, 15, 15};
    const auto spreadA = hn::LoadDup128(d, kSpreadA), spreadB = hn::LoadDup128(d, kSpreadB),
               spreadC = hn::LoadDup128(d, kSpreadC);
    const auto flips = hn::Set(d, flip);
    const std::size_t step = hn::Lanes(d);
    std::size_t done = 0;
    for (; done + step <= count; done += step) {
        const auto bytes = hn::Xor(hn::LoadU(d, grey + done), flips);
        StoreBlocks(d, hn::TableLookupBytes(bytes, spreadA), hn::TableLookupBytes(bytes, spreadB),
                    hn::TableLookupBytes(bytes, spreadC), out + 3 * done);
    }
    return done;
}

template <class D>
HWY_INLINE std::size_t PackBitsVectors(D d, const uint8_t* pixels, std::size_t count,
                                       uint8_t* out) {
    // Each pixel's first byte, every eight last pixel first: the mask's bits, lowest
    // lane in the lowest bit, then come out in PNG's order.
    HWY_ALIGN static constexpr uint8_t kFromA[16] = {Z, Z, 15, 12, 9, 6, 3, 0,
                                                     Z, Z, Z,  Z,  Z, Z, Z, Z};
    HWY_ALIGN static constexpr uint8_t kFromB[16] = {5, 2, Z, Z, Z, Z,  Z,  Z,
                                                     Z, Z, Z, Z, Z, 14, 11, 8};
    HWY_ALIGN static constexpr uint8_t kFromC[16] = {Z,  Z,  Z, Z, Z, Z, Z, Z,
                                                     13, 10, 7, 4, 1, Z, Z, Z};
    const auto fromA = hn::LoadDup128(d, kFromA), fromB = hn::LoadDup128(d, kFromB),
               fromC = hn::LoadDup128(d, kFromC);
    const hn::RebindToSigned<D> signedBytes;
    const std::size_t step = hn::Lanes(d);
    std::size_t done = 0;
    for (; done + step <= count; done += step, out += step / 8) {
        hn::VFromD<D> a, b, c;
        LoadBlocks(d, pixels + 3 * done, a, b, c);
        const auto firsts =
            hn::Or(hn::Or(hn::TableLookupBytesOr0(a, fromA), hn::TableLookupBytesOr0(b, fromB)),
                   hn::TableLookupBytesOr0(c, fromC));
        const auto white = hn::Lt(hn::BitCast(signedBytes, firsts), hn::Zero(signedBytes));
        hn::StoreMaskBits(signedBytes, white, out);
    }
    return done;
}

// Highway's own interleaved loads and stores: the three channels and four apart.
template <class D>
HWY_INLINE std::size_t CutOutVectors(D d, const uint8_t* bgr, const uint8_t* coverage,
                                     std::size_t count, uint8_t flip, uint8_t* rgba) {
    const auto flips = hn::Set(d, flip);
    const std::size_t step = hn::Lanes(d);
    std::size_t done = 0;
    for (; done + step <= count; done += step) {
        hn::VFromD<D> blue, green, red;
        hn::LoadInterleaved3(d, bgr + 3 * done, blue, green, red);
        const auto covered = hn::LoadU(d, coverage + done);
        const auto kept = hn::Or(covered, flips);
        hn::StoreInterleaved4(hn::And(red, kept), hn::And(green, kept), hn::And(blue, kept),
                              hn::Xor(covered, flips), d, rgba + 4 * done);
    }
    return done;
}

template <bool darker, class D>
HWY_INLINE std::size_t ApartVectors(D d, const uint8_t* pixels, std::size_t count,
                                    const std::array<uint8_t, 3>& colour, uint8_t* apart) {
    const auto blue = hn::Set(d, colour[0]), green = hn::Set(d, colour[1]),
               red = hn::Set(d, colour[2]);
    // (saturated: a channel on the other side of the colour's is 0 off it)
    const auto off = [](auto from, auto to) {
        return darker ? hn::SaturatedSub(to, from) : hn::SaturatedSub(from, to);
    };
    const std::size_t step = hn::Lanes(d);
    std::size_t done = 0;
    for (; done + step <= count; done += step) {
        hn::VFromD<D> b, g, r;
        hn::LoadInterleaved3(d, pixels + 3 * done, b, g, r);
        hn::StoreU(hn::Max(off(b, blue), hn::Max(off(g, green), off(r, red))), d, apart + done);
    }
    return done;
}

// A lane a pixel, its channels as 32-bit integers and floats: portable::ShadeOf's
// operations, each on every lane, in its order, so that each float rounds as there.
template <bool white, class DF>
HWY_INLINE std::size_t MarkShadedVectors(DF df, const uint8_t* pixels, std::size_t count,
                                         const std::array<uint8_t, 3>& backdrop, int tolerance,
                                         const ShadeRule& rule, uint8_t mark, uint8_t* classes) {
    const hn::RebindToSigned<DF> di;
    const hn::Rebind<uint8_t, DF> du8;
    const int sum = backdrop[0] + backdrop[1] + backdrop[2];
    const auto denominator = hn::Set(df, float(std::max(sum, 1)));
    const auto backdropSum = hn::Set(df, float(sum));
    const auto first = hn::Set(df, float(tolerance) + rule.slack);
    const auto tintPerDepth = hn::Set(df, rule.tintPerDepth), one = hn::Set(df, 1.0f),
               three = hn::Set(df, 3.0f), darkest = hn::Set(df, rule.darkest);
    // (integers have no Le: within a bound is below it plus one)
    const auto pastTint = hn::Set(di, rule.mostTint + 1), least = hn::Set(di, tolerance);
    const auto unmarked = hn::Zero(du8), marked = hn::Set(du8, mark);
    const std::size_t step = hn::Lanes(df);
    std::size_t done = 0;
    for (; done + step <= count; done += step) {
        hn::VFromD<decltype(du8)> b, g, r;
        hn::LoadInterleaved3(du8, pixels + 3 * done, b, g, r);
        const std::array channels = {hn::PromoteTo(di, b), hn::PromoteTo(di, g),
                                     hn::PromoteTo(di, r)};
        auto shaded = hn::FirstN(di, 0);
        if constexpr (white) {
            const auto scale =
                hn::Div(hn::ConvertTo(df, hn::Add(hn::Add(channels[0], channels[1]), channels[2])),
                        denominator);
            const auto allowed = hn::Add(
                first,
                hn::Div(hn::Mul(hn::Mul(tintPerDepth, hn::Sub(one, scale)), backdropSum), three));
            auto hued = hn::And(hn::Ge(scale, darkest), hn::Lt(scale, one));
            auto tint = hn::RebindMask(di, hued);
            for (std::size_t c = 0; c < 3; ++c) {
                const auto level = hn::Set(di, backdrop[c]);
                tint = hn::And(tint, hn::Lt(hn::Abs(hn::Sub(channels[c], level)), pastTint));
                const auto off = hn::Sub(hn::ConvertTo(df, channels[c]),
                                         hn::Mul(scale, hn::ConvertTo(df, level)));
                hued = hn::And(hued, hn::Le(hn::Abs(off), allowed));
            }
            shaded = hn::Or(hn::RebindMask(di, hued), tint);
        } else {
            auto tint = hn::FirstN(di, step), lighter = hn::FirstN(di, 0);
            for (std::size_t c = 0; c < 3; ++c) {
                const auto lift = hn::Sub(channels[c], hn::Set(di, backdrop[c]));
                tint = hn::And(tint, hn::Lt(lift, pastTint));
                lighter = hn::Or(lighter, hn::Gt(lift, least));
            }
            shaded = hn::And(tint, lighter);
        }
        // (a lane's 1 where shaded, demoted to a byte)
        const auto flags = hn::DemoteTo(du8, hn::IfThenElseZero(shaded, hn::Set(di, 1)));
        const auto classed = hn::LoadU(du8, classes + done);
        const auto mine = hn::And(hn::Eq(classed, unmarked), hn::Ne(flags, unmarked));
        hn::StoreU(hn::IfThenElse(mine, marked, classed), du8, classes + done);
    }
    return done;
}

#undef ZEL7_LOAD_BOUNDS

// Calls run with each vector width worth running, widest first: two blocks where
// vectors hold two, then one. Wider vectors would need their blocks regrouped across
// three registers for little gain: two blocks a loop already keep up with memory.
template <class Run>
HWY_INLINE void ForEachWidth(const Run& run) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    run(hn::Full256<uint8_t>());
#endif
    run(Block());
}

// Calls run with the bounds' sides as a constant.
template <class Run>
HWY_INLINE void WithSides(Sides sides, const Run& run) {
    switch (sides) {
        case Sides::Low:
            return run(std::integral_constant<Sides, Sides::Low>());
        case Sides::High:
            return run(std::integral_constant<Sides, Sides::High>());
        case Sides::Both:
            return run(std::integral_constant<Sides, Sides::Both>());
    }
}

void ClassifyOn(const uint8_t* pixels, std::size_t count, const ColourRange& range, uint8_t mark,
                uint8_t* classes) {
    const Bounds bounds(range);
    std::size_t done = 0;
    WithSides(bounds.sides, [&](auto sides) {
        ForEachWidth([&](auto d) {
            done += ClassifyVectors<decltype(sides)::value>(d, pixels + 3 * done, count - done,
                                                            bounds, mark, classes + done);
        });
    });
    portable::Classify(pixels + 3 * done, count - done, range, mark, classes + done);
}

void MaskOn(uint8_t* pixels, std::size_t count, const ColourRange& range) {
    const Bounds bounds(range);
    std::size_t done = 0;
    WithSides(bounds.sides, [&](auto sides) {
        ForEachWidth([&](auto d) {
            done += MaskVectors<decltype(sides)::value>(d, pixels + 3 * done, count - done, bounds);
        });
    });
    portable::Mask(pixels + 3 * done, count - done, range);
}

void ExpandGreyOn(const uint8_t* grey, std::size_t count, uint8_t flip, uint8_t* out) {
    std::size_t done = 0;
    ForEachWidth([&](auto d) {
        done += ExpandGreyVectors(d, grey + done, count - done, flip, out + 3 * done);
    });
    portable::ExpandGrey(grey + done, count - done, flip, out + 3 * done);
}

void PackBitsOn(const uint8_t* pixels, std::size_t count, uint8_t* out) {
    // Whole vectors are multiples of eight pixels: the bits stay byte-aligned.
    std::size_t done = 0;
    ForEachWidth([&](auto d) {
        done += PackBitsVectors(d, pixels + 3 * done, count - done, out + done / 8);
    });
    portable::PackBits(pixels + 3 * done, count - done, out + done / 8);
}

void CutOutOn(const uint8_t* bgr, const uint8_t* coverage, std::size_t count, uint8_t flip,
              uint8_t* rgba) {
    std::size_t done = 0;
    ForEachWidth([&](auto d) {
        done +=
            CutOutVectors(d, bgr + 3 * done, coverage + done, count - done, flip, rgba + 4 * done);
    });
    portable::CutOut(bgr + 3 * done, coverage + done, count - done, flip, rgba + 4 * done);
}

void ApartOn(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& colour,
             bool darker, uint8_t* apart) {
    std::size_t done = 0;
    const auto run = [&](auto below) {
        ForEachWidth([&](auto d) {
            done += ApartVectors<decltype(below)::value>(d, pixels + 3 * done, count - done, colour,
                                                         apart + done);
        });
    };
    darker ? run(std::true_type()) : run(std::false_type());
    portable::Apart(pixels + 3 * done, count - done, colour, darker, apart + done);
}

void MarkShadedOn(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& backdrop,
                  int tolerance, bool white, const ShadeRule& rule, uint8_t mark,
                  uint8_t* classes) {
    const hn::ScalableTag<float> df;
    const std::size_t done =
        white
            ? MarkShadedVectors<true>(df, pixels, count, backdrop, tolerance, rule, mark, classes)
            : MarkShadedVectors<false>(df, pixels, count, backdrop, tolerance, rule, mark, classes);
    portable::MarkShaded(pixels + 3 * done, count - done, backdrop, tolerance, white, rule, mark,
                         classes + done);
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace kernels
}  // namespace zel7
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zel7 {
namespace kernels {

namespace {

// Each kernel's build for one target.
struct Build {
    int64_t target;
    decltype(&HWY_STATIC_DISPATCH(ClassifyOn)) classify;
    decltype(&HWY_STATIC_DISPATCH(MaskOn)) mask;
    decltype(&HWY_STATIC_DISPATCH(ExpandGreyOn)) expandGrey;
    decltype(&HWY_STATIC_DISPATCH(PackBitsOn)) packBits;
    decltype(&HWY_STATIC_DISPATCH(CutOutOn)) cutOut;
    decltype(&HWY_STATIC_DISPATCH(ApartOn)) apart;
    decltype(&HWY_STATIC_DISPATCH(MarkShadedOn)) markShaded;
};
#define ZEL7_BUILD(TARGET, NAMESPACE)                                                 \
    Build {                                                                           \
        TARGET, &NAMESPACE::ClassifyOn, &NAMESPACE::MaskOn, &NAMESPACE::ExpandGreyOn, \
            &NAMESPACE::PackBitsOn, &NAMESPACE::CutOutOn, &NAMESPACE::ApartOn,        \
            &NAMESPACE::MarkShadedOn                                                  \
    }

// The builds, best first; the last, the compiler's baseline, runs anywhere.
constexpr Build kBuilds[] = {
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_AVX3)
    ZEL7_BUILD(HWY_AVX3, N_AVX3),
#endif
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_AVX2)
    ZEL7_BUILD(HWY_AVX2, N_AVX2),
#endif
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_SSE4)
    ZEL7_BUILD(HWY_SSE4, N_SSE4),
#endif
#if HWY_ARCH_X86 && (HWY_TARGETS & HWY_SSSE3)
    ZEL7_BUILD(HWY_SSSE3, N_SSSE3),
#endif
    Build{HWY_STATIC_TARGET, &HWY_STATIC_DISPATCH(ClassifyOn), &HWY_STATIC_DISPATCH(MaskOn),
          &HWY_STATIC_DISPATCH(ExpandGreyOn), &HWY_STATIC_DISPATCH(PackBitsOn),
          &HWY_STATIC_DISPATCH(CutOutOn), &HWY_STATIC_DISPATCH(ApartOn),
          &HWY_STATIC_DISPATCH(MarkShadedOn)},
};
#undef ZEL7_BUILD

// Whether the processor and the system run a target's build: every instruction set
// Highway compiles it for (its target string), and the system saving the wider
// registers.
bool Runs(int64_t target) {
    if (target == HWY_STATIC_TARGET) {
        return true;
    }
#if HWY_ARCH_X86
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return false;
    }
    const bool ssse3 = (d & bit_SSE2) && (c & bit_SSE3) && (c & bit_SSSE3);
    const bool sse4 =
        ssse3 && (c & bit_SSE4_1) && (c & bit_SSE4_2) && (c & bit_PCLMUL) && (c & bit_AES);
    const bool saves = (c & bit_OSXSAVE) != 0;
    const bool avx = (c & bit_AVX) && (c & bit_FMA) && (c & bit_F16C);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        b = 0;
    }
    uint32_t registers = 0;  // XCR0: which register states the system saves
    if (saves) {
        uint32_t high;
        asm("xgetbv" : "=a"(registers), "=d"(high) : "c"(0));
    }
    const bool avx2 = sse4 && avx && (b & bit_AVX2) && (b & bit_BMI) && (b & bit_BMI2) &&
                      (registers & 0x6) == 0x6;
    const bool avx3 = avx2 && (b & bit_AVX512F) && (b & bit_AVX512VL) && (b & bit_AVX512DQ) &&
                      (b & bit_AVX512BW) && (registers & 0xe0) == 0xe0;
    switch (target) {
        case HWY_AVX3:
            return avx3;
        case HWY_AVX2:
            return avx2;
        case HWY_SSE4:
            return sse4;
        case HWY_SSSE3:
            return ssse3;
    }
#endif
    return false;
}

const Build& Best() {
    static const Build& best = *std::find_if(std::begin(kBuilds), std::end(kBuilds),
                                             [](const Build& build) { return Runs(build.target); });
    return best;
}

std::atomic<const Build*> chosen{nullptr};  // a test's choice; null for the best

// Looked up on every call rather than kept by callers, so that tests reach each build.
const Build& Current() {
    const Build* build = chosen.load(std::memory_order_relaxed);
    return build != nullptr ? *build : Best();
}

}  // namespace

std::vector<int64_t> RunnableTargets() {
    std::vector<int64_t> targets;
    for (const Build& build : kBuilds) {
        // The baseline is listed again last when the compiler's is one of the vector
        // targets (built for x86-64-v3, say).
        if (Runs(build.target) &&
            std::find(targets.begin(), targets.end(), build.target) == targets.end()) {
            targets.push_back(build.target);
        }
    }
    return targets;
}

void UseTarget(int64_t target) {
    const auto build = std::find_if(std::begin(kBuilds), std::end(kBuilds),
                                    [&](const Build& each) { return each.target == target; });
    chosen.store(build != std::end(kBuilds) && Runs(target) ? build : nullptr,
                 std::memory_order_relaxed);
}

void Classify(const uint8_t* pixels, std::size_t count, const ColourRange& range, uint8_t mark,
              uint8_t* classes) {
    Current().classify(pixels, count, range, mark, classes);
}
void Mask(uint8_t* pixels, std::size_t count, const ColourRange& range) {
    Current().mask(pixels, count, range);
}
void ExpandGrey(const uint8_t* grey, std::size_t count, uint8_t flip, uint8_t* out) {
    Current().expandGrey(grey, count, flip, out);
}
void PackBits(const uint8_t* pixels, std::size_t count, uint8_t* out) {
    Current().packBits(pixels, count, out);
}
void CutOut(const uint8_t* bgr, const uint8_t* coverage, std::size_t count, uint8_t flip,
            uint8_t* rgba) {
    Current().cutOut(bgr, coverage, count, flip, rgba);
}

void Apart(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& colour,
           bool darker, uint8_t* apart) {
    Current().apart(pixels, count, colour, darker, apart);
}

void MarkShaded(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& backdrop,
                int tolerance, bool white, const ShadeRule& rule, uint8_t mark, uint8_t* classes) {
    Current().markShaded(pixels, count, backdrop, tolerance, white, rule, mark, classes);
}

namespace portable {
namespace {

// Whether a pixel lies within a range. A channel less the lower bound, wrapped to
// unsigned, is at most the bounds' span just when it lies between them: a subtraction
// and a comparison a channel, where absolute differences left the threshold mask's
// loop slower than it was with its thresholds built in.
class Within {
public:
    explicit Within(const ColourRange& range) {
        for (std::size_t c = 0; c < 3; ++c) {
            low_[c] = range.low[c];
            span_[c] = unsigned(range.high[c] - range.low[c]);
        }
    }
    bool operator()(const uint8_t* pixel) const {
        return unsigned(pixel[0] - low_[0]) <= span_[0] &&
               unsigned(pixel[1] - low_[1]) <= span_[1] && unsigned(pixel[2] - low_[2]) <= span_[2];
    }

private:
    int low_[3];
    unsigned span_[3];
};

}  // namespace

void Classify(const uint8_t* pixels, std::size_t count, const ColourRange& range, uint8_t mark,
              uint8_t* classes) {
    const Within within(range);
    for (std::size_t i = 0; i < count; ++i, pixels += 3) {
        classes[i] = within(pixels) ? mark : 0;
    }
}

void Mask(uint8_t* pixels, std::size_t count, const ColourRange& range) {
    const Within within(range);
    for (std::size_t i = 0; i < count; ++i, pixels += 3) {
        const uint8_t value = within(pixels) ? 255 : 0;
        pixels[0] = pixels[1] = pixels[2] = value;
    }
}

void ExpandGrey(const uint8_t* grey, std::size_t count, uint8_t flip, uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i, out += 3) {
        out[0] = out[1] = out[2] = uint8_t(grey[i] ^ flip);
    }
}

void PackBits(const uint8_t* pixels, std::size_t count, uint8_t* out) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8, pixels += 24) {
        *out++ = uint8_t((pixels[0] & 0x80) | (pixels[3] & 0x80) >> 1 | (pixels[6] & 0x80) >> 2 |
                         (pixels[9] & 0x80) >> 3 | (pixels[12] & 0x80) >> 4 |
                         (pixels[15] & 0x80) >> 5 | (pixels[18] & 0x80) >> 6 | pixels[21] >> 7);
    }
    if (i < count) {
        uint8_t last = 0;
        for (int bit = 7; i < count; ++i, --bit, pixels += 3) {
            last = uint8_t(last | (pixels[0] >> 7) << bit);
        }
        *out = last;
    }
}

void CutOut(const uint8_t* bgr, const uint8_t* coverage, std::size_t count, uint8_t flip,
            uint8_t* rgba) {
    for (std::size_t i = 0; i < count; ++i, bgr += 3, rgba += 4) {
        const auto kept = uint8_t(coverage[i] | flip);
        rgba[0] = bgr[2] & kept;
        rgba[1] = bgr[1] & kept;
        rgba[2] = bgr[0] & kept;
        rgba[3] = uint8_t(coverage[i] ^ flip);
    }
}

void Apart(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& colour,
           bool darker, uint8_t* apart) {
    for (std::size_t i = 0; i < count; ++i, pixels += 3) {
        int most = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            most = std::max(most, darker ? colour[c] - pixels[c] : pixels[c] - colour[c]);
        }
        apart[i] = uint8_t(most);
    }
}

Shade ShadeOf(const uint8_t* pixel, const std::array<uint8_t, 3>& backdrop, int tolerance,
              bool white, const ShadeRule& rule) {
    // (every test made, & for &&, as the vectors make them)
    if (!white) {
        // Black shows no shadow, but the object's light lifts it: lighter than the
        // tolerance allows, by no more than a tint.
        bool lighter = false, tint = true;
        for (std::size_t c = 0; c < 3; ++c) {
            const int lift = pixel[c] - backdrop[c];
            tint &= lift <= rule.mostTint;
            lighter |= lift > tolerance;
        }
        return lighter & tint ? Shade::kTinted : Shade::kNone;
    }
    // On white: the backdrop's colour scaled down by what the pixel's channels together
    // scale it by, each channel within the tolerance, the slack and a share of the depth.
    const int sum = backdrop[0] + backdrop[1] + backdrop[2];
    const float scale = float(pixel[0] + pixel[1] + pixel[2]) / float(std::max(sum, 1));
    const float allowed =
        float(tolerance) + rule.slack + rule.tintPerDepth * (1 - scale) * float(sum) / 3;
    const bool shade = (scale >= rule.darkest) & (scale < 1);
    bool hued = shade, tint = shade;
    for (std::size_t c = 0; c < 3; ++c) {
        tint &= std::abs(pixel[c] - backdrop[c]) <= rule.mostTint;
        hued &= std::abs(float(pixel[c]) - scale * float(backdrop[c])) <= allowed;
    }
    return hued ? Shade::kHued : tint ? Shade::kTinted : Shade::kNone;
}

void MarkShaded(const uint8_t* pixels, std::size_t count, const std::array<uint8_t, 3>& backdrop,
                int tolerance, bool white, const ShadeRule& rule, uint8_t mark, uint8_t* classes) {
    for (std::size_t i = 0; i < count; ++i, pixels += 3) {
        const bool shaded = ShadeOf(pixels, backdrop, tolerance, white, rule) != Shade::kNone;
        classes[i] = classes[i] == 0 && shaded ? mark : classes[i];
    }
}

}  // namespace portable
}  // namespace kernels
}  // namespace zel7
#endif  // HWY_ONCE
