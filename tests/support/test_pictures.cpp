#include "test_pictures.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "engine/working_image.h"

namespace zel7::test_support {

Bytes BmpBuilder::Build() const {
    const std::size_t front = 14 + 40 + masks.size() * 4 + colorTable.size() + gapBeforePixels;
    // All fields little-endian, the planes and the depth two bytes each.
    const uint32_t size = bfSize != 0 ? bfSize : uint32_t(front + pixels.size());
    const uint32_t offset = bfOffBits != 0 ? bfOffBits : uint32_t(front);
    const uint32_t depth = biPlanes | biBitCount << 16;
    std::vector<uint32_t> fields = {
        size,          bfReserved,  offset,  biSize,  uint32_t(biWidth), uint32_t(biHeight), depth,
        biCompression, biSizeImage, density, density, biClrUsed,         biClrImportant};
    fields.insert(fields.end(), masks.begin(), masks.end());
    Bytes out = {type0, type1};
    for (uint32_t field : fields) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(uint8_t(field >> shift));
        }
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
    for (uint8_t& byte : picture.pixels) {  // 24-bit pixels at or beside a threshold
        constexpr uint8_t kEdges[] = {0, 19, 20, 21, 239, 240, 241, 255};
        byte = bitCount == 24 ? kEdges[byte % 8] : byte;
    }
    if (bitCount == 8) {
        picture.colorTable = RandomBytes(kColorTableBytes, 8);
    }
    return picture;
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

}  // namespace zel7::test_support
