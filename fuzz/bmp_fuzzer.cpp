// Fuzz target: any bytes as a BMP file, through both the whole-picture path the dialog
// uses (read, mask, write) and the streaming path of zel7-mask. Both must agree on
// whether the file is refused and, when it is not, write the same bytes; every
// sanitizer report, crash, hang or runaway allocation is a finding.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitmap_file.h"
#include "mask_file.h"
#include "threshold.h"
#include "working_image.h"

namespace {

struct Scratch {
    std::string folder, source, whole, streamed;

    Scratch() {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/zel7-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("zel7 fuzzer: mkdtemp");
            std::abort();
        }
        folder = pattern;
        source = folder + "/input.bmp";
        whole = folder + "/whole.bmp";
        streamed = folder + "/streamed.bmp";
    }
    ~Scratch() { std::filesystem::remove_all(folder); }
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "zel7 fuzzer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    {
        std::ofstream out(scratch.source, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }

    zel7::workingImage = zel7::WorkingImage{};
    zel7::BitmapError readError;
    const bool read = zel7::ReadBitmapFile(scratch.source.c_str(), &readError);
    if (read) {
        zel7::MaskNearWhite();
        if (!zel7::WriteBitmapFile(scratch.whole.c_str(), zel7::workingImage.pixels,
                                   zel7::workingImage.width, zel7::workingImage.height,
                                   zel7::workingImage.bitCount, zel7::workingImage.palette)) {
            Finding("an accepted picture could not be written");
        }
        zel7::ReleasePictureBuffers();
    } else if (zel7::workingImage.pixels != nullptr || zel7::workingImage.width != 0) {
        Finding("a refused read changed the working image");
    }

    static std::vector<uint8_t> buffer;
    const zel7::BitmapError streamError = zel7::MaskBitmapFile(
        scratch.source.c_str(), scratch.streamed.c_str(), zel7::Background::NearWhite, buffer);
    if (streamError.status != readError.status) {
        Finding("the two readers disagree about the file");
    }
    if (read && Slurp(scratch.whole) != Slurp(scratch.streamed)) {
        Finding("the two paths wrote different masks");
    }
    std::remove(scratch.whole.c_str());
    std::remove(scratch.streamed.c_str());
    return 0;
}
