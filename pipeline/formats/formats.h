// The formats, each in its own file; only picture_files.cpp sees this list.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <utility>

#include "engine/row_stream.h"
#include "formats/decoded_rows.h"
#include "formats/picture_files.h"
#include "system/system.h"

namespace zel7 {

// Opens a source of type S, handing it out only once it has opened.
template <class S, class... Arguments>
Result OpenAs(std::unique_ptr<RowSource>& source, Arguments&&... arguments) {
    auto opened = std::make_unique<S>();
    if (Result result = opened->Open(std::forward<Arguments>(arguments)...); !result.Ok()) {
        return result;
    }
    source = std::move(opened);
    return {};
}

// Enough of a file's start to tell its format by its signature: for HEIF files, the ftyp
// box's brands.
inline constexpr std::size_t kSignatureBytes = 64;

// Each Open takes a regular file open for reading at any position and its size, and on
// success owns it. Sources other than BMP yield decoded rows (see decoded_rows.h).
bool IsBitmap(std::span<const uint8_t> head);
Result OpenBitmapSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                        std::unique_ptr<RowSource>& source);

bool IsJpeg(std::span<const uint8_t> head);
Result OpenJpegSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source);

bool IsPng(std::span<const uint8_t> head);
Result OpenPngSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                     std::unique_ptr<RowSource>& source);

bool IsTiff(std::span<const uint8_t> head);
Result OpenTiffSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source);

bool IsHeif(std::span<const uint8_t> head);
Result OpenHeifSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source);

bool IsWebp(std::span<const uint8_t> head);
Result OpenWebpSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source);

// A PNG taking rows top row first: for a two-tone mask masked 24-bit rows (every
// pixel 0, 0, 0 or 255, 255, 255), white where they are white; for a grey mask grey
// 24-bit rows; for a cut-out 32-bit rows of red, green, blue and alpha.
Result CreatePngSink(const std::filesystem::path& path, const PictureShape& shape,
                     PngContent content, std::unique_ptr<RowSink>& sink,
                     const std::filesystem::path& inside = {});

// A baseline JPEG taking 24-bit rows of red, green and blue, top row first, at quality
// (1 to 100).
Result CreateJpegSink(const std::filesystem::path& path, const PictureShape& shape, int quality,
                      std::unique_ptr<RowSink>& sink, const std::filesystem::path& inside = {});

// A WebP taking rows top row first, as a PNG sink does: grey masks and cut-outs, flattened
// or not.
Result CreateWebpSink(const std::filesystem::path& path, const PictureShape& shape,
                      const SinkOptions& options, std::unique_ptr<RowSink>& sink);

}  // namespace zel7
