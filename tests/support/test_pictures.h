// Building BMP files byte by byte, synthetic photos, and files in scratch folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace zel7::test_support
