// The orientation tag of EXIF metadata, which JPEG files keep in an APP1 segment and
// WebP files in an EXIF chunk: the same TIFF structure in both.
#pragma once

#include <cstdint>
#include <span>

namespace zel7 {

// The orientation (1 to 8) that the first directory of a TIFF structure records, or 1
// where there is none or it cannot be trusted. The offsets come from the file, so each
// is checked before it is followed.
int TiffOrientation(std::span<const uint8_t> tiff);

}  // namespace zel7
