// Masks written as 1-bit or 8-bit greyscale PNGs and cut-outs as RGBA ones (or RGB,
// flattened over a colour), a row at a time. The chunks are laid out here; the image
// data is deflated by zlib for masks, whose runs its RLE strategy codes smallest, and by
// ISA-L's igzip for cut-outs, which it compresses three times as fast as zlib's fastest
// level (bench/png_encode_choices.cpp; the README has the figures), so that their
// encoder, on the writing thread, no longer outlasts the decoding.
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/colour.h"
#include "formats/formats.h"
#include "mask/kernels.h"

namespace zel7 {
namespace {

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// How much deflated data each IDAT chunk holds: enough that the chunks' own twelve bytes
// and the system calls cost nothing, little enough to stay in the cache.
constexpr std::size_t kIdatBytes = std::size_t{1} << 18;

// igzip's level 1 for cut-outs: as fast as its level 0 and a fifth smaller; level 3 costs
// twice the time for a larger cut-out (its matches are tuned for text).
constexpr uint32_t kCutoutLevel = 1;

// zlib's Z_RLE for masks, whose level it ignores (but for 0, which stores; 1 states the
// intent): on two-tone pictures both the fastest of zlib's choices and within a few
// percent of the smallest, and a fifth smaller than igzip's. A mask costs its encoder a
// few milliseconds on the writing thread either way.
constexpr int kMaskLevel = 1;

// PNG's row filters used: none for masks, whose runs of equal bytes a filter only
// breaks up; up for cut-outs, whose rows repeat the row above (a sixth smaller, and at
// igzip's speed the subtraction costs less than the bytes it saves).
enum RowFilter : uint8_t { kFilterNone = 0, kFilterUp = 2 };

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

// How each content is stored: its depth, PNG's colour type, the bytes a row takes from
// a row of the picture, and its filter.
struct PngLayout {
    uint8_t bitDepth, colourType;
    PackFunction pack;  // none: the row's first bytes as they are
    RowFilter filter;
    bool runs;  // a mask's runs, for zlib's RLE
};

constexpr uint8_t kGreyscale = 0, kTruecolour = 2, kTruecolourAlpha = 6;

PngLayout LayoutOf(PngContent content) {
    switch (content) {
        case PngContent::TwoTone:
            return {1, kGreyscale, PackMaskRow, kFilterNone, true};
        case PngContent::Grey:
            return {8, kGreyscale, PackGreyRow, kFilterNone, true};
        case PngContent::Rgba:
            return {8, kTruecolourAlpha, nullptr, kFilterUp, false};
        case PngContent::Rgb:
            return {8, kTruecolour, nullptr, kFilterUp, false};
    }
    return {};
}

std::size_t StoredRowBytes(PngContent content, uint32_t width) {
    switch (content) {
        case PngContent::TwoTone:
            return (std::size_t(width) + 7) / 8;
        case PngContent::Grey:
            return width;
        case PngContent::Rgba:
            return std::size_t(width) * 4;
        case PngContent::Rgb:
            return std::size_t(width) * 3;
    }
    return 0;
}

void PutBigEndian(uint32_t value, uint8_t* out) {
    out[0] = uint8_t(value >> 24);
    out[1] = uint8_t(value >> 16);
    out[2] = uint8_t(value >> 8);
    out[3] = uint8_t(value);
}

// A zlib stream, deflated as it comes and handed out in pieces as its buffer fills: every
// full piece, and at the end the rest, goes to take, which returns the Result of keeping it.
using TakePiece = std::function<Result(std::span<const uint8_t>)>;

class Deflater {
public:
    virtual ~Deflater() = default;

    // Deflates size bytes; last ends the stream.
    Result Add(const uint8_t* bytes, std::size_t size, bool last, const TakePiece& take) {
        Feed(bytes, size, last);
        for (;;) {
            bool done = false;
            if (!Step(last, done)) {
                return Fail(Status::CannotWrite, "the compressor refused its settings");
            }
            const std::size_t filled = piece_.size() - Room();
            if (filled == piece_.size() || (last && done && filled > 0)) {
                if (Result result = take(std::span<const uint8_t>(piece_.data(), filled));
                    !result.Ok()) {
                    return result;
                }
                Empty();
            }
            if (done) {
                return {};
            }
        }
    }

protected:
    // Each library's own: the input given; one call of its deflater, false when it fails,
    // done once the input (or, when last, the stream) is all out; the room left in the
    // piece; the piece to fill from its start.
    virtual void Feed(const uint8_t* bytes, std::size_t size, bool last) = 0;
    virtual bool Step(bool last, bool& done) = 0;
    virtual std::size_t Room() const = 0;
    virtual void Empty() = 0;

    std::vector<uint8_t> piece_ = std::vector<uint8_t>(kIdatBytes);
};

class IgzipDeflater : public Deflater {
public:
    IgzipDeflater() : levelBuffer_(ISAL_DEF_LVL1_DEFAULT) {
        isal_deflate_init(&stream_);
        stream_.level = kCutoutLevel;
        stream_.level_buf = levelBuffer_.data();
        stream_.level_buf_size = uint32_t(levelBuffer_.size());
        stream_.gzip_flag = IGZIP_ZLIB;
        stream_.flush = NO_FLUSH;
        Empty();
    }

private:
    void Feed(const uint8_t* bytes, std::size_t size, bool last) override {
        stream_.next_in = const_cast<uint8_t*>(bytes);
        stream_.avail_in = uint32_t(size);
        stream_.end_of_stream = last ? 1 : 0;
    }
    bool Step(bool last, bool& done) override {
        const bool ok = isal_deflate(&stream_) == COMP_OK;
        done = last ? stream_.internal_state.state == ZSTATE_END : stream_.avail_in == 0;
        return ok;
    }
    std::size_t Room() const override { return stream_.avail_out; }
    void Empty() override {
        stream_.next_out = piece_.data();
        stream_.avail_out = uint32_t(piece_.size());
    }

    isal_zstream stream_{};
    std::vector<uint8_t> levelBuffer_;
};

class ZlibDeflater : public Deflater {
public:
    // False when zlib has no memory for its state.
    bool Start() {
        started_ =
            deflateInit2(&stream_, kMaskLevel, Z_DEFLATED, MAX_WBITS, MAX_MEM_LEVEL, Z_RLE) == Z_OK;
        Empty();
        return started_;
    }
    ~ZlibDeflater() override {
        if (started_) {
            deflateEnd(&stream_);
        }
    }

private:
    void Feed(const uint8_t* bytes, std::size_t size, bool) override {
        stream_.next_in = const_cast<uint8_t*>(bytes);
        stream_.avail_in = uInt(size);
    }
    bool Step(bool last, bool& done) override {
        const int status = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
        done = last ? status == Z_STREAM_END : stream_.avail_in == 0;
        return status != Z_STREAM_ERROR;
    }
    std::size_t Room() const override { return stream_.avail_out; }
    void Empty() override {
        stream_.next_out = piece_.data();
        stream_.avail_out = uInt(piece_.size());
    }

    z_stream stream_{};
    bool started_ = false;
};

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
    Result WriteChunk(const char* type, std::span<const uint8_t> data);
    Result Start();

    OutputFile file_;
    PictureShape shape_;
    PngContent content_ = PngContent::TwoTone;
    PngLayout layout_{};
    std::vector<uint8_t> iccp_;  // the iCCP chunk's data, when a profile is carried
    bool started_ = false;
    std::vector<uint8_t> row_;    // the filter's byte, then the row as stored
    std::vector<uint8_t> above_;  // the row above as stored, for the up filter
    std::unique_ptr<Deflater> deflater_;
    int32_t rowsWritten_ = 0;
};

// A chunk: its length, its type, its data and the CRC of type and data.
Result PngSink::WriteChunk(const char* type, std::span<const uint8_t> data) {
    std::array<uint8_t, 8> head{};
    PutBigEndian(uint32_t(data.size()), head.data());
    std::memcpy(head.data() + 4, type, 4);
    uint32_t crc = crc32_gzip_refl(0, head.data() + 4, 4);
    crc = crc32_gzip_refl(crc, data.data(), data.size());
    std::array<uint8_t, 4> tail{};
    PutBigEndian(crc, tail.data());
    for (const std::span<const uint8_t> piece :
         {std::span<const uint8_t>(head), data, std::span<const uint8_t>(tail)}) {
        if (Result result = file_.Write(piece.data(), piece.size()); !result.Ok()) {
            return result;
        }
    }
    return {};
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
    layout_ = LayoutOf(content);
    const std::size_t stored = StoredRowBytes(content, uint32_t(shape.width));
    row_.assign(1 + stored, 0);
    row_[0] = layout_.filter;
    if (layout_.filter == kFilterUp) {
        above_.assign(stored, 0);  // the row above the first is zeros
    }
    if (layout_.runs) {
        auto zlib = std::make_unique<ZlibDeflater>();
        if (!zlib->Start()) {
            return Fail(Status::OutOfMemory);
        }
        deflater_ = std::move(zlib);
    } else {
        deflater_ = std::make_unique<IgzipDeflater>();
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
    // The name, its terminator, the compression method (0, deflate), the deflated profile.
    const std::string name = ProfileName(summary->description);
    iccp_.assign(name.begin(), name.end());
    iccp_.insert(iccp_.end(), {0, 0});
    IgzipDeflater deflater;
    return deflater.Add(profile.data(), profile.size(), true, [&](std::span<const uint8_t> piece) {
        iccp_.insert(iccp_.end(), piece.begin(), piece.end());
        return Result{};
    });
}

// The signature, the header and the profile, before the first row.
Result PngSink::Start() {
    started_ = true;
    std::array<uint8_t, 13> header{};
    PutBigEndian(uint32_t(shape_.width), header.data());
    PutBigEndian(uint32_t(shape_.height), header.data() + 4);
    header[8] = layout_.bitDepth;
    header[9] = layout_.colourType;  // then deflate, adaptive filters, no interlacing: 0
    if (Result result = file_.Write(kSignature.data(), kSignature.size()); !result.Ok()) {
        return result;
    }
    if (Result result = WriteChunk("IHDR", header); !result.Ok()) {
        return result;
    }
    return iccp_.empty() ? Result{} : WriteChunk("iCCP", iccp_);
}

// Whole rows, top row first.
Result PngSink::Write(const uint8_t* bytes, std::size_t size) {
    if (!started_) {
        if (Result result = Start(); !result.Ok()) {
            return result;
        }
    }
    const auto stride = std::size_t(shape_.rowStride);
    const std::size_t stored = row_.size() - 1;
    uint8_t* const out = row_.data() + 1;
    const auto writeIdat = [this](std::span<const uint8_t> piece) {
        return WriteChunk("IDAT", piece);
    };
    for (std::size_t done = 0; done < size; done += stride) {
        if (rowsWritten_ == shape_.height) {
            file_.Abort();
            return Fail(Status::CannotWrite, "more rows than the picture has");
        }
        const uint8_t* row = bytes + done;
        if (layout_.pack != nullptr) {
            layout_.pack(row, uint32_t(shape_.width), out);
        } else if (layout_.filter == kFilterUp) {
            // The row above is the one before in these bytes, or kept from the last call.
            const uint8_t* above = done > 0 ? row - stride : above_.data();
            for (std::size_t i = 0; i < stored; ++i) {
                out[i] = uint8_t(row[i] - above[i]);
            }
            if (done + stride >= size) {
                std::memcpy(above_.data(), row, stored);
            }
        } else {
            std::memcpy(out, row, stored);
        }
        const bool last = ++rowsWritten_ == shape_.height;
        if (Result result = deflater_->Add(row_.data(), row_.size(), last, writeIdat);
            !result.Ok()) {
            file_.Abort();
            return result;
        }
    }
    return {};
}

Result PngSink::Commit() {
    if (rowsWritten_ != shape_.height) {
        file_.Abort();
        return Fail(Status::NoPixels);
    }
    // The last row has flushed the deflated rows; the end chunk follows.
    if (Result result = WriteChunk("IEND", {}); !result.Ok()) {
        file_.Abort();
        return result;
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
