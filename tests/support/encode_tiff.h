// Writing TIFF files for the tests, with the library the program reads them with.
#pragma once

#include <tiff.h>

#include <vector>

#include "test_pictures.h"

namespace zel7::test_support {

struct TiffPicture {
    uint32_t width = 0, height = 0;
    uint16_t samplesPerPixel = 1, bitsPerSample = 8;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;  // YCbCr with JPEG: samples given as RGB
    // Rows top row first, each padded to a whole byte, the samples of a pixel together;
    // 16-bit samples in this machine's byte order, others packed high bit first.
    Bytes samples{};
    uint16_t compression = COMPRESSION_NONE;
    uint32_t tileSize = 0;      // square tiles of this side (a multiple of 16), or strips
    uint32_t rowsPerStrip = 0;  // 0: as the library chooses
    // Extra samples (EXTRASAMPLE_ASSOCALPHA, ...); the colormap's red entries, then green, then
    // blue.
    std::vector<uint16_t> extraSamples{}, colormap{};
    uint16_t planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT,
             orientation = ORIENTATION_TOPLEFT;
    const char* mode = "w";  // "w8" for BigTIFF, "wb" big-endian
};

// The directory comes first, then the pixel data, so that a file cut anywhere in the pixels
// still says what they should be (but for JPEG, whose tables the library writes late: its
// directory moves to the end). A mistake aborts the test.
Bytes EncodeTiff(const TiffPicture& picture);

}  // namespace zel7::test_support
