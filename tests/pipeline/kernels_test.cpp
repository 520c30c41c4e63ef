// Every vector kernel against its portable loop, byte for byte, on every instruction
// set this build has and this processor runs: each length from 0 to 99 pixels and
// random ones to 400, at random offsets into 64-byte-aligned buffers, on random pixels
// half of whose bytes lie at or beside an edge of the range or of a fixed threshold.
// Whole buffers are compared, so a vector that writes past its run fails too.
#include "mask/kernels.h"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

#include "mask/threshold.h"

namespace zel7 {
namespace {

enum class Kernel { Classify, Mask, ExpandGrey, PackBits, CutOut, Apart };

// Names the cases: EveryTarget/KernelMatchesPortableLoop.ByteForByte/AVX2_mask and
// so on, each of which runs alone.
void PrintTo(Kernel kernel, std::ostream* out) {
    *out << std::array{
        "classify", "mask", "expand_grey", "pack_bits", "cut_out", "apart"}[int(kernel)];
}

constexpr std::size_t kMostPixels = 400, kLargestOffset = 63;

struct alignas(64) Buffer {
    std::array<uint8_t, 4 * kMostPixels + kLargestOffset + 64> bytes;
};

// The fixed thresholds in a quarter of the trials each, else any bounds: mostly a
// colour and a small tolerance, clipped at the ends of the scale, or reaching one end
// as on a backdrop.
ColourRange RandomRange(std::mt19937& random, int trial) {
    if (trial % 4 < 2) {
        return ThresholdRange(trial % 4 == 0 ? Background::NearWhite : Background::NearBlack);
    }
    constexpr uint8_t kEnds[] = {0, 1, 254, 255};
    std::array<uint8_t, 3> colour;
    for (uint8_t& channel : colour) {
        channel = random() % 4 ? uint8_t(random()) : kEnds[random() % 4];
    }
    ColourRange range = ColourRange::Around(colour, int(random() % 64));
    const auto reach = random() % 8;  // to one end of the scale, in one of four
    range.high = reach == 0 ? decltype(range.high){255, 255, 255} : range.high;
    range.low = reach == 1 ? decltype(range.low){0, 0, 0} : range.low;
    return range;
}

// Fills a buffer whose pixels start at byte first: a quarter of the bytes beside an edge of
// the range, a quarter beside a fixed threshold or at an end of the scale.
void FillPixels(std::mt19937& random, const ColourRange& range, Buffer& buffer, std::size_t first) {
    constexpr uint8_t kThresholdEdges[] = {19, 20, 21, 239, 240, 241, 0, 255};
    for (std::size_t i = 0; i < buffer.bytes.size(); ++i) {
        const std::size_t channel = (i + 3 * kLargestOffset - first) % 3;
        const int edge = random() % 2 ? range.high[channel] : range.low[channel];
        const auto choice = random() % 4;
        buffer.bytes[i] = choice == 0   ? uint8_t(edge + int(random() % 3) - 1)
                          : choice == 1 ? kThresholdEdges[random() % 8]
                                        : uint8_t(random());
    }
}

// A rule as the shadows' (any serves: the kernel must judge as its loop does).
constexpr kernels::ShadeRule kShadeRule{0.3f, 2, 0.2f, 51};

class KernelMatchesPortableLoop : public ::testing::TestWithParam<std::tuple<int64_t, Kernel>> {
protected:
    void SetUp() override { kernels::UseTarget(std::get<0>(GetParam())); }
    void TearDown() override { kernels::UseTarget(0); }
};

TEST_P(KernelMatchesPortableLoop, ByteForByte) {
    const Kernel kernel = std::get<1>(GetParam());
    std::mt19937 random(17 + uint32_t(kernel));
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t count = trial < 100 ? std::size_t(trial) : random() % (kMostPixels + 1);
        const std::size_t from = random() % (kLargestOffset + 1);
        const std::size_t to = random() % (kLargestOffset + 1);
        const ColourRange range = RandomRange(random, trial);
        const auto mark = uint8_t(random()), any = uint8_t(random());
        const uint8_t flip = std::array<uint8_t, 3>{0, 255, any}[random() % 3];
        Buffer input, actual, expected;
        FillPixels(random, range, input, from);
        FillPixels(random, range, actual, to);
        expected = actual;
        const uint8_t* pixels = input.bytes.data() + from;
        uint8_t *out = actual.bytes.data() + to, *portable = expected.bytes.data() + to;
        switch (kernel) {
            case Kernel::Classify:
                kernels::Classify(pixels, count, range, mark, out);
                kernels::portable::Classify(pixels, count, range, mark, portable);
                break;
            case Kernel::Mask:  // in place
                actual = expected = input;
                kernels::Mask(actual.bytes.data() + from, count, range);
                kernels::portable::Mask(expected.bytes.data() + from, count, range);
                break;
            case Kernel::ExpandGrey:
                kernels::ExpandGrey(pixels, count, flip, out);
                kernels::portable::ExpandGrey(pixels, count, flip, portable);
                break;
            case Kernel::PackBits:
                kernels::PackBits(pixels, count, out);
                kernels::portable::PackBits(pixels, count, portable);
                break;
            case Kernel::CutOut:  // the coverage after the pixels
                kernels::CutOut(pixels, pixels + 3 * count, count, flip, out);
                kernels::portable::CutOut(pixels, pixels + 3 * count, count, flip, portable);
                break;
            case Kernel::Apart:  // below and above the range's low end
                kernels::Apart(pixels, count, range.low, trial % 2 == 0, out);
                kernels::portable::Apart(pixels, count, range.low, trial % 2 == 0, portable);
                break;
        }
        const auto [wrong, right] =
            std::mismatch(actual.bytes.begin(), actual.bytes.end(), expected.bytes.begin());
        ASSERT_TRUE(wrong == actual.bytes.end())  // the trial, seeded, runs again alike
            << "trial " << trial << ": byte " << wrong - actual.bytes.begin() << " is "
            << int(*wrong) << ", not " << int(*right);
    }
}

// Every target but HWY_SCALAR, whose kernels are the portable loops themselves.
std::vector<int64_t> VectorTargets() {
    std::vector<int64_t> targets = kernels::RunnableTargets();
    std::erase(targets, int64_t{HWY_SCALAR});
    return targets;
}

INSTANTIATE_TEST_SUITE_P(EveryTarget, KernelMatchesPortableLoop,
                         ::testing::Combine(::testing::ValuesIn(VectorTargets()),
                                            ::testing::Values(Kernel::Classify, Kernel::Mask,
                                                              Kernel::ExpandGrey, Kernel::PackBits,
                                                              Kernel::CutOut, Kernel::Apart)),
                         hwy::TestParamTargetNameAndT<Kernel>);
// A build for a processor with no vector target has nothing here to compare.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KernelMatchesPortableLoop);

// The shade kernel against its portable loop on every colour near the line from black to
// each backdrop, where a shadow's pixels lie: there every test's edge comes up, and with
// it any float the vectors round otherwise (a multiply and an add fused, say).
class ShadesMatchPortableLoop : public ::testing::TestWithParam<int64_t> {
protected:
    void SetUp() override { kernels::UseTarget(GetParam()); }
    void TearDown() override { kernels::UseTarget(0); }
};

TEST_P(ShadesMatchPortableLoop, OnEveryColourNearTheBackdropsHue) {
    constexpr int kSteps = 280, kOff = 12;
    std::vector<uint8_t> pixels;
    for (const std::array<uint8_t, 3> backdrop :
         {std::array<uint8_t, 3>{255, 255, 255}, {250, 244, 238}, {231, 233, 228}, {14, 12, 16}}) {
        pixels.clear();
        for (int step = 0; step < kSteps; ++step) {
            for (int green = -kOff; green <= kOff; ++green) {
                for (int red = -kOff; red <= kOff; ++red) {
                    const std::array off = {0, green, red};
                    for (std::size_t c = 0; c < 3; ++c) {
                        const int level = backdrop[c] * step / (kSteps - 30) + off[c];
                        pixels.push_back(uint8_t(std::clamp(level, 0, 255)));
                    }
                }
            }
        }
        for (const int tolerance : {0, 3, 9}) {
            // (runs of three lengths, so that the portable loop takes tails of several
            // lengths past the vectors)
            const std::size_t count = pixels.size() / 3 - std::size_t(tolerance);
            for (const bool white : {true, false}) {
                std::vector<uint8_t> out(count), portable(count);
                for (std::size_t i = 0; i < count; i += 7) {
                    out[i] = portable[i] = 1;  // marked already: left alone
                }
                kernels::MarkShaded(pixels.data(), count, backdrop, tolerance, white, kShadeRule, 2,
                                    out.data());
                kernels::portable::MarkShaded(pixels.data(), count, backdrop, tolerance, white,
                                              kShadeRule, 2, portable.data());
                ASSERT_EQ(out, portable) << "backdrop " << int(backdrop[0]) << " tolerance "
                                         << tolerance << (white ? " on white" : " on black");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTarget, ShadesMatchPortableLoop, ::testing::ValuesIn(VectorTargets()),
                         hwy::TestParamTargetName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ShadesMatchPortableLoop);

// The kernels read the processor themselves: they must find what Highway's library
// finds, or a vector build could run where its instructions fault.
TEST(Kernels, RunWhatHighwayFinds) {
    EXPECT_EQ(kernels::RunnableTargets(), hwy::SupportedAndGeneratedTargets());
}

}  // namespace
}  // namespace zel7
