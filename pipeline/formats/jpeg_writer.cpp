// Flattened cut-outs written as baseline JPEGs through libjpeg-turbo, a few rows at a
// time, into a file that replaces the destination only when whole.
#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "engine/colour.h"
#include "formats/formats.h"

namespace zel7 {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{64} << 10;  // written to the file at a time

// From this quality up the colours keep their full resolution (4:4:4); below it they are
// halved both ways (4:2:0). Product shots carry small coloured print (labels, logos,
// stitching) whose edges 4:2:0 smears into the white around them, which a shop's zoom
// shows; whoever asks for a quality of 90 or more asks for that detail, at a file about
// a fifth larger. Below it the size matters more, as common encoders also judge.
constexpr int kFullColourQuality = 90;

// What the library touches while it works; on an error it leaves by longjmp, which skips
// destructors, so nothing here may have one (the file lives in JpegSink).
struct Encoder {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    jpeg_destination_mgr output;
    std::jmp_buf failed;
    OutputFile* file;
    Result* writeResult;            // the file's own reason when a write failed
    char message[JMSG_LENGTH_MAX];  // the library's words for what went wrong
    JOCTET chunk[kChunkBytes];
};
static_assert(std::is_trivially_destructible_v<Encoder>);

Encoder& EncoderOf(j_common_ptr info) {
    return *static_cast<Encoder*>(info->client_data);
}

[[noreturn]] void Stop(j_common_ptr info) {
    Encoder& encoder = EncoderOf(info);
    (*info->err->format_message)(info, encoder.message);
    std::longjmp(encoder.failed, 1);
}

void Ignore(j_common_ptr, int) {}

void StartOutput(j_compress_ptr info) {
    Encoder& encoder = EncoderOf(reinterpret_cast<j_common_ptr>(info));
    info->dest->next_output_byte = encoder.chunk;
    info->dest->free_in_buffer = kChunkBytes;
}

void WriteOut(Encoder& encoder, std::size_t size) {
    *encoder.writeResult = encoder.file->Write(encoder.chunk, size);
    if (!encoder.writeResult->Ok()) {
        std::longjmp(encoder.failed, 1);
    }
}

boolean EmptyOutput(j_compress_ptr info) {
    Encoder& encoder = EncoderOf(reinterpret_cast<j_common_ptr>(info));
    WriteOut(encoder, kChunkBytes);
    StartOutput(info);
    return TRUE;
}

void EndOutput(j_compress_ptr info) {
    Encoder& encoder = EncoderOf(reinterpret_cast<j_common_ptr>(info));
    WriteOut(encoder, kChunkBytes - info->dest->free_in_buffer);
}

// Each of these runs the library under the encoder's jump buffer and reports whether it
// went through; their frames hold nothing for a jump to skip.

bool Start(Encoder& encoder, const PictureShape& shape, int quality) {
    jpeg_compress_struct& info = encoder.info;
    info.err = jpeg_std_error(&encoder.errors);
    encoder.errors.error_exit = Stop;
    encoder.errors.emit_message = Ignore;
    info.client_data = &encoder;
    if (setjmp(encoder.failed) != 0) {
        return false;
    }
    jpeg_create_compress(&info);
    encoder.output.init_destination = StartOutput;
    encoder.output.empty_output_buffer = EmptyOutput;
    encoder.output.term_destination = EndOutput;
    info.dest = &encoder.output;
    info.image_width = JDIMENSION(shape.width);
    info.image_height = JDIMENSION(shape.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    const int chroma = quality >= kFullColourQuality ? 1 : 2;
    info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = chroma;
    for (int c = 1; c < 3; ++c) {
        info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    }
    // Huffman tables fitted to the picture would need the whole picture's coefficients
    // in memory (a second pass): the standard ones keep the encoder to a few rows.
    info.optimize_coding = FALSE;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&info, TRUE);
    return true;
}

// In APP2 segments, split as the library's ICC convention has it, before the rows.
bool WriteProfile(Encoder& encoder, std::span<const uint8_t> profile) {
    if (setjmp(encoder.failed) != 0) {
        return false;
    }
    jpeg_write_icc_profile(&encoder.info, profile.data(), unsigned(profile.size()));
    return true;
}

bool EncodeRows(Encoder& encoder, JSAMPROW* rows, JDIMENSION count) {
    if (setjmp(encoder.failed) != 0) {
        return false;
    }
    for (JDIMENSION done = 0; done < count;) {
        done += jpeg_write_scanlines(&encoder.info, rows + done, count - done);
    }
    return true;
}

bool Finish(Encoder& encoder) {
    if (setjmp(encoder.failed) != 0) {
        return false;
    }
    jpeg_finish_compress(&encoder.info);
    return true;
}

class JpegSink : public RowSink {
public:
    ~JpegSink() override { jpeg_destroy_compress(&encoder_->info); }

    Result Create(const std::filesystem::path& path, const PictureShape& shape, int quality,
                  const std::filesystem::path& inside);
    bool Accepts(RowOrder order) const override { return order == RowOrder::TopDown; }
    void SetOrder(RowOrder) override {}
    Result SetColourProfile(std::span<const uint8_t> profile) override;
    Result Write(const uint8_t* bytes, std::size_t size) override;
    Result Commit() override;

private:
    Result Failure() {
        file_.Abort();
        return !writeResult_.Ok() ? writeResult_
                                  : Fail(Status::CannotWrite, std::string(encoder_->message));
    }

    OutputFile file_;
    Result writeResult_;
    // Value-initialised, so that destroying an encoder the library never set up is safe.
    std::unique_ptr<Encoder> encoder_ = std::make_unique<Encoder>();
    PictureShape shape_;
    int32_t rowsWritten_ = 0;
};

Result JpegSink::Create(const std::filesystem::path& path, const PictureShape& shape, int quality,
                        const std::filesystem::path& inside) {
    if (shape.bitCount != 24) {
        return Fail(Status::UnsupportedPicture, "JPEGs are written from 24-bit rows");
    }
    if (shape.width <= 0 || shape.height <= 0) {
        return Fail(Status::NoPixels);
    }
    if (shape.width > int32_t(JPEG_MAX_DIMENSION) || shape.height > int32_t(JPEG_MAX_DIMENSION)) {
        return Fail(Status::TooManyPixels, "wider or taller than a JPEG holds");
    }
    shape_ = shape;
    if (Result result = file_.Create(path, inside); !result.Ok()) {
        return result;
    }
    encoder_->file = &file_;
    encoder_->writeResult = &writeResult_;
    if (!Start(*encoder_, shape, std::clamp(quality, 1, 100))) {
        return Failure();
    }
    return {};
}

// The RGB profile the colours are in, as the PNG sink takes it: one lcms2 cannot read is
// left out rather than passed on damaged.
Result JpegSink::SetColourProfile(std::span<const uint8_t> profile) {
    if (rowsWritten_ != 0) {
        return Fail(Status::CannotWrite, "a colour profile comes before the rows");
    }
    const std::optional<ProfileSummary> summary =
        profile.empty() ? std::nullopt : ReadColourProfile(profile);
    if (!summary || summary->colours != ProfileColours::Rgb) {
        return {};
    }
    return WriteProfile(*encoder_, profile) ? Result{} : Failure();
}

// Whole rows, top row first.
Result JpegSink::Write(const uint8_t* bytes, std::size_t size) {
    constexpr std::size_t kRowsAtOnce = 16;
    const auto stride = std::size_t(shape_.rowStride);
    for (std::size_t done = 0; done < size;) {
        JSAMPROW rows[kRowsAtOnce];
        JDIMENSION count = 0;
        for (; count < kRowsAtOnce && done < size; ++count, done += stride) {
            rows[count] = const_cast<JSAMPROW>(bytes + done);
        }
        if (rowsWritten_ + int32_t(count) > shape_.height) {
            file_.Abort();
            return Fail(Status::CannotWrite, "more rows than the picture has");
        }
        if (!EncodeRows(*encoder_, rows, count)) {
            return Failure();
        }
        rowsWritten_ += int32_t(count);
    }
    return {};
}

Result JpegSink::Commit() {
    if (rowsWritten_ != shape_.height) {
        file_.Abort();
        return Fail(Status::NoPixels);
    }
    if (!Finish(*encoder_)) {
        return Failure();
    }
    return file_.Commit();
}

}  // namespace

Result CreateJpegSink(const std::filesystem::path& path, const PictureShape& shape, int quality,
                      std::unique_ptr<RowSink>& sink, const std::filesystem::path& inside) {
    auto jpeg = std::make_unique<JpegSink>();
    if (Result result = jpeg->Create(path, shape, quality, inside); !result.Ok()) {
        return result;
    }
    sink = std::move(jpeg);
    return {};
}

}  // namespace zel7
