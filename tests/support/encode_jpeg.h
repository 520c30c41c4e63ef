// Writing JPEG files for the tests, with the library the program reads them with.
#pragma once

#include "test_pictures.h"

namespace zel7::test_support {

struct JpegOptions {
    int quality = 100;
    bool progressive = false;
    int sampling = 444;  // of the colours of a 3-component picture: 444, 422 or 420
    Bytes exif = {};     // the contents of an APP1 segment, written when not empty
    int scans = 0;       // for grey pictures: progressive in this many scans, 64 to 127
};

// A JPEG of pixels given top row first, with 1 byte a pixel (grey), 3 (red, green, blue)
// or 4 (CMYK stored inverted, 255 for no ink, as Adobe's programs write it).
Bytes EncodeJpeg(int width, int height, int components, const Bytes& pixels,
                 const JpegOptions& options = {});

// The contents of an EXIF APP1 segment whose one tag is the orientation (1 to 8), in
// either byte order. The tag's value is at offset 24, its type at 18.
Bytes ExifOrientation(int orientation, bool bigEndian = false);

}  // namespace zel7::test_support
