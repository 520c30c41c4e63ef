// What a correct program writes for a BMP file, worked out from the file's bytes by
// the rules alone, and the checks that the program's paths read and refuse pictures of
// every format alike and write exactly that.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_pictures.h"

namespace zel7::test_support {

// The mask file for an accepted BMP file: 40-byte header, full colour table for 8
// bits, rows masked when the picture is 24-bit and copied otherwise.
Bytes ReferenceMask(const Bytes& file, Background background);

// Runs file through the whole-picture path (load, mask, save) and the streaming path
// (MaskFile, to a BMP, to a PNG and refined to a cut-out) in folder, on background. All
// must refuse it with the same reason, writing nothing and leaving a picture held before
// as it was, or all must write a mask: that of the rows in decoded when given, else for a
// BMP file its reference mask, for others the same bytes by both paths; and a mask of
// 24-bit rows the same again as a 1-bit PNG. Returns the first disagreement.
std::optional<std::string> CheckBothPaths(const Bytes& file, const std::filesystem::path& folder,
                                          Background background = Background::NearWhite,
                                          const Bytes* decoded = nullptr);

// A 24-bit BMP of width x height pixels; colour writes blue, green and red of each,
// counted along the rows from the top.
BmpBuilder Picture(int32_t width, int32_t height,
                   const std::function<void(std::size_t pixel, uint8_t* bgr)>& colour);

// Reads file, written into folder, on background straight from its source: the rows must
// be within tolerance of expected's, padded with zeros, and a pixel limit of the picture's
// size must let it through, and one less refuse it (but for BMP files, which take no
// limit); then every path must make of the file the masks of the rows read, as
// CheckBothPaths says. Returns the first thing found wrong.
std::optional<std::string> CheckDecodes(const Bytes& file, const BmpBuilder& expected,
                                        Background background, const std::filesystem::path& folder,
                                        int tolerance = 0);

// Files, each with how Describe must begin to say why every path refuses it ("success"
// for one they must all accept).
using Refusals = std::vector<std::pair<Bytes, std::string>>;

// The files that CheckBothPaths finds wrong, or that are not refused for their reason: the
// size of each, and what was found instead.
std::vector<std::string> WrongRefusals(const Refusals& files);

}  // namespace zel7::test_support
