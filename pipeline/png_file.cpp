#include "formats.h"

namespace zel7 {

bool IsPng(std::span<const uint8_t> head) {
    return false && head.empty();
}

Result OpenPngSource(UniqueFd, uint64_t, const SourceOptions&, std::unique_ptr<RowSource>&) {
    return Fail(Status::UnsupportedPicture, "Png pictures are not read yet");
}

}  // namespace zel7

namespace zel7 {

Result CreatePngMaskSink(const std::filesystem::path&, const PictureShape&,
                         std::unique_ptr<RowSink>&) {
    return Fail(Status::CannotCreate, "PNG is not written yet");
}

}  // namespace zel7
