// Building BMP files byte by byte, and files in scratch folders; what a correct program
// writes for a BMP file, worked out from the file's bytes by the rules alone, and the checks
// that the program's paths read and refuse pictures of every format alike and write that.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/options.h"
#include "engine/row_stream.h"
#include "mask/threshold.h"

namespace zel7::test_support {

using Bytes = std::vector<uint8_t>;

// Every header field of a BMP file, settable one at a time. Build() lays them out
// with no regard for whether they make sense, which is what hostile inputs need.
struct BmpBuilder {
    uint8_t type0 = 'B', type1 = 'M';
    // bfSize 0: computed; bfOffBits 0: straight after headers, masks and colour table.
    uint32_t bfSize = 0, bfReserved = 0, bfOffBits = 0;
    uint32_t biSize = 40;
    int32_t biWidth = 0, biHeight = 0;
    uint16_t biPlanes = 1, biBitCount = 24;
    uint32_t biCompression = 0, biSizeImage = 0;
    uint32_t density = 2835;  // of both axes: nonzero, to show they are ignored
    uint32_t biClrUsed = 0, biClrImportant = 0;
    std::vector<uint32_t> masks;      // written after a 40-byte header when not empty
    Bytes colorTable;                 // written after the header (and masks)
    std::size_t gapBeforePixels = 0;  // extra bytes of 0xEE before the rows
    Bytes pixels;

    Bytes Build() const;
};

// A valid picture of the given depth with deterministic pixel values, 24-bit ones with
// every byte at or beside a threshold (inclusive, of all three channels) or an end of the
// scale, so that their masks hold background and object on either side; 8-bit pictures
// get a 256-entry colour table.
BmpBuilder ValidPicture(int32_t width, int32_t height, uint16_t bitCount);

// Random bytes from a fixed seed.
Bytes RandomBytes(std::size_t size, uint32_t seed);

Bytes ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const Bytes& bytes);

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Names of the entries in the folder, sorted; catches stray temporary files.
    std::vector<std::string> Entries() const;

private:
    std::filesystem::path path_;
};

// The mask file for an accepted BMP file: 40-byte header, full colour table for 8
// bits, rows masked when the picture is 24-bit and copied otherwise.
Bytes ReferenceMask(const Bytes& file, Background background);

// Runs file through the whole-picture path (load, mask, save) and the streaming path
// (MaskFile, to a BMP, to a PNG, refined to a cut-out as PNG and as WebP) in a scratch
// folder, on background. All must refuse it with the same reason, writing nothing and
// leaving a picture held before as it was, or all must write a mask: that of the rows in
// decoded when given, else for a BMP file its reference mask, for others the same bytes by
// both paths; and a mask of 24-bit rows the same again as a 1-bit PNG. Returns the first
// disagreement; said, when given, gets what the streaming path to a BMP said.
std::optional<std::string> CheckBothPaths(const Bytes& file,
                                          Background background = Background::NearWhite,
                                          const Bytes* decoded = nullptr,
                                          std::string* said = nullptr);

// A 24-bit BMP of width x height pixels; colour writes blue, green and red of each,
// counted along the rows from the top.
BmpBuilder Picture(int32_t width, int32_t height,
                   const std::function<void(std::size_t pixel, uint8_t* bgr)>& colour);

// Reads file on background straight from its source: the rows must be within tolerance of
// expected's, padded with zeros, and a pixel limit of the picture's size must let it
// through, and one less refuse it (but for BMP files, which take no limit); then every path
// must make of the file the masks of the rows read, as CheckBothPaths says. Returns the
// first thing found wrong.
std::optional<std::string> CheckDecodes(const Bytes& file, const BmpBuilder& expected,
                                        Background background, int tolerance = 0);

// Files, each with how Describe must begin to say why every path refuses it ("success"
// for one they must all accept).
using Refusals = std::vector<std::pair<Bytes, std::string>>;

// The files that CheckBothPaths finds wrong, or that are not refused for their reason: the
// size of each, and what was found instead.
std::vector<std::string> WrongRefusals(const Refusals& files);

// Rows held in memory, handed out in reads of any size, to be seen as orientation says; a
// read that starts at or past byte failAt fails.
class RowsInMemory : public RowSource {
public:
    RowsInMemory(PictureShape shape, Bytes rows, int orientation = 1, std::size_t failAt = SIZE_MAX)
        : shape_(shape), rows_(std::move(rows)), orientation_(orientation), failAt_(failAt) {}
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    PictureShape shape_;
    Bytes rows_;
    int orientation_;
    std::size_t failAt_, done_ = 0;
};

// Every byte of the source's rows, read in pieces of piece bytes (the last one shorter);
// a read that fails throws, failing the test.
Bytes ReadAll(RowSource& source, std::size_t piece);

// Options as zel7-mask takes them, without their dashes ("white cutout margin=7.5%"), read
// through the library's table as every front end reads its own, and checked together; an
// option refused throws, failing the test.
MaskSettings Settings(const std::string& words);

// Masks source into destination as zel7-mask does with the options words give (as Settings
// reads them), in the format the destination's name says; what MaskFile says.
Result MaskAs(const std::string& words, const std::filesystem::path& source,
              const std::filesystem::path& destination);

}  // namespace zel7::test_support
