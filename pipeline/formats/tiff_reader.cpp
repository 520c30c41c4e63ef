// TIFF pictures through libtiff, a strip or a row of tiles at a time: the file is read
// where the library asks, never whole, and no more than one strip (or row of tiles) of
// decoded samples is held at once.
//
// Read, of the first page: grey of 1, 2, 4 or 8 to 16 bits (black or white as zero), RGB
// of 8 to 16 bits, palettes of 1 to 8 bits, each with or without alpha (premultiplied or
// not), in strips or tiles, a pixel's samples together or in planes; in every compression
// the library was built to decode (YCbCr read as RGB in JPEG); the orientation tag. Refused
// with the reason: other colour spaces (CMYK, Lab, YCbCr but in JPEG...), other depths (32
// bits, palettes of more than 8, samples under 8 bits with more than one to a pixel),
// floating-point and signed samples, and compressions the library does not decode.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "formats/formats.h"

namespace zel7 {
namespace {

// The most the library may allocate at once, and the most a strip or a row of tiles may
// decode to: a few bytes of header cannot claim more, and a 24-megapixel picture of
// 16-bit RGB in a single compressed strip still fits.
constexpr uint64_t kMaxBlockBytes = uint64_t{256} << 20;

// A tile may be larger than the picture (writers round its sides up, some to a power of
// two), but not absurdly so: no side past twice the picture's, or this.
constexpr uint32_t kMinTileLimit = 1024;

// The file as the library sees it: positioned reads of a descriptor it does not own.
struct TiffFile {
    int fd = -1;
    uint64_t size = 0;
    uint64_t offset = 0;
    std::string error;   // the library's last error, in its words; nothing is printed
    std::string cutOff;  // a field whose data the file ends before, which the library drops
};

TiffFile& FileOf(thandle_t handle) {
    return *static_cast<TiffFile*>(handle);
}

tmsize_t ReadFile(thandle_t handle, void* into, tmsize_t size) {
    TiffFile& file = FileOf(handle);
    const uint64_t left = file.offset < file.size ? file.size - file.offset : 0;
    const auto bytes = std::size_t(std::min<uint64_t>(uint64_t(std::max<tmsize_t>(size, 0)), left));
    // A file that shrank since it was opened fails the read: the library reports it.
    if (ReadExactlyAt(file.fd, file.offset, into, bytes) != 0) {
        return -1;
    }
    file.offset += bytes;
    return tmsize_t(bytes);
}

tmsize_t WriteFile(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t SeekFile(thandle_t handle, toff_t offset, int whence) {
    TiffFile& file = FileOf(handle);
    const uint64_t base = whence == SEEK_CUR ? file.offset : whence == SEEK_END ? file.size : 0;
    const uint64_t target = base + offset;  // offsets back come as wrapped-around values
    if (target > uint64_t(INT64_MAX)) {
        return toff_t(-1);
    }
    file.offset = target;
    return target;
}

int CloseFile(thandle_t) {
    return 0;  // the source owns the descriptor
}

toff_t SizeOfFile(thandle_t handle) {
    return FileOf(handle).size;
}

int MapFile(thandle_t, void**, toff_t*) {
    return 0;  // never mapped: a file truncated meanwhile would raise SIGBUS
}

void UnmapFile(thandle_t, void*, toff_t) {}

int KeepError(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    FileOf(user).error = text[0] != '\0' ? text : "unknown error";
    return 1;  // handled: nothing reaches the library's own handlers, which print
}

// libjpeg reports damaged data as warnings and decodes on with grey in place of what was
// lost; no mask is made from that. The library passes them on under one name for JPEG and
// another for old-style JPEG. Other warnings (tags this program does not know, and the
// like) say nothing of the pixels.
// A field whose data cannot be read, the file ending first, the library drops with a
// warning and reads on: a truncated palette picture would be read as grey levels, a
// profile lost. Such a file is damaged, whichever field it cuts.
int KeepWarning(TIFF* tiff, void* user, const char* module, const char* format, va_list arguments) {
    if (module != nullptr &&
        (std::strcmp(module, "JPEGLib") == 0 || std::strcmp(module, "LibJpeg") == 0)) {
        return KeepError(tiff, user, module, format, arguments);
    }
    if (std::string_view(format).starts_with("IO error during reading of")) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        const std::string_view said(text);
        const std::size_t open = said.find('"'), close = said.find('"', open + 1);
        FileOf(user).cutOff = close != std::string_view::npos
                                  ? std::string(said.substr(open + 1, close - open - 1))
                                  : std::string("a field");
    }
    return 1;
}

// What the first directory stores, read from the file before the library reads it (0 and
// nothing where the file cannot say; the library then refuses it). The library replaces a
// palette whose colour map is missing or malformed (a count that does not fit its depth,
// which it only warns of) by grey or RGB without an error, so the Photometric field is
// taken as stored: the indices would be masked as grey levels. And it reads every field
// whole as it opens the file: a tag of a few bytes in a header may claim hundreds of
// megabytes of the file.
struct StoredFields {
    uint16_t photometric = 0;
    // Of the values held outside their entries, but the strips' and tiles' places and sizes,
    // which grow with the picture, not its metadata.
    uint64_t metadataBytes = 0;
};

StoredFields ReadStoredFields(const TiffFile& file) {
    uint8_t header[16];
    if (file.size < sizeof header || ReadExactlyAt(file.fd, 0, header, sizeof header) != 0 ||
        (header[0] != header[1]) || (header[0] != 'I' && header[0] != 'M')) {
        return {};
    }
    const bool little = header[0] == 'I';
    const auto number = [&](const uint8_t* bytes, std::size_t size) {
        uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            value |= uint64_t(bytes[i]) << (8 * (little ? i : size - 1 - i));
        }
        return value;
    };
    const uint64_t version = number(header + 2, 2);
    if (version != 42 && version != 43) {
        return {};
    }
    const bool big = version == 43;  // BigTIFF: 8-byte counts and offsets
    const uint64_t offset = big ? number(header + 8, 8) : number(header + 4, 4);
    const std::size_t countBytes = big ? 8 : 2, entryBytes = big ? 20 : 12, inside = big ? 8 : 4;
    uint8_t count[8];
    if (offset > file.size || ReadExactlyAt(file.fd, offset, count, countBytes) != 0) {
        return {};
    }
    // (the library refuses directories of more entries)
    const uint64_t entries = std::min<uint64_t>(number(count, countBytes), 65535);
    std::vector<uint8_t> table(std::size_t(entries) * entryBytes);
    if (ReadExactlyAt(file.fd, offset + countBytes, table.data(), table.size()) != 0) {
        return {};
    }
    StoredFields stored;
    for (const uint8_t* entry = table.data(); entry < table.data() + table.size();
         entry += entryBytes) {
        const auto tag = uint16_t(number(entry, 2)), type = uint16_t(number(entry + 2, 2));
        const uint64_t values = number(entry + 4, big ? 8 : 4);
        const uint8_t* value = entry + (big ? 12 : 8);
        if (tag == TIFFTAG_PHOTOMETRIC && values == 1) {
            stored.photometric = type == TIFF_SHORT  ? uint16_t(number(value, 2))
                                 : type == TIFF_LONG ? uint16_t(number(value, 4))
                                                     : 0;
        }
        if (tag == TIFFTAG_STRIPOFFSETS || tag == TIFFTAG_STRIPBYTECOUNTS ||
            tag == TIFFTAG_TILEOFFSETS || tag == TIFFTAG_TILEBYTECOUNTS) {
            continue;
        }
        const int size = TIFFDataWidth(TIFFDataType(type));  // 0 for a type the library skips
        const uint64_t bytes = size > 0 && values <= UINT64_MAX / 8 ? values * uint64_t(size) : 0;
        if (bytes > inside) {
            stored.metadataBytes += std::min<uint64_t>(bytes, file.size);
        }
    }
    return stored;
}

Result Unsupported(std::string reason) {
    return Fail(Status::UnsupportedPicture, std::move(reason));
}

class TiffSource final : public RowSource {
public:
    ~TiffSource() override {
        if (tiff_ != nullptr) {
            TIFFClose(tiff_);
        }
    }

    Result Open(UniqueFd fd, uint64_t size, const SourceOptions& options);
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    std::span<const uint8_t> ColourProfile() const override { return profile_; }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result Damaged(const char* otherwise) const;
    bool InFile(uint32_t strile) const;
    bool HoldsRows(uint32_t strile, uint64_t needed) const;
    // Planes decoded: those of the colours and alpha, when each sample has its own.
    uint16_t Planes() const { return planes_ ? colours_ + (alpha_ != 0) : 1; }
    Result Interpret(uint16_t photometric, uint16_t compression);
    Result PlanRowReading(uint32_t width, uint32_t height);
    Result LoadBlock();
    void Unpack(const uint8_t* row, uint32_t first, uint32_t step, uint8_t* codes) const;
    void DecodeRow(uint8_t* into);

    UniqueFd fd_;
    TiffFile file_;  // outlives tiff_, which reads through it
    TIFF* tiff_ = nullptr;
    PictureShape shape_;
    int orientation_ = 1;
    std::span<const uint8_t> profile_;  // held by the library
    uint8_t background_ = 255;

    // The samples.
    uint16_t bits_ = 8;
    uint16_t samples_ = 1;         // a pixel's, in all
    uint16_t colours_ = 1;         // of them, grey or a palette index (1), or RGB (3)
    uint16_t alpha_ = 0;           // EXTRASAMPLE_ASSOCALPHA or _UNASSALPHA, or 0 for none
    bool planes_ = false;          // each sample in a plane of its own
    uint8_t lookUp_[256][3] = {};  // blue, green, red of grey levels or palette entries

    // Blocks: strips, or rows of tiles, of decoded samples, a plane after another.
    bool tiled_ = false;
    bool uncompressed_ = false;
    uint32_t blockRows_ = 0;      // rows in a full block
    std::size_t rowBytes_ = 0;    // of a plane's row in a block
    std::size_t planeBytes_ = 0;  // of a plane's block
    uint32_t tileWidth_ = 0;
    std::size_t tileRowBytes_ = 0;  // of a tile's row in a plane
    std::unique_ptr<uint8_t[]> block_, tile_;
    std::unique_ptr<uint8_t[]> codes_;  // a row's colour and alpha at 8 bits, 4 a pixel

    uint32_t row_ = 0;         // the next row to hand out
    uint32_t blockStart_ = 0;  // the first row in block_
    uint32_t blockEnd_ = 0;    // and the row after its last
    Result failed_;            // once a read fails, every later one does
};

// In the library's words, where it has any.
Result TiffSource::Damaged(const char* otherwise) const {
    return Fail(Status::DamagedPicture, file_.error.empty() ? std::string(otherwise) : file_.error);
}

Result TiffSource::Open(UniqueFd fd, uint64_t size, const SourceOptions& options) {
    fd_ = std::move(fd);
    file_.fd = fd_.Get();
    file_.size = size;
    background_ = BackgroundLevel(options.background);
    const StoredFields stored = ReadStoredFields(file_);
    if (stored.metadataBytes > kMaxMetadataBytes) {
        return TooMuchMetadata("TIFF", "fields");
    }
    TIFFOpenOptions* settings = TIFFOpenOptionsAlloc();
    if (settings == nullptr) {
        return Fail(Status::OutOfMemory);
    }
    TIFFOpenOptionsSetMaxSingleMemAlloc(settings, tmsize_t(kMaxBlockBytes));
    TIFFOpenOptionsSetErrorHandlerExtR(settings, KeepError, &file_);
    TIFFOpenOptionsSetWarningHandlerExtR(settings, KeepWarning, &file_);
    // "C": a picture stored uncompressed in one strip is read as many small ones.
    tiff_ = TIFFClientOpenExt("TIFF file", "rmC", &file_, ReadFile, WriteFile, SeekFile, CloseFile,
                              SizeOfFile, MapFile, UnmapFile, settings);
    TIFFOpenOptionsFree(settings);
    if (tiff_ == nullptr) {
        return Damaged("not a TIFF file");
    }
    // The library reads past fields it cannot make sense of with an error, and so it does
    // in many a good file's private tags; what it needs of the rest is checked below, and
    // the pixels are refused at their first error. A field cut off is not made sense of.
    file_.error.clear();
    if (!file_.cutOff.empty()) {
        return Fail(Status::DamagedPicture, "the file ends before its " + file_.cutOff + " field");
    }
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &height)) {
        return Fail(Status::DamagedPicture, "no width or height");
    }
    if (Result result = CheckDimensions(width, height, options); !result.Ok()) {
        return result;
    }
    if (width == 0 || height == 0) {
        return Fail(Status::DamagedPicture, "no pixels");
    }
    // The rows must also fit the engine's 32-bit sizes, whatever the pixel limit.
    if (uint64_t(RowStride(int32_t(width), 24)) * height > uint64_t(INT32_MAX)) {
        return Fail(Status::TooManyPixels, "more than 2 GiB of decoded rows");
    }
    uint16_t photometric = 0, compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric)) {
        return Fail(Status::DamagedPicture, "no photometric interpretation");
    }
    if (photometric != PHOTOMETRIC_PALETTE && stored.photometric == PHOTOMETRIC_PALETTE) {
        return Fail(Status::DamagedPicture, "no colour map");
    }
    if (Result result = Interpret(photometric, compression); !result.Ok()) {
        return result;
    }
    uncompressed_ = compression == COMPRESSION_NONE;
    if (Result result = PlanRowReading(width, height); !result.Ok()) {
        return result;
    }
    // The same eight orientations as EXIF's, which took them from TIFF.
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_ORIENTATION, &orientation);
    orientation_ = orientation >= 1 && orientation <= 8 ? orientation : 1;
    uint32_t profileBytes = 0;
    const void* profile = nullptr;
    if (TIFFGetField(tiff_, TIFFTAG_ICCPROFILE, &profileBytes, &profile) && profile != nullptr) {
        const bool grey =
            photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
        profile_ = ProfileForRows({static_cast<const uint8_t*>(profile), profileBytes}, grey);
    }
    shape_ = DecodedShape(int32_t(width), int32_t(height));
    return {};
}

// What the samples mean, and whether this program reads them.
Result TiffSource::Interpret(uint16_t photometric, uint16_t compression) {
    // Each codec the library was built with decodes to the samples the fields describe,
    // and the layout below is checked against the library's own sizes.
    if (!TIFFIsCODECConfigured(compression)) {
        const TIFFCodec* codec = TIFFFindCODEC(compression);
        return Unsupported((codec != nullptr ? std::string(codec->name)
                                             : "unknown (" + std::to_string(compression) + ")") +
                           " compression");
    }
    uint16_t format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_BITSPERSAMPLE, &bits_);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samples_);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_PLANARCONFIG, &planar);
    planes_ = planar == PLANARCONFIG_SEPARATE && samples_ > 1;
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_PALETTE:
            colours_ = 1;
            break;
        case PHOTOMETRIC_YCBCR:
            // libjpeg turns it into RGB; uncompressed, it comes in subsampled blocks, and so
            // it does from old-style JPEG, which has no such setting.
            if (compression == COMPRESSION_OJPEG) {
                return Unsupported("YCbCr TIFF in old-style JPEG");
            }
            if (compression != COMPRESSION_JPEG) {
                return Unsupported("YCbCr TIFF without JPEG compression");
            }
            if (planes_) {
                return Unsupported("YCbCr TIFF in planes");
            }
            if (!TIFFSetField(tiff_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) {
                return Damaged("JPEG that cannot be read as RGB");
            }
            [[fallthrough]];
        case PHOTOMETRIC_RGB:
            colours_ = 3;
            break;
        case PHOTOMETRIC_SEPARATED:
            return Unsupported("CMYK TIFF");
        case PHOTOMETRIC_CIELAB:
        case PHOTOMETRIC_ICCLAB:
        case PHOTOMETRIC_ITULAB:
            return Unsupported("Lab TIFF");
        case PHOTOMETRIC_LOGL:
        case PHOTOMETRIC_LOGLUV:
            return Unsupported("LogLuv TIFF");
        default:
            return Unsupported("TIFF of photometric interpretation " + std::to_string(photometric));
    }
    if (format == SAMPLEFORMAT_IEEEFP) {
        return Unsupported("floating-point samples");
    }
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
        return Unsupported(format == SAMPLEFORMAT_INT ? "signed samples" : "complex samples");
    }
    if (samples_ < colours_) {
        return Fail(Status::DamagedPicture, "fewer samples to a pixel than colours");
    }
    const bool palette = photometric == PHOTOMETRIC_PALETTE;
    if (bits_ < 1 || bits_ > 16) {
        return Unsupported(std::to_string(bits_) + "-bit samples");
    }
    if (palette && bits_ > 8) {
        return Unsupported(std::to_string(bits_) + "-bit palette");
    }
    if (bits_ < 8 && samples_ > 1) {
        return Unsupported(std::to_string(bits_) + "-bit samples, " + std::to_string(samples_) +
                           " a pixel");
    }
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_EXTRASAMPLES, &extras, &kinds);
    if (samples_ > colours_ && extras > 0 &&
        (kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA)) {
        alpha_ = kinds[0];
    }

    // Grey levels and palette entries through one table. Samples under 8 bits are scaled
    // to the full range; deeper ones come in by their top 8 bits, as do the palette's.
    const unsigned top = bits_ < 8 ? (1u << bits_) - 1 : 255;
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (palette && !TIFFGetField(tiff_, TIFFTAG_COLORMAP, &red, &green, &blue)) {
        return Fail(Status::DamagedPicture, "no colour map");
    }
    // The map's values are 16 bits, but some writers put 8-bit ones there: a map with no
    // value over 255 is taken for theirs, as libtiff's own RGBA reader takes it (a map of
    // 16 bits that dark would be black throughout).
    bool eightBit = palette;
    for (unsigned code = 0; eightBit && code <= top; ++code) {
        eightBit = std::max({red[code], green[code], blue[code]}) <= 255;
    }
    const unsigned shift = eightBit ? 0 : 8;
    for (unsigned code = 0; code <= top; ++code) {
        if (palette) {
            lookUp_[code][0] = uint8_t(blue[code] >> shift);
            lookUp_[code][1] = uint8_t(green[code] >> shift);
            lookUp_[code][2] = uint8_t(red[code] >> shift);
        } else {
            const auto level = uint8_t(code * 255 / top);
            std::memset(lookUp_[code], photometric == PHOTOMETRIC_MINISWHITE ? 255 - level : level,
                        3);
        }
    }
    return {};
}

// How the decoded samples lie in strips or tiles, and the buffers for one block of them,
// checked against the library's own sizes before anything is allocated.
Result TiffSource::PlanRowReading(uint32_t width, uint32_t height) {
    const uint64_t inPlane = planes_ ? 1 : samples_;
    const uint64_t planeCount = Planes();
    rowBytes_ = std::size_t((uint64_t(width) * inPlane * bits_ + 7) / 8);
    uint64_t libraryBytes = 0, expectedBytes = 0, tileBytes = 0;
    tiled_ = TIFFIsTiled(tiff_) != 0;
    if (tiled_) {
        uint32_t tileHeight = 0;
        TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tileWidth_);
        TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &tileHeight);
        if (tileWidth_ == 0 || tileHeight == 0 || tileWidth_ > std::max(2 * width, kMinTileLimit) ||
            tileHeight > std::max(2 * height, kMinTileLimit)) {
            return Fail(Status::DamagedPicture, "tiles of " + std::to_string(tileWidth_) + " x " +
                                                    std::to_string(tileHeight) +
                                                    " for a picture of " + std::to_string(width) +
                                                    " x " + std::to_string(height));
        }
        // Tiles are put side by side a whole byte at a time.
        if (uint64_t(tileWidth_) * inPlane * bits_ % 8 != 0) {
            return Unsupported("tiles that end within a byte");
        }
        tileRowBytes_ = std::size_t(uint64_t(tileWidth_) * inPlane * bits_ / 8);
        const uint64_t across = (uint64_t(width) + tileWidth_ - 1) / tileWidth_;
        rowBytes_ = std::size_t(across * tileRowBytes_);
        blockRows_ = tileHeight;
        tileBytes = uint64_t(tileRowBytes_) * tileHeight;
        libraryBytes = TIFFTileSize64(tiff_);
        expectedBytes = tileBytes;
    } else {
        uint32_t rowsPerStrip = 0;
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        blockRows_ = std::min(rowsPerStrip, height);
        if (blockRows_ == 0) {
            return Fail(Status::DamagedPicture, "no rows in a strip");
        }
        libraryBytes = TIFFVStripSize64(tiff_, blockRows_);
        expectedBytes = uint64_t(blockRows_) * rowBytes_;
    }
    // Sizes that disagree mean samples laid out otherwise than this program reads them.
    if (libraryBytes != expectedBytes) {
        return Unsupported("samples laid out in an unknown way");
    }
    planeBytes_ = std::size_t(uint64_t(blockRows_) * rowBytes_);
    if (planeCount * planeBytes_ + tileBytes > kMaxBlockBytes) {
        return Fail(Status::TooManyPixels,
                    std::string(tiled_ ? "a row of tiles" : "a strip") + " of " +
                        std::to_string((planeCount * planeBytes_ + tileBytes) >> 20) +
                        " MiB; at most " + std::to_string(kMaxBlockBytes >> 20) + " MiB at once");
    }
    block_.reset(new (std::nothrow) uint8_t[planeCount * planeBytes_]);
    tile_.reset(tileBytes > 0 ? new (std::nothrow) uint8_t[tileBytes] : nullptr);
    codes_.reset(new (std::nothrow) uint8_t[4 * std::size_t(width)]);
    if (!block_ || (tileBytes > 0 && !tile_) || !codes_) {
        return Fail(Status::OutOfMemory);
    }
    return {};
}

// Whether a strip's or a tile's data lies within the file. The library passes over
// offset tables of the wrong length, and would then make up data that is not there.
bool TiffSource::InFile(uint32_t strile) const {
    int missing = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tiff_, strile, &missing);
    const uint64_t bytes = TIFFGetStrileByteCountWithErr(tiff_, strile, &missing);
    return missing == 0 && offset != 0 && bytes != 0 && offset <= file_.size &&
           bytes <= file_.size - offset;
}

// Whether a strip or a tile holds the bytes its rows need: where they are stored as they
// are, the library reads as many from the file whatever its byte count says, and would
// take the next strip's or anything after for them.
bool TiffSource::HoldsRows(uint32_t strile, uint64_t needed) const {
    int missing = 0;
    return !uncompressed_ || TIFFGetStrileByteCountWithErr(tiff_, strile, &missing) >= needed;
}

// Decodes the next strip or row of tiles, of every plane. Only a block decoded whole is
// used: a library error on the way fails it, whatever was decoded.
Result TiffSource::LoadBlock() {
    const uint32_t height = uint32_t(shape_.height);
    blockStart_ = blockEnd_;
    blockEnd_ = std::min(height, blockStart_ + blockRows_);
    for (uint16_t plane = 0; plane < Planes(); ++plane) {
        uint8_t* into = block_.get() + plane * planeBytes_;
        if (!tiled_) {
            const auto bytes = tmsize_t((blockEnd_ - blockStart_) * rowBytes_);
            const uint32_t strip = TIFFComputeStrip(tiff_, blockStart_, plane);
            if (!InFile(strip)) {
                return Fail(Status::DamagedPicture, "a strip outside the file");
            }
            if (!HoldsRows(strip, uint64_t(bytes))) {
                return Fail(Status::DamagedPicture, "a strip shorter than its rows");
            }
            if (TIFFReadEncodedStrip(tiff_, strip, into, bytes) != bytes || !file_.error.empty()) {
                return Damaged("a strip shorter than its rows");
            }
            continue;
        }
        const std::size_t tileBytes = tileRowBytes_ * blockRows_;
        for (uint32_t x = 0; x < uint32_t(shape_.width); x += tileWidth_) {
            const uint32_t tile = TIFFComputeTile(tiff_, x, blockStart_, 0, plane);
            if (!InFile(tile)) {
                return Fail(Status::DamagedPicture, "a tile outside the file");
            }
            if (!HoldsRows(tile, tileBytes)) {
                return Fail(Status::DamagedPicture, "a tile shorter than its rows");
            }
            if (TIFFReadEncodedTile(tiff_, tile, tile_.get(), tmsize_t(tileBytes)) !=
                    tmsize_t(tileBytes) ||
                !file_.error.empty()) {
                return Damaged("a tile shorter than its rows");
            }
            const std::size_t column = x / tileWidth_ * tileRowBytes_;
            for (uint32_t row = 0; row < blockEnd_ - blockStart_; ++row) {
                std::memcpy(into + row * rowBytes_ + column, tile_.get() + row * tileRowBytes_,
                            tileRowBytes_);
            }
        }
    }
    return {};
}

// One sample of each pixel of a row, from index first on in steps of step samples, to
// 8 bits (deeper ones by their top 8 bits; those under 8 bits as they are, for the table).
void TiffSource::Unpack(const uint8_t* row, uint32_t first, uint32_t step, uint8_t* codes) const {
    const auto width = std::size_t(shape_.width);
    switch (bits_) {
        case 16:
            for (std::size_t x = 0, at = first; x < width; ++x, at += step) {
                uint16_t sample;  // the library gives them in this machine's byte order
                std::memcpy(&sample, row + 2 * at, 2);
                codes[4 * x] = uint8_t(sample >> 8);
            }
            break;
        case 8:
            for (std::size_t x = 0, at = first; x < width; ++x, at += step) {
                codes[4 * x] = row[at];
            }
            break;
        default:
            if (bits_ < 8) {
                // One sample a pixel, packed high bit first: from 3 bits on, one may run
                // on into the next byte (read only then: the row's last may end in its own).
                for (std::size_t x = 0; x < width; ++x) {
                    const std::size_t bit = x * bits_, end = bit % 8 + bits_;
                    const unsigned pair =
                        unsigned(row[bit / 8]) << 8 | (end > 8 ? row[bit / 8 + 1] : 0);
                    codes[4 * x] = uint8_t(pair >> (16 - end) & ((1u << bits_) - 1));
                }
                break;
            }
            // 9 to 15 bits, packed high bit first in either byte order: a sample's top 8
            // bits lie in its first two bytes.
            for (std::size_t x = 0, at = first; x < width; ++x, at += step) {
                const std::size_t bit = at * bits_;
                codes[4 * x] = uint8_t((row[bit / 8] << 8 | row[bit / 8 + 1]) >> (8 - bit % 8));
            }
    }
}

// The next row as 24-bit pixels, with zeros to the end of its stride.
void TiffSource::DecodeRow(uint8_t* into) {
    const std::size_t inBlock = std::size_t(row_ - blockStart_) * rowBytes_;
    const auto width = std::size_t(shape_.width);
    uint8_t* codes = codes_.get();
    // Colours in codes 0 to colours_ - 1 of each pixel, alpha in code 3.
    for (uint16_t sample = 0; sample < colours_ + (alpha_ != 0); ++sample) {
        const uint8_t* row = block_.get() + (planes_ ? sample * planeBytes_ : 0) + inBlock;
        Unpack(row, planes_ ? 0 : sample, planes_ ? 1 : samples_,
               codes + (sample == colours_ ? 3 : sample));
    }
    for (std::size_t x = 0; x < width; ++x, codes += 4, into += 3) {
        if (colours_ == 1) {
            std::memcpy(into, lookUp_[codes[0]], 3);
        } else {
            into[0] = codes[2];
            into[1] = codes[1];
            into[2] = codes[0];
        }
        if (alpha_ == EXTRASAMPLE_UNASSALPHA) {
            for (int c = 0; c < 3; ++c) {
                into[c] = Composite(into[c], codes[3], background_);
            }
        } else if (alpha_ == EXTRASAMPLE_ASSOCALPHA) {
            // Colours already multiplied by alpha: the background shows through the rest.
            // Samples brighter than their alpha, which no writer stores, stop at white.
            const unsigned through = (background_ * (255u - codes[3]) + 127) / 255;
            for (int c = 0; c < 3; ++c) {
                into[c] = uint8_t(std::min(255u, into[c] + through));
            }
        }
    }
    std::memset(into, 0, std::size_t(shape_.rowStride) - 3 * width);
}

Result TiffSource::Read(uint8_t* into, std::size_t size) {
    if (!failed_.Ok()) {
        return failed_;
    }
    const auto stride = std::size_t(shape_.rowStride);
    if (size % stride != 0 || size / stride > std::size_t(uint32_t(shape_.height) - row_)) {
        return failed_ = Fail(Status::TruncatedPixels);
    }
    for (std::size_t done = 0; done < size; done += stride, ++row_) {
        if (row_ == blockEnd_) {
            if (Result result = LoadBlock(); !result.Ok()) {
                return failed_ = result;
            }
        }
        DecodeRow(into + done);
    }
    return {};
}

}  // namespace

bool IsTiff(std::span<const uint8_t> head) {
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    if (head.size() < 4) {
        return false;
    }
    const bool little =
        head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0;
    const bool big =
        head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
    return little || big;
}

Result OpenTiffSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source) {
    return OpenAs<TiffSource>(source, std::move(fd), size, options);
}

}  // namespace zel7
