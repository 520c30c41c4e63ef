// Decodes a HEIF file's primary picture with libheif to interleaved red, green and blue, as
// zel7's reader has it decoded, and throws it away: what masking a HEIC or AVIF costs at the
// least, for bench/heif.sh. zel7-bench-heif-decode FILE
#include <libheif/heif.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel7-bench-heif-decode FILE\n");
        return 2;
    }
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    heif_error error = heif_context_read_from_file(context, argv[1], nullptr);
    if (error.code == heif_error_Ok) {
        error = heif_context_get_primary_image_handle(context, &handle);
    }
    if (error.code == heif_error_Ok) {
        error = heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                                  nullptr);
    }
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    if (error.code != heif_error_Ok) {
        std::fprintf(stderr, "zel7-bench-heif-decode: %s\n", error.message);
        return 1;
    }
    return 0;
}
