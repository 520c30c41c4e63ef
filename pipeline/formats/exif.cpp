#include "formats/exif.h"

namespace zel7 {

int TiffOrientation(std::span<const uint8_t> tiff) {
    const uint64_t size = tiff.size();
    if (size < 8) {
        return 1;
    }
    const bool bigEndian = tiff[0] == 'M';
    auto get = [&](uint64_t at, int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= uint32_t(tiff[at + uint64_t(bigEndian ? bytes - 1 - i : i)]) << (8 * i);
        }
        return value;
    };
    if (tiff[0] != tiff[1] || (tiff[0] != 'M' && tiff[0] != 'I') || get(2, 2) != 42) {
        return 1;
    }
    const uint64_t directory = get(4, 4);
    if (directory + 2 > size || directory + 2 + 12 * uint64_t(get(directory, 2)) > size) {
        return 1;
    }
    for (uint64_t entry = directory + 2, count = get(directory, 2); count > 0;
         --count, entry += 12) {
        if (get(entry, 2) == 0x0112) {
            constexpr uint32_t kShort = 3;  // one unsigned 16-bit value, as EXIF records it
            const uint32_t value = get(entry + 8, 2);
            return get(entry + 2, 2) == kShort && get(entry + 4, 4) == 1 && value >= 1 && value <= 8
                       ? int(value)
                       : 1;
        }
    }
    return 1;
}

}  // namespace zel7
