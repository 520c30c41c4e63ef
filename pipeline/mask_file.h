// Masking a file straight into another, a slice at a time, in constant memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitmap_status.h"
#include "threshold.h"

namespace zel7 {

// About this much of the picture is held in memory at once: large enough to keep
// the system calls few, small enough to stay in the processor's cache.
inline constexpr std::size_t kSliceBytes = std::size_t{1} << 18;

// Whether the slices are written by the thread that reads them, or by a second one
// while the first reads on (worth it when a core is free).
enum class SliceWriting { Inline, OnSecondThread };

// Writes the mask of the picture at source to destination, as reading it into the
// working image, applying the threshold and writing it out would, but a slice at a
// time through buffer (one slice, or three when writing on a second thread). The
// destination is replaced only by a complete file.
BitmapError MaskBitmapFile(const char* source, const char* destination, Background background,
                           std::vector<uint8_t>& buffer,
                           SliceWriting writing = SliceWriting::Inline);

}  // namespace zel7
