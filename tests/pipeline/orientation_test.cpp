#include "engine/orientation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "formats/decoded_rows.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

// Rows of random pixels, 37 x 23, handed out in reads of any size, to be seen as
// orientation says.
class TurnedRows : public RowSource {
public:
    TurnedRows(int orientation, int32_t bitCount)
        : orientation_(orientation),
          shape_{37, 23, bitCount, RowStride(37, bitCount), 23 * RowStride(37, bitCount)},
          rows_(test_support::RandomBytes(std::size_t(shape_.pixelBytes),
                                          uint32_t(orientation * 1000 + bitCount))) {}
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    Result Read(uint8_t* into, std::size_t size) override {
        std::memcpy(into, rows_.data() + done_, size);
        done_ += size;
        return {};
    }

private:
    int orientation_;
    PictureShape shape_;
    std::vector<uint8_t> rows_;
    std::size_t done_ = 0;
};

std::vector<uint8_t> Upright(int orientation, int32_t bitCount, std::size_t heldBytes,
                             std::size_t readSize) {
    auto upright = UprightSource(std::make_unique<TurnedRows>(orientation, bitCount), heldBytes);
    std::vector<uint8_t> rows(std::size_t(upright->Shape().pixelBytes));
    for (std::size_t at = 0; at < rows.size(); at += readSize) {
        EXPECT_TRUE(upright->Read(rows.data() + at, std::min(readSize, rows.size() - at)).Ok());
    }
    return rows;
}

// Turned through a temporary file a band at a time, a picture comes out as it does
// turned whole in memory: bands of one row, of a few, and of nearly all, read in sizes
// that do not divide them.
TEST(Orientation, BandsFromATemporaryFileAreThePictureTurnedInMemory) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (const int32_t bitCount : {24, 32}) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + ", " +
                         std::to_string(bitCount) + " bits");
            const std::vector<uint8_t> whole = Upright(orientation, bitCount, 1 << 20, 1000);
            for (const std::size_t held : {std::size_t(0), std::size_t(500), whole.size() - 200}) {
                EXPECT_EQ(Upright(orientation, bitCount, held, 77), whole) << held << " bytes held";
            }
        }
    }
}

// No room for the temporary file: a failure that names where it was to go.
TEST(Orientation, ATemporaryFileThatCannotBeMadeIsReported) {
    const char* kept = std::getenv("TMPDIR");
    const std::string before = kept != nullptr ? kept : "";
    setenv("TMPDIR", "/nonexistent-zel7-folder", 1);
    auto upright = UprightSource(std::make_unique<TurnedRows>(6, 32), 0);
    std::vector<uint8_t> row(std::size_t(upright->Shape().rowStride));
    const Result result = upright->Read(row.data(), row.size());
    kept != nullptr ? setenv("TMPDIR", before.c_str(), 1) : unsetenv("TMPDIR");
    EXPECT_EQ(result.status, Status::CannotCreate);
    EXPECT_EQ(result.detail, "a temporary file in /nonexistent-zel7-folder");
}

}  // namespace
}  // namespace zel7
