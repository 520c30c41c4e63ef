// Masking a file straight into another, a slice at a time, in constant memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "row_stream.h"

namespace zel7 {

// Writes the mask of the picture at source to destination ("-": standard output), as
// reading it into the working image, applying the threshold and writing it out would.
// The destination is replaced only by a complete file. buffer holds the slices.
Result MaskFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                Background background, std::vector<uint8_t>& buffer,
                SliceWriting writing = SliceWriting::Inline);

}  // namespace zel7
