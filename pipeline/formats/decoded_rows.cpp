#include "formats/decoded_rows.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace zel7 {

std::string MiB(uint64_t bytes) {
    return std::to_string((bytes + (uint64_t{1} << 20) - 1) >> 20) + " MiB";
}

Result TooMuchMetadata(std::string_view format, std::string_view what) {
    return Fail(Status::UnsupportedPicture, std::string(format) + " with more than " +
                                                MiB(kMaxMetadataBytes) + " of metadata " +
                                                std::string(what));
}

Result CheckDimensions(uint64_t width, uint64_t height, const SourceOptions& options) {
    if (width > kMaxDimension || height > kMaxDimension) {
        return Fail(Status::TooManyPixels, std::to_string(width) + " x " + std::to_string(height) +
                                               " pixels; at most " + std::to_string(kMaxDimension) +
                                               " a side");
    }
    // Decoded rows are sized in int32, as BMP rows are.
    const uint64_t rowBytes = (width * 3 + 3) / 4 * 4;
    if (rowBytes * height > INT32_MAX && width * height <= options.maxPixels) {
        return Fail(Status::TooManyPixels, std::to_string(width) + " x " + std::to_string(height) +
                                               " pixels; rows of more than 2 GiB in all");
    }
    if (width * height > options.maxPixels) {
        return Fail(Status::TooManyPixels, std::to_string(width * height) +
                                               " pixels; the limit is " +
                                               std::to_string(options.maxPixels));
    }
    return {};
}

// The header is 128 bytes: its size first, the colour space at 16, the signature "acsp"
// at 36.
constexpr std::size_t kSpaceAt = 16, kSignatureAt = 36;

bool HasIccHeader(std::span<const uint8_t> bytes) {
    return bytes.size() >= kIccHeaderBytes && std::memcmp(&bytes[kSignatureAt], "acsp", 4) == 0;
}

std::size_t DeclaredProfileBytes(std::span<const uint8_t> bytes) {
    return BigEndian32(bytes.data());
}

std::size_t ProfileBytesKept(std::span<const uint8_t> head, std::size_t stored) {
    if (stored <= kMaxColourProfileBytes) {
        return stored;
    }
    if (HasIccHeader(head)) {
        const std::size_t declared = DeclaredProfileBytes(head);
        if (declared >= kIccHeaderBytes && declared <= kMaxColourProfileBytes) {
            return declared;
        }
    }
    return std::min(stored, kIccHeaderBytes);
}

std::span<const uint8_t> ProfileForRows(std::span<const uint8_t> profile, bool grey) {
    const std::span<const uint8_t> kept = profile.first(
        ProfileBytesKept(profile.first(std::min(profile.size(), kIccHeaderBytes)), profile.size()));
    if (!HasIccHeader(profile)) {
        return kept;
    }
    const uint8_t* space = profile.data() + kSpaceAt;
    const bool fits =
        std::memcmp(space, "RGB ", 4) == 0 || (grey && std::memcmp(space, "GRAY", 4) == 0);
    return fits ? kept : std::span<const uint8_t>();
}

}  // namespace zel7
