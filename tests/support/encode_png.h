// Writing PNG files for the tests, with the library the program reads them with, and
// reading back the masks the program writes.
#pragma once

#include <cstdint>
#include <vector>

#include "test_pictures.h"

namespace zel7::test_support {

// Colour types as PNG numbers them.
enum PngColour : uint8_t { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6 };

// A picture by its samples, one for each channel of each pixel, rows top first, at
// their stored values (palette indices, 1-bit 0 or 1, 16-bit whole): packing, byte
// order and interlacing are the encoder's business.
struct PngPicture {
    uint32_t width = 0, height = 0;
    uint8_t colour = kRgb, bitDepth = 8;
    bool interlaced = false;
    std::vector<uint16_t> samples{};
    Bytes palette{};                       // red, green, blue for each entry
    std::vector<uint16_t> transparency{};  // tRNS: entries' alphas, or the grey or RGB key

    int Channels() const {
        return colour == kRgb ? 3 : colour == kGreyAlpha ? 2 : colour == kRgba ? 4 : 1;
    }
};

// Throws, failing the test, when the library refuses the picture.
Bytes EncodePng(const PngPicture& picture);

// A mask in a PNG file, as a grey picture: its samples as the library gives them at 8 bits
// (0 or 255 for a 1-bit mask), its bit depth as stored; throws when the library refuses
// the file.
PngPicture DecodePng(const Bytes& file);

// The file with its header claiming another size, its checksum made to match.
Bytes ClaimSize(Bytes file, uint32_t width, uint32_t height);

// Makes the checksum of the chunk whose type is at byte `type` match its contents.
void Rechecksum(Bytes& file, std::size_t type);

}  // namespace zel7::test_support
