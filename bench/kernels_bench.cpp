// Throughput of the masking kernels, with memcpy of the same bytes as the yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/mask_file.h"
#include "test_pictures.h"
#include "mask/threshold.h"

namespace {

// Sizes: one slice of zel7-mask (in cache) and a whole 8000 x 6000 picture.
constexpr std::size_t kSlicePixels = zel7::kSliceBytes / 3;
constexpr std::size_t kPicturePixels = std::size_t{8000} * 6000;

void MemcpyReference(benchmark::State& state) {
    const std::size_t bytes = std::size_t(state.range(0)) * 3;
    std::vector<uint8_t> from = zel7::testing::RandomBytes(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void MaskKernel(benchmark::State& state, const zel7::MaskKernel* kernel) {
    if (!kernel->isSupported()) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    const std::size_t pixels = std::size_t(state.range(0));
    std::vector<uint8_t> rows = zel7::testing::SyntheticPhotoRows(int32_t(pixels / 1000), 1000,
                                                                  zel7::Background::NearWhite);
    for (auto _ : state) {
        kernel->nearWhite(rows.data(), pixels / 1000 * 1000);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels / 1000 * 1000 * 3));
}

const bool registered = [] {
    for (std::size_t pixels : {kSlicePixels, kPicturePixels}) {
        benchmark::RegisterBenchmark("memcpy", MemcpyReference)->Arg(int64_t(pixels));
        for (const zel7::MaskKernel& kernel : zel7::MaskKernels()) {
            benchmark::RegisterBenchmark((std::string("mask/") + kernel.name).c_str(), MaskKernel,
                                         &kernel)
                ->Arg(int64_t(pixels));
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
