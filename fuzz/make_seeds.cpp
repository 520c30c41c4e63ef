// Writes the fuzzer's seed corpus: zel7-fuzz-seeds FOLDER
#include <cstdio>
#include <filesystem>
#include <string>

#include "test_pictures.h"

using zel7::testing::BmpBuilder;
using zel7::testing::ValidPicture;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel7-fuzz-seeds FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    auto write = [&](const std::string& name, const BmpBuilder& picture) {
        zel7::testing::WriteWholeFile(folder / (name + ".bmp"), picture.Build());
    };

    for (uint16_t bits : {8, 16, 24, 32}) {
        write("plain-" + std::to_string(bits), ValidPicture(7, 5, bits));
        write("one-pixel-" + std::to_string(bits), ValidPicture(1, 1, bits));
        write("empty-" + std::to_string(bits), ValidPicture(0, 3, bits));
    }
    BmpBuilder photo = ValidPicture(33, 9, 24);
    photo.pixels = zel7::testing::SyntheticPhotoRows(33, 9, zel7::Background::NearWhite);
    write("photo-24", photo);

    BmpBuilder v5 = ValidPicture(6, 4, 24);
    v5.biSize = 124;
    v5.gapBeforePixels = 84;
    write("v5-header-24", v5);

    BmpBuilder fields16 = ValidPicture(6, 4, 16);
    fields16.biCompression = 3;
    fields16.masks = {0x7C00, 0x03E0, 0x001F};
    write("bitfields-16", fields16);

    BmpBuilder fields32 = ValidPicture(6, 4, 32);
    fields32.biSize = 108;
    fields32.biCompression = 3;
    fields32.masks = {0xFF0000, 0xFF00, 0xFF};
    fields32.gapBeforePixels = 108 - 40 - 12;
    write("bitfields-v4-32", fields32);

    BmpBuilder shortTable = ValidPicture(6, 4, 8);
    shortTable.biClrUsed = 16;
    shortTable.colorTable.resize(64);
    write("short-colour-table-8", shortTable);

    BmpBuilder gap = ValidPicture(6, 4, 24);
    gap.gapBeforePixels = 10;
    write("gap-before-pixels-24", gap);
    return 0;
}
