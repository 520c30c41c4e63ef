// Runs the fuzz target over files and folders of files, without libFuzzer, so that a
// finding reproduces in any build: zel7-fuzz-replay PATH...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    std::fprintf(stderr, "%s\n", file.c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    Replay(entry.path());
                    ++replayed;
                }
            }
        } else {
            Replay(path);
            ++replayed;
        }
    }
    std::printf("replayed %d inputs without a finding\n", replayed);
    return replayed > 0 ? 0 : 1;
}
