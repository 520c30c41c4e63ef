#include "engine/mask_file.h"

#include <cstring>
#include <functional>
#include <new>
#include <span>

#include "engine/colour.h"
#include "engine/orientation.h"
#include "system/pixel_memory.h"

namespace zel7 {
namespace {

// A reduced decoding of up to this many bytes is kept for the refine passes to read
// again, rather than decoded again: at a half, a 24-megapixel photo's 18 MB.
constexpr std::size_t kMostHeldBytes = std::size_t{24} << 20;

// Rows held in memory, handed out again for each pass, with the colour profile they are in.
class HeldRows : public RowSource {
public:
    HeldRows(std::span<const uint8_t> rows, const PictureShape& shape, int orientation,
             std::span<const uint8_t> profile)
        : rows_(rows), shape_(shape), orientation_(orientation), profile_(profile) {}
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    std::span<const uint8_t> ColourProfile() const override { return profile_; }
    Result Read(uint8_t* into, std::size_t size) override {
        if (size > rows_.size() - done_) {
            return Fail(Status::ReadFailed, "read past the last row");
        }
        std::memcpy(into, rows_.data() + done_, size);
        done_ += size;
        return {};
    }

private:
    std::span<const uint8_t> rows_;
    const PictureShape& shape_;
    int orientation_;
    std::span<const uint8_t> profile_;
    std::size_t done_ = 0;
};

// Opens the decoded picture for each pass: decoded once and then held, when it is
// small enough; decoded afresh each time otherwise.
class HeldOpener {
public:
    explicit HeldOpener(SourceOpener decode) : decode_(std::move(decode)) {}

    Result operator()(std::unique_ptr<RowSource>& source) {
        if (shape_.bitCount != 0) {
            source = std::make_unique<HeldRows>(rows_, shape_, orientation_, profile_);
            return {};
        }
        if (Result result = decode_(source);
            !result.Ok() || !AsDecodedRows(*source) ||
            std::size_t(source->Shape().pixelBytes) > kMostHeldBytes) {
            return result;
        }
        rows_.resize(std::size_t(source->Shape().pixelBytes));
        if (Result result = source->Read(rows_.data(), rows_.size()); !result.Ok()) {
            return result;
        }
        shape_ = source->Shape();
        orientation_ = source->Orientation();
        profile_.assign(source->ColourProfile().begin(), source->ColourProfile().end());
        source = std::make_unique<HeldRows>(rows_, shape_, orientation_, profile_);
        return {};
    }

private:
    SourceOpener decode_;
    PixelVector<uint8_t> rows_;
    PictureShape shape_{};
    int orientation_ = 1;
    std::vector<uint8_t> profile_;
};

// How much smaller than its whole size the picture may be decoded for the frame asked:
// 1 but for a JPEG framed to a size. A first decoding at an eighth, cut out as asked,
// shows how large the object is; a frame much smaller than the photo is then made from
// a decoding at a half, a quarter or an eighth, which is what makes a shop's picture
// cost a fraction of a whole cut-out. A probe that fails decides nothing: the whole
// decoding meets the same fault and reports it.
int FrameReductionOf(const PictureFile& file, const MaskOptions& options) {
    constexpr int kProbe = 8;
    const FramingOptions& framing = options.framing;
    if (!framing.size || !file.DecodesSmaller()) {
        return 1;
    }
    HeldOpener held([&](std::unique_ptr<RowSource>& source) {
        return file.OpenSource(
            {options.background, options.maxPixels, kDefaultMaxDecoderMemory, kProbe}, source);
    });
    const SourceOpener open = std::ref(held);
    std::unique_ptr<RowSource> probe;
    FrameBox box;
    if (!framing.trim) {
        if (!open(probe).Ok()) {
            return 1;
        }
        box = {0, 0, probe->Shape().width, probe->Shape().height};
    } else if (!OpenRefinedSource(open, options.background, options.refine, probe).Ok() ||
               !MeasureObject(*probe, box).Ok()) {
        return 1;
    }
    if (probe->Orientation() >= 5) {
        std::swap(box.width, box.height);
    }
    return FrameReduction(framing, box, kProbe);
}

Result MaskRefined(const std::filesystem::path& source, const std::filesystem::path& destination,
                   const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note) {
    RefineOptions refine = options.refine;
    refine.spareCore = options.writing == SliceWriting::OnSecondThread;
    if (refine.product == Product::Cutout
            ? options.format == PictureFormat::Bmp
            : options.format == PictureFormat::Jpeg || options.framing.Active() ||
                  (refine.product == Product::Mask && options.format == PictureFormat::Webp)) {
        return Fail(Status::InvalidOptions,
                    "cut-outs are written as PNG, JPEG or WebP; masks as PNG or BMP (soft ones "
                    "WebP too), unframed");
    }
    // A JPEG has no transparency: the cut-out goes on white unless told otherwise.
    FramingOptions framing = options.framing;
    if (options.format == PictureFormat::Jpeg && !framing.flatten) {
        framing.flatten = FrameColour{};
    }
    PictureFile file;
    if (Result result = file.Open(source, options.maxPixels); !result.Ok()) {
        return result;
    }
    const int reduction = FrameReductionOf(file, options);
    const SourceOpener decode = [&](std::unique_ptr<RowSource>& source) {
        Result result = file.OpenSource(
            {options.background, options.maxPixels, kDefaultMaxDecoderMemory, reduction}, source);
        if (result.Ok() && options.srgb) {
            result = ConvertToSrgb(source);
        }
        // With a core to spare, each pass's decoding runs on it, ahead of the pass.
        if (result.Ok() && options.writing == SliceWriting::OnSecondThread) {
            source = ReadAhead(std::move(source));
        }
        return result;
    };
    // Whole decodings are not held: memory would grow with the picture.
    HeldOpener held(decode);
    const SourceOpener open = reduction > 1 ? SourceOpener(std::ref(held)) : decode;
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
    if (framing.Active()) {
        // The colour is asked for in sRGB; the picture is in its profile's colours.
        if (framing.flatten) {
            const auto [red, green, blue] =
                FromSrgb(input->ColourProfile(),
                         {framing.flatten->red, framing.flatten->green, framing.flatten->blue});
            framing.flatten = FrameColour{red, green, blue};
        }
        if (Result result = OpenFramedSource(std::move(input), framing, input); !result.Ok()) {
            return result;
        }
    }
    const PngContent content = framing.flatten                       ? PngContent::Rgb
                               : refine.product == Product::Cutout   ? PngContent::Rgba
                               : refine.product == Product::SoftMask ? PngContent::Grey
                                                                     : PngContent::TwoTone;
    std::unique_ptr<RowSink> output;
    if (Result result =
            CreatePictureSink(destination, options.format, input->Shape(), nullptr, output,
                              {content, options.quality, options.lossless, options.inside});
        !result.Ok()) {
        return result;
    }
    if (Result result = output->SetColourProfile(input->ColourProfile()); !result.Ok()) {
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
    if (copiedBitCount != 0) {
        return std::to_string(copiedBitCount) +
               "-bit picture copied unchanged; only 24-bit BMPs are masked";
    }
    return confidence ? confidence->Doubt() : std::string();
}

namespace {

Result MaskPlain(const std::filesystem::path& source, const std::filesystem::path& destination,
                 const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note) {
    std::unique_ptr<RowSource> input;
    if (Result result = OpenPictureSource(source, {options.background, options.maxPixels}, input);
        !result.Ok()) {
        return result;
    }
    if (options.srgb) {
        if (Result result = ConvertToSrgb(input); !result.Ok()) {
            return result;
        }
    }
    if (input->Orientation() != 1) {
        input = UprightMaskSource(std::move(input), options.background);
    }
    if (options.format == PictureFormat::Png && !AsTrueColour(*input)) {
        return Fail(Status::TooManyPixels, "too large to convert into a PNG mask");
    }
    std::unique_ptr<RowSink> output;
    if (Result result = CreatePictureSink(destination, options.format, input->Shape(),
                                          ColorTableOf(*input), output, {.inside = options.inside});
        !result.Ok()) {
        return result;
    }
    if (note != nullptr) {
        note->copiedBitCount = input->Shape().bitCount == 24 ? 0 : input->Shape().bitCount;
    }
    return CopyRows(*input, *output, {options.background, options.writing}, buffer);
}

}  // namespace

Result MaskFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                const MaskOptions& options, std::vector<uint8_t>& buffer, MaskNote* note) {
    // Memory is bounded before it is taken wherever a format lets it be; where the machine
    // still has too little (another program's share, a limit set on the process), this
    // picture fails, with nothing written, and a batch goes on with the rest.
    try {
        return options.refine.Active() ? MaskRefined(source, destination, options, buffer, note)
                                       : MaskPlain(source, destination, options, buffer, note);
    } catch (const std::bad_alloc&) {
        return Fail(Status::OutOfMemory);
    }
}

}  // namespace zel7
