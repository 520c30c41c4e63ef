#include "encoders.h"

#include <libheif/heif.h>
#include <spng.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

namespace zel7::test_support {
namespace {

using Context = std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)>;

// A library's refusal, thrown: the test fails with what was being done.
void Check(bool ok, const std::string& what) {
    ok ? void() : throw std::runtime_error(what);
}
void Check(int spngError) {
    Check(spngError == 0, spng_strerror(spngError));
}
void Check(const heif_error& error) {  // whose message says what failed
    Check(error.code == heif_error_Ok, std::string("EncodeHeif: ") + error.message);
}

heif_compression_format FormatOf(HeifCodec codec) {
    return codec == HeifCodec::Hevc ? heif_compression_HEVC : heif_compression_AV1;
}

// Fields of value 0 are left out, but for the photometric interpretation (white is zero).
void SetFields(TIFF* tiff, const TiffPicture& p) {
    const uint32_t fields[] = {
        TIFFTAG_IMAGEWIDTH,      p.width,           TIFFTAG_IMAGELENGTH,   p.height,
        TIFFTAG_SAMPLESPERPIXEL, p.samplesPerPixel, TIFFTAG_BITSPERSAMPLE, p.bitsPerSample,
        TIFFTAG_COMPRESSION,     p.compression,     TIFFTAG_TILEWIDTH,     p.tileSize,
        TIFFTAG_TILELENGTH,      p.tileSize,        TIFFTAG_ROWSPERSTRIP,  p.rowsPerStrip,
        TIFFTAG_PLANARCONFIG,    p.planar,          TIFFTAG_SAMPLEFORMAT,  p.sampleFormat,
        TIFFTAG_ORIENTATION,     p.orientation};
    bool ok = TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, p.photometric);
    for (std::size_t i = 0; i < std::size(fields); i += 2) {  // tag, value
        ok = ok && (fields[i + 1] == 0 || TIFFSetField(tiff, fields[i], fields[i + 1]));
    }
    std::vector<uint16_t> map = p.colormap, extra = p.extraSamples;
    const std::size_t n = map.size() / 3;
    Check(ok &&
              (p.icc.empty() ||
               TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(p.icc.size()), p.icc.data())) &&
              (extra.empty() ||
               TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, int(extra.size()), extra.data())) &&
              (map.empty() || TIFFSetField(tiff, TIFFTAG_COLORMAP, &map[0], &map[n], &map[2 * n])),
          "EncodeTiff: setting the fields");
}

// Strips a row at a time, or tiles, of each plane: the samples of a pixel together, or
// each alone (then of whole bytes).
void WritePixels(TIFF* tiff, const TiffPicture& p) {
    const bool separate = p.planar == PLANARCONFIG_SEPARATE;
    const std::size_t inPlane = separate ? 1 : p.samplesPerPixel, bytes = p.bitsPerSample / 8;
    const std::size_t rowBytes = (p.width * inPlane * p.bitsPerSample + 7) / 8;
    const std::size_t allBytes = (p.width * p.samplesPerPixel * p.bitsPerSample + 7) / 8;
    const uint32_t rows = p.tileSize != 0 ? p.tileSize : 1;
    const std::size_t pieceRow =
        p.tileSize != 0 ? p.tileSize * inPlane * p.bitsPerSample / 8 : rowBytes;
    Bytes piece(pieceRow * rows);
    for (uint16_t plane = 0; plane < p.samplesPerPixel / inPlane; ++plane) {
        for (uint32_t y = 0; y < p.height; y += rows) {
            for (std::size_t x = 0; x < rowBytes; x += pieceRow) {  // in bytes
                for (std::size_t i = 0; i < piece.size(); ++i) {
                    const std::size_t row = y + i / pieceRow, at = x + i % pieceRow;
                    const std::size_t from =
                        separate ? (at / bytes * p.samplesPerPixel + plane) * bytes + at % bytes
                                 : at;
                    piece[i] =
                        row >= p.height || at >= rowBytes ? 0 : p.samples[row * allBytes + from];
                }
                Check(p.tileSize != 0
                          ? TIFFWriteTile(tiff, piece.data(), uint32_t(x / pieceRow * p.tileSize),
                                          y, 0, plane) > 0
                          : TIFFWriteScanline(tiff, piece.data(), y, plane) == 1,
                      "EncodeTiff: writing pixels");
            }
        }
    }
}

}  // namespace

DecodedJpeg DecodeJpeg(const Bytes& file) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);  // a file the library refuses stops the test
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), file.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    DecodedJpeg decoded{int(info.output_width), int(info.output_height),
                        info.comp_info[0].h_samp_factor == 1 ? 444 : 420};
    decoded.rgb.resize(3 * std::size_t(decoded.width) * std::size_t(decoded.height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &decoded.rgb[3 * std::size_t(info.output_scanline) * info.output_width];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return decoded;
}

Bytes EncodeJpeg(int width, int height, int components, const Bytes& pixels,
                 const EncodeOptions& options) {
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
    for (const Bytes& segment : options.app2) {
        jpeg_write_marker(&info, JPEG_APP0 + 2, segment.data(), unsigned(segment.size()));
    }
    if (!options.icc.empty()) {
        jpeg_write_icc_profile(&info, options.icc.data(), unsigned(options.icc.size()));
    }
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(&pixels[info.next_scanline * width * components]);
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

Bytes EncodePng(const PngPicture& picture) {
    Context ctx(spng_ctx_new(SPNG_CTX_ENCODER), spng_ctx_free);
    spng_ihdr ihdr{picture.width,     picture.height, picture.bitDepth, picture.colour, 0, 0,
                   picture.interlaced};
    Check(spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1));
    Check(spng_set_ihdr(ctx.get(), &ihdr));
    if (!picture.palette.empty()) {
        spng_plte plte{uint32_t(picture.palette.size() / 3), {}};
        for (uint32_t i = 0; i < plte.n_entries; ++i) {
            const uint8_t* entry = &picture.palette[3 * i];
            plte.entries[i] = {entry[0], entry[1], entry[2], 255};
        }
        Check(spng_set_plte(ctx.get(), &plte));
    }
    if (const auto& key = picture.transparency; !key.empty()) {
        spng_trns trns{};  // each colour type takes its own fields
        trns.n_type3_entries = picture.colour == kPalette ? uint32_t(key.size()) : 0;
        std::copy(key.begin(), key.begin() + trns.n_type3_entries, trns.type3_alpha);
        trns.gray = trns.red = key[0];
        trns.green = key.size() == 3 ? key[1] : 0;
        trns.blue = key.size() == 3 ? key[2] : 0;
        Check(spng_set_trns(ctx.get(), &trns));
    }
    Bytes icc = picture.icc;  // the library keeps a pointer, not a copy
    spng_iccp iccp{"ICC profile", icc.size(), reinterpret_cast<char*>(icc.data())};
    if (!icc.empty()) {
        Check(spng_set_iccp(ctx.get(), &iccp));
    }
    Bytes exif = picture.exif;
    spng_exif exifChunk{exif.size(), reinterpret_cast<char*>(exif.data())};
    if (!exif.empty()) {
        Check(spng_set_exif(ctx.get(), &exifChunk));
    }
    // Rows packed as PNG stores them: each sample's first byte, and for samples of less
    // than 8 bits the shift that brings one to the bottom of its byte.
    const std::size_t perRow = std::size_t(picture.width) * std::size_t(picture.Channels()),
                      depth = picture.bitDepth, rowBytes = (perRow * depth + 7) / 8;
    const bool wide = depth == 16;
    Bytes packed(rowBytes * picture.height);
    for (std::size_t i = 0; i < picture.samples.size(); ++i) {
        const std::size_t bit = i % perRow * depth, byte = i / perRow * rowBytes + bit / 8;
        const unsigned shift = depth < 8 ? unsigned(8 - depth - bit % 8) : 0;
        const uint16_t value = picture.samples[i];
        packed[byte] = uint8_t(packed[byte] | (wide ? value >> 8 : value << shift));
        packed[byte + wide] = wide ? uint8_t(value) : packed[byte];
    }
    Check(spng_encode_image(ctx.get(), packed.data(), packed.size(), SPNG_FMT_RAW,
                            SPNG_ENCODE_FINALIZE));
    std::size_t size = 0;
    int error = 0;
    const std::unique_ptr<void, decltype(&std::free)> png(
        spng_get_png_buffer(ctx.get(), &size, &error), std::free);
    Check(error);
    const auto* bytes = static_cast<const uint8_t*>(png.get());
    return Bytes(bytes, bytes + size);
}

PngPicture DecodePng(const Bytes& file) {
    Context ctx(spng_ctx_new(0), spng_ctx_free);
    spng_ihdr ihdr{};
    std::size_t size = 0;
    Check(spng_set_png_buffer(ctx.get(), file.data(), file.size()));
    Check(spng_get_ihdr(ctx.get(), &ihdr));
    const bool grey = ihdr.color_type == kGrey;
    const auto format = grey ? SPNG_FMT_G8 : SPNG_FMT_RGBA8;
    Check(spng_decoded_image_size(ctx.get(), format, &size));
    Bytes samples(size);
    Check(spng_decode_image(ctx.get(), samples.data(), size, format, 0));
    PngPicture picture{ihdr.width, ihdr.height, grey ? kGrey : kRgba};
    picture.bitDepth = grey ? ihdr.bit_depth : 8;
    picture.interlaced = ihdr.interlace_method != 0;
    picture.samples.assign(samples.begin(), samples.end());
    if (spng_iccp iccp{}; spng_get_iccp(ctx.get(), &iccp) == 0) {
        picture.icc.assign(iccp.profile, iccp.profile + iccp.profile_len);
        picture.iccName = iccp.profile_name;
    }
    return picture;
}

Bytes EncodeTiff(const TiffPicture& p) {
    const ScratchFolder folder;
    TIFF* tiff = TIFFOpen((folder / "p.tif").c_str(), p.mode);
    Check(tiff != nullptr, "EncodeTiff: creating a file");
    // The directory is written with room for the strip offsets, which the flush after the
    // pixels fills in place.
    SetFields(tiff, p);
    Check(TIFFWriteCheck(tiff, p.tileSize != 0, "EncodeTiff") && TIFFWriteDirectory(tiff),
          "EncodeTiff: writing a directory");
    const bool jpeg = p.compression == COMPRESSION_JPEG;  // whose settings the file does not keep
    Check(TIFFSetDirectory(tiff, 0) && (!jpeg || TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 100)) &&
              (!jpeg || p.photometric != PHOTOMETRIC_YCBCR ||
               TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)),
          "EncodeTiff: going back to the directory");
    WritePixels(tiff, p);
    Check(TIFFFlush(tiff), "EncodeTiff: writing the pixels");
    TIFFClose(tiff);
    return ReadWholeFile(folder / "p.tif");
}

Bytes EncodeWebp(int width, int height, int channels, const Bytes& pixels,
                 const EncodeOptions& options) {
    const int stride = width * channels;
    uint8_t* out = nullptr;
    const std::size_t size =
        options.lossless ? (channels == 4 ? WebPEncodeLosslessRGBA : WebPEncodeLosslessRGB)(
                               pixels.data(), width, height, stride, &out)
                         : (channels == 4 ? WebPEncodeRGBA : WebPEncodeRGB)(
                               pixels.data(), width, height, stride, float(options.quality), &out);
    const std::unique_ptr<uint8_t, decltype(&WebPFree)> owned(out, WebPFree);
    Check(size != 0, "EncodeWebp: encoding");
    Bytes file(out, out + size);
    // The multiplexer writes the extended header that says the chunks are there.
    for (const auto& [name, chunk] : {std::pair{"EXIF", &options.exif}, {"ICCP", &options.icc}}) {
        if (chunk->empty()) {
            continue;
        }
        const WebPData image{file.data(), file.size()}, data{chunk->data(), chunk->size()};
        std::unique_ptr<WebPMux, decltype(&WebPMuxDelete)> mux(WebPMuxCreate(&image, 1),
                                                               WebPMuxDelete);
        WebPData assembled{};
        Check(mux && WebPMuxSetChunk(mux.get(), name, &data, 1) == WEBP_MUX_OK &&
                  WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK,
              "EncodeWebp: adding a chunk");
        file.assign(assembled.bytes, assembled.bytes + assembled.size);
        WebPDataClear(&assembled);
    }
    return file;
}

#if defined(__SANITIZE_ADDRESS__)
// x265 keeps memory of its own to the end of the process, which LeakSanitizer would report
// in every program that makes a HEIC.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
#endif

std::string MissingHeifEncoder(HeifCodec codec) {
    return heif_have_encoder_for_format(FormatOf(codec)) ? ""
           : codec == HeifCodec::Hevc                    ? "libheif's HEVC encoder (x265)"
                                      : "libheif's AV1 encoder (aom, rav1e or SVT-AV1)";
}

Bytes EncodeHeif(const HeifPicture& p) {
    const bool wide = p.bitDepth > 8;
    const heif_chroma chroma =
        wide ? (p.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (p.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* image = nullptr;
    Check(heif_image_create(p.width, p.height, heif_colorspace_RGB, chroma, &image));
    Check(heif_image_add_plane(image, heif_channel_interleaved, p.width, p.height, p.bitDepth));
    if (!p.icc.empty()) {
        Check(heif_image_set_raw_color_profile(image, "prof", p.icc.data(), p.icc.size()));
    }
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    // Samples of more than 8 bits in 2 bytes, little-endian.
    const std::size_t perRow = std::size_t(p.width) * (p.alpha ? 4 : 3), bytes = wide ? 2 : 1;
    for (std::size_t i = 0; i < p.samples.size(); ++i) {
        uint8_t* at = plane + i / perRow * std::size_t(stride) + i % perRow * bytes;
        at[0] = uint8_t(p.samples[i]);
        at[bytes - 1] = uint8_t(p.samples[i] >> (8 * (bytes - 1)));
    }
    heif_image_set_premultiplied_alpha(image, p.premultiplied);
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    Check(heif_context_get_encoder_for_format(context, FormatOf(p.codec), &encoder));
    heif_encoding_options* options = heif_encoding_options_alloc();
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    if (p.quality == 0) {
        // RGB stored as it is, so that the samples come back exactly.
        Check(heif_encoder_set_lossless(encoder, 1));
        Check(heif_encoder_set_parameter(encoder, "chroma", "444"));
        nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
        nclx->full_range_flag = 1;
        options->output_nclx_profile = nclx;
        Check(heif_image_set_nclx_color_profile(image, nclx));
    } else {
        Check(heif_encoder_set_lossy_quality(encoder, p.quality));
    }
    options->image_orientation = heif_orientation(p.orientation);
    heif_image_handle* handle = nullptr;
    Check(heif_context_encode_image(context, image, encoder, options, &handle));
    if (!p.exif.empty()) {
        Check(heif_context_add_exif_metadata(context, handle, p.exif.data(), int(p.exif.size())));
    }
    const ScratchFolder folder;
    Check(heif_context_write_to_file(context, (folder / "p.heif").c_str()));
    heif_image_handle_release(handle);
    heif_nclx_color_profile_free(nclx);
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_free(context);
    heif_image_release(image);
    return ReadWholeFile(folder / "p.heif");
}

}  // namespace zel7::test_support
