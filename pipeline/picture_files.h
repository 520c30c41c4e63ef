// Opening a picture file as a source of rows, and creating one as a sink: the one
// place that knows which formats there are.
#pragma once

#include <filesystem>
#include <memory>

#include "row_stream.h"

namespace zel7 {

Result OpenPictureSource(const std::filesystem::path& path, std::unique_ptr<RowSource>& source);

// The destination "-" is standard output.
Result CreatePictureSink(const std::filesystem::path& path, const PictureShape& shape,
                         const uint8_t* colorTable, std::unique_ptr<RowSink>& sink);

}  // namespace zel7
