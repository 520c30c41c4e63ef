// The one engine between sources and sinks: loading into memory, saving from it and
// masking file to file all write the mask the file's bytes call for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "child_process.h"
#include "encode_png.h"
#include "engine/mask_file.h"
#include "engine/orientation.h"
#include "engine/working_image.h"
#include "reference_mask.h"
#include "system/system.h"

namespace zel7 {
namespace {

using testing::Bytes;

enum class Path { WholePicture, Streamed, StreamedOnTwoThreads };

Result Mask(Path path, const std::filesystem::path& source, const std::filesystem::path& dest,
            Background background) {
    if (path == Path::WholePicture) {
        workingImage = WorkingImage{};
        if (Result result = LoadPicture(source, workingImage); !result.Ok()) {
            return result;
        }
        background == Background::NearWhite ? MaskNearWhite() : MaskNearBlack();
        Result result =
            SavePicture(dest, workingImage.pixels, workingImage.width, workingImage.height,
                        workingImage.bitCount, workingImage.palette);
        ReleasePictureBuffers();
        return result;
    }
    std::vector<uint8_t> buffer;
    MaskOptions options{.background = background};
    options.writing = path == Path::Streamed ? SliceWriting::Inline : SliceWriting::OnSecondThread;
    Result result = MaskFile(source, dest, options, buffer);
    EXPECT_LE(buffer.capacity(), 3 * kSliceBytes);  // memory does not grow with the picture
    return result;
}

TEST(Engine, EveryPathWritesTheReferenceMask) {
    const std::tuple<const char*, int32_t, int32_t, uint16_t> cases[] = {
        {"fill_bytes", 37, 21, 24},
        {"many_slices", 1001, 700, 24},               // about 3 MiB
        {"rows_longer_than_a_slice", 100000, 3, 24},  // rows cut into pieces
        {"indexed", 333, 100, 8},
        {"high_colour", 99, 40, 16},
        {"true_colour_alpha", 99, 40, 32},
        {"empty", 0, 10, 24},
    };
    testing::ScratchFolder folder;
    for (const auto& [name, width, height, bitCount] : cases) {
        testing::BmpBuilder picture = testing::ValidPicture(width, height, bitCount);
        if (bitCount == 24) {
            picture.pixels = testing::SyntheticPhotoRows(width, height, Background::NearBlack);
        }
        picture.gapBeforePixels = 6;  // rows start where the header says, not at 54
        const auto source = folder / "source.bmp";
        testing::WriteWholeFile(source, picture.Build());
        const Bytes expected = testing::ReferenceMask(source, Background::NearBlack);
        for (Path path : {Path::WholePicture, Path::Streamed, Path::StreamedOnTwoThreads}) {
            SCOPED_TRACE(std::string(name) + " by path " + std::to_string(int(path)));
            const Result result = Mask(path, source, folder / "mask.bmp", Background::NearBlack);
            ASSERT_TRUE(result.Ok()) << Describe(result);
            EXPECT_EQ(testing::ReadWholeFile(folder / "mask.bmp"), expected);
        }
    }
}

TEST(Engine, AWriteFailureInTheMiddleLosesNothing) {
    testing::ScratchFolder folder;
    testing::WriteWholeFile(folder / "source.bmp",
                            testing::ValidPicture(1000, 1000, 24).Build());  // 12 slices
    const Bytes old = {'o', 'l', 'd'};
    for (Path path : {Path::WholePicture, Path::Streamed, Path::StreamedOnTwoThreads}) {
        for (bool existing : {false, true}) {
            SCOPED_TRACE(std::to_string(int(path)) + (existing ? " over a file" : " new"));
            std::filesystem::remove(folder / "dest.bmp");
            if (existing) {
                testing::WriteWholeFile(folder / "dest.bmp", old);
            }
            const auto before = folder.Entries();
            EXPECT_TRUE(testing::InChild([&] {
                CleanUpOnFatalSignals();  // past the limit, write fails instead of killing
                testing::LimitFileSize(1 << 20);
                const Result result =
                    Mask(path, folder / "source.bmp", folder / "dest.bmp", Background::NearWhite);
                return Describe(result) == "cannot write file (File too large)";
            }));
            EXPECT_EQ(folder.Entries(), before);
            if (existing) {
                EXPECT_EQ(testing::ReadWholeFile(folder / "dest.bmp"), old);
            }
        }
    }
}

// Standard output gets the mask the file would, whatever order the source's rows come
// in, and nothing at all for a source refused half-way.
TEST(Engine, DashWritesTheMaskToStandardOutputOnlyWhenWhole) {
    testing::ScratchFolder folder;
    const Bytes bottomUp = testing::ValidPicture(300, 200, 24).Build();
    testing::PngPicture topDown{.width = 300, .height = 200};
    topDown.samples.assign(300 * 200 * 3, 90);
    const Bytes png = testing::EncodePng(topDown);
    Bytes damaged = png;
    damaged[damaged.size() - 13] ^= 1;  // the pixels' checksum, found after every row
    const std::pair<const char*, Bytes> sources[] = {
        {"bottom-up.bmp", bottomUp},
        {"top-down.png", png},
        {"cut.bmp", Bytes(bottomUp.begin(), bottomUp.end() - 10)},
        {"cut.png", damaged},
    };
    for (const auto& [name, bytes] : sources) {
        for (const PictureFormat format : {PictureFormat::Bmp, PictureFormat::Png}) {
            SCOPED_TRACE(std::string(name) +
                         (format == PictureFormat::Bmp ? " to BMP" : " to PNG"));
            testing::WriteWholeFile(folder / name, bytes);
            std::vector<uint8_t> buffer;
            const bool whole = std::string(name).rfind("cut", 0) != 0;
            ASSERT_EQ(MaskFile(folder / name, folder / "file", {.format = format}, buffer).Ok(),
                      whole);
            EXPECT_TRUE(testing::InChild([&] {
                const int out = open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                return dup2(out, STDOUT_FILENO) == STDOUT_FILENO &&
                       MaskFile(folder / name, "-", {.format = format}, buffer).Ok() == whole;
            }));
            EXPECT_EQ(testing::ReadWholeFile(folder / "out"),
                      whole ? testing::ReadWholeFile(folder / "file") : Bytes{});
            for (const char* made : {"file", "out", name}) {
                std::filesystem::remove(folder / made);
            }
        }
    }
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{});
}

// Standard input is judged by its first bytes as soon as they are in, and not taken
// past its bound: a foreign or endless stream never fills the disk.
TEST(Engine, StandardInputIsJudgedByItsFirstBytesAndBounded) {
    const auto startsAsBitmap = [](std::span<const uint8_t> head) {
        return head.size() >= 2 && head[0] == 'B' && head[1] == 'M';
    };
    const std::tuple<const char*, std::string, int> cases[] = {
        {"a picture", "BM" + std::string(98, 'x'), 0},
        {"shorter than the probe", "BM", 0},
        {"foreign", "MB" + std::string(98, 'x'), EILSEQ},
        {"empty", "", EILSEQ},
        {"cut inside the probe", "B", EILSEQ},
        {"past the bound", "BM" + std::string(99, 'x'), EFBIG},
    };
    for (const auto& [name, text, error] : cases) {
        SCOPED_TRACE(name);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], text.data(), text.size()), ssize_t(text.size()));
        close(ends[1]);
        UniqueFd in(ends[0]), spooled;
        uint64_t size = 0;
        EXPECT_EQ(SpoolToTemporaryFile(in.Get(), 4, startsAsBitmap, 100, spooled, size), error);
        if (error == 0) {
            std::string back(text.size(), '\0');
            EXPECT_EQ(size, text.size());
            EXPECT_EQ(ReadExactlyAt(spooled.Get(), 0, back.data(), back.size()), 0);
            EXPECT_EQ(back, text);
        }
    }
}

// Rows of a 3 x 2 picture as decoded, all object but one background pixel.
class OnePixelSource : public RowSource {
public:
    OnePixelSource(int orientation, int32_t x, int32_t y) : orientation_(orientation) {
        std::memset(rows_, 90, 9), std::memset(rows_ + 12, 90, 9);  // row padding stays 0
        std::memset(rows_ + y * 12 + x * 3, 250, 3);
    }
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    Result Read(uint8_t* into, std::size_t size) override {
        std::memcpy(into, rows_ + position_, size);
        position_ += size;
        return {};
    }

private:
    PictureShape shape_{3, 2, 24, 12, 24};
    uint8_t rows_[24] = {};
    std::size_t position_ = 0;
    int orientation_;
};

// Where the corner pixel (0, 0) and its right neighbour (1, 0) are seen, as EXIF
// defines the orientations by where the first row and column go.
TEST(Engine, MasksAreTurnedUprightAsTheOrientationSays) {
    using Point = std::pair<int32_t, int32_t>;
    const std::tuple<int, int32_t, Point, Point> cases[] = {
        {1, 3, {0, 0}, {1, 0}}, {2, 3, {2, 0}, {1, 0}}, {3, 3, {2, 1}, {1, 1}},
        {4, 3, {0, 1}, {1, 1}}, {5, 2, {0, 0}, {0, 1}}, {6, 2, {1, 0}, {1, 1}},
        {7, 2, {1, 2}, {1, 1}}, {8, 2, {0, 2}, {0, 1}},
    };
    for (const auto& [orientation, seenWidth, corner, neighbour] : cases) {
        for (auto [stored, expected] : {std::pair{Point{0, 0}, corner}, {Point{1, 0}, neighbour}}) {
            auto source = UprightMaskSource(
                std::make_unique<OnePixelSource>(orientation, stored.first, stored.second),
                Background::NearWhite);
            const PictureShape& shape = source->Shape();
            ASSERT_EQ(shape.width, seenWidth) << orientation;
            std::vector<uint8_t> rows(std::size_t(shape.pixelBytes));
            ASSERT_TRUE(source->Read(rows.data(), rows.size()).Ok());
            for (int32_t y = 0; y < shape.height; ++y) {
                for (int32_t x = 0; x < shape.width; ++x) {
                    const bool background = std::pair{x, y} == expected;
                    EXPECT_EQ(rows[std::size_t(y * shape.rowStride + 3 * x)], background ? 255 : 0)
                        << "orientation " << orientation << " at " << x << "," << y;
                }
            }
        }
    }
}

}  // namespace
}  // namespace zel7
