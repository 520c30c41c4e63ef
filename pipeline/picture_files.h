// Opening a picture file as a source of rows, and creating one as a sink: the one
// place that knows which formats there are.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "decoded_rows.h"
#include "row_stream.h"

namespace zel7 {

// BMP, JPEG, PNG or TIFF, told by the file's first bytes, not its name; "-" is
// standard input. BMP rows come as stored; the others' as decoded_rows.h says.
Result OpenPictureSource(const std::filesystem::path& path, const SourceOptions& options,
                         std::unique_ptr<RowSource>& source);

enum class PictureFormat { Bmp, Png };

// A BMP of the shape given, or a 1-bit PNG mask (which takes masked 24-bit rows). The
// destination "-" is standard output.
Result CreatePictureSink(const std::filesystem::path& path, PictureFormat format,
                         const PictureShape& shape, const uint8_t* colorTable,
                         std::unique_ptr<RowSink>& sink);

// What a destination's name asks for: PNG for .png, BMP for .bmp, .dib or no
// extension (any case); nothing for other names.
std::optional<PictureFormat> FormatForName(const std::filesystem::path& path);

}  // namespace zel7
