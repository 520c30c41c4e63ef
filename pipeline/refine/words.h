// Eight bytes of a row of classes read as one word, for the passes that skip runs of one
// class eight pixels at a time.
#pragma once

#include <cstdint>
#include <cstring>

namespace zel7 {

// The eight bytes from at, unaligned.
inline uint64_t Word(const uint8_t* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// Whether any of a word's bytes is 0 (object, as the classes mark it).
inline bool HasZeroByte(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    return ((word - kOnes) & ~word & (kOnes << 7)) != 0;
}

}  // namespace zel7
