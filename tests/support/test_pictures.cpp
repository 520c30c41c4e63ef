#include "test_pictures.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "engine/working_image.h"

namespace zel7::testing {
namespace {

void Put16(Bytes& out, uint32_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

void Put32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(uint8_t(value >> shift));
    }
}

}  // namespace

Bytes BmpBuilder::Build() const {
    const std::size_t front = 14 + 40 + masks.size() * 4 + colorTable.size() + gapBeforePixels;
    Bytes out;
    out.push_back(type0);
    out.push_back(type1);
    Put32(out, bfSize != 0 ? bfSize : uint32_t(front + pixels.size()));
    Put32(out, bfReserved);
    Put32(out, bfOffBits != 0 ? bfOffBits : uint32_t(front));
    Put32(out, biSize);
    Put32(out, uint32_t(biWidth));
    Put32(out, uint32_t(biHeight));
    Put16(out, biPlanes);
    Put16(out, biBitCount);
    Put32(out, biCompression);
    Put32(out, biSizeImage);
    Put32(out, 2835);  // densities: nonzero, to show they are ignored
    Put32(out, 2835);
    Put32(out, biClrUsed);
    Put32(out, biClrImportant);
    for (uint32_t mask : masks) {
        Put32(out, mask);
    }
    out.insert(out.end(), colorTable.begin(), colorTable.end());
    out.insert(out.end(), gapBeforePixels, 0xEE);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

BmpBuilder ValidPicture(int32_t width, int32_t height, uint16_t bitCount) {
    BmpBuilder picture;
    picture.biWidth = width;
    picture.biHeight = height;
    picture.biBitCount = bitCount;
    const std::size_t stride = std::size_t(RowStride(width, bitCount));
    picture.pixels = RandomBytes(stride * std::size_t(height), uint32_t(width * 131 + height));
    if (bitCount == 8) {
        picture.colorTable = RandomBytes(kColorTableBytes, 8);
    }
    return picture;
}

Bytes SyntheticPhotoRows(int32_t width, int32_t height, Background background) {
    const std::size_t stride = std::size_t(RowStride(width, 24));
    Bytes rows(stride * std::size_t(height), 0);
    std::mt19937 noise(7);
    const double cx = width / 2.0, cy = height / 2.0;
    const double rx = std::max(1.0, width * 0.32), ry = std::max(1.0, height * 0.36);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = rows.data() + std::size_t(y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const double dx = (x - cx) / rx, dy = (y - cy) / ry;
            const double distance = std::sqrt(dx * dx + dy * dy);
            // Inside the object: mid tones with a gradient; near the rim a soft shade
            // that crosses the thresholds; outside: background with noise.
            int base;
            if (distance < 0.92) {
                base = 70 + int(110 * (1 - distance)) + (x * 7 + y * 3) % 23;
            } else if (distance < 1.0) {
                const double t = (distance - 0.92) / 0.08;
                base =
                    background == Background::NearWhite ? int(150 + 105 * t) : int(120 * (1 - t));
            } else {
                base = background == Background::NearWhite ? 250 : 6;
            }
            for (int channel = 0; channel < 3; ++channel) {
                int value = base + int(noise() % 9) - 4 + (distance < 0.92 ? channel * 17 : 0);
                row[3 * x + channel] = uint8_t(std::clamp(value, 0, 255));
            }
        }
        std::fill(row + 3 * std::size_t(width), row + stride, uint8_t(0x5A));  // fill bytes
    }
    return rows;
}

Bytes RandomBytes(std::size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return uint8_t(generator()); });
    return bytes;
}

Bytes ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zel7-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch folder");
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace zel7::testing
