// The engine every picture goes through: a source that yields validated rows, a sink
// that takes them, and the loop between the two that masks on the way. Reading a file
// into memory, writing memory to a file, and masking one file into another are all
// the same loop with other ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "mask/threshold.h"
#include "system/result.h"

namespace zel7 {

// Bytes in one stored pixel row, padded to a multiple of 4 as in BMP files, the
// working image and decoded rows. Callers guarantee that width * bitCount fits in
// int32_t (see CheckedPixelSizes for untrusted values).
constexpr int32_t RowStride(int32_t width, int32_t bitCount) {
    return ((width * bitCount) / 8 + 3) / 4 * 4;
}

// A picture's geometry as stored: rows of rowStride bytes, pixelBytes in all.
struct PictureShape {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitCount = 0;
    int32_t rowStride = 0;
    int32_t pixelBytes = 0;  // rowStride * height
};

// Which row of the picture, as it is seen, comes first.
enum class RowOrder { TopDown, BottomUp };

// Rows as a picture file stores them, for the sources that hold them so (BMP files, and
// the working image that is saved as one): in either order, at their own depth.
class StoredRows {
public:
    virtual ~StoredRows() = default;
    // The colour table of an 8-bit picture, kColorTableBytes long; null for other depths.
    virtual const uint8_t* ColorTable() const = 0;
    virtual RowOrder Order() const = 0;
    // Asks for the rows in the other order, or as 24-bit pixels; false when they cannot
    // be had so. Called before the first Read.
    virtual bool SetOrder(RowOrder order) = 0;
    virtual bool SetTrueColour() = 0;
    // Rows held in memory are lent (the next size bytes, moving past them) instead of
    // copied; null when they are not.
    virtual const uint8_t* Lend(std::size_t) { return nullptr; }
};

// Yields the rows of one picture, front to back: 24-bit pixels, top row first, unless
// the source holds stored rows (see Stored). Read takes whole rows; only stored rows
// longer than a slice are also read in pieces of a row.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual const PictureShape& Shape() const = 0;
    // How the rows are to be turned to be seen upright, as EXIF numbers it: 1 for as
    // they are, 2 to 8 for mirrored and rotated.
    virtual int Orientation() const { return 1; }
    // The ICC profile the rows' colours are in, as the file holds it; empty when it has
    // none, or none that describes them (see ProfileForRows). Lives as long as the source.
    virtual std::span<const uint8_t> ColourProfile() const { return {}; }
    // Reads the next size bytes of the rows into `into`.
    virtual Result Read(uint8_t* into, std::size_t size) = 0;
    // Lends the next size bytes (whole rows) where the source already holds them, in
    // place of a Read's copy: lent points at them until the next Lend or Read; null,
    // with nothing read, where the source holds none so.
    virtual Result Lend(std::size_t, const uint8_t*& lent) {
        lent = nullptr;
        return {};
    }
    // Lets a source that decodes on another thread run up to bytes ahead of the reader
    // (a few slices otherwise), while the reader is busy elsewhere; others have nothing
    // to do.
    virtual void AllowAhead(std::size_t) {}
    // The source's stored rows, when that is what it yields; null for decoded ones.
    virtual StoredRows* Stored() { return nullptr; }
};

// What the engine asks of any source, stored or decoded.
inline const uint8_t* ColorTableOf(RowSource& source) {
    return source.Stored() != nullptr ? source.Stored()->ColorTable() : nullptr;
}
inline RowOrder OrderOf(RowSource& source) {
    return source.Stored() != nullptr ? source.Stored()->Order() : RowOrder::TopDown;
}
// Asks for 24-bit pixels; false when the rows cannot be had so.
inline bool AsTrueColour(RowSource& source) {
    return source.Stored() != nullptr ? source.Stored()->SetTrueColour()
                                      : source.Shape().bitCount == 24;
}
// Asks for decoded rows: 24-bit pixels, top row first.
inline bool AsDecodedRows(RowSource& source) {
    return AsTrueColour(source) &&
           (source.Stored() == nullptr || source.Stored()->SetOrder(RowOrder::TopDown));
}

// Takes the stored rows of one picture, front to back. Nothing it made stays unless
// Commit succeeds: destroying it uncommitted undoes everything.
class RowSink {
public:
    virtual ~RowSink() = default;
    // A sink that keeps its rows in memory offers the place of the next size bytes, so
    // that they are read straight there; others return null.
    virtual uint8_t* Reserve(std::size_t) { return nullptr; }
    // Whether it takes rows in this order; told which before the first Write.
    virtual bool Accepts(RowOrder order) const = 0;
    virtual void SetOrder(RowOrder order) = 0;
    // The ICC profile of the colours it is about to be given, before the first Write,
    // for formats that carry one; a sink whose rows are not colours (masks), or that
    // cannot use the profile, leaves it.
    virtual Result SetColourProfile(std::span<const uint8_t>) { return {}; }
    virtual Result Write(const uint8_t* bytes, std::size_t size) = 0;
    virtual Result Commit() = 0;
};

// About this much of the picture is held in memory at once: large enough to keep
// the system calls and the threads' handovers few (a 24-megapixel mask took 3 ms
// longer with half of it), small enough to stay in the processor's cache.
inline constexpr std::size_t kSliceBytes = std::size_t{1} << 19;

// Whether slices are written by the thread that reads them, or by a second one while
// the first reads on (worth it when a core is free).
enum class SliceWriting { Inline, OnSecondThread };

struct CopyOptions {
    std::optional<Background> mask;  // 24-bit pictures only; others pass unchanged
    SliceWriting writing = SliceWriting::Inline;
};

// Rows a source makes one at a time, handed out in reads of any size: a whole row asked
// for is made straight into its place, a part of one through the row kept here.
class RowHandOut {
public:
    void Start(std::size_t rowBytes, int32_t rows) {
        row_.resize(rowBytes);
        handedOut_ = rowBytes;
        rows_ = rows;
    }
    // make(y, out) writes row y at out, rows in order.
    template <class Make>
    Result Read(uint8_t* into, std::size_t size, const Make& make) {
        while (size > 0) {
            if (handedOut_ == row_.size()) {
                if (next_ == rows_) {
                    return Fail(Status::ReadFailed, "read past the last row");
                }
                const bool whole = size >= row_.size();
                if (Result result = make(next_++, whole ? into : row_.data()); !result.Ok()) {
                    return result;
                }
                if (whole) {
                    into += row_.size();
                    size -= row_.size();
                    continue;
                }
                handedOut_ = 0;
            }
            const std::size_t part = std::min(size, row_.size() - handedOut_);
            std::memcpy(into, row_.data() + handedOut_, part);
            handedOut_ += part;
            into += part;
            size -= part;
        }
        return {};
    }

private:
    std::vector<uint8_t> row_;
    std::size_t handedOut_ = 0;
    int32_t rows_ = 0, next_ = 0;
};

// The source's rows read a few slices ahead by a second thread, so that decoding runs on
// one core while whatever takes the rows runs on another. Decoded sources only: stored
// rows, which are told their order and depth before they are read, are left as they are.
std::unique_ptr<RowSource> ReadAhead(std::unique_ptr<RowSource> source);

// Moves every row from source to sink, masking on the way when asked, a slice at a
// time through buffer (one slice, or three when writing on a second thread), then
// commits the sink. On failure the sink is left uncommitted.
Result CopyRows(RowSource& source, RowSink& sink, const CopyOptions& options,
                std::vector<uint8_t>& buffer);

}  // namespace zel7
