// Reading and writing BMP files, whole or a range of rows at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitmap_layout.h"
#include "bitmap_status.h"
#include "system.h"

namespace zel7 {

// An opened, validated source picture whose rows can be read in any order.
class BitmapSource {
public:
    BitmapError Open(const char* path);
    const BitmapLayout& Layout() const { return layout_; }

    // Fills all kColorTableBytes of palette: the file's entries, then zeros.
    BitmapError ReadColorTable(uint8_t* palette) const;
    // Reads size bytes of the stored rows, starting offset bytes into them.
    BitmapError ReadPixels(uint64_t offset, std::size_t size, uint8_t* pixels) const;

private:
    UniqueFd fd_;
    BitmapLayout layout_;
};

// A destination picture written front to back into a temporary file, which replaces
// the destination only on Commit. Dropped uncommitted, it leaves nothing behind.
class BitmapSink {
public:
    // Creates the temporary file and writes the headers and, for 8 bits, the colour table.
    BitmapError Create(const char* path, const BitmapLayout& layout, const uint8_t* palette);
    // Appends bytes of the stored rows; they must add up to the layout's pixel bytes.
    BitmapError WritePixels(const uint8_t* pixels, std::size_t size);
    BitmapError Commit();

private:
    ReplacementFile file_;
    BitmapLayout layout_;
    uint64_t pixelsWritten_ = 0;
};

// Loads the picture at path into workingImage. On failure returns false, stores the
// reason in *why when given, and leaves workingImage exactly as it was.
bool ReadBitmapFile(const char* path, BitmapError* why = nullptr);

// Writes the picture as an uncompressed BMP with a 40-byte header. The destination is
// either replaced by the complete file or left untouched.
bool WriteBitmapFile(const char* path, const uint8_t* pixels, int32_t width, int32_t height,
                     int32_t bitCount, const uint8_t* palette, BitmapError* why = nullptr);

}  // namespace zel7
