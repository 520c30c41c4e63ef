// Turning a 24-bit picture into a two-tone mask: background white, object black.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zel7 {

// A pixel is background on white when all three channels are at least this...
inline constexpr uint8_t kNearWhiteThreshold = 240;
// ...and on black when all three are at most this.
inline constexpr uint8_t kNearBlackThreshold = 20;

enum class Background { NearWhite, NearBlack };

// Masks count consecutive 24-bit pixels (blue, green, red) in place.
using MaskRunFunction = void (*)(uint8_t* pixels, std::size_t count);

// One implementation of the masking loop, for one instruction set.
struct MaskKernel {
    const char* name;
    bool (*isSupported)();
    MaskRunFunction nearWhite;
    MaskRunFunction nearBlack;
};

// Every kernel built into this program, the portable one last.
std::span<const MaskKernel> MaskKernels();
// The fastest kernel this processor runs; chosen once.
const MaskKernel& BestMaskKernel();

// Masks rowCount rows of width 24-bit pixels, rowStride bytes apart, leaving the fill
// bytes at the end of each row untouched.
void MaskRows(Background background, uint8_t* rows, int32_t width, int32_t rowCount,
              int32_t rowStride);

// Mask the working image in place. Pictures that are not 24-bit stay as they are.
bool MaskNearWhite();
bool MaskNearBlack();

}  // namespace zel7
