#include "picture_files.h"

#include "bitmap_file.h"

namespace zel7 {

Result OpenPictureSource(const std::filesystem::path& path, std::unique_ptr<RowSource>& source) {
    auto bitmap = std::make_unique<BitmapSource>();
    if (Result result = bitmap->Open(path); !result.Ok()) {
        return result;
    }
    source = std::move(bitmap);
    return {};
}

Result CreatePictureSink(const std::filesystem::path& path, const PictureShape& shape,
                         const uint8_t* colorTable, std::unique_ptr<RowSink>& sink) {
    auto bitmap = std::make_unique<BitmapSink>();
    if (Result result = bitmap->Create(path, shape, colorTable); !result.Ok()) {
        return result;
    }
    sink = std::move(bitmap);
    return {};
}

}  // namespace zel7
