#include "encode_tiff.h"

#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zel7::test_support {
namespace {

void Check(bool ok, const char* what) {
    ok || (std::fprintf(stderr, "EncodeTiff: %s failed\n", what), std::abort(), false);
}

// Fields of value 0 are left out, but for the photometric interpretation (white is zero).
void SetFields(TIFF* tiff, const TiffPicture& p) {
    const uint32_t fields[] = {
        TIFFTAG_IMAGEWIDTH,      p.width,           TIFFTAG_IMAGELENGTH,   p.height,
        TIFFTAG_SAMPLESPERPIXEL, p.samplesPerPixel, TIFFTAG_BITSPERSAMPLE, p.bitsPerSample,
        TIFFTAG_COMPRESSION,     p.compression,     TIFFTAG_TILEWIDTH,     p.tileSize,
        TIFFTAG_TILELENGTH,      p.tileSize,        TIFFTAG_ROWSPERSTRIP,  p.rowsPerStrip,
        TIFFTAG_PLANARCONFIG,    p.planar,          TIFFTAG_SAMPLEFORMAT,  p.sampleFormat,
        TIFFTAG_ORIENTATION,     p.orientation};
    bool ok = TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, p.photometric);
    for (std::size_t i = 0; i < std::size(fields); i += 2) {  // tag, value
        ok = ok && (fields[i + 1] == 0 || TIFFSetField(tiff, fields[i], fields[i + 1]));
    }
    std::vector<uint16_t> map = p.colormap, extra = p.extraSamples;
    const std::size_t n = map.size() / 3;
    Check(ok &&
              (extra.empty() ||
               TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, int(extra.size()), extra.data())) &&
              (map.empty() || TIFFSetField(tiff, TIFFTAG_COLORMAP, &map[0], &map[n], &map[2 * n])),
          "setting the fields");
}

// Strips a row at a time, or tiles, of each plane: the samples of a pixel together, or
// each alone (then of whole bytes).
void WritePixels(TIFF* tiff, const TiffPicture& p) {
    const bool separate = p.planar == PLANARCONFIG_SEPARATE;
    const std::size_t inPlane = separate ? 1 : p.samplesPerPixel, bytes = p.bitsPerSample / 8;
    const std::size_t rowBytes = (p.width * inPlane * p.bitsPerSample + 7) / 8;
    const std::size_t allBytes = (p.width * p.samplesPerPixel * p.bitsPerSample + 7) / 8;
    const uint32_t rows = p.tileSize != 0 ? p.tileSize : 1;
    const std::size_t pieceRow =
        p.tileSize != 0 ? p.tileSize * inPlane * p.bitsPerSample / 8 : rowBytes;
    Bytes piece(pieceRow * rows);
    for (uint16_t plane = 0; plane < p.samplesPerPixel / inPlane; ++plane) {
        for (uint32_t y = 0; y < p.height; y += rows) {
            for (std::size_t x = 0; x < rowBytes; x += pieceRow) {  // in bytes
                for (std::size_t i = 0; i < piece.size(); ++i) {
                    const std::size_t row = y + i / pieceRow, at = x + i % pieceRow;
                    const std::size_t from =
                        separate ? (at / bytes * p.samplesPerPixel + plane) * bytes + at % bytes
                                 : at;
                    piece[i] =
                        row >= p.height || at >= rowBytes ? 0 : p.samples[row * allBytes + from];
                }
                Check(p.tileSize != 0
                          ? TIFFWriteTile(tiff, piece.data(), uint32_t(x / pieceRow * p.tileSize),
                                          y, 0, plane) > 0
                          : TIFFWriteScanline(tiff, piece.data(), y, plane) == 1,
                      "writing pixels");
            }
        }
    }
}

}  // namespace

Bytes EncodeTiff(const TiffPicture& p) {
    const ScratchFolder folder;
    const std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(
        TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    TIFFOpenOptionsSetWarningHandlerExtR(
        options.get(), [](TIFF*, void*, const char*, const char*, va_list) { return 1; },
        nullptr);  // of legacy Deflate
    TIFF* tiff = TIFFOpenExt((folder / "p.tif").c_str(), p.mode, options.get());
    Check(tiff != nullptr, "creating a file");
    // The directory is written with room for the strip offsets, which the flush after the
    // pixels fills in place.
    SetFields(tiff, p);
    Check(TIFFWriteCheck(tiff, p.tileSize != 0, "EncodeTiff") && TIFFWriteDirectory(tiff),
          "writing a directory");
    const bool jpeg = p.compression == COMPRESSION_JPEG;  // whose settings the file does not keep
    Check(TIFFSetDirectory(tiff, 0) && (!jpeg || TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 100)) &&
              (!jpeg || p.photometric != PHOTOMETRIC_YCBCR ||
               TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)),
          "going back to the directory");
    WritePixels(tiff, p);
    Check(TIFFFlush(tiff), "writing the pixels");
    TIFFClose(tiff);
    return ReadWholeFile(folder / "p.tif");
}

}  // namespace zel7::test_support
