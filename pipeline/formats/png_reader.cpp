// PNG pictures read a row at a time through libspng.
//
// The decoder hands over rows as stored (SPNG_FMT_RAW: unfiltered but still packed,
// 16-bit samples big-endian), and each kind of picture has its own loop here that
// turns them into blue, green, red by the rules of decoded_rows.h. The library's own
// formats would take a second pass anyway (compositing over the chosen background,
// blue first) and RGBA16 twice the bytes; from the stored samples the rules are exact
// by construction: the top byte of 16-bit samples, small grey depths scaled as PNG
// defines, the tRNS colour compared with samples as stored. Converting costs little
// beside decoding (the README's speed section has the figures).
#include <spng.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/formats.h"

namespace zel7 {
namespace {

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

constexpr uint8_t kPngSignature[8] = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n'};

// Chunks besides the pixels (text, colour profiles, EXIF) are read whole by the
// library; these bounds keep a few bytes that claim more from costing memory.
constexpr std::size_t kMaxChunkBytes = std::size_t{4} << 20;
constexpr std::size_t kMaxChunkCache = kMaxMetadataBytes;

// The library reads a few bytes at a time (chunk headers, checksums, 8 KiB of
// pixels): it gets them from this much read ahead, not a system call each.
constexpr std::size_t kReadAhead = std::size_t{64} << 10;

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
inline uint8_t ToEightBits(uint32_t sample) {
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
            uint8_t level = ToEightBits<kDepth>(grey);
            if constexpr (kChannels == 2) {
                level = Composite(level, ToEightBits<kDepth>(SampleAt<kDepth>(row, i + 1)),
                                  c.background);
            } else if (c.keyed && grey == c.key[0]) {
                level = c.background;
            }
            out[0] = out[1] = out[2] = level;
        } else {
            const uint32_t red = SampleAt<kDepth>(row, i), green = SampleAt<kDepth>(row, i + 1),
                           blue = SampleAt<kDepth>(row, i + 2);
            out[0] = ToEightBits<kDepth>(blue);
            out[1] = ToEightBits<kDepth>(green);
            out[2] = ToEightBits<kDepth>(red);
            if constexpr (kChannels == 4) {
                const uint8_t alpha = ToEightBits<kDepth>(SampleAt<kDepth>(row, i + 3));
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
    int Orientation() const override { return orientation_; }
    std::span<const uint8_t> ColourProfile() const override { return profile_; }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result Failure(int error) const;
    Result ClaimedSizeRefused(const SourceOptions& options) const;
    bool HasEmptyExif() const;
    void PrepareConversion(const spng_plte& palette, uint8_t background);
    Result DecodeScanline();
    Result ConvertScanline(uint32_t count, uint8_t* out);
    Result DecodeEvenRows();

    FileStream stream_;
    SpngContext ctx_;
    spng_ihdr ihdr_{};
    PictureShape shape_;
    Conversion conversion_;
    std::span<const uint8_t> profile_;  // held by the library
    int orientation_ = 1;
    RowConverter convert_ = nullptr;
    std::vector<uint8_t> scanline_;  // one row as stored, the widest
    // Interlaced pictures only: their even rows, complete once the last pass begins
    // (it holds the odd rows whole, which go straight out), and a pass's row converted.
    PixelBuffer evenRows_;
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
            // (the library's words, "reached chunk/cache limits", say nothing to a user;
            // it gives them for an empty eXIf chunk too, which other readers pass over)
            if (HasEmptyExif()) {
                return Fail(Status::DamagedPicture, "an empty eXIf chunk");
            }
            return Fail(Status::UnsupportedPicture,
                        "a metadata chunk past the reader's bounds (over " +
                            std::to_string(kMaxChunkBytes >> 20) + " MiB, or over " +
                            std::to_string(kMaxChunkCache >> 20) + " MiB of them)");
        default:
            return Fail(Status::DamagedPicture, spng_strerror(error));
    }
}

// Whether the file holds an eXIf chunk of no bytes, among its first kMostChunks chunks
// (each is a read of the file: a refusal's reason is looked for no further).
bool PngSource::HasEmptyExif() const {
    constexpr int kMostChunks = 1024;
    uint64_t at = 8;  // past the signature
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        uint8_t header[8];  // the data's length, big-endian, and the chunk's type
        if (stream_.ReadAt(at, header, sizeof header) != 0 ||
            std::memcmp(header + 4, "IEND", 4) == 0) {
            return false;
        }
        const uint32_t length = BigEndian32(header);
        if (length == 0 && std::memcmp(header + 4, "eXIf", 4) == 0) {
            return true;
        }
        at += 12 + uint64_t(length);  // the length, the type, the data and the checksum
    }
    return false;
}

// The library refuses sides past kMaxDimension before saying what they are; the
// header's own fields tell, for a message like any other format's.
Result PngSource::ClaimedSizeRefused(const SourceOptions& options) const {
    uint8_t fields[8];
    if (stream_.ReadAt(16, fields, sizeof fields) == 0) {
        if (Result result = CheckDimensions(BigEndian32(fields), BigEndian32(fields + 4), options);
            !result.Ok()) {
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
    // The profile alone: an sRGB chunk says what untagged pixels are taken for anyway,
    // and gAMA and cHRM, which no photo's writer uses instead of a profile, are left.
    if (spng_iccp iccp{}; spng_get_iccp(ctx, &iccp) == 0) {
        const bool grey = ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE ||
                          ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
        profile_ = ProfileForRows(
            {reinterpret_cast<const uint8_t*>(iccp.profile), iccp.profile_len}, grey);
    }
    // The orientation of an eXIf chunk before the pixels, as browsers take it (one after
    // them comes too late for rows handed out as they are decoded).
    if (spng_exif exif{}; spng_get_exif(ctx, &exif) == 0) {
        orientation_ = TiffOrientation({reinterpret_cast<const uint8_t*>(exif.data), exif.length});
    }
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

}  // namespace zel7
