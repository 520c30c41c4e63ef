// Every header field at its boundary values, sizes that wrap, offsets everywhere and
// files cut at every header boundary: each must be refused, or read and masked into
// exactly the bytes an independent reading of the file gives. Runs under a memory
// limit, so a huge declared size that were allocated would fail the test.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <span>
#include <tuple>

#include "child_process.h"
#include "reference_mask.h"

namespace zel7 {
namespace {

using namespace test_support;
using NamedFiles = std::vector<std::pair<std::string, Bytes>>;

// Name, offset and size (2 or 4 bytes) of each header field.
constexpr std::tuple<const char*, std::size_t, int> kFields[] = {
    {"bfSize", 2, 4},          {"bfReserved", 6, 4},       {"bfOffBits", 10, 4},
    {"biSize", 14, 4},         {"biWidth", 18, 4},         {"biHeight", 22, 4},
    {"biPlanes", 26, 2},       {"biBitCount", 28, 2},      {"biCompression", 30, 4},
    {"biSizeImage", 34, 4},    {"biXPelsPerMeter", 38, 4}, {"biClrUsed", 46, 4},
    {"biClrImportant", 50, 4},
};

std::vector<std::string> RunHostileTable(const NamedFiles& files) {
    std::vector<std::string> failures;
    ScratchFolder folder;
    for (const auto& [name, file] : files) {
        if (auto failure = CheckBothPaths(file, folder.Path())) {
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

NamedFiles HostileFiles() {
    const uint32_t values32[] = {0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000};
    const uint32_t values16[] = {0, 1, 0xFFFF, 0x7FFF, 0x8000};
    NamedFiles files;
    for (uint16_t bitCount : {8, 24, 32}) {
        const Bytes valid = ValidPicture(bitCount == 32 ? 3 : 5, 3, bitCount).Build();
        const std::string name = std::to_string(bitCount) + " bits, ";
        auto add = [&](std::size_t at, int bytes, uint32_t value, const std::string& label) {
            Bytes file = valid;
            for (int i = 0; i < bytes; ++i) {
                file[at + i] = uint8_t(value >> (8 * i));
            }
            files.emplace_back(name + label + " = " + std::to_string(value), std::move(file));
        };
        // Every header field at its boundaries.
        for (const auto& [field, at, bytes] : kFields) {
            for (uint32_t value : bytes == 4 ? std::span(values32) : std::span(values16)) {
                add(at, bytes, value, field);
            }
        }
        // Offsets everywhere and cuts at every header boundary.
        const uint32_t size = uint32_t(valid.size()), start = bitCount == 8 ? 1078 : 54;
        for (uint32_t offset : {0u, 1u, 13u, 14u, 53u, 54u, 55u, 54u + 512u, start - 1, start,
                                start + 1, size - 1, size, size + 1, 0xFFFFFFFFu}) {
            add(10, 4, offset, "bfOffBits");
        }
        for (std::size_t cut : {0,  1,  2,  6,  10, 14, 18, 22, 26,   28,   30,           34,
                                38, 42, 46, 50, 53, 54, 55, 58, 1077, 1078, int(size) - 1}) {
            if (cut < valid.size()) {
                files.emplace_back(name + "cut at " + std::to_string(cut),
                                   Bytes(valid.begin(), valid.begin() + std::ptrdiff_t(cut)));
            }
        }
    }
    // Sizes that wrap in 32 bits.
    const std::tuple<int32_t, int32_t, uint16_t> wraps[] = {
        {0x20000001, 1, 8},   // width * 8 wraps to 8
        {0x55555556, 1, 24},  // width * 24 wraps to 16
        {0x08000001, 1, 32},  // width * 32 wraps to 32
        {1, 0x40000001, 24},  // stride 4 * height wraps to 4
        {0x3FFFFFFF, 3, 8},   // stride * height just past the limit
        {65536, 65536, 24},   // 12 GiB of rows declared
        {13565958, 0, 24},    // no rows, wider than decoded rows may be
    };
    for (const auto& [width, height, bitCount] : wraps) {
        BmpBuilder picture = ValidPicture(1, 1, bitCount);
        picture.biWidth = width, picture.biHeight = height, picture.pixels.resize(64);
        files.emplace_back(std::to_string(width) + " x " + std::to_string(height) + " at " +
                               std::to_string(bitCount) + " bits",
                           picture.Build());
    }
    return files;
}

TEST(HostileInput, IsRefusedOrMaskedExactlyAsItsBytesSay) {
    const NamedFiles files = HostileFiles();
    // First in this process, for readable failure messages...
    for (const std::string& failure : RunHostileTable(files)) {
        ADD_FAILURE() << failure;
    }
    // ...then again with at most 1 GiB of address space, where an allocation of a declared
    // size that was never checked would fail (sanitizers reserve far more, so not there).
    if (!UnderSanitizer()) {
        EXPECT_TRUE(InChild([&] {
            rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
            setrlimit(RLIMIT_AS, &limit);
            return RunHostileTable(files).empty();
        }));
    }
}

}  // namespace
}  // namespace zel7
