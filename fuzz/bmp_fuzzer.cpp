// Fuzz target: any bytes as a BMP file, through both the whole-picture path the dialog
// uses (load, mask, save) and the streaming path of zel7-mask. Both must refuse the
// file for the same reason or write exactly the mask its bytes call for; every
// disagreement, sanitizer report, crash, hang or runaway allocation is a finding.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "reference_mask.h"

namespace {

struct Scratch {
    std::filesystem::path folder;

    Scratch() {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/zel7-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("zel7 fuzzer: mkdtemp");
            std::abort();
        }
        folder = pattern;
    }
    ~Scratch() { std::filesystem::remove_all(folder); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    if (auto finding = zel7::testing::CheckBothPaths({data, data + size}, scratch.folder)) {
        std::fprintf(stderr, "zel7 fuzzer: %s\n", finding->c_str());
        std::abort();
    }
    return 0;
}
