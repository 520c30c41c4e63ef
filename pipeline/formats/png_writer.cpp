// Masks written as 1-bit or 8-bit greyscale PNGs and cut-outs as RGBA ones (or RGB,
// flattened over a colour), through libspng and zlib, a row at a time.
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/colour.h"
#include "formats/formats.h"
#include "formats/spng_context.h"
#include "mask/kernels.h"

namespace zel7 {
namespace {

// How masks are compressed: for speed first (the README's speed section has the
// measured choices). Runs of equal bytes are what a two-tone mask is made of; filters
// only break them up (and cost a pass over every row), and longer matches buy little.
// zlib ignores the level under Z_RLE (but for 0, which stores); 1 states the intent.
constexpr int kMaskCompressionLevel = 1;
constexpr int kMaskStrategy = Z_RLE;
constexpr int kMaskFilters = SPNG_DISABLE_FILTERING;

// How cut-outs are compressed: photos where the object is, zeros around it
// (bench/png_encode_choices.cpp measures the choices; the README has the figures).
// Level 1 with no filter: the encoder is the longest part of a cut-out, and in the
// whole program (where rows come from the other thread, out of cache) the up filter
// cost a quarter more time than it did alone, for a file a sixth smaller; trying all
// five filters on every row costs five times as much, and level 6 saves a third of
// the size at seven times the time. A tool for batches keeps the time.
constexpr int kCutoutCompressionLevel = 1;
constexpr int kCutoutStrategy = Z_DEFAULT_STRATEGY;
constexpr int kCutoutFilters = SPNG_DISABLE_FILTERING;

using PackFunction = void (*)(const uint8_t*, uint32_t, uint8_t*);

// Two-tone masks: a row of masked pixels eight to a byte, the first in the top bit.
void PackMaskRow(const uint8_t* pixels, uint32_t width, uint8_t* out) {
    kernels::PackBits(pixels, width, out);
}

// Grey masks: the first byte of each pixel.
void PackGreyRow(const uint8_t* pixels, uint32_t width, uint8_t* out) {
    for (uint32_t x = 0; x < width; ++x) {
        out[x] = pixels[3 * x];
    }
}

// How each content is stored and compressed. Grey masks are two-tone but for their
// edges: runs still. Cut-outs are photos where the object is and zeros around it.
struct PngLayout {
    uint8_t bitDepth, colourType;
    int level, strategy, filters;
};

PngLayout LayoutOf(PngContent content) {
    switch (content) {
        case PngContent::TwoTone:
            return {1, SPNG_COLOR_TYPE_GRAYSCALE, kMaskCompressionLevel, kMaskStrategy,
                    kMaskFilters};
        case PngContent::Grey:
            return {8, SPNG_COLOR_TYPE_GRAYSCALE, kMaskCompressionLevel, kMaskStrategy,
                    kMaskFilters};
        case PngContent::Rgba:
            return {8, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, kCutoutCompressionLevel, kCutoutStrategy,
                    kCutoutFilters};
        case PngContent::Rgb:
            return {8, SPNG_COLOR_TYPE_TRUECOLOR, kCutoutCompressionLevel, kCutoutStrategy,
                    kCutoutFilters};
    }
    return {};
}

// A profile's description as PNG's iCCP chunk names profiles: 1 to 79 printable
// characters, single spaces between words; "ICC profile" when nothing is left of it.
std::string ProfileName(const std::string& description) {
    constexpr std::size_t kMostNameBytes = 79;
    std::string name;
    for (const char c : description) {
        const bool space = c == ' ' || c == '\t';
        if (space ? !name.empty() && name.back() != ' ' : c > ' ' && c <= '~') {
            name += space ? ' ' : c;
        }
    }
    name.resize(std::min(name.size(), kMostNameBytes));
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    return name.empty() ? "ICC profile" : name;
}

class PngSink : public RowSink {
public:
    Result Create(const std::filesystem::path& path, const PictureShape& shape, PngContent content,
                  const std::filesystem::path& inside);
    bool Accepts(RowOrder order) const override { return order == RowOrder::TopDown; }
    void SetOrder(RowOrder) override {}
    Result SetColourProfile(std::span<const uint8_t> profile) override;
    Result Write(const uint8_t* bytes, std::size_t size) override;
    Result Commit() override;

private:
    static int WriteOut(spng_ctx*, void* user, void* data, std::size_t length);
    Result Failure(int error) const;
    Result Start();

    OutputFile file_;
    Result writeResult_;  // the file's own reason when a write failed
    SpngContext ctx_;
    PictureShape shape_;
    PngContent content_ = PngContent::TwoTone;
    std::vector<uint8_t> profile_;  // the library encodes it from here, when it starts
    bool started_ = false;
    PackFunction pack_ = nullptr;  // none: rows go as they are
    std::vector<uint8_t> packed_;
    int32_t rowsWritten_ = 0;
};

int PngSink::WriteOut(spng_ctx*, void* user, void* data, std::size_t length) {
    auto& sink = *static_cast<PngSink*>(user);
    sink.writeResult_ = sink.file_.Write(data, length);
    return sink.writeResult_.Ok() ? 0 : SPNG_IO_ERROR;
}

Result PngSink::Failure(int error) const {
    if (!writeResult_.Ok()) {
        return writeResult_;
    }
    return error == SPNG_EMEM ? Fail(Status::OutOfMemory)
                              : Fail(Status::CannotWrite, spng_strerror(error));
}

Result PngSink::Create(const std::filesystem::path& path, const PictureShape& shape,
                       PngContent content, const std::filesystem::path& inside) {
    if (shape.bitCount != (content == PngContent::Rgba ? 32 : 24)) {
        return Fail(Status::UnsupportedPicture, content == PngContent::Rgba
                                                    ? "cut-outs are written from 32-bit rows"
                                                    : "only 24-bit masks are written as PNG");
    }
    if (shape.width <= 0 || shape.height <= 0) {
        return Fail(Status::NoPixels);
    }
    shape_ = shape;
    content_ = content;
    const PngLayout layout = LayoutOf(content);
    if (content == PngContent::TwoTone) {
        pack_ = PackMaskRow;
        packed_.resize((std::size_t(shape.width) + 7) / 8);
    } else if (content == PngContent::Grey) {
        pack_ = PackGreyRow;
        packed_.resize(std::size_t(shape.width));
    }
    ctx_.reset(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx_) {
        return Fail(Status::OutOfMemory);
    }
    spng_ctx* ctx = ctx_.get();
    spng_ihdr ihdr{
        uint32_t(shape.width), uint32_t(shape.height), layout.bitDepth, layout.colourType, 0, 0,
        SPNG_INTERLACE_NONE};
    for (const int error :
         {spng_set_ihdr(ctx, &ihdr), spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, layout.level),
          spng_set_option(ctx, SPNG_IMG_COMPRESSION_STRATEGY, layout.strategy),
          spng_set_option(ctx, SPNG_FILTER_CHOICE, layout.filters),
          spng_set_png_stream(ctx, WriteOut, this)}) {
        if (error != 0) {
            return Failure(error);
        }
    }
    return file_.Create(path, inside);
}

// Cut-outs carry the RGB profile their colours are in; masks, grey, carry none. A profile
// lcms2 cannot read is left out rather than passed on damaged.
Result PngSink::SetColourProfile(std::span<const uint8_t> profile) {
    if (started_) {
        return Fail(Status::CannotWrite, "a colour profile comes before the rows");
    }
    if ((content_ != PngContent::Rgba && content_ != PngContent::Rgb) || profile.empty()) {
        return {};
    }
    const std::optional<ProfileSummary> summary = ReadColourProfile(profile);
    if (!summary || summary->colours != ProfileColours::Rgb) {
        return {};
    }
    profile_.assign(profile.begin(), profile.end());
    spng_iccp iccp{};
    const std::string name = ProfileName(summary->description);
    std::memcpy(iccp.profile_name, name.c_str(), name.size() + 1);
    iccp.profile_len = profile_.size();
    iccp.profile = reinterpret_cast<char*>(profile_.data());
    if (int error = spng_set_iccp(ctx_.get(), &iccp)) {
        return Failure(error);
    }
    return {};
}

// Writes the signature, the header and the chunks set, before the first row.
Result PngSink::Start() {
    started_ = true;
    if (int error =
            spng_encode_image(ctx_.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE)) {
        return Failure(error);
    }
    return writeResult_;
}

// Whole rows, top row first.
Result PngSink::Write(const uint8_t* bytes, std::size_t size) {
    if (!started_) {
        if (Result result = Start(); !result.Ok()) {
            return result;
        }
    }
    const auto stride = std::size_t(shape_.rowStride);
    for (std::size_t done = 0; done < size; done += stride, ++rowsWritten_) {
        const uint8_t* row = bytes + done;
        if (pack_ != nullptr) {
            pack_(row, uint32_t(shape_.width), packed_.data());
            row = packed_.data();
        }
        const std::size_t length = pack_ != nullptr ? packed_.size() : stride;
        const int error = spng_encode_scanline(ctx_.get(), row, length);
        if (!writeResult_.Ok() || (error != 0 && error != SPNG_EOI)) {
            return Failure(error);
        }
    }
    return {};
}

Result PngSink::Commit() {
    if (rowsWritten_ != shape_.height) {
        file_.Abort();
        return Fail(Status::NoPixels);
    }
    // The last row has flushed the compressed rows; the end chunk follows.
    if (int error = spng_encode_chunks(ctx_.get()); error != 0 || !writeResult_.Ok()) {
        file_.Abort();
        return Failure(error);
    }
    return file_.Commit();
}

}  // namespace

Result CreatePngSink(const std::filesystem::path& path, const PictureShape& shape,
                     PngContent content, std::unique_ptr<RowSink>& sink,
                     const std::filesystem::path& inside) {
    auto png = std::make_unique<PngSink>();
    if (Result result = png->Create(path, shape, content, inside); !result.Ok()) {
        return result;
    }
    sink = std::move(png);
    return {};
}

}  // namespace zel7
