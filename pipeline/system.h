// The few operating-system services the pipeline needs that the C++ library lacks:
// non-blocking opens, positioned reads, exclusive creation, atomic replacement, and
// large page-aligned buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zel7 {

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Release();
    // Closes now and reports the result (0 or an errno value), as close errors can
    // be the first sign of a failed write.
    int Close();

private:
    int fd_ = -1;
};

// Every function below reports failure with an errno value (0 means success).

// Opens a regular file for reading without blocking on FIFOs or devices. A path that
// names anything but a regular file fails with EINVAL (directories with EISDIR).
int OpenRegularFileForReading(const char* path, UniqueFd& fd, uint64_t& size);

// Reads exactly size bytes at offset; a file that ends early fails with ENODATA.
int ReadExactlyAt(int fd, uint64_t offset, void* buffer, std::size_t size);

// Writes all of size bytes at the current position.
int WriteAll(int fd, const void* data, std::size_t size);

// A file being written beside its destination, which replaces the destination only
// when Commit succeeds. Destroying it uncommitted removes it.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile() { Abort(); }

    // Creates the temporary file in the folder of the destination (the final target
    // when the destination is a symbolic link).
    int Create(const char* destination);
    int Fd() const { return fd_.Get(); }
    // Flushes, closes and renames over the destination. An existing destination's
    // permission bits carry over; a new file gets 0666 less the umask.
    int Commit();
    void Abort();

private:
    UniqueFd fd_;
    std::string target_;
    std::string temporary_;
};

// Makes SIGINT, SIGTERM and SIGHUP remove every temporary file of this process's
// ReplacementFiles before the program dies of the signal. Call it before starting
// any thread: it blocks those signals and waits for them on a thread of its own.
void RemoveTemporaryFilesOnInterruption();

// Large zeroed-or-not buffers for pixel rows. Never returns memory that must be freed
// with anything but FreePixelBuffer; returns null when the memory is not available.
uint8_t* AllocatePixelBuffer(std::size_t size);
void FreePixelBuffer(uint8_t* buffer);

}  // namespace zel7
