#include "mask/threshold.h"

#include "engine/working_image.h"

namespace zel7 {

void MaskRows(Background background, uint8_t* rows, int32_t width, int32_t rowCount,
              int32_t rowStride) {
    if (width <= 0) {
        return;
    }
    const ColourRange range = ThresholdRange(background);
    if (rowStride == width * 3) {
        // No fill bytes: the whole block is one run.
        kernels::Mask(rows, std::size_t(width) * std::size_t(rowCount), range);
        return;
    }
    for (int32_t row = 0; row < rowCount; ++row) {
        kernels::Mask(rows + std::size_t(row) * std::size_t(rowStride), std::size_t(width), range);
    }
}

namespace {

bool MaskWorkingImage(Background background) {
    const WorkingImage& image = workingImage;
    if (image.bitCount != 24 || image.pixels == nullptr) {
        return true;
    }
    MaskRows(background, image.pixels, image.width, image.height,
             RowStride(image.width, image.bitCount));
    return true;
}

}  // namespace

bool MaskNearWhite() {
    return MaskWorkingImage(Background::NearWhite);
}
bool MaskNearBlack() {
    return MaskWorkingImage(Background::NearBlack);
}

}  // namespace zel7
