// PNG pictures read a row at a time through libspng, and masks written as 1-bit
// greyscale PNGs.
//
// The decoder hands over rows as stored (SPNG_FMT_RAW: unfiltered but still packed,
// 16-bit samples big-endian), and each kind of picture has its own loop here that
// turns them into blue, green, red by the rules of decoded_rows.h. The library's own
// formats would take a second pass anyway (compositing over the chosen background,
// blue first) and RGBA16 twice the bytes; from the stored samples the rules are exact
// by construction: the top byte of 16-bit samples, small grey depths scaled as PNG
// defines, the tRNS colour compared with samples as stored. Converting costs little:
// a 6000 x 4000 RGB picture masks into a PNG in 0.52 s where the library alone takes
// 0.48 s to decode it to RGB from memory.
#include <spng.h>
#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "formats.h"

namespace zel7 {
namespace {

constexpr uint8_t kPngSignature[8] = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n'};

// Chunks besides the pixels (text, colour profiles, EXIF) are read whole by the
// library; these bounds keep a few bytes that claim more from costing memory.
constexpr std::size_t kMaxChunkBytes = std::size_t{4} << 20;
constexpr std::size_t kMaxChunkCache = std::size_t{8} << 20;

// The library reads a few bytes at a time (chunk headers, checksums, 8 KiB of
// pixels): it gets them from this much read ahead, not a system call each.
constexpr std::size_t kReadAhead = std::size_t{64} << 10;

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

struct PixelBufferDeleter {
    void operator()(uint8_t* buffer) const { FreePixelBuffer(buffer); }
};

// The file, fed to the library through its read callback.
class FileStream {
public:
    FileStream(UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}

    // The library's read callback.
    static int Feed(spng_ctx*, void* user, void* into, std::size_t length) {
        return static_cast<FileStream*>(user)->Read(static_cast<uint8_t*>(into), length);
    }
    int ReadAt(uint64_t offset, void* into, std::size_t length) const {
        return ReadExactlyAt(fd_.Get(), offset, into, length);
    }
    // The system's reason for the last failed read, if one failed.
    int Error() const { return error_; }
    // Whether the library asked for bytes past the end of the file.
    bool Overrun() const { return overrun_; }

private:
    int Read(uint8_t* into, std::size_t length) {
        while (length > 0) {
            if (begin_ == end_) {
                const auto bytes = std::size_t(std::min<uint64_t>(kReadAhead, size_ - next_));
                if (bytes == 0) {
                    overrun_ = true;
                    return SPNG_IO_EOF;
                }
                buffer_.resize(kReadAhead);
                if (int error = ReadAt(next_, buffer_.data(), bytes)) {
                    error_ = error == ENODATA ? 0 : error;  // a file that shrank ends early
                    overrun_ = error_ == 0;
                    return overrun_ ? SPNG_IO_EOF : SPNG_IO_ERROR;
                }
                next_ += bytes;
                begin_ = 0;
                end_ = bytes;
            }
            const std::size_t bytes = std::min(length, end_ - begin_);
            std::memcpy(into, buffer_.data() + begin_, bytes);
            begin_ += bytes;
            into += bytes;
            length -= bytes;
        }
        return 0;
    }

    UniqueFd fd_;
    uint64_t size_;
    uint64_t next_ = 0;  // where in the file the next read ahead starts
    std::vector<uint8_t> buffer_;
    std::size_t begin_ = 0, end_ = 0;
    int error_ = 0;
    bool overrun_ = false;
};

constexpr int Channels(int colour) {
    return colour == SPNG_COLOR_TYPE_TRUECOLOR         ? 3
           : colour == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ? 2
           : colour == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4
                                                       : 1;
}

// What turning stored samples into blue, green, red needs besides the samples.
struct Conversion {
    uint8_t background = 0;  // the level transparency shows
    bool keyed = false;      // grey or RGB with a tRNS colour: that colour is transparent
    uint32_t key[3] = {};
    uint32_t paletteEntries = 0;
    uint8_t palette[256][3] = {};  // entries already composited, blue first
};

// The i-th sample of a row: 16-bit ones whole, smaller ones unpacked, first in the
// top bits.
template <int kDepth>
inline uint32_t SampleAt(const uint8_t* row, std::size_t i) {
    if constexpr (kDepth == 16) {
        return uint32_t(row[2 * i]) << 8 | row[2 * i + 1];
    } else if constexpr (kDepth == 8) {
        return row[i];
    } else {
        const std::size_t bit = i * kDepth;
        return uint32_t(row[bit / 8] >> (8 - kDepth - bit % 8)) & ((1u << kDepth) - 1);
    }
}

// A sample as 8 bits: 16-bit ones by their top byte, smaller ones scaled to the full
// range as PNG defines it (1-bit 1 is 255, 2-bit 1 is 85).
template <int kDepth>
inline uint8_t Eight(uint32_t sample) {
    if constexpr (kDepth == 16) {
        return uint8_t(sample >> 8);
    } else {
        return uint8_t(sample * (255 / ((1u << kDepth) - 1)));
    }
}

// Turns count pixels as stored into blue, green, red. False when a palette index
// points past the palette.
template <int kColour, int kDepth>
bool ConvertRow(const Conversion& c, const uint8_t* row, uint32_t count, uint8_t* out) {
    constexpr std::size_t kChannels = Channels(kColour);
    bool inPalette = true;
    for (uint32_t x = 0; x < count; ++x, out += 3) {
        const std::size_t i = x * kChannels;
        if constexpr (kColour == SPNG_COLOR_TYPE_INDEXED) {
            const uint32_t index = SampleAt<kDepth>(row, i);
            inPalette &= index < c.paletteEntries;
            std::memcpy(out, c.palette[index], 3);
        } else if constexpr (kChannels <= 2) {
            const uint32_t grey = SampleAt<kDepth>(row, i);
            uint8_t level = Eight<kDepth>(grey);
            if constexpr (kChannels == 2) {
                level = Composite(level, Eight<kDepth>(SampleAt<kDepth>(row, i + 1)), c.background);
            } else if (c.keyed && grey == c.key[0]) {
                level = c.background;
            }
            out[0] = out[1] = out[2] = level;
        } else {
            const uint32_t red = SampleAt<kDepth>(row, i), green = SampleAt<kDepth>(row, i + 1),
                           blue = SampleAt<kDepth>(row, i + 2);
            out[0] = Eight<kDepth>(blue);
            out[1] = Eight<kDepth>(green);
            out[2] = Eight<kDepth>(red);
            if constexpr (kChannels == 4) {
                const uint8_t alpha = Eight<kDepth>(SampleAt<kDepth>(row, i + 3));
                for (int k = 0; k < 3; ++k) {
                    out[k] = Composite(out[k], alpha, c.background);
                }
            } else if (c.keyed && red == c.key[0] && green == c.key[1] && blue == c.key[2]) {
                out[0] = out[1] = out[2] = c.background;
            }
        }
    }
    return inPalette;
}

using RowConverter = bool (*)(const Conversion&, const uint8_t*, uint32_t, uint8_t*);

// The converter for a colour type and depth the library accepted as valid.
RowConverter ConverterFor(uint8_t colour, uint8_t depth) {
    switch (colour * 32 + depth) {
#define ZEL7_PNG_KIND(colour, depth) \
    case colour * 32 + depth:        \
        return ConvertRow<colour, depth>;
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE, 1)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE, 2)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE, 4)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE, 8)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE, 16)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_TRUECOLOR, 8)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_TRUECOLOR, 16)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_INDEXED, 1)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_INDEXED, 2)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_INDEXED, 4)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_INDEXED, 8)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 16)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8)
        ZEL7_PNG_KIND(SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16)
#undef ZEL7_PNG_KIND
    }
    return nullptr;
}

// Where each of the seven interlacing passes puts its pixels.
constexpr uint32_t kPassStartX[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kPassStepX[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr int kLastPass = 6;  // the odd rows, whole

class PngSource : public RowSource {
public:
    PngSource(UniqueFd fd, uint64_t size) : stream_(std::move(fd), size) {}

    Result Open(const SourceOptions& options);
    const PictureShape& Shape() const override { return shape_; }
    const uint8_t* ColorTable() const override { return nullptr; }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result Failure(int error) const;
    Result ClaimedSizeRefused(const SourceOptions& options) const;
    void PrepareConversion(const spng_plte& palette, uint8_t background);
    Result DecodeScanline();
    Result ConvertScanline(uint32_t count, uint8_t* out);
    Result DecodeEvenRows();

    FileStream stream_;
    SpngContext ctx_;
    spng_ihdr ihdr_{};
    PictureShape shape_;
    Conversion conversion_;
    RowConverter convert_ = nullptr;
    std::vector<uint8_t> scanline_;  // one row as stored, the widest
    // Interlaced pictures only: their even rows, complete once the last pass begins
    // (it holds the odd rows whole, which go straight out), and a pass's row converted.
    std::unique_ptr<uint8_t, PixelBufferDeleter> evenRows_;
    std::vector<uint8_t> passRow_;
    uint32_t nextRow_ = 0;
};

Result PngSource::Failure(int error) const {
    if (stream_.Error() != 0) {
        return Fail(Status::ReadFailed, stream_.Error());
    }
    switch (error) {
        case SPNG_EMEM:
            return Fail(Status::OutOfMemory);
        case SPNG_ECHUNK_LIMITS:
            return Fail(Status::UnsupportedPicture, spng_strerror(error));
        default:
            return Fail(Status::DamagedPicture, spng_strerror(error));
    }
}

// The library refuses sides past kMaxDimension before saying what they are; the
// header's own fields tell, for a message like any other format's.
Result PngSource::ClaimedSizeRefused(const SourceOptions& options) const {
    uint8_t fields[8];
    if (stream_.ReadAt(16, fields, sizeof fields) == 0) {
        const auto field = [&](int at) {
            return uint32_t(fields[at]) << 24 | fields[at + 1] << 16 | fields[at + 2] << 8 |
                   fields[at + 3];
        };
        if (Result result = CheckDimensions(field(0), field(4), options); !result.Ok()) {
            return result;
        }
    }
    return Fail(Status::TooManyPixels);
}

Result PngSource::Open(const SourceOptions& options) {
    ctx_.reset(spng_ctx_new(0));  // no SPNG_CTX_IGNORE_ADLER32: the zlib checksum counts
    if (!ctx_) {
        return Fail(Status::OutOfMemory);
    }
    // Limits before the first byte is read. Damaged ancillary chunks are errors too:
    // the library would drop them, and a dropped tRNS changes the picture.
    spng_ctx* ctx = ctx_.get();
    for (const int error : {spng_set_image_limits(ctx, kMaxDimension, kMaxDimension),
                            spng_set_chunk_limits(ctx, kMaxChunkBytes, kMaxChunkCache),
                            spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR),
                            spng_set_png_stream(ctx, FileStream::Feed, &stream_)}) {
        if (error != 0) {
            return Failure(error);
        }
    }
    if (int error = spng_get_ihdr(ctx, &ihdr_)) {
        return error == SPNG_EUSER_WIDTH || error == SPNG_EUSER_HEIGHT ? ClaimedSizeRefused(options)
                                                                       : Failure(error);
    }
    if (Result result = CheckDimensions(ihdr_.width, ihdr_.height, options); !result.Ok()) {
        return result;
    }
    const auto width = int32_t(ihdr_.width), height = int32_t(ihdr_.height);
    if (uint64_t(RowStride(width, 24)) * uint64_t(height) > INT32_MAX) {
        return Fail(Status::TooLarge);
    }
    shape_ = DecodedShape(width, height);
    convert_ = ConverterFor(ihdr_.color_type, ihdr_.bit_depth);
    if (convert_ == nullptr) {  // the library checks the pair; this is in case it did not
        return Fail(Status::DamagedPicture, spng_strerror(SPNG_EBIT_DEPTH));
    }
    // Everything before the pixels; then palette and tRNS are there or absent.
    if (int error = spng_decode_chunks(ctx)) {
        return Failure(error);
    }
    spng_plte palette{};
    if (spng_get_plte(ctx, &palette) != 0 && ihdr_.color_type == SPNG_COLOR_TYPE_INDEXED) {
        return Failure(SPNG_ENOPLTE);
    }
    PrepareConversion(palette, BackgroundLevel(options.background));
    if (int error = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RAW, SPNG_DECODE_PROGRESSIVE)) {
        return Failure(error);
    }
    const auto bitsPerPixel = std::size_t(ihdr_.bit_depth * Channels(ihdr_.color_type));
    scanline_.resize((std::size_t(ihdr_.width) * bitsPerPixel + 7) / 8);
    if (ihdr_.interlace_method != 0) {
        const std::size_t evenRows = (std::size_t(ihdr_.height) + 1) / 2;
        evenRows_.reset(AllocatePixelBuffer(evenRows * 3 * std::size_t(ihdr_.width)));
        if (!evenRows_) {
            return Fail(Status::OutOfMemory);
        }
        passRow_.resize(3 * std::size_t(ihdr_.width));
    }
    return {};
}

// Palette entries composited once, not for every pixel; the tRNS colour of grey and
// RGB pictures as stored, since it is compared with samples before any scaling: its low
// bit-depth bits only, for the PNG standard has decoders mask the rest (the library
// hands over all 16, and writers leave junk there, such as 255 in 1-bit pictures).
void PngSource::PrepareConversion(const spng_plte& palette, uint8_t background) {
    Conversion& c = conversion_;
    c.background = background;
    c.paletteEntries = palette.n_entries;
    spng_trns trns{};
    const bool transparency = spng_get_trns(ctx_.get(), &trns) == 0;
    const uint32_t depthBits = (1u << ihdr_.bit_depth) - 1;
    if (ihdr_.color_type == SPNG_COLOR_TYPE_INDEXED) {
        for (uint32_t i = 0; i < palette.n_entries; ++i) {
            const spng_plte_entry& entry = palette.entries[i];
            const uint8_t alpha =
                transparency && i < trns.n_type3_entries ? trns.type3_alpha[i] : 255;
            c.palette[i][0] = Composite(entry.blue, alpha, background);
            c.palette[i][1] = Composite(entry.green, alpha, background);
            c.palette[i][2] = Composite(entry.red, alpha, background);
        }
    } else if (transparency && ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE) {
        c.keyed = true;
        c.key[0] = trns.gray & depthBits;
    } else if (transparency && ihdr_.color_type == SPNG_COLOR_TYPE_TRUECOLOR) {
        c.keyed = true;
        c.key[0] = trns.red & depthBits;
        c.key[1] = trns.green & depthBits;
        c.key[2] = trns.blue & depthBits;
    }
}

// Decodes the next stored row. The last is declared good only once the rest of the
// file has been read to its end chunk and its checksums found right, so that a
// damaged or cut tail fails the picture rather than passing unnoticed. (The library
// takes a file cut in the end chunk's checksum for whole: hence the stream's word.)
Result PngSource::DecodeScanline() {
    const int error = spng_decode_scanline(ctx_.get(), scanline_.data(), scanline_.size());
    if (error == SPNG_EOI) {
        const int end = spng_decode_chunks(ctx_.get());
        return end != 0 ? Failure(end) : stream_.Overrun() ? Failure(SPNG_IO_EOF) : Result{};
    }
    return error == 0 ? Result{} : Failure(error);
}

Result PngSource::ConvertScanline(uint32_t count, uint8_t* out) {
    if (!convert_(conversion_, scanline_.data(), count, out)) {
        return Fail(Status::DamagedPicture, spng_strerror(SPNG_EPLTE_IDX));
    }
    return {};
}

// Decodes every pass but the last, putting each pixel at its place in the even rows.
Result PngSource::DecodeEvenRows() {
    const std::size_t rowBytes = 3 * std::size_t(ihdr_.width);
    spng_row_info info{};
    while (spng_get_row_info(ctx_.get(), &info) == 0 && info.pass < kLastPass) {
        const uint32_t start = kPassStartX[info.pass], step = kPassStepX[info.pass];
        const uint32_t count = (ihdr_.width - start + step - 1) / step;
        if (Result result = DecodeScanline(); !result.Ok()) {
            return result;
        }
        if (Result result = ConvertScanline(count, passRow_.data()); !result.Ok()) {
            return result;
        }
        uint8_t* row = evenRows_.get() + std::size_t(info.row_num / 2) * rowBytes;
        for (uint32_t i = 0; i < count; ++i) {
            std::memcpy(row + 3 * std::size_t(start + i * step), &passRow_[3 * std::size_t(i)], 3);
        }
    }
    return {};
}

// Whole rows, top row first.
Result PngSource::Read(uint8_t* into, std::size_t size) {
    const auto stride = std::size_t(shape_.rowStride);
    const std::size_t pixelBytes = 3 * std::size_t(ihdr_.width);
    for (std::size_t done = 0; done < size; done += stride, ++nextRow_) {
        uint8_t* out = into + done;
        if (evenRows_ && nextRow_ % 2 == 0) {
            if (nextRow_ == 0) {
                if (Result result = DecodeEvenRows(); !result.Ok()) {
                    return result;
                }
            }
            std::memcpy(out, evenRows_.get() + std::size_t(nextRow_ / 2) * pixelBytes, pixelBytes);
        } else {
            if (Result result = DecodeScanline(); !result.Ok()) {
                return result;
            }
            if (Result result = ConvertScanline(ihdr_.width, out); !result.Ok()) {
                return result;
            }
        }
        std::memset(out + pixelBytes, 0, stride - pixelBytes);
    }
    return {};
}

}  // namespace

bool IsPng(std::span<const uint8_t> head) {
    return head.size() >= sizeof kPngSignature &&
           std::equal(std::begin(kPngSignature), std::end(kPngSignature), head.begin());
}

Result OpenPngSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                     std::unique_ptr<RowSource>& source) {
    auto png = std::make_unique<PngSource>(std::move(fd), size);
    if (Result result = png->Open(options); !result.Ok()) {
        return result;
    }
    source = std::move(png);
    return {};
}

namespace {

// How masks are compressed: for speed first. Measured on a 6000 x 4000 mask of the
// test generator's synthetic photo on white (a clean ellipse with a ragged rim), and
// on the same with one pixel in 50 flipped, best of 7 runs, packing not included:
//
//   level, strategy, filters       clean: time, size      speckled: time, size
//   1, Z_RLE, none                  5.7 ms,  30.6 KB        26.7 ms, 670 KB
//   1, Z_RLE, up                   10.7 ms,  31.6 KB        60.8 ms, 961 KB
//   1, Z_RLE, all five             43.9 ms,  33.0 KB        66.1 ms, 670 KB
//   1, default, none                6.2 ms,  49.9 KB        44.7 ms, 831 KB
//   1, Z_HUFFMAN_ONLY, none        29.5 ms,   494 KB        37.7 ms, 757 KB
//   6, default, none               30.8 ms,  39.8 KB       245 ms,   661 KB
//   9, default, none              134 ms,    29.3 KB
//
// Runs of equal bytes are what a two-tone mask is made of; filters only break them
// up (and cost a pass over every row), and longer matches buy little. zlib ignores
// the level under Z_RLE (but for 0, which stores); 1 states the intent.
constexpr int kMaskCompressionLevel = 1;
constexpr int kMaskStrategy = Z_RLE;
constexpr int kMaskFilters = SPNG_DISABLE_FILTERING;

// How cut-outs are compressed: photos where the object is, zeros around it. Measured
// with bench/png_encode_choices.cpp on a 6000 x 4000 cut-out of a studio shot (96 MB
// of RGBA), best of 3 runs:
//
//   level, strategy, filters       time      size
//   1, default, none              438 ms    5.14 MB
//   1, default, up                454 ms    4.32 MB
//   1, default, sub               556 ms    4.84 MB
//   1, default, paeth             681 ms    4.51 MB
//   1, default, all five         2673 ms    4.45 MB
//   1, Z_RLE, none                409 ms   12.78 MB
//   1, Z_RLE, sub                 586 ms    5.46 MB
//   3, default, sub               665 ms    4.37 MB
//   6, default, all five         3029 ms    3.20 MB
//
// Level 1 with no filter: the encoder is the longest part of a cut-out, and in the
// whole program (where rows come from the other thread, out of cache) the up filter
// cost a quarter more time than it did alone, for a file a sixth smaller; trying all
// five filters on every row costs five times as much, and level 6 saves a third of
// the size at seven times the time. A tool for batches keeps the time.
constexpr int kCutoutCompressionLevel = 1;
constexpr int kCutoutStrategy = Z_DEFAULT_STRATEGY;
constexpr int kCutoutFilters = SPNG_DISABLE_FILTERING;

// Packs a row of masked pixels eight to a byte, the first in the top bit: a pixel is
// white when its bytes are 255, so the top bit of its first byte says which it is.
void PackMaskRowPortable(const uint8_t* pixels, uint32_t width, uint8_t* out) {
    uint32_t x = 0;
    for (; x + 8 <= width; x += 8, pixels += 24) {
        *out++ = uint8_t((pixels[0] & 0x80) | (pixels[3] & 0x80) >> 1 | (pixels[6] & 0x80) >> 2 |
                         (pixels[9] & 0x80) >> 3 | (pixels[12] & 0x80) >> 4 |
                         (pixels[15] & 0x80) >> 5 | (pixels[18] & 0x80) >> 6 | pixels[21] >> 7);
    }
    if (x < width) {
        uint8_t last = 0;
        for (int bit = 7; x < width; ++x, --bit, pixels += 3) {
            last = uint8_t(last | (pixels[0] >> 7) << bit);
        }
        *out = last;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same, sixteen pixels at a time: 1.5 ms for the 24 megapixels above, rows in
// cache as they come from a slice, against 7.5 ms for the portable loop (more than
// compressing them takes). A shuffle gathers the first byte of each pixel, each group
// of eight last pixel first, and movemask takes their top bits as two bytes in PNG's
// order.
__attribute__((target("ssse3"))) void PackMaskRowSsse3(const uint8_t* pixels, uint32_t width,
                                                       uint8_t* out) {
    // Pixel p of the 48 bytes starts at byte 3p: in the first register for p <= 5, the
    // second for p <= 10, the third after.
    const __m128i fromFirst =
        _mm_setr_epi8(-1, -1, 15, 12, 9, 6, 3, 0, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i fromSecond =
        _mm_setr_epi8(5, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 14, 11, 8);
    const __m128i fromThird =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 13, 10, 7, 4, 1, -1, -1, -1);
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16, pixels += 48, out += 2) {
        const auto* at = reinterpret_cast<const __m128i*>(pixels);
        const __m128i firsts =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(_mm_loadu_si128(at), fromFirst),
                                      _mm_shuffle_epi8(_mm_loadu_si128(at + 1), fromSecond)),
                         _mm_shuffle_epi8(_mm_loadu_si128(at + 2), fromThird));
        const auto bits = unsigned(_mm_movemask_epi8(firsts));
        out[0] = uint8_t(bits);
        out[1] = uint8_t(bits >> 8);
    }
    PackMaskRowPortable(pixels, width - x, out);
}
#endif

using PackFunction = void (*)(const uint8_t*, uint32_t, uint8_t*);

PackFunction BestPacker() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("ssse3")) {
        return PackMaskRowSsse3;
    }
#endif
    return PackMaskRowPortable;
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
    }
    return {};
}

class PngSink : public RowSink {
public:
    Result Create(const std::filesystem::path& path, const PictureShape& shape, PngContent content);
    bool Accepts(RowOrder order) const override { return order == RowOrder::TopDown; }
    void SetOrder(RowOrder) override {}
    Result Write(const uint8_t* bytes, std::size_t size) override;
    Result Commit() override;

private:
    static int WriteOut(spng_ctx*, void* user, void* data, std::size_t length);
    Result Failure(int error) const;

    OutputFile file_;
    Result writeResult_;  // the file's own reason when a write failed
    SpngContext ctx_;
    PictureShape shape_;
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
                       PngContent content) {
    if (shape.bitCount != (content == PngContent::Rgba ? 32 : 24)) {
        return Fail(Status::UnsupportedPicture, content == PngContent::Rgba
                                                    ? "cut-outs are written from 32-bit rows"
                                                    : "only 24-bit masks are written as PNG");
    }
    if (shape.width <= 0 || shape.height <= 0) {
        return Fail(Status::NoPixels);
    }
    shape_ = shape;
    const PngLayout layout = LayoutOf(content);
    if (content == PngContent::TwoTone) {
        pack_ = BestPacker();
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
    if (Result result = file_.Create(path); !result.Ok()) {
        return result;
    }
    // Writes the signature and the header.
    if (int error = spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE)) {
        return Failure(error);
    }
    return writeResult_;
}

// Whole rows, top row first.
Result PngSink::Write(const uint8_t* bytes, std::size_t size) {
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
                     PngContent content, std::unique_ptr<RowSink>& sink) {
    auto png = std::make_unique<PngSink>();
    if (Result result = png->Create(path, shape, content); !result.Ok()) {
        return result;
    }
    sink = std::move(png);
    return {};
}

}  // namespace zel7
