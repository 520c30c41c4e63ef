#include "formats/decoded_rows.h"

#include <cstdint>
#include <string>

namespace zel7 {

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

}  // namespace zel7
