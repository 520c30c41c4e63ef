#include "working_image.h"

#include "system.h"

namespace zel7 {

WorkingImage workingImage;

void ReleasePictureBuffers(WorkingImage& image) {
    FreePixelBuffer(image.pixels);
    image.pixels = nullptr;
    // Only 8-bit pictures get a colour table, but freeing whatever is there keeps an
    // unusual call sequence from leaking one.
    delete[] image.palette;
    image.palette = nullptr;
}

}  // namespace zel7
