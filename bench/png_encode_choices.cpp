// Encodes the pixels of a PNG again with each choice of zlib level, strategy and row
// filters (through libspng), deflates the filtered rows with each of igzip's levels, and
// the unfiltered ones whole with libdeflate's, best of three runs each, to choose how
// cut-outs are compressed:
//   zel7-bench-png-encode CUTOUT.png
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

struct Choice {
    const char* name;
    int level, strategy, filters;
};

int Discard(spng_ctx*, void* user, void*, std::size_t length) {
    *static_cast<std::size_t*>(user) += length;
    return 0;
}

// The rows deflated by igzip at level, a row at a time as zel7's writer does, each
// unfiltered or filtered up: the compressed size.
std::size_t Igzip(const std::vector<unsigned char>& pixels, std::size_t stride, uint32_t level,
                  bool up) {
    isal_zstream stream;
    isal_deflate_init(&stream);
    std::vector<uint8_t> levelBuffer(ISAL_DEF_LVL3_DEFAULT), out(1 << 18), row(1 + stride);
    std::vector<uint8_t> above(stride);
    stream.level = level;
    stream.level_buf = levelBuffer.data();
    stream.level_buf_size = uint32_t(levelBuffer.size());
    stream.gzip_flag = IGZIP_ZLIB;
    std::size_t written = 0;
    const std::size_t height = pixels.size() / stride;
    for (std::size_t y = 0; y < height; ++y) {
        const unsigned char* pixel = pixels.data() + y * stride;
        row[0] = up ? 2 : 0;
        for (std::size_t i = 0; i < stride; ++i) {
            row[1 + i] = uint8_t(pixel[i] - (up ? above[i] : 0));
        }
        std::copy(pixel, pixel + stride, above.begin());
        stream.next_in = row.data();
        stream.avail_in = uint32_t(row.size());
        stream.end_of_stream = y + 1 == height;
        do {
            stream.next_out = out.data();
            stream.avail_out = uint32_t(out.size());
            isal_deflate(&stream);
            written += out.size() - stream.avail_out;
        } while (stream.avail_in > 0 ||
                 (stream.end_of_stream && stream.internal_state.state != ZSTATE_END));
    }
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel7-bench-png-encode FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    spng_ctx* decoder = spng_ctx_new(0);
    spng_ihdr header{};
    std::size_t size = 0;
    int error = file == nullptr ? SPNG_EINVAL : spng_set_png_file(decoder, file);
    error = error != 0 ? error : spng_get_ihdr(decoder, &header);
    error = error != 0 ? error : spng_decoded_image_size(decoder, SPNG_FMT_RGBA8, &size);
    std::vector<unsigned char> pixels(size);
    error = error != 0 ? error : spng_decode_image(decoder, pixels.data(), size, SPNG_FMT_RGBA8, 0);
    spng_ctx_free(decoder);
    if (error != 0) {
        std::fprintf(stderr, "zel7-bench-png-encode: %s\n", spng_strerror(error));
        return 1;
    }
    const Choice choices[] = {
        {"1, default, none", 1, Z_DEFAULT_STRATEGY, SPNG_DISABLE_FILTERING},
        {"1, default, sub", 1, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_SUB},
        {"1, default, up", 1, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_UP},
        {"1, default, paeth", 1, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_PAETH},
        {"1, default, all five", 1, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_ALL},
        {"1, Z_RLE, none", 1, Z_RLE, SPNG_DISABLE_FILTERING},
        {"1, Z_RLE, sub", 1, Z_RLE, SPNG_FILTER_CHOICE_SUB},
        {"1, Z_RLE, up", 1, Z_RLE, SPNG_FILTER_CHOICE_UP},
        {"1, Z_HUFFMAN_ONLY, sub", 1, Z_HUFFMAN_ONLY, SPNG_FILTER_CHOICE_SUB},
        {"2, default, sub", 2, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_SUB},
        {"3, default, sub", 3, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_SUB},
        {"6, default, all five", 6, Z_DEFAULT_STRATEGY, SPNG_FILTER_CHOICE_ALL},
    };
    std::printf("%u x %u RGBA, %.1f MB raw\n", header.width, header.height, double(size) / 1e6);
    std::printf("%-24s %10s %10s\n", "level, strategy, filters", "ms", "MB");
    const std::size_t stride = size / header.height;
    for (const Choice& choice : choices) {
        double best = 1e30;
        std::size_t written = 0;
        for (int run = 0; run < 3; ++run) {
            written = 0;
            const auto start = std::chrono::steady_clock::now();
            spng_ctx* encoder = spng_ctx_new(SPNG_CTX_ENCODER);
            spng_ihdr out{header.width, header.height, 8, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 0, 0, 0};
            spng_set_ihdr(encoder, &out);
            spng_set_option(encoder, SPNG_IMG_COMPRESSION_LEVEL, choice.level);
            spng_set_option(encoder, SPNG_IMG_COMPRESSION_STRATEGY, choice.strategy);
            spng_set_option(encoder, SPNG_FILTER_CHOICE, choice.filters);
            spng_set_png_stream(encoder, Discard, &written);
            spng_encode_image(encoder, nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE);
            for (uint32_t y = 0; y < header.height; ++y) {
                spng_encode_scanline(encoder, pixels.data() + y * stride, stride);
            }
            spng_encode_chunks(encoder);
            spng_ctx_free(encoder);
            best = std::min(best, std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
        }
        std::printf("%-24s %10.1f %10.2f\n", choice.name, best, double(written) / 1e6);
    }
    for (const uint32_t level : {0u, 1u, 2u, 3u}) {
        for (const bool up : {false, true}) {
            double best = 1e30;
            std::size_t written = 0;
            for (int run = 0; run < 3; ++run) {
                const auto start = std::chrono::steady_clock::now();
                written = Igzip(pixels, stride, level, up);
                best = std::min(best, std::chrono::duration<double, std::milli>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
            }
            std::printf("igzip %u, %-16s %10.1f %10.2f\n", level, up ? "up" : "none", best,
                        double(written) / 1e6);
        }
    }
    // libdeflate takes only whole buffers: every row, each after its filter byte, at once.
    std::vector<uint8_t> rows, out;
    for (std::size_t y = 0; y < header.height; ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), pixels.begin() + long(y * stride),
                    pixels.begin() + long((y + 1) * stride));
    }
    out.resize(rows.size() + rows.size() / 8 + 1024);
    for (const int level : {1, 3, 6}) {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
        double best = 1e30;
        std::size_t written = 0;
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            written = libdeflate_zlib_compress(compressor, rows.data(), rows.size(), out.data(),
                                               out.size());
            best = std::min(best, std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
        }
        libdeflate_free_compressor(compressor);
        std::printf("libdeflate %d, none, whole %10.1f %10.2f\n", level, best,
                    double(written) / 1e6);
    }
    return 0;
}
