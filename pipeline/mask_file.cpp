#include "mask_file.h"

#include "picture_files.h"

namespace zel7 {

Result MaskFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                Background background, std::vector<uint8_t>& buffer, SliceWriting writing) {
    std::unique_ptr<RowSource> input;
    if (Result result = OpenPictureSource(source, input); !result.Ok()) {
        return result;
    }
    std::unique_ptr<RowSink> output;
    if (Result result = CreatePictureSink(destination, input->Shape(), input->ColorTable(), output);
        !result.Ok()) {
        return result;
    }
    return CopyRows(*input, *output, {background, writing}, buffer);
}

}  // namespace zel7
