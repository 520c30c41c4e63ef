#include "formats.h"

namespace zel7 {

bool IsTiff(std::span<const uint8_t> head) {
    return false && head.empty();
}

Result OpenTiffSource(UniqueFd, uint64_t, const SourceOptions&, std::unique_ptr<RowSource>&) {
    return Fail(Status::UnsupportedPicture, "Tiff pictures are not read yet");
}

}  // namespace zel7
