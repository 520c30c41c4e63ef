// Pictures in memory, as arrays of samples with any strides (NumPy's, say), masked and
// cut out by the same engine as files, a row at a time and without copying them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "refine/refine.h"

namespace zel7 {

// Which colour comes first in an array's pixels: OpenCV's arrays hold blue, green, red.
enum class ChannelOrder : uint8_t { Rgb, Bgr };

struct PixelArray {
    const uint8_t* data = nullptr;
    int32_t width = 0, height = 0;
    int32_t channels = 3;     // 1 grey, 3 colours, 4 with alpha last
    int32_t sampleBytes = 1;  // 1, or 2 for 16-bit samples in the machine's byte order
    // Bytes from one row, pixel and channel to the next; any sign.
    std::ptrdiff_t rowStride = 0, pixelStride = 0, channelStride = 0;
    ChannelOrder order = ChannelOrder::Rgb;
};

// The order a name gives the colours of an array of channels: "rgb" or "bgr" for 3,
// "rgba" or "bgra" for 4; no name is red first, and the only way for grey. A refusal is
// Status::InvalidOptions, naming the choices.
[[nodiscard]] Result ReadChannelOrder(std::optional<std::string_view> name, int32_t channels,
                                      ChannelOrder& order);

// Bytes a pixel of the result: 1 for masks (255 background, 0 object, or grey
// between), 4 for cut-outs (red, green, blue, alpha; blue first for Bgr arrays, so that
// the cut-out goes back where the array came from in its own order).
inline int32_t OutputChannels(const RefineOptions& options) {
    return options.product == Product::Cutout ? 4 : 1;
}

// Masks or cuts out picture into out, which holds width * height * OutputChannels
// bytes, rows packed, top first. Samples are read as decoded files' are: 16-bit ones
// by their top byte, alpha composited over the background side's level. A refined
// picture's confidence goes into confidence when given.
Result MaskArray(const PixelArray& picture, Background background, const RefineOptions& options,
                 uint8_t* out, std::optional<Confidence>* confidence = nullptr);

}  // namespace zel7
