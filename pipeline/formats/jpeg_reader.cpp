// JPEG pictures through libjpeg-turbo, a few rows at a time straight into the caller's
// buffer. The file is read in small chunks; only pictures in several scans (progressive
// ones) make the library hold the whole picture, as coefficients, at once, and those are
// refused past the decoder's memory bound before it takes any.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "formats/exif.h"
#include "formats/formats.h"

namespace zel7 {
namespace {

// A picture in more scans than this is refused. Each scan may cover the whole picture,
// so a file of a few kilobytes of scan headers could otherwise keep the decoder busy for
// minutes; encoders write about ten, and a hundred leaves room for any tuned script.
constexpr int kMaxScans = 100;

constexpr std::size_t kChunkBytes = std::size_t{64} << 10;  // read from the file at a time
// Handed to the library at a time. With 512 bytes or more waiting (times the blocks of an
// MCU), libjpeg-turbo decodes Huffman codes by a fast path that reads a code it does not
// know as a zero, without a warning, and goes on out of step: one damaged byte became a
// mask half wrong, reported as written. Less, and every code goes through the path that
// warns of it, as djpeg's 4 KiB reads mostly do; it costs 3 to 6% of a decoding.
constexpr std::size_t kMostHandedOver = 511;
constexpr JDIMENSION kRowsAtOnce = 16;  // asked of the library at a time

// Everything the library touches while it works. On an error it leaves its calls by
// longjmp, which skips destructors, so nothing here may have one: the C++ objects live in
// JpegSource, outside the frames the jump crosses.
struct Decoder {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    jpeg_source_mgr input;
    jpeg_progress_mgr progress;
    std::jmp_buf failed;
    int fd;
    uint64_t size;               // of the file when it was opened; bytes after it are not read
    uint64_t offset;             // of the next chunk
    std::size_t filled, handed;  // bytes in the chunk, and how many of them the library had
    int readError;               // errno of a failed read, or 0
    bool tooManyScans;
    std::size_t kept;                // bytes of segments kept (see KeepSegment)...
    jpeg_saved_marker_ptr lastKept;  // ...and the last of them
    bool tooMuchMetadata;
    char message[JMSG_LENGTH_MAX];  // the library's words for what went wrong
    JOCTET chunk[kChunkBytes];
};
static_assert(std::is_trivially_destructible_v<Decoder>);

Decoder& DecoderOf(j_common_ptr info) {
    return *static_cast<Decoder*>(info->client_data);
}

[[noreturn]] void Stop(j_common_ptr info) {
    Decoder& decoder = DecoderOf(info);
    (*info->err->format_message)(info, decoder.message);
    std::longjmp(decoder.failed, 1);
}

// The library's warnings report damaged data that it would go on decoding, with grey
// in place of what was lost; no mask is made from that. Two say nothing of the pixels:
// an unknown JFIF version, and bytes left before a marker, where Photoshop, some cameras
// and other writers leave junk (between segments, or after the last scan's data) that
// the library passes over. Entropy-coded data the decoder loses step with is reported
// by warnings of its own (a bad Huffman code, a marker hit early, a restart out of
// turn), and those stop it. A colour profile whose markers do not fit together says
// nothing of the pixels either. Trace messages (levels 0 and up) are dropped.
void StopOnWarning(j_common_ptr info, int level) {
    const int code = info->err->msg_code;
    if (level < 0 && code != JWRN_JFIF_MAJOR && code != JWRN_EXTRANEOUS_DATA &&
        code != JWRN_BOGUS_ICC) {
        Stop(info);
    }
}

void CountScans(j_common_ptr info) {
    Decoder& decoder = DecoderOf(info);
    if (decoder.info.input_scan_number > kMaxScans) {
        decoder.tooManyScans = true;
        std::longjmp(decoder.failed, 1);
    }
}

void StartInput(j_decompress_ptr) {}
void EndInput(j_decompress_ptr) {}

// The next bytes of the chunk, kMostHandedOver at most, to the library.
void Hand(Decoder& decoder) {
    const std::size_t count = std::min(kMostHandedOver, decoder.filled - decoder.handed);
    decoder.input.next_input_byte = decoder.chunk + decoder.handed;
    decoder.input.bytes_in_buffer = count;
    decoder.handed += count;
}

boolean FillInput(j_decompress_ptr info) {
    Decoder& decoder = DecoderOf(reinterpret_cast<j_common_ptr>(info));
    if (decoder.handed < decoder.filled) {
        Hand(decoder);
        return TRUE;
    }
    const auto want = std::size_t(std::min<uint64_t>(kChunkBytes, decoder.size - decoder.offset));
    if (want > 0) {
        // The file's size is known, so a short read means it shrank under us.
        if (const int error = ReadExactlyAt(decoder.fd, decoder.offset, decoder.chunk, want)) {
            decoder.readError = error;
            std::longjmp(decoder.failed, 1);
        }
    }
    std::size_t got = want;
    if (got == 0) {
        WARNMS(info, JWRN_JPEG_EOF);  // stops; an end marker follows only for form's sake
        decoder.chunk[0] = 0xFF;
        decoder.chunk[1] = JPEG_EOI;
        got = 2;
    } else {
        decoder.offset += got;
    }
    decoder.filled = got;
    decoder.handed = 0;
    Hand(decoder);
    return TRUE;
}

// Segments the decoder does not need are passed over without reading them.
void SkipInput(j_decompress_ptr info, long bytes) {
    jpeg_source_mgr& input = *info->src;
    if (bytes <= 0) {
        return;
    }
    if (std::size_t(bytes) <= input.bytes_in_buffer) {
        input.next_input_byte += bytes;
        input.bytes_in_buffer -= std::size_t(bytes);
        return;
    }
    Decoder& decoder = DecoderOf(reinterpret_cast<j_common_ptr>(info));
    auto rest = uint64_t(bytes) - input.bytes_in_buffer;
    input.bytes_in_buffer = 0;
    const auto inChunk = std::size_t(std::min<uint64_t>(rest, decoder.filled - decoder.handed));
    decoder.handed += inChunk;
    rest -= inChunk;
    decoder.offset = std::min(decoder.offset + rest, decoder.size);
}

// EXIF and colour profile segments are kept in the library's memory, as its own
// jpeg_save_markers keeps them, but no more than kMaxMetadataBytes of them: a file of
// thousands of 64 KiB segments would otherwise take as much memory as it is long.
boolean KeepSegment(j_decompress_ptr info) {
    Decoder& decoder = DecoderOf(reinterpret_cast<j_common_ptr>(info));
    jpeg_source_mgr& input = *info->src;
    const auto next = [&]() {
        if (input.bytes_in_buffer == 0) {
            (*input.fill_input_buffer)(info);  // (never suspends; at the end it gives EOI)
        }
        --input.bytes_in_buffer;
        return *input.next_input_byte++;
    };
    const unsigned high = next();
    const unsigned length = (high << 8 | next());
    if (length < 2) {
        ERREXIT(info, JERR_BAD_LENGTH);
    }
    // (each counted with its record: a flood of empty segments holds memory too)
    const std::size_t bytes = length - 2, held = sizeof(jpeg_marker_struct) + bytes;
    if (decoder.kept + held > kMaxMetadataBytes) {
        decoder.tooMuchMetadata = true;
        std::longjmp(decoder.failed, 1);
    }
    decoder.kept += held;
    auto* segment = static_cast<jpeg_marker_struct*>(
        (*info->mem->alloc_large)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE, held));
    *segment = {};
    segment->marker = uint8_t(info->unread_marker);
    segment->original_length = unsigned(bytes);
    segment->data_length = unsigned(bytes);
    segment->data = reinterpret_cast<JOCTET*>(segment + 1);
    for (std::size_t at = 0; at < bytes;) {
        if (input.bytes_in_buffer == 0) {
            (*input.fill_input_buffer)(info);
        }
        const std::size_t count = std::min(bytes - at, input.bytes_in_buffer);
        std::memcpy(segment->data + at, input.next_input_byte, count);
        input.next_input_byte += count;
        input.bytes_in_buffer -= count;
        at += count;
    }
    // (appended after the last kept, not by walking the list: thousands may be)
    (info->marker_list == nullptr ? info->marker_list : decoder.lastKept->next) = segment;
    decoder.lastKept = segment;
    return TRUE;
}

// Each of these runs the library under the decoder's jump buffer and reports whether it
// went through; their frames hold nothing for a jump to skip.

bool ReadHeader(Decoder& decoder) {
    decoder.info.err = jpeg_std_error(&decoder.errors);
    decoder.errors.error_exit = Stop;
    decoder.errors.emit_message = StopOnWarning;
    decoder.info.client_data = &decoder;
    if (setjmp(decoder.failed) != 0) {
        return false;
    }
    jpeg_create_decompress(&decoder.info);
    decoder.input.init_source = StartInput;
    decoder.input.fill_input_buffer = FillInput;
    decoder.input.skip_input_data = SkipInput;
    decoder.input.resync_to_restart = jpeg_resync_to_restart;
    decoder.input.term_source = EndInput;
    decoder.info.src = &decoder.input;
    decoder.progress.progress_monitor = CountScans;
    decoder.info.progress = &decoder.progress;
    jpeg_set_marker_processor(&decoder.info, JPEG_APP0 + 1, KeepSegment);  // EXIF
    jpeg_set_marker_processor(&decoder.info, JPEG_APP0 + 2, KeepSegment);  // colour profile
    jpeg_read_header(&decoder.info, TRUE);
    return true;
}

bool StartDecoding(Decoder& decoder) {
    if (setjmp(decoder.failed) != 0) {
        return false;
    }
    jpeg_start_decompress(&decoder.info);
    return true;
}

// The colour profile from its markers, put together by the library in memory it hands
// over (null when there is none, or its markers do not fit together).
bool ReadIccProfile(Decoder& decoder, JOCTET** profile, unsigned* length) {
    if (setjmp(decoder.failed) != 0) {
        return false;
    }
    if (!jpeg_read_icc_profile(&decoder.info, profile, length)) {
        *profile = nullptr;
    }
    return true;
}

// Decodes count rows to where rows point; after the picture's last row, reads on to its
// end marker, so that a file cut short after its pixels is refused too.
bool DecodeRows(Decoder& decoder, JSAMPROW* rows, JDIMENSION count) {
    if (setjmp(decoder.failed) != 0) {
        return false;
    }
    for (JDIMENSION done = 0; done < count;) {
        const JDIMENSION got = jpeg_read_scanlines(&decoder.info, rows + done, count - done);
        if (got == 0) {  // cannot happen with a source that never suspends
            std::snprintf(decoder.message, sizeof decoder.message, "the decoder stopped short");
            return false;
        }
        done += got;
    }
    if (decoder.info.output_scanline == decoder.info.output_height) {
        jpeg_finish_decompress(&decoder.info);
    }
    return true;
}

// The orientation tag of the first EXIF segment, or 1 where there is none.
int ExifOrientation(jpeg_saved_marker_ptr marker) {
    static constexpr uint8_t kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    while (marker != nullptr && (marker->data_length < sizeof kExif ||
                                 std::memcmp(marker->data, kExif, sizeof kExif) != 0)) {
        marker = marker->next;
    }
    if (marker == nullptr) {
        return 1;
    }
    return TiffOrientation({marker->data + sizeof kExif, marker->data_length - sizeof kExif});
}

// A profile whose markers the library cannot put together (numbered wrongly, or missing
// one) is still a profile: their contents in the file's order, as damaged as they are,
// so that converting its colours is refused rather than skipped.
std::vector<uint8_t> IccMarkerContents(jpeg_saved_marker_ptr marker) {
    static constexpr uint8_t kIcc[] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    constexpr std::size_t kHeader = sizeof kIcc + 2;  // then the part's number and the count
    std::vector<uint8_t> contents;
    for (; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 2 && marker->data_length >= kHeader &&
            std::memcmp(marker->data, kIcc, sizeof kIcc) == 0 &&
            contents.size() <= kMaxColourProfileBytes) {
            contents.insert(contents.end(), marker->data + kHeader,
                            marker->data + marker->data_length);
        }
    }
    return contents;
}

// CMYK pictures are taken as Adobe's programs write them, and others follow: inverted,
// 255 meaning no ink. Each of red, green and blue is then cyan, magenta or yellow times
// black, rounded to nearest. (YCCK files reach here as CMYK too.)
void CmykToBgr(const uint8_t* cmyk, uint8_t* bgr, std::size_t width) {
    for (; width > 0; --width, cmyk += 4, bgr += 3) {
        const unsigned black = cmyk[3];
        bgr[0] = uint8_t((cmyk[2] * black + 127) / 255);
        bgr[1] = uint8_t((cmyk[1] * black + 127) / 255);
        bgr[2] = uint8_t((cmyk[0] * black + 127) / 255);
    }
}

// What the library holds of a picture in several scans: every coefficient, 64 of 2
// bytes a block, each component's blocks rounded up to whole MCUs as it lays them out.
uint64_t CoefficientBytes(const jpeg_decompress_struct& info) {
    uint64_t bytes = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        const auto roundUp = [](uint64_t n, uint64_t step) { return (n + step - 1) / step * step; };
        bytes += roundUp(component.width_in_blocks, uint64_t(component.h_samp_factor)) *
                 roundUp(component.height_in_blocks, uint64_t(component.v_samp_factor)) *
                 sizeof(JBLOCK);
    }
    return bytes;
}

class JpegSource final : public RowSource {
public:
    ~JpegSource() override { jpeg_destroy_decompress(&decoder_->info); }

    Result Open(UniqueFd fd, uint64_t size, const SourceOptions& options);
    const PictureShape& Shape() const override { return shape_; }
    int Orientation() const override { return orientation_; }
    std::span<const uint8_t> ColourProfile() const override {
        return ProfileForRows(profile_, decoder_->info.jpeg_color_space == JCS_GRAYSCALE);
    }
    Result Read(uint8_t* into, std::size_t size) override;

private:
    Result Failure() const;
    Result ReadProfile();

    UniqueFd fd_;
    // Value-initialised, so that destroying a decoder the library never set up is safe.
    std::unique_ptr<Decoder> decoder_ = std::make_unique<Decoder>();
    std::vector<uint8_t> cmykRows_;  // kRowsAtOnce rows, for CMYK pictures only
    PictureShape shape_;
    int orientation_ = 1;
    std::vector<uint8_t> profile_;
    uint64_t maxMemory_ = 0;  // the decoder's bound
    Result failed_;           // once a read fails, every later one does
};

// Why the library stopped, in its own words.
Result JpegSource::Failure() const {
    const Decoder& decoder = *decoder_;
    if (decoder.readError != 0) {
        return Fail(Status::ReadFailed, decoder.readError);
    }
    if (decoder.tooMuchMetadata) {
        return TooMuchMetadata("JPEG", "segments (EXIF, profile)");
    }
    if (decoder.tooManyScans) {
        return Fail(Status::UnsupportedPicture,
                    "JPEG in more than " + std::to_string(kMaxScans) + " scans");
    }
    switch (decoder.errors.msg_code) {
        case JERR_OUT_OF_MEMORY:
            return Fail(Status::OutOfMemory);
        case JERR_NO_BACKING_STORE:  // past the bound, where a disk would have been used
            return Fail(Status::TooManyPixels, "a JPEG that needs more than the " +
                                                   MiB(maxMemory_) +
                                                   " a picture may take to decode");
        case JERR_BAD_PRECISION:    // 12-bit pictures
        case JERR_SOF_UNSUPPORTED:  // lossless and hierarchical ones
            return Fail(Status::UnsupportedPicture, decoder.message);
        default:
            return Fail(Status::DamagedPicture, decoder.message);
    }
}

Result JpegSource::ReadProfile() {
    JOCTET* profile = nullptr;
    unsigned length = 0;
    if (!ReadIccProfile(*decoder_, &profile, &length)) {
        return Failure();
    }
    if (profile == nullptr) {
        profile_ = IccMarkerContents(decoder_->info.marker_list);
        return {};
    }
    profile_.assign(
        profile, profile + ProfileBytesKept(
                               {profile, std::min<std::size_t>(length, kIccHeaderBytes)}, length));
    std::free(profile);  // the library allocates it with malloc
    return {};
}

Result JpegSource::Open(UniqueFd fd, uint64_t size, const SourceOptions& options) {
    fd_ = std::move(fd);
    Decoder& decoder = *decoder_;
    decoder.fd = fd_.Get();
    decoder.size = size;
    if (!ReadHeader(decoder)) {
        return Failure();
    }
    jpeg_decompress_struct& info = decoder.info;
    if (Result result = CheckDimensions(info.image_width, info.image_height, options);
        !result.Ok()) {
        return result;
    }
    // The rows must also fit the engine's 32-bit sizes, whatever the pixel limit.
    const auto width = int32_t(info.image_width), height = int32_t(info.image_height);
    if (uint64_t(RowStride(width, 24)) * uint64_t(height) > uint64_t(INT32_MAX)) {
        return Fail(Status::TooManyPixels, "more than 2 GiB of decoded rows");
    }
    // Refused before the library allocates what it needs; the bound it is given holds the
    // rest, which it cannot meet by putting coefficients on disk.
    maxMemory_ = options.maxDecoderMemory;
    if (const uint64_t bytes = CoefficientBytes(info);
        jpeg_has_multiple_scans(&info) && bytes > maxMemory_) {
        return Fail(
            Status::TooManyPixels,
            std::string(info.progressive_mode ? "a progressive JPEG" : "a JPEG in several scans") +
                " of this size needs " + MiB(bytes) + " to decode, more than the " +
                MiB(maxMemory_) + " a picture may take");
    }
    info.mem->max_memory_to_use = long(std::min<uint64_t>(maxMemory_, LONG_MAX));
    switch (info.jpeg_color_space) {
        case JCS_GRAYSCALE:
        case JCS_YCbCr:
        case JCS_RGB:
            info.out_color_space = JCS_EXT_BGR;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            info.out_color_space = JCS_CMYK;
            cmykRows_.resize(std::size_t(kRowsAtOnce) * std::size_t(width) * 4);
            break;
        default:
            return Fail(Status::UnsupportedPicture,
                        "JPEG with " + std::to_string(info.num_components) + " colour components");
    }
    orientation_ = ExifOrientation(info.marker_list);
    // The inverse DCT of fewer coefficients: a picture an eighth of the size costs a
    // fraction of the time, which a full decode followed by a resampler does not.
    info.scale_num = 1;
    info.scale_denom = unsigned(options.scaleDenominator);
    if (Result result = ReadProfile(); !result.Ok()) {
        return result;
    }
    if (!StartDecoding(decoder)) {
        return Failure();
    }
    shape_ = DecodedShape(int32_t(info.output_width), int32_t(info.output_height));
    return {};
}

Result JpegSource::Read(uint8_t* into, std::size_t size) {
    if (!failed_.Ok()) {
        return failed_;
    }
    const auto stride = std::size_t(shape_.rowStride), width = std::size_t(shape_.width);
    const std::size_t left = decoder_->info.output_height - decoder_->info.output_scanline;
    if (size % stride != 0 || size / stride > left) {
        return failed_ = Fail(Status::TruncatedPixels);
    }
    const bool cmyk = !cmykRows_.empty();
    for (std::size_t row = 0, rows = size / stride; row < rows;) {
        JSAMPROW pointers[kRowsAtOnce];
        const auto count = JDIMENSION(std::min<std::size_t>(kRowsAtOnce, rows - row));
        for (JDIMENSION i = 0; i < count; ++i) {
            pointers[i] = cmyk ? cmykRows_.data() + i * width * 4 : into + (row + i) * stride;
        }
        if (!DecodeRows(*decoder_, pointers, count)) {
            return failed_ = Failure();
        }
        for (JDIMENSION i = 0; i < count; ++i, ++row) {
            uint8_t* bgr = into + row * stride;
            if (cmyk) {
                CmykToBgr(pointers[i], bgr, width);
            }
            std::memset(bgr + 3 * width, 0, stride - 3 * width);
        }
    }
    return {};
}

}  // namespace

// The start marker, and a byte after it: junk there is passed over as before any marker.
bool IsJpeg(std::span<const uint8_t> head) {
    return head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8;
}

Result OpenJpegSource(UniqueFd fd, uint64_t size, const SourceOptions& options,
                      std::unique_ptr<RowSource>& source) {
    return OpenAs<JpegSource>(source, std::move(fd), size, options);
}

}  // namespace zel7
