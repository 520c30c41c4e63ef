// What a correct program writes for a BMP file, worked out from the file's bytes by
// the rules alone, and the check that both of the program's paths write exactly that.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "test_pictures.h"

namespace zel7::testing {

// The mask file for an accepted BMP file: 40-byte header, full colour table for 8
// bits, rows masked when the picture is 24-bit and copied otherwise.
Bytes ReferenceMask(const Bytes& file, Background background);
Bytes ReferenceMask(const std::filesystem::path& file, Background background);

// Runs file through the whole-picture path (load, mask, save) and the streaming path
// (MaskFile, to a BMP and to a PNG) in folder. All must refuse it with the same reason,
// writing nothing and leaving the working image alone, or all must write a mask: for a
// BMP file its reference mask, for others the same bytes by both paths. Returns the
// first disagreement.
std::optional<std::string> CheckBothPaths(const Bytes& file, const std::filesystem::path& folder);

}  // namespace zel7::testing
