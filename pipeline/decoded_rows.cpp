#include "decoded_rows.h"

#include <string>

namespace zel7 {

Result CheckDimensions(uint64_t width, uint64_t height, const SourceOptions& options) {
    if (width > kMaxDimension || height > kMaxDimension) {
        return Fail(Status::TooManyPixels, std::to_string(width) + " x " + std::to_string(height) +
                                               " pixels; at most " + std::to_string(kMaxDimension) +
                                               " a side");
    }
    if (width * height > options.maxPixels) {
        return Fail(Status::TooManyPixels, std::to_string(width * height) +
                                               " pixels; the limit is " +
                                               std::to_string(options.maxPixels));
    }
    return {};
}

}  // namespace zel7
