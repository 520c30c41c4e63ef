// Cut-outs and soft masks written as WebP through libwebp: lossy (alpha kept losslessly
// beside it) unless lossless is asked for. The encoder takes the whole picture at once,
// as a WebPPicture in the form it encodes (Y, U, V and alpha planes for lossy, ARGB for
// lossless): rows are converted into it by the library a band at a time as they come,
// so that nothing else holds the picture, and it is encoded when the last has come.
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/colour.h"
#include "formats/formats.h"

namespace zel7 {
namespace {

// Rows converted at a time: even, so that each band's chroma is averaged over the same
// pairs of rows as the whole picture's would be.
constexpr int32_t kBandRows = 16;

// How hard the encoder works. Cut-outs come in batches, and the encoder runs after the
// last row, on no other thread's heels: its fastest settings (the README's speed section
// has the figures). On a 24-megapixel cut-out, method 2 made a third of the size at 40%
// more time, filtering the alpha plane nothing smaller at a quarter more, lossless level
// 1 half the size at five times the time. The second thread encodes the alpha plane
// beside the colours.
constexpr int kLossyMethod = 0;
constexpr int kLosslessLevel = 0;  // of libwebp's presets, 0 (fastest) to 9

// What the encoder takes a pixel, measured on 24-megapixel pictures: the planes, and for
// alpha the lossless encoder of the alpha plane (some 10 bytes a pixel of its own). A
// picture that would need more than a decoder may take is refused before any of it is
// taken, so that a batch's jobs stay within what it counted on.
constexpr uint64_t kEncoderBytesWithAlpha = 17;
constexpr uint64_t kEncoderBytesGrey = 2;

struct PictureDeleter {
    void operator()(WebPPicture* picture) const {
        WebPPictureFree(picture);
        delete picture;
    }
};
using Picture = std::unique_ptr<WebPPicture, PictureDeleter>;

// A picture for the library to fill: lossless ones as ARGB, lossy ones as planes.
Picture NewPicture(int width, int height, bool argb, bool alpha) {
    Picture picture(new WebPPicture);
    if (!WebPPictureInit(picture.get())) {
        return nullptr;
    }
    picture->width = width;
    picture->height = height;
    picture->use_argb = argb;
    picture->colorspace = alpha ? WEBP_YUV420A : WEBP_YUV420;
    return picture;
}

// Copies rows of a plane of from's into to's, at row `at`.
void CopyPlane(const uint8_t* from, int fromStride, uint8_t* to, int toStride, int at,
               std::size_t bytes, int rows) {
    for (int y = 0; y < rows; ++y) {
        std::memcpy(to + std::size_t(at + y) * std::size_t(toStride),
                    from + std::size_t(y) * std::size_t(fromStride), bytes);
    }
}

class WebpSink : public RowSink {
public:
    Result Create(const std::filesystem::path& path, const PictureShape& shape,
                  const SinkOptions& options);
    bool Accepts(RowOrder order) const override { return order == RowOrder::TopDown; }
    void SetOrder(RowOrder) override {}
    Result SetColourProfile(std::span<const uint8_t> profile) override;
    Result Write(const uint8_t* bytes, std::size_t size) override;
    Result Commit() override;

private:
    static int WriteOut(const uint8_t* data, std::size_t size, const WebPPicture* picture);
    Result ConvertBand();
    Result WriteWithProfile(const WebPConfig& config);

    OutputFile file_;
    Result writeResult_;  // the file's own reason when a write failed
    PictureShape shape_;
    SinkOptions options_;
    bool rgba_ = false;
    std::vector<uint8_t> profile_;  // the colours' ICC profile, carried in an ICCP chunk
    Picture picture_;
    std::vector<uint8_t> band_;  // rows waiting to be converted
    int32_t bandRows_ = 0;
    int32_t rowsConverted_ = 0;
};

Result WebpSink::Create(const std::filesystem::path& path, const PictureShape& shape,
                        const SinkOptions& options) {
    if (options.content == PngContent::TwoTone) {
        return Fail(Status::InvalidOptions, "two-tone masks are not written as WebP");
    }
    rgba_ = options.content == PngContent::Rgba;
    if (shape.bitCount != (rgba_ ? 32 : 24)) {
        return Fail(Status::UnsupportedPicture, rgba_ ? "cut-outs are written from 32-bit rows"
                                                      : "WebPs are written from 24-bit rows");
    }
    if (shape.width <= 0 || shape.height <= 0) {
        return Fail(Status::NoPixels);
    }
    if (shape.width > WEBP_MAX_DIMENSION || shape.height > WEBP_MAX_DIMENSION) {
        // (the picture is fine: the format is what cannot hold it)
        return Fail(Status::TooManyPixels,
                    std::to_string(shape.width) + " x " + std::to_string(shape.height) +
                        " pixels for a WebP, which holds at most " +
                        std::to_string(WEBP_MAX_DIMENSION) + " a side; a PNG holds it");
    }
    const uint64_t needs = uint64_t(shape.width) * uint64_t(shape.height) *
                           (rgba_ ? kEncoderBytesWithAlpha : kEncoderBytesGrey);
    if (needs > kDefaultMaxDecoderMemory) {
        return Fail(Status::TooManyPixels, "a WebP of " + std::to_string(shape.width) + " x " +
                                               std::to_string(shape.height) +
                                               " pixels needs some " + std::to_string(needs >> 20) +
                                               " MiB to encode, more than the " +
                                               std::to_string(kDefaultMaxDecoderMemory >> 20) +
                                               " MiB a picture may take; write it as PNG");
    }
    shape_ = shape;
    options_ = options;
    picture_ = NewPicture(shape.width, shape.height, options.lossless, rgba_);
    if (!picture_ || !WebPPictureAlloc(picture_.get())) {
        return Fail(Status::OutOfMemory);
    }
    band_.resize(std::size_t(shape.rowStride) * kBandRows);
    return file_.Create(path, options.inside);
}

// The rows waiting, converted by the library into a picture of their own and copied into
// the whole picture's planes.
Result WebpSink::ConvertBand() {
    WebPPicture& whole = *picture_;
    Picture band = NewPicture(shape_.width, bandRows_, whole.use_argb, rgba_);
    if (!band) {
        return Fail(Status::OutOfMemory);
    }
    const int imported = rgba_ ? WebPPictureImportRGBA(band.get(), band_.data(), shape_.rowStride)
                               : WebPPictureImportRGB(band.get(), band_.data(), shape_.rowStride);
    if (!imported) {
        return Fail(Status::OutOfMemory);
    }
    const auto width = std::size_t(shape_.width);
    const int at = rowsConverted_;
    if (whole.use_argb) {
        CopyPlane(reinterpret_cast<const uint8_t*>(band->argb), 4 * band->argb_stride,
                  reinterpret_cast<uint8_t*>(whole.argb), 4 * whole.argb_stride, at, 4 * width,
                  bandRows_);
    } else {
        const std::size_t halfWidth = (width + 1) / 2;
        const int halfRows = (bandRows_ + 1) / 2;
        CopyPlane(band->y, band->y_stride, whole.y, whole.y_stride, at, width, bandRows_);
        CopyPlane(band->u, band->uv_stride, whole.u, whole.uv_stride, at / 2, halfWidth, halfRows);
        CopyPlane(band->v, band->uv_stride, whole.v, whole.uv_stride, at / 2, halfWidth, halfRows);
        if (whole.a != nullptr) {
            // The library leaves out the plane of a band with no transparency in it.
            for (int y = 0; y < bandRows_; ++y) {
                uint8_t* row = whole.a + std::size_t(at + y) * std::size_t(whole.a_stride);
                if (band->a != nullptr) {
                    std::memcpy(row, band->a + std::size_t(y) * std::size_t(band->a_stride), width);
                } else {
                    std::memset(row, 255, width);
                }
            }
        }
    }
    rowsConverted_ += bandRows_;
    bandRows_ = 0;
    return {};
}

// Whole rows, top row first.
Result WebpSink::Write(const uint8_t* bytes, std::size_t size) {
    const auto stride = std::size_t(shape_.rowStride);
    for (std::size_t done = 0; done < size; done += stride) {
        if (rowsConverted_ + bandRows_ == shape_.height) {
            return Fail(Status::TooLarge);
        }
        std::memcpy(band_.data() + std::size_t(bandRows_) * stride, bytes + done, stride);
        if (++bandRows_ == kBandRows) {
            if (Result result = ConvertBand(); !result.Ok()) {
                return result;
            }
        }
    }
    return {};
}

// The RGB profile of a cut-out's colours, as the PNG sink takes it: one lcms2 cannot read
// is left out rather than passed on damaged; soft masks, grey, carry none.
Result WebpSink::SetColourProfile(std::span<const uint8_t> profile) {
    const std::optional<ProfileSummary> summary =
        profile.empty() || options_.content == PngContent::Grey ? std::nullopt
                                                                : ReadColourProfile(profile);
    if (summary && summary->colours == ProfileColours::Rgb) {
        profile_.assign(profile.begin(), profile.end());
    }
    return {};
}

// A profile goes in a chunk of the extended format beside the bitstream: the picture is
// encoded into memory (a few bytes a pixel at most) and assembled with it by libwebpmux.
Result WebpSink::WriteWithProfile(const WebPConfig& config) {
    WebPMemoryWriter encoded;
    WebPMemoryWriterInit(&encoded);
    const std::unique_ptr<WebPMemoryWriter, void (*)(WebPMemoryWriter*)> owned(
        &encoded, WebPMemoryWriterClear);
    WebPPicture& picture = *picture_;
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &encoded;
    const std::unique_ptr<WebPMux, void (*)(WebPMux*)> mux(WebPMuxNew(), WebPMuxDelete);
    const WebPData icc{profile_.data(), profile_.size()};
    WebPData assembled{};
    bool made = WebPEncode(&config, &picture) && mux;
    const WebPData image{encoded.mem, encoded.size};  // once encoded
    made = made && WebPMuxSetImage(mux.get(), &image, 0) == WEBP_MUX_OK &&
           WebPMuxSetChunk(mux.get(), "ICCP", &icc, 0) == WEBP_MUX_OK &&
           WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK;
    picture_.reset();
    Result written = made ? file_.Write(assembled.bytes, assembled.size)
                          : Fail(Status::CannotWrite, "the WebP encoder failed");
    WebPDataClear(&assembled);
    if (!written.Ok()) {
        file_.Abort();
        return written;
    }
    return file_.Commit();
}

int WebpSink::WriteOut(const uint8_t* data, std::size_t size, const WebPPicture* picture) {
    auto& sink = *static_cast<WebpSink*>(picture->custom_ptr);
    sink.writeResult_ = sink.file_.Write(data, size);
    return sink.writeResult_.Ok();
}

Result WebpSink::Commit() {
    if (bandRows_ > 0 && rowsConverted_ + bandRows_ == shape_.height) {
        if (Result result = ConvertBand(); !result.Ok()) {
            file_.Abort();
            return result;
        }
    }
    if (rowsConverted_ != shape_.height) {
        file_.Abort();
        return Fail(Status::NoPixels);
    }
    WebPConfig config;
    if (!WebPConfigInit(&config) ||
        (options_.lossless && !WebPConfigLosslessPreset(&config, kLosslessLevel))) {
        file_.Abort();
        return Fail(Status::CannotWrite, "libwebp of another version than zel7 was built for");
    }
    if (!options_.lossless) {
        config.quality = float(options_.quality);
        config.method = kLossyMethod;
        config.alpha_filtering = 0;
    }
    config.exact = options_.lossless;  // colours kept under alpha 0 too: exact is exact
    config.thread_level = 1;
    if (!profile_.empty()) {
        return WriteWithProfile(config);
    }
    WebPPicture& picture = *picture_;
    picture.writer = WriteOut;
    picture.custom_ptr = this;
    if (!WebPEncode(&config, &picture)) {
        file_.Abort();
        if (!writeResult_.Ok()) {
            return writeResult_;
        }
        return picture.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY
                   ? Fail(Status::OutOfMemory)
                   : Fail(Status::CannotWrite, "the WebP encoder failed (libwebp error " +
                                                   std::to_string(int(picture.error_code)) + ")");
    }
    picture_.reset();  // its memory goes before the file is flushed
    return file_.Commit();
}

}  // namespace

Result CreateWebpSink(const std::filesystem::path& path, const PictureShape& shape,
                      const SinkOptions& options, std::unique_ptr<RowSink>& sink) {
    auto webp = std::make_unique<WebpSink>();
    if (Result result = webp->Create(path, shape, options); !result.Ok()) {
        return result;
    }
    sink = std::move(webp);
    return {};
}

}  // namespace zel7
