#include "bitmap_status.h"

#include <cstring>

namespace zel7 {

const char* DescribeBitmapStatus(BitmapStatus status) {
    switch (status) {
        case BitmapStatus::Ok:
            return "success";
        case BitmapStatus::CannotOpen:
            return "cannot open file";
        case BitmapStatus::NotRegularFile:
            return "not a regular file";
        case BitmapStatus::ReadFailed:
            return "read error";
        case BitmapStatus::NotBitmap:
            return "not a BMP file";
        case BitmapStatus::BadColorTable:
            return "bad colour table size";
        case BitmapStatus::BadPixelOffset:
            return "pixel data offset points into the headers";
        case BitmapStatus::UnsupportedHeader:
            return "unsupported BMP header version";
        case BitmapStatus::NegativeSize:
            return "unsupported negative width or height";
        case BitmapStatus::UnsupportedDepth:
            return "unsupported bit depth";
        case BitmapStatus::UnsupportedCompression:
            return "unsupported compression";
        case BitmapStatus::TruncatedHeader:
            return "truncated header";
        case BitmapStatus::TruncatedColorTable:
            return "truncated colour table";
        case BitmapStatus::TruncatedPixels:
            return "truncated pixel data";
        case BitmapStatus::TooLarge:
            return "picture too large";
        case BitmapStatus::OutOfMemory:
            return "out of memory";
        case BitmapStatus::NoPixels:
            return "no pixel data";
        case BitmapStatus::NoColorTable:
            return "no colour table";
        case BitmapStatus::CannotCreate:
            return "cannot create file";
        case BitmapStatus::CannotWrite:
            return "cannot write file";
    }
    return "unknown error";
}

std::string DescribeBitmapError(const BitmapError& error) {
    std::string text = DescribeBitmapStatus(error.status);
    if (error.osError != 0) {
        text += " (";
        text += std::strerror(error.osError);
        text += ')';
    }
    return text;
}

}  // namespace zel7
