// BMP files as a source and a sink of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "engine/row_stream.h"
#include "engine/working_image.h"
#include "formats/bitmap_layout.h"
#include "formats/decoded_rows.h"
#include "system/system.h"

namespace zel7 {

// An opened, validated BMP file, read front to back.
class BitmapSource : public RowSource, public StoredRows {
public:
    // Takes a regular file open for reading and its size; transparency shows the
    // background of options.
    Result Open(UniqueFd fd, uint64_t fileSize, const SourceOptions& options);
    const BitmapLayout& Layout() const { return layout_; }
    StoredRows* Stored() override { return this; }

    const PictureShape& Shape() const override { return trueColour_ ? decoded_ : layout_; }
    const uint8_t* ColorTable() const override;
    RowOrder Order() const override { return order_; }
    // Rows are read where they lie, so either order can be had.
    bool SetOrder(RowOrder order) override;
    // 8-bit pictures by their colour table, 16-bit ones by their 5-bit channels widened,
    // 32-bit ones composited by their fourth byte where the header says it is alpha, and
    // without it otherwise; within the size limits of decoded pictures.
    bool SetTrueColour() override;
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result ReadStored(uint64_t position, uint8_t* into, std::size_t size) const;
    void WidenRow(const uint8_t* row, uint8_t* into) const;

    UniqueFd fd_;
    BitmapLayout layout_;
    PictureShape decoded_;  // the rows' shape as 24-bit pixels
    RowOrder order_ = RowOrder::BottomUp;
    bool trueColour_ = false;
    std::vector<uint8_t> storedRow_;
    uint64_t position_ = 0;  // into the rows as they are handed out
    uint8_t colorTable_[kColorTableBytes] = {};
    uint8_t background_ = 255;  // the level transparency shows
};

// A BMP file: into a file that replaces the destination only on Commit, or, for the
// destination "-", to standard output on Commit.
class BitmapSink : public RowSink {
public:
    // Writes the headers and, for 8 bits, the colour table.
    // inside: as for OutputFile.
    Result Create(const std::filesystem::path& path, const PictureShape& shape,
                  const uint8_t* colorTable, const std::filesystem::path& inside = {});
    bool Accepts(RowOrder order) const override;
    void SetOrder(RowOrder order) override;
    Result Write(const uint8_t* bytes, std::size_t size) override;
    Result Commit() override;

private:
    OutputFile file_;
    BitmapLayout layout_;
    RowOrder order_ = RowOrder::BottomUp;
    uint64_t bytesWritten_ = 0;
};

}  // namespace zel7
