// Fuzz target: any bytes as a picture file, through the whole-picture path the dialog
// uses (load, mask, save) and the streaming path of zel7-mask, to a BMP, to a PNG and to
// cut-outs (PNG and WebP).
// They must refuse the file for the same reason or write the same mask (for BMP files,
// exactly the mask their bytes call for); every disagreement, sanitizer report, crash,
// hang or runaway allocation is a finding. Built once per format, each target takes
// only files that start as that format does, so that its effort goes there.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "formats/formats.h"
#include "test_pictures.h"

namespace {

// CheckBothPaths's scratch folders in memory, where there is such a file system.
[[maybe_unused]] const bool kScratchInMemory =
    std::filesystem::is_directory("/dev/shm") && setenv("TMPDIR", "/dev/shm", 1) == 0;

bool IsTargetFormat(std::span<const uint8_t> head) {
#if defined(ZEL7_FUZZ_JPEG)
    return zel7::IsJpeg(head);
#elif defined(ZEL7_FUZZ_PNG)
    return zel7::IsPng(head);
#elif defined(ZEL7_FUZZ_TIFF)
    return zel7::IsTiff(head);
#elif defined(ZEL7_FUZZ_HEIF)
    return zel7::IsHeif(head);
#elif defined(ZEL7_FUZZ_WEBP)
    return zel7::IsWebp(head);
#elif defined(ZEL7_FUZZ_BMP)
    return zel7::IsBitmap(head);
#else
    return !head.empty();  // the replay program: every file
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!IsTargetFormat({data, std::min<size_t>(size, zel7::kSignatureBytes)}) && size != 0) {
        return 0;
    }
    if (auto finding = zel7::test_support::CheckBothPaths({data, data + size})) {
        std::fprintf(stderr, "zel7 fuzzer: %s\n", finding->c_str());
        std::abort();
    }
    return 0;
}
