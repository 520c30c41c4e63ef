#include "encode_png.h"

#include <spng.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace zel7::test_support {
namespace {

using Context = std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)>;

void Check(int error) {
    error == 0 ? void() : throw std::runtime_error(spng_strerror(error));
}

// Where the i-th sample sits in rows packed as PNG stores them: its first byte, and the
// shift that brings a sample of less than 8 bits to the bottom of that byte.
std::pair<std::size_t, unsigned> Locate(const PngPicture& p, std::size_t i) {
    const std::size_t perRow = std::size_t(p.width) * std::size_t(p.Channels());
    const std::size_t bit = i % perRow * p.bitDepth;
    return {i / perRow * ((perRow * p.bitDepth + 7) / 8) + bit / 8,
            p.bitDepth < 8 ? unsigned(8 - p.bitDepth - bit % 8) : 0};
}

void Put32(Bytes& file, std::size_t at, uint32_t value) {  // big-endian, as PNG stores it
    for (int i = 0; i < 4; ++i) {
        file[at + std::size_t(i)] = uint8_t(value >> (24 - 8 * i));
    }
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
        trns.gray = trns.red = key[0];
        trns.green = key.size() == 3 ? key[1] : 0;
        trns.blue = key.size() == 3 ? key[2] : 0;
        Check(spng_set_trns(ctx.get(), &trns));
    }
    const std::size_t perRow = std::size_t(picture.width) * std::size_t(picture.Channels());
    Bytes packed((perRow * picture.bitDepth + 7) / 8 * picture.height);
    for (std::size_t i = 0; i < picture.samples.size(); ++i) {
        const auto [byte, shift] = Locate(picture, i);
        const uint16_t value = picture.samples[i];
        const bool wide = picture.bitDepth == 16;
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
    Check(spng_decoded_image_size(ctx.get(), SPNG_FMT_G8, &size));
    Bytes grey(size);
    Check(spng_decode_image(ctx.get(), grey.data(), size, SPNG_FMT_G8, 0));
    return {ihdr.width,
            ihdr.height,
            ihdr.color_type,
            ihdr.bit_depth,
            ihdr.interlace_method != 0,
            {grey.begin(), grey.end()}};
}

Bytes ClaimSize(Bytes file, uint32_t width, uint32_t height) {
    Put32(file, 16, width), Put32(file, 20, height);  // IHDR's first fields
    Rechecksum(file, 12);
    return file;
}

void Rechecksum(Bytes& file, std::size_t type) {
    // CRC-32, bit by bit, of the type and the data, whose length the 4 bytes before give.
    const std::size_t end = type + 4 +
                            (std::size_t(file[type - 4]) << 24 | file[type - 3] << 16 |
                             file[type - 2] << 8 | file[type - 1]);
    uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = type; i < end; ++i) {
        crc ^= file[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
        }
    }
    Put32(file, end, ~crc);
}

}  // namespace zel7::test_support
