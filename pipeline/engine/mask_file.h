// Masking a file straight into another, a slice at a time, in constant memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/framing.h"
#include "engine/row_stream.h"
#include "formats/decoded_rows.h"
#include "formats/picture_files.h"
#include "refine/refine.h"

namespace zel7 {

struct MaskOptions {
    Background background = Background::NearWhite;
    PictureFormat format = PictureFormat::Bmp;
    uint64_t maxPixels = kDefaultMaxPixels;
    SliceWriting writing = SliceWriting::Inline;
    RefineOptions refine{};         // when active, background is only its side without a measure
    FramingOptions framing{};       // of cut-outs; JPEG ones are flattened over white unless told
    int quality = kDefaultQuality;  // of JPEG and lossy WebP destinations
    bool lossless = false;          // of WebP destinations
    // When set, the destination lies below this folder: the folders between are made as
    // needed, and none is entered through a symbolic link.
    std::filesystem::path inside{};
    bool srgb = false;  // colours converted to sRGB first; see ConvertToSrgb
};

// What a user may want to know of a mask that was written.
struct MaskNote {
    int32_t copiedBitCount = 0;              // a BMP of this depth, copied unchanged to a BMP
    std::optional<Confidence> confidence{};  // of refined masks and cut-outs

    // What to tell the user, or "".
    std::string Remark() const;
};

// Writes the mask of the picture at source ("-": standard input) to destination ("-":
// standard output), as reading it into the working image, applying the threshold and
// writing it out would. BMP destinations keep BMP sources' depth, and take other
// sources as 24-bit pictures; PNG ones are 1-bit masks of any source. The destination
// is replaced only by a complete file. buffer holds the slices. Refined masks and
// cut-outs take every source as 24-bit pixels; cut-outs are PNG, JPEG or WebP (which
// holds soft masks too), and carry the source's colour profile unless srgb converted their
// colours. A cut-out framed to a size is made from a JPEG decoded as small as the frame
// allows.
Result MaskFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note = nullptr);

}  // namespace zel7
