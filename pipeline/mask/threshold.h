// Turning a 24-bit picture into a two-tone mask: background white, object black.
#pragma once

#include <cstdint>

#include "mask/kernels.h"

namespace zel7 {

// A pixel is background on white when all three channels are at least this...
inline constexpr uint8_t kNearWhiteThreshold = 240;
// ...and on black when all three are at most this.
inline constexpr uint8_t kNearBlackThreshold = 20;

enum class Background { NearWhite, NearBlack };

// What each fixed threshold means as a range: all three channels within 15 of 255, or
// within 20 of 0.
inline constexpr ColourRange ThresholdRange(Background background) {
    return background == Background::NearWhite
               ? ColourRange::Around({255, 255, 255}, 255 - kNearWhiteThreshold)
               : ColourRange::Around({0, 0, 0}, kNearBlackThreshold);
}

// Masks rowCount rows of width 24-bit pixels, rowStride bytes apart, leaving the fill
// bytes at the end of each row untouched.
void MaskRows(Background background, uint8_t* rows, int32_t width, int32_t rowCount,
              int32_t rowStride);

// Mask the working image in place. Pictures that are not 24-bit stay as they are.
bool MaskNearWhite();
bool MaskNearBlack();

}  // namespace zel7
