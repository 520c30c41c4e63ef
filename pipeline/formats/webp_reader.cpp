// WebP pictures, lossy and lossless, through libwebp's incremental decoder: the file is
// read a piece at a time as the rows are asked for, and rows are handed out as soon as the
// decoder has made them. libwebp writes its output into one buffer of the whole picture
// (3 bytes a pixel, 4 with alpha), and a lossless picture keeps its own 4 bytes a pixel
// besides: both count against the decoder's memory bound, checked before either is
// taken. The rows of the buffer already handed out are given back to the system as the
// reading goes on, so that a lossy picture holds little more than what is decoded ahead.
//
// What is read of the file is kept, in one buffer the decoder reads in place
// (WebPIUpdate): lossless decoding needs all of it, and handing it over piece by piece
// (WebPIAppend) has the library copy everything it holds at each piece.
//
// Animated files are refused: which frame a still mask should be made of is the user's
// choice, not the decoder's. The EXIF chunk's orientation is applied as JPEG's is.
#include <webp/decode.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/formats.h"

namespace zel7 {
namespace {

// Read for the decoder at a time. A lossy piece may bring many rows (a plain backdrop
// costs next to nothing to store), so it is kept small: what is decoded ahead of the
// reader stays a small part of the picture. The lossless decoder goes back to a
// checkpoint every eight rows or more when its data runs out, and decodes those rows
// again: its pieces are large, so that that is seldom.
constexpr std::size_t kChunkBytes = std::size_t{16} << 10;
constexpr std::size_t kLosslessChunkBytes = std::size_t{1} << 20;
// Yet a flat backdrop costs a lossy picture a few bytes a row: 16 KiB decoded the whole of a
// 24-megapixel one at once. Each piece is sized by the rows the last one decoded, to bring
// about this much of rows ahead, and no less than kLeastPiece.
constexpr std::size_t kMostAheadBytes = std::size_t{4} << 20;
constexpr std::size_t kLeastPiece = 256;

// What may come before the pixels (a colour profile, mostly) for the decoder to learn the
// picture's size, or at all: the decoder holds every chunk before the pixels whole.
constexpr std::size_t kMaxHeaderBytes = kMaxMetadataBytes;

// The chunks walked looking for EXIF, and the most of it read: the orientation is in the
// first directory, which a JPEG finds in its 64 KiB segment too.
constexpr int kMaxChunks = 1024;
constexpr std::size_t kMaxExifBytes = std::size_t{64} << 10;

struct DecoderDeleter {
    void operator()(WebPIDecoder* decoder) const { WebPIDelete(decoder); }
};

uint32_t Little32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

// The library's codes in words; it has none of its own.
Result Failure(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY:
            return Fail(Status::OutOfMemory);
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            return Fail(Status::UnsupportedPicture, "a WebP feature libwebp does not decode");
        case VP8_STATUS_NOT_ENOUGH_DATA:
        case VP8_STATUS_SUSPENDED:
            return Fail(Status::DamagedPicture, "the WebP file ends before its pixels do");
        default:
            return Fail(Status::DamagedPicture, "WebP bitstream error");
    }
}

class WebpSource final : public RowSource {
public:
    Result Open(UniqueFd fd, uint64_t size, const SourceOptions& options);
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    std::span<const uint8_t> ColourProfile() const override {
        return ProfileForRows(profile_, false);
    }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result ReadFeatures(WebPBitstreamFeatures& features);
    Result ReadMetadata();
    Result DecodeThrough(int rows);

    UniqueFd fd_;
    uint64_t size_ = 0;
    std::vector<uint8_t> profile_;  // the ICCP chunk's
    std::size_t fed_ = 0;           // bytes of the file read
    std::vector<uint8_t> data_;     // the file's first fed_ bytes, given_ of them to the decoder
    std::size_t given_ = 0;
    std::size_t chunkBytes_ = kChunkBytes;
    std::size_t piece_ = kChunkBytes;  // given to the decoder next (see kMostAheadBytes)
    bool lossless_ = false;
    WebPDecBuffer output_{};
    PixelBuffer pixels_;  // the decoder's output
    std::size_t pixelStride_ = 0;
    std::size_t released_ = 0;  // bytes of pixels_ given back to the system
    std::unique_ptr<WebPIDecoder, DecoderDeleter> decoder_;
    PictureShape shape_;
    bool alpha_ = false;
    uint8_t background_ = 255;
    int orientation_ = 1;
    int decodedRows_ = 0, nextRow_ = 0;
    Result failed_;  // once a read fails, every later one does
};

// The decoder learns the size from the first bytes, or from the first after the chunks
// before the pixels: as many are read as it needs, up to kMaxHeaderBytes.
Result WebpSource::ReadFeatures(WebPBitstreamFeatures& features) {
    std::size_t length = std::min<uint64_t>(size_, kChunkBytes);
    for (;;) {
        data_.resize(length);
        if (int error = ReadExactlyAt(fd_.Get(), 0, data_.data(), length)) {
            return Fail(Status::ReadFailed, error);
        }
        fed_ = length;
        const VP8StatusCode status = WebPGetFeatures(data_.data(), length, &features);
        if (status != VP8_STATUS_NOT_ENOUGH_DATA || length == size_) {
            return status == VP8_STATUS_OK ? Result{} : Failure(status);
        }
        if (length == kMaxHeaderBytes) {
            return TooMuchMetadata("WebP", "before its pixels");
        }
        length = std::size_t(std::min<uint64_t>({size_, 2 * uint64_t(length), kMaxHeaderBytes}));
    }
}

// Walks the file's chunks, by their headers alone, for the EXIF chunk and the colour
// profile's. libwebp's demuxer would find them too, but only in the whole file held in
// memory, and EXIF comes after the pixels. A file cut short of the length its chunks give
// is refused here, whatever the decoder would make of the pixels: what is missing may be
// the orientation.
Result WebpSource::ReadMetadata() {
    uint8_t header[12];
    if (int error = ReadExactlyAt(fd_.Get(), 0, header, sizeof header)) {
        return Fail(Status::ReadFailed, error);
    }
    const uint64_t end = 8 + uint64_t(Little32(header + 4));
    if (end > size_) {
        return Failure(VP8_STATUS_NOT_ENOUGH_DATA);
    }
    uint64_t at = 12;
    bool seenPixels = false;
    for (int chunks = 0; at + 8 <= end && chunks < kMaxChunks; ++chunks) {
        uint8_t chunk[8];
        if (int error = ReadExactlyAt(fd_.Get(), at, chunk, sizeof chunk)) {
            return Fail(Status::ReadFailed, error);
        }
        const uint64_t length = Little32(chunk + 4);
        if (at + 8 + length > end) {
            return Failure(VP8_STATUS_NOT_ENOUGH_DATA);
        }
        if (at == 12 && std::memcmp(chunk, "VP8X", 4) != 0) {
            return {};  // a simple file: its one chunk is the picture, with no metadata
        }
        const bool pixels = std::memcmp(chunk, "VP8 ", 4) == 0 ||
                            std::memcmp(chunk, "VP8L", 4) == 0 ||
                            std::memcmp(chunk, "ALPH", 4) == 0;
        seenPixels = seenPixels || pixels;
        if (!seenPixels && at + 8 + length > kMaxHeaderBytes) {
            return TooMuchMetadata("WebP", "before its pixels");
        }
        if (std::memcmp(chunk, "EXIF", 4) == 0) {
            // Some writers keep JPEG's "Exif\0\0" before the TIFF structure.
            std::vector<uint8_t> exif(std::size_t(std::min<uint64_t>(length, kMaxExifBytes)));
            if (int error = ReadExactlyAt(fd_.Get(), at + 8, exif.data(), exif.size())) {
                return Fail(Status::ReadFailed, error);
            }
            static constexpr uint8_t kExif[] = {'E', 'x', 'i', 'f', 0, 0};
            const bool prefixed = exif.size() >= sizeof kExif &&
                                  std::equal(std::begin(kExif), std::end(kExif), exif.begin());
            orientation_ = TiffOrientation(std::span(exif).subspan(prefixed ? sizeof kExif : 0));
        } else if (std::memcmp(chunk, "ICCP", 4) == 0) {
            // Its header first, which says how much of the chunk to keep.
            uint8_t head[kIccHeaderBytes];
            const auto headBytes = std::size_t(std::min<uint64_t>(length, sizeof head));
            if (int error = ReadExactlyAt(fd_.Get(), at + 8, head, headBytes)) {
                return Fail(Status::ReadFailed, error);
            }
            profile_.resize(ProfileBytesKept({head, headBytes}, std::size_t(length)));
            if (int error = ReadExactlyAt(fd_.Get(), at + 8, profile_.data(), profile_.size())) {
                return Fail(Status::ReadFailed, error);
            }
        }
        at += 8 + length + length % 2;
    }
    // (chunks past the count before any pixels are more than a picture's metadata)
    return seenPixels || at + 8 > end ? Result{} : TooMuchMetadata("WebP", "before its pixels");
}

Result WebpSource::Open(UniqueFd fd, uint64_t size, const SourceOptions& options) {
    fd_ = std::move(fd);
    size_ = size;
    WebPBitstreamFeatures features{};
    if (Result result = ReadFeatures(features); !result.Ok()) {
        return result;
    }
    if (features.has_animation) {
        return Fail(Status::UnsupportedPicture, "animated WebP; zel7 masks still pictures");
    }
    if (Result result =
            CheckDimensions(uint64_t(features.width), uint64_t(features.height), options);
        !result.Ok()) {
        return result;
    }
    alpha_ = features.has_alpha != 0;
    const auto width = std::size_t(features.width), height = std::size_t(features.height);
    pixelStride_ = width * (alpha_ ? 4 : 3);
    // The output, a lossless picture's own pixels or a lossy one's alpha plane, and the
    // file as far as it is read.
    const uint64_t ownBytes = features.format == 2 ? 4 : alpha_ ? 1 : 0;
    const uint64_t needs = (pixelStride_ + ownBytes * width) * height + size_;
    if (needs > options.maxDecoderMemory) {
        return Fail(Status::TooManyPixels,
                    "a WebP of this size needs " + MiB(needs) + " to decode, more than the " +
                        MiB(options.maxDecoderMemory) + " a picture may take");
    }
    if (Result result = ReadMetadata(); !result.Ok()) {
        return result;
    }
    shape_ = DecodedShape(features.width, features.height);
    background_ = BackgroundLevel(options.background);
    pixels_.reset(AllocatePixelBuffer(pixelStride_ * height));
    if (!pixels_) {
        return Fail(Status::OutOfMemory);
    }
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        return Fail(Status::UnsupportedPicture,
                    "libwebp of another version than zel7 was built for");
    }
    output_ = config.output;
    output_.colorspace = alpha_ ? MODE_BGRA : MODE_BGR;
    output_.is_external_memory = 1;
    output_.u.RGBA.rgba = pixels_.get();
    output_.u.RGBA.stride = int(pixelStride_);
    output_.u.RGBA.size = pixelStride_ * height;
    decoder_.reset(WebPINewDecoder(&output_));
    if (!decoder_) {
        return Fail(Status::OutOfMemory);
    }
    lossless_ = features.format == 2;
    chunkBytes_ = lossless_ ? kLosslessChunkBytes : kChunkBytes;
    piece_ = lossless_ ? chunkBytes_ : kLeastPiece;
    return {};
}

// Feeds the decoder until rows are decoded, or the file ends.
Result WebpSource::DecodeThrough(int rows) {
    while (decodedRows_ < rows) {
        // What the header took is handed over first, a piece at a time, then what is read.
        if (given_ == fed_) {
            const auto length = std::size_t(std::min<uint64_t>(chunkBytes_, size_ - fed_));
            if (length == 0) {
                return Failure(VP8_STATUS_NOT_ENOUGH_DATA);
            }
            data_.resize(fed_ + length);
            if (int error = ReadExactlyAt(fd_.Get(), fed_, data_.data() + fed_, length)) {
                return Fail(Status::ReadFailed, error);
            }
            fed_ += length;
        }
        const std::size_t piece = std::min(piece_, fed_ - given_);
        given_ += piece;
        const VP8StatusCode status = WebPIUpdate(decoder_.get(), data_.data(), given_);
        if (status != VP8_STATUS_OK && status != VP8_STATUS_SUSPENDED) {
            return Failure(status);
        }
        int decoded = 0;
        if (WebPIDecGetRGB(decoder_.get(), &decoded, nullptr, nullptr, nullptr) != nullptr) {
            if (!lossless_) {
                // (rows the piece brought: none yet, and the next one is twice as large)
                const std::size_t ahead = std::max<std::size_t>(kMostAheadBytes / pixelStride_, 1);
                piece_ = decoded > decodedRows_
                             ? piece * ahead / std::size_t(decoded - decodedRows_)
                             : 2 * piece;
                piece_ = std::clamp(piece_, kLeastPiece, kChunkBytes);
            }
            decodedRows_ = decoded;
        }
        if (status == VP8_STATUS_OK && decodedRows_ < shape_.height) {
            return Failure(VP8_STATUS_BITSTREAM_ERROR);  // done, but short of the picture
        }
    }
    return {};
}

// Whole rows, top row first.
Result WebpSource::Read(uint8_t* into, std::size_t size) {
    if (!failed_.Ok()) {
        return failed_;
    }
    const auto stride = std::size_t(shape_.rowStride), width = std::size_t(shape_.width);
    const std::size_t rows = size / stride;
    if (size % stride != 0 || rows > std::size_t(shape_.height - nextRow_)) {
        return failed_ = Fail(Status::TruncatedPixels);
    }
    if (Result result = DecodeThrough(nextRow_ + int(rows)); !result.Ok()) {
        return failed_ = result;
    }
    for (std::size_t row = 0; row < rows; ++row, ++nextRow_) {
        const uint8_t* in = pixels_.get() + std::size_t(nextRow_) * pixelStride_;
        uint8_t* out = into + row * stride;
        if (alpha_) {
            for (std::size_t x = 0; x < width; ++x, in += 4, out += 3) {
                for (int c = 0; c < 3; ++c) {
                    out[c] = Composite(in[c], in[3], background_);
                }
            }
        } else {
            std::memcpy(out, in, 3 * width);
            out += 3 * width;
        }
        std::memset(out, 0, stride - 3 * width);
    }
    // The decoder writes each row once, in order, and never reads its output back: the
    // rows handed out are not needed again.
    const std::size_t done = std::size_t(nextRow_) * pixelStride_;
    released_ = ReleasePixelPages(pixels_.get(), pixelStride_ * std::size_t(shape_.height),
                                  released_, done);
    return {};
}

}  // namespace

bool IsWebp(std::span<const uint8_t> head) {
    return head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
           std::memcmp(head.data() + 8, "WEBP", 4) == 0;
}

Result OpenWebpSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source) {
    return OpenAs<WebpSource>(source, std::move(fd), size, options);
}

}  // namespace zel7
