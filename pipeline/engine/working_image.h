// The picture being processed and the paths of the current job, shared by the
// reader, the thresholds, the writer and the mask commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "engine/row_stream.h"
#include "formats/decoded_rows.h"
#include "system/result.h"

namespace zel7 {

// Capacity of a narrow path buffer, terminator included.
inline constexpr std::size_t kMaxPathBytes = 260;

// Size of the colour table of an 8-bit picture: 256 entries of blue, green, red, reserved.
inline constexpr int32_t kColorTableEntries = 256;
inline constexpr std::size_t kColorTableBytes = kColorTableEntries * 4;

struct WorkingImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitCount = 0;
    uint8_t* palette = nullptr;  // kColorTableBytes, meaningful only while bitCount is 8
    uint8_t* pixels = nullptr;   // height rows of RowStride(width, bitCount) bytes, file order
    char sourcePath[kMaxPathBytes] = {};
    char destPath[kMaxPathBytes] = {};
};

// The one process-wide picture record.
extern WorkingImage workingImage;

// Releases the pixel buffer and the colour table, and nulls the pointers. Dimensions
// and depth keep their values.
void ReleasePictureBuffers(WorkingImage& image = workingImage);

// Loads the picture at path into image, releasing the buffers it held: BMP pictures as
// stored (or, with trueColour, as 24-bit pixels), others decoded to 24-bit pixels and
// turned upright. On failure the image is left exactly as it was.
Result LoadPicture(const std::filesystem::path& path, WorkingImage& image,
                   const SourceOptions& options = {}, bool trueColour = false);

// Writes rows held in memory as a picture file: a 1-bit PNG mask when the name ends in
// .png (the rows must be a 24-bit mask), a BMP otherwise. The destination is either
// replaced by the complete file or left untouched; with no pixels, nothing is touched.
Result SavePicture(const std::filesystem::path& path, const uint8_t* pixels, int32_t width,
                   int32_t height, int32_t bitCount, const uint8_t* palette);

// The same two for the mask commands, on the process-wide image, true for success.
bool ReadBitmapFile(const char* path);
bool WriteBitmapFile(const char* path, const uint8_t* pixels, int32_t width, int32_t height,
                     int32_t bitCount, const uint8_t* palette);

}  // namespace zel7
