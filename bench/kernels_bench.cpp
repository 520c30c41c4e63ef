// Throughput of the pixel kernels on every instruction set this build has and this
// processor runs, beside their portable loops, with memcpy of the same bytes as the
// yardstick. Bytes per second count the 24-bit pixels' bytes, items the pixels.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/row_stream.h"
#include "mask/kernels.h"
#include "mask/threshold.h"
#include "synthetic_photo.h"
#include "test_pictures.h"

namespace {

// Sizes: one slice of zel7-mask (in cache), a whole 8000 x 6000 picture, and one row
// of a 6000-pixel-wide photo, as the refine passes and the PNG writer take them.
constexpr std::size_t kSlicePixels = zel7::kSliceBytes / 3;
constexpr std::size_t kPicturePixels = std::size_t{8000} * 6000;
constexpr std::size_t kRowPixels = 6000;

// An off-white backdrop as --auto-background measures one: no channel alike.
constexpr zel7::ColourRange kBackdrop{{247, 250, 244}, 14};

// The kernels as dispatched (to the target chosen, or the processor's best) or as
// their portable loops.
constexpr int64_t kPortable = 0;

struct Kernels {
    decltype(&zel7::kernels::Mask) mask;
    decltype(&zel7::kernels::Classify) classify;
    decltype(&zel7::kernels::ExpandGrey) expandGrey;
    decltype(&zel7::kernels::PackBits) packBits;
    decltype(&zel7::kernels::CutOut) cutOut;
};

Kernels Choose(int64_t target) {
    namespace k = zel7::kernels;
    if (target == kPortable) {
        return {k::portable::Mask, k::portable::Classify, k::portable::ExpandGrey,
                k::portable::PackBits, k::portable::CutOut};
    }
    zel7::kernels::UseTarget(target);
    return {k::Mask, k::Classify, k::ExpandGrey, k::PackBits, k::CutOut};
}

// Counts what was done and gives the processor's own choice of target back.
void Finish(benchmark::State& state, std::size_t pixels) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels * 3));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(pixels));
    zel7::kernels::UseTarget(0);
}

zel7::test_support::Bytes PhotoRow() {
    return zel7::bench::SyntheticPhotoRows(int32_t(kRowPixels), 1, zel7::Background::NearWhite);
}

void MemcpyReference(benchmark::State& state) {
    const std::size_t bytes = std::size_t(state.range(0)) * 3;
    std::vector<uint8_t> from = zel7::test_support::RandomBytes(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// The threshold mask on white, in place, as zel7-mask runs it on whole slices.
void Mask(benchmark::State& state, int64_t target) {
    const std::size_t pixels = std::size_t(state.range(0)) / 1000 * 1000;
    std::vector<uint8_t> rows =
        zel7::bench::SyntheticPhotoRows(int32_t(pixels / 1000), 1000, zel7::Background::NearWhite);
    const Kernels kernels = Choose(target);
    const zel7::ColourRange range = zel7::ThresholdRange(zel7::Background::NearWhite);
    for (auto _ : state) {
        kernels.mask(rows.data(), pixels, range);
        benchmark::ClobberMemory();
    }
    Finish(state, pixels);
}

void Classify(benchmark::State& state, int64_t target) {
    const zel7::test_support::Bytes row = PhotoRow();
    std::vector<uint8_t> classes(kRowPixels);
    const Kernels kernels = Choose(target);
    for (auto _ : state) {
        kernels.classify(row.data(), kRowPixels, kBackdrop, 255, classes.data());
        benchmark::DoNotOptimize(classes.data());
        benchmark::ClobberMemory();
    }
    Finish(state, kRowPixels);
}

void ExpandGrey(benchmark::State& state, int64_t target) {
    std::vector<uint8_t> grey(kRowPixels), out(kRowPixels * 3);
    zel7::kernels::portable::Classify(PhotoRow().data(), kRowPixels, kBackdrop, 255, grey.data());
    const Kernels kernels = Choose(target);
    for (auto _ : state) {
        kernels.expandGrey(grey.data(), kRowPixels, 255, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, kRowPixels);
}

void PackBits(benchmark::State& state, int64_t target) {
    zel7::test_support::Bytes row = PhotoRow();
    zel7::kernels::portable::Mask(row.data(), kRowPixels, kBackdrop);
    std::vector<uint8_t> out((kRowPixels + 7) / 8);
    const Kernels kernels = Choose(target);
    for (auto _ : state) {
        kernels.packBits(row.data(), kRowPixels, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, kRowPixels);
}

// A cut-out's row from a photo's row and its coverage.
void CutOut(benchmark::State& state, int64_t target) {
    const zel7::test_support::Bytes row = PhotoRow();
    std::vector<uint8_t> coverage(kRowPixels), out(kRowPixels * 4);
    zel7::kernels::portable::Classify(row.data(), kRowPixels, kBackdrop, 255, coverage.data());
    const Kernels kernels = Choose(target);
    for (auto _ : state) {
        kernels.cutOut(row.data(), coverage.data(), kRowPixels, 0, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, kRowPixels);
}

const bool registered = [] {
    std::vector<std::pair<std::string, int64_t>> targets;
    for (const int64_t target : zel7::kernels::RunnableTargets()) {
        targets.emplace_back(hwy::TargetName(target), target);
    }
    targets.emplace_back("portable", kPortable);
    for (std::size_t pixels : {kSlicePixels, kPicturePixels}) {
        benchmark::RegisterBenchmark("memcpy", MemcpyReference)->Arg(int64_t(pixels));
        for (const auto& [name, target] : targets) {
            benchmark::RegisterBenchmark(("mask/" + name).c_str(), Mask, target)
                ->Arg(int64_t(pixels));
        }
    }
    benchmark::RegisterBenchmark("memcpy", MemcpyReference)->Arg(int64_t(kRowPixels));
    for (const auto& [name, target] : targets) {
        benchmark::RegisterBenchmark(("classify/" + name).c_str(), Classify, target);
        benchmark::RegisterBenchmark(("expand_grey/" + name).c_str(), ExpandGrey, target);
        benchmark::RegisterBenchmark(("pack_bits/" + name).c_str(), PackBits, target);
        benchmark::RegisterBenchmark(("cut_out/" + name).c_str(), CutOut, target);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
