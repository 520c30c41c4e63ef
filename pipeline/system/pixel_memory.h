// Memory for pixels by the megabyte: pictures held whole, rows kept for a pass, a
// picture's samples. Fresh memory is faulted in a page at a time, and each fault costs
// microseconds (more on a virtual machine): buffers of megabytes are laid on huge pages,
// which fault in 512 times fewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace zel7 {

// Large buffers for pixel rows. Never returns memory that must be freed with anything
// but FreePixelBuffer; returns null when the memory is not available.
uint8_t* AllocatePixelBuffer(std::size_t size);
void FreePixelBuffer(uint8_t* buffer);
struct PixelBufferFree {
    void operator()(uint8_t* buffer) const { FreePixelBuffer(buffer); }
};
using PixelBuffer = std::unique_ptr<uint8_t[], PixelBufferFree>;
// The same for vectors (a picture's samples, rows kept for a pass).
template <class T>
struct PixelAllocator {
    // (small buffers come from malloc, aligned for any standard type and no more)
    static_assert(alignof(T) <= alignof(std::max_align_t));
    using value_type = T;
    PixelAllocator() = default;
    template <class U>
    PixelAllocator(const PixelAllocator<U>&) {}
    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        uint8_t* buffer = AllocatePixelBuffer(count * sizeof(T));
        if (buffer == nullptr) {
            throw std::bad_alloc();
        }
        return reinterpret_cast<T*>(buffer);
    }
    void deallocate(T* buffer, std::size_t) { FreePixelBuffer(reinterpret_cast<uint8_t*>(buffer)); }
    template <class U>
    bool operator==(const PixelAllocator<U>&) const {
        return true;
    }
};
template <class T>
using PixelVector = std::vector<T, PixelAllocator<T>>;
// Gives back to the system the memory of a pixel buffer of size bytes up to its byte
// `done`, which its owner will not read again (it would read zeros), from byte
// `released` on, in whole huge pages; returns the byte up to which all is given back.
// Small buffers keep their memory.
std::size_t ReleasePixelPages(uint8_t* buffer, std::size_t size, std::size_t released,
                              std::size_t done);

}  // namespace zel7
