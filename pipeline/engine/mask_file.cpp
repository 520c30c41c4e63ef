#include "engine/mask_file.h"

#include "engine/orientation.h"

namespace zel7 {
namespace {

Result MaskRefined(const std::filesystem::path& source, const std::filesystem::path& destination,
                   const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note) {
    const RefineOptions& refine = options.refine;
    if (refine.product == Product::Cutout && options.format == PictureFormat::Bmp) {
        return Fail(Status::InvalidOptions, "cut-outs are written as PNG or WebP");
    }
    PictureFile file;
    if (Result result = file.Open(source, options.maxPixels); !result.Ok()) {
        return result;
    }
    const SourceOpener open = [&](std::unique_ptr<RowSource>& source) {
        return file.OpenSource({options.background, options.maxPixels}, source);
    };
    std::unique_ptr<RowSource> input;
    if (Result result = OpenRefinedSource(open, options.background, refine, input); !result.Ok()) {
        return result;
    }
    const RowSource& refined = *input;  // owned by whatever turns it upright
    if (input->Orientation() != 1) {
        // Two tones turn in a bit a pixel; grey and colour rows whole.
        input = refine.product == Product::Mask
                    ? UprightMaskSource(std::move(input), Background::NearWhite)
                    : UprightSource(std::move(input));
    }
    const PngContent content = refine.product == Product::Cutout     ? PngContent::Rgba
                               : refine.product == Product::SoftMask ? PngContent::Grey
                                                                     : PngContent::TwoTone;
    std::unique_ptr<RowSink> output;
    if (Result result = CreatePictureSink(destination, options.format, input->Shape(), nullptr,
                                          output, content, options.encoding);
        !result.Ok()) {
        return result;
    }
    if (Result result = CopyRows(*input, *output, {std::nullopt, options.writing}, buffer);
        !result.Ok()) {
        return result;
    }
    if (note != nullptr) {
        note->confidence = ConfidenceOf(refined);
    }
    return {};
}

}  // namespace

std::string MaskNote::Remark() const {
    return copiedBitCount == 0 ? std::string()
                               : std::to_string(copiedBitCount) +
                                     "-bit picture copied unchanged; only 24-bit BMPs are masked";
}

Result MaskFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note) {
    if (options.refine.Active()) {
        return MaskRefined(source, destination, options, buffer, note);
    }
    std::unique_ptr<RowSource> input;
    if (Result result = OpenPictureSource(source, {options.background, options.maxPixels}, input);
        !result.Ok()) {
        return result;
    }
    if (input->Orientation() != 1) {
        input = UprightMaskSource(std::move(input), options.background);
    }
    if (options.format == PictureFormat::Png && !AsTrueColour(*input)) {
        return Fail(Status::TooManyPixels, "too large to convert into a PNG mask");
    }
    std::unique_ptr<RowSink> output;
    if (Result result = CreatePictureSink(destination, options.format, input->Shape(),
                                          ColorTableOf(*input), output);
        !result.Ok()) {
        return result;
    }
    if (note != nullptr) {
        note->copiedBitCount = input->Shape().bitCount == 24 ? 0 : input->Shape().bitCount;
    }
    return CopyRows(*input, *output, {options.background, options.writing}, buffer);
}

}  // namespace zel7
