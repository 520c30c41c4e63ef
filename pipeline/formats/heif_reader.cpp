// HEIF pictures (HEIC from phones, AVIF from the web) through libheif: the primary picture
// only, grids assembled by the library, thumbnails, depth maps and the other pictures a file
// may hold passed over.
//
// libheif decodes a whole picture at once, to interleaved red, green, blue (and alpha), in
// memory it owns; rows are handed out of that plane, converted to blue, green, red straight
// into the caller's buffer, so the picture is never copied whole a second time. What that
// costs is bounded before anything is decoded: the pixel limit, and the decoder's memory
// bound (the codec's planes and the plane handed out), as for progressive JPEGs.
//
// The library turns and mirrors the picture as its irot and imir boxes say. Those are what
// a HEIF picture's orientation is; an EXIF orientation in the file only repeats them, for
// programs that read nothing else, so it is not applied again: Orientation() stays 1.
#include <libheif/heif.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "formats/formats.h"

namespace zel7 {
namespace {

// libheif is opened on the first HEIF picture rather than at every start: it brings the
// HEVC and AV1 codecs' libraries with it, 3 ms of loading for each run that reads none.
// clang-format off: one function a line
#define ZEL7_LIBHEIF_FUNCTIONS(F)                   \
    F(heif_context_alloc)                           \
    F(heif_context_free)                            \
    F(heif_context_get_primary_image_handle)        \
    F(heif_context_read_from_reader)                \
    F(heif_context_set_maximum_image_size_limit)    \
    F(heif_decode_image)                            \
    F(heif_decoding_options_alloc)                  \
    F(heif_decoding_options_free)                   \
    F(heif_image_get_bits_per_pixel_range)          \
    F(heif_image_get_plane_readonly)                \
    F(heif_image_get_primary_height)                \
    F(heif_image_get_primary_width)                 \
    F(heif_image_handle_get_color_profile_type)     \
    F(heif_image_handle_get_height)                 \
    F(heif_image_handle_get_ispe_height)            \
    F(heif_image_handle_get_ispe_width)             \
    F(heif_image_handle_get_luma_bits_per_pixel)    \
    F(heif_image_handle_get_raw_color_profile)      \
    F(heif_image_handle_get_raw_color_profile_size) \
    F(heif_image_handle_get_width)                  \
    F(heif_image_handle_has_alpha_channel)          \
    F(heif_image_handle_release)                    \
    F(heif_image_is_premultiplied_alpha)            \
    F(heif_image_release)
// clang-format on

struct Libheif {
#define ZEL7_POINTER(name) decltype(&::name) name = nullptr;
    ZEL7_LIBHEIF_FUNCTIONS(ZEL7_POINTER)
#undef ZEL7_POINTER
};

// Every function the reader calls, found in the library.
bool FindLibheif(void* library, Libheif& heif, std::string& why) {
#define ZEL7_FIND(name) &&FindSharedFunction(library, #name, heif.name, why)
    return true ZEL7_LIBHEIF_FUNCTIONS(ZEL7_FIND);
#undef ZEL7_FIND
}

// The library's functions, or null when it cannot be opened (why in error).
const Libheif* OpenLibheif(std::string& error) {
    return OpenSharedFunctions<Libheif>(ZEL7_LIBHEIF, error, FindLibheif);
}

// Once a picture has opened it.
const Libheif& Heif() {
    std::string unused;
    return *OpenLibheif(unused);
}

// The brands, in the ftyp box, of files whose primary picture libheif can decode: HEVC
// pictures and sequences (heic, heix, heim, heis; hevc, hevx, hevm, hevs), the brands of any
// codec (mif1, msf1), and AV1 (avif, avis). A plain video (isom, mp42) has none of them.
constexpr std::array<const char*, 12> kBrands = {"heic", "heix", "heim", "heis", "hevc", "hevx",
                                                 "hevm", "hevs", "mif1", "msf1", "avif", "avis"};

bool IsKnownBrand(const uint8_t* brand) {
    return std::any_of(kBrands.begin(), kBrands.end(),
                       [&](const char* known) { return std::memcmp(brand, known, 4) == 0; });
}

// The file, fed to the library through its reader callbacks with positioned reads.
struct FileReader {
    int fd = -1;
    uint64_t size = 0;
    uint64_t position = 0;
    int error = 0;  // errno of a failed read, or 0
    // The library reads a box's fields a few bytes at a time, and a colour profile's or an
    // EXIF box's contents a byte at a time: a read of the file each, some 6 s to open
    // a file with a profile of 5 MiB. Reads shorter than the buffer are served from it.
    static constexpr std::size_t kBuffered = std::size_t{64} << 10;
    std::vector<uint8_t> buffer;
    uint64_t bufferAt = 0;  // where in the file the buffer's bytes begin
    std::size_t buffered = 0;

    static FileReader& Of(void* user) { return *static_cast<FileReader*>(user); }

    static int64_t Position(void* user) { return int64_t(Of(user).position); }
    static int Read(void* into, std::size_t length, void* user) {
        FileReader& file = Of(user);
        const uint64_t left = file.size - std::min(file.position, file.size);
        if (length > left) {
            return -1;
        }
        if (length == 0) {
            return 0;  // (the library asks for none, into no memory)
        }
        if (length < kBuffered && !file.Holds(length)) {
            file.buffer.resize(kBuffered);
            file.bufferAt = file.position;
            file.buffered = std::size_t(std::min<uint64_t>(kBuffered, left));
            if (ReadExactlyAt(file.fd, file.position, file.buffer.data(), file.buffered) != 0) {
                file.buffered = 0;  // read as asked below, for its own error
            }
        }
        if (file.Holds(length)) {
            std::memcpy(into, file.buffer.data() + (file.position - file.bufferAt), length);
        } else if (int error = ReadExactlyAt(file.fd, file.position, into, length)) {
            file.error = error == ENODATA ? 0 : error;  // a file that shrank ends early
            return -1;
        }
        file.position += length;
        return 0;
    }
    bool Holds(std::size_t length) const {
        return position >= bufferAt && position + length <= bufferAt + buffered;
    }
    static int Seek(int64_t position, void* user) {
        FileReader& file = Of(user);
        if (position < 0 || uint64_t(position) > file.size) {
            return -1;
        }
        file.position = uint64_t(position);
        return 0;
    }
    // The file does not grow: what lies past its end never comes.
    static heif_reader_grow_status WaitForSize(int64_t target, void* user) {
        return target >= 0 && uint64_t(target) <= Of(user).size
                   ? heif_reader_grow_status_size_reached
                   : heif_reader_grow_status_size_beyond_eof;
    }
};

constexpr heif_reader kReader = {1, FileReader::Position, FileReader::Read, FileReader::Seek,
                                 FileReader::WaitForSize};

// The library's words for an error, without the line end some of them carry.
std::string Words(const heif_error& error) {
    std::string words = error.message != nullptr ? error.message : "";
    while (!words.empty() && (words.back() == '\n' || words.back() == ' ')) {
        words.pop_back();
    }
    return words;
}

// Which codec a file's brands promise, for a refusal that names the decoder missing.
const char* CodecOfBrands(const uint8_t* ftyp, std::size_t size) {
    for (std::size_t at = 8; at + 4 <= size; at += at == 8 ? 8 : 4) {  // past the minor version
        if (std::memcmp(ftyp + at, "av", 2) == 0) {
            return "AV1";
        }
        if (std::memcmp(ftyp + at, "he", 2) == 0) {
            return "HEVC";
        }
    }
    return nullptr;
}

struct ContextDeleter {
    void operator()(heif_context* context) const { Heif().heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { Heif().heif_image_handle_release(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { Heif().heif_image_release(image); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* options) const {
        Heif().heif_decoding_options_free(options);
    }
};

// Turns count pixels of the decoded plane into blue, green, red: samples of more than 8 bits
// (stored in 16, little-endian) by their top 8, alpha composited over the background as PNG
// alpha is, or, premultiplied, the background added where the colour lets it through.
template <bool kWide, bool kAlpha>
void ConvertRow(const uint8_t* in, uint32_t count, int shift, uint8_t background,
                bool premultiplied, uint8_t* out) {
    constexpr std::size_t kChannels = kAlpha ? 4 : 3, kBytes = kWide ? 2 : 1;
    for (uint32_t x = 0; x < count; ++x, in += kChannels * kBytes, out += 3) {
        uint8_t sample[kChannels];
        for (std::size_t c = 0; c < kChannels; ++c) {
            if constexpr (kWide) {
                sample[c] = uint8_t((in[2 * c] | in[2 * c + 1] << 8) >> shift);
            } else {
                sample[c] = in[c];
            }
        }
        for (int c = 0; c < 3; ++c) {
            uint8_t level = sample[2 - c];
            if constexpr (kAlpha) {
                const uint8_t alpha = sample[3];
                level =
                    premultiplied
                        ? uint8_t(std::min(255, level + (background * (255 - alpha) + 127) / 255))
                        : Composite(level, alpha, background);
            }
            out[c] = level;
        }
    }
}

using RowConverter = void (*)(const uint8_t*, uint32_t, int, uint8_t, bool, uint8_t*);

class HeifSource final : public RowSource {
public:
    Result Open(UniqueFd fd, uint64_t size, const SourceOptions& options);
    const PictureShape& Shape() const override { return shape_; }
    std::span<const uint8_t> ColourProfile() const override {
        return ProfileForRows(profile_, false);
    }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result Failure(const heif_error& error) const;
    Result ReadProfile(heif_image_handle* handle);
    Result CheckDecoderMemory(const SourceOptions& options, bool alpha, bool wide,
                              uint64_t pixels) const;

    UniqueFd fd_;
    std::vector<uint8_t> profile_;  // an ICC profile the file gives (not an nclx description)
    FileReader file_;
    std::unique_ptr<heif_context, ContextDeleter> context_;
    std::unique_ptr<heif_image_handle, HandleDeleter> handle_;
    std::unique_ptr<heif_image, ImageDeleter> image_;
    const uint8_t* plane_ = nullptr;
    int planeStride_ = 0;
    RowConverter convert_ = nullptr;
    int shift_ = 0;  // from the samples' range down to 8 bits
    uint8_t background_ = 0;
    bool premultiplied_ = false;
    PictureShape shape_;
    int32_t nextRow_ = 0;
};

// Why the library refused the file, with its words.
Result HeifSource::Failure(const heif_error& error) const {
    if (file_.error != 0) {
        return Fail(Status::ReadFailed, file_.error);
    }
    const std::string words = Words(error);
    switch (error.code) {
        case heif_error_Memory_allocation_error:
            return error.subcode == heif_suberror_Security_limit_exceeded
                       ? Fail(Status::TooManyPixels, words)
                       : Fail(Status::OutOfMemory);
        case heif_error_Unsupported_feature:
        case heif_error_Unsupported_filetype:
            if (error.subcode == heif_suberror_Unsupported_codec) {
                uint8_t ftyp[64] = {};
                const auto head = std::size_t(std::min<uint64_t>(file_.size, sizeof ftyp));
                const char* codec =
                    ReadExactlyAt(file_.fd, 0, ftyp, head) == 0
                        ? CodecOfBrands(ftyp, std::min<std::size_t>(head, BigEndian32(ftyp)))
                        : nullptr;
                return Fail(Status::UnsupportedPicture, codec != nullptr
                                                            ? std::string("this libheif has no ") +
                                                                  codec + " decoder (" + words + ")"
                                                            : words);
            }
            return Fail(Status::UnsupportedPicture, words);
        default:
            return Fail(Status::DamagedPicture, words);
    }
}

// At its peak libheif holds, whole, the codec's planes, its own copy of them (or, for
// subsampled ones, the full-resolution planes it converts through) and the interleaved plane
// handed out: the planes counted twice at full resolution, 9 bytes a pixel for 8-bit colour.
// A 12-megapixel HEIC measured 118 MiB at its peak against the 103 MiB counted here.
Result HeifSource::CheckDecoderMemory(const SourceOptions& options, bool alpha, bool wide,
                                      uint64_t pixels) const {
    const uint64_t planes = 3 + uint64_t(alpha), interleaved = 3 + uint64_t(alpha);
    const uint64_t bytes = pixels * (2 * planes + interleaved) * (wide ? 2 : 1);
    if (bytes > options.maxDecoderMemory) {
        return Fail(Status::TooManyPixels, "a HEIF picture of this size needs " + MiB(bytes) +
                                               " to decode, more than the " +
                                               MiB(options.maxDecoderMemory) +
                                               " a picture may take");
    }
    return {};
}

// Phones tag their pictures with a profile (Display P3) in a colr box; a box that only
// names primaries and curves (nclx) carries no profile to pass on.
Result HeifSource::ReadProfile(heif_image_handle* handle) {
    const heif_color_profile_type type = Heif().heif_image_handle_get_color_profile_type(handle);
    const std::size_t size = Heif().heif_image_handle_get_raw_color_profile_size(handle);
    if ((type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) ||
        size == 0) {
        return {};
    }
    // The library holds the box whole already; a copy of it is had only within the bound
    // the other readers set on a picture's metadata.
    if (size > kMaxMetadataBytes) {
        return TooMuchMetadata("HEIF", "in its colour profile");
    }
    profile_.resize(size);
    if (Heif().heif_image_handle_get_raw_color_profile(handle, profile_.data()).code !=
        heif_error_Ok) {
        profile_.clear();
    }
    profile_.resize(ProfileBytesKept(profile_, profile_.size()));
    profile_.shrink_to_fit();
    return {};
}

Result HeifSource::Open(UniqueFd fd, uint64_t size, const SourceOptions& options) {
    std::string why;
    if (OpenLibheif(why) == nullptr) {
        return Fail(Status::UnsupportedPicture, "HEIF pictures need " + why);
    }
    fd_ = std::move(fd);
    file_ = FileReader();
    file_.fd = fd_.Get();
    file_.size = size;
    context_.reset(Heif().heif_context_alloc());
    if (!context_) {
        return Fail(Status::OutOfMemory);
    }
    // The library refuses sides past this as it reads the boxes, before it allocates for
    // any picture, thumbnails and the tiles of grids included. It is a side's limit, as
    // other formats have, not one drawn from the pixel limit: the coded pictures may be
    // larger than the one seen (padded to whole blocks, then cropped). The pixel limit is
    // checked below, on the picture seen, before it is decoded.
    Heif().heif_context_set_maximum_image_size_limit(context_.get(), int(kMaxDimension));
    if (heif_error error =
            Heif().heif_context_read_from_reader(context_.get(), &kReader, &file_, nullptr);
        error.code != heif_error_Ok) {
        return Failure(error);
    }
    heif_image_handle* handle = nullptr;
    if (heif_error error = Heif().heif_context_get_primary_image_handle(context_.get(), &handle);
        error.code != heif_error_Ok) {
        return Failure(error);
    }
    handle_.reset(handle);
    // The size as seen, after the turns the file asks for.
    const int width = Heif().heif_image_handle_get_width(handle),
              height = Heif().heif_image_handle_get_height(handle);
    if (width <= 0 || height <= 0) {
        return Fail(Status::DamagedPicture, "a HEIF picture of " + std::to_string(width) + " x " +
                                                std::to_string(height) + " pixels");
    }
    // A clap box may crop a large coded picture to a small one, and the decoder makes the
    // coded planes first: the limits count the larger of the two.
    const int codedWidth = std::max(0, Heif().heif_image_handle_get_ispe_width(handle)),
              codedHeight = std::max(0, Heif().heif_image_handle_get_ispe_height(handle));
    for (const auto& [w, h] : {std::pair{width, height}, {codedWidth, codedHeight}}) {
        if (Result result = CheckDimensions(uint64_t(w), uint64_t(h), options); !result.Ok()) {
            return result;
        }
    }
    if (uint64_t(RowStride(width, 24)) * uint64_t(height) > uint64_t(INT32_MAX)) {
        return Fail(Status::TooManyPixels, "more than 2 GiB of decoded rows");
    }
    shape_ = DecodedShape(width, height);
    if (Result result = ReadProfile(handle); !result.Ok()) {
        return result;
    }
    const bool alpha = Heif().heif_image_handle_has_alpha_channel(handle) != 0;
    const bool wide = Heif().heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const uint64_t decoded =
        std::max(uint64_t(width) * uint64_t(height), uint64_t(codedWidth) * uint64_t(codedHeight));
    if (Result result = CheckDecoderMemory(options, alpha, wide, decoded); !result.Ok()) {
        return result;
    }

    std::unique_ptr<heif_decoding_options, OptionsDeleter> decoding(
        Heif().heif_decoding_options_alloc());
    if (!decoding) {
        return Fail(Status::OutOfMemory);
    }
    decoding->ignore_transformations = 0;  // irot and imir applied: see the top of the file
    decoding->convert_hdr_to_8bit = 0;     // the top 8 bits are taken here, as other formats'
    // A damaged stream is refused, as other formats' are, rather than masked from what the
    // decoder makes up for it (libde265 fills lost blocks in and only warns).
    if (decoding->version >= 3) {
        decoding->strict_decoding = 1;
    }
    const heif_chroma chroma =
        wide ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* image = nullptr;
    if (heif_error error =
            Heif().heif_decode_image(handle, &image, heif_colorspace_RGB, chroma, decoding.get());
        error.code != heif_error_Ok) {
        return Failure(error);
    }
    image_.reset(image);
    plane_ = Heif().heif_image_get_plane_readonly(image, heif_channel_interleaved, &planeStride_);
    const int range = Heif().heif_image_get_bits_per_pixel_range(image, heif_channel_interleaved);
    if (plane_ == nullptr || Heif().heif_image_get_primary_width(image) != width ||
        Heif().heif_image_get_primary_height(image) != height || range < 8 || range > 16 ||
        (range > 8) != wide) {
        return Fail(Status::DamagedPicture, "the decoded HEIF picture is not what its boxes say");
    }
    shift_ = range - 8;
    convert_ = wide ? (alpha ? ConvertRow<true, true> : ConvertRow<true, false>)
                    : (alpha ? ConvertRow<false, true> : ConvertRow<false, false>);
    background_ = BackgroundLevel(options.background);
    premultiplied_ = alpha && Heif().heif_image_is_premultiplied_alpha(image) != 0;
    // The boxes and the compressed data are not needed once the picture is decoded.
    handle_.reset();
    context_.reset();
    return {};
}

Result HeifSource::Read(uint8_t* into, std::size_t size) {
    const auto stride = std::size_t(shape_.rowStride), pixelBytes = 3 * std::size_t(shape_.width);
    if (size % stride != 0 || size / stride > std::size_t(shape_.height - nextRow_)) {
        return Fail(Status::TruncatedPixels);
    }
    for (std::size_t done = 0; done < size; done += stride, ++nextRow_) {
        const uint8_t* row = plane_ + std::size_t(nextRow_) * std::size_t(planeStride_);
        convert_(row, uint32_t(shape_.width), shift_, background_, premultiplied_, into + done);
        std::memset(into + done + pixelBytes, 0, stride - pixelBytes);
    }
    return {};
}

}  // namespace

// A file whose first box is an ftyp naming one of the brands above, as its major brand or
// among the compatible ones that lie within head.
bool IsHeif(std::span<const uint8_t> head) {
    if (head.size() < 12 || std::memcmp(&head[4], "ftyp", 4) != 0) {
        return false;
    }
    const uint32_t size = BigEndian32(head.data());
    // 0: the box runs to the end of the file; 1: a 64-bit size follows, which no ftyp needs.
    if (size == 1 || (size != 0 && size < 16)) {
        return false;
    }
    const std::size_t end = size == 0 ? head.size() : std::min<std::size_t>(size, head.size());
    if (IsKnownBrand(&head[8])) {
        return true;
    }
    for (std::size_t at = 16; at + 4 <= end; at += 4) {  // after major brand and minor version
        if (IsKnownBrand(&head[at])) {
            return true;
        }
    }
    return false;
}

Result OpenHeifSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source) {
    return OpenAs<HeifSource>(source, std::move(fd), size, options);
}

}  // namespace zel7
