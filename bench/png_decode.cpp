// Decodes a PNG with libspng a row at a time and throws the rows away: what masking a
// PNG costs at the least, for bench/compare.sh. zel7-bench-png-decode FILE
#include <spng.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel7-bench-png-decode FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    spng_ctx* context = spng_ctx_new(0);
    spng_ihdr header{};
    std::size_t size = 0;
    int error = file == nullptr ? SPNG_EINVAL : spng_set_png_file(context, file);
    if (error == 0) {
        error = spng_get_ihdr(context, &header);
    }
    if (error == 0) {
        error = spng_decoded_image_size(context, SPNG_FMT_RGB8, &size);
    }
    if (error == 0) {
        error = spng_decode_image(context, nullptr, 0, SPNG_FMT_RGB8, SPNG_DECODE_PROGRESSIVE);
    }
    std::vector<unsigned char> row(header.height != 0 ? size / header.height : 0);
    while (error == 0) {
        error = spng_decode_row(context, row.data(), row.size());
    }
    spng_ctx_free(context);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (error != SPNG_EOI) {
        std::fprintf(stderr, "zel7-bench-png-decode: %s\n", spng_strerror(error));
        return 1;
    }
    return 0;
}
