#include "bitmap_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zel7 {

Result BitmapSource::Open(const std::filesystem::path& path) {
    uint64_t fileSize = 0;
    UniqueFd fd;
    if (int error = OpenRegularFileForReading(path, fd, fileSize)) {
        bool notFile = error == EISDIR || error == EINVAL;
        return Fail(notFile ? Status::NotRegularFile : Status::CannotOpen, notFile ? 0 : error);
    }
    uint8_t head[kHeaderProbeBytes];
    const auto probe = static_cast<std::size_t>(std::min<uint64_t>(fileSize, sizeof head));
    if (int error = ReadExactlyAt(fd.Get(), 0, head, probe)) {
        return error == ENODATA ? Fail(Status::TruncatedHeader) : Fail(Status::ReadFailed, error);
    }
    BitmapLayout layout;
    if (Status status = ParseBitmapHeader({head, probe}, fileSize, layout); status != Status::Ok) {
        return Fail(status);
    }
    // The file's entries, then zeros up to the full table.
    const std::size_t stored = std::size_t{layout.colorTableEntries} * 4;
    std::memset(colorTable_, 0, sizeof colorTable_);
    if (int error = ReadExactlyAt(fd.Get(), layout.colorTableOffset, colorTable_, stored)) {
        // The size was checked against the file's, so running short means it shrank.
        return error == ENODATA ? Fail(Status::TruncatedColorTable)
                                : Fail(Status::ReadFailed, error);
    }
    fd_ = std::move(fd);
    layout_ = layout;
    position_ = 0;
    return {};
}

const uint8_t* BitmapSource::ColorTable() const {
    return layout_.bitCount == 8 ? colorTable_ : nullptr;
}

Result BitmapSource::Read(uint8_t* into, std::size_t size) {
    if (int error = ReadExactlyAt(fd_.Get(), layout_.pixelOffset + position_, into, size)) {
        return error == ENODATA ? Fail(Status::TruncatedPixels) : Fail(Status::ReadFailed, error);
    }
    position_ += size;
    return {};
}

Result BitmapSink::Create(const std::filesystem::path& path, const PictureShape& shape,
                          const uint8_t* colorTable) {
    if (shape.bitCount == 8 && colorTable == nullptr) {
        return Fail(Status::NoColorTable);
    }
    BitmapLayout layout;
    if (Status status = MakeWrittenLayout(shape.width, shape.height, shape.bitCount, layout);
        status != Status::Ok) {
        return Fail(status);
    }
    toStandardOutput_ = path == "-";
    if (!toStandardOutput_) {
        if (Result result = file_.Create(path); !result.Ok()) {
            return result;
        }
    }
    layout_ = layout;
    bytesWritten_ = 0;

    // Headers and colour table go out in one write.
    uint8_t front[kHeadersBytes + kColorTableBytes];
    const auto headers = EncodeBitmapHeaders(layout);
    std::memcpy(front, headers.data(), headers.size());
    std::size_t frontBytes = headers.size();
    if (layout.bitCount == 8) {
        std::memcpy(front + frontBytes, colorTable, kColorTableBytes);
        frontBytes += kColorTableBytes;
    }
    return Write(front, frontBytes);
}

Result BitmapSink::Write(const uint8_t* bytes, std::size_t size) {
    if (int error = WriteAll(Fd(), bytes, size)) {
        file_.Abort();
        return Fail(Status::CannotWrite, error);
    }
    bytesWritten_ += size;
    return {};
}

Result BitmapSink::Commit() {
    const uint64_t expected = layout_.pixelOffset + uint64_t(layout_.pixelBytes);
    if (bytesWritten_ != expected) {
        file_.Abort();
        return Fail(Status::NoPixels);
    }
    return toStandardOutput_ ? Result{} : file_.Commit();
}

}  // namespace zel7
