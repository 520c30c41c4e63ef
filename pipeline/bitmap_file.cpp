#include "bitmap_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "working_image.h"

namespace zel7 {
namespace {

BitmapError Fail(BitmapStatus status, int osError = 0) {
    return {status, osError};
}

bool Report(const BitmapError& error, BitmapError* why) {
    if (why != nullptr) {
        *why = error;
    }
    return error.Ok();
}

struct PixelBufferDeleter {
    void operator()(uint8_t* buffer) const { FreePixelBuffer(buffer); }
};
using PixelBuffer = std::unique_ptr<uint8_t, PixelBufferDeleter>;

}  // namespace

BitmapError BitmapSource::Open(const char* path) {
    uint64_t fileSize = 0;
    UniqueFd fd;
    if (int error = OpenRegularFileForReading(path, fd, fileSize)) {
        bool notFile = error == EISDIR || error == EINVAL;
        return Fail(notFile ? BitmapStatus::NotRegularFile : BitmapStatus::CannotOpen,
                    notFile ? 0 : error);
    }
    uint8_t head[kHeaderProbeBytes];
    const auto probe = static_cast<std::size_t>(std::min<uint64_t>(fileSize, sizeof head));
    if (int error = ReadExactlyAt(fd.Get(), 0, head, probe)) {
        return Fail(error == ENODATA ? BitmapStatus::TruncatedHeader : BitmapStatus::ReadFailed,
                    error == ENODATA ? 0 : error);
    }
    BitmapLayout layout;
    if (BitmapStatus status = ParseBitmapHeader({head, probe}, fileSize, layout);
        status != BitmapStatus::Ok) {
        return Fail(status);
    }
    fd_ = std::move(fd);
    layout_ = layout;
    return {};
}

BitmapError BitmapSource::ReadColorTable(uint8_t* palette) const {
    const std::size_t stored = std::size_t{layout_.colorTableEntries} * 4;
    std::memset(palette + stored, 0, kColorTableBytes - stored);
    if (int error = ReadExactlyAt(fd_.Get(), layout_.colorTableOffset, palette, stored)) {
        // The size was checked on opening, so running short means the file shrank.
        return error == ENODATA ? Fail(BitmapStatus::TruncatedColorTable)
                                : Fail(BitmapStatus::ReadFailed, error);
    }
    return {};
}

BitmapError BitmapSource::ReadPixels(uint64_t offset, std::size_t size, uint8_t* pixels) const {
    if (int error = ReadExactlyAt(fd_.Get(), layout_.pixelOffset + offset, pixels, size)) {
        return error == ENODATA ? Fail(BitmapStatus::TruncatedPixels)
                                : Fail(BitmapStatus::ReadFailed, error);
    }
    return {};
}

BitmapError BitmapSink::Create(const char* path, const BitmapLayout& layout,
                               const uint8_t* palette) {
    if (layout.bitCount == 8 && palette == nullptr) {
        return Fail(BitmapStatus::NoColorTable);
    }
    if (int error = file_.Create(path)) {
        return Fail(BitmapStatus::CannotCreate, error);
    }
    layout_ = layout;
    pixelsWritten_ = 0;

    // Headers and colour table go out in one write.
    uint8_t front[kHeadersBytes + kColorTableBytes];
    const auto headers = EncodeBitmapHeaders(layout);
    std::memcpy(front, headers.data(), headers.size());
    std::size_t frontBytes = headers.size();
    if (layout.bitCount == 8) {
        std::memcpy(front + frontBytes, palette, kColorTableBytes);
        frontBytes += kColorTableBytes;
    }
    if (int error = WriteAll(file_.Fd(), front, frontBytes)) {
        file_.Abort();
        return Fail(BitmapStatus::CannotWrite, error);
    }
    return {};
}

BitmapError BitmapSink::WritePixels(const uint8_t* pixels, std::size_t size) {
    if (int error = WriteAll(file_.Fd(), pixels, size)) {
        file_.Abort();
        return Fail(BitmapStatus::CannotWrite, error);
    }
    pixelsWritten_ += size;
    return {};
}

BitmapError BitmapSink::Commit() {
    if (pixelsWritten_ != uint64_t(layout_.pixelBytes)) {
        file_.Abort();
        return Fail(BitmapStatus::NoPixels);
    }
    if (int error = file_.Commit()) {
        return Fail(BitmapStatus::CannotWrite, error);
    }
    return {};
}

bool ReadBitmapFile(const char* path, BitmapError* why) {
    BitmapSource source;
    if (BitmapError error = source.Open(path); !error.Ok()) {
        return Report(error, why);
    }
    const BitmapLayout& layout = source.Layout();

    std::unique_ptr<uint8_t[]> palette;
    if (layout.bitCount == 8) {
        palette.reset(new (std::nothrow) uint8_t[kColorTableBytes]);
        if (!palette) {
            return Report(Fail(BitmapStatus::OutOfMemory), why);
        }
        if (BitmapError error = source.ReadColorTable(palette.get()); !error.Ok()) {
            return Report(error, why);
        }
    }
    PixelBuffer pixels(layout.pixelBytes > 0 ? AllocatePixelBuffer(std::size_t(layout.pixelBytes))
                                             : nullptr);
    if (layout.pixelBytes > 0) {
        if (!pixels) {
            return Report(Fail(BitmapStatus::OutOfMemory), why);
        }
        if (BitmapError error = source.ReadPixels(0, std::size_t(layout.pixelBytes), pixels.get());
            !error.Ok()) {
            return Report(error, why);
        }
    }

    // Everything is in hand: only now does the working image change.
    workingImage.width = layout.width;
    workingImage.height = layout.height;
    workingImage.bitCount = layout.bitCount;
    workingImage.pixels = pixels.release();
    if (palette) {
        workingImage.palette = palette.release();
    }
    return Report({}, why);
}

bool WriteBitmapFile(const char* path, const uint8_t* pixels, int32_t width, int32_t height,
                     int32_t bitCount, const uint8_t* palette, BitmapError* why) {
    BitmapLayout layout;
    if (BitmapStatus status = MakeWrittenLayout(width, height, bitCount, layout);
        status != BitmapStatus::Ok) {
        return Report(Fail(status), why);
    }
    if (pixels == nullptr && layout.pixelBytes > 0) {
        return Report(Fail(BitmapStatus::NoPixels), why);
    }
    BitmapSink sink;
    if (BitmapError error = sink.Create(path, layout, palette); !error.Ok()) {
        return Report(error, why);
    }
    if (BitmapError error = sink.WritePixels(pixels, std::size_t(layout.pixelBytes)); !error.Ok()) {
        return Report(error, why);
    }
    return Report(sink.Commit(), why);
}

}  // namespace zel7
