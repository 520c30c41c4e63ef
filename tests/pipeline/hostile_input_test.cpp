// Every header field at its boundary values, sizes that wrap, offsets everywhere and
// files cut at every header boundary: each must be refused, or read and masked into
// exactly the bytes an independent reading of the file gives. Runs under a memory
// limit, so a huge declared size that were allocated would fail the test.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cstring>
#include <optional>

#include "bitmap_file.h"
#include "child_process.h"
#include "mask_file.h"
#include "test_pictures.h"
#include "threshold.h"
#include "working_image.h"

namespace zel7 {
namespace {

using testing::BmpBuilder;
using testing::Bytes;

uint32_t Get32(const Bytes& file, std::size_t at) {
    return uint32_t(file[at]) | uint32_t(file[at + 1]) << 8 | uint32_t(file[at + 2]) << 16 |
           uint32_t(file[at + 3]) << 24;
}

void Put32(Bytes& out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = uint8_t(value >> (8 * i));
    }
}

// The mask a correct reader and writer produce for an accepted file, worked out from
// the file's bytes by the rules alone.
Bytes ReferenceMask(const Bytes& file, Background background) {
    const auto width = int32_t(Get32(file, 18)), height = int32_t(Get32(file, 22));
    const int32_t bitCount = file[28] | file[29] << 8;
    const std::size_t stride = std::size_t(RowStride(width, bitCount));
    const std::size_t pixelBytes = stride * std::size_t(height);
    const std::size_t front = bitCount == 8 ? 1078 : 54;

    Bytes out(front + pixelBytes, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out, 2, uint32_t(out.size()));
    Put32(out, 10, uint32_t(front));
    Put32(out, 14, 40);
    Put32(out, 18, uint32_t(width));
    Put32(out, 22, uint32_t(height));
    out[26] = 1;
    out[28] = uint8_t(bitCount);
    Put32(out, 34, uint32_t(pixelBytes));
    if (bitCount == 8) {
        const uint32_t used = Get32(file, 46) == 0 ? 256 : Get32(file, 46);
        const std::size_t table = 14 + Get32(file, 14);
        std::memcpy(out.data() + 54, file.data() + table, used * 4);
    }
    std::memcpy(out.data() + front, file.data() + Get32(file, 10), pixelBytes);
    if (bitCount == 24) {
        for (std::size_t row = 0; row < std::size_t(height); ++row) {
            uint8_t* p = out.data() + front + row * stride;
            for (int32_t x = 0; x < width; ++x, p += 3) {
                const bool isBackground = background == Background::NearWhite
                                              ? p[0] >= 240 && p[1] >= 240 && p[2] >= 240
                                              : p[0] <= 20 && p[1] <= 20 && p[2] <= 20;
                std::memset(p, isBackground ? 255 : 0, 3);
            }
        }
    }
    return out;
}

// Runs both readers on the file; returns a description of the first disagreement
// with the rules, or nothing when all is well.
std::optional<std::string> Check(const Bytes& file, const testing::ScratchFolder& folder) {
    const auto source = folder / "hostile.bmp";
    const auto whole = folder / "whole.bmp";
    const auto streamed = folder / "streamed.bmp";
    testing::WriteWholeFile(source, file);
    std::filesystem::remove(whole);
    std::filesystem::remove(streamed);

    workingImage = WorkingImage{};
    BitmapError readError;
    const bool read = ReadBitmapFile(source.c_str(), &readError);
    if (read) {
        MaskNearWhite();
        const bool written =
            WriteBitmapFile(whole.c_str(), workingImage.pixels, workingImage.width,
                            workingImage.height, workingImage.bitCount, workingImage.palette);
        ReleasePictureBuffers();
        if (!written) {
            return "accepted but not written";
        }
    } else if (workingImage.pixels != nullptr || workingImage.width != 0) {
        return "refused but changed the working image";
    }
    std::vector<uint8_t> buffer;
    const BitmapError streamError =
        MaskBitmapFile(source.c_str(), streamed.c_str(), Background::NearWhite, buffer);
    if (streamError.status != readError.status) {
        return std::string("the whole-picture reader says '") +
               DescribeBitmapStatus(readError.status) + "', the streaming one '" +
               DescribeBitmapStatus(streamError.status) + "'";
    }
    if (!read) {
        return std::filesystem::exists(whole) || std::filesystem::exists(streamed)
                   ? std::optional<std::string>("refused but wrote a file")
                   : std::nullopt;
    }
    const Bytes expected = ReferenceMask(file, Background::NearWhite);
    if (testing::ReadWholeFile(whole) != expected) {
        return "the whole-picture mask differs from the reference";
    }
    if (testing::ReadWholeFile(streamed) != expected) {
        return "the streamed mask differs from the reference";
    }
    return std::nullopt;
}

struct Field {
    const char* name;
    std::size_t offset;
    int size;  // 2 or 4 bytes
};

constexpr Field kFields[] = {
    {"bfSize", 2, 4},          {"bfReserved", 6, 4},       {"bfOffBits", 10, 4},
    {"biSize", 14, 4},         {"biWidth", 18, 4},         {"biHeight", 22, 4},
    {"biPlanes", 26, 2},       {"biBitCount", 28, 2},      {"biCompression", 30, 4},
    {"biSizeImage", 34, 4},    {"biXPelsPerMeter", 38, 4}, {"biClrUsed", 46, 4},
    {"biClrImportant", 50, 4},
};

// Every value case, on each base, in a child process with at most 1 GiB of address
// space (sanitizers reserve far more, so they run without the limit).
using NamedFiles = std::vector<std::pair<std::string, Bytes>>;

std::vector<std::string> RunHostileTable(const NamedFiles& files) {
    std::vector<std::string> failures;
    testing::ScratchFolder folder;
    for (const auto& [name, file] : files) {
        if (auto failure = Check(file, folder)) {
            failures.push_back(name + ": " + *failure);
        }
    }
    return failures;
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

void ExpectAllPass(const NamedFiles& files) {
    // First in this process, for readable failure messages...
    for (const std::string& failure : RunHostileTable(files)) {
        ADD_FAILURE() << failure;
    }
    // ...then again under a memory limit, where an allocation of a declared size
    // that was never checked would fail.
    if (!UnderSanitizer()) {
        EXPECT_TRUE(testing::InChild([&] {
            rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
            setrlimit(RLIMIT_AS, &limit);
            return RunHostileTable(files).empty();
        }));
    }
}

TEST(HostileInput, EveryHeaderFieldAtItsBoundaries) {
    const uint32_t values32[] = {0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000};
    const uint32_t values16[] = {0, 1, 0xFFFF, 0x7FFF, 0x8000};
    NamedFiles files;
    for (const BmpBuilder& base : {testing::ValidPicture(5, 3, 8), testing::ValidPicture(5, 3, 24),
                                   testing::ValidPicture(3, 4, 32)}) {
        const Bytes valid = base.Build();
        for (const Field& field : kFields) {
            for (uint32_t value : field.size == 4 ? std::span(values32) : std::span(values16)) {
                Bytes file = valid;
                for (int i = 0; i < field.size; ++i) {
                    file[field.offset + i] = uint8_t(value >> (8 * i));
                }
                files.emplace_back(std::to_string(base.biBitCount) + " bits, " + field.name +
                                       " = " + std::to_string(value),
                                   std::move(file));
            }
        }
    }
    ExpectAllPass(files);
}

TEST(HostileInput, SizesThatWrapInThirtyTwoBits) {
    struct Wrap {
        int32_t width, height;
        uint16_t bitCount;
    };
    const Wrap wraps[] = {
        {0x20000001, 1, 8},   // width * 8 wraps to 8
        {0x55555556, 1, 24},  // width * 24 wraps to 16
        {0x08000001, 1, 32},  // width * 32 wraps to 32
        {1, 0x40000001, 24},  // stride 4 * height wraps to 4
        {0x3FFFFFFF, 3, 8},   // stride * height just past the limit
        {65536, 65536, 24},   // 12 GiB of rows declared
    };
    NamedFiles files;
    for (const Wrap& wrap : wraps) {
        BmpBuilder picture = testing::ValidPicture(1, 1, wrap.bitCount);
        picture.biWidth = wrap.width;
        picture.biHeight = wrap.height;
        picture.pixels.resize(64);
        files.emplace_back(std::to_string(wrap.width) + " x " + std::to_string(wrap.height) +
                               " at " + std::to_string(wrap.bitCount) + " bits",
                           picture.Build());
    }
    ExpectAllPass(files);
}

TEST(HostileInput, PixelOffsetsBeforeInsideAndPastEverything) {
    NamedFiles files;
    for (const BmpBuilder& base :
         {testing::ValidPicture(5, 3, 8), testing::ValidPicture(5, 3, 24)}) {
        const Bytes valid = base.Build();
        const uint32_t size = uint32_t(valid.size());
        const uint32_t start = Get32(valid, 10);
        for (uint32_t offset : {0u, 1u, 13u, 14u, 53u, 54u, 55u, 54u + 512u, start - 1, start,
                                start + 1, size - 1, size, size + 1, 0xFFFFFFFFu}) {
            Bytes file = valid;
            Put32(file, 10, offset);
            files.emplace_back(
                std::to_string(base.biBitCount) + " bits, bfOffBits = " + std::to_string(offset),
                std::move(file));
        }
    }
    ExpectAllPass(files);
}

TEST(HostileInput, FilesCutAtEveryHeaderBoundary) {
    NamedFiles files;
    for (const BmpBuilder& base : {testing::ValidPicture(5, 3, 8), testing::ValidPicture(5, 3, 24),
                                   testing::ValidPicture(3, 4, 32)}) {
        const Bytes valid = base.Build();
        for (std::size_t cut : {0,  1,  2,  6,  10, 14, 18, 22, 26, 28,   30,
                                34, 38, 42, 46, 50, 53, 54, 55, 58, 1077, 1078}) {
            if (cut < valid.size()) {
                files.emplace_back(
                    std::to_string(base.biBitCount) + " bits cut at " + std::to_string(cut),
                    Bytes(valid.begin(), valid.begin() + std::ptrdiff_t(cut)));
            }
        }
        files.emplace_back(std::to_string(base.biBitCount) + " bits, last byte missing",
                           Bytes(valid.begin(), valid.end() - 1));
    }
    ExpectAllPass(files);
}

}  // namespace
}  // namespace zel7
