#include "encode_jpeg.h"

#include <cstdlib>
#include <memory>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

namespace zel7::test_support {

Bytes EncodeJpeg(int width, int height, int components, const Bytes& pixels,
                 const JpegOptions& options) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);  // a mistake in a test stops it with the message
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(width), info.image_height = JDIMENSION(height);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, options.quality, TRUE);
    if (components == 3) {
        info.comp_info[0].h_samp_factor = options.sampling == 444 ? 1 : 2;
        info.comp_info[0].v_samp_factor = options.sampling == 420 ? 2 : 1;
    }
    // The DC coefficients, then each AC one alone; the first scans - 64 of them in two steps,
    // their second ones last.
    std::vector<jpeg_scan_info> scans{{1, {0}, 0, 0, 0, 0}};
    for (int k = 1; k < options.scans; ++k) {
        const int c = k <= 63 ? k : k - 63;
        scans.push_back({1, {0}, c, c, k > 63, k <= options.scans - 64});
    }
    if (options.scans > 0) {
        info.scan_info = scans.data();
        info.num_scans = int(scans.size());
    } else if (options.progressive) {
        jpeg_simple_progression(&info);
    }
    jpeg_start_compress(&info, TRUE);
    if (const Bytes& exif = options.exif; !exif.empty()) {
        jpeg_write_marker(&info, JPEG_APP0 + 1, exif.data(), unsigned(exif.size()));
    }
    const auto stride = std::size_t(width) * std::size_t(components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(pixels.data()) + info.next_scanline * stride;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const std::unique_ptr<unsigned char, decltype(&std::free)> owned(out, std::free);
    return Bytes(out, out + outSize);
}

Bytes ExifOrientation(int orientation, bool bigEndian) {
    const uint8_t order = bigEndian ? 'M' : 'I';
    Bytes exif = {'E', 'x', 'i', 'f', 0, 0, order, order};
    // 42, the first directory straight after this 8-byte header, of one entry: the
    // orientation, one SHORT value; then no next directory.
    const uint32_t values[] = {42, 8, 1, 0x0112, 3, 1, uint32_t(orientation), 0, 0};
    const int sizes[] = {2, 4, 2, 2, 2, 4, 2, 2, 4};
    for (int f = 0; f < 9; ++f) {
        for (int i = 0; i < sizes[f]; ++i) {
            exif.push_back(uint8_t(values[f] >> (8 * (bigEndian ? sizes[f] - 1 - i : i))));
        }
    }
    return exif;
}

}  // namespace zel7::test_support
