#include "formats/picture_files.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>

#include "formats/bitmap_file.h"
#include "formats/formats.h"

namespace zel7 {
namespace {

enum class Kind { Bitmap, Jpeg, Png, Tiff, Heif, Webp, Unknown };

// Tells the format by a file's first bytes; false when there are none.
bool KindOf(std::span<const uint8_t> signature, Kind& kind) {
    kind = IsBitmap(signature) ? Kind::Bitmap
           : IsJpeg(signature) ? Kind::Jpeg
           : IsPng(signature)  ? Kind::Png
           : IsTiff(signature) ? Kind::Tiff
           : IsHeif(signature) ? Kind::Heif
           : IsWebp(signature) ? Kind::Webp
                               : Kind::Unknown;
    return !signature.empty();
}

// Tells the format by the file's first bytes; 0 or an errno value.
int ProbeKind(int fd, uint64_t size, Kind& kind) {
    uint8_t head[kSignatureBytes] = {};
    const auto probe = std::size_t(std::min<uint64_t>(size, sizeof head));
    if (int error = ReadExactlyAt(fd, 0, head, probe)) {
        return error;
    }
    KindOf({head, probe}, kind);
    return 0;
}

}  // namespace

Result PictureFile::Open(const std::filesystem::path& path, uint64_t maxPixels) {
    // Standard input is read to its end first: decoders need a file they can seek in.
    // What it brings is judged by its first bytes, and bounded by what a picture of
    // maxPixels can take.
    const auto known = [](std::span<const uint8_t> head) {
        Kind kind;
        return KindOf(head, kind) && kind != Kind::Unknown;
    };
    if (path == "-") {
        Result spooled = SpoolToTemporaryFile(kStandardInput, kSignatureBytes, known,
                                              MaxSpoolBytes(maxPixels), fd_, size_);
        if (spooled.status == Status::TooManyPixels) {
            return Fail(Status::TooManyPixels, "standard input brings more than " +
                                                   std::to_string(MaxSpoolBytes(maxPixels)) +
                                                   " bytes, more than a picture of at most " +
                                                   std::to_string(maxPixels) + " pixels takes");
        }
        return spooled;
    }
    if (int error = OpenRegularFileForReading(path, fd_, size_)) {
        const bool notFile = error == EISDIR || error == EINVAL;
        return Fail(notFile ? Status::NotRegularFile : Status::CannotOpen, notFile ? 0 : error);
    }
    return {};
}

Result PictureFile::OpenSource(const SourceOptions& options,
                               std::unique_ptr<RowSource>& source) const {
    UniqueFd fd;
    if (int error = DuplicateFd(fd_, fd)) {
        return Fail(Status::CannotOpen, error);
    }
    Kind kind;
    if (int error = ProbeKind(fd.Get(), size_, kind)) {
        return Fail(Status::ReadFailed, error);
    }
    switch (kind) {
        case Kind::Bitmap:
            return OpenBitmapSource(std::move(fd), size_, options, source);
        case Kind::Jpeg:
            return OpenJpegSource(std::move(fd), size_, options, source);
        case Kind::Png:
            return OpenPngSource(std::move(fd), size_, options, source);
        case Kind::Tiff:
            return OpenTiffSource(std::move(fd), size_, options, source);
        case Kind::Heif:
            return OpenHeifSource(std::move(fd), size_, options, source);
        case Kind::Webp:
            return OpenWebpSource(std::move(fd), size_, options, source);
        case Kind::Unknown:
            break;
    }
    return size_ == 0 ? Fail(Status::UnknownFormat, "the file is empty")
                      : Fail(Status::UnknownFormat);
}

bool PictureFile::DecodesSmaller() const {
    Kind kind = Kind::Unknown;
    return ProbeKind(fd_.Get(), size_, kind) == 0 && kind == Kind::Jpeg;
}

bool IsPictureFile(const std::filesystem::path& path) {
    UniqueFd fd;
    uint64_t size = 0;
    Kind kind = Kind::Unknown;
    return OpenRegularFileForReading(path, fd, size) == 0 && ProbeKind(fd.Get(), size, kind) == 0 &&
           kind != Kind::Unknown;
}

Result OpenPictureSource(const std::filesystem::path& path, const SourceOptions& options,
                         std::unique_ptr<RowSource>& source) {
    PictureFile file;
    if (Result result = file.Open(path, options.maxPixels); !result.Ok()) {
        return result;
    }
    return file.OpenSource(options, source);
}

Result CreatePictureSink(const std::filesystem::path& path, PictureFormat format,
                         const PictureShape& shape, const uint8_t* colorTable,
                         std::unique_ptr<RowSink>& sink, const SinkOptions& options) {
    if (format == PictureFormat::Png) {
        return CreatePngSink(path, shape, options.content, sink, options.inside);
    }
    if (format == PictureFormat::Jpeg) {
        return CreateJpegSink(path, shape, options.quality, sink, options.inside);
    }
    if (format == PictureFormat::Webp) {
        return CreateWebpSink(path, shape, options, sink);
    }
    auto bitmap = std::make_unique<BitmapSink>();
    if (Result result = bitmap->Create(path, shape, colorTable, options.inside); !result.Ok()) {
        return result;
    }
    sink = std::move(bitmap);
    return {};
}

std::optional<PictureFormat> FormatForName(const std::filesystem::path& path) {
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        return text;
    };
    std::string extension = lower(path.extension().string());
    // A name that is only a dot and a picture's extension (".png") is taken for that
    // picture, not for a hidden file without extension (".bashrc"): a BMP named .jpg
    // would be a lie.
    static constexpr std::string_view kPictures[] = {".png",  ".jpg",  ".jpeg", ".webp",
                                                     ".dib",  ".tif",  ".tiff", ".gif",
                                                     ".heic", ".heif", ".avif"};
    if (const std::string name = lower(path.filename().string());
        extension.empty() &&
        std::find(std::begin(kPictures), std::end(kPictures), name) != std::end(kPictures)) {
        extension = name;
    }
    if (extension == ".png") {
        return PictureFormat::Png;
    }
    if (extension == ".jpg" || extension == ".jpeg") {
        return PictureFormat::Jpeg;
    }
    if (extension == ".webp") {
        return PictureFormat::Webp;
    }
    if (extension == ".bmp" || extension == ".dib" || extension.empty()) {
        return PictureFormat::Bmp;
    }
    return std::nullopt;
}

std::filesystem::path MaskFileName(const std::filesystem::path& source, const std::string& suffix,
                                   std::optional<PictureFormat> format, bool cutout) {
    const std::filesystem::path name = source.filename();
    const bool namedBmp = FormatForName(name) == PictureFormat::Bmp;
    const PictureFormat chosen =
        format.value_or(namedBmp && !cutout ? PictureFormat::Bmp : PictureFormat::Png);
    std::filesystem::path file = name.stem();
    file += suffix;
    if (namedBmp && chosen == PictureFormat::Bmp) {
        file += name.extension();
    } else {
        file += chosen == PictureFormat::Png    ? ".png"
                : chosen == PictureFormat::Jpeg ? ".jpg"
                : chosen == PictureFormat::Webp ? ".webp"
                                                : ".bmp";
    }
    return file;
}

}  // namespace zel7
