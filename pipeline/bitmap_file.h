// BMP files as a source and a sink of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "bitmap_layout.h"
#include "row_stream.h"
#include "system.h"
#include "working_image.h"

namespace zel7 {

// An opened, validated BMP file, read front to back.
class BitmapSource : public RowSource {
public:
    Result Open(const std::filesystem::path& path);
    const BitmapLayout& Layout() const { return layout_; }

    const PictureShape& Shape() const override { return layout_; }
    const uint8_t* ColorTable() const override;
    Result Read(uint8_t* into, std::size_t size) override;

private:
    UniqueFd fd_;
    BitmapLayout layout_;
    uint64_t position_ = 0;  // into the rows
    uint8_t colorTable_[kColorTableBytes] = {};
};

// A BMP file written front to back: into a file that replaces the destination only on
// Commit, or, for the destination "-", straight to standard output.
class BitmapSink : public RowSink {
public:
    // Writes the headers and, for 8 bits, the colour table.
    Result Create(const std::filesystem::path& path, const PictureShape& shape,
                  const uint8_t* colorTable);
    Result Write(const uint8_t* bytes, std::size_t size) override;
    Result Commit() override;

private:
    int Fd() const { return toStandardOutput_ ? 1 : file_.Fd(); }

    ReplacementFile file_;
    bool toStandardOutput_ = false;
    BitmapLayout layout_;
    uint64_t bytesWritten_ = 0;
};

}  // namespace zel7
