// The one engine between sources and sinks: loading into memory, saving from it and
// masking file to file all write the mask the file's bytes call for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "child_process.h"
#include "mask_file.h"
#include "reference_mask.h"
#include "system.h"
#include "working_image.h"

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
    struct Case {
        const char* name;
        int32_t width, height;
        uint16_t bitCount;
    };
    const Case cases[] = {
        {"fill_bytes", 37, 21, 24},
        {"many_slices", 1001, 700, 24},               // about 3 MiB
        {"rows_longer_than_a_slice", 100000, 3, 24},  // rows cut into pieces
        {"indexed", 333, 100, 8},
        {"high_colour", 99, 40, 16},
        {"true_colour_alpha", 99, 40, 32},
        {"empty", 0, 10, 24},
    };
    testing::ScratchFolder folder;
    for (const Case& c : cases) {
        testing::BmpBuilder picture = testing::ValidPicture(c.width, c.height, c.bitCount);
        if (c.bitCount == 24) {
            picture.pixels = testing::SyntheticPhotoRows(c.width, c.height, Background::NearBlack);
        }
        picture.gapBeforePixels = 6;  // rows start where the header says, not at 54
        const auto source = folder / "source.bmp";
        testing::WriteWholeFile(source, picture.Build());
        const Bytes expected = testing::ReferenceMask(source, Background::NearBlack);
        for (Path path : {Path::WholePicture, Path::Streamed, Path::StreamedOnTwoThreads}) {
            SCOPED_TRACE(std::string(c.name) + " by path " + std::to_string(int(path)));
            const Result result = Mask(path, source, folder / "mask.bmp", Background::NearBlack);
            ASSERT_TRUE(result.Ok()) << Describe(result);
            EXPECT_EQ(testing::ReadWholeFile(folder / "mask.bmp"), expected);
        }
    }
}

TEST(Engine, AWriteFailureInTheMiddleLosesNothing) {
    testing::ScratchFolder folder;
    testing::BmpBuilder picture = testing::ValidPicture(1000, 1000, 24);  // 12 slices
    testing::WriteWholeFile(folder / "source.bmp", picture.Build());
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

TEST(Engine, DashWritesTheMaskToStandardOutput) {
    testing::ScratchFolder folder;
    testing::BmpBuilder picture = testing::ValidPicture(300, 200, 24);
    testing::WriteWholeFile(folder / "source.bmp", picture.Build());
    EXPECT_TRUE(testing::InChild([&] {
        const int out = open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<uint8_t> buffer;
        return dup2(out, STDOUT_FILENO) == STDOUT_FILENO &&
               MaskFile(folder / "source.bmp", "-", {}, buffer).Ok();
    }));
    EXPECT_EQ(testing::ReadWholeFile(folder / "out"),
              testing::ReferenceMask(folder / "source.bmp", Background::NearWhite));
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"out", "source.bmp"}));
}

}  // namespace
}  // namespace zel7
