#include "system/result.h"

#include <cstring>

namespace zel7 {

namespace {

const char* Phrase(Status status) {
    switch (status) {
        case Status::Ok:
            return "success";
        case Status::CannotOpen:
            return "cannot open file";
        case Status::NotRegularFile:
            return "not a regular file";
        case Status::ReadFailed:
            return "read error";
        case Status::NotBitmap:
            return "not a BMP file";
        case Status::BadColorTable:
            return "bad colour table size";
        case Status::BadPixelOffset:
            return "pixel data offset points into the headers";
        case Status::UnsupportedHeader:
            return "unsupported BMP header version";
        case Status::NegativeSize:
            return "unsupported negative width or height";
        case Status::UnsupportedDepth:
            return "unsupported bit depth";
        case Status::UnsupportedCompression:
            return "unsupported compression";
        case Status::TruncatedHeader:
            return "truncated header";
        case Status::TruncatedColorTable:
            return "truncated colour table";
        case Status::TruncatedPixels:
            return "truncated pixel data";
        case Status::TooLarge:
            return "picture too large";
        case Status::OutOfMemory:
            return "out of memory";
        case Status::UnknownFormat:
            return "not a picture zel7 reads (BMP, JPEG, PNG or TIFF)";
        case Status::UnsupportedPicture:
            return "unsupported picture";
        case Status::DamagedPicture:
            return "damaged picture";
        case Status::TooManyPixels:
            return "picture too large";
        case Status::TooManyRegions:
            return "too many separate regions to tell background from object";
        case Status::NoPixels:
            return "no pixel data";
        case Status::NoColorTable:
            return "no colour table";
        case Status::CannotCreate:
            return "cannot create file";
        case Status::DestinationNotRegular:
            return "not a regular file; left as it is";
        case Status::DestinationReadOnly:
            return "not writable; left as it is";
        case Status::CannotWrite:
            return "cannot write file";
    }
    return "unknown error";
}

}  // namespace

std::string Describe(const Result& result) {
    std::string text = Phrase(result.status);
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
