#include "encode_jpeg.h"

#include <cstdlib>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

namespace zel7::testing {
namespace {

// A legal progression far longer than any encoder writes: the DC coefficients a bit at a
// time, then every AC coefficient of every component alone, in three steps.
std::vector<jpeg_scan_info> ManyScans(int components) {
    std::vector<jpeg_scan_info> scans{{components, {0, 1, 2, 3}, 0, 0, 0, 10}};
    for (int bit = 10; bit > 0; --bit) {
        scans.push_back({components, {0, 1, 2, 3}, 0, 0, bit, bit - 1});
    }
    for (int component = 0; component < components; ++component) {
        for (int k = 1; k <= 63; ++k) {
            scans.push_back({1, {component}, k, k, 0, 2});
            scans.push_back({1, {component}, k, k, 2, 1});
            scans.push_back({1, {component}, k, k, 1, 0});
        }
    }
    return scans;
}

}  // namespace

Bytes EncodeJpeg(int width, int height, int components, const Bytes& pixels,
                 const JpegOptions& options) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);  // a mistake in a test stops it with the message
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, options.quality, TRUE);
    if (components == 3) {
        info.comp_info[0].h_samp_factor = options.sampling == 444 ? 1 : 2;
        info.comp_info[0].v_samp_factor = options.sampling == 420 ? 2 : 1;
    }
    const std::vector<jpeg_scan_info> scans = ManyScans(components);
    if (options.manyScans) {
        info.scan_info = scans.data();
        info.num_scans = int(scans.size());
    } else if (options.progressive) {
        jpeg_simple_progression(&info);
    }
    jpeg_start_compress(&info, TRUE);
    if (!options.exif.empty()) {
        jpeg_write_marker(&info, JPEG_APP0 + 1, options.exif.data(), unsigned(options.exif.size()));
    }
    const auto stride = std::size_t(width) * std::size_t(components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(pixels.data()) + info.next_scanline * stride;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes file(out, out + outSize);
    std::free(out);
    return file;
}

Bytes ExifOrientation(int orientation, bool bigEndian) {
    Bytes exif = {'E', 'x', 'i', 'f', 0, 0};
    auto put = [&](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            exif.push_back(uint8_t(value >> (8 * (bigEndian ? bytes - 1 - i : i))));
        }
    };
    exif.insert(exif.end(), 2, bigEndian ? 'M' : 'I');
    put(42, 2);
    put(8, 4);  // the first directory, straight after this 8-byte header
    put(1, 2);  // of one entry: the orientation, one unsigned 16-bit value
    put(0x0112, 2);
    put(3, 2);
    put(1, 4);
    put(uint32_t(orientation), 2);
    put(0, 2);
    put(0, 4);  // and no next directory
    return exif;
}

}  // namespace zel7::testing
