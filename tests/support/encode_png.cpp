#include "encode_png.h"

#include <spng.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace zel7::testing {
namespace {

using Context = std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)>;

void Check(int error) {
    if (error != 0) {
        throw std::runtime_error(spng_strerror(error));
    }
}

// Where the i-th sample sits in rows packed as PNG stores them: its first byte, and
// the shift that brings a sample of less than 8 bits to the bottom of that byte.
struct Place {
    std::size_t byte;
    unsigned shift;
};
std::size_t RowBytes(const PngPicture& p) {
    return (std::size_t(p.width) * std::size_t(p.Channels() * p.bitDepth) + 7) / 8;
}
Place Locate(const PngPicture& p, std::size_t i) {
    const std::size_t perRow = std::size_t(p.width) * std::size_t(p.Channels());
    const std::size_t bit = i % perRow * p.bitDepth;
    return {i / perRow * RowBytes(p) + bit / 8,
            p.bitDepth < 8 ? unsigned(8 - p.bitDepth - bit % 8) : 0};
}

}  // namespace

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
        trns.gray = key[0];
        trns.red = key[0];
        trns.green = key.size() == 3 ? key[1] : 0;
        trns.blue = key.size() == 3 ? key[2] : 0;
        Check(spng_set_trns(ctx.get(), &trns));
    }
    Bytes packed(RowBytes(picture) * picture.height);
    for (std::size_t i = 0; i < picture.samples.size(); ++i) {
        const Place at = Locate(picture, i);
        const uint16_t value = picture.samples[i];
        if (ihdr.bit_depth == 16) {
            packed[at.byte] = uint8_t(value >> 8);
            packed[at.byte + 1] = uint8_t(value);
        } else {
            packed[at.byte] = uint8_t(packed[at.byte] | value << at.shift);
        }
    }
    Check(spng_encode_image(ctx.get(), packed.data(), packed.size(), SPNG_FMT_RAW,
                            SPNG_ENCODE_FINALIZE));
    std::size_t size = 0;
    int error = 0;
    std::unique_ptr<uint8_t, decltype(&std::free)> png(
        static_cast<uint8_t*>(spng_get_png_buffer(ctx.get(), &size, &error)), std::free);
    Check(error);
    return Bytes(png.get(), png.get() + size);
}

PngPicture DecodePng(const Bytes& file) {
    Context ctx(spng_ctx_new(0), spng_ctx_free);
    spng_ihdr ihdr{};
    std::size_t size = 0;
    Check(spng_set_png_buffer(ctx.get(), file.data(), file.size()));
    Check(spng_get_ihdr(ctx.get(), &ihdr));
    Check(spng_decoded_image_size(ctx.get(), SPNG_FMT_RAW, &size));
    Bytes packed(size);
    Check(spng_decode_image(ctx.get(), packed.data(), size, SPNG_FMT_RAW, 0));
    PngPicture picture{.width = ihdr.width,
                       .height = ihdr.height,
                       .colour = ihdr.color_type,
                       .bitDepth = ihdr.bit_depth,
                       .interlaced = ihdr.interlace_method != 0};
    picture.samples.resize(std::size_t(ihdr.width) * ihdr.height * std::size_t(picture.Channels()));
    for (std::size_t i = 0; i < picture.samples.size(); ++i) {
        const Place at = Locate(picture, i);
        picture.samples[i] =
            ihdr.bit_depth == 16
                ? uint16_t(packed[at.byte] << 8 | packed[at.byte + 1])
                : uint16_t(packed[at.byte] >> at.shift & ((1u << ihdr.bit_depth) - 1));
    }
    return picture;
}

Bytes ClaimSize(Bytes file, uint32_t width, uint32_t height) {
    // After the signature, IHDR: length, type, then width and height; its checksum
    // (CRC-32, bit by bit) covers type and data.
    const auto put = [&](std::size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            file[at + std::size_t(i)] = uint8_t(value >> (24 - 8 * i));
        }
    };
    put(16, width);
    put(20, height);
    uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= file[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
        }
    }
    put(29, ~crc);
    return file;
}

}  // namespace zel7::testing
