// Why a picture could not be read or written: the one result type of the pipeline.
#pragma once

#include <cstdint>
#include <string>

namespace zel7 {

// Each status's phrase, and whether it concerns the destination, are in one table in
// result.cpp.
enum class Status : uint8_t {
    Ok,
    // Opening and reading the source.
    CannotOpen,
    NotRegularFile,
    ReadFailed,
    // The file is not a bitmap, or its header contradicts itself.
    NotBitmap,
    BadColorTable,
    BadPixelOffset,
    // A valid bitmap of a kind this program does not handle.
    UnsupportedHeader,
    NegativeSize,
    UnsupportedDepth,
    UnsupportedCompression,
    // The file ends before what its header promises.
    TruncatedHeader,
    TruncatedColorTable,
    TruncatedPixels,
    // A pixel whose colour index lies past its table: copied as it is, never coloured.
    IndexPastColorTable,
    // Sizes beyond the int32 range, or memory that is not there.
    TooLarge,
    OutOfMemory,
    // Pictures of any format.
    UnknownFormat,
    UnsupportedPicture,  // a kind of picture zel7 does not read; the detail says which
    DamagedPicture,      // what the decoder found wrong, in the detail
    TooManyPixels,
    TooManyRegions,  // past the labelling's run limit; the detail says how many
    NothingToFrame,  // a cut-out framed with no object in it at all
    // Writing the destination.
    NoPixels,
    NoColorTable,
    CannotCreate,
    DestinationNotRegular,
    DestinationReadOnly,
    SymbolicLink,  // inside an output folder, where links are not followed
    CannotWrite,
    // The caller's options; the detail says which and why.
    InvalidOptions,
};

// A status with the operating system's error number, or a decoder's own words, where
// they explain it.
struct [[nodiscard]] Result {
    Status status = Status::Ok;
    int osError = 0;
    std::string detail;

    bool Ok() const { return status == Status::Ok; }
    // Whether the destination, rather than the source, is at fault.
    bool ConcernsDestination() const;
};

inline Result Fail(Status status, int osError = 0) {
    return {status, osError, {}};
}
inline Result Fail(Status status, std::string detail) {
    return {status, 0, std::move(detail)};
}

// A short phrase, followed by the detail or the system's explanation when there is
// one: "truncated pixel data", "cannot create file (Permission denied)", "damaged
// picture: Premature end of JPEG file".
std::string Describe(const Result& result);

}  // namespace zel7
