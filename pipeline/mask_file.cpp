#include "mask_file.h"

#include "orientation.h"

namespace zel7 {

Result MaskFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note) {
    std::unique_ptr<RowSource> input;
    if (Result result = OpenPictureSource(source, {options.background, options.maxPixels}, input);
        !result.Ok()) {
        return result;
    }
    if (input->Orientation() != 1) {
        input = UprightMaskSource(std::move(input), options.background);
    }
    if (options.format == PictureFormat::Png && !input->SetTrueColour()) {
        return Fail(Status::TooManyPixels, "too large to convert into a PNG mask");
    }
    std::unique_ptr<RowSink> output;
    if (Result result = CreatePictureSink(destination, options.format, input->Shape(),
                                          input->ColorTable(), output);
        !result.Ok()) {
        return result;
    }
    if (note != nullptr) {
        note->copiedBitCount = input->Shape().bitCount == 24 ? 0 : input->Shape().bitCount;
    }
    return CopyRows(*input, *output, {options.background, options.writing}, buffer);
}

}  // namespace zel7
