#include "system/result.h"

#include <cstring>
#include <iterator>

namespace zel7 {

namespace {

struct StatusEntry {
    Status status;
    const char* phrase;
    bool concernsDestination;
};

constexpr StatusEntry kStatuses[] = {
    {Status::Ok, "success", false},
    {Status::CannotOpen, "cannot open file", false},
    {Status::NotRegularFile, "not a regular file", false},
    {Status::ReadFailed, "read error", false},
    {Status::NotBitmap, "not a BMP file", false},
    {Status::BadColorTable, "bad colour table size", false},
    {Status::BadPixelOffset, "pixel data offset points into the headers", false},
    {Status::UnsupportedHeader, "unsupported BMP header version", false},
    {Status::NegativeSize, "unsupported negative width or height", false},
    {Status::UnsupportedDepth, "unsupported bit depth", false},
    {Status::UnsupportedCompression, "unsupported compression", false},
    {Status::TruncatedHeader, "truncated header", false},
    {Status::TruncatedColorTable, "truncated colour table", false},
    {Status::TruncatedPixels, "truncated pixel data", false},
    {Status::IndexPastColorTable, "damaged picture", false},
    {Status::TooLarge, "picture too large", false},
    {Status::OutOfMemory, "out of memory", false},
    {Status::UnknownFormat, "not a picture zel7 reads (BMP, JPEG, PNG, TIFF, HEIF or WebP)", false},
    {Status::UnsupportedPicture, "unsupported picture", false},
    {Status::DamagedPicture, "damaged picture", false},
    {Status::TooManyPixels, "picture too large", false},
    {Status::TooManyRegions, "too many separate regions to tell background from object", false},
    {Status::NothingToFrame, "nothing to frame", false},
    {Status::NoPixels, "no pixel data", false},  // the source's: no format but BMP holds none
    {Status::NoColorTable, "no colour table", true},
    {Status::CannotCreate, "cannot create file", true},
    {Status::DestinationNotRegular, "not a regular file; left as it is", true},
    {Status::DestinationReadOnly, "not writable; left as it is", true},
    {Status::SymbolicLink, "a symbolic link on the way; not followed out of the output folder",
     true},
    {Status::CannotWrite, "cannot write file", true},
    {Status::InvalidOptions, "invalid options", false},
};

// Every status in its place: the table is looked up by the status's number.
constexpr bool InOrder() {
    for (std::size_t i = 0; i < std::size(kStatuses); ++i) {
        if (std::size_t(kStatuses[i].status) != i) {
            return false;
        }
    }
    return std::size(kStatuses) == std::size_t(Status::InvalidOptions) + 1;
}
static_assert(InOrder(), "kStatuses lists every status once, in the enum's order");

const StatusEntry& EntryOf(Status status) {
    return kStatuses[std::size_t(status)];
}

}  // namespace

bool Result::ConcernsDestination() const {
    return EntryOf(status).concernsDestination;
}

std::string Describe(const Result& result) {
    std::string text = EntryOf(result.status).phrase;
    if (!result.detail.empty()) {
        text += ": ";
        text += result.detail;
    }
    if (result.osError != 0) {
        text += " (";
        text += std::strerror(result.osError);
        text += ')';
    }
    return text;
}

}  // namespace zel7
