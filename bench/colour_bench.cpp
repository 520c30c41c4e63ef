// What --srgb costs: rows of a 6000-pixel-wide photo converted from an Adobe RGB profile
// to sRGB, beside the same rows only copied, and building a transform for a profile not
// seen before (once a picture, for a batch of many cameras' photos).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "colour_profiles.h"
#include "engine/colour.h"
#include "engine/row_stream.h"
#include "formats/decoded_rows.h"
#include "test_pictures.h"

namespace {

constexpr int32_t kWidth = 6000, kHeight = 4000;
constexpr int32_t kBandRows = 16;  // the rows a slice of 256 KiB holds at this width

// The same band of noise, again and again, with the profile given.
class BandSource : public zel7::RowSource {
public:
    explicit BandSource(const zel7::test_support::Bytes& profile)
        : profile_(profile),
          shape_(zel7::DecodedShape(kWidth, kHeight)),
          band_(zel7::test_support::RandomBytes(std::size_t(shape_.rowStride) * kBandRows, 3)) {}

    const zel7::PictureShape& Shape() const override { return shape_; }
    std::span<const uint8_t> ColourProfile() const override { return profile_; }
    zel7::Result Read(uint8_t* into, std::size_t size) override {
        std::memcpy(into, band_.data(), size);
        return {};
    }

private:
    zel7::test_support::Bytes profile_;
    zel7::PictureShape shape_;
    zel7::test_support::Bytes band_;
};

// A whole picture, a band at a time; with convert, through ConvertToSrgb.
void Rows(benchmark::State& state) {
    const bool convert = state.range(0) != 0;
    const zel7::test_support::Bytes profile = zel7::test_support::MakeProfile({});
    for (auto _ : state) {
        std::unique_ptr<zel7::RowSource> source = std::make_unique<BandSource>(profile);
        if (convert && !zel7::ConvertToSrgb(source).Ok()) {
            state.SkipWithError("the profile was refused");
            return;
        }
        std::vector<uint8_t> band(std::size_t(source->Shape().rowStride) * kBandRows);
        for (int32_t y = 0; y < kHeight; y += kBandRows) {
            benchmark::DoNotOptimize(source->Read(band.data(), band.size()));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}
BENCHMARK(Rows)->Arg(0)->Arg(1)->ArgName("convert")->Unit(benchmark::kMillisecond);

// More profiles than the transforms kept, taken in turn: each one is built anew.
void NewTransform(benchmark::State& state) {
    std::vector<zel7::test_support::Bytes> profiles;
    for (int i = 0; i < 16; ++i) {
        profiles.push_back(zel7::test_support::MakeProfile(
            {zel7::test_support::kAdobeRgbPrimaries, 2.2, 0, "camera " + std::to_string(i)}));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(zel7::ReadColourProfile(profiles[next++ % profiles.size()]));
    }
}
BENCHMARK(NewTransform)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
