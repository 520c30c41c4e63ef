// Why a bitmap could not be read or written.
#pragma once

#include <cstdint>
#include <string>

namespace zel7 {

enum class BitmapStatus : uint8_t {
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
    // Sizes beyond the int32 range, or memory that is not there.
    TooLarge,
    OutOfMemory,
    // Writing the destination.
    NoPixels,
    NoColorTable,
    CannotCreate,
    CannotWrite,
};

// A status with the operating system's error number where one explains it.
struct BitmapError {
    BitmapStatus status = BitmapStatus::Ok;
    int osError = 0;

    bool Ok() const { return status == BitmapStatus::Ok; }
};

// A short phrase such as "truncated pixel data".
const char* DescribeBitmapStatus(BitmapStatus status);

// The phrase, followed by the system's explanation when there is one:
// "cannot create file (Permission denied)".
std::string DescribeBitmapError(const BitmapError& error);

}  // namespace zel7
